/*
 * Exported interface of libZarnKobixManager.
 *
 * The program binds these functions by name at run time (dlopen/dlsym), so
 * names, argument lists and result codes are a fixed contract.  Every int
 * function returns 0 on success and a negative code on failure; the three
 * char* functions return a malloc'ed, NUL-terminated JSON text that the
 * caller owns and releases with free(), or null when there is nothing.
 *
 * Threads: every function runs on the caller's thread.  The camera-change
 * callback runs on the library's hot-plug thread, the frame callback on the
 * capture thread of the streaming camera.
 */
#ifndef ZARN_KOBIX_MANAGER_H
#define ZARN_KOBIX_MANAGER_H

#if defined(__GNUC__)
#define ZARNCAMERA_API __attribute__((visibility("default")))
#else
#define ZARNCAMERA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Camera plug/unplug report: a JSON text the callee owns and frees. */
typedef void (*ZarnCameraChangeCallback)(char *text);
/* One captured frame; data is readable only during the call. */
typedef int (*ZarnCameraFrameCallback)(void *data, int size, int width, int height);

/* Lifecycle and registration */
ZARNCAMERA_API void ZarnCamera_GetVersion(char *buf, int len);
ZARNCAMERA_API int ZarnCamera_Init(void);
ZARNCAMERA_API int ZarnCamera_UnInit(void);
ZARNCAMERA_API int ZarnCamera_RegCallBackCameraChange(void (*fn)(char *));

/* Device lists */
ZARNCAMERA_API int ZarnCamera_GetDevCount(void);
ZARNCAMERA_API char *ZarnCamera_GetOnLineDevList(void);
ZARNCAMERA_API char *ZarnCamera_GetWorkDevList(void);

/* Opening, closing and resolution */
ZARNCAMERA_API int ZarnCamera_Open(int camID);
ZARNCAMERA_API int ZarnCamera_Close(int camID);
ZARNCAMERA_API char *ZarnCamera_GetResolutionList(int camID);
ZARNCAMERA_API int ZarnCamera_GetCurResolutionNo(int camID);
ZARNCAMERA_API int ZarnCamera_SetCurResolutionNo(int camID, int resNo);

/* Capture */
ZARNCAMERA_API int ZarnCamera_StartCapture(int camID, int (*fn)(void *, int, int, int));
ZARNCAMERA_API int ZarnCamera_StopCapture(int camID);

/* Image parameters */
ZARNCAMERA_API int ZarnCamera_SetImageColorStyle(int style);
ZARNCAMERA_API int ZarnCamera_SetImageJPGQuality(int quality);
ZARNCAMERA_API int ZarnCamera_SetAutoCrop(int mode);
ZARNCAMERA_API int ZarnCamera_SetImageRotateMode(int mode);

/* Image conversion and saving */
ZARNCAMERA_API int ZarnCamera_YuYv422toRGB24(unsigned char *yuyv, unsigned char *rgb, unsigned int rgbSize,
                                             unsigned int width, unsigned int height);
ZARNCAMERA_API int ZarnCamera_SaveVideoData(void *data, int width, int height, int format, const char *path);
ZARNCAMERA_API int ZarnCamera_SaveRGB888Image(char *data, int width, int height, int format, const char *path);
ZARNCAMERA_API int ZarnCamera_ConvertImagetoImage(const char *srcPath, const char *dstPath);
ZARNCAMERA_API int ZarnCamera_AddImageFiletoMultiFile(const char *path);
ZARNCAMERA_API int ZarnCamera_CombineMultiFile(const char *path);

/* Drawing */
#ifdef __cplusplus
ZARNCAMERA_API int ZarnCamera_DrawLine(char *, int &, int &, int &, int);
#endif
ZARNCAMERA_API int ZarnCamera_SetContours(void **image, int width, int height, int format, int mode);

#ifdef __cplusplus
}
#endif

#endif /* ZARN_KOBIX_MANAGER_H */
