// CameraCapture: the library's handle on one Video4Linux2 capture node.
//
// It opens and checks the node, lists its frame sizes (and hands them out as
// JSON), switches it to MJPG at a chosen size, and streams it through
// memory-mapped buffers on its own capture thread, handing each frame to a
// frame callback.
//
// Threads: every method runs on the caller's thread (the thread that drives
// the exported interface), one call at a time; the object takes no locks.
// The frame callback runs on the capture thread.  StopCameraCapture,
// CloseCameraCapture and the destructor may also be called from inside the
// frame callback: they then return at once and the capture thread finishes
// the teardown on its way out.  From any other thread they return as soon as
// a callback in progress has returned (at most about 2.2 seconds for one
// that does not; the teardown is then left to the thread as well).
//
// Results: 0 or a negative code of resultcodes.h; JSON texts are
// malloc'ed and owned by the caller (free), null when there is nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ZarnKobixManager.h"

class CaptureSession;

struct tag_CameraWidthAndHeight {
    std::int32_t width;
    std::int32_t height;
};

struct tag_CameraVideoFmt {
    char fmtName[48]; // four-character code, low byte first
    char fmtTip[48];  // the driver's description, at most 47 characters
};

// Largest width first (signed comparison).
bool GreaterSort(tag_CameraWidthAndHeight a, tag_CameraWidthAndHeight b);
bool LessSort(tag_CameraWidthAndHeight a, tag_CameraWidthAndHeight b);

// The process-wide record of the frame callback handed to the latest start.
extern "C" ZarnCameraFrameCallback gCameraRecvFun;

class CameraCapture {
public:
    CameraCapture();
    ~CameraCapture();
    CameraCapture(const CameraCapture &) = delete;
    CameraCapture &operator=(const CameraCapture &) = delete;

    // ---- device set-up ----
    int OpenCameraCapture(const char *path);
    bool IsOpen() const { return m_open.load(); }
    // Resolution list as JSON ("res-no", "res-w", "res-h"), largest width
    // first; null when not open or empty.  Also replaces m_resList.
    char *GetCameraResList();
    // Requests MJPG at entry n of the list; must not be called while streaming.
    int SetCameraResolution(int n);
    // Position in the list of the driver's current size, or a negative code.
    int GetCameraResolution();
    // Four-character code of the current pixel format into buf (always
    // zero-terminated, at most size - 1 characters).
    int GetCameraVideoFormat(char *buf, int size);
    char *EnumCameraVideoFormat();
    int GetCameraFPS();
    // fps must be positive (it paces the capture thread).
    int SetCameraFPS(int fps);
    int GetCameraExposureMold();
    int GetCameraExposureLevel();
    int GetCameraExposureGear();
    int SetCameraExposureLevel(int level);
    int SetCameraExposureManual();

    static char *OrganizeResSizeJSONStr(const std::vector<tag_CameraWidthAndHeight> &list);
    static char *OrganizeVideoFmtJSONStr(const std::vector<tag_CameraVideoFmt> &list);
    static int xioctl(int fd, unsigned long request, void *arg);

    // ---- streaming ----
    int StartCameraCapture(ZarnCameraFrameCallback callback);
    int StopCameraCapture();
    int CloseCameraCapture();

    int CamCapture_Start();
    void CamCapture_Stop();
    void CamCapture_Release();
    int CamCapture_Close();

private:
    void InitCamCapArgc();
    // A system call failed where no fixed text is printed: prints one line
    // with the operation, the call, the device node and errno's text, and
    // returns code.
    int failed(const char *operation, const char *call, int code) const;
    // Ends the current capture thread: requests the stop, wakes the thread
    // and joins it.  Returns false when it could not wait (called on the
    // capture thread itself, or the callback did not return in time); the
    // run then stays pending and its thread tears it down on the way out.
    bool endCaptureThread();
    // Lets the capture thread own what is left of the run (device closing).
    void handOverRun();

    // The capture thread's flags (running, stop requested) and the mapped
    // buffers live in the run (CaptureSession), which the thread shares and
    // which may outlive this object.
    std::thread m_thread; // capture thread of the current run; not joinable if none
    int m_fd;
    std::string m_path; // device node of the latest open, for failure lines
    std::uint32_t m_width;
    std::int32_t m_height;
    std::int32_t m_fps;
    std::vector<tag_CameraWidthAndHeight> m_resList;
    ZarnCameraFrameCallback m_frameCallback;
    std::atomic<bool> m_open;
    std::shared_ptr<CaptureSession> m_session; // current run, null if none
};
