// kobix-soak: the real kobix-web with its camera libraries under
// vcam-harness, kept busy for a long time as a clerk's desk would keep it:
//
//   - a page (a real QWebSocket client) previews camera 0 at 15 fps and
//     takes a photo ("CameraCapture") every 10 s, while the preview shows;
//   - camera 1 is plugged and unplugged every 3 s;
//   - every 20 s another page comes and goes: it asks "VideoStatus" and
//     closes, asks "GetCameraInfo" and drops its TCP connection, or drops
//     without a word, in turn.  A page that goes away stops the camera, so
//     the previewing page then starts its preview again as a page does
//     after a lost connection (GetCameraInfo, SetCameraInfo,
//     SetCameraImageInfo, GetCameraVideoBuff).
//
// Every request waits for its reply before the next action, so replies
// never go to another client than the one that asked.  Printed: the
// program's RSS, open descriptors, threads and CPU at the start, every
// sample period and at the end, preview messages received per second, and
// every reply that was late or missing.  Samples are taken at a quiet
// point (camera 1 unplugged, no second page, the preview running, 2 s to
// settle), so they compare like with like.  The start sample follows a
// warm-up during which every kind of action has run.
//
// Goals, decided by the exit status (0 met, 1 missed, 77 skipped: not root):
// RSS never more than 5 % above the start sample; descriptors and threads
// never above the start sample; no reply missing; every photo reply carries
// a picture; the program never died.  A preview that shows nothing for 3 s
// is printed, counted and started again.
//
// Environment: SOAK_MINUTES (after the warm-up; default 30),
// SOAK_SAMPLE_SECONDS (default 300, at most a quarter of the run),
// SOAK_WARMUP_SECONDS (default 60), SOAK_LOG (the program's output; default
// kobix-soak-web.log in the working directory), SOAK_RESOLUTION (index in
// the camera's list, default 0: 2592x1944).
#include "figures.h"
#include "harnessed.h"
#include "procstat.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QWebSocket>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

using bench::monoNs;

const char *const kControlSocket = "/tmp/soak-vcam.sock";
const double kPlugSeconds = 3;
const double kPhotoSeconds = 10;
const double kClientSeconds = 20;
const int kLateMs = 2000;         // a reply slower than this is printed as late
const int kMissingMs = 30000;     // none within this: missing
const double kStallSeconds = 3;   // no preview message for this long while previewing
const double kRssSlack = 1.05;    // goal: RSS at most 5 % above the start sample

double secondsSince(std::uint64_t t0) { return double(monoNs() - t0) / 1e9; }

// Set by SIGINT and SIGTERM: the run ends early, with its report.
volatile std::sig_atomic_t g_stop = 0;

void onStopSignal(int) { g_stop = 1; }

// Clock of the run, for the printed lines.
std::uint64_t g_t0 = 0;

std::string stamp()
{
    const int s = int(secondsSince(g_t0));
    char buf[16];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

// Replies: how many came in time, late, or never.
struct ReplyLog {
    long ok = 0, late = 0, missing = 0;
    std::vector<double> ms;
    std::map<std::string, std::vector<double>> msByRequest;
};

// One WebSocket client as a page.  Preview messages are counted and
// dropped; other messages are kept as replies.  Thread: the main thread.
class Client
{
public:
    struct Reply {
        std::uint64_t atNs;
        QJsonObject obj;
    };

    Client()
    {
        QObject::connect(&m_ws, &QWebSocket::textMessageReceived, [this](const QString &t) {
            if (t.leftRef(64).contains(QLatin1String("\"GetCameraVideoBuff\""))) {
                ++m_previews;
                m_lastPreviewNs = monoNs();
                return;
            }
            m_replies.push_back(Reply{monoNs(), QJsonDocument::fromJson(t.toUtf8()).object()});
        });
    }

    bool open(int timeoutMs = 10000)
    {
        m_ws.open(QUrl(QStringLiteral("ws://127.0.0.1:9030")));
        spinUntil([this] { return state() != QAbstractSocket::ConnectingState &&
                                  state() != QAbstractSocket::HostLookupState; }, timeoutMs);
        return state() == QAbstractSocket::ConnectedState;
    }
    QAbstractSocket::SocketState state() const { return m_ws.state(); }
    void close()
    {
        m_ws.close();
        spinUntil([this] { return state() == QAbstractSocket::UnconnectedState; }, 5000);
    }
    void drop() { m_ws.abort(); }

    // Sends a request and waits for the reply of that "func"; late and
    // missing replies are printed and counted.  False when it is missing.
    bool ask(const char *func, const QString &text, ReplyLog &log, Reply &out)
    {
        m_replies.clear();
        const std::uint64_t sent = monoNs();
        m_ws.sendTextMessage(text);
        const bool got = spinUntil([&] {
            while (!m_replies.empty()) {
                Reply r = m_replies.front();
                m_replies.pop_front();
                if (r.obj.value("func").toString() == QLatin1String(func)) {
                    out = r;
                    return true;
                }
                printf("%s  unexpected message while waiting for %s: func \"%s\"\n", stamp().c_str(), func,
                       qPrintable(r.obj.value("func").toString()));
            }
            return false;
        }, kMissingMs);
        if (!got) {
            ++log.missing;
            printf("%s  MISSING reply to %s (none within %d ms)\n", stamp().c_str(), func, kMissingMs);
            return false;
        }
        const double ms = double(out.atNs - sent) / 1e6;
        log.ms.push_back(ms);
        log.msByRequest[func].push_back(ms);
        if (ms > kLateMs) {
            ++log.late;
            printf("%s  late reply to %s: %.0f ms\n", stamp().c_str(), func, ms);
        } else {
            ++log.ok;
        }
        return true;
    }
    void send(const QString &text) { m_ws.sendTextMessage(text); }

    long previews() const { return m_previews; }
    double secondsSincePreview() const { return m_lastPreviewNs ? secondsSince(m_lastPreviewNs) : 1e9; }
    std::uint64_t lastPreviewNs() const { return m_lastPreviewNs; }

private:
    QWebSocket m_ws;
    std::deque<Reply> m_replies;
    long m_previews = 0;
    std::uint64_t m_lastPreviewNs = 0;
};

// One quiet-point reading of the program.
struct Sample {
    double at = 0;  // s since the start sample (negative: before it)
    long rssKiB = 0;
    int fds = 0, threads = 0;
    bench::Cpu cpu;
    long previews = 0;
};

class Soak
{
public:
    Soak(bench::HarnessedService &svc, QString photoPath, int resolution)
        : m_svc(svc), m_photoPath(std::move(photoPath)), m_resolution(resolution)
    {
    }

    bool startPreview()
    {
        Client::Reply r;
        m_previewSince = monoNs();
        // Until the program lists a camera (the sizes are those of the
        // camera that runs: none while none runs).
        const bool listed = spinUntil([&] {
            if (!m_page.ask("GetCameraInfo", R"({"type":"GetCameraInfo"})", m_replies, r))
                return false;
            const QJsonObject info = r.obj["devInfo"].toArray()[0].toObject();
            const QJsonArray sizes = info["resolutionList"].toArray();
            if (sizes.size() > m_resolution)
                m_size = sizes[m_resolution].toString();
            if (info["devName"].toArray().isEmpty())
                spinUntil([] { return false; }, 200);
            return !info["devName"].toArray().isEmpty();
        }, 30000);
        if (!listed) {
            printf("%s  no camera listed by GetCameraInfo within 30 s\n", stamp().c_str());
            return false;
        }
        if (!m_page.ask("SetCameraInfo",
                        QStringLiteral(R"({"type":"SetCameraInfo","devNum":0,"resolutionNum":%1})").arg(m_resolution),
                        m_replies, r))
            return false;
        if (!m_page.ask("SetCameraImageInfo",
                        R"({"type":"SetCameraImageInfo","imageType":0,"cropType":1,"fillBorderType":0,)"
                        R"("removalForeign":0,"rotate":0})",
                        m_replies, r))
            return false;
        m_page.send(R"({"type":"GetCameraVideoBuff"})");
        m_previewSince = monoNs();
        return true;
    }

    bool begin()
    {
        if (!m_page.open(30000)) {
            spinUntil([] { return false; }, 1000);
            if (!m_page.open(30000))
                return false;
        }
        return startPreview();
    }

    // Runs every action that is due for `seconds`; false when the program died.
    bool run(double seconds)
    {
        const std::uint64_t end = monoNs() + std::uint64_t(seconds * 1e9);
        while (monoNs() < end && !g_stop) {
            if (!m_svc.running())
                return false;
            const double now = secondsSince(g_t0);
            if (now >= m_nextPlug) {
                togglePlug();
                m_nextPlug = now + kPlugSeconds;
            } else if (now >= m_nextPhoto && previewing()) {
                photo();
                m_nextPhoto = now + kPhotoSeconds;
            } else if (now >= m_nextClient) {
                otherPage();
                m_nextClient = now + kClientSeconds;
            } else if (m_page.secondsSincePreview() > kStallSeconds && secondsSince(m_previewSince) > kStallSeconds) {
                ++m_stalls;
                printf("%s  preview stalled (no message for %.1f s): starting it again\n", stamp().c_str(),
                       std::min(m_page.secondsSincePreview(), secondsSince(m_previewSince)));
                startPreview();
            } else {
                spinUntil([] { return false; }, 20);
            }
        }
        return m_svc.running();
    }

    // Camera 1 unplugged, 2 s to settle with the preview running, then a reading.
    Sample quietSample(double at)
    {
        if (m_plugged)
            togglePlug();
        m_nextPlug = secondsSince(g_t0) + 2 + kPlugSeconds;
        m_nextClient = std::max(m_nextClient, secondsSince(g_t0) + 2);
        m_nextPhoto = std::max(m_nextPhoto, secondsSince(g_t0) + 2);
        run(2);
        // Like with like: the preview runs when the program is read.
        if (m_page.secondsSincePreview() > 0.5) {
            printf("%s  no preview before the sample: starting it again\n", stamp().c_str());
            startPreview();
            spinUntil([&] { return m_page.secondsSincePreview() < 0.2; }, 10000);
            run(1);
        }
        Sample s;
        const pid_t web = m_svc.webPid();
        s.at = at;
        s.rssKiB = bench::rssKiB(web);
        s.fds = bench::openFds(web);
        s.threads = bench::threadCount(web);
        s.cpu = bench::readCpu(web, "vcam-frames");
        s.previews = m_page.previews();
        return s;
    }

    const ReplyLog &replies() const { return m_replies; }

    // The preview runs: a message came since the page last started it.  A
    // photo is taken only then, as a clerk takes one looking at the
    // preview (before the first frame of a new stream there is nothing to
    // take, and the reply says so with an empty picture).
    bool previewing() const { return m_page.lastPreviewNs() > m_previewSince && m_page.secondsSincePreview() < 1; }
    long photos() const { return m_photos; }
    long emptyPhotos() const { return m_emptyPhotos; }
    long plugs() const { return m_plugToggles; }
    long plugErrors() const { return m_plugErrors; }
    long otherPages() const { return m_otherPages; }
    long stalls() const { return m_stalls; }
    const QString &size() const { return m_size; }

private:
    void togglePlug()
    {
        const std::string cmd = m_plugged ? "unplug 1" : "plug 1";
        const std::string reply = m_svc.command(cmd);
        ++m_plugToggles;
        if (reply.compare(0, 2, "ok") != 0) {
            ++m_plugErrors;
            printf("%s  harness: \"%s\" answered \"%s\"\n", stamp().c_str(), cmd.c_str(), reply.c_str());
        }
        m_plugged = !m_plugged;
    }

    void photo()
    {
        Client::Reply r;
        const QString request = QStringLiteral(R"({"type":"CameraCapture","imgPath":%1})")
                                    .arg(QString::fromUtf8(QJsonDocument(QJsonArray{m_photoPath})
                                                               .toJson(QJsonDocument::Compact))
                                             .mid(1)
                                             .chopped(1));
        ++m_photos;
        if (!m_page.ask("CameraCapture", request, m_replies, r))
            return;
        if (r.obj["base64"].toString().isEmpty() || r.obj["reqId"].toString() != m_photoPath) {
            ++m_emptyPhotos;
            printf("%s  photo reply without a picture or for another path\n", stamp().c_str());
        }
    }

    // Another page comes and goes; then the previewing page starts again.
    void otherPage()
    {
        Client other;
        Client::Reply r;
        const int kind = int(m_otherPages++ % 3);
        if (!other.open()) {
            printf("%s  a second page could not connect\n", stamp().c_str());
            return;
        }
        if (kind == 0) {
            other.ask("VideoStatus", R"({"type":"VideoStatus"})", m_replies, r);
            other.close();
        } else if (kind == 1) {
            other.ask("GetCameraInfo", R"({"type":"GetCameraInfo"})", m_replies, r);
            other.drop();
        } else {
            other.drop();
        }
        // The service closes the camera at its next frame.
        spinUntil([] { return false; }, 500);
        startPreview();
    }

    bench::HarnessedService &m_svc;
    Client m_page;
    QString m_photoPath;
    int m_resolution;
    QString m_size;
    ReplyLog m_replies;
    bool m_plugged = false;
    double m_nextPlug = 0, m_nextPhoto = 0, m_nextClient = 5;
    std::uint64_t m_previewSince = 0;
    long m_photos = 0, m_emptyPhotos = 0, m_plugToggles = 0, m_plugErrors = 0, m_otherPages = 0, m_stalls = 0;
};

void printSample(const char *what, const Sample &s, const Sample *before)
{
    printf("%s  %-7s RSS %8.2f MiB  fds %4d  threads %3d", stamp().c_str(), what, double(s.rssKiB) / 1024.0, s.fds,
           s.threads);
    if (before) {
        const auto cpu = bench::cpuPercent(before->cpu, s.cpu);
        const double seconds = double(s.cpu.atNs - before->cpu.atNs) / 1e9;
        printf("  CPU %5.1f %% (of which camera simulation %4.1f %%)  preview %5.2f /s", cpu.first, cpu.second,
               double(s.previews - before->previews) / seconds);
    }
    printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!bench::enterIsolation())
        return 77;
    QCoreApplication app(argc, argv);
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    const double minutes = bench::envNumber("SOAK_MINUTES", 30);
    const double runS = minutes * 60;
    const double sampleS = std::max(10.0, std::min(bench::envNumber("SOAK_SAMPLE_SECONDS", 300), runS / 4));
    const double warmupS = bench::envNumber("SOAK_WARMUP_SECONDS", 60);
    const int resolution = int(bench::envNumber("SOAK_RESOLUTION", 0));
    const char *logEnv = std::getenv("SOAK_LOG");
    const QString log = QFileInfo(QString::fromLocal8Bit(logEnv && *logEnv ? logEnv : "kobix-soak-web.log"))
                            .absoluteFilePath();

    QTemporaryDir home;
    if (!home.isValid() || !bench::installCameraLibraries()) {
        printf("FAILED: cannot prepare the private /tmp and /opt\n");
        return 1;
    }
    QDir().mkpath(QFileInfo(log).absolutePath());
    printf("kobix-soak: kobix-web under vcam-harness with 2 virtual cameras; %.0f s warm-up, then %.1f min, "
           "a sample every %.0f s\n  the program's output: %s\n",
           warmupS, minutes, sampleS, qPrintable(log));

    g_t0 = monoNs();
    bench::HarnessedService svc(kControlSocket);
    if (!svc.start(home.path(), 2, log)) {
        printf("FAILED: kobix-web did not start under the harness\n");
        return 1;
    }
    // Camera 1 starts unplugged; camera 0 is the one the page previews.
    if (svc.command("unplug 1").compare(0, 2, "ok") != 0) {
        printf("FAILED: the harness does not take commands\n");
        return 1;
    }
    Soak soak(svc, home.path() + "/soak-photo.jpg", resolution);
    if (!soak.begin()) {
        printf("FAILED: the page could not start the preview\n");
        return 1;
    }
    printf("%s  previewing camera 0 at %s\n", stamp().c_str(), qPrintable(soak.size()));
    const Sample launched = soak.quietSample(-warmupS);
    printSample("launch", launched, nullptr);

    bool died = !soak.run(warmupS);
    std::vector<Sample> samples;
    if (!died) {
        samples.push_back(soak.quietSample(0));
        printSample("start", samples.back(), &launched);
    }
    const std::uint64_t runStart = monoNs();
    for (double next = sampleS; !died && next < runS + sampleS; next += sampleS) {
        const double at = std::min(next, runS);
        died = !soak.run(std::max(0.0, at - secondsSince(runStart) - 2));
        if (died)
            break;
        samples.push_back(soak.quietSample(at));
        printSample(at >= runS ? "end" : "sample", samples.back(), &samples[samples.size() - 2]);
        if (at >= runS || g_stop)
            break;
    }
    if (g_stop)
        printf("%s  stopped by a signal before its time\n", stamp().c_str());
    if (died)
        printf("%s  kobix-web DIED (see %s)\n", stamp().c_str(), qPrintable(log));

    // ---- figures ----
    bench::Figures figures("soak");
    long maxRss = 0;
    int maxFds = 0, maxThreads = 0;
    for (const Sample &s : samples) {
        maxRss = std::max(maxRss, s.rssKiB);
        maxFds = std::max(maxFds, s.fds);
        maxThreads = std::max(maxThreads, s.threads);
    }
    const ReplyLog &replies = soak.replies();
    if (samples.size() >= 2) {
        const Sample &first = samples.front(), &last = samples.back();
        const double seconds = double(last.cpu.atNs - first.cpu.atNs) / 1e9;
        const auto cpu = bench::cpuPercent(first.cpu, last.cpu);
        const bench::Baseline start{"start sample", double(first.rssKiB) / 1024.0};
        figures.add("RSS at the end", double(last.rssKiB) / 1024.0, "MiB", {}, start);
        figures.add("RSS highest sample", double(maxRss) / 1024.0, "MiB",
                    bench::Goal::atMost(double(first.rssKiB) / 1024.0 * kRssSlack), start);
        figures.add("open descriptors highest sample", maxFds, "", bench::Goal::atMost(first.fds),
                    {"start sample", double(first.fds)});
        figures.add("threads highest sample", maxThreads, "", bench::Goal::atMost(first.threads),
                    {"start sample", double(first.threads)});
        figures.add("program CPU over the run", cpu.first - cpu.second, "% core");
        figures.add("preview messages per second", double(last.previews - first.previews) / seconds, "1/s");
    }
    figures.add("replies late (> 2 s)", double(replies.late), "");
    figures.add("replies missing", double(replies.missing), "", bench::Goal::atMost(0));
    figures.add("reply time p95", bench::percentile(replies.ms, 95), "ms");
    figures.add("program died", died ? 1 : 0, "", bench::Goal::atMost(0));
    figures.add("photos without a picture", double(soak.emptyPhotos()), "", bench::Goal::atMost(0));
    figures.add("preview stalls", double(soak.stalls()), "");
    printf("\n%ld replies in time, %ld late, %ld missing; %ld photos; %ld plug or unplug commands (%ld refused); "
           "%ld other pages came and went\n",
           replies.ok, replies.late, replies.missing, soak.photos(), soak.plugs(), soak.plugErrors(),
           soak.otherPages());
    for (const auto &[func, ms] : replies.msByRequest)
        printf("  %-20s %5zu replies: p50 %6.0f ms, p95 %6.0f ms, max %6.0f ms\n", func.c_str(), ms.size(),
               bench::percentile(ms, 50), bench::percentile(ms, 95), *std::max_element(ms.begin(), ms.end()));
    figures.finish();

    const int exitCode = svc.stop();
    const bool met = figures.allMet() && samples.size() >= 2 && !died && !g_stop;
    printf("%s  kobix-web stopped with SIGTERM (harness exit %d); goals %s\n", stamp().c_str(), exitCode,
           met ? "met" : "MISSED");
    return met ? 0 : 1;
}
