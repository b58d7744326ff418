#include "mainwindow.h"

#include "Log.h"
#include "ccamerasdk.h"
#include "mainwindowform.h"

#include <cjson/cJSON.h>

#include <QApplication>
#include <QScreen>
#include <QIcon>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>

MainWindow *gMainWindow = nullptr;
MainWindow *g_Socketer = nullptr;
std::atomic<bool> g_GetVideoBuff{false};
std::atomic<int> g_Rotate{0};

namespace {

const char *const kLogName = "pemrix-web-protocal";

// Longest run of the camera-closing loop over the camera list.
constexpr int kMaxCloseAttempts = 5;

cJSON *stringArray(const std::vector<std::string> &items)
{
    cJSON *array = cJSON_CreateArray();
    for (const std::string &s : items)
        cJSON_AddItemToArray(array, cJSON_CreateString(s.c_str()));
    return array;
}

}  // namespace

QRect defaultScreenGeometry()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_websocket(nullptr), m_socketThread(nullptr), m_visible(false), m_CurrentDevNum(-1),
      ui(new Ui_MainWindow), m_pCameraSDK(nullptr), m_frameCnt(0), m_frameLock(0), m_devListLock(0)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/icons/appicon.png")));
    setMaximumSize(width(), height());
    setMinimumSize(width(), height());
    QRect screen = defaultScreenGeometry();
    move((screen.width() - width()) / 2, (screen.height() - height()) / 2);
    setWindowFlags(Qt::Tool);

    m_websocket = nullptr;
    InitArgument();
    InitMainWindow();

    vecVideoName.clear();
    g_vecVideoNum.clear();
    m_CurrentDevNum = -1;
}

MainWindow::~MainWindow()
{
    delete ui;
    ui = nullptr;
    if (m_pCameraSDK) {
        if (m_pCameraSDK->UnInit() < 0)
            puts("uninit camera failure");
        m_pCameraSDK->FreeLib();
        delete m_pCameraSDK;
        m_pCameraSDK = nullptr;
    }
    puts("close mainwindow");

    // The server thread reaches this window through g_Socketer: stop it
    // before the members go.
    if (m_websocket) {
        m_websocket->closeWebsocketServer();
        if (m_socketThread)
            m_socketThread->wait();
        delete m_websocket;
        m_websocket = nullptr;
    }
    delete m_socketThread;
    m_socketThread = nullptr;
    g_Socketer = nullptr;
    if (gMainWindow == this)
        gMainWindow = nullptr;
    free(m_frameData);
    m_frameData = nullptr;
}

void MainWindow::InitArgument()
{
    m_frameCnt.store(0);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    m_frameLock.store(0);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    m_devListLock.store(0);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void MainWindow::CreateSlotConnect()
{
    connect(this, SIGNAL(deviceChange(QString)), this, SLOT(ondeviceChange(QString)), Qt::QueuedConnection);
    connect(this, SIGNAL(deviceListFresh()), this, SLOT(ondeviceListFresh()), Qt::QueuedConnection);
    connect(this, SIGNAL(deviceRunningSwitch(int)), this, SLOT(ondeviceRunningSwitch(int)), Qt::QueuedConnection);
}

void MainWindow::InitMainWindow()
{
    gMainWindow = this;
    CreateSlotConnect();
    onslot_StartCamera();
}

void MainWindow::onslot_StartCamera()
{
    m_pCameraSDK = new CCameraSDK;
    if (m_pCameraSDK->LoadLib() < 0) {
        puts("load camera lib  fail");
        delete m_pCameraSDK;
        m_pCameraSDK = nullptr;
        return;
    }
    int ret = m_pCameraSDK->Init();
    if (ret < 0)
        printf("init camera fail %d\n", ret);
    ret = m_pCameraSDK->RegCallBackCameraChange(MainWindow::hotplugCallBack);
    printf("RegCallBackCameraChange callback function  %d\n", ret);
}

void MainWindow::hotplugCallBack(char *json)
{
    // The text is ours once handed over.  The camera list is kept in step
    // with these reports by the device-tracking slots.
    printf("MainWindow::hotplugCallBack:%s\n", json ? json : "(null)");
    free(json);
}

void MainWindow::ondeviceChange(QString) {}
void MainWindow::ondeviceListFresh() {}
int MainWindow::ondeviceRunningSwitch(int) { return 0; }

int MainWindow::recvShowMainwindow()
{
    Log.Add(kLogName, "show the window!");
    show();
    m_visible = true;
    return 0;
}

int MainWindow::recvHideMainwindow()
{
    Log.Add(kLogName, "hide the window!");
    hide();
    m_visible = false;
    return 0;
}

void MainWindow::lockDevList()
{
    while (m_devListLock.exchange(1, std::memory_order_acquire) != 0) {
    }
}

void MainWindow::unlockDevList()
{
    m_devListLock.store(0, std::memory_order_seq_cst);
}

int MainWindow::CloseCamera(_tag_unit_camera &camDev)
{
    // Without a bound library there is nothing to close: fail like a
    // library call on a camera that is not open.
    int ret = m_pCameraSDK ? m_pCameraSDK->Close(camDev.info.nID) : -1;
    printf("[%s] ZarnCamera_Close-%d\n", "CloseCamera", ret);
    camDev.nRunning = 0;
    return ret;
}

// ---- WebSocket server -------------------------------------------------------

int MainWindow::toStartSocketServers()
{
    if (!m_websocket)
        m_websocket = new WebsocketControl;
    puts("before SocketLinkRecvSetCallback");
    m_websocket->SocketLinkRecvSetCallback(MainWindow::socketPthreadGetDataCall);
    if (m_socketThread)
        return 0;  // already running
    m_socketThread = QThread::create([this] { socketPthreadStart(this); });
    m_socketThread->setObjectName(QStringLiteral("websocket"));
    m_socketThread->start();
    if (!m_socketThread->isRunning() && !m_socketThread->isFinished()) {
        delete m_socketThread;
        m_socketThread = nullptr;
        return -2;
    }
    return 0;
}

void *MainWindow::socketPthreadStart(void *window)
{
    Log.Add(kLogName, "what the reason ?");
    auto *w = static_cast<MainWindow *>(window);
    if (!w || !w->m_websocket)
        return nullptr;
    g_Socketer = w;
    Log.Add(kLogName, "websocket server setup");
    w->m_websocket->setupWebsocketServer();
    return nullptr;
}

void *MainWindow::socketPthreadGetDataCall(const WsConnRef &conn, char *data, int len)
{
    puts("MainWindow::socketPthreadGetDataCall() ------------ ");
    setCurrentConn(conn);
    if (g_Socketer)
        g_Socketer->socketerDataAnalysis(data, len);
    else
        puts("MainWindow::socketPthreadGetDataCall() g_Socketer=nullptr");
    return nullptr;
}

// ---- Requests ---------------------------------------------------------------

int MainWindow::socketerDataAnalysis(char *data, int /*datalen*/)
{
    if (!data)
        return 0;
    printf("MainWindow::socketerDataAnalysis() data=%s \n", data);
    size_t len = strlen(data);
    if (len <= 1)
        return 0;
    if (strncmp(data, "{\"type\"", 7) != 0)
        return 0;
    parse_json(std::string(data, len));
    return 0;
}

std::string MainWindow::parse_json_type(const std::string &msg)
{
    std::string type;
    cJSON *root = cJSON_Parse(msg.c_str());
    cJSON *item = root ? cJSON_GetObjectItem(root, "type") : nullptr;
    // A "type" that is not a string names no request.
    if (cJSON_IsString(item) && item->valuestring)
        type = item->valuestring;
    cJSON_Delete(root);
    return type;
}

std::string MainWindow::enJsonFormat_out_string(cJSON *obj)
{
    char *printed = cJSON_Print(obj);
    cJSON_Delete(obj);
    std::string text = printed ? printed : "";
    cJSON_free(printed);
    return text;
}

void MainWindow::sendReply(const std::string &text)
{
    // The reply goes to whoever sent the latest message, without a
    // terminating zero.
    if (m_websocket)
        m_websocket->doSendText(currentConn(), text.data(), static_cast<int>(text.size()));
}

int MainWindow::parse_json(const std::string &msg)
{
    std::string type = parse_json_type(msg);
    printf("MainWindow::parse_json() type=%s \n\n\n\n\n\n\n\n\n\n\n", type.c_str());

    // Names are compared case-sensitively; a name without a handler here
    // is ignored without a reply.
    if (type == "GetCameraInfo") {
        printf("获取拍摄仪参数 GetCameraInfo conn_close:%d\n", conn_close.load());
        GetCameraInfo(msg);
    } else if (type == "OpenCamera") {
        puts("打开摄像头");
        OpenCameraStart(msg);
    } else if (type == "GetCameraVideoBuff") {
        puts("GetCameraVideoBuff  Base64 Data ");
        g_GetVideoBuff = true;
    } else if (type == "SetCameraImageInfo") {
        printf("设置拍摄仪图像参数 msg:%s\n", msg.c_str());
        SetCameraImageInfo(msg);
    } else if (type == "VideoStatus") {
        puts("拍摄仪状态");
        VideoStatus(msg);
    }
    return 0;
}

void MainWindow::GetCameraInfo(std::string /*msg*/)
{
    if (conn_close.load() == 1) {
        conn_close = 0;
        g_GetVideoBuff = false;
        // The page that watched the preview went away: stop the stream the
        // way the preview path does, first entry first, and go on while the
        // library refuses, never past the list.
        for (size_t i = 0; i < m_vecCamera.size() && i < static_cast<size_t>(kMaxCloseAttempts); ++i) {
            if (CloseCamera(m_vecCamera[i]) >= 0)
                break;
        }
    }

    lockDevList();
    std::vector<std::string> names = vecVideoName;
    std::vector<std::string> resolutions = vecResolution;
    unlockDevList();

    cJSON *root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "func", "GetCameraInfo");
    cJSON_AddStringToObject(root, "reqId", "");
    cJSON_AddNumberToObject(root, "result", 0);
    cJSON *devInfo = cJSON_CreateArray();
    cJSON *info = cJSON_CreateObject();
    for (const std::string &n : names)
        printf("------------------------------------VideoName:%s\n", n.c_str());
    cJSON_AddItemToObject(info, "devName", stringArray(names));
    for (const std::string &r : resolutions)
        printf("------------------------------------resolutionList:%s\n", r.c_str());
    cJSON_AddItemToObject(info, "resolutionList", stringArray(resolutions));
    cJSON_AddItemToArray(devInfo, info);
    cJSON_AddItemToObject(root, "devInfo", devInfo);
    sendReply(enJsonFormat_out_string(root));
}

void MainWindow::VideoStatus(std::string /*msg*/)
{
    puts("in VideoStatus start ");
    const char *video0 = "no";
    const char *video1 = "no";

    lockDevList();
    std::vector<std::string> nums = g_vecVideoNum;
    unlockDevList();
    for (const std::string &n : nums)
        printf("--------------strVideoNum:%s\n", n.c_str());
    int count = static_cast<int>(nums.size());
    printf("--------------g_vecVideoNum size:%d\n", count);

    if (count == 1 && m_CurrentDevNum == 0) {
        video0 = "run";
    } else if (count == 2 && m_CurrentDevNum == 0) {
        video0 = "run";
        video1 = "ok";
    } else if (count == 2 && m_CurrentDevNum == 1) {
        video0 = "ok";
        video1 = "run";
    }

    cJSON *root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "func", "VideoStatus");
    cJSON_AddStringToObject(root, "video0", video0);
    cJSON_AddStringToObject(root, "video1", video1);
    cJSON_AddNumberToObject(root, "result", 0);
    std::string text = enJsonFormat_out_string(root);
    printf(" VideoStatus return msg:%s\n", text.c_str());
    sendReply(text);
}

void MainWindow::OpenCameraStart(std::string /*msg*/)
{
    // Cameras are opened by "SetCameraInfo" and by the camera-change
    // handling; this request only answers.
    cJSON *root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "func", "OpenCamera");
    cJSON_AddStringToObject(root, "reqId", "");
    cJSON_AddStringToObject(root, "devNum", "/dev/video");
    sendReply(enJsonFormat_out_string(root));
    puts("OpenCameraStart exit");
}

void MainWindow::SetCameraImageInfo(std::string msg)
{
    cJSON *root = cJSON_Parse(msg.c_str());
    if (!root)
        return;
    cJSON *imageType = cJSON_GetObjectItem(root, "imageType");
    cJSON *cropType = cJSON_GetObjectItem(root, "cropType");
    cJSON *fillBorderType = cJSON_GetObjectItem(root, "fillBorderType");
    cJSON *removalForeign = cJSON_GetObjectItem(root, "removalForeign");
    cJSON *rotate = cJSON_GetObjectItem(root, "rotate");
    if (!imageType || !cropType || !fillBorderType || !removalForeign || !rotate) {
        cJSON_Delete(root);
        return;
    }
    printf("in SetCameraImageInfo  msg: %s\n", msg.c_str());
    printf("pCropType: %d\n", cropType->valueint);

    // cJSON's integer value: 0 for a member that is not a number.
    m_cameraPara.pImageType = imageType->valueint;
    m_cameraPara.iCropType = cropType->valueint;
    m_cameraPara.iRotate = rotate->valueint;
    m_cameraPara.iFillBorderType = fillBorderType->valueint;
    m_cameraPara.iRemovalForeign = removalForeign->valueint;
    printf("m_cameraPara.pImageType: %d\n", m_cameraPara.pImageType);
    printf("m_cameraPara.iCropType: %d\n", m_cameraPara.iCropType);
    printf("m_cameraPara.iRotate: %d\n", m_cameraPara.iRotate);
    printf("m_cameraPara.iFillBorderType: %d\n", m_cameraPara.iFillBorderType);
    printf("m_cameraPara.iRemovalForeign: %d\n", m_cameraPara.iRemovalForeign);
    g_Rotate = m_cameraPara.iRotate;
    cJSON_Delete(root);

    cJSON *reply = cJSON_CreateObject();
    cJSON_AddStringToObject(reply, "func", "SetCameraImageInfo");
    cJSON_AddStringToObject(reply, "reqId", "");
    cJSON_AddNumberToObject(reply, "result", 0);
    sendReply(enJsonFormat_out_string(reply));
}
