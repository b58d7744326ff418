// Run-time binding of the camera library.
//
// The program does not link libZarnKobixManager: LoadLib() opens it from its
// fixed absolute path and looks up every ZarnCamera_* function by name.  The
// member functions forward to the library unchanged.  When a function is not
// bound (library missing, symbol missing, after FreeLib) the member function
// does not call through a null slot: it returns -1 (or null, or nothing).
//
// Threads: the binding is set up and torn down on the GUI thread and never
// changes in between; the forwarding functions may be called from any thread
// and are serialised by m_callLock, since the library does not guard its
// camera objects and image service against two calls at once.  Nothing that
// the library calls back on its own threads may call in here while a caller
// waits for that thread (a Close waits for the camera's frame callback).
#ifndef KOBIX_CCAMERASDK_H
#define KOBIX_CCAMERASDK_H

#include "ZarnKobixManager.h"

#include <mutex>

class CCameraSDK
{
public:
    static constexpr const char *kLibraryPath = "/opt/velmora/camera/lib/libZarnKobixManager.so";

    // `libraryPath` is for tests of the binding; the service uses the default.
    explicit CCameraSDK(const char *libraryPath = kLibraryPath);
    ~CCameraSDK();

    CCameraSDK(const CCameraSDK &) = delete;
    CCameraSDK &operator=(const CCameraSDK &) = delete;

    // 0 on success or when already bound, -1 on failure.
    int LoadLib();
    void FreeLib();
    bool isLoaded() const { return loaded; }

    void GetVersion(char *buf, int len);
    int Init();
    int UnInit();
    int GetDevCount();
    char *GetOnLineDevList();
    char *GetWorkDevList();
    int Open(int camID);
    int Close(int camID);
    char *GetResolutionList(int camID);
    int GetCurResolutionNo(int camID);
    int SetCurResolutionNo(int camID, int resNo);
    int SetImageColorStyle(int style);
    int SetImageJPGQuality(int quality);
    int SetAutoCrop(int mode);
    int SetImageRotateMode(int mode);
    int YuYv422toRGB24(unsigned char *yuyv, unsigned char *rgb, unsigned int rgbSize, unsigned int width,
                       unsigned int height);
    int SaveVideoData(void *data, int width, int height, int format, const char *path);
    int SaveRGB888Image(char *data, int width, int height, int format, const char *path);
    int ConvertImagetoImage(const char *srcPath, const char *dstPath);
    int CombineMultiFile(const char *path);
    int AddImageFiletoMultiFile(const char *path);
    int StartCapture(int camID, int (*fn)(void *, int, int, int));
    int StopCapture(int camID);
    int RegCallBackCameraChange(void (*fn)(char *));
    int DrawLine(char *data, int &a, int &b, int &c, int d);
    int SetContours(void **image, int width, int height, int format, int mode);

private:
    void clearSlots();

    bool loaded;
    void *m_handle;
    std::mutex m_callLock;  // one call into the library at a time
    const char *m_libraryPath;

    void (*m_GetVersion)(char *, int);
    int (*m_Init)();
    int (*m_UnInit)();
    int (*m_GetDevCount)();
    char *(*m_GetOnLineDevList)();
    char *(*m_GetWorkDevList)();
    int (*m_Open)(int);
    int (*m_Close)(int);
    char *(*m_GetResolutionList)(int);
    int (*m_GetCurResolutionNo)(int);
    int (*m_SetCurResolutionNo)(int, int);
    int (*m_SetImageColorStyle)(int);
    int (*m_SetImageJPGQuality)(int);
    int (*m_SetAutoCrop)(int);
    int (*m_SetImageRotateMode)(int);
    int (*m_YuYv422toRGB24)(unsigned char *, unsigned char *, unsigned int, unsigned int, unsigned int);
    int (*m_SaveVideoData)(void *, int, int, int, const char *);
    int (*m_SaveRGB888Image)(char *, int, int, int, const char *);
    int (*m_ConvertImagetoImage)(const char *, const char *);
    int (*m_CombineMultiFile)(const char *);
    int (*m_AddImageFiletoMultiFile)(const char *);
    int (*m_StartCapture)(int, int (*)(void *, int, int, int));
    int (*m_StopCapture)(int);
    int (*m_RegCallBackCameraChange)(void (*)(char *));
    int (*m_DrawLine)(char *, int &, int &, int &, int);
    int (*m_SetContours)(void **, int, int, int, int);
};

#endif
