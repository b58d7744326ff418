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
// Runs in private mount and network namespaces (harnessed.h).  Needs root;
// skipped otherwise.  Exits non-zero only when the program fails: no
// preview at all, a photo without a reply or without a picture, or the
// program died.
#include "control_files.h"
#include "figures.h"
#include "harnessed.h"
#include "procstat.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QWebSocket>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::monoNs;
using bench::percentile;

const char *const kControlSocket = "/tmp/e2e-vcam.sock";
const double kFps = 15.0; // the default profile's rate
const double kPeriodMs = 1000.0 / kFps;

// Goals.
const double kGoalRate = 14.5;      // preview messages per second, at least
const double kGoalLatencyP95 = 80;  // ms, at most
const double kGoalCpu = 10;         // % of one core, at most
const double kGoalPhotoP95 = 400;   // ms, at most
const double kFlatMiB = 1.0;        // fitted growth over the soak, at most

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

void printSpread(const char *what, const std::vector<double> &v)
{
    printf("  %-44s: p50 %6.1f ms, p95 %6.1f ms, max %6.1f ms\n", what, percentile(v, 50), percentile(v, 95),
           v.empty() ? NAN : *std::max_element(v.begin(), v.end()));
}

std::string g_outputFile; // the program's output, named when it fails

int fail(bench::HarnessedService &svc, const char *what)
{
    printf("FAILED: %s%s\n", what, svc.running() ? "" : " (the program is gone)");
    // The last lines of its output, without the lines it prints per frame.
    std::istringstream in(bench::readFile(g_outputFile));
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
    if (!bench::enterIsolation())
        return 0;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);

    const double windowS = bench::envNumber("KOBIX_BENCH_PREVIEW_SECONDS", 30);
    const int photos = int(bench::envNumber("KOBIX_BENCH_PHOTOS", 20));
    const double soakS = bench::envNumber("KOBIX_BENCH_SOAK_SECONDS", 600);
    const double sampleS = 30;

    QTemporaryDir home;
    if (!home.isValid() || !bench::installCameraLibraries()) {
        printf("FAILED: cannot prepare the private /tmp and /opt\n");
        return 1;
    }
    g_outputFile = home.path().toStdString() + "/kobix-web.out";

    printf("kobix-web under vcam-harness, 1 virtual camera (default profile), a QWebSocket page on loopback\n");
    printf("preview window %.0f s (after 3 s warm-up), %d photos, soak %.0f s (RSS every %.0f s)\n", windowS, photos,
           soakS, sampleS);

    bench::HarnessedService svc(kControlSocket);
    if (!svc.start(home.path(), 1, QString::fromStdString(g_outputFile)))
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
    const bench::Cpu cpu0 = bench::readCpu(web, "vcam-frames");
    page.record(&preview);
    if (!pump(windowS))
        return fail(svc, "the program died while previewing");
    page.record(nullptr);
    const bench::Cpu cpu1 = bench::readCpu(web, "vcam-frames");
    const std::uint32_t frames1 = ctl->frames.load(), missed1 = ctl->missed.load();
    const double windowReal = double(cpu1.atNs - cpu0.atNs) / 1e9;
    if (preview.messages == 0)
        return fail(svc, "no preview message in the measuring window");
    const double rate = double(preview.messages) / windowReal;
    const auto cpu = bench::cpuPercent(cpu0, cpu1);
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
        const bench::Cpu soakCpu0 = bench::readCpu(web, "vcam-frames");
        page.record(&soak);
        for (double t = 0;; t += sampleS) {
            const double at = std::min(t, soakS);
            if (at > 0 && !pump(std::max(0.0, at - double(monoNs() - soakCpu0.atNs) / 1e9)))
                return fail(svc, "the program died during the soak");
            rss.emplace_back(double(monoNs() - soakCpu0.atNs) / 1e9, double(bench::rssKiB(web)) / 1024.0);
            if (at >= soakS)
                break;
        }
        page.record(nullptr);
        const bench::Cpu soakCpu1 = bench::readCpu(web, "vcam-frames");
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
        const auto soakCpu = bench::cpuPercent(soakCpu0, soakCpu1);
        printf("  preview %.2f messages/s, capture-to-page p95 %.1f ms, program's own CPU %.1f %% of one core\n",
               double(soak.messages) / soakReal, percentile(soak.latencyMs, 95), soakCpu.first - soakCpu.second);
    }

    // ---- side by side ----
    bench::Figures figures("service e2e");
    const bench::Baseline cameraRate{"frames the camera delivered per second",
                                     double(frames1 - frames0) / windowReal};
    figures.add("preview messages per second", rate, "1/s", bench::Goal::atLeast(kGoalRate), cameraRate);
    figures.add("capture-to-page latency p95", latencyP95, "ms", bench::Goal::atMost(kGoalLatencyP95),
                {"frame period", kPeriodMs});
    figures.add("program CPU while previewing", serviceCpu, "% core", bench::Goal::atMost(kGoalCpu));
    if (photos > 0)
        figures.add("CameraCapture 2592x1944 + crop p95", percentile(photoMs, 95), "ms",
                    bench::Goal::atMost(kGoalPhotoP95));
    if (soakS > 0)
        figures.add("RSS fitted growth over the preview soak", fitted, "MiB", bench::Goal::atMost(kFlatMiB));
    figures.finish();

    page.close();
    svc.stop();
    if (empty > 0) {
        printf("FAILED: %d photo replies without a picture\n", empty);
        return 1;
    }
    return 0;
}
