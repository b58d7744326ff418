// The WebSocket listener of the service, its admission rules and its send
// path, on Qt WebSockets.
//
// The listeners (a QTcpServer on 127.0.0.1 and one on ::1, port kPort) and
// every client connection live on the server thread, whose event loop runs
// inside setupWebsocketServer().  The WebSocket protocol itself (upgrade
// answer, frames, masking, fragments, ping/pong, close, UTF-8 checks) is
// Qt's: each admitted socket is handed to QWebSocketServer::handleConnection()
// of a QWebSocketServer that never listens itself.  What the service adds:
//
// Admission.  Before Qt sees a socket its upgrade request is looked at with
// peek() only (nothing is read): at most kMaxHandshakeBytes, complete within
// kHandshakeDeadlineMs.  A Host that is not a loopback name of the service
// (DNS rebinding) gets 403; the Origin goes through OriginPolicy: allowed
// (the untouched socket goes to Qt), refused with 403 and a log line naming
// it, or asked about on the desktop (OriginAsker) while the socket waits
// unread and the other clients go on.  At most kMaxConnections sockets are
// open at once; more get 503 at once, and when accepting fails (out of
// descriptors) the listener pauses for kAcceptPauseMs instead of spinning.
//
// Reading.  Qt's own limits: frames and messages over kMaxIncomingMessage
// close the connection (1009).  Received messages wait in the connection's
// inbox; each turn of the event loop handles at most kMessagesPerTurn per
// connection, round-robin, so no client delays another's reply by more than
// a turn.  A connection whose inbox holds kPauseInbox messages (or
// kPauseInboxBytes) is no longer read until it drains.  Before a request is
// handled every socket hands its unsent bytes to the kernel, which delivers
// them while a handler holds the thread (as far as it takes them: a slow
// client may still wait), and a connection whose socket keeps some (the
// kernel took no more) is not served until they drain: a client that floods
// or does not read its replies is pushed back on by TCP.  While a connection
// is paused, Qt is told every sweep that its socket is alive, so it does not
// give up on a frame it has started (1001) when a slow server thread keeps
// the pause long.  Bytes that do not make a complete message within
// kPartialDeadlineMs close the connection with 1008, however slowly they
// trickle.
//
// Sending may happen from any thread (request handlers on the server thread,
// preview frames from a camera capture thread) and never blocks: the message
// is appended to the connection's queue under a short mutex and a flush is
// posted to the server thread.  Replies (doSendText) keep their order and
// are never dropped: when a connection's unsent replies would pass
// kMaxUnsentReplies, the send fails and the connection is closed with 1008.
// Frames (doSendBinary, doSendFrameText) are droppable: each connection
// keeps only the newest unsent frame, and a frame goes to the socket only
// once the socket has written out what it held.
#ifndef KOBIX_WEBSOCKETCONTROL_H
#define KOBIX_WEBSOCKETCONTROL_H

#include "originpolicy.h"

#include <QByteArray>
#include <QPointer>
#include <QTcpSocket>
#include <QWebSocket>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class QEventLoop;
class QObject;
class QTcpServer;
class QWebSocketServer;

// One client connection.  Created and closed on the server thread; shared
// with senders on other threads, which only ever queue into it.
class WsConnection
{
public:
    // 1, 2, ... in the order connections became WebSockets; 0 before.
    int id() const { return m_id.load(); }
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
    // Handshake: the request is being looked at; Deciding: waiting for the
    // desktop's answer; Upgrading: handed to Qt, not yet a WebSocket; Open;
    // Closing: refused or closed, waiting for the socket to go.
    enum class Phase { Handshake, Deciding, Upgrading, Open, Closing };

    WsConnection() = default;

    std::atomic<int> m_id{0};
    std::atomic<bool> m_closed{false};
    std::atomic<uint64_t> m_droppedFrames{0};
    // The socket's unsent bytes, mirrored for senders on other threads.
    std::atomic<int64_t> m_socketBacklog{0};

    // Server thread only.
    QPointer<QTcpSocket> m_tcp;  // Qt may delete it once handed over
    QPointer<QWebSocket> m_ws;
    Phase m_phase = Phase::Handshake;
    int64_t m_since = 0;         // ms: accepted, asked about, or closing since
    int64_t m_partialSince = -1; // ms: bytes without a complete message since
    bool m_readPaused = false;   // the socket's signals are held back
    bool m_kickPosted = false;
    std::deque<Message> m_inbox; // received, not yet handled
    int64_t m_inboxBytes = 0;
    QByteArray m_origin;         // as sent, for log lines

    std::mutex m_mutex;  // guards everything below
    std::deque<Message> m_replies;
    int64_t m_replyBytes = 0;
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
    // Receive buffer: messages of this size or more are dropped (no request
    // is that long).
    static constexpr int kRecvBufferSize = 10240;
    // Largest frame and message Qt takes at all: a few times the largest
    // request, so a page that pads a little is told "dropped", not cut off;
    // anything larger closes the connection (1009) before it is buffered.
    static constexpr int kMaxIncomingMessage = 32 * 1024;
    // The socket's read buffer once open: Qt reads a frame only when all
    // of it is buffered, so one largest frame and its header must fit.
    static constexpr int kReadBufferSize = kMaxIncomingMessage + 1024;
    // Open sockets at once, pages and handshakes together: far above what
    // the pages of one desktop use, far below the descriptor limit.
    static constexpr int kMaxConnections = 64;
    // An upgrade request is a dozen short lines; browsers send ~1 KiB.
    static constexpr int kMaxHandshakeBytes = 8 * 1024;
    // A handshake must be complete this long after the accept, and bytes
    // must make a complete message this long after they came, however
    // slowly they trickle in.
    static constexpr int kHandshakeDeadlineMs = 5000;
    static constexpr int kPartialDeadlineMs = 5000;
    // Qt's own limit for its part of the handshake (the request is whole
    // when Qt gets it, so this is only a backstop).
    static constexpr int kQtHandshakeTimeoutMs = 2000;
    // Requests of one connection handled per turn of the event loop: a
    // VideoStatus costs ~50 us, so 64 busy clients make a turn of ~13 ms.
    static constexpr int kMessagesPerTurn = 4;
    // A connection is no longer read while its inbox holds this many
    // messages or bytes, and read again below kResumeInbox messages.
    static constexpr int kPauseInbox = 64;
    static constexpr int64_t kPauseInboxBytes = 64 * 1024;
    static constexpr int kResumeInbox = 16;
    // Unhandled messages of one connection beyond which it is closed (1008)
    // rather than a request being dropped.  Reading pauses long before:
    // only the last read buffer (kReadBufferSize of the smallest frames,
    // 7 bytes each) can come on top of kPauseInbox.
    static constexpr int kMaxInbox = kPauseInbox + kReadBufferSize / 7 + 64;
    // Unsent bytes a socket may hold before queued replies wait in the
    // connection's queue.
    static constexpr int64_t kSocketWindow = 256 * 1024;
    // Unsent replies of one connection, queue and socket together: above
    // the largest photo reply (a 5 MP page as base64, ~10 MiB), so only a
    // client that stopped reading while replies kept coming reaches it.
    static constexpr int64_t kMaxUnsentReplies = 32 * 1024 * 1024;
    // Out of descriptors: accepting waits this long before trying again.
    static constexpr int kAcceptPauseMs = 100;
    // Wake-ups of a readable listener with nothing accepted in between
    // that count as accepting failing (see listenOn()).
    static constexpr int kAcceptIdleLimit = 3;
    // A refused or closing connection whose peer does not go is cut off.
    static constexpr int kCloseGraceMs = 2000;
    // A question on the desktop not answered in this time counts as unanswered.
    static constexpr int kQuestionTimeoutMs = 60000;
    // Origins being asked about at once, and handshakes waiting for one.
    static constexpr int kMaxOpenQuestions = 4;
    static constexpr int kMaxWaitingPerQuestion = 8;

    WebsocketControl();
    // Destroy only once setupWebsocketServer() has returned (the server
    // thread has finished), or when it never ran.
    ~WebsocketControl();

    WebsocketControl(const WebsocketControl &) = delete;
    WebsocketControl &operator=(const WebsocketControl &) = delete;

    int SocketLinkRecvSetCallback(WsRecvCallback cb);
    // Who is asked about unknown origins; null (the default) when there is
    // no display: unknown origins are then refused at once.  Set before
    // setupWebsocketServer().
    void setOriginAsker(OriginAsker *asker) { m_asker = asker; }
    // Where refused handshakes are logged besides standard output (the
    // service's log file).  Set before setupWebsocketServer().
    void setLogLine(void (*logLine)(const char *line)) { m_logLine = logLine; }
    // Where the origin lists are read (defaults: OriginPolicy::kAdminDir and
    // the service's configuration directory).  Set before setup.
    void setOriginListDirs(const QString &adminDir, const QString &userDir);
    // Listens on the loopback addresses and runs the server thread's event
    // loop until closeWebsocketServer().  Returns 0 (also when already
    // started) or -1 when the listener cannot be set up (port taken).
    // Called on the server thread.
    int setupWebsocketServer();
    // Queues one text message (a reply); returns len, or -1 when the
    // connection is gone or its unsent replies would pass kMaxUnsentReplies
    // (conn_close is then raised).  Any thread.
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
    struct Question {
        int64_t since;
        std::vector<std::weak_ptr<WsConnection>> waiting;
    };
    // Outlives this object for answers that come back late.
    struct AnswerGate {
        std::mutex mutex;
        WebsocketControl *control;
    };

    bool listenOn(QTcpServer *server, const char *address);
    void onNewTcpConnection(QTcpServer *server);
    void onQtConnection();
    void scheduleTurn();
    void runTurn();
    bool serve(const WsConnRef &conn);
    void writeOutSockets();
    void sweep();
    void checkHandshake(const WsConnRef &conn);
    void askAbout(const WsConnRef &conn, const QString &origin);
    void onAnswer(const QString &origin, OriginPolicy::Answer answer);
    void handOver(const WsConnRef &conn);
    void refuse(const WsConnRef &conn, int status, const QByteArray &reason, bool logIt = false);
    void onReceived(const WsConnRef &conn, bool binary, const QByteArray &bytes);
    void pauseReading(const WsConnRef &conn);
    void resumeReading(const WsConnRef &conn);
    void refreshPausedReading(const WsConnRef &conn);
    void kickReading(const WsConnRef &conn);
    void closeWith(const WsConnRef &conn, QWebSocketProtocol::CloseCode code, const char *why);
    bool enqueue(const WsConnRef &conn, const char *data, int len, bool binary, bool frame);
    void postToServer(const WsConnRef &conn, bool close);
    void flush(const WsConnRef &conn);
    void onMessage(const WsConnRef &conn, const QByteArray &payload);
    void onSocketGone(const WsConnRef &conn);
    static void discardQueued(const WsConnRef &conn);
    void shutDownOnServerThread();

    QObject *context;  // server-thread object: servers, sockets, timers
    std::atomic<int> started;
    QEventLoop *m_loop;
    std::mutex m_contextMutex;  // guards `context` against posting during shut-down
    QWebSocketServer *m_wsServer = nullptr;
    int m_nextId;
    std::vector<WsConnRef> m_conns;  // accepted sockets, server thread only
    bool m_turnPosted = false;
    size_t m_turnStart = 0;
    uint64_t m_refusedFull = 0;    // connections refused for kMaxConnections
    uint64_t m_refusedPrinted = 0;
    bool m_acceptPaused = false;
    uint64_t m_accepted = 0;       // sockets taken from the listeners
    OriginAsker *m_asker = nullptr;
    void (*m_logLine)(const char *line) = nullptr;
    QString m_adminDir;
    QString m_userDir;
    std::unique_ptr<OriginPolicy> m_policy;
    std::map<QString, Question> m_questions;  // by normalized origin
    std::shared_ptr<AnswerGate> m_gate;
    char m_recvBuf[kRecvBufferSize];
};

#endif
