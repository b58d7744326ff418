#include "websocketcontrol.h"
#include "printline.h"

#include "general.h"
#include "printable.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QThread>
#include <QTimer>
#include <QWebSocketServer>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

WsRecvCallback callbackfunc = nullptr;
std::atomic<int> conn_close{0};
WsConnRef g_conn;

namespace {

// How often deadlines are checked.
const int kSweepMs = 250;
// A sweep this late means the server thread was busy (a long request): the
// time is not charged to unfinished input.
const int kSweepLagMs = 1000;

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char *statusText(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

QByteArray httpAnswer(int status, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " " + statusText(status) +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

struct RequestHead {
    QByteArray host;
    QByteArray origin;
    bool hasOrigin = false;
};

// Reads Host and Origin from an upgrade request's head (without the empty
// last line).  0, or the status to refuse it with and why.  Everything
// else about the request is Qt's to check once the socket is handed over;
// here only what could make this reading and Qt's differ is refused.
int parseHead(const QByteArray &head, RequestHead &h, QByteArray &why)
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &l : lines) {
        if (!l.endsWith('\r')) {
            why = "lines must end with CR LF";
            return 400;
        }
        l.chop(1);
        if (l.contains('\r') || l.contains('\0')) {
            why = "stray CR or NUL in a line";
            return 400;
        }
    }
    int hosts = 0, origins = 0;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &l = lines[i];
        int colon = l.indexOf(':');
        if (colon <= 0 || l[0] == ' ' || l[0] == '\t' || l.left(colon).contains(' ') ||
            l.left(colon).contains('\t')) {
            why = "malformed header line";
            return 400;
        }
        QByteArray name = l.left(colon).toLower();
        QByteArray value = l.mid(colon + 1).trimmed();
        if (name == "host") {
            h.host = value;
            ++hosts;
        } else if (name == "origin" || name == "sec-websocket-origin") {
            h.origin = value;
            h.hasOrigin = true;
            ++origins;
        }
    }
    if (hosts != 1 || origins > 1) {
        why = "Host once, Origin at most once";
        return 400;
    }
    return 0;
}

}  // namespace

WsConnRef currentConn()
{
    return std::atomic_load(&g_conn);
}

void setCurrentConn(const WsConnRef &conn)
{
    std::atomic_store(&g_conn, conn);
}

int WsConnection::pendingFrames()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hasFrame ? 1 : 0;
}

WebsocketControl::WebsocketControl()
    : context(nullptr), started(0), m_loop(nullptr), m_nextId(0),
      m_adminDir(QString::fromLatin1(OriginPolicy::kAdminDir)), m_gate(std::make_shared<AnswerGate>()),
      m_recvBuf{}
{
    m_gate->control = this;
    callbackfunc = nullptr;
    char dir[4096];
    if (general::Zarn_Config_GetTempPath(sizeof(dir), dir) > 0)
        m_userDir = QString::fromLocal8Bit(dir);
}

WebsocketControl::~WebsocketControl()
{
    closeWebsocketServer();
    {
        std::lock_guard<std::mutex> lock(m_gate->mutex);
        m_gate->control = nullptr;
    }
    callbackfunc = nullptr;
}

int WebsocketControl::SocketLinkRecvSetCallback(WsRecvCallback cb)
{
    callbackfunc = cb;
    return 0;
}

void WebsocketControl::setOriginListDirs(const QString &adminDir, const QString &userDir)
{
    m_adminDir = adminDir;
    m_userDir = userDir;
}

bool WebsocketControl::listenOn(QTcpServer *server, const char *address)
{
    if (!server->listen(QHostAddress(QString::fromLatin1(address)), kPort))
        return false;
    QObject::connect(server, &QTcpServer::newConnection, context, [this, server] { onNewTcpConnection(server); });
    QObject::connect(server, &QTcpServer::acceptError, context, [this, server](QAbstractSocket::SocketError) {
        // Out of descriptors or memory: the connection stays queued and the
        // listener stays readable, so watching it now would spin.  Qt has
        // paused accepting already; it is resumed after a pause.
        if (!m_acceptPaused)
            zarn::printLine(zarn::Level::Error, "websocket", "accept failed (%s): accepting again in %d ms", server->errorString().toLocal8Bit().constData(),
                   kAcceptPauseMs);
        m_acceptPaused = true;
        server->pauseAccepting();
        QTimer::singleShot(kAcceptPauseMs, server, [server] { server->resumeAccepting(); });
    });
    // Qt 5.15 keeps only the first error of the listening socket engine:
    // once an accept has ended with EAGAIN, a later EMFILE counts as
    // temporary too, acceptError never comes and the readable listener
    // spins the loop.  A second notifier on a duplicate of the listening
    // descriptor sees the listener readable: readable again and again with
    // nothing accepted in between means accepting fails, and accepting (with
    // the watch) pauses for kAcceptPauseMs.
    int watchFd = ::dup(static_cast<int>(server->socketDescriptor()));
    if (watchFd >= 0) {
        auto *watch = new QSocketNotifier(watchFd, QSocketNotifier::Read, server);
        QObject::connect(server, &QObject::destroyed, [watchFd] { ::close(watchFd); });
        auto idle = std::make_shared<int>(0);
        auto acceptedBefore = std::make_shared<uint64_t>(0);
        QObject::connect(watch, &QSocketNotifier::activated, context, [this, server, watch, idle, acceptedBefore] {
            if (m_accepted != *acceptedBefore) {
                *acceptedBefore = m_accepted;
                *idle = 0;
                return;
            }
            if (++*idle < kAcceptIdleLimit)
                return;
            *idle = 0;
            if (!m_acceptPaused)
                zarn::printLine(zarn::Level::Error, "websocket", 
                                "accept failed (listener readable, nothing accepted: out of descriptors?): "
                                "accepting again in %d ms",
                                kAcceptPauseMs);
            m_acceptPaused = true;
            server->pauseAccepting();
            watch->setEnabled(false);
            QTimer::singleShot(kAcceptPauseMs, watch, [server, watch] {
                server->resumeAccepting();
                watch->setEnabled(true);
            });
        });
    }
    return true;
}

int WebsocketControl::setupWebsocketServer()
{
    if (started.load() == 1)
        return 0;
    puts("setup websocket");

    QObject *ctx = new QObject;
    {
        // Senders ignore it until `started` is set.
        std::lock_guard<std::mutex> lock(m_contextMutex);
        context = ctx;
    }
    // Only pages on this machine may connect: whoever reaches the port can
    // have files written and read at paths of their choosing.
    auto *server = new QTcpServer(ctx);
    if (!listenOn(server, "127.0.0.1")) {
        puts("ERROR: Expected to find proper listener connection status, but found..");
        zarn::printLine(zarn::Level::Error, "websocket", "listener error: %s", server->errorString().toLocal8Bit().constData());
        {
            std::lock_guard<std::mutex> lock(m_contextMutex);
            context = nullptr;
        }
        delete ctx;
        return -1;
    }
    auto *server6 = new QTcpServer(ctx);
    if (!listenOn(server6, "::1")) {
        zarn::printLine(zarn::Level::Warning, "websocket", "no listener on [::1]:%d: %s", kPort, server6->errorString().toLocal8Bit().constData());
        delete server6;
    }
    // Qt speaks the protocol on the sockets handed to it; it never listens.
    m_wsServer = new QWebSocketServer(QStringLiteral("kobix-web"), QWebSocketServer::NonSecureMode, ctx);
    m_wsServer->setHandshakeTimeout(kQtHandshakeTimeoutMs);
    m_wsServer->setMaxPendingConnections(kMaxConnections);
    QObject::connect(m_wsServer, &QWebSocketServer::newConnection, ctx, [this] { onQtConnection(); });

    m_policy.reset(new OriginPolicy(m_adminDir, m_userDir));
    zarn::printLine(zarn::Level::Info, "websocket", "origin check %s; unknown origins are %s", m_policy->checkEnabled() ? "on" : "switched off",
           m_asker ? "asked about on the desktop" : "refused (no display to ask on)");
    auto *sweeper = new QTimer(ctx);
    int64_t lastSweep = nowMs();
    QObject::connect(sweeper, &QTimer::timeout, ctx, [this, lastSweep]() mutable {
        int64_t now = nowMs();
        if (now - lastSweep > kSweepLagMs) {
            // The loop was held up: bytes that waited meanwhile waited for us.
            for (const WsConnRef &conn : m_conns) {
                if (conn->m_partialSince >= 0)
                    conn->m_partialSince = now;
            }
        }
        lastSweep = now;
        sweep();
    });
    sweeper->start(kSweepMs);

    QEventLoop loop;
    {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        m_loop = &loop;
    }
    started = 1;
    loop.exec();

    {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        context = nullptr;
        m_loop = nullptr;
    }
    // The WebSockets first: each may own its TCP socket, which is also a
    // child of its listener.
    for (QWebSocket *ws : m_wsServer->findChildren<QWebSocket *>())
        delete ws;
    for (QWebSocket *ws : ctx->findChildren<QWebSocket *>())
        delete ws;
    delete ctx;  // listeners, sockets and timers with it
    m_wsServer = nullptr;
    m_questions.clear();
    m_policy.reset();
    started = 0;
    return 0;
}

// ---- accepting ---------------------------------------------------------------

void WebsocketControl::onNewTcpConnection(QTcpServer *server)
{
    while (server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        if (!socket)
            break;
        ++m_accepted;
        m_acceptPaused = false;
        if (static_cast<int>(m_conns.size()) >= kMaxConnections) {
            socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(kCloseGraceMs, socket, [socket] {
                socket->abort();
                socket->deleteLater();
            });
            ++m_refusedFull;
            continue;
        }
        // The upgrade request must fit; it stays in this buffer, unread,
        // until Qt takes it.
        socket->setReadBufferSize(kMaxHandshakeBytes);
        WsConnRef conn(new WsConnection);
        conn->m_tcp = socket;
        conn->m_since = nowMs();
        m_conns.push_back(conn);

        // The lambdas hold the connection weakly: the socket's signals
        // must not keep a closed connection alive.
        std::weak_ptr<WsConnection> weak = conn;
        QObject::connect(socket, &QTcpSocket::readyRead, context, [this, weak] {
            WsConnRef c = weak.lock();
            if (!c)
                return;
            if (c->m_phase == WsConnection::Phase::Handshake)
                checkHandshake(c);
        });
        QObject::connect(socket, &QTcpSocket::disconnected, context, [this, weak] {
            if (WsConnRef c = weak.lock())
                onSocketGone(c);
        });
        if (socket->bytesAvailable() > 0)
            checkHandshake(conn);
    }
}

// ---- handshake ---------------------------------------------------------------

void WebsocketControl::checkHandshake(const WsConnRef &conn)
{
    QTcpSocket *socket = conn->m_tcp;
    if (!socket)
        return;
    QByteArray seen = socket->peek(kMaxHandshakeBytes);
    int end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        if (seen.size() >= kMaxHandshakeBytes)
            refuse(conn, 431, "handshake longer than " + QByteArray::number(kMaxHandshakeBytes) + " bytes");
        return;
    }
    // Every line ends with "\r" once split at "\n".
    QByteArray head = seen.left(end) + "\r";
    RequestHead h;
    QByteArray why;
    int status = parseHead(head, h, why);
    if (status != 0) {
        refuse(conn, status, why);
        return;
    }
    conn->m_origin = h.origin;
    if (!OriginPolicy::isLoopbackHost(h.host, kPort)) {
        refuse(conn, 403, "Host " + h.host + " is not this machine's service", true);
        return;
    }
    switch (m_policy->check(h.origin, h.hasOrigin)) {
    case OriginPolicy::Verdict::Allow:
        handOver(conn);
        break;
    case OriginPolicy::Verdict::Deny:
        refuse(conn, 403, "origin " + h.origin + " is not allowed", true);
        break;
    case OriginPolicy::Verdict::Ask:
        askAbout(conn, OriginPolicy::normalize(h.origin));
        break;
    }
}

void WebsocketControl::askAbout(const WsConnRef &conn, const QString &origin)
{
    if (!m_asker) {
        refuse(conn, 403, "origin " + conn->m_origin + " is not allowed (no display to ask on)", true);
        return;
    }
    auto it = m_questions.find(origin);
    if (it == m_questions.end()) {
        if (static_cast<int>(m_questions.size()) >= kMaxOpenQuestions) {
            refuse(conn, 403, "origin " + conn->m_origin + " is not allowed (too many questions open)", true);
            return;
        }
        it = m_questions.emplace(origin, Question{nowMs(), {}}).first;
        zarn::printLine(zarn::Level::Info, "websocket", "asking the user about origin %s", printableText(origin.toStdString()).c_str());
        std::shared_ptr<AnswerGate> gate = m_gate;
        m_asker->ask(origin, origin != QLatin1String("null"), [gate, origin](OriginPolicy::Answer answer) {
            std::lock_guard<std::mutex> lock(gate->mutex);
            WebsocketControl *self = gate->control;
            if (!self)
                return;
            std::lock_guard<std::mutex> ctxLock(self->m_contextMutex);
            if (self->context)
                QMetaObject::invokeMethod(self->context, [self, origin, answer] { self->onAnswer(origin, answer); },
                                          Qt::QueuedConnection);
        });
    } else if (static_cast<int>(it->second.waiting.size()) >= kMaxWaitingPerQuestion) {
        refuse(conn, 503, "too many handshakes wait for the same question");
        return;
    }
    it->second.waiting.push_back(conn);
    conn->m_phase = WsConnection::Phase::Deciding;
    conn->m_since = nowMs();
}

void WebsocketControl::onAnswer(const QString &origin, OriginPolicy::Answer answer)
{
    auto it = m_questions.find(origin);
    if (it == m_questions.end())
        return;
    std::vector<std::weak_ptr<WsConnection>> waiting;
    waiting.swap(it->second.waiting);
    m_questions.erase(it);
    m_policy->remember(origin.toUtf8(), answer);
    bool allowed = answer == OriginPolicy::Answer::Allow || answer == OriginPolicy::Answer::AlwaysAllow;
    const char *what = allowed ? "allowed" : answer == OriginPolicy::Answer::Deny ? "denied" : "not answered";
    zarn::printLine(zarn::Level::Info, "websocket", "origin %s %s by the user", printableText(origin.toStdString()).c_str(), what);
    for (const auto &weak : waiting) {
        WsConnRef conn = weak.lock();
        if (!conn || !conn->m_tcp || conn->m_phase != WsConnection::Phase::Deciding)
            continue;
        if (allowed)
            handOver(conn);
        else
            refuse(conn, 403, "origin " + conn->m_origin + " " + what + " by the user", true);
    }
}

// The socket goes to Qt as it came: its request still unread in the buffer.
void WebsocketControl::handOver(const WsConnRef &conn)
{
    conn->m_phase = WsConnection::Phase::Upgrading;
    conn->m_since = nowMs();
    conn->m_tcp->setReadBufferSize(kReadBufferSize);
    m_wsServer->handleConnection(conn->m_tcp);
}

void WebsocketControl::onQtConnection()
{
    while (m_wsServer->hasPendingConnections()) {
        QWebSocket *ws = m_wsServer->nextPendingConnection();
        if (!ws)
            break;
        // Owned by the server thread's context object: a socket still open
        // (or closed with deleteLater) when the loop ends goes with it.
        ws->setParent(context);
        WsConnRef conn;
        for (const WsConnRef &c : m_conns) {
            if (c->m_phase == WsConnection::Phase::Upgrading && c->m_tcp && c->m_tcp->peerPort() == ws->peerPort() &&
                c->m_tcp->peerAddress() == ws->peerAddress()) {
                conn = c;
                break;
            }
        }
        if (!conn) {
            ws->abort();
            ws->deleteLater();
            continue;
        }
        // QWebSocket sets its socket's read buffer to its own (unbounded by
        // default): bounded again here.
        ws->setReadBufferSize(kReadBufferSize);
        ws->setMaxAllowedIncomingFrameSize(kMaxIncomingMessage);
        ws->setMaxAllowedIncomingMessageSize(kMaxIncomingMessage);
        conn->m_ws = ws;
        conn->m_phase = WsConnection::Phase::Open;
        // Watching the socket's readyRead again, now after Qt's own slot:
        // this one runs (or posts) after Qt has taken what it could.
        if (QTcpSocket *tcp = conn->m_tcp) {
            QObject::disconnect(tcp, &QTcpSocket::readyRead, context, nullptr);
            std::weak_ptr<WsConnection> weakConn = conn;
            QObject::connect(tcp, &QTcpSocket::readyRead, context, [this, weakConn] {
                WsConnRef c = weakConn.lock();
                if (!c || c->m_phase != WsConnection::Phase::Open)
                    return;
                if (c->m_partialSince < 0)
                    c->m_partialSince = nowMs();  // until a message is complete
                if (!c->m_kickPosted) {
                    c->m_kickPosted = true;
                    QMetaObject::invokeMethod(context, [this, weakConn] {
                        if (WsConnRef k = weakConn.lock()) {
                            k->m_kickPosted = false;
                            kickReading(k);
                        }
                    }, Qt::QueuedConnection);
                }
            });
        }
        conn->m_id = ++m_nextId;
        printf("new conn id %d\n", conn->id());

        std::weak_ptr<WsConnection> weak = conn;
        QObject::connect(ws, &QWebSocket::textMessageReceived, context, [this, weak](const QString &text) {
            if (WsConnRef c = weak.lock())
                onReceived(c, false, text.toUtf8());
        });
        QObject::connect(ws, &QWebSocket::binaryMessageReceived, context, [this, weak](const QByteArray &bytes) {
            if (WsConnRef c = weak.lock())
                onReceived(c, true, bytes);
        });
        QObject::connect(ws, &QWebSocket::bytesWritten, context, [this, weak](qint64) {
            // The socket drained some bytes: queued replies or a held-back
            // frame may go now, and a connection held back may be served.
            WsConnRef c = weak.lock();
            if (!c)
                return;
            flush(c);
            if (!c->m_inbox.empty())
                scheduleTurn();
        });
        QObject::connect(ws, &QWebSocket::disconnected, context, [this, weak] {
            if (WsConnRef c = weak.lock())
                onSocketGone(c);
        });
        flush(conn);
    }
}

void WebsocketControl::refuse(const WsConnRef &conn, int status, const QByteArray &reason, bool logIt)
{
    std::string text = printableText(reason.constData(), reason.size());
    zarn::printLine(zarn::Level::Warning, "websocket", "refused WebSocket handshake (%d): %s", status, text.c_str());
    if (logIt && m_logLine) {
        std::string line = "refused WebSocket handshake (" + std::to_string(status) + "): " + text;
        m_logLine(line.c_str());
    }
    QTcpSocket *socket = conn->m_tcp;
    conn->m_phase = WsConnection::Phase::Closing;
    conn->m_since = nowMs();
    if (!socket)
        return;
    socket->write(httpAnswer(status, QByteArray::fromStdString(text) + "\n"));
    socket->disconnectFromHost();  // once the answer is out; disconnected follows
}

// ---- reading and turns -------------------------------------------------------

void WebsocketControl::onReceived(const WsConnRef &conn, bool binary, const QByteArray &bytes)
{
    if (conn->m_phase != WsConnection::Phase::Open)
        return;
    conn->m_partialSince = -1;
    conn->m_inbox.push_back(WsConnection::Message{binary, bytes});
    conn->m_inboxBytes += bytes.size();
    if (static_cast<int>(conn->m_inbox.size()) > kMaxInbox) {
        closeWith(conn, QWebSocketProtocol::CloseCodePolicyViolated, "too many requests waiting");
        return;
    }
    if (!conn->m_readPaused &&
        (static_cast<int>(conn->m_inbox.size()) >= kPauseInbox || conn->m_inboxBytes >= kPauseInboxBytes))
        pauseReading(conn);
    scheduleTurn();
}

// Qt reads a socket whenever it signals readyRead; holding the socket's
// signals back leaves its bytes in its buffer and the rest in the kernel, so
// the client's sending stalls.  The buffer's bound drops to one byte: what
// Qt left there (at most the start of a frame) stays, nothing more is read.
// Qt gives up on a started frame after a few seconds without readyRead
// (close 1001) however long the pause is on our side, so the sweep keeps
// telling it that the socket is alive (refreshPausedReading()).
void WebsocketControl::pauseReading(const WsConnRef &conn)
{
    if (conn->m_readPaused || !conn->m_tcp)
        return;
    conn->m_readPaused = true;
    conn->m_partialSince = -1;
    conn->m_tcp->setReadBufferSize(1);
    conn->m_tcp->blockSignals(true);
}

// A paused socket's buffer holds at most one byte more than Qt has taken,
// so a readyRead lets Qt complete at most one message; it restarts Qt's
// wait for the rest of a started frame.
void WebsocketControl::refreshPausedReading(const WsConnRef &conn)
{
    QTcpSocket *socket = conn->m_tcp;
    if (!conn->m_readPaused || !socket)
        return;
    socket->blockSignals(false);
    emit socket->readyRead();
    socket->blockSignals(true);
    conn->m_partialSince = -1;
}

// A socket whose bounded buffer was full stops reading from the kernel until
// a read asks for more than the buffer holds, and Qt reads a frame only once
// all of it is there: with a partial frame left over, neither would ever
// happen.  Setting the (unchanged) bound again lets the socket read on.
void WebsocketControl::kickReading(const WsConnRef &conn)
{
    QTcpSocket *socket = conn->m_tcp;
    if (!socket || conn->m_readPaused || conn->m_phase != WsConnection::Phase::Open)
        return;
    if (socket->bytesAvailable() < kReadBufferSize) {
        socket->setReadBufferSize(kReadBufferSize + 1);
        socket->setReadBufferSize(kReadBufferSize);
    }
}

void WebsocketControl::resumeReading(const WsConnRef &conn)
{
    if (!conn->m_readPaused)
        return;
    conn->m_readPaused = false;
    QTcpSocket *socket = conn->m_tcp;
    if (!socket) {
        onSocketGone(conn);
        return;
    }
    socket->setReadBufferSize(kReadBufferSize);
    socket->blockSignals(false);
    if (socket->state() != QAbstractSocket::ConnectedState) {
        // It went while its signals were held back.
        onSocketGone(conn);
        return;
    }
    flush(conn);  // bytesWritten was held back too
    if (socket->bytesAvailable() > 0)
        emit socket->readyRead();  // what arrived meanwhile
    else
        kickReading(conn);
}

void WebsocketControl::scheduleTurn()
{
    if (m_turnPosted || !context)
        return;
    m_turnPosted = true;
    QMetaObject::invokeMethod(context, [this] { runTurn(); }, Qt::QueuedConnection);
}

void WebsocketControl::runTurn()
{
    m_turnPosted = false;
    std::vector<WsConnRef> conns(m_conns);
    size_t n = conns.size();
    bool more = false;
    for (size_t i = 0; i < n; ++i) {
        const WsConnRef &conn = conns[(m_turnStart + i) % n];
        if (conn->m_phase == WsConnection::Phase::Open)
            more = serve(conn) || more;
    }
    ++m_turnStart;
    if (more)
        scheduleTurn();
}

// One connection's share of a turn; true when it has more to do now.
bool WebsocketControl::serve(const WsConnRef &conn)
{
    for (int handled = 0; handled < kMessagesPerTurn && !conn->m_inbox.empty(); ++handled) {
        flush(conn);
        writeOutSockets();
        if (conn->m_phase != WsConnection::Phase::Open || !conn->m_tcp)
            return false;
        // Not served while its socket holds what the kernel did not take:
        // served again once it drains (bytesWritten, or the sweep while its
        // signals are held back).
        if (conn->m_tcp->bytesToWrite() > 0)
            return false;
        WsConnection::Message m = std::move(conn->m_inbox.front());
        conn->m_inbox.pop_front();
        conn->m_inboxBytes -= m.bytes.size();
        onMessage(conn, m.bytes);
    }
    if (conn->m_phase != WsConnection::Phase::Open)
        return false;
    if (conn->m_readPaused && static_cast<int>(conn->m_inbox.size()) < kResumeInbox &&
        conn->m_inboxBytes < kPauseInboxBytes / 2)
        resumeReading(conn);
    return conn->m_phase == WsConnection::Phase::Open && !conn->m_inbox.empty() && conn->m_tcp &&
           conn->m_tcp->bytesToWrite() == 0;
}

// A request handler may hold this thread for seconds (a photo is saved and
// encoded on it), and no socket is written meanwhile: a message the socket
// had begun to write would stay cut off in the middle of a frame that long,
// and a client that bounds its wait for the rest of a frame (Qt's own gives
// up after 5 s and closes) would go.  So before a request is handled, every
// socket hands what it holds to the kernel, which delivers it while this
// thread is busy.  Writing may emit bytesWritten here, whose slot only
// queues more and posts a turn.
void WebsocketControl::writeOutSockets()
{
    for (const WsConnRef &conn : std::vector<WsConnRef>(m_conns)) {
        if (conn->m_phase == WsConnection::Phase::Open && conn->m_tcp && conn->m_tcp->bytesToWrite() > 0)
            conn->m_tcp->flush();
    }
}

void WebsocketControl::sweep()
{
    int64_t now = nowMs();
    for (const WsConnRef &conn : std::vector<WsConnRef>(m_conns)) {
        switch (conn->m_phase) {
        case WsConnection::Phase::Handshake:
            if (now - conn->m_since > kHandshakeDeadlineMs) {
                zarn::printLine(zarn::Level::Warning, "websocket", "handshake not complete within %d ms: connection dropped", kHandshakeDeadlineMs);
                if (conn->m_tcp)
                    conn->m_tcp->abort();
                onSocketGone(conn);
            }
            break;
        case WsConnection::Phase::Upgrading:
            if (now - conn->m_since > kQtHandshakeTimeoutMs + kSweepMs) {
                if (conn->m_tcp)
                    conn->m_tcp->abort();
                onSocketGone(conn);
            }
            break;
        case WsConnection::Phase::Open:
            if (!conn->m_tcp || !conn->m_ws) {
                onSocketGone(conn);
                break;
            }
            if (conn->m_readPaused) {
                // Its signals are held back: look at it from here.
                if (conn->m_tcp->state() != QAbstractSocket::ConnectedState) {
                    onSocketGone(conn);
                    break;
                }
                refreshPausedReading(conn);
                flush(conn);
                if (!conn->m_inbox.empty())
                    scheduleTurn();
            } else if (conn->m_partialSince >= 0 && now - conn->m_partialSince > kPartialDeadlineMs) {
                closeWith(conn, QWebSocketProtocol::CloseCodePolicyViolated, "frame or message not complete in time");
            } else {
                flush(conn);
            }
            break;
        case WsConnection::Phase::Closing:
            if (now - conn->m_since > kCloseGraceMs) {
                if (conn->m_ws)
                    conn->m_ws->abort();
                else if (conn->m_tcp)
                    conn->m_tcp->abort();
                onSocketGone(conn);
            }
            break;
        case WsConnection::Phase::Deciding:
            break;
        }
    }
    std::vector<QString> late;
    for (const auto &q : m_questions) {
        if (now - q.second.since > kQuestionTimeoutMs + 2000)
            late.push_back(q.first);
    }
    for (const QString &origin : late)
        onAnswer(origin, OriginPolicy::Answer::NoAnswer);
    if (m_refusedFull != m_refusedPrinted) {
        zarn::printLine(zarn::Level::Warning, "websocket", "%llu connection(s) refused: %d open",
               static_cast<unsigned long long>(m_refusedFull - m_refusedPrinted), kMaxConnections);
        m_refusedPrinted = m_refusedFull;
    }
}

void WebsocketControl::closeWith(const WsConnRef &conn, QWebSocketProtocol::CloseCode code, const char *why)
{
    if (conn->m_phase != WsConnection::Phase::Open || !conn->m_ws)
        return;
    zarn::printLine(zarn::Level::Trace, "websocket", "closing conn id %d (%d): %s", conn->id(), static_cast<int>(code), why);
    conn->m_closed = true;
    discardQueued(conn);
    conn->m_since = nowMs();
    if (conn->m_readPaused && conn->m_tcp) {
        conn->m_readPaused = false;
        conn->m_tcp->setReadBufferSize(kReadBufferSize);
        conn->m_tcp->blockSignals(false);
    }
    conn->m_ws->close(code, QString::fromLatin1(why));
}

// ---- sending -----------------------------------------------------------------

bool WebsocketControl::enqueue(const WsConnRef &conn, const char *data, int len, bool binary, bool frame)
{
    if (!conn || conn->isClosed() || len < 0 || (!data && len > 0)) {
        puts("-------------------nopoll_conn failed");
        conn_close = 1;
        return false;
    }
    // Copy before taking the lock, and free a replaced frame after it: the
    // lock is shared with the server thread and must stay short.
    QByteArray bytes(data, len);
    QByteArray replaced;
    bool post = false;
    bool overflow = false;
    {
        std::lock_guard<std::mutex> lock(conn->m_mutex);
        if (frame) {
            if (conn->m_hasFrame)
                ++conn->m_droppedFrames;  // the client has not taken the previous one yet
            conn->m_frame.binary = binary;
            replaced.swap(conn->m_frame.bytes);
            conn->m_frame.bytes.swap(bytes);
            conn->m_hasFrame = true;
        } else if (conn->m_replyBytes + conn->m_socketBacklog.load() + len > kMaxUnsentReplies) {
            overflow = true;
            conn->m_closed = true;  // later sends fail too
        } else {
            conn->m_replyBytes += len;
            conn->m_replies.push_back(WsConnection::Message{binary, std::move(bytes)});
        }
        post = !conn->m_flushPosted || overflow;
        conn->m_flushPosted = true;
    }
    if (overflow)
        zarn::printLine(zarn::Level::Warning, "websocket", "conn id %d does not read its replies (%lld bytes unsent): closing it", conn->id(),
               static_cast<long long>(kMaxUnsentReplies));
    if (post)
        postToServer(conn, overflow);
    if (overflow) {
        conn_close = 1;
        return false;
    }
    return true;
}

void WebsocketControl::postToServer(const WsConnRef &conn, bool close)
{
    std::lock_guard<std::mutex> lock(m_contextMutex);
    if (!context || !started.load()) {
        // The server is gone: nothing will ever take this message.
        std::lock_guard<std::mutex> connLock(conn->m_mutex);
        conn->m_replies.clear();
        conn->m_replyBytes = 0;
        conn->m_hasFrame = false;
        conn->m_flushPosted = false;
        conn->m_closed = true;
        puts("-------------------nopoll_conn failed");
        conn_close = 1;
        return;
    }
    std::weak_ptr<WsConnection> weak = conn;
    QMetaObject::invokeMethod(
        context,
        [this, weak, close] {
            WsConnRef c = weak.lock();
            if (!c)
                return;
            if (close)
                closeWith(c, QWebSocketProtocol::CloseCodePolicyViolated, "unsent replies over the limit");
            else
                flush(c);
        },
        Qt::QueuedConnection);
}

void WebsocketControl::flush(const WsConnRef &conn)
{
    QWebSocket *ws = conn->m_ws;
    QTcpSocket *tcp = conn->m_tcp;
    std::vector<WsConnection::Message> batch;
    WsConnection::Message frame;
    bool sendFrame = false;
    {
        std::lock_guard<std::mutex> lock(conn->m_mutex);
        conn->m_flushPosted = false;
        if (!ws || !tcp || conn->m_phase != WsConnection::Phase::Open)
            return;
        int64_t inSocket = tcp->bytesToWrite();
        while (!conn->m_replies.empty() && inSocket < kSocketWindow) {
            inSocket += conn->m_replies.front().bytes.size();
            conn->m_replyBytes -= conn->m_replies.front().bytes.size();
            batch.push_back(std::move(conn->m_replies.front()));
            conn->m_replies.pop_front();
        }
        // A frame waits in its slot until the socket has written out what it
        // holds; meanwhile newer frames replace it.
        if (conn->m_hasFrame && conn->m_replies.empty() && inSocket == 0) {
            frame = std::move(conn->m_frame);
            conn->m_hasFrame = false;
            sendFrame = true;
        }
    }
    for (const WsConnection::Message &m : batch) {
        if (m.binary)
            ws->sendBinaryMessage(m.bytes);
        else
            ws->sendTextMessage(QString::fromUtf8(m.bytes));
    }
    if (sendFrame) {
        if (frame.binary)
            ws->sendBinaryMessage(frame.bytes);
        else
            ws->sendTextMessage(QString::fromUtf8(frame.bytes));
    }
    if (conn->m_tcp)
        conn->m_socketBacklog = conn->m_tcp->bytesToWrite();
}

// ---- messages and closing ----------------------------------------------------

void WebsocketControl::onMessage(const WsConnRef &conn, const QByteArray &payload)
{
    int size = payload.size();
    if (size < 1) {
        printf("size of msg is 0 or msg = nullptr(connet id = %d)\n", conn->id());
        return;
    }
    if (size >= kRecvBufferSize) {
        zarn::printLine(zarn::Level::Warning, "websocket", "msg of %d bytes dropped, the receive buffer holds %d (connet id = %d)", size,
               kRecvBufferSize - 1, conn->id());
        return;
    }
    memset(m_recvBuf, 0, sizeof(m_recvBuf));
    memcpy(m_recvBuf, payload.constData(), size);
    printf("debug:%s \n", printableText(m_recvBuf, size).c_str());
    if (callbackfunc)
        callbackfunc(conn, m_recvBuf, size);
}

void WebsocketControl::onSocketGone(const WsConnRef &conn)
{
    auto it = std::find(m_conns.begin(), m_conns.end(), conn);
    if (it == m_conns.end())
        return;
    m_conns.erase(it);
    conn->m_closed = true;
    if (conn->m_id.load() != 0) {
        conn_close = 1;
        printf("Reg test: called connection close (TLS: %d)..\n", 0);
    }
    discardQueued(conn);
    // Not deleted here: this may run inside one of the sockets' own signals.
    // The WebSocket goes first: it may own the TCP socket.
    if (conn->m_ws)
        conn->m_ws->deleteLater();
    if (conn->m_tcp) {
        conn->m_tcp->blockSignals(false);
        conn->m_tcp->deleteLater();
    }
    conn->m_ws = nullptr;
    conn->m_tcp = nullptr;
}

int WebsocketControl::doSendText(const WsConnRef &conn, const char *data, int len)
{
    return enqueue(conn, data, len, false, false) ? len : -1;
}

int WebsocketControl::doSendBinary(const WsConnRef &conn, const char *data, int len)
{
    return enqueue(conn, data, len, true, true) ? 0 : -1;
}

int WebsocketControl::doSendFrameText(const WsConnRef &conn, const char *data, int len)
{
    return enqueue(conn, data, len, false, true) ? len : -1;
}

// A closing connection keeps nothing to send or to handle.
void WebsocketControl::discardQueued(const WsConnRef &conn)
{
    {
        std::lock_guard<std::mutex> lock(conn->m_mutex);
        conn->m_replies.clear();
        conn->m_replyBytes = 0;
        conn->m_hasFrame = false;
        conn->m_frame.bytes.clear();
    }
    conn->m_inbox.clear();
    conn->m_inboxBytes = 0;
    conn->m_phase = WsConnection::Phase::Closing;
}

void WebsocketControl::shutDownOnServerThread()
{
    for (const WsConnRef &conn : std::vector<WsConnRef>(m_conns)) {
        conn->m_closed = true;
        // Not deleted here: this may run inside one of the socket's own
        // signals.  They go with the context object once the loop ends.
        if (conn->m_tcp)
            conn->m_tcp->blockSignals(true);
        if (conn->m_ws)
            conn->m_ws->abort();
        else if (conn->m_tcp)
            conn->m_tcp->abort();
        conn->m_ws = nullptr;
        conn->m_tcp = nullptr;
        conn->m_inbox.clear();
    }
    m_conns.clear();
    if (m_loop)
        m_loop->quit();
}

int WebsocketControl::closeWebsocketServer()
{
    // Holding the lock keeps the server thread from dropping `context`
    // while the stop is being posted to it.
    std::lock_guard<std::mutex> lock(m_contextMutex);
    if (context) {
        if (context->thread() == QThread::currentThread())
            shutDownOnServerThread();
        else
            QMetaObject::invokeMethod(context, [this] { shutDownOnServerThread(); }, Qt::QueuedConnection);
    }
    return 0;
}
