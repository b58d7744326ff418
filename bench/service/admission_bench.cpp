// Admission and fair share of the WebSocket listener, in process on a
// private loopback (tests/service/isolation.cpp; needs root):
//
//   - reply time of a normal client (one request, wait for the reply) alone
//     and while another client floods 200,000 requests;
//   - what a handshake costs on the admission path: no Origin, a loopback
//     page, a listed site (lists of 50 lines), a refused site, a bad Host;
//   - OriginPolicy::check() alone for a listed site (reads both lists).
//
// Prints figures only; exits non-zero when the listener cannot be set up.
#include "figures.h"
#include "isolation.h"
#include "originpolicy.h"
#include "rawclient.h"
#include "websocketcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const std::string kReply(90, 'r');  // about a VideoStatus reply
WebsocketControl *g_ctl = nullptr;

void *reply(const WsConnRef &conn, char *, int)
{
    g_ctl->doSendText(conn, kReply.data(), static_cast<int>(kReply.size()));
    return nullptr;
}

double us(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

bool upgrade(RawClient &c, const std::string &request)
{
    return c.connectTo() && c.sendAll(request) && RawClient::status(c.readHead()) == 101;
}

double roundTrip(RawClient &c)
{
    auto t0 = Clock::now();
    int op;
    std::string r;
    c.sendAll(RawClient::frame(1, "{\"type\":\"VideoStatus\"}"));
    return c.readFrame(op, r) ? us(t0) / 1000.0 : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string err = enterPrivateNamespaces();
    if (!err.empty()) {
        fprintf(stderr, "bench_service_admission: %s\n", err.c_str());
        return 1;
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir admin, user;
    {
        std::ofstream a(admin.filePath("allowed-origins").toStdString());
        std::ofstream u(user.filePath("allowed-origins").toStdString());
        for (int i = 0; i < 50; ++i) {
            a << "https://site" << i << ".example\n";
            u << "https://*.team" << i << ".example\n";
        }
    }
    WebsocketControl ctl;
    g_ctl = &ctl;
    ctl.SocketLinkRecvSetCallback(reply);
    ctl.setOriginListDirs(admin.path(), user.path());
    QThread *server = QThread::create([&] { ctl.setupWebsocketServer(); });
    server->start();
    for (int i = 0; i < 2000 && !ctl.isStarted(); ++i)
        QThread::msleep(5);
    if (!ctl.isStarted()) {
        fprintf(stderr, "bench_service_admission: no listener\n");
        return 1;
    }
    // The listener prints a line per message: keep it off the figures.
    fflush(stdout);
    int saved = dup(1);
    FILE *quiet = fopen("/dev/null", "w");
    dup2(fileno(quiet), 1);
    auto say = [&](const char *fmt, auto... args) {
        fflush(stdout);
        dprintf(saved, fmt, args...);
    };

    say("bench_service_admission: reply time of a normal client\n");
    RawClient b;
    upgrade(b, RawClient::handshake());
    std::vector<double> alone;
    for (int i = 0; i < 300; ++i)
        alone.push_back(roundTrip(b));
    std::vector<double> flooded;
    {
        RawClient a;
        upgrade(a, RawClient::handshake());
        const int kRequests = 200000;
        std::atomic<int> got{0};
        std::thread reader([&] {
            int op;
            std::string r;
            while (got < kRequests && a.readFrame(op, r, 20000))
                ++got;
        });
        std::thread writer([&] {
            std::string batch;
            for (int i = 0; i < 1000; ++i)
                batch += RawClient::frame(1, "{\"type\":\"VideoStatus\"}");
            for (int i = 0; i < kRequests / 1000; ++i)
                a.sendAll(batch);
        });
        while (got < kRequests) {
            flooded.push_back(roundTrip(b));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        writer.join();
        reader.join();
    }
    fflush(stdout);
    bench::Figures figures("service admission");
    {
        std::vector<double> v = alone;
        std::sort(v.begin(), v.end());
        dprintf(saved, "  %-44s median %7.2f ms  max %7.2f ms\n", "alone", v[v.size() / 2], v.back());
        std::sort(flooded.begin(), flooded.end());
        dprintf(saved, "  %-44s median %7.2f ms  p95 %7.2f ms  max %7.2f ms  (%zu; goal: max < 50 ms)\n",
                "while another client floods 200,000 requests", flooded[flooded.size() / 2],
                flooded[flooded.size() * 95 / 100], flooded.back(), flooded.size());
        figures.add("reply time while another client floods median", flooded[flooded.size() / 2], "ms", {},
                    {"client alone median", v[v.size() / 2]});
        figures.add("reply time while another client floods max", flooded.back(), "ms", bench::Goal::atMost(50),
                    {"client alone max", v.back()});
    }

    say("bench_service_admission: handshake to answer, mean of 1000 (connect, upgrade or 403, close)\n");
    struct Case {
        const char *name;
        std::string request;
        int status;
    } cases[] = {
        {"no Origin", RawClient::handshake(), 101},
        {"loopback page", RawClient::handshake("127.0.0.1:9030", "http://localhost:8080"), 101},
        {"listed site (2 x 50 lines read)", RawClient::handshake("127.0.0.1:9030", "https://a.team49.example"), 101},
        {"unknown site, no display: 403", RawClient::handshake("127.0.0.1:9030", "https://evil.example"), 403},
        {"DNS rebinding Host: 403", RawClient::handshake("evil.example:9030"), 403},
    };
    double plainUs = NAN;
    int wrongAnswers = 0;
    for (const Case &c : cases) {
        const int kRuns = 1000;
        int wrong = 0;
        auto t0 = Clock::now();
        for (int i = 0; i < kRuns; ++i) {
            RawClient r;
            if (!r.connectTo() || !r.sendAll(c.request) || RawClient::status(r.readHead()) != c.status)
                ++wrong;
        }
        fflush(stdout);
        const double each = us(t0) / kRuns;
        dprintf(saved, "  %-44s %7.1f us%s\n", c.name, each, wrong ? "  (unexpected answers!)" : "");
        if (std::isnan(plainUs))
            plainUs = each;
        figures.add(std::string("handshake: ") + c.name, each, "us", {}, {"handshake without Origin", plainUs});
        wrongAnswers += wrong;
    }
    figures.add("handshakes answered otherwise than expected", wrongAnswers, "", bench::Goal::atMost(0));
    OriginPolicy policy(admin.path(), user.path());
    const int kChecks = 20000;
    auto t0 = Clock::now();
    int allowed = 0;
    for (int i = 0; i < kChecks; ++i)
        allowed += policy.check("https://a.team49.example", true) == OriginPolicy::Verdict::Allow;
    fflush(stdout);
    dprintf(saved, "  %-44s %7.1f us (%s)\n", "OriginPolicy::check, listed site", us(t0) / kChecks,
            allowed == kChecks ? "allowed" : "NOT allowed");

    ctl.closeWebsocketServer();
    server->wait();
    delete server;
    dup2(saved, 1);
    return figures.finish() ? 0 : 1;
}
