// Opening and closing one camera of the service's list: the library camera,
// its resolution list and the per-model settings file.
//
// Thread: OpenCamera runs on the GUI thread inside the camera-change slots;
// CloseCamera also on the server thread.  Both are called with
// m_devListLock held whenever the camera is an entry of m_vecCamera, and
// m_vecCamRes and m_cameraConfigArgv are only touched under it.
#include "mainwindow.h"

#include "backupsetting.h"
#include "ccamerasdk.h"
#include "general.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int MainWindow::OpenCamera(_tag_unit_camera &camDev)
{
    const char *fn = "OpenCamera";
    printf("[%s] ENTER\n", fn);
    if (!m_pCameraSDK)
        return -1;

    char dir[4096] = {};
    if (general::Zarn_Config_GetTempPath(sizeof(dir), dir) < 0) {
        printf("[%s][%d]fail GetTempPath \n", fn, 520);
        return -1;
    }
    puts("OpenCamera 001");
    QString backupDir = QString::fromLocal8Bit(dir) + QStringLiteral("/backup");
    if (general::Zarn_Config_Mkdir(backupDir.toLocal8Bit().constData(), 777) < 0) {
        printf("[%s][%d]fail mkdir GetTempPath \n", fn, 530);
        return -1;
    }
    const QString iniPath = backupDir + QStringLiteral("/%1*%2.ini")
                                            .arg(QString::number(camDev.info.nVid, 16))
                                            .arg(QString::number(camDev.info.nPid, 16));
    backupSetting settings(iniPath);

    puts("OpenCamera 002");
    const int camID = camDev.info.nID;
    int ret = m_pCameraSDK->Open(camID);
    if (ret < 0) {
        printf("[%s][%d]ZarnCamera_Open %d\n", fn, 542, ret);
        return ret;
    }
    char *resList = m_pCameraSDK->GetResolutionList(camID);
    if (!resList) {
        printf("[%s][%d]ZarnCamera_GetResolutionList\n", fn, 548);
        m_pCameraSDK->Close(camID);
        return -1;
    }
    puts("OpenCamera 003");
    ParseCameraResJSONStr(resList);
    puts("OpenCamera 004");

    const QString savedRes = settings.value(QStringLiteral("device"), QStringLiteral("res"), QString()).toString();
    const _tag_unit_cam_res_unit *saved = nullptr;
    for (const _tag_unit_cam_res_unit &res : m_vecCamRes) {
        if (res.strRes == savedRes) {
            saved = &res;
            break;
        }
    }
    puts("OpenCamera 005");
    m_cameraConfigArgv.nResID = m_pCameraSDK->GetCurResolutionNo(camID);
    if (!savedRes.isEmpty() && saved) {
        m_cameraConfigArgv.nResID = saved->nResNo;
    } else {
        printf("[%s][%d]resName %s\n", fn, 571, savedRes.toLocal8Bit().constData());
        printf("[%s][%d]ZarnCamera_GetResolu    tionNo %d\n", fn, 572, m_cameraConfigArgv.nResID);
    }
    printf("camDev.info.nID %d\n", camID);
    printf("m_cameraConfigArgv.nResID %d\n", m_cameraConfigArgv.nResID);
    int resRet = m_pCameraSDK->SetCurResolutionNo(camID, m_cameraConfigArgv.nResID);
    printf("[%s][%d]ZarnCamera_SetResolutionNo %d %d\n", fn, 586, m_cameraConfigArgv.nResID, resRet);

    // A photo must not be a frame of a camera that ran before this one.
    forgetFrame();
    ret = m_pCameraSDK->StartCapture(camID, MainWindow::CameraCpatureReciveCB);
    if (ret < 0) {
        printf("[%s][%d]ZarnCamera_StartCapture %d\n", fn, 593, ret);
        m_pCameraSDK->Close(camID);
        return ret;
    }
    puts("OpenCamera 006");
    puts("OpenCamera 007");
    puts("OpenCamera 008");

    {
        const char *home = getenv("HOME");
        std::lock_guard<std::mutex> guard(m_fileArgvLock);
        m_fileArgv.bMultPage =
            settings.value(QStringLiteral("file"), QStringLiteral("multpage"), false).toBool() ? 1 : 0;
        m_fileArgv.nQuality = settings.value(QStringLiteral("file"), QStringLiteral("quality"), 95).toInt();
        m_fileArgv.strPath = settings
                                 .value(QStringLiteral("file"), QStringLiteral("path"),
                                        QString::fromLocal8Bit(home ? home : ""))
                                 .toString();
        m_fileArgv.strCropType =
            settings.value(QStringLiteral("image"), QStringLiteral("crop-type"), QStringLiteral("无")).toString();
        m_fileArgv.nColor = settings.value(QStringLiteral("image"), QStringLiteral("color"), 0).toInt();
        m_fileArgv.strRotate =
            settings.value(QStringLiteral("image"), QStringLiteral("rotate"), QStringLiteral("无")).toString();
        puts("Show Video 001");
        puts("Show Video 002");
        ParseCamFileColorJSONStr(nullptr);
        puts("Show Video 003");
    }

    camDev.nRunning = 1;
    // A page that went away is dealt with by the preview path at the next
    // frame; the camera just opened stays running.
    printf("in OpenCamera conn_close:%d\n", conn_close.load());
    return ret;
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

void MainWindow::ParseCameraResJSONStr(char *resjsonstr)
{
    printf("[func-%s]resjsonstr:%s\n", "ParseCameraResJSONStr", resjsonstr ? resjsonstr : "(null)");
    if (!resjsonstr)
        return;
    cJSON *root = cJSON_Parse(resjsonstr);
    free(resjsonstr);  // ours once returned by the library
    if (!root || cJSON_GetArraySize(root) <= 0) {
        cJSON_Delete(root);
        return;
    }
    m_vecCamRes.clear();
    std::vector<std::string> texts;
    const int size = cJSON_GetArraySize(root);
    for (int i = 0; i < size; ++i) {
        cJSON *item = cJSON_GetArrayItem(root, i);
        cJSON *no = cJSON_GetObjectItem(item, "res-no");
        cJSON *w = cJSON_GetObjectItem(item, "res-w");
        cJSON *h = cJSON_GetObjectItem(item, "res-h");
        // An element without its three numbers describes no resolution.
        if (!cJSON_IsNumber(no) || !cJSON_IsNumber(w) || !cJSON_IsNumber(h))
            continue;
        _tag_unit_cam_res_unit res;
        res.strRes = QStringLiteral("%1*%2").arg(w->valueint).arg(h->valueint);
        res.nResNo = no->valueint;
        res.nWidth = w->valueint;
        res.nHeight = h->valueint;
        m_vecCamRes.push_back(res);
        char text[1024] = {};
        snprintf(text, sizeof(text), "%d*%d", w->valueint, h->valueint);
        texts.emplace_back(text);
    }
    cJSON_Delete(root);
    std::lock_guard<std::mutex> lists(g_videoListsLock);
    vecResolution.insert(vecResolution.end(), texts.begin(), texts.end());
}

// The caller holds m_fileArgvLock.
void MainWindow::ParseCamFileColorJSONStr(char *json)
{
    printf("[%s]color-json:%s\n", "ParseCamFileColorJSONStr", json ? json : "(null)");
    // Mode number, key and label (colour, greyscale, black and white).
    static const struct {
        const char *key;
        const char *label;
    } kModes[] = {{"color", "彩色"}, {"gray", "灰度"}, {"lineart", "黑白"}};
    m_fileArgv.vecColor.clear();
    for (int i = 0; i < 3; ++i) {
        _tag_unit_cam_file_color_unit unit;
        unit.nIndex = i;
        unit.strKey = QString::fromUtf8(kModes[i].key);
        unit.strName = QString::fromLocal8Bit(kModes[i].label);
        m_fileArgv.vecColor.push_back(unit);
    }
}
