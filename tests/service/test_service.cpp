// kobix-web as a whole: the real program, started in a private mount and
// network namespace (no camera library, private /tmp and loopback), spoken
// to by a real WebSocket client over loopback.
#include "isolation.h"
#include "programrun.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

namespace {

const char *const kPidFile = "/tmp/kobix-web.pid";

const std::string kVideoStatusReply =
    "{\n\t\"func\":\t\"VideoStatus\",\n\t\"video0\":\t\"no\",\n\t\"video1\":\t\"no\",\n\t\"result\":\t0\n}";
const std::string kGetCameraInfoReply =
    "{\n\t\"func\":\t\"GetCameraInfo\",\n\t\"reqId\":\t\"\",\n\t\"result\":\t0,\n\t\"devInfo\":\t[{\n"
    "\t\t\t\"devName\":\t[],\n\t\t\t\"resolutionList\":\t[]\n\t\t}]\n}";
const std::string kOpenCameraReply =
    "{\n\t\"func\":\t\"OpenCamera\",\n\t\"reqId\":\t\"\",\n\t\"devNum\":\t\"/dev/video\"\n}";
const std::string kSetImageInfoReply =
    "{\n\t\"func\":\t\"SetCameraImageInfo\",\n\t\"reqId\":\t\"\",\n\t\"result\":\t0\n}";

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_home.isValid());
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 9030))
            << "port 9030 on 127.0.0.1 is taken by another program: " << probe.errorString().toStdString();
        probe.close();
    }

    void TearDown() override
    {
        // Only ever inside the test's private /opt (see isolation.cpp).
        if (m_installedLibrary)
            QDir(QStringLiteral("/opt/velmora")).removeRecursively();
    }

    std::string home() const { return m_home.path().toStdString(); }

    // Puts a stand-in library where the program loads the camera library.
    void installCameraLibrary(const char *from)
    {
        ASSERT_TRUE(QDir().mkpath(QStringLiteral("/opt/velmora/camera/lib")));
        QFile::remove(QStringLiteral("/opt/velmora/camera/lib/libZarnKobixManager.so"));
        ASSERT_TRUE(QFile::copy(QString::fromUtf8(from), QStringLiteral("/opt/velmora/camera/lib/libZarnKobixManager.so")));
        m_installedLibrary = true;
    }

    // Starts the service and connects a client to it; null on failure.
    std::unique_ptr<ProgramRun> startServing(WsClient &client)
    {
        auto svc = std::make_unique<ProgramRun>(m_home.path());
        if (!svc->started()) {
            ADD_FAILURE() << "cannot start " << KOBIX_WEB_PATH;
            return nullptr;
        }
        if (!svc->waitOut("setup websocket\n") || !client.connectTo()) {
            ADD_FAILURE() << "the service does not serve:\n" << svc->out() << svc->err();
            return nullptr;
        }
        return svc;
    }

    // Sends `request` and then a barrier request: the next message must be
    // the barrier's reply, so the first request was answered with nothing.
    void expectNoReply(WsClient &client, const std::string &request, bool binary = false)
    {
        if (binary)
            client.sendBinary(request);
        else
            client.sendText(request);
        client.sendText("{\"type\":\"OpenCamera\"}");
        EXPECT_EQ(client.nextText(), kOpenCameraReply) << "request: " << request.substr(0, 80);
    }

    QTemporaryDir m_home;
    bool m_installedLibrary = false;
};

// Sends `request` and expects `reply` as the next message.
void expectReply(WsClient &client, const std::string &request, const std::string &reply)
{
    client.sendText(request);
    EXPECT_EQ(client.nextText(), reply) << "request: " << request.substr(0, 80);
}

std::string todaysLogFile(const std::string &home)
{
    time_t t = time(nullptr);
    struct tm lt;
    localtime_r(&t, &lt);
    return home + "/.ZARN/kobix-web/Log/pemrix-web-protocal-" + std::to_string(lt.tm_year + 1900) + "_" +
           std::to_string(lt.tm_mon + 1) + "_" + std::to_string(lt.tm_mday) + ".log";
}

}  // namespace

TEST_F(ServiceTest, StartsWithoutCameraLibraryAndServes)
{
    WsClient client;
    auto svc = startServing(client);
    ASSERT_TRUE(svc);
    std::string out = svc->out();
    const char *order[] = {"begin test\n",
                           "before Mainwindow \n",
                           "load morvane :/opt/velmora/camera/lib/libZarnKobixManager.so: ",
                           "load camera lib  fail\n",
                           "after Mainwindow \n",
                           "before SocketLinkRecvSetCallback\n",
                           "setup websocket\n"};
    size_t at = 0;
    for (const char *line : order) {
        size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        at = found;
    }
    EXPECT_EQ(out.find("socketRet"), std::string::npos);

    expectReply(client, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);

    // IPv6 loopback is served as well.
    WsClient six;
    ASSERT_TRUE(six.connectTo(QStringLiteral("ws://[::1]:9030")));
    expectReply(six, "{\"type\":\"OpenCamera\"}", kOpenCameraReply);
}

TEST_F(ServiceTest, LibraryWhoseInitFailsIsStillRegisteredWith)
{
    installCameraLibrary(KOBIX_FAKE_LIB);
    WsClient client;
    auto svc = startServing(client);
    ASSERT_TRUE(svc);
    std::string out = svc->out();
    size_t loaded = out.find("before Mainwindow \n[LoadLib]load camera sdk success\ninit camera fail -7\n"
                             "RegCallBackCameraChange callback function  0\nafter Mainwindow \n");
    EXPECT_NE(loaded, std::string::npos) << out;
    // No camera is known yet, so the lists are empty.
    expectReply(client, "{\"type\":\"GetCameraInfo\"}", kGetCameraInfoReply);
}

TEST_F(ServiceTest, LibraryMissingAFunctionIsNotUsed)
{
    installCameraLibrary(KOBIX_FAKE_LIB_WITHOUT_OPEN);
    WsClient client;
    auto svc = startServing(client);
    ASSERT_TRUE(svc);
    EXPECT_NE(svc->out().find("before Mainwindow \n[LoadLib]load camera sdk failed\nload camera lib  fail\n"
                              "after Mainwindow \n"),
              std::string::npos)
        << svc->out();
    expectReply(client, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);
}

TEST_F(ServiceTest, RepliesAreExactBytes)
{
    WsClient client;
    auto svc = startServing(client);
    ASSERT_TRUE(svc);

    expectReply(client, "{\"type\":\"VideoStatus\",\"reqId\":\"r1\"}", kVideoStatusReply);
    expectReply(client, "{\"type\":\"GetCameraInfo\",\"reqId\":\"77\"}", kGetCameraInfoReply);
    expectReply(client, "{\"type\":\"OpenCamera\",\"devNum\":5,\"reqId\":\"x\"}", kOpenCameraReply);
    expectReply(client, "{\"type\":\"SetCameraImageInfo\",\"imageType\":1,\"cropType\":1,\"fillBorderType\":3,"
                "\"removalForeign\":4,\"rotate\":90,\"reqId\":\"abc\"}", kSetImageInfoReply);
    EXPECT_NE(svc->out().find("m_cameraPara.pImageType: 1\nm_cameraPara.iCropType: 1\nm_cameraPara.iRotate: 90\n"
                              "m_cameraPara.iFillBorderType: 3\nm_cameraPara.iRemovalForeign: 4\n"),
              std::string::npos)
        << svc->out();

    // Members that are not numbers count as 0.
    expectReply(client, "{\"type\":\"SetCameraImageInfo\",\"imageType\":\"2\",\"cropType\":null,\"fillBorderType\":[],"
                "\"removalForeign\":{},\"rotate\":\"180\"}", kSetImageInfoReply);
    EXPECT_NE(svc->out().find("m_cameraPara.pImageType: 0\nm_cameraPara.iCropType: 0\nm_cameraPara.iRotate: 0\n"),
              std::string::npos);

    // Text and binary requests are treated alike; the reply is text.
    client.sendBinary("{\"type\":\"VideoStatus\"}");
    Received r;
    ASSERT_TRUE(client.next(r));
    EXPECT_FALSE(r.binary);
    EXPECT_EQ(r.bytes.toStdString(), kVideoStatusReply);

    // The largest request that fits the receive buffer is still served.
    std::string head = "{\"type\":\"VideoStatus\",\"pad\":\"";
    std::string big = head + std::string(10239 - head.size() - 2, 'p') + "\"}";
    ASSERT_EQ(big.size(), 10239u);
    client.sendText(big);
    EXPECT_EQ(client.nextText(), kVideoStatusReply);
    EXPECT_EQ(client.pending(), 0u);
}

TEST_F(ServiceTest, BadAndUnknownRequestsGetNoReply)
{
    WsClient client;
    auto svc = startServing(client);
    ASSERT_TRUE(svc);
    const std::string ignored[] = {
        " {\"type\":\"VideoStatus\"}",
        "{ \"type\":\"VideoStatus\"}",
        "{\"reqId\":\"1\",\"type\":\"VideoStatus\"}",
        "{\"type\":\"videostatus\"}",
        "{\"type\":\"VIDEOSTATUS\"}",
        "{\"type\":\"NoSuchRequest\"}",
        "{\"type\":\"\"}",
        "{\"type\":5}",
        "{\"type\":null}",
        "{\"type\":true}",
        "{\"type\":[\"VideoStatus\"]}",
        "{\"type\":{\"VideoStatus\":1}}",
        "{\"type\":\"VideoStatus\"",
        "{\"type\"}",
        "{\"type\":\"VideoStatus\",,}",
        "{\"type\":\"GetCameraVideoBuff\"}",
        "{\"type\":\"SetCameraImageInfo\",\"imageType\":0,\"cropType\":0,\"fillBorderType\":0,\"removalForeign\":0}",
        "{\"type\":\"SetCameraImageInfo\"}",
        "{\"type\":\"SetCameraInfo\",\"resolutionNum\":0}",
        "{\"type\":\"UploadFile\",\"url\":5}",
        "{\"type\":\"UploadFile\"}",
        "{",
        "x",
        "",
        "[1,2,3]",
        std::string(30000, '{'),  // dropped; past kMaxIncomingMessage it would close
        "{\"type\":\"VideoStatus\",\"pad\":\"" + std::string(10240, 'p') + "\"}",
    };
    for (const std::string &request : ignored)
        expectNoReply(client, request);
    expectNoReply(client, "{\"type\":\"" + std::string(5000, 'V') + "\"}");
    // A byte order mark in front is not a request either (sent as binary:
    // text frames pass through a UTF-8 decoder that may strip it).
    expectNoReply(client, "\xEF\xBB\xBF{\"type\":\"VideoStatus\"}", true);
    expectNoReply(client, std::string("\0{\"type\":\"VideoStatus\"}", 23), true);
    expectNoReply(client, std::string("{\"type\"\0:\"VideoStatus\"}", 23), true);
    EXPECT_TRUE(svc->running());
    EXPECT_NE(svc->out().find("size of msg is 0 or msg = nullptr(connet id = 1)"), std::string::npos);
    EXPECT_NE(svc->out().find("GetCameraVideoBuff  Base64 Data "), std::string::npos);

    // A message too big to buffer closes only that connection.
    client.sendText(std::string(2 * 1024 * 1024, 'z'));
    EXPECT_TRUE(client.waitDisconnected());
    WsClient again;
    ASSERT_TRUE(again.connectTo());
    expectReply(again, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);
}

TEST_F(ServiceTest, LatestSenderReceivesTheReplies)
{
    WsClient a;
    auto svc = startServing(a);
    ASSERT_TRUE(svc);
    WsClient b;
    ASSERT_TRUE(b.connectTo());

    expectReply(a, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);
    expectReply(b, "{\"type\":\"GetCameraInfo\"}", kGetCameraInfoReply);
    expectReply(a, "{\"type\":\"OpenCamera\"}", kOpenCameraReply);
    // Barrier on b: its next message is its own reply, nothing of a's.
    expectReply(b, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);
    EXPECT_EQ(a.pending(), 0u);
    EXPECT_EQ(b.pending(), 0u);
}

TEST_F(ServiceTest, ClosedConnectionIsNoticedByTheNextCameraInfo)
{
    WsClient first;
    auto svc = startServing(first);
    ASSERT_TRUE(svc);
    expectReply(first, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);
    first.abort();
    ASSERT_TRUE(svc->waitOut("Reg test: called connection close (TLS: 0)..\n"));

    WsClient second;
    ASSERT_TRUE(second.connectTo());
    expectReply(second, "{\"type\":\"GetCameraInfo\"}", kGetCameraInfoReply);
    EXPECT_NE(svc->out().find("GetCameraInfo conn_close:1\n"), std::string::npos);
    expectReply(second, "{\"type\":\"GetCameraInfo\"}", kGetCameraInfoReply);
    EXPECT_NE(svc->out().find("GetCameraInfo conn_close:0\n"), std::string::npos);
}

TEST_F(ServiceTest, TakenPortLeavesTheServiceRunningWithoutServer)
{
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, 9030));
    ProgramRun svc(m_home.path());
    ASSERT_TRUE(svc.started());
    ASSERT_TRUE(svc.waitOut("ERROR: Expected to find proper listener connection status, but found..\n"))
        << svc.out();
    // The process goes on; its log still works.
    EXPECT_TRUE(svc.running());
    EXPECT_NE(readFile(todaysLogFile(home())).find("websocket server setup"), std::string::npos);
    EXPECT_EQ(svc.out().find("socketRet"), std::string::npos);
}

TEST_F(ServiceTest, SecondCopyShowsTheBoxAndDisturbsNothing)
{
    WsClient client;
    auto first = startServing(client);
    ASSERT_TRUE(first);
    std::string pidText = readFile(kPidFile);
    EXPECT_EQ(pidText, std::to_string(first->pid()));

    ProgramRun second(m_home.path(), {"box"});
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(second.waitFinished()) << second.err();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    // exec() returned the Yes button's code, 0x4000, whose low byte is 0.
    EXPECT_EQ(second.exitCode(), 0x4000 & 0xff);

    std::map<std::string, std::string> p = second.probe();
    ASSERT_EQ(p["box.done"], "1") << second.err();
    EXPECT_EQ(p["box.title"], "kobix-web");
    EXPECT_EQ(p["box.text"], "程序已经打开，\\n请勿重复打开!");
    EXPECT_EQ(p["box.icon"], std::to_string(2));  // QMessageBox::Warning
    EXPECT_EQ(p["box.buttons"], "4000");
    EXPECT_EQ(p["box.yes"], "确 定");
    EXPECT_EQ(p["box.hasIcon"], "1");
    int sx, sy, sw, sh;
    ASSERT_EQ(sscanf(p["screen"].c_str(), "%d,%d,%d,%d", &sx, &sy, &sw, &sh), 4);
    EXPECT_EQ(p["box.pos"], std::to_string((sw - 170) / 2) + "," + std::to_string((sh - 105) / 2 - 60));

    std::string out = second.out();
    EXPECT_NE(out.find("begin test\n"), std::string::npos);
    EXPECT_EQ(out.find("before Mainwindow"), std::string::npos);
    EXPECT_EQ(out.find("setup websocket"), std::string::npos);

    EXPECT_EQ(readFile(kPidFile), pidText);
    expectReply(client, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);
    EXPECT_TRUE(first->running());
}

TEST_F(ServiceTest, RestartAfterTheFirstCopyIsKilled)
{
    {
        WsClient client;
        auto first = startServing(client);
        ASSERT_TRUE(first);
        // A longer id than the next one would leave a tail if not truncated.
        std::ofstream(kPidFile) << "99999999999999";
        first->kill();
        EXPECT_EQ(first->exitStatus(), QProcess::CrashExit);
        client.waitDisconnected();
    }
    WsClient client;
    auto second = startServing(client);
    ASSERT_TRUE(second);
    EXPECT_NE(second->out().find("before Mainwindow \n"), std::string::npos);
    EXPECT_EQ(readFile(kPidFile), std::to_string(second->pid()));
    struct stat st;
    ASSERT_EQ(stat(kPidFile, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    expectReply(client, "{\"type\":\"VideoStatus\"}", kVideoStatusReply);
}

TEST_F(ServiceTest, UncreatablePidFileEndsWithStatusOne)
{
    ASSERT_EQ(mkdir(kPidFile, 0755), 0);
    ProgramRun svc(m_home.path(), {"box"});
    ASSERT_TRUE(svc.started());
    ASSERT_TRUE(svc.waitFinished());
    rmdir(kPidFile);
    EXPECT_EQ(svc.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(svc.exitCode(), 1);
    EXPECT_EQ(svc.out(), "begin test\n");
    EXPECT_TRUE(svc.probe().empty()) << svc.err();
}

TEST_F(ServiceTest, MainWindowIsAHiddenCentredToolWindow)
{
    ProgramRun svc(m_home.path(), {"window"});
    ASSERT_TRUE(svc.started());
    ASSERT_TRUE(svc.waitErr("PROBE win.done=1")) << svc.err();
    std::map<std::string, std::string> p = svc.probe();
    EXPECT_EQ(p["win.visible"], "0");
    EXPECT_EQ(p["win.type"], "b");  // Qt::Tool
    int sx, sy, sw, sh;
    ASSERT_EQ(sscanf(p["screen"].c_str(), "%d,%d,%d,%d", &sx, &sy, &sw, &sh), 4);
    EXPECT_EQ(p["win.geometry"],
              std::to_string((sw - 224) / 2) + "," + std::to_string((sh - 157) / 2) + ",224,157");
    EXPECT_EQ(p["win.min"], "224,157");
    EXPECT_EQ(p["win.max"], "224,157");
    EXPECT_EQ(p["win.title"], "MainWindow");
    EXPECT_EQ(p["win.hasIcon"], "1");
    EXPECT_EQ(p["win.label"], "<html><head/><body><p>Quelda拍摄仪 KobixWeb</p></body></html>");
    EXPECT_EQ(p["win.tab"], "首选项");
    EXPECT_EQ(p["win.tabGeometry"], "10,10,210,130");
    EXPECT_EQ(p["show.result"], "0");
    EXPECT_EQ(p["show.visible"], "1");
    EXPECT_EQ(p["hide.result"], "0");
    EXPECT_EQ(p["hide.visible"], "0");

    std::string log = readFile(todaysLogFile(home()));
    size_t shown = log.find("\t show the window!\n");
    EXPECT_NE(shown, std::string::npos) << log;
    EXPECT_NE(log.find("\t hide the window!\n", shown), std::string::npos) << log;
}

TEST_F(ServiceTest, LogLinesLandInTheDailyFile)
{
    WsClient client;
    auto svc = startServing(client);
    ASSERT_TRUE(svc);
    std::string path = todaysLogFile(home());
    ASSERT_TRUE(spinUntil([&] { return readFile(path).find("websocket server setup\n") != std::string::npos; }))
        << path;
    std::istringstream in(readFile(path));
    const std::regex line(R"(^\d{2}:\d{2}:\d{2}:\d{3}\t (what the reason \?|websocket server setup)$)");
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], line)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], line)) << lines[1];
    EXPECT_NE(lines[0].find("what the reason ?"), std::string::npos);
}

int main(int argc, char **argv)
{
    return runIsolatedTests(argc, argv);
}
