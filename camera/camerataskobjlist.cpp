#include "camerataskobjlist.h"
#include "resultcodes.h"

#include "camerataskobj.h"

#include <cstdio>

namespace {

template <typename M, typename F> auto WithTask(CCameraTaskOBJ *task, M missing, F op) -> decltype(op(*task))
{
    return task ? op(*task) : missing;
}

const char kOpenName[] = "CCameraTaskOBJList::OpenCameraCapture";

} // namespace

CCameraTaskOBJList::CCameraTaskOBJList() = default;

CCameraTaskOBJList::~CCameraTaskOBJList() = default;

CCameraTaskOBJ *CCameraTaskOBJList::GetCameraHandle(int camID)
{
    for (auto &task : m_taskOBJList) {
        if (task->CamID() == camID)
            return task.get();
    }
    return nullptr;
}

int CCameraTaskOBJList::CreateCameraTaskOBJ(int camID)
{
    if (GetCameraHandle(camID))
        return zarn::kTaskExists;
    puts(" CCameraTaskOBJList::CreateCameraTaskOBJ 0");
    auto task = std::make_unique<CCameraTaskOBJ>(camID);
    puts(" CCameraTaskOBJList::CreateCameraTaskOBJ 1");
    m_taskOBJList.push_back(std::move(task));
    return 0;
}

int CCameraTaskOBJList::FreeCameraTaskOBJ(int camID)
{
    for (auto it = m_taskOBJList.begin(); it != m_taskOBJList.end(); ++it) {
        if ((*it)->CamID() == camID) {
            // Unlink first: the destructor closes the device and may run on
            // the camera's own capture thread (close from a frame callback).
            std::unique_ptr<CCameraTaskOBJ> task = std::move(*it);
            m_taskOBJList.erase(it);
            task.reset();
            break;
        }
    }
    return 0;
}

int CCameraTaskOBJList::CameraTaskOBJStatus(int camID)
{
    return GetCameraHandle(camID) ? 0 : zarn::kNotOpen;
}

int CCameraTaskOBJList::ValidCameraNo()
{
    return m_taskOBJList.empty() ? zarn::kNotOpen : 0;
}

int CCameraTaskOBJList::GetCameraInfo(int camID, camerainfo *out)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [out](CCameraTaskOBJ &t) { return t.GetCameraInfo(out); });
}

int CCameraTaskOBJList::SetCameraInfo(int camID, camerainfo info)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [&info](CCameraTaskOBJ &t) { return t.SetCameraInfo(info); });
}

int CCameraTaskOBJList::OpenCameraCapture(int camID)
{
    printf("[%s] -1 \n", kOpenName);
    CCameraTaskOBJ *task = GetCameraHandle(camID);
    if (!task)
        return zarn::kNoTask;
    printf("[%s] -2 \n", kOpenName);
    camerainfo info;
    task->GetCameraInfo(&info);
    printf("[%s] -1 \n", kOpenName);
    return task->OpenCameraCapture(info.devName);
}

int CCameraTaskOBJList::StartCameraCapture(int camID, FrameCallBack fn)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [fn](CCameraTaskOBJ &t) { return t.StartCameraCapture(fn); });
}

int CCameraTaskOBJList::StopCameraCapture(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.StopCameraCapture(); });
}

int CCameraTaskOBJList::CloseCameraCapture(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.CloseCameraCapture(); });
}

char *CCameraTaskOBJList::GetCameraResList(int camID)
{
    return WithTask<char *>(GetCameraHandle(camID), nullptr, [](CCameraTaskOBJ &t) { return t.GetCameraResList(); });
}

int CCameraTaskOBJList::GetCameraResolution(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.GetCameraResolution(); });
}

int CCameraTaskOBJList::SetCameraResolution(int camID, int resNo)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [resNo](CCameraTaskOBJ &t) { return t.SetCameraResolution(resNo); });
}

int CCameraTaskOBJList::GetCameraVideoFormat(int camID, char *buf, int len)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [=](CCameraTaskOBJ &t) { return t.GetCameraVideoFormat(buf, len); });
}

int CCameraTaskOBJList::GetCameraFPS(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.GetCameraFPS(); });
}

int CCameraTaskOBJList::SetCameraFPS(int camID, int fps)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [fps](CCameraTaskOBJ &t) { return t.SetCameraFPS(fps); });
}

int CCameraTaskOBJList::GetCameraExposureMold(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.GetCameraExposureMold(); });
}

int CCameraTaskOBJList::GetCameraExposureLevel(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.GetCameraExposureLevel(); });
}

int CCameraTaskOBJList::GetCameraExposureGear(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.GetCameraExposureGear(); });
}

int CCameraTaskOBJList::SetCameraExposureLevel(int camID, int level)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [level](CCameraTaskOBJ &t) { return t.SetCameraExposureLevel(level); });
}

int CCameraTaskOBJList::SetCameraExposureManual(int camID)
{
    return WithTask(GetCameraHandle(camID), zarn::kNoSuchCamera, [](CCameraTaskOBJ &t) { return t.SetCameraExposureManual(); });
}
