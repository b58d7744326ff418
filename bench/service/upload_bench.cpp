// "UploadFile" end to end: the real kobix-web posting a 5 MB file with a
// JPEG signature to a cpp-httplib server (real multipart parser) on
// 127.0.0.1, asked over ws://127.0.0.1:9030 by a real QWebSocket client.
// Printed:
//
//   - upload throughput, request sent -> the program's success line (MB/s);
//   - "VideoStatus" round trips while nothing is uploaded, and while
//     uploads run back to back, side by side.
//
// Environment: KOBIX_BENCH_UPLOADS (throughput runs, default 10),
// KOBIX_BENCH_STATUS (round trips per column, default 1000).
//
// Runs in private mount and network namespaces (harnessed.h);
// needs root, skipped otherwise.  Exits non-zero only when the program
// fails: no server, a failed upload, or a request without its reply.
#include "figures.h"
#include "harnessed.h"
#include "procstat.h"
#include "testsupport.h"

#include <httplib.h>

#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::percentile;

const size_t kFileBytes = 5 * 1000 * 1000;
const std::string kSucceeded = "拍摄仪上传文件成功\n";
const std::string kFailed = "拍摄仪上传文件失败\n";

int envCount(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

size_t occurrences(const QByteArray &text, const QByteArray &needle)
{
    return static_cast<size_t>(text.count(needle));
}

}  // namespace

int main(int argc, char **argv)
{
    if (!bench::enterIsolation())
        return 0;
    for (const char *proxy : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        unsetenv(proxy);
    QCoreApplication app(argc, argv);
    const int uploads = envCount("KOBIX_BENCH_UPLOADS", 10);
    const int statusRuns = envCount("KOBIX_BENCH_STATUS", 1000);

    // The receiving server parses every form and keeps only the byte count.
    std::atomic<size_t> received{0};
    httplib::Server http;
    http.Post("/up", [&](const httplib::Request &, httplib::Response &res, const httplib::ContentReader &read) {
        size_t bytes = 0;
        read([](const httplib::MultipartFormData &) { return true; },
             [&](const char *, size_t n) { bytes += n; return true; });
        received += bytes;
        res.set_content("stored", "text/plain");
    });
    const int port = http.bind_to_any_port("127.0.0.1");
    std::thread server([&] { http.listen_after_bind(); });

    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/scan.jpg";
    {
        std::string bytes = "\xFF\xD8\xFF\xE0";
        std::mt19937 gen(7);
        while (bytes.size() < kFileBytes)
            bytes.push_back(static_cast<char>(gen() & 0xff));
        std::ofstream(path, std::ios::binary) << bytes;
    }
    const std::string request = "{\"type\":\"UploadFile\",\"url\":\"http://127.0.0.1:" + std::to_string(port) +
                                "/up\",\"filepath\":\"" + path + "\"}";

    QProcess proc;
    QByteArray out;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(env);
    proc.setWorkingDirectory(dir.path());
    proc.setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(&proc, &QProcess::readyReadStandardOutput, [&] { out += proc.readAllStandardOutput(); });
    proc.start(KOBIX_WEB_PATH, QStringList());
    WsClient client;
    int status = 0;
    auto finish = [&](int code) {
        proc.kill();
        proc.waitForFinished(20000);
        http.stop();
        server.join();
        return code;
    };
    if (!spinUntil([&] { return out.contains("setup websocket\n"); }) || !client.connectTo()) {
        printf("the service does not serve\n");
        return finish(1);
    }
    auto done = [&] { return occurrences(out, kSucceeded.c_str()) + occurrences(out, kFailed.c_str()); };
    // Waits woken by the program's output and by messages, not by polling
    // (spinUntil looks every 5 ms, too coarse for round trips).
    QEventLoop wake;
    QObject::connect(&proc, &QProcess::readyReadStandardOutput, &wake, &QEventLoop::quit);
    QObject::connect(&client.socket(), &QWebSocket::textMessageReceived, &wake, &QEventLoop::quit);
    auto waitUntil = [&](const std::function<bool()> &pred, int timeoutMs) {
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &wake, &QEventLoop::quit);
        limit.start(timeoutMs);
        while (!pred() && limit.isActive())
            wake.exec();
        return pred();
    };

    // Throughput, one upload at a time.
    std::vector<double> rates;
    for (int i = 0; i < uploads; ++i) {
        const size_t before = done();
        QElapsedTimer clock;
        clock.start();
        client.sendText(request);
        if (!waitUntil([&] { return done() > before; }, 60000))
            break;
        rates.push_back(kFileBytes / 1e6 / (clock.nsecsElapsed() / 1e9));
    }
    if (rates.size() != static_cast<size_t>(uploads) || occurrences(out, kFailed.c_str()) != 0) {
        printf("an upload failed or did not finish\n");
        return finish(1);
    }
    printf("upload of a %.1f MB file, %d runs, request -> success line\n", kFileBytes / 1e6, uploads);
    printf("%-28s %10s %10s %10s\n", "", "median", "min", "max");
    printf("%-28s %10.1f %10.1f %10.1f\n", "throughput MB/s", percentile(rates, 50),
           *std::min_element(rates.begin(), rates.end()), *std::max_element(rates.begin(), rates.end()));

    // "VideoStatus" round trips: idle, then with two uploads kept queued.
    auto roundTrips = [&](bool uploading, size_t &overlapped) {
        std::vector<double> ms;
        size_t sent = done();
        overlapped = 0;
        for (int i = 0; i < statusRuns; ++i) {
            while (uploading && sent - done() < 2) {
                client.sendText(request);
                ++sent;
            }
            if (uploading && sent > done())
                ++overlapped;
            QElapsedTimer clock;
            clock.start();
            client.sendText("{\"type\":\"VideoStatus\"}");
            Received r;
            if (!waitUntil([&] { return client.pending() > 0; }, 10000) || !client.next(r, 0))
                return std::vector<double>();
            ms.push_back(clock.nsecsElapsed() / 1e6);
        }
        waitUntil([&] { return done() >= sent; }, 120000);
        return ms;
    };
    size_t overlapIdle = 0;
    size_t overlapBusy = 0;
    const size_t uploadedBefore = received;
    std::vector<double> idle = roundTrips(false, overlapIdle);
    const size_t uploadedIdle = received;
    std::vector<double> busy = roundTrips(true, overlapBusy);
    if (idle.empty() || busy.empty()) {
        printf("a VideoStatus request was not answered\n");
        return finish(1);
    }
    printf("\n\"VideoStatus\" round trips (ms), %d each\n", statusRuns);
    printf("%-28s %10s %10s %10s %10s\n", "", "median", "p95", "max", "MB moved");
    printf("%-28s %10.3f %10.3f %10.3f %10.1f\n", "no upload", percentile(idle, 50), percentile(idle, 95),
           percentile(idle, 100), (uploadedIdle - uploadedBefore) / 1e6);
    printf("%-28s %10.3f %10.3f %10.3f %10.1f\n", "uploads running", percentile(busy, 50), percentile(busy, 95),
           percentile(busy, 100), (received - uploadedIdle) / 1e6);
    printf("extra latency, median: %.3f ms, p95: %.3f ms (%zu of %d requests sent while an upload ran)\n",
           percentile(busy, 50) - percentile(idle, 50), percentile(busy, 95) - percentile(idle, 95),
           overlapBusy, statusRuns);
    bench::Figures figures("service upload");
    figures.add("upload throughput median", percentile(rates, 50), "MB/s");
    figures.add("VideoStatus round trip while uploading median", percentile(busy, 50), "ms", {},
                {"no upload", percentile(idle, 50)});
    figures.add("VideoStatus round trip while uploading p95", percentile(busy, 95), "ms", {},
                {"no upload", percentile(idle, 95)});
    status = occurrences(out, kFailed.c_str()) == 0 && figures.finish() ? 0 : 1;
    if (status)
        printf("an upload failed\n");
    return finish(status);
}
