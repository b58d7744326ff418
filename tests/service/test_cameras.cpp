// kobix-web with its real camera library and virtual document cameras: the
// program runs under vcam-harness (V4L2 through the shim, udev through
// umockdev) inside the private namespaces of isolation.cpp, with the three
// libraries installed at their fixed paths, and a real WebSocket client
// drives it.  Pictures are read back with libjpeg-turbo.
//
// Whether a camera streams is read from the harness (frames delivered per
// camera), not from the program's diagnostics.
#include "isolation.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <turbojpeg.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// Readable failure messages for Qt strings and lists of them.
void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

const char *const kControlSocket = "/tmp/vcam-control.sock";
const char *const kLibDir = "/opt/velmora/camera/lib";
// The default virtual camera (tools/vcam/profiles/docam-5mp.json).
const char *const kModel = "DocCam_5MP";
const char *const kSettingsFile = "ac8*3343.ini";
const QStringList kResolutions = {"2592*1944", "2048*1536", "1920*1080", "1600*1200", "1280*720", "640*480"};

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs the event loop for ms milliseconds.
void settle(int ms)
{
    spinUntil([] { return false; }, ms);
}

// ---- pictures ---------------------------------------------------------------

struct Picture {
    int width = 0, height = 0;
    bool greyJpeg = false;  // one-component JPEG
    std::vector<uint8_t> rgb;
    bool ok() const { return width > 0; }
    const uint8_t *at(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
    int luma(int x, int y) const
    {
        const uint8_t *p = at(x, y);
        return (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000;
    }
};

// Strict decode: a warning (damaged or truncated data) counts as a failure.
Picture decodeJpeg(const QByteArray &bytes)
{
    Picture pic;
    tjhandle tj = tjInitDecompress();
    auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    int w = 0, h = 0, sub = 0, space = 0;
    if (tj && !bytes.isEmpty() && tjDecompressHeader3(tj, data, bytes.size(), &w, &h, &sub, &space) == 0) {
        std::vector<uint8_t> rgb(size_t(w) * h * 3);
        if (tjDecompress2(tj, data, bytes.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) == 0) {
            pic.width = w;
            pic.height = h;
            pic.greyJpeg = sub == TJSAMP_GRAY;
            pic.rgb.swap(rgb);
        }
    }
    if (tj)
        tjDestroy(tj);
    return pic;
}

// A 64x48 mid-grey JPEG.
QByteArray smallJpeg()
{
    std::vector<uint8_t> rgb(64 * 48 * 3, 128);
    tjhandle tj = tjInitCompress();
    unsigned char *out = nullptr;
    unsigned long size = 0;
    QByteArray bytes;
    if (tj && tjCompress2(tj, rgb.data(), 64, 0, 48, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0) == 0)
        bytes = QByteArray(reinterpret_cast<const char *>(out), int(size));
    tjFree(out);
    if (tj)
        tjDestroy(tj);
    return bytes;
}

QByteArray fromBase64(const QString &text)
{
    auto r = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    return r ? *r : QByteArray();
}

// Mean brightness of gw x gh cells, row by row.
std::vector<double> grid(const Picture &pic, int gw, int gh)
{
    std::vector<double> sum(size_t(gw) * gh, 0.0), count(sum.size(), 0.0);
    for (int y = 0; y < pic.height; ++y) {
        for (int x = 0; x < pic.width; ++x) {
            size_t cell = size_t(y * gh / pic.height) * gw + size_t(x * gw / pic.width);
            sum[cell] += pic.luma(x, y);
            count[cell] += 1;
        }
    }
    for (size_t i = 0; i < sum.size(); ++i)
        sum[i] /= count[i];
    return sum;
}

// A gw x gh grid turned a quarter: the result is gh x gw.
std::vector<double> quarterTurn(const std::vector<double> &g, int gw, int gh, bool counterClockwise)
{
    std::vector<double> out(g.size());
    for (int y = 0; y < gw; ++y) {      // rows of the turned grid
        for (int x = 0; x < gh; ++x) {  // columns of the turned grid
            int sx = counterClockwise ? gw - 1 - y : y;
            int sy = counterClockwise ? x : gh - 1 - x;
            out[size_t(y) * gh + x] = g[size_t(sy) * gw + sx];
        }
    }
    return out;
}

double meanDifference(const std::vector<double> &a, const std::vector<double> &b)
{
    double d = 0;
    for (size_t i = 0; i < a.size(); ++i)
        d += std::fabs(a[i] - b[i]);
    return d / double(a.size());
}

// Largest channel difference over the picture, and the mean of |R - B|.
void channelSpread(const Picture &pic, int &maxSpread, double &meanRB)
{
    maxSpread = 0;
    double sum = 0;
    for (size_t i = 0; i < pic.rgb.size(); i += 3) {
        int r = pic.rgb[i], g = pic.rgb[i + 1], b = pic.rgb[i + 2];
        maxSpread = std::max({maxSpread, std::abs(r - g), std::abs(g - b), std::abs(r - b)});
        sum += std::abs(r - b);
    }
    meanRB = sum / double(pic.rgb.size() / 3);
}

// Fractions of dark (< 48), middle and light (> 207) pixels.
void tones(const Picture &pic, double &dark, double &middle, double &light)
{
    double n = double(pic.width) * pic.height, d = 0, l = 0;
    for (int y = 0; y < pic.height; ++y) {
        for (int x = 0; x < pic.width; ++x) {
            int v = pic.luma(x, y);
            d += v < 48;
            l += v > 207;
        }
    }
    dark = d / n;
    light = l / n;
    middle = 1.0 - dark - light;
}

// ---- harness and program ----------------------------------------------------

// kobix-web under vcam-harness.  The harness passes SIGTERM on to the
// program and ends with it.
class CameraService
{
public:
    CameraService(const QString &home, int cameras, bool unplugged, bool traceIoctls = false)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("XDG_RUNTIME_DIR", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (traceIoctls)
            env.insert("VCAM_TRACE", "1");
        m_proc.setProcessEnvironment(env);
        m_proc.setWorkingDirectory(home);
        QObject::connect(&m_proc, &QProcess::readyReadStandardOutput, [this] { m_out += m_proc.readAllStandardOutput(); });
        QObject::connect(&m_proc, &QProcess::readyReadStandardError, [this] { m_err += m_proc.readAllStandardError(); });
        QStringList args = {"--cameras", QString::number(cameras), "--control", kControlSocket};
        if (unplugged)
            args << "--unplugged";
        args << "--" << KOBIX_WEB_PATH;
        m_proc.start(VCAM_HARNESS, args);
    }

    ~CameraService()
    {
        // KOBIX_CAMERA_TEST_LOG=FILE keeps the whole output of the last run.
        if (const char *keep = getenv("KOBIX_CAMERA_TEST_LOG"))
            std::ofstream(keep) << "--- program output:\n" << out() << "--- error output:\n" << err();
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.terminate();
            if (!spinUntil([this] { return m_proc.state() == QProcess::NotRunning; }, 15000)) {
                m_proc.kill();
                m_proc.waitForFinished(10000);
            }
        }
        // Never leave a program behind that holds the port for the next test.
        long pid = std::atol(readFile("/tmp/kobix-web.pid").c_str());
        if (pid > 0 && readFile("/proc/" + std::to_string(pid) + "/cmdline").find("kobix-web") != std::string::npos)
            ::kill(pid_t(pid), SIGKILL);
    }

    bool running() const { return m_proc.state() == QProcess::Running; }
    std::string out() const { return m_out.toStdString(); }
    std::string err() const { return m_err.toStdString(); }
    // The last lines of both outputs, for failure messages.
    std::string log() const
    {
        auto tail = [](const std::string &s) { return s.size() > 6000 ? "..." + s.substr(s.size() - 6000) : s; };
        return "--- program output:\n" + tail(out()) + "--- error output:\n" + tail(err());
    }

    // One harness command; the reply line, or "<no harness>".
    std::string command(const std::string &cmd)
    {
        std::string reply = "<no harness>";
        for (int attempt = 0; attempt < 200 && reply == "<no harness>"; ++attempt) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kControlSocket);
            if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                std::string line = cmd + "\n";
                reply.clear();
                if (write(fd, line.data(), line.size()) == ssize_t(line.size())) {
                    char c;
                    pollfd p{fd, POLLIN, 0};
                    while (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c != '\n')
                        reply += c;
                }
            } else {
                settle(50);
            }
            close(fd);
        }
        return reply;
    }

    long frames(int cam)
    {
        std::string r = command("frames " + std::to_string(cam));
        return r.compare(0, 3, "ok ") == 0 ? std::atol(r.c_str() + 3) : -1;
    }

    // The camera delivers frames to the program: three more within the time.
    bool streams(int cam, int timeoutMs = 15000)
    {
        long base = frames(cam);
        return base >= 0 && spinUntil([&] {
                   settle(50);
                   return frames(cam) >= base + 3;
               }, timeoutMs);
    }

    // The camera delivers nothing for a whole second (waits for that up to
    // the time, so a stream still being closed may end first).
    bool idle(int cam, int timeoutMs = 15000)
    {
        long last = frames(cam);
        QElapsedTimer still;
        still.start();
        return spinUntil([&] {
            settle(100);
            long now = frames(cam);
            if (now != last) {
                last = now;
                still.restart();
            }
            return still.elapsed() >= 1000;
        }, timeoutMs);
    }

    // Page corners of the current scene at a frame size.
    std::vector<double> corners(int cam, int width, int height)
    {
        std::istringstream in(command("corners " + std::to_string(cam) + " " + std::to_string(width) + " " +
                                      std::to_string(height)));
        std::string ok;
        std::vector<double> v(8, 0.0);
        in >> ok;
        for (double &d : v)
            in >> d;
        return v;
    }

private:
    QProcess m_proc;
    QByteArray m_out;
    QByteArray m_err;
};

// A page's connection: replies in order; preview messages kept apart (the
// latest few only, they come at the camera's frame rate).
class Page
{
public:
    bool connect() { return m_ws.connectTo(); }
    // Requests are sent with "type" first, as the service requires.
    void send(QJsonObject request)
    {
        std::string type = request.take("type").toString().toStdString();
        std::string rest = QJsonDocument(request).toJson(QJsonDocument::Compact).toStdString().substr(1);
        m_ws.sendText("{\"type\":\"" + type + "\"" + (rest == "}" ? "" : ",") + rest);
    }
    void sendText(const std::string &text) { m_ws.sendText(text); }
    void close()
    {
        m_ws.close();
        m_ws.waitDisconnected();
    }

    // The next message that is not a preview; {"func":"<none>"} when none came.
    QJsonObject reply(int timeoutMs = 30000)
    {
        if (!spinUntil([this] { drain(); return !m_replies.empty(); }, timeoutMs))
            return QJsonObject{{"func", "<none>"}};
        QJsonObject r = m_replies.front();
        m_replies.pop_front();
        return r;
    }
    QJsonObject request(const QJsonObject &req, int timeoutMs = 30000)
    {
        send(req);
        return reply(timeoutMs);
    }

    // The next preview picture received from now on (an empty one when none came).
    Picture nextPreview(int timeoutMs = 20000)
    {
        drain();
        m_previews.clear();
        if (!spinUntil([this] { drain(); return !m_previews.empty(); }, timeoutMs))
            return Picture();
        return decodeJpeg(fromBase64(m_previews.back()));
    }
    int previewsSeen() { drain(); return m_previewCount; }
    size_t repliesPending() { drain(); return m_replies.size(); }

private:
    void drain()
    {
        Received r;
        while (m_ws.pending() > 0 && m_ws.next(r, 0)) {
            QJsonObject obj = QJsonDocument::fromJson(r.bytes).object();
            if (obj.value("func").toString() == "GetCameraVideoBuff") {
                ++m_previewCount;
                m_previews.push_back(obj.value("imgBase64Str").toString());
                if (m_previews.size() > 2)
                    m_previews.pop_front();
            } else {
                if (obj.isEmpty())
                    obj = QJsonObject{{"func", "<not JSON>"}, {"text", QString::fromUtf8(r.bytes.left(200))}};
                m_replies.push_back(obj);
            }
        }
    }

    WsClient m_ws;
    std::deque<QJsonObject> m_replies;
    std::deque<QString> m_previews;
    int m_previewCount = 0;
};

QJsonObject imageInfo(int imageType, int cropType, int rotate)
{
    return QJsonObject{{"type", "SetCameraImageInfo"}, {"imageType", imageType}, {"cropType", cropType},
                       {"fillBorderType", 0}, {"removalForeign", 0}, {"rotate", rotate}};
}

QJsonObject cameraInfo(int devNum, int resolutionNum)
{
    return QJsonObject{{"type", "SetCameraInfo"}, {"devNum", devNum}, {"resolutionNum", resolutionNum}};
}

QStringList strings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &s : v.toArray())
        out << s.toString();
    return out;
}

QStringList devNames(Page &page)
{
    return strings(page.request({{"type", "GetCameraInfo"}})["devInfo"].toArray()[0].toObject()["devName"]);
}

std::string text(const QJsonObject &obj)
{
    return QJsonDocument(obj).toJson(QJsonDocument::Compact).left(300).toStdString();
}

// A photo: the reply, the file as saved and the picture the reply carries.
struct Photo {
    QJsonObject reply;
    Picture file;
    Picture returned;
};

Photo takePhoto(Page &page, const QString &path)
{
    Photo p;
    p.reply = page.request({{"type", "CameraCapture"}, {"imgPath", path}});
    EXPECT_EQ(p.reply["func"].toString(), "CameraCapture") << text(p.reply);
    EXPECT_EQ(p.reply["reqId"].toString(), path);
    QFile f(path);
    if (f.open(QIODevice::ReadOnly))
        p.file = decodeJpeg(f.readAll());
    p.returned = decodeJpeg(fromBase64(p.reply["base64"].toString()));
    EXPECT_TRUE(p.file.ok()) << "no readable photo at " << path.toStdString();
    EXPECT_TRUE(p.returned.ok()) << "reply carries no picture";
    EXPECT_EQ(p.reply["result"].toInt(-1), 0);
    EXPECT_EQ(p.returned.width, p.file.width);
    EXPECT_EQ(p.returned.height, p.file.height);
    return p;
}

// Sends request, then VideoStatus: the next reply must be VideoStatus's.
void expectNoReply(Page &page, const std::string &request)
{
    page.sendText(request);
    EXPECT_EQ(page.request({{"type", "VideoStatus"}})["func"].toString(), "VideoStatus") << request;
}

// Names of the running program's threads, as top -H shows them.
std::set<std::string> programThreadNames()
{
    const std::string task = "/proc/" + std::to_string(std::atol(readFile("/tmp/kobix-web.pid").c_str())) + "/task/";
    std::set<std::string> names;
    for (const QString &tid : QDir(QString::fromStdString(task)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const std::string comm = readFile(task + tid.toStdString() + "/comm");
        names.insert(comm.substr(0, comm.find('\n')));
    }
    return names;
}

class CameraServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 9030)) << "port 9030 is taken";
        probe.close();
        // Only ever inside the test's private /opt (see isolation.cpp).
        const QString lib = kLibDir;
        ASSERT_TRUE(QDir().mkpath(lib + "/algorithm") && QDir().mkpath(lib + "/file"));
        ASSERT_TRUE(QFile::copy(ZARN_CAMERA_LIB, lib + "/libZarnKobixManager.so"));
        ASSERT_TRUE(QFile::copy(ZARN_IMAGE_LIB, lib + "/algorithm/libZarnImage.so"));
        ASSERT_TRUE(QFile::copy(ZARN_FILE_LIB, lib + "/file/libZarnFileManager.so"));
    }
    void TearDown() override { QDir(QStringLiteral("/opt/velmora")).removeRecursively(); }

    QString home(const QString &rel = QString()) const { return m_home.path() + (rel.isEmpty() ? "" : "/" + rel); }

    void writeSettings(const std::string &content)
    {
        QString dir = home(".config/velmora/kobix-base/backup");
        ASSERT_TRUE(QDir().mkpath(dir));
        std::ofstream(dir.toStdString() + "/" + kSettingsFile) << content;
    }

    QTemporaryDir m_home;
};

}  // namespace

// One camera from plug to photo: list, resolution, preview, turn, crop,
// colour modes, status, and the camera closed once the page is gone.
TEST_F(CameraServiceTest, TypicalSessionFromPreviewToPhotos)
{
    CameraService svc(home(), 1, false);
    Page page;
    ASSERT_TRUE(page.connect()) << svc.log();

    // The camera plugged at start is reported and opened on its own.
    ASSERT_TRUE(svc.streams(0)) << svc.log();
    const std::set<std::string> threads = programThreadNames();
    for (const char *name : {"kobix-ws", "kobix-hotplug", "kobix-capture"})
        EXPECT_EQ(threads.count(name), 1u) << name << " is not among the program's threads";
    QJsonObject info;
    ASSERT_TRUE(spinUntil([&] {
        info = page.request({{"type", "GetCameraInfo"}})["devInfo"].toArray()[0].toObject();
        return !info["resolutionList"].toArray().isEmpty();
    })) << svc.log();
    EXPECT_EQ(strings(info["devName"]), QStringList{kModel});
    EXPECT_EQ(strings(info["resolutionList"]), kResolutions);

    // The page off-centre, so a quarter turn either way is told apart.
    ASSERT_EQ(svc.command("scene 0 4 0.36 0.44 0.62").compare(0, 2, "ok"), 0);
    QJsonObject set = page.request(cameraInfo(0, 1));  // 2048*1536
    ASSERT_EQ(text(set), text({{"func", "SetCameraInfo"}, {"reqId", ""}, {"result", 0}})) << svc.log();
    // A photo asked for at once is never a frame of the resolution before.
    Picture early = decodeJpeg(fromBase64(
        page.request({{"type", "CameraCapture"}, {"imgPath", home("early.jpg")}})["base64"].toString()));
    EXPECT_TRUE(!early.ok() || (early.width == 2048 && early.height == 1536))
        << "photo of the old resolution: " << early.width << "x" << early.height;
    QJsonObject status = page.request({{"type", "VideoStatus"}});
    EXPECT_EQ(status["video0"].toString(), "run");
    EXPECT_EQ(status["video1"].toString(), "no");

    // Preview: no reply, then one 1280x960 picture per frame.
    page.send({{"type", "GetCameraVideoBuff"}});
    Picture upright;
    for (int i = 0; i < 4; ++i) {
        upright = page.nextPreview();
        ASSERT_TRUE(upright.ok()) << "preview " << i << "\n" << svc.log();
        EXPECT_EQ(upright.width, 1280);
        EXPECT_EQ(upright.height, 960);
    }
    EXPECT_EQ(page.repliesPending(), 0u);
    std::vector<double> uprightGrid = grid(upright, 32, 24);

    // A turn of 90 degrees: counter-clockwise, 960x1280.
    EXPECT_EQ(page.request(imageInfo(0, 0, 90))["result"].toInt(-1), 0);
    Picture turned;
    ASSERT_TRUE(spinUntil([&] {
        turned = page.nextPreview();
        return !turned.ok() || turned.width == 960;
    })) << "previews stay unturned";
    for (int i = 0; i < 3; ++i) {
        turned = page.nextPreview();
        ASSERT_TRUE(turned.ok());
        ASSERT_EQ(turned.width, 960);
        ASSERT_EQ(turned.height, 1280);
        std::vector<double> g = grid(turned, 24, 32);
        double ccw = meanDifference(g, quarterTurn(uprightGrid, 32, 24, true));
        double cw = meanDifference(g, quarterTurn(uprightGrid, 32, 24, false));
        EXPECT_LT(ccw, 8.0) << "clockwise difference " << cw;
        EXPECT_GT(cw, 3 * ccw + 5) << "counter-clockwise difference " << ccw;
    }

    // Photos at the frame size, in colour.
    QDir().mkpath(home("photos"));
    EXPECT_EQ(page.request(imageInfo(0, 0, 0))["result"].toInt(-1), 0);
    Photo colour = takePhoto(page, home("photos/colour.jpg"));
    EXPECT_EQ(colour.file.width, 2048);
    EXPECT_EQ(colour.file.height, 1536);
    int spread = 0;
    double colourRB = 0;
    channelSpread(colour.file, spread, colourRB);
    EXPECT_GT(colourRB, 2.0) << "the colour photo has no colour";

    // Deskewed and cropped to the page of the ground truth.
    EXPECT_EQ(page.request(imageInfo(0, 1, 0))["result"].toInt(-1), 0);
    Photo cropped = takePhoto(page, home("photos/page.jpg"));
    std::vector<double> c = svc.corners(0, 2048, 1536);
    double pageW = std::hypot(c[2] - c[0], c[3] - c[1]);
    double pageH = std::hypot(c[6] - c[0], c[7] - c[1]);
    EXPECT_NEAR(cropped.file.width, pageW, 0.05 * pageW) << "page " << pageW << "x" << pageH;
    EXPECT_NEAR(cropped.file.height, pageH, 0.05 * pageH) << "page " << pageW << "x" << pageH;

    // Grey: one grey level per pixel, with the desk's middle tones.
    EXPECT_EQ(page.request(imageInfo(1, 0, 0))["result"].toInt(-1), 0);
    Photo grey = takePhoto(page, home("photos/grey.jpg"));
    double greyRB = 0, dark, middle, light;
    channelSpread(grey.file, spread, greyRB);
    EXPECT_TRUE(grey.file.greyJpeg || spread <= 3) << "channels differ by up to " << spread;
    tones(grey.file, dark, middle, light);
    EXPECT_GT(middle, 0.2);

    // Black and white: next to nothing in between.
    EXPECT_EQ(page.request(imageInfo(2, 0, 0))["result"].toInt(-1), 0);
    Photo bw = takePhoto(page, home("photos/bw.jpg"));
    tones(bw.file, dark, middle, light);
    EXPECT_LT(middle, 0.05);
    EXPECT_GT(dark, 0.01);
    EXPECT_GT(light, 0.05);

    // A quarter turn on a photo: sides swapped, turned counter-clockwise.
    EXPECT_EQ(page.request(imageInfo(0, 0, 90))["result"].toInt(-1), 0);
    Photo sideways = takePhoto(page, home("photos/turned.jpg"));
    ASSERT_EQ(sideways.file.width, 1536);
    ASSERT_EQ(sideways.file.height, 2048);
    std::vector<double> expect = quarterTurn(grid(colour.file, 32, 24), 32, 24, true);
    EXPECT_LT(meanDifference(grid(sideways.file, 24, 32), expect), 8.0);

    // The page goes away: the next frames close the camera.
    ASSERT_GT(page.previewsSeen(), 0);
    page.close();
    EXPECT_TRUE(svc.idle(0)) << svc.log();
    EXPECT_TRUE(svc.running());

    // A new page gets no pictures until it opens the camera again.
    Page next;
    ASSERT_TRUE(next.connect());
    next.send({{"type", "GetCameraVideoBuff"}});
    EXPECT_EQ(next.request({{"type", "VideoStatus"}})["func"].toString(), "VideoStatus");
    settle(1500);
    EXPECT_EQ(next.previewsSeen(), 0);
    EXPECT_EQ(next.request(cameraInfo(0, 5))["result"].toInt(-1), 0);
    Picture again = next.nextPreview();  // still turned a quarter
    EXPECT_TRUE(again.ok() && again.height == 1280) << "no preview after SetCameraInfo\n" << svc.log();
}

// Photos that cannot be taken or saved return no picture, even when a file
// already stands at the path; malformed requests get no reply.
TEST_F(CameraServiceTest, FailedPhotosReturnNothing)
{
    CameraService svc(home(), 1, true);
    Page page;
    ASSERT_TRUE(page.connect()) << svc.log();

    // An older photo at the path must not come back as this one.
    QDir().mkpath(home("photos"));
    const QByteArray oldJpeg = smallJpeg();
    ASSERT_TRUE(decodeJpeg(oldJpeg).ok());
    auto writeStale = [&](const QString &path) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(oldJpeg);
    };
    const QString stale = home("photos/stale.jpg");
    writeStale(stale);

    QJsonObject r = page.request({{"type", "CameraCapture"}, {"imgPath", stale}});
    EXPECT_EQ(r["func"].toString(), "CameraCapture") << text(r);
    EXPECT_EQ(r["base64"].toString(), "") << "nothing streams yet";
    EXPECT_EQ(r["reqId"].toString(), stale);

    // With frames coming in: a photo, then saves that fail.
    ASSERT_EQ(svc.command("plug 0"), "ok plugged /dev/video0");
    ASSERT_TRUE(svc.streams(0)) << svc.log();
    settle(300);
    Photo good = takePhoto(page, home("photos/good.jpg"));
    EXPECT_EQ(good.file.width, 640) << "no settings file: the camera's current resolution";
    EXPECT_EQ(good.file.height, 480);

    r = page.request({{"type", "CameraCapture"}, {"imgPath", home("no/such/dir/x.jpg")}});
    EXPECT_EQ(r["func"].toString(), "CameraCapture") << text(r);
    EXPECT_EQ(r["base64"].toString(), "");
    EXPECT_FALSE(QFile::exists(home("no/such/dir/x.jpg")));

    const QString badExtension = home("photos/stale.nosuchformat");
    writeStale(badExtension);
    r = page.request({{"type", "CameraCapture"}, {"imgPath", badExtension}});
    EXPECT_EQ(r["func"].toString(), "CameraCapture") << text(r);
    EXPECT_EQ(r["base64"].toString(), "") << "the file that stood there came back";

    expectNoReply(page, "{\"type\":\"CameraCapture\"}");
    expectNoReply(page, "{\"type\":\"CameraCapture\",\"imgPath\":5}");
    expectNoReply(page, "{\"type\":\"CameraCapture\",\"imgPath\":null}");
    EXPECT_TRUE(svc.running());
}

// Two cameras plugged and unplugged: the first of the list runs, a second
// waits, and unplugging the running one hands over to the other.
TEST_F(CameraServiceTest, PlugSequencesWithTwoCameras)
{
    CameraService svc(home(), 2, true);
    Page page;
    ASSERT_TRUE(page.connect()) << svc.log();
    EXPECT_EQ(devNames(page), QStringList{});

    ASSERT_EQ(svc.command("plug 0"), "ok plugged /dev/video0");
    ASSERT_TRUE(svc.streams(0)) << svc.log();
    EXPECT_EQ(devNames(page), QStringList{kModel});

    // A second camera is added, not opened.
    long before = svc.frames(1);
    ASSERT_EQ(svc.command("plug 1"), "ok plugged /dev/video2");
    ASSERT_TRUE(spinUntil([&] { return devNames(page).size() == 2; })) << svc.log();
    settle(1000);
    EXPECT_EQ(svc.frames(1), before) << "the second camera was opened";
    EXPECT_TRUE(svc.streams(0));

    // Two reported events, camera 0 chosen.
    EXPECT_EQ(page.request(cameraInfo(0, 5))["result"].toInt(-1), 0);
    QJsonObject status = page.request({{"type", "VideoStatus"}});
    EXPECT_EQ(status["video0"].toString(), "run") << text(status);
    EXPECT_EQ(status["video1"].toString(), "ok") << text(status);
    EXPECT_TRUE(svc.streams(0));

    // Unplugging the running camera opens the other; the lists never hold
    // more than two events.  Twice round, so each camera hands over once
    // more in both directions.
    int running = 0, waiting = 1;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("hand-over " + std::to_string(round));
        ASSERT_EQ(svc.command("unplug " + std::to_string(running)).compare(0, 2, "ok"), 0);
        ASSERT_TRUE(svc.streams(waiting)) << svc.log();
        EXPECT_TRUE(svc.idle(running));
        QStringList names = devNames(page);
        EXPECT_EQ(names, QStringList{kModel});
        std::swap(running, waiting);

        before = svc.frames(waiting);
        ASSERT_EQ(svc.command("plug " + std::to_string(waiting)).compare(0, 2, "ok"), 0);
        ASSERT_TRUE(spinUntil([&] {
            names = devNames(page);
            return names.size() != 1;
        })) << svc.log();
        EXPECT_EQ(names, (QStringList{kModel, kModel}));
        settle(1000);
        EXPECT_EQ(svc.frames(waiting), before) << "a camera plugged beside the running one was opened";
        EXPECT_TRUE(svc.streams(running));
    }

    // Unplug while the preview streams and a photo is being taken.
    page.send({{"type", "GetCameraVideoBuff"}});
    ASSERT_TRUE(page.nextPreview().ok()) << svc.log();
    page.send({{"type", "CameraCapture"}, {"imgPath", home("inflight.jpg")}});
    ASSERT_EQ(svc.command("unplug " + std::to_string(running)).compare(0, 2, "ok"), 0);
    QJsonObject photo = page.reply();
    EXPECT_EQ(photo["func"].toString(), "CameraCapture") << svc.log();
    if (!photo["base64"].toString().isEmpty()) {
        EXPECT_TRUE(decodeJpeg(fromBase64(photo["base64"].toString())).ok());
    }
    EXPECT_EQ(page.request({{"type", "VideoStatus"}})["func"].toString(), "VideoStatus") << svc.log();
    ASSERT_TRUE(svc.running());
    // The other camera took over, and a preview comes from it.
    EXPECT_TRUE(svc.streams(waiting)) << svc.log();
    EXPECT_TRUE(page.nextPreview().ok());
}

// [device] res of the model's settings file picks the resolution the camera
// opens at, when the camera lists it.
TEST_F(CameraServiceTest, SettingsFileChoosesTheResolution)
{
    struct Case {
        const char *settings;
        int width, height;
    } cases[] = {
        {"[device]\nres=1280*720\n", 1280, 720},
        {"[device]\nres=1000*1000\n", 640, 480},  // not listed: the current one
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        writeSettings(c.settings);
        CameraService svc(home(), 1, false);
        Page page;
        ASSERT_TRUE(page.connect()) << svc.log();
        ASSERT_TRUE(svc.streams(0)) << svc.log();
        settle(300);
        Photo photo = takePhoto(page, home("photo.jpg"));
        EXPECT_EQ(photo.file.width, c.width) << svc.log();
        EXPECT_EQ(photo.file.height, c.height);
        QFile::remove(home("photo.jpg"));
    }
}

// An opening after a plug that fails is tried again for a while; once the
// tries are used up, only the next plug event opens the camera.
TEST_F(CameraServiceTest, FailedOpeningIsRetriedAfterAPlug)
{
    CameraService svc(home(), 1, true, true);
    Page page;
    ASSERT_TRUE(page.connect()) << svc.log();
    // The camera's first request after opening (QUERYCAP) refused with EIO,
    // as VCAM_TRACE reports it: the library cannot open the camera.
    auto refusals = [&svc] {
        std::string err = svc.err();
        size_t n = 0;
        for (size_t at = err.find(" nr 0 -> -5\n"); at != std::string::npos; at = err.find(" nr 0 -> -5\n", at + 1))
            ++n;
        return n;
    };

    ASSERT_EQ(svc.command("fail 0 all 5"), "ok");
    ASSERT_EQ(svc.command("plug 0"), "ok plugged /dev/video0");
    ASSERT_TRUE(spinUntil([&] { return refusals() >= 1; })) << svc.log();
    ASSERT_EQ(svc.command("fail 0 0 0"), "ok");
    EXPECT_TRUE(svc.streams(0)) << "not opened again after the failure\n" << svc.log();

    // Refused for good: the tries end, and clearing the fault alone does
    // not open the camera.
    ASSERT_EQ(svc.command("unplug 0").compare(0, 2, "ok"), 0);
    ASSERT_TRUE(svc.idle(0));
    size_t first = refusals();
    ASSERT_EQ(svc.command("fail 0 all 5"), "ok");
    ASSERT_EQ(svc.command("plug 0"), "ok plugged /dev/video0");
    size_t last = 0;
    QElapsedTimer still;
    still.start();
    ASSERT_TRUE(spinUntil([&] {
        settle(100);
        size_t now = refusals();
        if (now != last) {
            last = now;
            still.restart();
        }
        return still.elapsed() >= 2000;
    }, 30000)) << "the openings never stop";
    EXPECT_GE(last - first, 2u) << "no second try\n" << svc.log();
    long before = svc.frames(0);
    ASSERT_EQ(svc.command("fail 0 0 0"), "ok");
    settle(1500);
    EXPECT_EQ(svc.frames(0), before);
    ASSERT_EQ(svc.command("unplug 0").compare(0, 2, "ok"), 0);
    ASSERT_EQ(svc.command("plug 0"), "ok plugged /dev/video0");
    EXPECT_TRUE(svc.streams(0)) << svc.log();
}

int main(int argc, char **argv)
{
    return runIsolatedTests(argc, argv);
}
