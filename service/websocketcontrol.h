// The WebSocket listener of the service and its send path.
//
// The listener and every client connection live on the server thread, whose
// event loop runs inside setupWebsocketServer(); every received message is
// handed to the receive callback there, one at a time, in arrival order.
//
// Sending may happen from any thread (request handlers on the server thread,
// preview frames from a camera capture thread) and never blocks: the message
// is appended to the connection's queue under a short mutex and a flush is
// posted to the server thread.  Replies (doSendText) are never dropped and
// keep their order.  Frames (doSendBinary, doSendFrameText) are droppable:
// each connection keeps only the newest unsent frame, and a frame goes to the
// socket only once the socket has written out what it held, so a client that
// does not keep up costs at most a frame or two of memory.
#ifndef KOBIX_WEBSOCKETCONTROL_H
#define KOBIX_WEBSOCKETCONTROL_H

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class QEventLoop;
class QObject;
class QWebSocket;
class QWebSocketServer;

// One client connection.  Created and closed on the server thread; shared
// with senders on other threads, which only ever queue into it.
class WsConnection
{
public:
    int id() const { return m_id; }
    bool isClosed() const { return m_closed.load(); }
    // Counters for diagnostics and tests.
    uint64_t droppedFrames() const { return m_droppedFrames.load(); }
    int pendingFrames();

private:
    friend class WebsocketControl;
    struct Message {
        bool binary;
        QByteArray bytes;
    };

    explicit WsConnection(int id) : m_id(id) {}

    const int m_id;
    QWebSocket *m_socket = nullptr;  // server thread only
    std::atomic<bool> m_closed{false};
    std::atomic<uint64_t> m_droppedFrames{0};

    std::mutex m_mutex;  // guards everything below
    std::deque<Message> m_replies;
    bool m_hasFrame = false;
    Message m_frame;
    bool m_flushPosted = false;
};

using WsConnRef = std::shared_ptr<WsConnection>;

// Receive callback: the connection, the message as zero-terminated text in
// the receive buffer, and its length.  Runs on the server thread.
typedef void *(*WsRecvCallback)(const WsConnRef &conn, char *data, int len);

// The receive callback, one for the whole process.
extern WsRecvCallback callbackfunc;
// 1 once a connection was seen to close or a send found it unusable; read and
// cleared by the request and preview code.
extern std::atomic<int> conn_close;
// The connection that sent the most recent message: every reply and every
// preview frame goes to it.  Only ever replaced, never cleared; read it with
// currentConn() from any thread.
extern WsConnRef g_conn;
WsConnRef currentConn();
void setCurrentConn(const WsConnRef &conn);

class WebsocketControl
{
public:
    static constexpr int kPort = 9030;
    // Receive buffer: messages of this size or more are dropped.
    static constexpr int kRecvBufferSize = 10240;
    // Larger messages are not even buffered: the connection is closed.
    static constexpr int kMaxIncomingMessage = 1024 * 1024;

    WebsocketControl();
    // Destroy only once setupWebsocketServer() has returned (the server
    // thread has finished), or when it never ran.
    ~WebsocketControl();

    WebsocketControl(const WebsocketControl &) = delete;
    WebsocketControl &operator=(const WebsocketControl &) = delete;

    int SocketLinkRecvSetCallback(WsRecvCallback cb);
    // Listens on the loopback addresses and runs the server thread's event
    // loop until closeWebsocketServer().  Returns 0 (also when already
    // started) or -1 when the listener cannot be set up (port taken).
    // Called on the server thread.
    int setupWebsocketServer();
    // Queues one text message (a reply); returns len, or -1 when the
    // connection is gone (conn_close is then raised).  Any thread.
    int doSendText(const WsConnRef &conn, const char *data, int len);
    // Queues one binary frame, replacing an unsent older one; 0 or -1.
    int doSendBinary(const WsConnRef &conn, const char *data, int len);
    // Queues one text frame (preview), replacing an unsent older one;
    // returns len or -1.  Any thread.
    int doSendFrameText(const WsConnRef &conn, const char *data, int len);
    // Asks the server thread to close every connection and to leave its
    // event loop; setupWebsocketServer() then releases the listeners and
    // returns.  Any thread; does not wait; returns 0.
    int closeWebsocketServer();

    bool isStarted() const { return started.load(); }

private:
    bool enqueue(const WsConnRef &conn, const char *data, int len, bool binary, bool frame);
    void flush(const WsConnRef &conn);
    void onConnectionOpened();
    void onMessage(const WsConnRef &conn, const QByteArray &payload);
    void onConnectionClosed(const WsConnRef &conn);
    void shutDownOnServerThread();

    QObject *context;            // server-thread object that receives posted flushes
    QWebSocketServer *listener;  // 127.0.0.1
    QWebSocketServer *listener6; // ::1, when the machine has it
    std::atomic<int> started;
    QEventLoop *m_loop;
    std::mutex m_contextMutex;  // guards `context` against posting during shut-down
    int m_nextId;
    std::vector<WsConnRef> m_conns;  // open connections, server thread only
    char m_recvBuf[kRecvBufferSize];
};

#endif
