// Camera-change handling: the library's plug and unplug reports become the
// service's camera list, and the list decides which camera runs.
//
// Threads: hotplugCallBack runs on the library's hot-plug thread and only
// touches the process-wide lists (under g_videoListsLock) before it hands
// the event to the GUI thread through the queued signal deviceChange.  The
// slots run on the GUI thread, one at a time in the order their signals were
// emitted, and change m_vecCamera only under m_devListLock.
#include "mainwindow.h"
#include "printline.h"

#include "ccamerasdk.h"

#include <cjson/cJSON.h>

#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// An opening started by a camera-change event that fails is tried again
// this many times, kOpenRetryMs apart, before the service waits for the
// next event: a camera that was just plugged in may refuse its first
// opening for a moment (the device is still settling).
constexpr int kOpenRetries = 5;
constexpr int kOpenRetryMs = 200;

int sectionInt(const QString &msg, int n)
{
    return msg.section(QLatin1Char(','), n, n).toInt();
}

}  // namespace

void MainWindow::hotplugCallBack(char *json)
{
    printf("MainWindow::hotplugCallBack:%s\n", json ? json : "(null)");
    cJSON *root = json ? cJSON_Parse(json) : nullptr;
    free(json);  // ours once handed over
    cJSON *index = root ? cJSON_GetObjectItem(root, "index") : nullptr;
    cJSON *vid = root ? cJSON_GetObjectItem(root, "vid") : nullptr;
    cJSON *pid = root ? cJSON_GetObjectItem(root, "pid") : nullptr;
    cJSON *name = root ? cJSON_GetObjectItem(root, "name") : nullptr;
    cJSON *action = root ? cJSON_GetObjectItem(root, "action") : nullptr;
    if (!index || !vid || !pid || !cJSON_IsString(name) || !cJSON_IsString(action)) {
        cJSON_Delete(root);
        return;
    }

    const std::string nameText = name->valuestring;
    QString message = QStringLiteral("%1,%2,%3,%4,%5")
                          .arg(QString::fromUtf8(action->valuestring))
                          .arg(index->valueint)
                          .arg(QString::fromUtf8(name->valuestring))
                          .arg(vid->valueint)
                          .arg(pid->valueint);
    printf("in hotplugCallBack Vidoe Name: %s\n", nameText.c_str());
    {
        std::lock_guard<std::mutex> lists(g_videoListsLock);
        // The lists describe at most the two latest events.
        if (vecVideoName.size() >= 2) {
            g_vecVideoNum.clear();
            vecVideoName.clear();
            vecResolution.clear();
        }
        g_vecVideoNum.push_back(std::to_string(index->valueint));
        strVideoName = nameText;
        vecVideoName.push_back(nameText);
    }
    cJSON_Delete(root);

    puts("before deviceChange");
    printf("--------format:%s\n", message.toUtf8().constData());
    if (MainWindow *w = gMainWindow)
        emit w->deviceChange(message);
}

void MainWindow::reportCamerasFoundAtStart()
{
    // The library's first pass reports the cameras attached at start, but
    // mostly before the callback is registered, and the lists were emptied
    // since: report what it found that the callback has not reported.
    if (!m_pCameraSDK)
        return;
    char *text = m_pCameraSDK->GetOnLineDevList();
    cJSON *list = text ? cJSON_Parse(text) : nullptr;
    free(text);
    cJSON *cam = nullptr;
    cJSON_ArrayForEach(cam, list)
    {
        cJSON *index = cJSON_GetObjectItem(cam, "index");
        if (!cJSON_IsNumber(index))
            continue;
        bool reported = false;
        {
            std::lock_guard<std::mutex> lists(g_videoListsLock);
            for (const std::string &n : g_vecVideoNum)
                reported = reported || n == std::to_string(index->valueint);
        }
        if (reported)
            continue;
        // An entry without "action" keeps none (and is ignored as an event).
        cJSON *add = cJSON_CreateString("add");
        if (!cJSON_ReplaceItemInObject(cam, "action", add))
            cJSON_Delete(add);
        char *event = cJSON_Print(cam);
        if (event)
            hotplugCallBack(event);  // takes the text
    }
    cJSON_Delete(list);
}

void MainWindow::ondeviceChange(QString msg)
{
    printf("[%s] enter %s\n", "ondeviceChange", msg.toUtf8().constData());
    const QString action = msg.section(QLatin1Char(','), 0, 0);
    if (action == QLatin1String("add")) {
        AddDevice(msg);
    } else if (action == QLatin1String("remove")) {
        {
            std::lock_guard<std::mutex> lists(g_videoListsLock);
            g_vecVideoNum.clear();
        }
        MaskDevice(msg);
    }
    // A new event gives a failing opening its retries again.
    m_openRetriesLeft = kOpenRetries;
    emit deviceRunningSwitch(0);
    printf("[%s] exit \n", "ondeviceChange");
}

bool MainWindow::Contain_of(QString msg, int flags)
{
    if ((flags & 0x1f) == 0)
        return false;
    const int id = sectionInt(msg, 1);
    const QByteArray name = msg.section(QLatin1Char(','), 2, 2).toUtf8();
    const int vid = sectionInt(msg, 3);
    const int pid = sectionInt(msg, 4);
    for (const _tag_unit_camera &cam : m_vecCamera) {
        if ((flags & 0x02) && cam.info.nID != id)
            continue;
        if ((flags & 0x04) && name != cam.info.szShowName)
            continue;
        if ((flags & 0x08) && name != cam.info.szDevName)
            continue;
        if ((flags & 0x10) && (cam.info.nVid != vid || cam.info.nPid != pid))
            continue;
        if ((flags & 0x01) && cam.info.nOnline != 1)
            continue;
        return true;
    }
    return false;
}

int MainWindow::AddDevice(QString msg)
{
    printf("[func]-%s:%s\n", "AddDevice", msg.toUtf8().constData());
    std::lock_guard<std::recursive_mutex> devList(m_devListLock);
    if (Contain_of(msg, 0x17))
        return 0;
    _tag_unit_camera cam;
    cam.nRunning = 0;
    cam.info.nOnline = 1;
    cam.info.nPid = sectionInt(msg, 4);
    cam.info.nVid = sectionInt(msg, 3);
    cam.info.nID = sectionInt(msg, 1);
    const QByteArray name = msg.section(QLatin1Char(','), 2, 2).toUtf8();
    snprintf(cam.info.szShowName, sizeof(cam.info.szShowName), "%s", name.constData());
    snprintf(cam.info.szDevName, sizeof(cam.info.szDevName), "%s", name.constData());
    m_vecCamera.push_back(cam);
    return 0;
}

int MainWindow::MaskDevice(QString msg)
{
    printf("[func]-%s:%s\n", "MaskDevice", msg.toUtf8().constData());
    const int id = sectionInt(msg, 1);
    const QByteArray name = msg.section(QLatin1Char(','), 2, 2).toUtf8();
    const int vid = sectionInt(msg, 3);
    const int pid = sectionInt(msg, 4);
    std::lock_guard<std::recursive_mutex> devList(m_devListLock);
    for (_tag_unit_camera &cam : m_vecCamera) {
        if (cam.info.nID == id && name == cam.info.szShowName && cam.info.nVid == vid && cam.info.nPid == pid)
            cam.info.nOnline = 0;
    }
    return 0;
}

int MainWindow::ondeviceRunningSwitch(int type)
{
    printf("[%s] Enter type:%d \n", "ondeviceRunningSwitch", type);
    bool openFailed = false;
    {
        std::lock_guard<std::recursive_mutex> devList(m_devListLock);
        int runIndex = -1;
        for (size_t i = 0; i < m_vecCamera.size();) {
            _tag_unit_camera &cam = m_vecCamera[i];
            if (cam.info.nOnline != 0) {
                if (cam.nRunning == 1)
                    runIndex = static_cast<int>(i);
                ++i;
                continue;
            }
            if (cam.nRunning == 1)
                CloseCamera(cam);
            m_vecCamera.erase(m_vecCamera.begin() + static_cast<long>(i));
        }

        if (type == 3) {
            if (runIndex >= 0)
                CloseCamera(m_vecCamera[static_cast<size_t>(runIndex)]);
            return 0;
        }
        if (runIndex >= 0) {
            printf("-------------------------runindex:%d\n", runIndex);
        } else if (!m_vecCamera.empty()) {
            openFailed = OpenCamera(m_vecCamera.front()) < 0;
        }
    }
    printf("[%s] EXIT \n", "ondeviceRunningSwitch");

    if (openFailed && m_openRetriesLeft > 0 && !m_retryPending) {
        --m_openRetriesLeft;
        m_retryPending = true;
        zarn::printLine(zarn::Level::Warning, "cameras", "opening failed, trying again in %d ms (%d more)", kOpenRetryMs,
                        m_openRetriesLeft);
        QTimer::singleShot(kOpenRetryMs, this, &MainWindow::onretryOpen);
    }
    if (type == 0) {
        puts(" To  deviceListFresh");
        emit deviceListFresh();
    }
    return 0;
}

void MainWindow::onretryOpen()
{
    m_retryPending = false;
    ondeviceRunningSwitch(1);
}

void MainWindow::ondeviceListFresh()
{
    printf("IN [func-%s] \n", "ondeviceListFresh");
    {
        std::lock_guard<std::recursive_mutex> devList(m_devListLock);
        for (_tag_unit_camera &cam : m_vecCamera) {
            if (cam.info.nOnline == 1)
                cam.strName = QString::fromLocal8Bit(cam.info.szShowName);
        }
    }
    printf("[func-%s] out\n", "ondeviceListFresh");
}

void MainWindow::onclosePreviewCamera()
{
    std::lock_guard<std::recursive_mutex> devList(m_devListLock);
    closeFirstCameras();
}

void MainWindow::closeFirstCameras()
{
    // First entry first; go on while the library refuses (that camera was
    // not open), never past the list and at most five entries.
    constexpr size_t kMaxCloseAttempts = 5;
    for (size_t i = 0; i < m_vecCamera.size() && i < kMaxCloseAttempts; ++i) {
        if (CloseCamera(m_vecCamera[i]) >= 0)
            break;
    }
}
