// The task objects of all open cameras, reached by camera identifier.
// Lookups take the first match; identifiers are unique (creation refuses a
// duplicate).  Destroying the list closes every camera.
//
// Thread context: the program's threads through the device manager only;
// no lock.
#pragma once

#include "camerainfo.h"

#include <memory>
#include <vector>

class CCameraTaskOBJ;

class CCameraTaskOBJList
{
public:
    using FrameCallBack = int (*)(void *, int, int, int);

    CCameraTaskOBJList();
    ~CCameraTaskOBJList();
    CCameraTaskOBJList(const CCameraTaskOBJList &) = delete;
    CCameraTaskOBJList &operator=(const CCameraTaskOBJList &) = delete;

    CCameraTaskOBJ *GetCameraHandle(int camID);
    int CreateCameraTaskOBJ(int camID); // 0, or kTaskExists for a duplicate
    int FreeCameraTaskOBJ(int camID);   // always 0
    int CameraTaskOBJStatus(int camID); // 0 when present, else kNotOpen
    int ValidCameraNo();                // 0 when any task object exists, else kNotOpen
    int Count() const { return static_cast<int>(m_taskOBJList.size()); }

    int GetCameraInfo(int camID, camerainfo *out); // kNoSuchCamera without task object
    int SetCameraInfo(int camID, camerainfo info); // kNoSuchCamera without task object
    int OpenCameraCapture(int camID);              // kNoTask without task object

    // Forwarders: kNoSuchCamera (null for GetCameraResList) without task object.
    int StartCameraCapture(int camID, FrameCallBack fn);
    int StopCameraCapture(int camID);
    int CloseCameraCapture(int camID);
    char *GetCameraResList(int camID);
    int GetCameraResolution(int camID);
    int SetCameraResolution(int camID, int resNo);
    int GetCameraVideoFormat(int camID, char *buf, int len);
    int GetCameraFPS(int camID);
    int SetCameraFPS(int camID, int fps);
    int GetCameraExposureMold(int camID);
    int GetCameraExposureLevel(int camID);
    int GetCameraExposureGear(int camID);
    int SetCameraExposureLevel(int camID, int level);
    int SetCameraExposureManual(int camID);

private:
    std::vector<std::unique_ptr<CCameraTaskOBJ>> m_taskOBJList;
};
