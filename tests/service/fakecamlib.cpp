// A stand-in camera library for the binding tests: every function of the
// interface but ZarnCamera_DrawLine, each returning a recognisable value.
// Built with KOBIX_FAKE_WITHOUT_OPEN it also lacks a required function.
// Built with KOBIX_FAKE_TEXTS it opens every camera and hands out the
// device list and resolution list texts set through kobixFakeSetTexts (for
// the fuzz targets of the service's parsers of those texts).
#include "ZarnKobixManager.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {

static void (*g_change)(char *) = nullptr;

void ZarnCamera_GetVersion(char *buf, int len)
{
    if (buf && len > 0) {
        strncpy(buf, "fake-1", len);
        buf[len - 1] = '\0';
    }
}
int ZarnCamera_Init(void) { return -7; }
int ZarnCamera_UnInit(void) { return 0; }
int ZarnCamera_RegCallBackCameraChange(void (*fn)(char *))
{
    g_change = fn;
    return 0;
}
int ZarnCamera_GetDevCount(void) { return 42; }
#ifdef KOBIX_FAKE_TEXTS
static std::string g_devList = "[]";
static std::string g_resList = "[]";
__attribute__((visibility("default"))) void kobixFakeSetTexts(const char *devList, const char *resList)
{
    g_devList = devList;
    g_resList = resList;
}
char *ZarnCamera_GetOnLineDevList(void) { return strdup(g_devList.c_str()); }
#else
char *ZarnCamera_GetOnLineDevList(void) { return strdup("[]"); }
#endif
char *ZarnCamera_GetWorkDevList(void) { return nullptr; }
#if defined(KOBIX_FAKE_TEXTS)
int ZarnCamera_Open(int) { return 0; }
#elif !defined(KOBIX_FAKE_WITHOUT_OPEN)
int ZarnCamera_Open(int camID) { return camID == 3 ? 0 : -30; }
#endif
// Recognisable values are computed wide: any int may come in.
int ZarnCamera_Close(int camID) { return static_cast<int>(-100LL - camID); }
#ifdef KOBIX_FAKE_TEXTS
char *ZarnCamera_GetResolutionList(int) { return strdup(g_resList.c_str()); }
#else
char *ZarnCamera_GetResolutionList(int) { return nullptr; }
#endif
int ZarnCamera_GetCurResolutionNo(int) { return 1; }
int ZarnCamera_SetCurResolutionNo(int camID, int resNo) { return static_cast<int>(camID * 10LL + resNo); }
int ZarnCamera_StartCapture(int, int (*)(void *, int, int, int)) { return 0; }
int ZarnCamera_StopCapture(int) { return 0; }
int ZarnCamera_SetImageColorStyle(int style) { return style; }
int ZarnCamera_SetImageJPGQuality(int quality) { return quality; }
int ZarnCamera_SetAutoCrop(int mode) { return mode; }
int ZarnCamera_SetImageRotateMode(int mode) { return mode; }
int ZarnCamera_YuYv422toRGB24(unsigned char *, unsigned char *, unsigned int, unsigned int, unsigned int) { return 0; }
int ZarnCamera_SaveVideoData(void *, int, int, int, const char *) { return 0; }
int ZarnCamera_SaveRGB888Image(char *, int, int, int, const char *) { return 0; }
int ZarnCamera_ConvertImagetoImage(const char *, const char *) { return 0; }
int ZarnCamera_AddImageFiletoMultiFile(const char *) { return 0; }
int ZarnCamera_CombineMultiFile(const char *) { return 0; }
int ZarnCamera_SetContours(void **, int, int, int, int) { return 0; }
}
