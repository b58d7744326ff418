#include "camerataskobj.h"
#include "resultcodes.h"

#include "cameracapture.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

template <typename M, typename F> auto WithCapture(CameraCapture *capture, M missing, F op) -> decltype(op(*capture))
{
    return capture ? op(*capture) : missing;
}

// Writes the local clock with fmt into buf after clearing it.
int FormatLocalClock(char *buf, int len, bool date)
{
    if (!buf || len < 10)
        return zarn::kBadArgument;
    std::memset(buf, 0, static_cast<size_t>(len));
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (date)
        snprintf(buf, static_cast<size_t>(len), "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    else
        snprintf(buf, static_cast<size_t>(len), "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return 0;
}

} // namespace

CCameraTaskOBJ::CCameraTaskOBJ(int camID) : m_camID(camID)
{
    std::memset(&m_camInfo, 0, sizeof m_camInfo);
}

CCameraTaskOBJ::~CCameraTaskOBJ()
{
    Clear();
}

void CCameraTaskOBJ::Clear()
{
    std::memset(&m_camInfo, 0, sizeof m_camInfo);
    m_capture.reset(); // the capture object closes its device
}

int CCameraTaskOBJ::Init()
{
    Clear();
    return 0;
}

int CCameraTaskOBJ::ClearCamInfo()
{
    Clear();
    return 0;
}

void CCameraTaskOBJ::CopyCamInfo(camerainfo &dst, const camerainfo &src)
{
    dst.index = src.index;
    dst.vid = src.vid;
    dst.pid = src.pid;
    dst.workStatus = src.workStatus;
    CopyCamText(dst.devName, src.devName);
    CopyCamText(dst.name, src.name);
    CopyCamText(dst.action, src.action);
}

int CCameraTaskOBJ::GetCameraInfo(camerainfo *out)
{
    if (!out)
        return zarn::kBadArgument;
    CopyCamInfo(*out, m_camInfo);
    return 0;
}

int CCameraTaskOBJ::SetCameraInfo(camerainfo info)
{
    CopyCamInfo(m_camInfo, info);
    return 0;
}

int CCameraTaskOBJ::OpenCameraCapture(const char *devName)
{
    if (!m_capture)
        m_capture = std::make_unique<CameraCapture>();
    int ret = m_capture->OpenCameraCapture(devName);
    if (ret != 0)
        m_capture.reset();
    return ret;
}

int CCameraTaskOBJ::GetCurrentLinuxDate(char *buf, int len)
{
    return FormatLocalClock(buf, len, true);
}

int CCameraTaskOBJ::GetCurrentLinuxTime(char *buf, int len)
{
    return FormatLocalClock(buf, len, false);
}

int CCameraTaskOBJ::StartCameraCapture(FrameCallBack fn)
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [fn](CameraCapture &c) { return c.StartCameraCapture(fn); });
}

int CCameraTaskOBJ::StopCameraCapture()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.StopCameraCapture(); });
}

int CCameraTaskOBJ::CloseCameraCapture()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.CloseCameraCapture(); });
}

char *CCameraTaskOBJ::GetCameraResList()
{
    return WithCapture<char *>(m_capture.get(), nullptr, [](CameraCapture &c) { return c.GetCameraResList(); });
}

int CCameraTaskOBJ::GetCameraResolution()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.GetCameraResolution(); });
}

int CCameraTaskOBJ::SetCameraResolution(int resNo)
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [resNo](CameraCapture &c) { return c.SetCameraResolution(resNo); });
}

int CCameraTaskOBJ::GetCameraVideoFormat(char *buf, int len)
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [=](CameraCapture &c) { return c.GetCameraVideoFormat(buf, len); });
}

int CCameraTaskOBJ::GetCameraFPS()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.GetCameraFPS(); });
}

int CCameraTaskOBJ::SetCameraFPS(int fps)
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [fps](CameraCapture &c) { return c.SetCameraFPS(fps); });
}

int CCameraTaskOBJ::GetCameraExposureMold()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.GetCameraExposureMold(); });
}

int CCameraTaskOBJ::GetCameraExposureLevel()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.GetCameraExposureLevel(); });
}

int CCameraTaskOBJ::GetCameraExposureGear()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.GetCameraExposureGear(); });
}

int CCameraTaskOBJ::SetCameraExposureLevel(int level)
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [level](CameraCapture &c) { return c.SetCameraExposureLevel(level); });
}

int CCameraTaskOBJ::SetCameraExposureManual()
{
    return WithCapture(m_capture.get(), zarn::kNotOpen, [](CameraCapture &c) { return c.SetCameraExposureManual(); });
}
