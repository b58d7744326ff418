// The exported interface: thin fronts that check the library state and
// forward to the device manager or the image service.  No function takes a
// lock of its own, so none can deadlock against a frame callback that calls
// back into the interface (closing its own camera, for instance).
#include "zarnkobixmanager.h"

#include "cameradevmanager.h"
#include "cimageprocessserver.h"
#include "resultcodes.h"

#include <algorithm>
#include <cstring>

extern "C" {
ZARNCAMERA_API CCameraDevManager *cameraManager = nullptr;
ZARNCAMERA_API CImageProcessServer *imageServer = nullptr;
}

namespace {

// The project version (CMake), shared with the program and the package.
const char kVersion[] = ZARN_VERSION;

// ZarnCamera_DrawLine's one answer when drawing is not possible.
constexpr int kCannotDraw = 1;

template <typename T> T *Load(T *const &global)
{
    return __atomic_load_n(&global, __ATOMIC_ACQUIRE);
}

template <typename T> void Store(T *&global, T *value)
{
    __atomic_store_n(&global, value, __ATOMIC_RELEASE);
}

// Common start of every image function: initialised, a camera usable, the
// image service present.  0 or the code to return.
int ImagePreamble(int notInit, int notUsable)
{
    CCameraDevManager *mgr = Load(cameraManager);
    if (!mgr)
        return notInit;
    if (mgr->ValidCameraNo() != 0)
        return notUsable;
    if (!Load(imageServer))
        Store(imageServer, new CImageProcessServer());
    return 0;
}

} // namespace

void ZarnCamera_GetVersion(char *buf, int len)
{
    if (!buf || len <= 0)
        return;
    std::memcpy(buf, kVersion, std::min<size_t>(static_cast<size_t>(len), sizeof kVersion));
}

int ZarnCamera_Init(void)
{
    if (Load(cameraManager))
        return zarn::kNotInitialised;
    auto *mgr = new CCameraDevManager();
    int ret = mgr->StartHotPlugThread();
    if (ret < 0) {
        delete mgr;
        return ret;
    }
    Store(cameraManager, mgr);
    if (!Load(imageServer))
        Store(imageServer, new CImageProcessServer());
    return 0;
}

int ZarnCamera_UnInit(void)
{
    CCameraDevManager *mgr = Load(cameraManager);
    if (!mgr)
        return zarn::kNotUsable;
    // Unpublish first, so a callback still running sees an uninitialised
    // library rather than a manager being torn down.
    Store(cameraManager, static_cast<CCameraDevManager *>(nullptr));
    delete mgr;
    if (CImageProcessServer *server = Load(imageServer)) {
        Store(imageServer, static_cast<CImageProcessServer *>(nullptr));
        delete server;
    }
    return 0;
}

int ZarnCamera_RegCallBackCameraChange(void (*fn)(char *))
{
    CCameraDevManager *mgr = Load(cameraManager);
    if (!mgr)
        return zarn::kNotInitialised;
    mgr->SetHotPlugCallBackFunc(fn);
    return 0;
}

int ZarnCamera_GetDevCount(void)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->GetCameraDevCount() : zarn::kNotInitialised;
}

char *ZarnCamera_GetOnLineDevList(void)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->GetCamOnLineDevList() : nullptr;
}

char *ZarnCamera_GetWorkDevList(void)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->GetCamWorkDevList() : nullptr;
}

int ZarnCamera_Open(int camID)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->OpenCamera(camID) : zarn::kNotInitialised;
}

int ZarnCamera_Close(int camID)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->CloseCamera(camID) : zarn::kNotInitialised;
}

char *ZarnCamera_GetResolutionList(int camID)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->GetCamResList(camID) : nullptr;
}

int ZarnCamera_GetCurResolutionNo(int camID)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->GetCamCurResNo(camID) : zarn::kNotInitialised;
}

int ZarnCamera_SetCurResolutionNo(int camID, int resNo)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->SetCamCurResNo(camID, resNo) : zarn::kNotInitialised;
}

int ZarnCamera_StartCapture(int camID, int (*fn)(void *, int, int, int))
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->StartCamCapture(camID, fn) : 0;
}

int ZarnCamera_StopCapture(int camID)
{
    CCameraDevManager *mgr = Load(cameraManager);
    return mgr ? mgr->StopCameraCapture(camID) : 0;
}

int ZarnCamera_SetImageColorStyle(int style)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->SetImageColorStyle(style);
}

int ZarnCamera_SetImageJPGQuality(int quality)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->SetImageJPGQuality(quality);
}

int ZarnCamera_SetAutoCrop(int mode)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->SetAutoCrop(mode);
}

int ZarnCamera_SetImageRotateMode(int mode)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->SetImageRotateMode(mode);
}

int ZarnCamera_YuYv422toRGB24(unsigned char *yuyv, unsigned char *rgb, unsigned int rgbSize, unsigned int width,
                              unsigned int height)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->YUYV422ToRGB888(yuyv, rgb, rgbSize, width, height);
}

int ZarnCamera_SaveVideoData(void *data, int width, int height, int format, const char *path)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->SaveVideoData(data, width, height, format, path);
}

int ZarnCamera_SaveRGB888Image(char *data, int width, int height, int format, const char *path)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->SaveRGB888Image(data, width, height, format, path);
}

int ZarnCamera_ConvertImagetoImage(const char *srcPath, const char *dstPath)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->ConvertImagetoImage(srcPath, dstPath);
}

int ZarnCamera_AddImageFiletoMultiFile(const char *path)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->AddImageFiletoMultiFile(path);
}

int ZarnCamera_CombineMultiFile(const char *path)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->CombineMultiFile(path);
}

int ZarnCamera_DrawLine(char *, int &, int &, int &, int)
{
    // Touches none of its arguments; only tells whether drawing is possible.
    return ImagePreamble(kCannotDraw, kCannotDraw);
}

int ZarnCamera_SetContours(void **image, int width, int height, int format, int mode)
{
    int ret = ImagePreamble(zarn::kNotInitialised, zarn::kNotUsable);
    return ret ? ret : Load(imageServer)->SetContours(image, width, height, format, mode);
}
