// The service's main window in one process with everything it drives: the
// camera library built in this tree, loaded by the binding from its fixed
// path; virtual document cameras with real libudev over an in-process
// umockdev testbed; the WebSocket server thread; real clients over loopback.
// One flow keeps every thread at work at once (GUI, server, hot-plug,
// capture, the cameras' frame clocks), so that the sanitizer builds see how
// they meet: plugging, preview, photos, a second camera, unplugging, a page
// going away, and shutting down while a camera streams.
//
// The process runs in the private namespaces of isolation.cpp: /opt holds
// only the libraries copied there, and port 9030 is its own.
#include "ccamerasdk.h"
#include "isolation.h"
#include "mainwindow.h"
#include "testsupport.h"

#include "vcam/vcam.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

const char *const kHome = "/tmp/kobix-home";
const char *const kModel = "DocCam_5MP";  // tools/vcam/profiles/docam-5mp.json
const QStringList kResolutions = {"2592*1944", "2048*1536", "1920*1080", "1600*1200", "1280*720", "640*480"};
// Bound of every wait: generous, for the sanitizer builds on a busy machine
// (under ThreadSanitizer the virtual camera alone takes some 10 s to render
// its first 2592x1944 frames on an idle machine).
constexpr int kWaitMs = 120000;

// Names of this process's threads that the service and the library start.
std::string serviceThreads()
{
    std::string names;
    for (const QString &tid : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream in("/proc/self/task/" + tid.toStdString() + "/comm");
        std::string name;
        std::getline(in, name);
        if (name.rfind("kobix-", 0) == 0)
            names += name + " ";
    }
    return names;
}

// Marks the start of a step on standard error, between the service's lines.
void step(const char *what)
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    fprintf(stderr, "[window test %6.1f s] %s\n", clock.elapsed() / 1000.0, what);
}

std::string installCameraLibraries()
{
    const struct {
        const char *from;
        QString to;
    } files[] = {
        {KOBIX_CAMERA_LIB, QString::fromLatin1(CCameraSDK::kLibraryPath)},
        {KOBIX_IMAGE_LIB, QStringLiteral(KOBIX_ALGO_DIR "/libZarnImage.so")},
        {KOBIX_FILE_LIB, QStringLiteral(KOBIX_FILE_DIR "/libZarnFileManager.so")},
    };
    for (const auto &f : files) {
        if (!QDir().mkpath(QFileInfo(f.to).absolutePath()) || !QFile::copy(QString::fromLocal8Bit(f.from), f.to))
            return "cannot copy " + std::string(f.from) + " to " + f.to.toStdString();
    }
    return std::string();
}

bool libraryMapped()
{
    std::ifstream maps("/proc/self/maps");
    std::stringstream text;
    text << maps.rdbuf();
    return text.str().find(CCameraSDK::kLibraryPath) != std::string::npos;
}

std::string sizeText(const QSize &s)
{
    return std::to_string(s.width()) + "x" + std::to_string(s.height());
}

QString photoPath(int n)
{
    return QStringLiteral("%1/photo-%2.jpg").arg(QString::fromLatin1(kHome)).arg(n);
}

std::string captureRequest(int n)
{
    return R"({"type":"CameraCapture","imgPath":")" + photoPath(n).toStdString() + R"("})";
}

std::string setCameraRequest(int devNum, int resolutionNum)
{
    return R"({"type":"SetCameraInfo","devNum":)" + std::to_string(devNum) + R"(,"resolutionNum":)" +
           std::to_string(resolutionNum) + "}";
}

// A page's connection: replies by name; preview pictures counted, decoded
// and checked on the way.
class Page
{
public:
    bool open() { return m_ws.connectTo(QStringLiteral("ws://127.0.0.1:9030"), kWaitMs); }
    void send(const std::string &json) { m_ws.sendText(json); }
    void close() { m_ws.close(); }
    bool waitClosed() { return m_ws.waitDisconnected(kWaitMs); }

    // The next reply named func (empty when none came in time).
    QJsonObject reply(const QString &func)
    {
        QJsonObject found;
        pumpUntil([&] {
            for (auto it = m_replies.begin(); it != m_replies.end(); ++it) {
                if (it->value("func").toString() == func) {
                    found = *it;
                    m_replies.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    // Waits for `more` further preview pictures.
    bool previews(int more)
    {
        const int target = m_previews + more;
        return pumpUntil([&] { return m_previews >= target; });
    }
    // From the first preview of this size on, every preview must have it.
    void expectPreviewSize(const QSize &size)
    {
        m_expected = size;
        m_expectedSeen = false;
    }
    bool waitExpectedSize() { return pumpUntil([&] { return m_expectedSeen; }); }

    int brokenMessages() const { return m_broken; }
    int previewsOfOtherSize() const { return m_otherSize; }

private:
    template <typename Pred>
    bool pumpUntil(Pred done)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            Received r;
            const int left = kWaitMs - static_cast<int>(clock.elapsed());
            if (left <= 0 || !m_ws.next(r, left))
                return false;
            take(r);
        }
        return true;
    }

    void take(const Received &r)
    {
        QJsonObject msg = QJsonDocument::fromJson(r.bytes).object();
        if (r.binary || msg.isEmpty()) {
            ++m_broken;
            return;
        }
        if (msg.value("func").toString() != QLatin1String("GetCameraVideoBuff")) {
            m_replies.push_back(msg);
            return;
        }
        QImage picture = QImage::fromData(QByteArray::fromBase64(msg.value("imgBase64Str").toString().toLatin1()), "JPEG");
        if (picture.isNull()) {
            ++m_broken;
            return;
        }
        ++m_previews;
        if (picture.size() == m_expected)
            m_expectedSeen = true;
        else if (m_expectedSeen)
            ++m_otherSize;
    }

    WsClient m_ws;
    std::deque<QJsonObject> m_replies;
    int m_previews = 0;
    int m_broken = 0;
    int m_otherSize = 0;
    QSize m_expected;
    bool m_expectedSeen = false;
};

// A photo reply and the file it names: both pictures of this size.
void expectPhoto(const QJsonObject &reply, int n, const QSize &size)
{
    ASSERT_FALSE(reply.isEmpty()) << "no reply to photo " << n;
    EXPECT_EQ(reply.value("reqId").toString(), photoPath(n));
    EXPECT_EQ(reply.value("result").toInt(-1), 0);
    const QByteArray sent = QByteArray::fromBase64(reply.value("base64").toString().toLatin1());
    EXPECT_EQ(sizeText(QImage::fromData(sent, "JPEG").size()), sizeText(size)) << "picture in the reply to photo " << n;
    EXPECT_EQ(sizeText(QImage(photoPath(n)).size()), sizeText(size)) << photoPath(n).toStdString();
}

QStringList strings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &item : v.toArray())
        out << item.toString();
    return out;
}

QJsonObject cameraInfo(Page &page)
{
    page.send(R"({"type":"GetCameraInfo"})");
    return page.reply(QStringLiteral("GetCameraInfo")).value("devInfo").toArray().at(0).toObject();
}

// Waits until the camera has delivered more frames than it has buffers since
// now: the capture thread queues a buffer again only after the frame callback
// returned, so the service has handled a frame of the current stream.
bool frameHandled(const vcam::Camera &cam)
{
    const std::uint32_t from = cam.framesDelivered();
    const unsigned buffers = cam.buffersAllocated();
    return spinUntil([&] { return cam.framesDelivered() > from + buffers; }, kWaitMs);
}

TEST(ServiceWindow, CamerasPreviewPhotosHandOverAndShutDownWhileStreaming)
{
    vcam::Testbed bed;  // outlives the window and every descriptor it opens
    vcam::Camera &cam0 = bed.addCamera();
    vcam::Camera &cam1 = bed.addCamera();
    bed.unplug(cam0);  // both wait to be plugged in
    bed.unplug(cam1);
    cam0.startClock();  // 15 frames a second whenever a camera streams
    cam1.startClock();

    step("window");
    auto window = std::make_unique<MainWindow>(nullptr);
    ASSERT_TRUE(libraryMapped()) << "the window did not load " << CCameraSDK::kLibraryPath;
    ASSERT_EQ(window->toStartSocketServers(), 0);
    Page page;
    ASSERT_TRUE(page.open());

    // Camera 0 plugged in: the camera-change handling opens and starts it.
    step("plug camera 0");
    bed.plug(cam0);
    ASSERT_TRUE(spinUntil([&] { return cam0.streaming(); }, kWaitMs)) << "camera 0 was not started";
    QJsonObject info = cameraInfo(page);
    EXPECT_EQ(strings(info.value("devName")), QStringList{kModel});
    EXPECT_EQ(strings(info.value("resolutionList")), kResolutions);

    // The page picks the largest size and switches the preview on.
    step("largest size, preview on");
    page.send(setCameraRequest(0, 0));
    ASSERT_EQ(page.reply(QStringLiteral("SetCameraInfo")).value("result").toInt(-1), 0);
    ASSERT_TRUE(spinUntil([&] { return cam0.streaming() && cam0.width() == 2592 && cam0.height() == 1944; }, kWaitMs));
    step("camera 0 streams at 2592x1944");
    page.send(R"({"type":"VideoStatus"})");
    QJsonObject status = page.reply(QStringLiteral("VideoStatus"));
    EXPECT_EQ(status.value("video0").toString(), "run");
    EXPECT_EQ(status.value("video1").toString(), "no");
    page.expectPreviewSize(QSize(1280, 960));
    page.send(R"({"type":"GetCameraVideoBuff"})");
    ASSERT_TRUE(page.previews(3)) << "no preview from camera 0";
    ASSERT_TRUE(page.waitExpectedSize());

    // Turned a quarter: the preview follows; then photos are taken while
    // frames flow and camera 1 is plugged in.
    step("turn, photos, plug camera 1");
    page.send(R"({"type":"SetCameraImageInfo","imageType":0,"cropType":0,"fillBorderType":0,)"
              R"("removalForeign":0,"rotate":90})");
    ASSERT_EQ(page.reply(QStringLiteral("SetCameraImageInfo")).value("result").toInt(-1), 0);
    page.expectPreviewSize(QSize(960, 1280));
    ASSERT_TRUE(page.waitExpectedSize()) << "the preview did not turn";
    for (int n = 1; n <= 3; ++n)
        page.send(captureRequest(n));
    bed.plug(cam1);
    for (int n = 1; n <= 3; ++n)
        ASSERT_NO_FATAL_FAILURE(expectPhoto(page.reply(QStringLiteral("CameraCapture")), n, QSize(1944, 2592)));
    ASSERT_TRUE(spinUntil([&] { return strings(cameraInfo(page).value("devName")).size() == 2; }, kWaitMs))
        << "camera 1 did not reach the camera list";
    EXPECT_TRUE(cam0.streaming());
    EXPECT_FALSE(cam1.streaming()) << "a second camera was started while one runs";

    // Camera 0 unplugged while the page watches: camera 1 takes over and the
    // preview goes on.
    step("unplug camera 0");
    bed.unplug(cam0);
    ASSERT_TRUE(spinUntil([&] { return cam1.streaming(); }, kWaitMs)) << "camera 1 did not take over";
    ASSERT_TRUE(frameHandled(cam1));
    ASSERT_TRUE(page.previews(3)) << "no preview from camera 1";

    // The page picks camera 1 at 640x480: the photo has that size.
    step("camera 1 at 640x480, photo");
    page.send(setCameraRequest(1, 5));
    ASSERT_EQ(page.reply(QStringLiteral("SetCameraInfo")).value("result").toInt(-1), 0);
    ASSERT_TRUE(spinUntil([&] { return cam1.streaming() && cam1.width() == 640 && cam1.height() == 480; }, kWaitMs));
    ASSERT_TRUE(frameHandled(cam1));
    ASSERT_TRUE(page.previews(2));
    page.send(captureRequest(4));
    ASSERT_NO_FATAL_FAILURE(expectPhoto(page.reply(QStringLiteral("CameraCapture")), 4, QSize(480, 640)));
    EXPECT_EQ(page.brokenMessages(), 0);
    EXPECT_EQ(page.previewsOfOtherSize(), 0) << "previews after the turn that were not turned";

    // The page goes away: the preview path closes the camera.
    step("page closes");
    page.close();
    ASSERT_TRUE(page.waitClosed());
    ASSERT_TRUE(spinUntil([&] { return !cam1.streaming() && cam1.openDescriptors() == 0; }, kWaitMs))
        << "the camera stayed open after its page went away";

    // A second page starts camera 1 again; the window is destroyed while it
    // streams to that page and a photo is being taken.
    step("second page, camera 1 at 1280x720");
    Page second;
    ASSERT_TRUE(second.open());
    second.send(setCameraRequest(1, 4));
    ASSERT_EQ(second.reply(QStringLiteral("SetCameraInfo")).value("result").toInt(-1), 0);
    ASSERT_TRUE(spinUntil([&] { return cam1.streaming() && cam1.width() == 1280 && cam1.height() == 720; }, kWaitMs));
    second.expectPreviewSize(QSize(960, 1280));
    second.send(R"({"type":"GetCameraVideoBuff"})");
    ASSERT_TRUE(second.previews(2)) << "no preview for the second page";
    ASSERT_TRUE(second.waitExpectedSize());
    second.send(captureRequest(5));
    const std::string running = serviceThreads();
    for (const char *name : {"kobix-ws ", "kobix-hotplug ", "kobix-capture "})
        EXPECT_NE(running.find(name), std::string::npos) << name << "is not running: " << running;
    step("destroy the window");
    window.reset();
    step("window destroyed");

    EXPECT_EQ(gMainWindow, nullptr);
    // Every thread the window and the library started has ended.  (Whether
    // the unloaded library's pages go too depends on the build: a sanitizer
    // runtime may keep them.)
    EXPECT_TRUE(spinUntil([] { return serviceThreads().empty(); }, kWaitMs)) << "threads left: " << serviceThreads();
    EXPECT_FALSE(cam1.streaming()) << "the camera streams on after the window is gone";
    EXPECT_EQ(cam1.openDescriptors(), 0u);
    EXPECT_TRUE(second.waitClosed()) << "the server left the second page connected";
    EXPECT_EQ(second.brokenMessages(), 0);
    EXPECT_EQ(second.previewsOfOtherSize(), 0);
}

}  // namespace

int main(int argc, char **argv)
{
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    if (listing)
        return RUN_ALL_TESTS();

    std::string err = enterPrivateNamespaces();
    if (err.empty())
        err = installCameraLibraries();
    if (err.empty() && mkdir(kHome, 0700) != 0)
        err = std::string("mkdir ") + kHome + ": " + strerror(errno);
    if (!err.empty()) {
        fprintf(stderr, "cannot set up the window test: %s\n", err.c_str());
        return 1;
    }
    // Logs, settings and photos go to a private home.
    setenv("HOME", kHome, 1);
    setenv("XDG_RUNTIME_DIR", kHome, 1);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
