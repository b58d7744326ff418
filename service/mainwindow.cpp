#include "mainwindow.h"

#include "Log.h"
#include "ccamerasdk.h"
#include "mainwindowform.h"
#include "originprompt.h"
#include "uploadfile.h"

#include <QApplication>
#include <QScreen>
#include <QIcon>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>

MainWindow *gMainWindow = nullptr;
MainWindow *g_Socketer = nullptr;

namespace {
const char *const kLogName = "pemrix-web-protocal";
}  // namespace

QRect defaultScreenGeometry()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), m_websocket(nullptr), m_socketThread(nullptr), m_visible(false), m_CurrentDevNum(-1),
      ui(new Ui_MainWindow), m_pCameraSDK(nullptr), m_frameCnt(0)
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

    {
        std::lock_guard<std::mutex> lists(g_videoListsLock);
        vecVideoName.clear();
        g_vecVideoNum.clear();
    }
    m_CurrentDevNum = -1;
    reportCamerasFoundAtStart();
    m_uploadFile = new UploadFile;
}

MainWindow::~MainWindow()
{
    delete ui;
    ui = nullptr;

    // The server thread calls into the library and into this window: stop
    // and join it first.  Then UnInit stops the hot-plug thread and every
    // capture thread (they reach the window through gMainWindow), and only
    // then the library is unloaded.
    if (m_websocket) {
        m_websocket->closeWebsocketServer();
        if (m_socketThread)
            m_socketThread->wait();
        // A capture thread may be sending a preview frame until UnInit
        // below: it does so holding the frame lock.
        std::lock_guard<std::mutex> frameGuard(m_frameLock);
        delete m_websocket;
        m_websocket = nullptr;
    }
    delete m_socketThread;
    m_socketThread = nullptr;
    g_Socketer = nullptr;
    // Aborts an upload in progress and joins the upload worker.
    delete m_uploadFile;
    m_uploadFile = nullptr;

    if (m_pCameraSDK) {
        if (m_pCameraSDK->UnInit() < 0)
            puts("uninit camera failure");
        m_pCameraSDK->FreeLib();
        delete m_pCameraSDK;
        m_pCameraSDK = nullptr;
    }
    puts("close mainwindow");

    if (gMainWindow == this)
        gMainWindow = nullptr;
    free(m_frameData);
    m_frameData = nullptr;
}

void MainWindow::InitArgument()
{
    m_frameCnt.store(0);
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

// ---- WebSocket server -------------------------------------------------------

int MainWindow::toStartSocketServers()
{
    if (!m_websocket) {
        m_websocket = new WebsocketControl;
        // Unknown origins are asked about on the desktop; without one they
        // are refused.  The prompt is a child of the window, which joins the
        // server thread before its children go.
        if (OriginPrompt::displayAvailable())
            m_websocket->setOriginAsker(new OriginPrompt(this));
        m_websocket->setLogLine([](const char *line) { Log.Add(kLogName, "%s", line); });
    }
    puts("before SocketLinkRecvSetCallback");
    m_websocket->SocketLinkRecvSetCallback(MainWindow::socketPthreadGetDataCall);
    if (m_socketThread)
        return 0;  // already running
    m_socketThread = QThread::create([this] { socketPthreadStart(this); });
    m_socketThread->setObjectName(QStringLiteral("kobix-ws")); // the thread's name in top -H and debuggers
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
