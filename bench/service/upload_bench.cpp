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
// Runs in private mount and network namespaces (tests/service/isolation.cpp);
// needs root, skipped otherwise.  Exits non-zero only when the program
// fails: no server, a failed upload, or a request without its reply.
#include "isolation.h"
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

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
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
    printf("%-28s %10.1f %10.1f %10.1f\n", "throughput MB/s", percentile(rates, 0.5),
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
    printf("%-28s %10.3f %10.3f %10.3f %10.1f\n", "no upload", percentile(idle, 0.5), percentile(idle, 0.95),
           percentile(idle, 1.0), (uploadedIdle - uploadedBefore) / 1e6);
    printf("%-28s %10.3f %10.3f %10.3f %10.1f\n", "uploads running", percentile(busy, 0.5), percentile(busy, 0.95),
           percentile(busy, 1.0), (received - uploadedIdle) / 1e6);
    printf("extra latency, median: %.3f ms, p95: %.3f ms (%zu of %d requests sent while an upload ran)\n",
           percentile(busy, 0.5) - percentile(idle, 0.5), percentile(busy, 0.95) - percentile(idle, 0.95),
           overlapBusy, statusRuns);
    status = occurrences(out, kFailed.c_str()) == 0 ? 0 : 1;
    if (status)
        printf("an upload failed\n");
    return finish(status);
}
