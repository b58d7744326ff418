// The request dispatcher and the request handlers of MainWindow.
//
// Thread: the WebSocket server thread, one message at a time, in arrival
// order; every reply goes to the connection that sent the latest message.
// Handlers reach the cameras only through the binding (whose calls are
// serialised), the camera list only under m_devListLock, the process-wide
// lists only under g_videoListsLock and the frame record only under
// m_frameLock.
#include "mainwindow.h"
#include "printline.h"

#include "ccamerasdk.h"
#include "printable.h"
#include "uploadfile.h"

#include <cjson/cJSON.h>

#include <QBuffer>
#include <QImage>
#include <QString>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

std::atomic<bool> g_GetVideoBuff{false};
std::atomic<int> g_Rotate{0};

namespace {

cJSON *stringArray(const std::vector<std::string> &items)
{
    cJSON *array = cJSON_CreateArray();
    for (const std::string &s : items)
        cJSON_AddItemToArray(array, cJSON_CreateString(s.c_str()));
    return array;
}

// Parsed request text, released with the object.
struct Request {
    explicit Request(const std::string &text) : root(cJSON_Parse(text.c_str())) {}
    ~Request() { cJSON_Delete(root); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    cJSON *get(const char *key) const { return root ? cJSON_GetObjectItem(root, key) : nullptr; }
    cJSON *root;
};

}  // namespace

int MainWindow::socketerDataAnalysis(char *data, int /*datalen*/)
{
    if (!data)
        return 0;
    printf("MainWindow::socketerDataAnalysis() data=%s \n", printableText(data, strlen(data)).c_str());
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
    Request req(msg);
    cJSON *item = req.get("type");
    // A "type" that is not a string names no request.
    if (cJSON_IsString(item) && item->valuestring)
        return item->valuestring;
    return std::string();
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
    printf("MainWindow::parse_json() type=%s \n\n\n\n\n\n\n\n\n\n\n", printableText(type).c_str());

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
    } else if (type == "SetCameraInfo") {
        printf("设置拍摄仪参数 msg:%s\n", printableText(msg).c_str());
        {
            std::lock_guard<std::mutex> lists(g_videoListsLock);
            for (const std::string &n : g_vecVideoNum)
                printf("--------------strVideoNum:%s\n", n.c_str());
        }
        SetCameraInfo(msg);
    } else if (type == "SetCameraImageInfo") {
        printf("设置拍摄仪图像参数 msg:%s\n", printableText(msg).c_str());
        SetCameraImageInfo(msg);
    } else if (type == "CameraCapture") {
        puts("拍摄仪拍照");
        CameraCapture(msg);
    } else if (type == "UploadFile") {
        std::string url;
        std::string filepath;
        {
            Request req(msg);
            cJSON *u = req.get("url");
            cJSON *f = req.get("filepath");
            // Without both as strings there is nothing to upload.
            if (!cJSON_IsString(u) || !u->valuestring || !cJSON_IsString(f) || !f->valuestring)
                return 0;
            url = u->valuestring;
            filepath = f->valuestring;
        }
        printf("上传url: %s\n", printableText(url).c_str());
        printf("上传filename: %s\n", printableText(filepath).c_str());
        puts("拍摄仪上传文件");
        upload_file(url, filepath);
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
        // The page that watched the preview went away: stop the camera that
        // runs, as the preview path does.
        std::lock_guard<std::recursive_mutex> devList(m_devListLock);
        closeFirstCameras();
    }

    std::vector<std::string> names;
    std::vector<std::string> resolutions;
    {
        std::lock_guard<std::mutex> lists(g_videoListsLock);
        names = vecVideoName;
        resolutions = vecResolution;
    }

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

void MainWindow::SetCameraInfo(std::string msg)
{
    int devNum = 0;
    int resolutionNum = 0;
    {
        Request req(msg);
        cJSON *dev = req.get("devNum");
        cJSON *res = req.get("resolutionNum");
        if (!dev || !res)
            return;
        // cJSON's integer value: 0 for a member that is not a number.
        devNum = dev->valueint;
        resolutionNum = res->valueint;
    }
    printf("ipdevNum: %d\n", devNum);
    printf("ipresolutionNum: %d\n", resolutionNum);
    m_CurrentDevNum = devNum;
    printf("--------------m_CurrentDevNum:%d\n", m_CurrentDevNum);

    if (m_pCameraSDK) {
        // The camera list must say which camera runs, or the camera-change
        // handling would believe a camera closed here still runs and never
        // start another: the sequence runs under the list lock and the
        // entries follow what it did.
        std::lock_guard<std::recursive_mutex> devList(m_devListLock);
        // Without overflow: the largest number's partner wraps around (as
        // it always did), and no camera has either number.
        const int partner = devNum == 1 ? 0 : static_cast<int>(static_cast<unsigned>(devNum) + 1u);
        m_pCameraSDK->Close(devNum);
        usleep(200);
        m_pCameraSDK->Open(devNum);
        m_pCameraSDK->Close(partner);
        // A photo must not be a frame of the camera (or size) stopped here.
        forgetFrame();
        m_pCameraSDK->Open(devNum);
        m_pCameraSDK->SetCurResolutionNo(devNum, resolutionNum);
        // StartCapture fails for a camera that is not open.
        const bool running = m_pCameraSDK->StartCapture(devNum, MainWindow::CameraCpatureReciveCB) >= 0;
        for (_tag_unit_camera &cam : m_vecCamera) {
            if (cam.info.nID == devNum)
                cam.nRunning = running ? 1 : 0;
            else if (cam.info.nID == partner)
                cam.nRunning = 0;
        }
    }

    cJSON *reply = cJSON_CreateObject();
    cJSON_AddStringToObject(reply, "func", "SetCameraInfo");
    cJSON_AddStringToObject(reply, "reqId", "");
    cJSON_AddNumberToObject(reply, "result", 0);
    sendReply(enJsonFormat_out_string(reply));
}

void MainWindow::VideoStatus(std::string /*msg*/)
{
    puts("in VideoStatus start ");
    const char *video0 = "no";
    const char *video1 = "no";

    std::vector<std::string> nums;
    {
        std::lock_guard<std::mutex> lists(g_videoListsLock);
        nums = g_vecVideoNum;
    }
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
    Request req(msg);
    cJSON *imageType = req.get("imageType");
    cJSON *cropType = req.get("cropType");
    cJSON *fillBorderType = req.get("fillBorderType");
    cJSON *removalForeign = req.get("removalForeign");
    cJSON *rotate = req.get("rotate");
    if (!imageType || !cropType || !fillBorderType || !removalForeign || !rotate)
        return;
    printf("in SetCameraImageInfo  msg: %s\n", printableText(msg).c_str());
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

    cJSON *reply = cJSON_CreateObject();
    cJSON_AddStringToObject(reply, "func", "SetCameraImageInfo");
    cJSON_AddStringToObject(reply, "reqId", "");
    cJSON_AddNumberToObject(reply, "result", 0);
    sendReply(enJsonFormat_out_string(reply));
}

void MainWindow::CameraCapture(std::string msg)
{
    std::string imgPath;
    {
        Request req(msg);
        cJSON *path = req.get("imgPath");
        if (!cJSON_IsString(path) || !path->valuestring)
            return;
        imgPath = path->valuestring;
    }
    printf("in CameraCapture strImagePath: %s\n", printableText(imgPath).c_str());
    printf("in CameraCapture  m_cameraPara.iCropType: %d\n", m_cameraPara.iCropType);
    printf("in CameraCapture  nCrop: %d\n", m_cameraPara.iCropType);
    printf("in CameraCapture  nAngle: %d\n", m_cameraPara.iRotate);

    int quality = 95;
    QString photoDir;
    {
        std::lock_guard<std::mutex> settings(m_fileArgvLock);
        quality = m_fileArgv.nQuality;
        photoDir = m_fileArgv.strPath;
    }

    std::string base64;
    if (m_pCameraSDK) {
        m_pCameraSDK->SetImageJPGQuality(quality);
        m_pCameraSDK->SetAutoCrop(m_cameraPara.iCropType);
        m_pCameraSDK->SetImageRotateMode(m_cameraPara.iRotate / 90);
        m_pCameraSDK->SetImageColorStyle(m_cameraPara.pImageType);

        // The frame is copied out under the frame lock and saved from the
        // copy: the save takes the library's call lock, which a thread
        // closing this camera may hold while it waits for the frame
        // callback, and the frame callback waits for the frame lock.
        std::vector<unsigned char> frame;
        int width = 0;
        int height = 0;
        {
            std::lock_guard<std::mutex> frameGuard(m_frameLock);
            QString preview = QStringLiteral("%1/%2-%3.jpg")
                                  .arg(photoDir, QStringLiteral(".velmorakobix-preview"),
                                       QString::asprintf("%04d", 1001));
            printf("[%s][%d] file:%s\n", "CameraCapture", 2406, preview.toLocal8Bit().constData());
            printf("In CameraCapture nWidth:%d\n ", m_frameWidth);
            printf("In CameraCapture nHeight:%d\n ", m_frameHeight);
            if (m_frameData && m_frameSize > 0) {
                frame.assign(m_frameData, m_frameData + m_frameSize);
                width = m_frameWidth;
                height = m_frameHeight;
            }
        }

        // Without a frame, or when the save fails, the reply carries no
        // picture: whatever file stood at the path before is not this photo.
        if (!frame.empty() && m_pCameraSDK->SaveVideoData(frame.data(), width, height, 0, imgPath.c_str()) >= 0) {
            QImage image(QString::fromLocal8Bit(imgPath.c_str()));
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            if (!image.isNull() && image.save(&buffer, "jpg", -1))
                base64 = bytes.toBase64().toStdString();
        } else {
            zarn::printLine(zarn::Level::Error, "photo", "no photo saved to %s", printableText(imgPath).c_str());
        }
    }

    cJSON *reply = cJSON_CreateObject();
    cJSON_AddStringToObject(reply, "func", "CameraCapture");
    cJSON_AddStringToObject(reply, "base64", base64.c_str());
    cJSON_AddStringToObject(reply, "reqId", imgPath.c_str());
    cJSON_AddNumberToObject(reply, "result", 0);
    sendReply(enJsonFormat_out_string(reply));
}

void MainWindow::upload_file(std::string url, std::string filepath)
{
    printf("上传url: %s\n", printableText(url).c_str());
    printf("上传filename: %s\n", printableText(filepath).c_str());
    // The transfer runs on the upload worker: this thread goes on serving
    // requests.  No reply is sent for an upload; its result is printed.
    auto report = [](int result) { puts(result < 0 ? "拍摄仪上传文件失败" : "拍摄仪上传文件成功"); };
    if (!m_uploadFile || !m_uploadFile->submit("sendfile", filepath, url, report))
        report(UploadFile::kQueueFull);
}
