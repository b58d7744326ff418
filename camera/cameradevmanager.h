// The library's central object: the list of supported cameras that are
// online, their identifiers, the camera-change texts handed to the program,
// and the open cameras (one task object each).
//
// Thread context: HotplugCallBack (and with it ChangeCameraDevList and
// OrganizeHotplugCBString) runs on the hot-plug thread; everything else on
// the program's threads, which must not run two camera operations at once.
// The two device lists are guarded by m_listLock; the task list is not.
#pragma once

#include "camerainfo.h"
#include "camerataskobjlist.h"
#include "chotplug.h"

#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <thread>

class CCameraDevManager
{
public:
    using ChangeCallBack = void (*)(char *text);
    using FrameCallBack = int (*)(void *, int, int, int);

    CCameraDevManager();
    // Stops and joins the hot-plug thread before releasing the monitor, then
    // empties the lists and closes every open camera.
    ~CCameraDevManager();
    CCameraDevManager(const CCameraDevManager &) = delete;
    CCameraDevManager &operator=(const CCameraDevManager &) = delete;

    void SetHotPlugCallBackFunc(ChangeCallBack fn);

    // Creates the monitor and starts the hot-plug thread.  0, or
    // zarn::kNoHotPlugThread when the thread cannot be started.
    int StartHotPlugThread();

    static void HotplugCallBack(void *userData, tag_dev_online_node node);
    // Camera-change text for node (malloc'ed; the receiver frees it).
    char *OrganizeHotplugCBString(const tag_dev_online_node &node);
    int MaxCameraIDFlag();
    int ChangeCameraDevList(tag_dev_online_node &node);

    int GetCameraInfo(int camID, camerainfo &info);
    bool IsOpenCamID(int camID);
    int StatusOfCamID(int camID);
    int GetCameraDevCount();
    // Records kept of cameras unplugged while open (they answer
    // zarn::kUnplugged): at most one per identifier, however many unplugs.
    std::size_t LostCameraCount();
    char *GetCamOnLineDevList();
    char *GetCamWorkDevList();
    int ValidCameraNo();

    int OpenCamera(int camID);
    int CloseCamera(int camID);
    char *GetCamResList(int camID);
    int GetCamCurResNo(int camID);
    int SetCamCurResNo(int camID, int resNo);
    int StartCamCapture(int camID, FrameCallBack fn);
    int StopCameraCapture(int camID);

private:
    int MaxCameraIDFlagLocked() const;
    char *DevListText(const char *func, bool workingOnly);
    void MarkWorking(int camID, int workStatus);

    std::atomic<ChangeCallBack> m_hotPlugCallBack;
    // Shared with the hot-plug thread, which keeps the monitor alive until it
    // has ended even when the manager is destroyed on that very thread.
    std::shared_ptr<CHotPlug> m_hotPlug;
    std::thread m_hotPlugThread;
    std::atomic<bool> m_listLock;
    CCameraTaskOBJList m_taskList;
    std::list<camerainfo> m_camDevList;
    std::list<camerainfo> m_camLostList;
    // Entry count of m_camDevList, readable without the lock.
    std::atomic<int> m_camDevCount;
};
