// kobix-web end to end: the real program with its camera libraries, under
// vcam-harness with one virtual document camera (default profile: MJPG,
// 2592x1944 chosen here, 15 fps), driven over ws://127.0.0.1:9030 by a real
// QWebSocket client as a page drives it.  Measured in one run and printed
// beside their goals:
//
//   - preview messages per second;
//   - capture-to-page latency: the camera finishing a frame (its V4L2
//     timestamp) -> the page receiving that frame's preview message;
//   - the program's CPU while previewing;
//   - "CameraCapture" round trips at 2592x1944 with deskew and crop, while
//     the preview runs;
//   - the program's resident memory over a long preview (sampled every 30 s).
//
// Frame times come from the camera's control block (see "control N" in
// docs/virtual-camera.md), mapped here from the harness's testbed.
//
// Environment: KOBIX_BENCH_PREVIEW_SECONDS (measuring window, default 30),
// KOBIX_BENCH_PHOTOS (default 20), KOBIX_BENCH_SOAK_SECONDS (default 600).
//
// Runs in private mount and network namespaces (tests/service/isolation.cpp):
// its own loopback and port 9030, tmpfs over /opt (where the three libraries
// are installed) and /tmp.  Needs root; skipped otherwise.  Exits non-zero
// only when the program fails: no preview at all, a photo without a reply
// or without a picture, or the program died.
#include "control_files.h"
#include "isolation.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char *const kControlSocket = "/tmp/e2e-vcam.sock";
const double kFps = 15.0; // the default profile's rate
const double kPeriodMs = 1000.0 / kFps;

// Goals.
const double kGoalRate = 14.5;      // preview messages per second, at least
const double kGoalLatencyP95 = 80;  // ms, at most
const double kGoalCpu = 10;         // % of one core, at most
const double kGoalPhotoP95 = 400;   // ms, at most
const double kFlatMiB = 1.0;        // fitted growth over the soak, at most

std::uint64_t monoNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

double envSeconds(const char *name, double fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::max(0.0, std::atof(v)) : fallback;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Nearest-rank percentile; NaN for no values.
double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t rank = size_t(std::ceil(p / 100.0 * double(v.size())));
    return v[std::min(v.size() - 1, rank ? rank - 1 : 0)];
}

// utime + stime of a /proc stat file, in clock ticks.
std::uint64_t cpuTicks(const std::string &statPath)
{
    std::string s = readFile(statPath);
    size_t close = s.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream in(s.substr(close + 2));
    std::string field;
    std::uint64_t utime = 0, stime = 0;
    for (int i = 0; i < 13 && in >> field; ++i) { // fields 3..15 of proc(5)
        if (i == 11)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 12)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return utime + stime;
}

long rssKiB(pid_t pid)
{
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// The process's CPU, and that of the virtual camera's frame thread in it.
struct Cpu {
    std::uint64_t process = 0, frameThread = 0, atNs = 0;
};

Cpu readCpu(pid_t pid)
{
    Cpu c;
    c.atNs = monoNs();
    const std::string base = "/proc/" + std::to_string(pid);
    c.process = cpuTicks(base + "/stat");
    if (DIR *d = opendir((base + "/task").c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            const std::string task = base + "/task/" + e->d_name;
            if (readFile(task + "/comm") == "vcam-frames\n")
                c.frameThread += cpuTicks(task + "/stat");
        }
        closedir(d);
    }
    return c;
}

// % of one core between two readings: {whole process, frame thread}.
std::pair<double, double> cpuPercent(const Cpu &a, const Cpu &b)
{
    const double hz = double(sysconf(_SC_CLK_TCK));
    const double s = double(b.atNs - a.atNs) / 1e9;
    return {100.0 * double(b.process - a.process) / hz / s, 100.0 * double(b.frameThread - a.frameThread) / hz / s};
}

// ---- the program under the harness -------------------------------------------

class Service
{
public:
    bool start(const QString &home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("XDG_RUNTIME_DIR", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        m_proc.setProcessEnvironment(env);
        m_proc.setWorkingDirectory(home);
        // The program prints lines per frame: to a file, not through this
        // process's event loop.
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        m_proc.setStandardOutputFile(home + "/kobix-web.out");
        m_proc.setStandardInputFile(QProcess::nullDevice());
        m_proc.start(VCAM_HARNESS_PATH, {"--cameras", "1", "--control", kControlSocket, "--", KOBIX_WEB_PATH});
        if (!m_proc.waitForStarted(10000))
            return false;
        // The program is the harness's child (the harness re-executes itself
        // once, keeping its process id).
        const pid_t harness = pid_t(m_proc.processId());
        spinUntil([&] { return (m_web = childNamed(harness, "kobix-web")) > 0 || !running(); }, 20000);
        return m_web > 0;
    }

    ~Service() { stop(); }

    void stop()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.terminate(); // the harness passes it on to the program
            if (!m_proc.waitForFinished(15000)) {
                m_proc.kill();
                m_proc.waitForFinished(5000);
            }
        }
        if (m_web > 0 && readFile("/proc/" + std::to_string(m_web) + "/comm") == "kobix-web\n")
            ::kill(m_web, SIGKILL);
        m_web = -1;
    }

    bool running() const { return m_proc.state() == QProcess::Running; }
    pid_t webPid() const { return m_web; }
    int exitCode() const { return m_proc.exitCode(); }

    // One harness command; its reply line, or "" when the harness does not answer.
    std::string command(const std::string &cmd)
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kControlSocket);
            if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                std::string line = cmd + "\n", reply;
                if (write(fd, line.data(), line.size()) == ssize_t(line.size())) {
                    char c;
                    pollfd p{fd, POLLIN, 0};
                    while (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c != '\n')
                        reply += c;
                }
                close(fd);
                return reply;
            }
            close(fd);
            spinUntil([] { return false; }, 50);
        }
        return "";
    }

private:
    static pid_t childNamed(pid_t parent, const char *comm)
    {
        pid_t found = -1;
        if (DIR *d = opendir("/proc")) {
            while (dirent *e = readdir(d)) {
                const pid_t pid = pid_t(std::atol(e->d_name));
                if (pid <= 0)
                    continue;
                const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
                size_t close = stat.rfind(')');
                if (close == std::string::npos)
                    continue;
                std::istringstream in(stat.substr(close + 2));
                std::string state;
                long ppid = 0;
                in >> state >> ppid;
                if (ppid == parent && readFile("/proc/" + std::to_string(pid) + "/comm") == std::string(comm) + "\n")
                    found = pid;
            }
            closedir(d);
        }
        return found;
    }

    QProcess m_proc;
    pid_t m_web = -1;
};

// ---- the page ------------------------------------------------------------------

// What one phase saw of the preview.
struct PreviewLog {
    std::uint64_t messages = 0;
    std::uint64_t newPictures = 0;
    std::uint64_t unmatched = 0;     // no frame the program had taken was found for it
    std::uint64_t pastPeriod = 0;    // matched frame delivered more than one frame period earlier
    std::uint64_t samePair = 0;      // paired with the frame of the message before
    std::uint64_t otherRule = 0;     // "latest frame delivered" would name another frame
    std::vector<double> latencyMs;   // frame delivered -> message at the page
    std::vector<double> takenMs;     // frame delivered -> the program took it (DQBUF)
    std::vector<double> afterTakeMs; // the program took the frame -> message at the page
    std::vector<double> pictureAgeMs; // frame whose picture the message shows -> message at the page
};

class Page
{
public:
    struct Reply {
        std::uint64_t atNs;
        QJsonObject obj;
    };

    explicit Page(vcam::ControlBlock *ctl) : m_ctl(ctl)
    {
        QObject::connect(&m_ws, &QWebSocket::textMessageReceived, [this](const QString &t) { onText(t); });
    }

    bool connectTo(int timeoutMs = 30000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            m_ws.open(QUrl(QStringLiteral("ws://127.0.0.1:9030")));
            spinUntil([this] {
                return m_ws.state() == QAbstractSocket::ConnectedState ||
                       m_ws.state() == QAbstractSocket::UnconnectedState;
            }, timeoutMs);
            if (m_ws.state() == QAbstractSocket::ConnectedState)
                return true;
            spinUntil([] { return false; }, 100);
        }
        return false;
    }

    // A request as the text a page sends: "type" must come first (the
    // service insists on it), so no QJsonDocument here (it sorts the keys).
    void send(const QString &request) { m_ws.sendTextMessage(request); }

    // The next reply with this "func" (others before it are dropped); false
    // when none came in time.
    bool waitReply(const QString &func, Reply &out, int timeoutMs)
    {
        bool got = spinUntil([&] {
            while (!m_replies.empty()) {
                Reply r = m_replies.front();
                m_replies.pop_front();
                if (r.obj.value("func").toString() == func) {
                    out = r;
                    return true;
                }
            }
            return false;
        }, timeoutMs);
        return got;
    }

    void record(PreviewLog *log) { m_log = log; }
    std::uint64_t previews() const { return m_previews; }
    void close() { m_ws.close(); }

private:
    void onText(const QString &text)
    {
        const std::uint64_t at = monoNs();
        if (text.leftRef(64).contains(QLatin1String("\"GetCameraVideoBuff\""))) {
            onPreview(at, text);
            return;
        }
        m_replies.push_back(Reply{at, QJsonDocument::fromJson(text.toUtf8()).object()});
    }

    // The message's frame: the latest frame the program had taken (DQBUF)
    // when the message arrived.  The program handles one frame at a time on
    // its capture thread and posts a frame's message before it takes the
    // next one, so this is that frame unless the message reached the page
    // only after the program had taken the next frame.  Each frame gives at
    // most one message, so such a slip shows as two messages paired with
    // one frame (counted).
    void onPreview(std::uint64_t at, const QString &text)
    {
        ++m_previews;
        const std::uint32_t count = m_ctl->frames.load();
        bool matched = false, byDelivery = false;
        std::uint32_t frame = 0, deliveredFrame = 0;
        std::uint64_t delivered = 0, taken = 0;
        for (std::uint32_t i = 0; i < vcam::ControlBlock::kStampRing && i < count; ++i) {
            const std::uint32_t n = count - 1 - i;
            std::uint64_t d = 0, q = 0;
            if (!m_ctl->stamp(n, d, q))
                continue;
            if (!byDelivery && d <= at) {
                byDelivery = true;
                deliveredFrame = n;
            }
            if (q != 0 && q <= at) {
                matched = true;
                frame = n;
                delivered = d;
                taken = q;
                break;
            }
        }
        const bool newPicture = text != m_lastText;
        m_lastText = text;
        if (newPicture)
            m_pictureBorn = matched ? delivered : 0;
        if (!m_log)
            return;
        PreviewLog &log = *m_log;
        ++log.messages;
        log.newPictures += newPicture ? 1 : 0;
        if (!matched) {
            ++log.unmatched;
            return;
        }
        const double ms = double(at - delivered) / 1e6;
        log.latencyMs.push_back(ms);
        log.takenMs.push_back(double(taken - delivered) / 1e6);
        log.afterTakeMs.push_back(double(at - taken) / 1e6);
        if (ms > kPeriodMs)
            ++log.pastPeriod;
        if (byDelivery && deliveredFrame != frame)
            ++log.otherRule;
        if (m_pairedAny && frame == m_lastFrame)
            ++log.samePair;
        m_pairedAny = true;
        m_lastFrame = frame;
        if (m_pictureBorn)
            log.pictureAgeMs.push_back(double(at - m_pictureBorn) / 1e6);
    }

    QWebSocket m_ws;
    vcam::ControlBlock *m_ctl;
    std::deque<Reply> m_replies;
    PreviewLog *m_log = nullptr;
    QString m_lastText;
    std::uint64_t m_pictureBorn = 0;
    std::uint64_t m_previews = 0;
    bool m_pairedAny = false;
    std::uint32_t m_lastFrame = 0;
};

bool installLibraries()
{
    // Only ever inside the private /opt (see isolation.cpp).
    const QString lib = QStringLiteral("/opt/velmora/camera/lib");
    return QDir().mkpath(lib + "/algorithm") && QDir().mkpath(lib + "/file") &&
           QFile::copy(ZARN_CAMERA_LIB, lib + "/libZarnKobixManager.so") &&
           QFile::copy(ZARN_IMAGE_LIB, lib + "/algorithm/libZarnImage.so") &&
           QFile::copy(ZARN_FILE_LIB, lib + "/file/libZarnFileManager.so");
}

const char *verdict(bool met) { return met ? "met" : "MISSED"; }

void printSpread(const char *what, const std::vector<double> &v)
{
    printf("  %-44s: p50 %6.1f ms, p95 %6.1f ms, max %6.1f ms\n", what, percentile(v, 50), percentile(v, 95),
           v.empty() ? NAN : *std::max_element(v.begin(), v.end()));
}

std::string g_outputFile; // the program's output, named when it fails

int fail(Service &svc, const char *what)
{
    printf("FAILED: %s%s\n", what, svc.running() ? "" : " (the program is gone)");
    // The last lines of its output, without the lines it prints per frame.
    std::istringstream in(readFile(g_outputFile));
    std::deque<std::string> tail;
    for (std::string line; std::getline(in, line);) {
        const bool perFrame = line.compare(0, 4, "data") == 0 || line.compare(0, 9, "FrameCnt:") == 0;
        if (perFrame)
            continue;
        tail.push_back(line);
        if (tail.size() > 40)
            tail.pop_front();
    }
    printf("  its output, last lines but those printed per frame:\n");
    for (const std::string &line : tail)
        printf("    %s\n", line.c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (geteuid() != 0) {
        printf("needs root (private namespaces); benchmark skipped\n");
        return 0;
    }
    const std::string isolation = enterPrivateNamespaces();
    if (!isolation.empty()) {
        printf("cannot isolate: %s; benchmark skipped\n", isolation.c_str());
        return 0;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);

    const double windowS = envSeconds("KOBIX_BENCH_PREVIEW_SECONDS", 30);
    const int photos = int(envSeconds("KOBIX_BENCH_PHOTOS", 20));
    const double soakS = envSeconds("KOBIX_BENCH_SOAK_SECONDS", 600);
    const double sampleS = 30;

    QTemporaryDir home;
    if (!home.isValid() || !installLibraries()) {
        printf("FAILED: cannot prepare the private /tmp and /opt\n");
        return 1;
    }
    g_outputFile = home.path().toStdString() + "/kobix-web.out";

    printf("kobix-web under vcam-harness, 1 virtual camera (default profile), a QWebSocket page on loopback\n");
    printf("preview window %.0f s (after 3 s warm-up), %d photos, soak %.0f s (RSS every %.0f s)\n", windowS, photos,
           soakS, sampleS);

    Service svc;
    if (!svc.start(home.path()))
        return fail(svc, "kobix-web did not start under the harness");
    const std::string ctlReply = svc.command("control 0");
    vcam::ControlBlock *ctl =
        ctlReply.compare(0, 3, "ok ") == 0 ? vcam::mapControlFile(ctlReply.substr(3), false) : nullptr;
    if (!ctl)
        return fail(svc, ("cannot map the camera's control block (harness said \"" + ctlReply + "\")").c_str());

    Page page(ctl);
    if (!page.connectTo())
        return fail(svc, "no WebSocket connection to ws://127.0.0.1:9030");

    // The camera plugged at start is listed once the program found it.
    Page::Reply r;
    QString resolution;
    const bool listed = spinUntil([&] {
        page.send(R"({"type":"GetCameraInfo"})");
        if (!page.waitReply("GetCameraInfo", r, 10000))
            return false;
        QJsonArray list = r.obj["devInfo"].toArray()[0].toObject()["resolutionList"].toArray();
        resolution = list.isEmpty() ? QString() : list[0].toString();
        if (resolution.isEmpty())
            spinUntil([] { return false; }, 200);
        return !resolution.isEmpty();
    }, 30000);
    if (!listed)
        return fail(svc, "the camera was never listed by GetCameraInfo");
    page.send(R"({"type":"SetCameraInfo","devNum":0,"resolutionNum":0})");
    if (!page.waitReply("SetCameraInfo", r, 30000))
        return fail(svc, "no reply to SetCameraInfo");
    page.send(R"({"type":"GetCameraVideoBuff"})");
    if (!spinUntil([&] { return page.previews() > 0 || !svc.running(); }, 20000) || !svc.running())
        return fail(svc, "no preview message within 20 s");
    printf("camera resolution 0 = %s; first preview message received\n", qPrintable(resolution));

    auto pump = [&](double seconds) {
        const std::uint64_t end = monoNs() + std::uint64_t(seconds * 1e9);
        spinUntil([&] { return monoNs() >= end || !svc.running(); }, int(seconds * 1000) + 5000);
        return svc.running();
    };
    const pid_t web = svc.webPid();

    // ---- preview window ----
    if (!pump(3))
        return fail(svc, "the program died during the warm-up");
    PreviewLog preview;
    const std::uint32_t frames0 = ctl->frames.load(), missed0 = ctl->missed.load();
    const Cpu cpu0 = readCpu(web);
    page.record(&preview);
    if (!pump(windowS))
        return fail(svc, "the program died while previewing");
    page.record(nullptr);
    const Cpu cpu1 = readCpu(web);
    const std::uint32_t frames1 = ctl->frames.load(), missed1 = ctl->missed.load();
    const double windowReal = double(cpu1.atNs - cpu0.atNs) / 1e9;
    if (preview.messages == 0)
        return fail(svc, "no preview message in the measuring window");
    const double rate = double(preview.messages) / windowReal;
    const auto cpu = cpuPercent(cpu0, cpu1);
    const double serviceCpu = cpu.first - cpu.second;
    const double latencyP95 = percentile(preview.latencyMs, 95);

    printf("\n-- preview, %s MJPG, %.1f s window\n", qPrintable(resolution), windowReal);
    printf("  camera delivered %u frames (%.2f fps) and missed %u (no buffer queued by the program);\n"
           "  page received %llu preview messages (%.2f /s), %llu with a new picture (%.2f /s)\n",
           frames1 - frames0, double(frames1 - frames0) / windowReal, missed1 - missed0,
           static_cast<unsigned long long>(preview.messages), rate,
           static_cast<unsigned long long>(preview.newPictures), double(preview.newPictures) / windowReal);
    printSpread("capture-to-page latency", preview.latencyMs);
    printSpread("  frame delivered -> taken by the program", preview.takenMs);
    printSpread("  taken -> message at the page", preview.afterTakeMs);
    printSpread("age of the picture shown (repeats count)", preview.pictureAgeMs);
    printf("  pairing: a message belongs to the latest frame the program had dequeued when it arrived (the\n"
           "  program takes one frame at a time and posts its message before it dequeues the next);\n"
           "  %llu paired with the same frame as the message before (a slip; 0: pairing consistent), %llu unpaired;\n"
           "  %llu of %llu arrived more than a frame period (%.1f ms) after their frame's delivery, so %llu would\n"
           "  pair with another frame by the simpler 'latest frame delivered before arrival'\n",
           static_cast<unsigned long long>(preview.samePair), static_cast<unsigned long long>(preview.unmatched),
           static_cast<unsigned long long>(preview.pastPeriod), static_cast<unsigned long long>(preview.messages),
           kPeriodMs, static_cast<unsigned long long>(preview.otherRule));
    printf("  kobix-web CPU: %.1f %% of one core in all, of which the virtual camera's frame thread %.2f %%;\n"
           "  the program's own share %.1f %% (%.2f ms per preview message)\n",
           cpu.first, cpu.second, serviceCpu, serviceCpu * 10.0 / rate);

    // ---- photos while previewing ----
    PreviewLog duringPhotos;
    std::vector<double> photoMs;
    double photoKiB = 0;
    int empty = 0;
    if (photos > 0) {
        page.send(R"({"type":"SetCameraImageInfo","imageType":0,"cropType":1,"fillBorderType":0,)"
                  R"("removalForeign":0,"rotate":0})");
        if (!page.waitReply("SetCameraImageInfo", r, 30000))
            return fail(svc, "no reply to SetCameraImageInfo");
        const QString path = home.path() + "/photo.jpg";
        const QString capture = QStringLiteral(R"({"type":"CameraCapture","imgPath":%1})")
                                    .arg(QString::fromUtf8(QJsonDocument(QJsonArray{path}).toJson(
                                        QJsonDocument::Compact)).mid(1).chopped(1));
        page.record(&duringPhotos);
        const std::uint64_t t0 = monoNs();
        for (int i = 0; i < photos; ++i) {
            const std::uint64_t sent = monoNs();
            page.send(capture);
            if (!page.waitReply("CameraCapture", r, 60000))
                return fail(svc, "no reply to CameraCapture within 60 s");
            photoMs.push_back(double(r.atNs - sent) / 1e6);
            const QString b64 = r.obj["base64"].toString();
            if (b64.isEmpty() || r.obj["reqId"].toString() != path || r.obj["result"].toInt(-1) != 0)
                ++empty;
            photoKiB += double(b64.size()) / 1024.0;
        }
        page.record(nullptr);
        const double photoS = double(monoNs() - t0) / 1e9;
        printf("\n-- %d photos one after the other, %s, deskew and crop (cropType 1), preview running\n", photos,
               qPrintable(resolution));
        printSpread("CameraCapture request -> reply", photoMs);
        printf("  base64 %.0f KiB per reply on average; %d replies without a picture or not for the request\n",
               photoKiB / photos, empty);
        printf("  preview meanwhile: %.2f messages/s, capture-to-page p95 %.1f ms\n",
               double(duringPhotos.messages) / photoS, percentile(duringPhotos.latencyMs, 95));
    }

    // ---- soak (skipped at 0 s) ----
    double fitted = NAN; // MiB over the soak by a straight-line fit
    if (soakS > 0) {
        PreviewLog soak;
        std::vector<std::pair<double, double>> rss; // (s, MiB)
        const Cpu soakCpu0 = readCpu(web);
        page.record(&soak);
        for (double t = 0;; t += sampleS) {
            const double at = std::min(t, soakS);
            if (at > 0 && !pump(std::max(0.0, at - double(monoNs() - soakCpu0.atNs) / 1e9)))
                return fail(svc, "the program died during the soak");
            rss.emplace_back(double(monoNs() - soakCpu0.atNs) / 1e9, double(rssKiB(web)) / 1024.0);
            if (at >= soakS)
                break;
        }
        page.record(nullptr);
        const Cpu soakCpu1 = readCpu(web);
        const double soakReal = double(soakCpu1.atNs - soakCpu0.atNs) / 1e9;
        double maxMiB = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (auto [x, y] : rss) {
            maxMiB = std::max(maxMiB, y);
            sx += x, sy += y, sxx += x * x, sxy += x * y;
        }
        const double nr = double(rss.size());
        double slope = rss.size() > 1 && nr * sxx - sx * sx > 0 ? (nr * sxy - sx * sy) / (nr * sxx - sx * sx) : 0;
        if (std::fabs(slope * soakReal) < 0.005) // RSS counts whole pages: no "-0.00"
            slope = 0;
        fitted = slope * soakReal;
        const double growth = rss.back().second - rss.front().second;
        printf("\n-- soak, preview running, %.0f s\n  RSS MiB:", soakReal);
        for (auto [x, y] : rss)
            printf(" %.2f", y);
        printf("\n  first %.2f MiB, last %.2f MiB, max %.2f MiB, growth %+.2f MiB, fitted %+.2f MiB over the soak "
               "(%+.3f MiB/min)\n",
               rss.front().second, rss.back().second, maxMiB, growth, fitted, slope * 60);
        const auto soakCpu = cpuPercent(soakCpu0, soakCpu1);
        printf("  preview %.2f messages/s, capture-to-page p95 %.1f ms, program's own CPU %.1f %% of one core\n",
               double(soak.messages) / soakReal, percentile(soak.latencyMs, 95), soakCpu.first - soakCpu.second);
    }

    // ---- side by side ----
    const double photoP95 = percentile(photoMs, 95);
    printf("\n%-44s %12s %12s %8s %8s\n", "figure", "measured", "goal", "ratio", "");
    printf("%-44s %12.2f %12s %8.2f %8s\n", "preview messages per second", rate, ">= 14.5", rate / kGoalRate,
           verdict(rate >= kGoalRate));
    printf("%-44s %12.1f %12s %8.2f %8s\n", "capture-to-page latency p95, ms", latencyP95, "<= 80",
           latencyP95 / kGoalLatencyP95, verdict(latencyP95 <= kGoalLatencyP95));
    printf("%-44s %12.1f %12s %8.2f %8s\n", "program CPU while previewing, % of one core", serviceCpu, "<= 10",
           serviceCpu / kGoalCpu, verdict(serviceCpu <= kGoalCpu));
    if (photos > 0)
        printf("%-44s %12.0f %12s %8.2f %8s\n", "CameraCapture 2592x1944 + crop p95, ms", photoP95, "<= 400",
               photoP95 / kGoalPhotoP95, verdict(photoP95 <= kGoalPhotoP95));
    char rssGoal[32];
    snprintf(rssGoal, sizeof rssGoal, "flat (<%.0f)", kFlatMiB);
    if (soakS > 0)
        printf("%-44s %12.2f %12s %8s %8s\n", "RSS fitted growth over the soak, MiB", fitted, rssGoal, "",
               verdict(fitted < kFlatMiB));

    page.close();
    svc.stop();
    if (empty > 0) {
        printf("FAILED: %d photo replies without a picture\n", empty);
        return 1;
    }
    return 0;
}
