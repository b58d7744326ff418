// Cost of doSendFrameText/doSendText for the sending thread (the camera's
// capture thread in the service), measured side by side for a client that
// reads everything and for one that stops reading.  The figures to compare:
// per-call time stays in the microseconds in both runs (the sender never
// waits for the socket), and with the stalled client the frames are dropped
// instead of piling up (held frames stay at one).
#include "figures.h"
#include "websocketcontrol.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QThread>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> g_known{false};
WsConnRef g_client;

void *remember(const WsConnRef &conn, char *, int)
{
    std::atomic_store(&g_client, conn);
    g_known = true;
    return nullptr;
}

struct Figures {
    double medianUs;
    double p99Us;
    double maxUs;
    uint64_t received;
    uint64_t dropped;
    int maxHeld;
};

// Runs a client on its own thread; `reading` false makes it stop reading
// after its first message.
Figures run(WebsocketControl &ctl, bool reading, int frames, int frameSize)
{
    g_known = false;
    std::atomic<uint64_t> received{0};
    std::atomic<bool> stop{false};
    // A QThread, not std::thread: the client needs an event dispatcher.
    QThread *clientThread = QThread::create([&] {
        QWebSocket client;
        QObject::connect(&client, &QWebSocket::textMessageReceived, [&](const QString &) { ++received; });
        client.open(QUrl(QStringLiteral("ws://127.0.0.1:9030")));
        while (client.state() != QAbstractSocket::ConnectedState && !stop)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        client.sendTextMessage(QStringLiteral("hello"));
        while (!g_known && !stop)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        while (!stop) {
            if (reading)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    clientThread->start();
    while (!g_known)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    WsConnRef conn = std::atomic_load(&g_client);

    std::string frame(frameSize, 'f');
    std::vector<double> us;
    us.reserve(frames);
    int maxHeld = 0;
    for (int i = 0; i < frames; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        ctl.doSendFrameText(conn, frame.data(), frameSize);
        auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        maxHeld = std::max(maxHeld, conn->pendingFrames());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // a fast camera's frame pace
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    clientThread->wait();
    delete clientThread;
    std::sort(us.begin(), us.end());
    return Figures{us[us.size() / 2], us[us.size() * 99 / 100], us.back(), received.load(), conn->droppedFrames(),
                   maxHeld};
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, WebsocketControl::kPort)) {
            printf("port %d is taken; benchmark skipped\n", WebsocketControl::kPort);
            return 0;
        }
    }
    WebsocketControl ctl;
    ctl.SocketLinkRecvSetCallback(remember);
    QThread *server = QThread::create([&] { ctl.setupWebsocketServer(); });
    server->start();
    while (!ctl.isStarted())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    const int kFrames = 300;
    const int kFrameSize = 300 * 1024;  // a preview JPEG as base64 text
    Figures live = run(ctl, true, kFrames, kFrameSize);
    Figures stalled = run(ctl, false, kFrames, kFrameSize);

    printf("%d frames of %d KiB, one every 5 ms\n", kFrames, kFrameSize / 1024);
    printf("%-16s %12s %12s %12s %10s %10s %10s\n", "client", "median us", "p99 us", "max us", "received",
           "dropped", "held max");
    for (auto [name, f] : {std::make_pair("reading", live), std::make_pair("stalled", stalled)})
        printf("%-16s %12.1f %12.1f %12.1f %10llu %10llu %10d\n", name, f.medianUs, f.p99Us, f.maxUs,
               static_cast<unsigned long long>(f.received), static_cast<unsigned long long>(f.dropped),
               f.maxHeld);
    printf("ratio stalled/reading, median call time: %.2f\n", stalled.medianUs / live.medianUs);
    bench::Figures figures("service send path");
    figures.add("frame send call to a stalled client median", stalled.medianUs, "us", {},
                {"client that reads", live.medianUs});
    figures.add("frame send call to a stalled client p99", stalled.p99Us, "us", {},
                {"client that reads", live.p99Us});
    figures.add("frames held for a stalled client at most", stalled.maxHeld, "");

    ctl.closeWebsocketServer();
    server->wait();
    delete server;
    return figures.finish() ? 0 : 1;
}
