// "UploadFile": the real kobix-web (private mount and network namespaces, as
// in test_service.cpp) posting files to a real HTTP server with a real
// multipart parser (cpp-httplib, in this test process on 127.0.0.1), and
// UploadFile in process for the whole-transfer cap and the shut-down.
#include "isolation.h"
#include "testsupport.h"
#include "uploadfile.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <fstream>
#include <random>
#include <thread>

namespace {

const std::string kSucceeded = "拍摄仪上传文件成功\n";
const std::string kFailed = "拍摄仪上传文件失败\n";
const std::string kVideoStatusReply =
    "{\n\t\"func\":\t\"VideoStatus\",\n\t\"video0\":\t\"no\",\n\t\"video1\":\t\"no\",\n\t\"result\":\t0\n}";
const std::string kOpenCameraReply =
    "{\n\t\"func\":\t\"OpenCamera\",\n\t\"reqId\":\t\"\",\n\t\"devNum\":\t\"/dev/video\"\n}";

size_t occurrences(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// A file starting with `head`, then bytes of every value (CR, LF and
// dashes among them, as a boundary parser must cope with).
std::string writeFile(const std::string &path, const std::string &head, size_t size)
{
    std::mt19937 gen(static_cast<unsigned>(size));
    std::string bytes = head;
    while (bytes.size() < size)
        bytes.push_back(static_cast<char>(gen() & 0xff));
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes;
}

// One part of a form as parsed.
struct Part {
    std::string name, filename, type, content;
    bool operator==(const Part &o) const
    {
        return name == o.name && filename == o.filename && type == o.type && content == o.content;
    }
};
void PrintTo(const Part &p, std::ostream *os)
{
    *os << p.name << ";" << p.filename << ";" << p.type << ";" << p.content.size() << " bytes";
}
struct Post {
    std::string path;
    bool expect;  // an "Expect" header came
    std::vector<Part> parts;
};

// The HTTP server.  It records every form in arrival order, then answers by
// path: /ok... 200; /fail 500; /big 200 with 100 KiB of 'r'; /cut announces
// 100000 bytes and closes after 1000; /hold answers only when the server goes;
// /trickle sends one byte every 100 ms for 30 s.
class FormServer
{
public:
    FormServer()
    {
        m_http.Post(".*", [this](const httplib::Request &req, httplib::Response &res,
                                 const httplib::ContentReader &read) { onPost(req, res, read); });
        m_port = m_http.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_http.listen_after_bind(); });
    }
    ~FormServer()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_released = true;
        }
        m_releasedChanged.notify_all();
        m_http.stop();
        m_thread.join();
    }
    std::string url(const std::string &path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    int port() const { return m_port; }
    std::vector<Post> posts()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_posts;
    }
    bool waitPosts(size_t n) { return spinUntil([&] { return posts().size() >= n; }, 20000); }

private:
    void onPost(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &read)
    {
        Post post{req.path, req.has_header("Expect"), {}};
        read([&](const httplib::MultipartFormData &f) { post.parts.push_back({f.name, f.filename, f.content_type, ""}); return true; },
             [&](const char *data, size_t n) { post.parts.back().content.append(data, n); return true; });
        std::unique_lock<std::mutex> lock(m_lock);
        m_posts.push_back(post);
        if (req.path == "/hold")
            m_releasedChanged.wait_for(lock, std::chrono::seconds(60), [this] { return m_released.load(); });
        if (req.path == "/fail") {
            res.status = 500;
        } else if (req.path == "/big") {
            res.set_content(std::string(100 * 1024, 'r'), "text/plain");
        } else if (req.path == "/cut") {
            res.set_content_provider(100000, "text/plain", [](size_t, size_t, httplib::DataSink &sink) {
                sink.write(std::string(1000, 'c').data(), 1000);
                return false;
            });
        } else if (req.path == "/trickle") {
            res.set_chunked_content_provider("text/plain", [this](size_t offset, httplib::DataSink &sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (offset < 300 && !m_released)
                    return sink.write("t", 1);
                sink.done();
                return true;
            });
        } else {
            res.set_content("stored", "text/plain");
        }
    }

    httplib::Server m_http;
    int m_port = -1;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_releasedChanged;
    std::atomic<bool> m_released{false};
    std::vector<Post> m_posts;
};

std::string uploadRequest(const std::string &url, const std::string &filepath)
{
    return "{\"type\":\"UploadFile\",\"url\":\"" + url + "\",\"filepath\":\"" + filepath + "\"}";
}

class UploadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_dir.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        m_proc.setProcessEnvironment(env);
        m_proc.setWorkingDirectory(m_dir.path());
        m_proc.setStandardErrorFile(QProcess::nullDevice());
        QObject::connect(&m_proc, &QProcess::readyReadStandardOutput, [this] { m_out += m_proc.readAllStandardOutput(); });
        m_proc.start(KOBIX_WEB_PATH, QStringList());
        ASSERT_TRUE(spinUntil([this] { return out().find("setup websocket\n") != std::string::npos; }));
        ASSERT_TRUE(m_client.connectTo());
    }
    void TearDown() override
    {
        m_proc.kill();
        m_proc.waitForFinished(20000);
    }

    std::string file(const char *name) const { return m_dir.path().toStdString() + "/" + name; }
    std::string out() const { return m_out.toStdString(); }
    bool waitLines(const std::string &line, size_t n, int timeoutMs = 30000)
    {
        return spinUntil([&] { return occurrences(out(), line) >= n; }, timeoutMs);
    }

    // The program is ended (TearDown) before the server goes: its kept-alive
    // connections would hold the server's shut-down.
    FormServer server;
    QTemporaryDir m_dir;
    QProcess m_proc;
    QByteArray m_out;
    WsClient m_client;
};

}  // namespace

TEST_F(UploadTest, PostsOnePartPerPieceInArrivalOrder)
{
    const std::string jpg = writeFile(file("a.jpg"), "\xFF\xD8\xFF\xE0", 5000);
    // Over 1 MiB: libcurl would ask "Expect: 100-continue" on its own.
    const std::string pdf = writeFile(file("b.pdf"), "%PDF-1.4\n", 1200 * 1000);
    const std::string tif = writeFile(file("c.tif"), std::string("II*\0", 4), 2000);

    m_client.sendText(uploadRequest(server.url("/ok/1"), file("a.jpg")));
    m_client.sendText(uploadRequest(server.url("/ok/2"), file("a.jpg") + "|" + file("b.pdf")));
    m_client.sendText(uploadRequest(server.url("/big"), file("c.tif") + "|"));
    // Uploads are never answered: the next message is the barrier's reply.
    m_client.sendText("{\"type\":\"OpenCamera\"}");
    EXPECT_EQ(m_client.nextText(), kOpenCameraReply);
    ASSERT_TRUE(waitLines(kSucceeded, 3)) << out();
    EXPECT_EQ(occurrences(out(), kFailed), 0u);

    const Part submit{"submit", "", "", "send"};
    const Part a{"sendfile", "a.jpg", "image/jpeg", jpg};
    const std::vector<Post> posts = server.posts();
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_EQ(posts[0].path, "/ok/1");
    EXPECT_EQ(posts[0].parts, (std::vector<Part>{a, submit}));
    EXPECT_EQ(posts[1].path, "/ok/2");
    EXPECT_EQ(posts[1].parts, (std::vector<Part>{a, {"sendfile", "b.pdf", "application/pdf", pdf}, submit}));
    // The empty piece after the '|' is an empty file part.
    EXPECT_EQ(posts[2].path, "/big");
    EXPECT_EQ(posts[2].parts, (std::vector<Part>{{"sendfile", "c.tif", "application/octet-stream", tif},
                                                 {"sendfile", "", "application/octet-stream", ""}, submit}));
    for (const Post &p : posts)
        EXPECT_FALSE(p.expect) << p.path;

    // The answer is shown up to 64 KiB.
    EXPECT_NE(out().find(std::string(65536, 'r') + "\n[response cut: 36864 of 102400 bytes not shown]\n"),
              std::string::npos);
    EXPECT_EQ(out().find(std::string(65537, 'r')), std::string::npos);
}

TEST_F(UploadTest, FailedTransfersPrintTheFailureLine)
{
    writeFile(file("a.jpg"), "\xFF\xD8\xFF\xE0", 4000);
    // A port bound but never listening, and one whose accept queue is
    // full, so that the handshake of a further connection is not answered.
    auto bound = [](sockaddr_in &addr) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        addr = sockaddr_in{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        return fd;
    };
    sockaddr_in closedAddr, fullAddr;
    const int closedFd = bound(closedAddr);
    const int fullFd = bound(fullAddr);
    ASSERT_EQ(listen(fullFd, 0), 0);
    const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr *>(&fullAddr), sizeof(fullAddr)), 0);
    const std::string closedPort = std::to_string(ntohs(closedAddr.sin_port));
    const std::string fullPort = std::to_string(ntohs(fullAddr.sin_port));

    const std::pair<std::string, std::string> cases[] = {
        {server.url("/fail"), "uploadfile: server answered HTTP 500\n"},
        {server.url("/cut"), "uploadfile: transfer failed (curl 18): "},
        {"http://127.0.0.1:" + closedPort + "/", "uploadfile: transfer failed (curl 7): "},
        {"http://127.0.0.1:" + fullPort + "/",
         "uploadfile: transfer failed (curl 28): Failed to connect to 127.0.0.1 port " + fullPort + " after 50"},
    };
    size_t n = 0;
    for (const auto &c : cases) {
        m_client.sendText(uploadRequest(c.first, file("a.jpg")));
        ASSERT_TRUE(waitLines(kFailed, ++n)) << c.first << "\n" << out();
        EXPECT_NE(out().find(c.second), std::string::npos) << c.first << "\n" << out();
    }
    EXPECT_EQ(occurrences(out(), kSucceeded), 0u);
    EXPECT_EQ(server.posts().size(), 2u);
    for (int fd : {queued, fullFd, closedFd})
        close(fd);
}

TEST_F(UploadTest, StalledUploadIsLeftWhileRequestsAndTheQueueAreServed)
{
    writeFile(file("a.jpg"), "\xFF\xD8\xFF\xE0", 4000);
    m_client.sendText(uploadRequest(server.url("/hold"), file("a.jpg")));
    ASSERT_TRUE(server.waitPosts(1));

    // Bounded wait, far below the stall limit: requests are answered while
    // the upload waits for its server.
    m_client.sendText("{\"type\":\"VideoStatus\"}");
    EXPECT_EQ(m_client.nextText(2000), kVideoStatusReply);
    EXPECT_EQ(occurrences(out(), kFailed) + occurrences(out(), kSucceeded), 0u);

    // Eight wait behind it; the ninth is refused at once.
    for (int i = 1; i <= 9; ++i)
        m_client.sendText(uploadRequest(server.url("/ok/" + std::to_string(i)), file("a.jpg")));
    ASSERT_TRUE(waitLines(kFailed, 1, 5000)) << out();
    EXPECT_NE(out().find(", 8 uploads wait already\n"), std::string::npos);

    ASSERT_TRUE(waitLines(kFailed, 2, 40000)) << out();
    EXPECT_NE(out().find("uploadfile: transfer failed (curl 28): Operation too slow. "
                         "Less than 1 bytes/sec transferred the last 10 seconds\n"),
              std::string::npos)
        << out();
    ASSERT_TRUE(waitLines(kSucceeded, 8)) << out();
    std::vector<std::string> paths;
    for (const Post &p : server.posts())
        paths.push_back(p.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/hold", "/ok/1", "/ok/2", "/ok/3", "/ok/4", "/ok/5", "/ok/6",
                                               "/ok/7", "/ok/8"}));
    EXPECT_EQ(occurrences(out(), kFailed), 2u);
}

TEST_F(UploadTest, RefusedInputsSendNothing)
{
    const std::string good = file("good.jpg");
    writeFile(good, "\xFF\xD8\xFF\xE0", 4000);
    writeFile(file("notes.txt"), "notes: ", 100);
    writeFile(file("fake.jpg"), "<html>", 100);
    ASSERT_EQ(mkfifo(file("pipe.jpg").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(file("dir.jpg").c_str(), 0700), 0);

    const std::string ok = server.url("/ok");
    const std::array<std::string, 3> cases[] = {
        {ok, file("notes.txt"), file("notes.txt")},
        {ok, file("fake.jpg"), file("fake.jpg")},
        {ok, file("pipe.jpg"), file("pipe.jpg")},
        {ok, file("dir.jpg"), file("dir.jpg")},
        {ok, file("missing.jpg"), file("missing.jpg")},
        {ok, "/dev/zero", "/dev/zero"},
        {ok, good + "|" + file("notes.txt"), file("notes.txt")},
        {"file://" + good, good, "url file://"},
        {"ftp://127.0.0.1:" + std::to_string(server.port()) + "/x", good, "url ftp://"},
    };
    size_t n = 0;
    for (const auto &c : cases) {
        m_client.sendText(uploadRequest(c[0], c[1]));
        ASSERT_TRUE(waitLines(kFailed, ++n)) << c[1] << "\n" << out();
        EXPECT_NE(out().find("uploadfile: refused " + c[2]), std::string::npos) << out();
    }
    // Without both members as strings the request is ignored.
    m_client.sendText("{\"type\":\"UploadFile\",\"url\":\"" + ok + "\",\"filepath\":5}");
    m_client.sendText("{\"type\":\"UploadFile\",\"filepath\":\"" + good + "\"}");
    m_client.sendText("{\"type\":\"OpenCamera\"}");
    EXPECT_EQ(m_client.nextText(), kOpenCameraReply);
    EXPECT_EQ(occurrences(out(), "拍摄仪上传文件\n"), n);
    EXPECT_TRUE(server.posts().empty());

    // The same server takes a good upload.
    m_client.sendText(uploadRequest(ok, good));
    ASSERT_TRUE(waitLines(kSucceeded, 1)) << out();
    EXPECT_EQ(server.posts().size(), 1u);
    EXPECT_EQ(occurrences(out(), kFailed), n);
}

TEST(UploadFileInProcess, WholeTransferCapAndShutDown)
{
    FormServer server;
    QTemporaryDir dir;
    const std::string good = dir.path().toStdString() + "/good.jpg";
    writeFile(good, "\xFF\xD8\xFF\xE0", 4000);
    std::atomic<int> trickled{1};
    {
        // A 2 s cap ends a reply that trickles for 30 s above the stall speed.
        UploadFile upload(UploadFile::Limits{5, 1, 10, 2});
        ASSERT_TRUE(upload.submit("sendfile", good, server.url("/trickle"), [&](int r) { trickled = r; }));
        EXPECT_TRUE(spinUntil([&] { return trickled != 1; }, 15000));
    }
    EXPECT_EQ(trickled, UploadFile::kTransferFailed);

    // Destruction aborts the transfer in progress and fails the waiting one.
    auto upload = std::make_unique<UploadFile>();
    std::atomic<int> held{1};
    std::atomic<int> waiting{1};
    ASSERT_TRUE(upload->submit("sendfile", good, server.url("/hold"), [&](int r) { held = r; }));
    ASSERT_TRUE(upload->submit("sendfile", good, server.url("/ok"), [&](int r) { waiting = r; }));
    ASSERT_TRUE(server.waitPosts(2));
    QElapsedTimer clock;
    clock.start();
    upload.reset();
    EXPECT_LT(clock.elapsed(), 5000);  // well before the 10 s stall limit
    EXPECT_EQ(held, UploadFile::kAborted);
    EXPECT_EQ(waiting, UploadFile::kAborted);
    EXPECT_EQ(server.posts().size(), 2u);
}

int main(int argc, char **argv)
{
    // Proxies of the environment (also the program's) would take loopback
    // uploads elsewhere.
    for (const char *proxy : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        unsetenv(proxy);
    return runIsolatedTests(argc, argv);
}
