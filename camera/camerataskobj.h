// One open camera: its identifier, its copy of the camera record and the
// V4L2 capture object that does the device work.  A thin forwarder: every
// camera operation goes to the capture object, or returns a fixed code when
// the device is not open.
//
// Thread context: the program's threads through the device manager (not
// thread-safe).  The capture object runs its own capture thread.
#pragma once

#include "camerainfo.h"

#include <memory>

class CameraCapture;

class CCameraTaskOBJ
{
public:
    using FrameCallBack = int (*)(void *, int, int, int);

    explicit CCameraTaskOBJ(int camID);
    ~CCameraTaskOBJ(); // closes the device
    CCameraTaskOBJ(const CCameraTaskOBJ &) = delete;
    CCameraTaskOBJ &operator=(const CCameraTaskOBJ &) = delete;

    int Init();
    int ClearCamInfo();
    int CamID() const { return m_camID; }

    static void CopyCamInfo(camerainfo &dst, const camerainfo &src);
    int GetCameraInfo(camerainfo *out);
    int SetCameraInfo(camerainfo info);

    // Creates the capture object if needed and opens devName with it; on
    // failure the capture object is destroyed again.  0 or a capture code.
    int OpenCameraCapture(const char *devName);

    // Local date "%04d%02d%02d" / time "%02d:%02d:%02d" into buf, which is
    // cleared first.  -1 when buf is null or len < 10.
    static int GetCurrentLinuxDate(char *buf, int len);
    static int GetCurrentLinuxTime(char *buf, int len);

    // Forwarders: kNotOpen (null for GetCameraResList) without a capture object.
    int StartCameraCapture(FrameCallBack fn);
    int StopCameraCapture();
    int CloseCameraCapture();
    char *GetCameraResList();
    int GetCameraResolution();
    int SetCameraResolution(int resNo);
    int GetCameraVideoFormat(char *buf, int len);
    int GetCameraFPS();
    int SetCameraFPS(int fps);
    int GetCameraExposureMold();
    int GetCameraExposureLevel();
    int GetCameraExposureGear();
    int SetCameraExposureLevel(int level);
    int SetCameraExposureManual();

private:
    void Clear();

    int m_camID;
    camerainfo m_camInfo;
    std::unique_ptr<CameraCapture> m_capture;
};
