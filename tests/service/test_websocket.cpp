// The WebSocket listener and its send path, in process, with a real client
// over loopback.
#include "isolation.h"
#include "testsupport.h"
#include "websocketcontrol.h"

#include <gtest/gtest.h>

#include <QTcpServer>
#include <QThread>

#include <mutex>
#include <thread>
#include <vector>

namespace {

std::mutex g_recvMutex;
std::vector<std::string> g_received;
WsConnRef g_lastConn;

void *recordMessage(const WsConnRef &conn, char *data, int len)
{
    std::lock_guard<std::mutex> lock(g_recvMutex);
    // The text must be zero-terminated right after len bytes.
    EXPECT_EQ(data[len], '\0');
    g_received.emplace_back(data, len);
    g_lastConn = conn;
    return nullptr;
}

size_t receivedCount()
{
    std::lock_guard<std::mutex> lock(g_recvMutex);
    return g_received.size();
}

WsConnRef lastConn()
{
    std::lock_guard<std::mutex> lock(g_recvMutex);
    return g_lastConn;
}

class ServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> lock(g_recvMutex);
            g_received.clear();
            g_lastConn.reset();
        }
        conn_close = 0;
        m_ctl.SocketLinkRecvSetCallback(recordMessage);
        m_thread = QThread::create([this] { m_setupResult = m_ctl.setupWebsocketServer(); });
        m_thread->start();
        ASSERT_TRUE(spinUntil([this] { return m_ctl.isStarted() || m_thread->isFinished(); }));
        ASSERT_TRUE(m_ctl.isStarted()) << "the listener did not come up on 127.0.0.1:9030";
    }
    void TearDown() override
    {
        m_ctl.closeWebsocketServer();
        EXPECT_TRUE(m_thread->wait(20000));
        EXPECT_EQ(m_setupResult, 0);
        EXPECT_FALSE(m_ctl.isStarted());
        delete m_thread;
    }

    // Connects a client and makes the server know it by one message.
    WsConnRef introduce(WsClient &client, const std::string &hello = "hello")
    {
        size_t before = receivedCount();
        EXPECT_TRUE(client.connectTo());
        client.sendText(hello);
        EXPECT_TRUE(spinUntil([&] { return receivedCount() > before; }));
        return lastConn();
    }

    WebsocketControl m_ctl;
    QThread *m_thread = nullptr;
    int m_setupResult = -99;
};

}  // namespace

TEST_F(ServerTest, HandsOverMessagesAndDropsEmptyAndOversize)
{
    WsClient client;
    WsConnRef conn = introduce(client);
    ASSERT_TRUE(conn);

    client.sendText("");
    client.sendText(std::string(WebsocketControl::kRecvBufferSize, 'a'));
    client.sendText(std::string(WebsocketControl::kRecvBufferSize - 1, 'b'));
    client.sendBinary("bin\x01");
    client.sendText("last");
    ASSERT_TRUE(spinUntil([] { return receivedCount() == 4; }));
    std::lock_guard<std::mutex> lock(g_recvMutex);
    EXPECT_EQ(g_received[0], "hello");
    EXPECT_EQ(g_received[1], std::string(WebsocketControl::kRecvBufferSize - 1, 'b'));
    EXPECT_EQ(g_received[2], "bin\x01");
    EXPECT_EQ(g_received[3], "last");
}

TEST_F(ServerTest, HugeMessageClosesOnlyThatConnection)
{
    WsClient big;
    introduce(big);
    big.sendText(std::string(WebsocketControl::kMaxIncomingMessage + 1, 'z'));
    EXPECT_TRUE(big.waitDisconnected());

    WsClient other;
    WsConnRef conn = introduce(other, "still here");
    ASSERT_TRUE(conn);
    std::lock_guard<std::mutex> lock(g_recvMutex);
    EXPECT_EQ(g_received.back(), "still here");
}

TEST_F(ServerTest, SecondSetupReturnsAtOnce)
{
    EXPECT_EQ(m_ctl.setupWebsocketServer(), 0);
}

TEST_F(ServerTest, IPv6LoopbackIsServedToo)
{
    WsClient client;
    ASSERT_TRUE(client.connectTo(QStringLiteral("ws://[::1]:9030")));
    client.sendText("six");
    ASSERT_TRUE(spinUntil([] { return receivedCount() == 1; }));
    m_ctl.doSendText(lastConn(), "ack", 3);
    EXPECT_EQ(client.nextText(), "ack");
}

TEST_F(ServerTest, RepliesFromAnotherThreadKeepTheirOrder)
{
    WsClient client;
    WsConnRef conn = introduce(client);
    ASSERT_TRUE(conn);
    const int kCount = 500;
    std::thread sender([&] {
        for (int i = 0; i < kCount; ++i) {
            std::string text = "reply " + std::to_string(i);
            EXPECT_EQ(m_ctl.doSendText(conn, text.data(), static_cast<int>(text.size())),
                      static_cast<int>(text.size()));
        }
    });
    sender.join();
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(client.nextText(), "reply " + std::to_string(i));
    EXPECT_EQ(conn->droppedFrames(), 0u);
}

TEST_F(ServerTest, FramesForASlowClientAreDroppedButRepliesAreNot)
{
    WsClient client;
    WsConnRef conn = introduce(client);
    ASSERT_TRUE(conn);

    // The client does not read while the frames are produced: this thread
    // is blocked in join() and the client lives on it.
    const int kFrames = 40;
    const int kFrameSize = 1024 * 1024;
    std::thread producer([&] {
        for (int i = 0; i < kFrames; ++i) {
            std::string frame(kFrameSize, 'f');
            std::string tag = "F" + std::to_string(1000 + i);
            frame.replace(0, tag.size(), tag);
            int r = (i % 2) ? m_ctl.doSendBinary(conn, frame.data(), kFrameSize)
                            : m_ctl.doSendFrameText(conn, frame.data(), kFrameSize);
            EXPECT_EQ(r, (i % 2) ? 0 : kFrameSize);
            EXPECT_LE(conn->pendingFrames(), 1);
            if (i % 4 == 0) {
                std::string reply = "R" + std::to_string(i);
                m_ctl.doSendText(conn, reply.data(), static_cast<int>(reply.size()));
            }
        }
    });
    producer.join();
    uint64_t dropped = conn->droppedFrames();
    EXPECT_GT(dropped, 0u) << "40 MiB of frames cannot all be pending for a client that does not read";

    std::vector<std::string> replies;
    std::vector<std::string> frames;
    while (replies.size() < kFrames / 4 || frames.empty() || frames.back() != "F" + std::to_string(999 + kFrames)) {
        Received r;
        ASSERT_TRUE(client.next(r)) << "replies " << replies.size() << ", frames " << frames.size();
        if (r.bytes.size() == kFrameSize)
            frames.push_back(r.bytes.left(5).toStdString());
        else
            replies.push_back(r.bytes.toStdString());
    }
    for (int i = 0; i < kFrames / 4; ++i)
        EXPECT_EQ(replies[i], "R" + std::to_string(i * 4));
    EXPECT_EQ(frames.size() + dropped, static_cast<size_t>(kFrames));
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_LT(frames[i - 1], frames[i]) << "frames arrive oldest first";
}

TEST_F(ServerTest, RepliesNobodyReadsCloseTheConnectionWith1008)
{
    WsClient client;
    WsConnRef conn = introduce(client);
    ASSERT_TRUE(conn);
    // The client does not read while this thread is in join(): replies
    // pile up until the cap, then the send fails instead of dropping one.
    const int kSize = 1024 * 1024;
    const int kTries = 2 * static_cast<int>(WebsocketControl::kMaxUnsentReplies / kSize);
    int accepted = 0;
    std::thread sender([&] {
        for (int i = 0; i < kTries; ++i) {
            std::string reply(kSize, 'r');
            std::string tag = "R" + std::to_string(1000 + i);
            reply.replace(0, tag.size(), tag);
            if (m_ctl.doSendText(conn, reply.data(), kSize) != kSize)
                break;
            ++accepted;
        }
    });
    sender.join();
    EXPECT_LT(accepted, kTries);
    EXPECT_GE(accepted, static_cast<int>(WebsocketControl::kMaxUnsentReplies / kSize) - 1);
    EXPECT_TRUE(conn->isClosed());
    EXPECT_EQ(conn_close.load(), 1);
    EXPECT_EQ(m_ctl.doSendText(conn, "late", 4), -1);

    // What reaches the client is an unbroken, in-order run of replies, then
    // the close with 1008.
    ASSERT_TRUE(client.waitDisconnected(60000));
    EXPECT_EQ(client.socket().closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
    size_t got = client.pending();
    EXPECT_LE(got, static_cast<size_t>(accepted));
    for (size_t i = 0; i < got; ++i) {
        Received r;
        ASSERT_TRUE(client.next(r, 0));
        ASSERT_EQ(r.bytes.size(), kSize);
        EXPECT_EQ(r.bytes.left(5).toStdString(), "R" + std::to_string(1000 + i));
    }
}

TEST_F(ServerTest, SendToAVanishedConnectionFails)
{
    WsClient client;
    WsConnRef conn = introduce(client);
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn_close.load(), 0);
    client.abort();
    ASSERT_TRUE(spinUntil([&] { return conn->isClosed(); }));
    EXPECT_EQ(conn_close.load(), 1);

    conn_close = 0;
    EXPECT_EQ(m_ctl.doSendText(conn, "late", 4), -1);
    EXPECT_EQ(conn_close.load(), 1);
    EXPECT_EQ(m_ctl.doSendBinary(conn, "late", 4), -1);
    EXPECT_EQ(m_ctl.doSendText(nullptr, "none", 4), -1);
}

TEST(ServiceWebsocketPort, TakenPortLeavesTheServerDown)
{
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, WebsocketControl::kPort));
    WebsocketControl ctl;
    EXPECT_EQ(ctl.setupWebsocketServer(), -1);
    EXPECT_FALSE(ctl.isStarted());
    EXPECT_EQ(ctl.doSendText(currentConn(), "x", 1), -1);
}

int main(int argc, char **argv)
{
    return runIsolatedTests(argc, argv);
}
