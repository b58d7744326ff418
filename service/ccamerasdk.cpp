#include "ccamerasdk.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

template <typename Fn>
void bind(void *handle, const char *name, Fn &slot)
{
    slot = reinterpret_cast<Fn>(dlsym(handle, name));
}

}  // namespace

CCameraSDK::CCameraSDK(const char *libraryPath)
    : loaded(false), m_handle(nullptr), m_libraryPath(libraryPath)
{
    clearSlots();
}

CCameraSDK::~CCameraSDK()
{
    // The owner normally calls FreeLib(); a binding deleted after a failed
    // LoadLib() must not leave the library mapped either (silently: the
    // failure has been reported already).
    if (m_handle)
        dlclose(m_handle);
}

void CCameraSDK::clearSlots()
{
    m_GetVersion = nullptr;
    m_Init = nullptr;
    m_UnInit = nullptr;
    m_GetDevCount = nullptr;
    m_GetOnLineDevList = nullptr;
    m_GetWorkDevList = nullptr;
    m_Open = nullptr;
    m_Close = nullptr;
    m_GetResolutionList = nullptr;
    m_GetCurResolutionNo = nullptr;
    m_SetCurResolutionNo = nullptr;
    m_SetImageColorStyle = nullptr;
    m_SetImageJPGQuality = nullptr;
    m_SetAutoCrop = nullptr;
    m_SetImageRotateMode = nullptr;
    m_YuYv422toRGB24 = nullptr;
    m_SaveVideoData = nullptr;
    m_SaveRGB888Image = nullptr;
    m_ConvertImagetoImage = nullptr;
    m_CombineMultiFile = nullptr;
    m_AddImageFiletoMultiFile = nullptr;
    m_StartCapture = nullptr;
    m_StopCapture = nullptr;
    m_RegCallBackCameraChange = nullptr;
    m_DrawLine = nullptr;
    m_SetContours = nullptr;
}

int CCameraSDK::LoadLib()
{
    if (loaded)
        return 0;
    if (!m_handle) {
        // RTLD_NOW alone: the library's symbols stay out of the global scope.
        m_handle = dlopen(m_libraryPath, RTLD_NOW);
        if (!m_handle) {
            const char *err = dlerror();
            printf("load morvane :%s\n", err ? err : "");
            return -1;
        }
    }
    bind(m_handle, "ZarnCamera_Init", m_Init);
    bind(m_handle, "ZarnCamera_UnInit", m_UnInit);
    bind(m_handle, "ZarnCamera_GetVersion", m_GetVersion);
    bind(m_handle, "ZarnCamera_GetDevCount", m_GetDevCount);
    bind(m_handle, "ZarnCamera_GetOnLineDevList", m_GetOnLineDevList);
    bind(m_handle, "ZarnCamera_GetWorkDevList", m_GetWorkDevList);
    bind(m_handle, "ZarnCamera_Open", m_Open);
    bind(m_handle, "ZarnCamera_Close", m_Close);
    bind(m_handle, "ZarnCamera_GetResolutionList", m_GetResolutionList);
    bind(m_handle, "ZarnCamera_GetCurResolutionNo", m_GetCurResolutionNo);
    bind(m_handle, "ZarnCamera_SetCurResolutionNo", m_SetCurResolutionNo);
    bind(m_handle, "ZarnCamera_SetImageColorStyle", m_SetImageColorStyle);
    bind(m_handle, "ZarnCamera_SetImageJPGQuality", m_SetImageJPGQuality);
    bind(m_handle, "ZarnCamera_SetAutoCrop", m_SetAutoCrop);
    bind(m_handle, "ZarnCamera_SetImageRotateMode", m_SetImageRotateMode);
    bind(m_handle, "ZarnCamera_YuYv422toRGB24", m_YuYv422toRGB24);
    bind(m_handle, "ZarnCamera_SaveVideoData", m_SaveVideoData);
    bind(m_handle, "ZarnCamera_SaveRGB888Image", m_SaveRGB888Image);
    bind(m_handle, "ZarnCamera_ConvertImagetoImage", m_ConvertImagetoImage);
    bind(m_handle, "ZarnCamera_CombineMultiFile", m_CombineMultiFile);
    bind(m_handle, "ZarnCamera_AddImageFiletoMultiFile", m_AddImageFiletoMultiFile);
    bind(m_handle, "ZarnCamera_StartCapture", m_StartCapture);
    bind(m_handle, "ZarnCamera_StopCapture", m_StopCapture);
    bind(m_handle, "ZarnCamera_RegCallBackCameraChange", m_RegCallBackCameraChange);
    bind(m_handle, "ZarnCamera_DrawLine", m_DrawLine);
    bind(m_handle, "ZarnCamera_SetContours", m_SetContours);

    // ZarnCamera_DrawLine is optional; every other function is required.
    bool complete = m_Init && m_UnInit && m_GetVersion && m_GetDevCount && m_GetOnLineDevList &&
                    m_GetWorkDevList && m_Open && m_Close && m_GetResolutionList && m_GetCurResolutionNo &&
                    m_SetCurResolutionNo && m_SetImageColorStyle && m_SetImageJPGQuality && m_SetAutoCrop &&
                    m_SetImageRotateMode && m_YuYv422toRGB24 && m_SaveVideoData && m_SaveRGB888Image &&
                    m_ConvertImagetoImage && m_CombineMultiFile && m_AddImageFiletoMultiFile &&
                    m_StartCapture && m_StopCapture && m_RegCallBackCameraChange && m_SetContours;
    if (!complete) {
        printf("[%s]load camera sdk failed\n", "LoadLib");
        return -1;
    }
    printf("[%s]load camera sdk success\n", "LoadLib");
    loaded = true;
    return 0;
}

void CCameraSDK::FreeLib()
{
    if (m_handle) {
        puts("free morvane success");
        dlclose(m_handle);
        m_handle = nullptr;
    }
    loaded = false;
    clearSlots();
}

// Forwarding: a slot that is not bound fails instead of being called; the
// library's camera objects and image service take no lock of their own, so
// calls from different threads go in one at a time.
#define KOBIX_FORWARD(slot, fail, ...)                  \
    std::lock_guard<std::mutex> callGuard(m_callLock); \
    return (slot) ? (slot)(__VA_ARGS__) : (fail)

void CCameraSDK::GetVersion(char *buf, int len)
{
    if (m_GetVersion)
        m_GetVersion(buf, len);
    else if (buf && len > 0)
        buf[0] = '\0';
}

int CCameraSDK::Init() { KOBIX_FORWARD(m_Init, -1); }
int CCameraSDK::UnInit() { KOBIX_FORWARD(m_UnInit, -1); }
int CCameraSDK::GetDevCount() { KOBIX_FORWARD(m_GetDevCount, -1); }
char *CCameraSDK::GetOnLineDevList() { KOBIX_FORWARD(m_GetOnLineDevList, nullptr); }
char *CCameraSDK::GetWorkDevList() { KOBIX_FORWARD(m_GetWorkDevList, nullptr); }
int CCameraSDK::Open(int camID) { KOBIX_FORWARD(m_Open, -1, camID); }
int CCameraSDK::Close(int camID) { KOBIX_FORWARD(m_Close, -1, camID); }
char *CCameraSDK::GetResolutionList(int camID) { KOBIX_FORWARD(m_GetResolutionList, nullptr, camID); }
int CCameraSDK::GetCurResolutionNo(int camID) { KOBIX_FORWARD(m_GetCurResolutionNo, -1, camID); }
int CCameraSDK::SetCurResolutionNo(int camID, int resNo) { KOBIX_FORWARD(m_SetCurResolutionNo, -1, camID, resNo); }
int CCameraSDK::SetImageColorStyle(int style) { KOBIX_FORWARD(m_SetImageColorStyle, -1, style); }
int CCameraSDK::SetImageJPGQuality(int quality) { KOBIX_FORWARD(m_SetImageJPGQuality, -1, quality); }
int CCameraSDK::SetAutoCrop(int mode) { KOBIX_FORWARD(m_SetAutoCrop, -1, mode); }
int CCameraSDK::SetImageRotateMode(int mode) { KOBIX_FORWARD(m_SetImageRotateMode, -1, mode); }

int CCameraSDK::YuYv422toRGB24(unsigned char *yuyv, unsigned char *rgb, unsigned int rgbSize, unsigned int width,
                               unsigned int height)
{
    KOBIX_FORWARD(m_YuYv422toRGB24, -1, yuyv, rgb, rgbSize, width, height);
}

int CCameraSDK::SaveVideoData(void *data, int width, int height, int format, const char *path)
{
    KOBIX_FORWARD(m_SaveVideoData, -1, data, width, height, format, path);
}

int CCameraSDK::SaveRGB888Image(char *data, int width, int height, int format, const char *path)
{
    KOBIX_FORWARD(m_SaveRGB888Image, -1, data, width, height, format, path);
}

int CCameraSDK::ConvertImagetoImage(const char *srcPath, const char *dstPath)
{
    KOBIX_FORWARD(m_ConvertImagetoImage, -1, srcPath, dstPath);
}

int CCameraSDK::CombineMultiFile(const char *path) { KOBIX_FORWARD(m_CombineMultiFile, -1, path); }
int CCameraSDK::AddImageFiletoMultiFile(const char *path) { KOBIX_FORWARD(m_AddImageFiletoMultiFile, -1, path); }
int CCameraSDK::StartCapture(int camID, int (*fn)(void *, int, int, int)) { KOBIX_FORWARD(m_StartCapture, -1, camID, fn); }
int CCameraSDK::StopCapture(int camID) { KOBIX_FORWARD(m_StopCapture, -1, camID); }
int CCameraSDK::RegCallBackCameraChange(void (*fn)(char *)) { KOBIX_FORWARD(m_RegCallBackCameraChange, -1, fn); }
int CCameraSDK::DrawLine(char *data, int &a, int &b, int &c, int d) { KOBIX_FORWARD(m_DrawLine, -1, data, a, b, c, d); }

int CCameraSDK::SetContours(void **image, int width, int height, int format, int mode)
{
    KOBIX_FORWARD(m_SetContours, -1, image, width, height, format, mode);
}

#undef KOBIX_FORWARD
