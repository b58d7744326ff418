// The service's one long-lived object: a small hidden main window that owns
// the camera binding, the camera list, the image parameters and the
// WebSocket listener, and carries the queued signals through which camera
// changes reach the GUI thread.
//
// Threads: built, destroyed and its slots run on the GUI thread; the request
// handlers run on the WebSocket server thread, one message at a time.
#ifndef KOBIX_MAINWINDOW_H
#define KOBIX_MAINWINDOW_H

#include "websocketcontrol.h"

#include <QMainWindow>
#include <QString>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class CCameraSDK;
class PreviewEncoder;
class QThread;
class Ui_MainWindow;
class UploadFile;
struct cJSON;

// One camera known to the service.
struct _tag_unit_camera {
    QString strName;
    int nRunning = 0;
    struct {
        char szDevName[64] = {};
        char szShowName[64] = {};
        int nVid = 0;
        int nPid = 0;
        int nOnline = 0;
        int nID = -1;
    } info;
};

// One resolution of the camera opened last.
struct _tag_unit_cam_res_unit {
    QString strRes;
    int nResNo = 0;
    int nWidth = 0;
    int nHeight = 0;
};

struct _tag_unit_cam_file_color_unit {
    QString strName;
    int nIndex = 0;
    QString strKey;
};

// Per-model file and image arguments read from the model's settings file.
struct _tag_file_argv {
    std::vector<_tag_unit_cam_file_color_unit> vecColor;
    int bMultPage = 0;
    int nQuality = 95;
    int nColor = 0;
    QString strPath;
    QString strCropType;
    QString strRotate;
};

// Image parameters of photos and of the preview, set by "SetCameraImageInfo".
struct _tag_camera_para {
    int pImageType = 0;
    int iCropType = 0;
    int iRotate = 0;
    int iFillBorderType = 0;
    int iRemovalForeign = 0;
};

// The service's one long-lived object.  Its implementation is split by
// concern, each file saying which thread runs it:
//   mainwindow.cpp   life cycle, form, signals, server start (GUI thread);
//   requests.cpp     the request dispatcher and handlers (server thread);
//   cameralist.cpp   camera-change events and which camera runs (hot-plug
//                    thread for the callback, GUI thread for the slots);
//   cameraopen.cpp   opening and closing one camera, its settings file;
//   previewpath.cpp  the frame callback (capture thread) and the preview.
//
// Locks, each beside what it guards; when two are held they are taken in
// this order: m_devListLock, then g_videoListsLock or the binding's call
// lock.  m_frameLock is never held while another of them is taken, and no
// lock of this class is taken on a library thread while a holder could be
// waiting for that thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Server-thread entry and receive callback of the WebSocket listener.
    static void *socketPthreadStart(void *window);
    static void *socketPthreadGetDataCall(const WsConnRef &conn, char *data, int len);
    // Camera-change callback handed to the camera library (hot-plug thread).
    static void hotplugCallBack(char *json);
    // Frame callback handed to StartCapture (capture thread of the camera).
    static int CameraCpatureReciveCB(void *data, int size, int width, int height);

    // Opens and starts one camera of m_vecCamera; the caller holds
    // m_devListLock.  The StartCapture result, or a negative code.
    int OpenCamera(_tag_unit_camera &camDev);
    // Closes one camera; the caller holds m_devListLock when camDev is an
    // entry of m_vecCamera.  The library's Close result.
    int CloseCamera(_tag_unit_camera &camDev);
    void ParseCameraResJSONStr(char *resjsonstr);
    void ParseCamFileColorJSONStr(char *json);
    // Reports the cameras that were attached before the camera-change
    // callback was registered, as "add" events (GUI thread; the window
    // calls it at start-up, the fuzz target of the device list per input).
    void reportCamerasFoundAtStart();

    // Read-only views for diagnostics.
    _tag_camera_para cameraPara() const { return m_cameraPara; }

signals:
    void deviceChange(QString action);
    void deviceRunningSwitch(int type);
    void deviceListFresh();

public slots:
    int socketerDataAnalysis(char *data, int datalen);
    int recvHideMainwindow();
    int recvShowMainwindow();
    int toStartSocketServers();

private slots:
    void ondeviceChange(QString msg);
    void ondeviceListFresh();
    int ondeviceRunningSwitch(int type);
    // Closes the camera for a page that went away (asked by the frame
    // callback, which must not close from the capture thread).
    void onclosePreviewCamera();
    // Tries a failed opening again (see kOpenRetries in cameralist.cpp).
    void onretryOpen();

private:
    void InitArgument();
    void CreateSlotConnect();
    void InitMainWindow();
    void onslot_StartCamera();

    int parse_json(const std::string &msg);
    static std::string parse_json_type(const std::string &msg);
    static std::string enJsonFormat_out_string(cJSON *obj);
    void sendReply(const std::string &text);

    void GetCameraInfo(std::string msg);
    void SetCameraInfo(std::string msg);
    void VideoStatus(std::string msg);
    void OpenCameraStart(std::string msg);
    void SetCameraImageInfo(std::string msg);
    void CameraCapture(std::string msg);
    void GetCameraVideoBuff(std::string msg);
    // Queues the upload of `filepath` (paths joined by '|') to `url`; the
    // result line is printed when it has finished.
    void upload_file(std::string url, std::string filepath);

    int AddDevice(QString msg);
    int MaskDevice(QString msg);
    bool Contain_of(QString msg, int flags);
    // Closes the camera the way a page that went away asks for it: the
    // first entry of m_vecCamera whose close succeeds, at most five tried.
    // The caller holds m_devListLock.
    void closeFirstCameras();
    // Drops the stored frame: a photo before the next frame has none.
    void forgetFrame();
    // Frame handling of CameraCpatureReciveCB on the window.
    int handleFrame(const void *data, int size, int width, int height);

    WebsocketControl *m_websocket;
    QThread *m_socketThread;
    bool m_visible;
    int m_CurrentDevNum;  // server thread only
    Ui_MainWindow *ui;
    CCameraSDK *m_pCameraSDK;  // set at start-up, cleared at shut-down only
    // Uploads (owned): its worker runs the transfers; deleted once the
    // server thread, which submits to it, has been joined.
    UploadFile *m_uploadFile = nullptr;

    // Frame record: the latest raw frame, for photos.  Guarded by
    // m_frameLock (the capture thread holds it for the whole handling of a
    // frame; a photo holds it while it copies the record out).
    std::atomic<int> m_frameCnt;
    std::mutex m_frameLock;
    int m_frameWidth = 0;
    int m_frameHeight = 0;
    int m_bufWidth = 0;
    int m_bufHeight = 0;
    int m_frameSize = 0;
    size_t m_bufSize = 0;
    unsigned char *m_frameData = nullptr;

    // The camera list and what describes the camera opened last: GUI
    // thread, and the request handlers that close or start cameras; all
    // under m_devListLock (recursive: OpenCamera and CloseCamera run inside
    // the slots that hold it).
    std::recursive_mutex m_devListLock;
    std::vector<_tag_unit_camera> m_vecCamera;
    std::vector<_tag_unit_cam_res_unit> m_vecCamRes;
    struct {
        int nResID = 0;
    } m_cameraConfigArgv;
    // Retries of a failed opening (GUI thread only).
    int m_openRetriesLeft = 0;
    bool m_retryPending = false;

    // Settings of the camera opened last: written by OpenCamera, read by
    // photos on the server thread.
    std::mutex m_fileArgvLock;
    _tag_file_argv m_fileArgv;

    _tag_camera_para m_cameraPara;  // server thread only
};

// The window, for the static callbacks.
extern MainWindow *gMainWindow;
// The window that requests are dispatched to; set by the server thread.
extern MainWindow *g_Socketer;
// Raised by "GetCameraVideoBuff": a page wants the preview stream.
extern std::atomic<bool> g_GetVideoBuff;
// Preview rotation in degrees, set by "SetCameraImageInfo".
extern std::atomic<int> g_Rotate;

// Process-wide service lists (main.cpp): filled by camera-change events on
// the hot-plug thread and by openings on the GUI thread, read by requests on
// the server thread.  Every use holds g_videoListsLock.
extern std::mutex g_videoListsLock;
extern std::vector<std::string> vecVideoName;
extern std::vector<std::string> g_vecVideoNum;
extern std::vector<std::string> vecResolution;
extern std::string strVideoName;
// Base64 text of the latest preview picture sent; capture thread, under the
// window's frame lock.
extern std::string Image_encoded;
// Position in the three-frame decoding cycle; capture thread, under the
// window's frame lock.
extern int g_Count;
// The last decoded and scaled preview picture and its encodings, reused by
// the two frames after a decoding turn; capture thread, under the window's
// frame lock.
extern PreviewEncoder g_TmpImage;

// Geometry of the default screen, for placing the window and the boxes.
QRect defaultScreenGeometry();

#endif
