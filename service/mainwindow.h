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

#include <QImage>
#include <QMainWindow>
#include <QString>

#include <atomic>
#include <string>
#include <vector>

class CCameraSDK;
class QThread;
class Ui_MainWindow;
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

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Server-thread entry and receive callback of the WebSocket listener.
    static void *socketPthreadStart(void *window);
    static void *socketPthreadGetDataCall(const WsConnRef &conn, char *data, int len);
    // Camera-change callback handed to the camera library (library thread).
    static void hotplugCallBack(char *json);

    int CloseCamera(_tag_unit_camera &camDev);

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
    void VideoStatus(std::string msg);
    void OpenCameraStart(std::string msg);
    void SetCameraImageInfo(std::string msg);

    void lockDevList();
    void unlockDevList();

    WebsocketControl *m_websocket;
    QThread *m_socketThread;
    bool m_visible;
    int m_CurrentDevNum;
    Ui_MainWindow *ui;
    CCameraSDK *m_pCameraSDK;
    std::atomic<int> m_frameCnt;
    std::atomic<unsigned char> m_frameLock;
    std::atomic<unsigned char> m_devListLock;
    std::vector<_tag_unit_cam_res_unit> m_vecCamRes;
    struct {
        int nResID = 0;
    } m_cameraConfigArgv;
    int m_frameWidth = 0;
    int m_frameHeight = 0;
    int m_bufWidth = 0;
    int m_bufHeight = 0;
    int m_frameSize = 0;
    unsigned char *m_frameData = nullptr;
    _tag_file_argv m_fileArgv;
    std::vector<_tag_unit_camera> m_vecCamera;
    _tag_camera_para m_cameraPara;
};

// The window, for the static callbacks.
extern MainWindow *gMainWindow;
// The window that requests are dispatched to; set by the server thread.
extern MainWindow *g_Socketer;
// Raised by "GetCameraVideoBuff": a page wants the preview stream.
extern std::atomic<bool> g_GetVideoBuff;
// Preview rotation in degrees, set by "SetCameraImageInfo".
extern std::atomic<int> g_Rotate;

// Process-wide service lists (main.cpp).
extern std::vector<std::string> vecVideoName;
extern std::vector<std::string> g_vecVideoNum;
extern std::vector<std::string> vecResolution;
extern std::string strVideoName;
extern std::string Image_encoded;
extern QImage g_TmpImage;

// Geometry of the default screen, for placing the window and the boxes.
QRect defaultScreenGeometry();

#endif
