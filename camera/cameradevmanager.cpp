#include "cameradevmanager.h"
#include "resultcodes.h"

#include "spinlock.h"

#include <cjson/cJSON.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

namespace {

camerainfo EntryFromNode(const tag_dev_online_node &node, int camID)
{
    camerainfo info;
    std::memset(&info, 0, sizeof info);
    CopyCamText(info.action, node.action.c_str());
    CopyCamText(info.devName, node.devName.c_str());
    CopyCamText(info.name, node.name.c_str());
    info.vid = static_cast<int>(node.vid);
    info.pid = static_cast<int>(node.pid);
    info.workStatus = 0;
    info.index = camID;
    return info;
}

// The five members every camera text carries, in this order.
cJSON *CameraObject(int index, int vid, int pid, const char *name, const char *action)
{
    cJSON *obj = cJSON_CreateObject();
    cJSON_AddNumberToObject(obj, "index", index);
    cJSON_AddNumberToObject(obj, "vid", vid);
    cJSON_AddNumberToObject(obj, "pid", pid);
    cJSON_AddStringToObject(obj, "name", name);
    cJSON_AddStringToObject(obj, "action", action);
    return obj;
}

// Hot-plug threads of managers destroyed from their own camera-change
// callback: such a thread cannot join itself, so it is parked here and
// joined by the next manager that starts or ends, before that one touches
// udev.  Never a thread left running behind the program's back.
std::mutex g_retiredLock;
std::vector<std::thread> g_retired;

void JoinRetiredHotPlugThreads();

// At exit (or unload of the library) the parked threads are joined too: a
// joinable std::thread must not be destroyed.
struct RetiredAtExit {
    ~RetiredAtExit()
    {
        JoinRetiredHotPlugThreads();
        std::lock_guard<std::mutex> lock(g_retiredLock);
        for (std::thread &t : g_retired)
            t.detach(); // exit() called from a parked thread's own callback
        g_retired.clear();
    }
} g_retiredAtExit;

void RetireHotPlugThread(std::thread thread)
{
    std::lock_guard<std::mutex> lock(g_retiredLock);
    g_retired.push_back(std::move(thread));
}

// Joins every parked thread except the calling one (a callback may start a
// new manager from a retiring thread).  The lock is not held while joining.
void JoinRetiredHotPlugThreads()
{
    std::vector<std::thread> ready;
    {
        std::lock_guard<std::mutex> lock(g_retiredLock);
        for (auto it = g_retired.begin(); it != g_retired.end();) {
            if (it->get_id() != std::this_thread::get_id()) {
                ready.push_back(std::move(*it));
                it = g_retired.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (std::thread &t : ready)
        t.join();
}

} // namespace

CCameraDevManager::CCameraDevManager() : m_hotPlugCallBack(nullptr), m_listLock(false), m_camDevCount(0) {}

CCameraDevManager::~CCameraDevManager()
{
    if (m_hotPlug) {
        m_hotPlug->RequestStop();
        if (m_hotPlugThread.joinable()) {
            if (m_hotPlugThread.get_id() == std::this_thread::get_id())
                RetireHotPlugThread(std::move(m_hotPlugThread)); // destroyed from the camera-change callback
            else
                m_hotPlugThread.join();
        }
        m_hotPlug.reset();
    }
    m_hotPlugCallBack = nullptr;
    JoinRetiredHotPlugThreads();
    {
        SpinLockGuard lock(m_listLock);
        m_camDevList.clear();
        m_camLostList.clear();
        m_camDevCount = 0;
    }
    // m_taskList is destroyed after this body: it closes every open camera.
}

void CCameraDevManager::SetHotPlugCallBackFunc(ChangeCallBack fn)
{
    m_hotPlugCallBack = fn;
}

int CCameraDevManager::StartHotPlugThread()
{
    if (m_hotPlug)
        return 0;
    JoinRetiredHotPlugThreads(); // the previous manager's thread has let go of udev
    auto hotPlug = std::make_shared<CHotPlug>();
    hotPlug->SetCallBackfunc(this, &CCameraDevManager::HotplugCallBack);
    try {
        m_hotPlugThread = std::thread([hotPlug] {
            pthread_setname_np(pthread_self(), "kobix-hotplug");
            hotPlug->StartHotplugMonitor(nullptr);
        });
    } catch (const std::system_error &) {
        return zarn::kNoHotPlugThread;
    }
    m_hotPlug = std::move(hotPlug);
    return 0;
}

void CCameraDevManager::HotplugCallBack(void *userData, tag_dev_online_node node)
{
    auto *self = static_cast<CCameraDevManager *>(userData);
    self->ChangeCameraDevList(node);
    char *text = self->OrganizeHotplugCBString(node);
    if (!text)
        return;
    printf("%s \n", text);
    ChangeCallBack fn = self->m_hotPlugCallBack.load();
    if (fn)
        fn(text); // the receiver owns the text now
    else
        free(text);
}

char *CCameraDevManager::OrganizeHotplugCBString(const tag_dev_online_node &node)
{
    cJSON *obj = CameraObject(node.index, static_cast<int>(node.vid), static_cast<int>(node.pid), node.name.c_str(),
                              node.action.c_str());
    char *text = cJSON_Print(obj);
    cJSON_Delete(obj);
    return text;
}

int CCameraDevManager::MaxCameraIDFlagLocked() const
{
    return m_camDevList.empty() ? 0 : m_camDevList.back().index + 1;
}

int CCameraDevManager::MaxCameraIDFlag()
{
    SpinLockGuard lock(m_listLock);
    return MaxCameraIDFlagLocked();
}

int CCameraDevManager::ChangeCameraDevList(tag_dev_online_node &node)
{
    SpinLockGuard lock(m_listLock);
    if (node.action.find("add") != std::string::npos) {
        int camID = MaxCameraIDFlagLocked();
        node.index = camID;
        m_camDevList.push_back(EntryFromNode(node, camID));
        m_camDevCount = static_cast<int>(m_camDevList.size());
    } else if (node.action.find("remove") != std::string::npos) {
        // Match the node exactly: /dev/video1 going away must not take
        // /dev/video10 with it.
        for (auto it = m_camDevList.begin(); it != m_camDevList.end();) {
            if (node.devName != it->devName) {
                ++it;
                continue;
            }
            printf("m_camDevList 1 sum:%d\n", static_cast<int>(m_camDevList.size()));
            node.index = it->index;
            CopyCamText(it->action, node.action.c_str());
            if (it->workStatus == 1) {
                // One lost record per identifier is enough to answer -18,
                // and keeps the list bounded over many unplugs.
                for (auto lost = m_camLostList.begin(); lost != m_camLostList.end(); ++lost) {
                    if (lost->index == it->index) {
                        m_camLostList.erase(lost);
                        break;
                    }
                }
                m_camLostList.push_back(*it);
            }
            printf("m_camDevList 2 sum:%d\n", static_cast<int>(m_camDevList.size()));
            it = m_camDevList.erase(it);
            m_camDevCount = static_cast<int>(m_camDevList.size());
            printf("m_camDevList 3 sum:%d\n", static_cast<int>(m_camDevList.size()));
        }
    }
    return 0;
}

int CCameraDevManager::GetCameraInfo(int camID, camerainfo &info)
{
    SpinLockGuard lock(m_listLock);
    for (const auto &entry : m_camDevList) {
        if (entry.index == camID) {
            info = entry;
            return 0;
        }
    }
    return zarn::kNoSuchCamera;
}

bool CCameraDevManager::IsOpenCamID(int camID)
{
    return m_taskList.CameraTaskOBJStatus(camID) == 0;
}

int CCameraDevManager::StatusOfCamID(int camID)
{
    SpinLockGuard lock(m_listLock);
    for (const auto &entry : m_camDevList) {
        if (entry.index == camID)
            return IsOpenCamID(camID) ? zarn::kAlreadyOpen : zarn::kNotOpen;
    }
    for (const auto &entry : m_camLostList) {
        if (entry.index == camID)
            return zarn::kUnplugged;
    }
    return zarn::kNoSuchCamera;
}

int CCameraDevManager::GetCameraDevCount()
{
    SpinLockGuard lock(m_listLock);
    return static_cast<int>(m_camDevList.size());
}

std::size_t CCameraDevManager::LostCameraCount()
{
    SpinLockGuard lock(m_listLock);
    return m_camLostList.size();
}

char *CCameraDevManager::DevListText(const char *func, bool workingOnly)
{
    if (m_camDevCount.load() == 0)
        return nullptr;
    cJSON *array = cJSON_CreateArray();
    int selected = 0;
    {
        SpinLockGuard lock(m_listLock);
        for (const auto &entry : m_camDevList) {
            if (workingOnly && entry.workStatus != 1)
                continue;
            cJSON_AddItemToArray(array, CameraObject(entry.index, entry.vid, entry.pid, entry.name, entry.action));
            ++selected;
        }
    }
    char *text = cJSON_Print(array);
    cJSON_Delete(array);
    printf("[func-%s]camera device list:%s\n", func, text ? text : "");
    if (selected == 0) {
        free(text); // the list emptied meanwhile, or nothing is working
        return nullptr;
    }
    return text;
}

char *CCameraDevManager::GetCamOnLineDevList()
{
    return DevListText("GetCamOnLineDevList", false);
}

char *CCameraDevManager::GetCamWorkDevList()
{
    return DevListText("GetCamWorkDevList", true);
}

int CCameraDevManager::ValidCameraNo()
{
    if (m_camDevCount.load() > 0 && m_taskList.ValidCameraNo() == 0)
        return 0;
    return zarn::kNotOpen;
}

void CCameraDevManager::MarkWorking(int camID, int workStatus)
{
    SpinLockGuard lock(m_listLock);
    for (auto &entry : m_camDevList) {
        if (entry.index == camID)
            entry.workStatus = workStatus;
    }
}

int CCameraDevManager::OpenCamera(int camID)
{
    puts("cameradevmanager OpenCamera:0");
    int ret = StatusOfCamID(camID);
    if (ret != zarn::kNotOpen)
        return ret;
    puts("cameradevmanager  OpenCamera:00");
    ret = m_taskList.CreateCameraTaskOBJ(camID);
    if (ret < 0)
        return ret;
    puts("opencamera:1");
    camerainfo info;
    if (GetCameraInfo(camID, info) != 0) {
        // Unplugged since the status check: nothing to open.
        m_taskList.FreeCameraTaskOBJ(camID);
        return zarn::kNoSuchCamera;
    }
    info.workStatus = 1;
    m_taskList.SetCameraInfo(camID, info);
    puts("opencamera:2");
    ret = m_taskList.OpenCameraCapture(camID);
    puts("opencamera:3");
    if (ret < 0) {
        m_taskList.CloseCameraCapture(camID);
        m_taskList.FreeCameraTaskOBJ(camID);
        return ret;
    }
    MarkWorking(camID, 1);
    return ret;
}

int CCameraDevManager::CloseCamera(int camID)
{
    if (!IsOpenCamID(camID))
        return zarn::kNotOpen;
    m_taskList.CloseCameraCapture(camID);
    m_taskList.FreeCameraTaskOBJ(camID);
    MarkWorking(camID, 0);
    return 0;
}

char *CCameraDevManager::GetCamResList(int camID)
{
    return IsOpenCamID(camID) ? m_taskList.GetCameraResList(camID) : nullptr;
}

int CCameraDevManager::GetCamCurResNo(int camID)
{
    return IsOpenCamID(camID) ? m_taskList.GetCameraResolution(camID) : zarn::kNotOpen;
}

int CCameraDevManager::SetCamCurResNo(int camID, int resNo)
{
    return IsOpenCamID(camID) ? m_taskList.SetCameraResolution(camID, resNo) : zarn::kNotOpen;
}

int CCameraDevManager::StartCamCapture(int camID, FrameCallBack fn)
{
    return IsOpenCamID(camID) ? m_taskList.StartCameraCapture(camID, fn) : zarn::kNotOpen;
}

int CCameraDevManager::StopCameraCapture(int camID)
{
    return IsOpenCamID(camID) ? m_taskList.StopCameraCapture(camID) : zarn::kNotOpen;
}
