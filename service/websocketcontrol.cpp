#include "websocketcontrol.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cstdio>
#include <cstring>

WsRecvCallback callbackfunc = nullptr;
std::atomic<int> conn_close{0};
WsConnRef g_conn;

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
    : context(nullptr), listener(nullptr), listener6(nullptr), started(0), m_loop(nullptr), m_nextId(0),
      m_recvBuf{}
{
    callbackfunc = nullptr;
}

WebsocketControl::~WebsocketControl()
{
    closeWebsocketServer();
    callbackfunc = nullptr;
}

int WebsocketControl::SocketLinkRecvSetCallback(WsRecvCallback cb)
{
    callbackfunc = cb;
    return 0;
}

int WebsocketControl::setupWebsocketServer()
{
    if (started.load() == 1)
        return 0;
    puts("setup websocket");

    QObject *ctx = new QObject;
    auto *server = new QWebSocketServer(QStringLiteral("kobix-web"), QWebSocketServer::NonSecureMode, ctx);
    // Only pages on this machine may connect: whoever reaches the port can
    // have files written and read at paths of their choosing.
    if (!server->listen(QHostAddress::LocalHost, kPort)) {
        puts("ERROR: Expected to find proper listener connection status, but found..");
        printf("listener error: %s\n", server->errorString().toLocal8Bit().constData());
        delete ctx;
        return -1;
    }
    auto *server6 = new QWebSocketServer(QStringLiteral("kobix-web"), QWebSocketServer::NonSecureMode, ctx);
    if (!server6->listen(QHostAddress::LocalHostIPv6, kPort)) {
        printf("no listener on [::1]:%d: %s\n", kPort, server6->errorString().toLocal8Bit().constData());
        delete server6;
        server6 = nullptr;
    }

    QEventLoop loop;
    {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        context = ctx;
        listener = server;
        listener6 = server6;
        m_loop = &loop;
    }
    started = 1;
    QObject::connect(server, &QWebSocketServer::newConnection, ctx, [this] { onConnectionOpened(); });
    if (server6)
        QObject::connect(server6, &QWebSocketServer::newConnection, ctx, [this] { onConnectionOpened(); });

    loop.exec();

    {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        context = nullptr;
        listener = nullptr;
        listener6 = nullptr;
        m_loop = nullptr;
    }
    delete ctx;  // the listeners with it
    started = 0;
    return 0;
}

void WebsocketControl::onConnectionOpened()
{
    for (QWebSocketServer *server : {listener, listener6}) {
        while (server && server->hasPendingConnections()) {
            QWebSocket *socket = server->nextPendingConnection();
            if (!socket)
                break;
            // Owned by the server's context object, so whatever is left at
            // shut-down goes with it.
            socket->setParent(context);
            socket->setMaxAllowedIncomingMessageSize(kMaxIncomingMessage);
            socket->setMaxAllowedIncomingFrameSize(kMaxIncomingMessage);
            WsConnRef conn(new WsConnection(++m_nextId));
            conn->m_socket = socket;
            m_conns.push_back(conn);
            printf("new conn id %d\n", conn->id());

            // The lambdas hold the connection weakly: the socket's signals
            // must not keep a closed connection alive.
            std::weak_ptr<WsConnection> weak = conn;
            QObject::connect(socket, &QWebSocket::textMessageReceived, context, [this, weak](const QString &text) {
                if (WsConnRef c = weak.lock())
                    onMessage(c, text.toUtf8());
            });
            QObject::connect(socket, &QWebSocket::binaryMessageReceived, context,
                             [this, weak](const QByteArray &bytes) {
                                 if (WsConnRef c = weak.lock())
                                     onMessage(c, bytes);
                             });
            QObject::connect(socket, &QWebSocket::bytesWritten, context, [this, weak](qint64) {
                // The socket drained some bytes: a held-back frame may go now.
                if (WsConnRef c = weak.lock())
                    flush(c);
            });
            QObject::connect(socket, &QWebSocket::disconnected, context, [this, weak] {
                if (WsConnRef c = weak.lock())
                    onConnectionClosed(c);
            });
        }
    }
}

void WebsocketControl::onConnectionClosed(const WsConnRef &conn)
{
    if (!conn->m_socket)
        return;
    conn->m_closed = true;
    conn_close = 1;
    printf("Reg test: called connection close (TLS: %d)..\n", 0);
    {
        std::lock_guard<std::mutex> lock(conn->m_mutex);
        conn->m_replies.clear();
        conn->m_hasFrame = false;
        conn->m_frame.bytes.clear();
    }
    conn->m_socket->deleteLater();
    conn->m_socket = nullptr;
    m_conns.erase(std::remove(m_conns.begin(), m_conns.end(), conn), m_conns.end());
}

void WebsocketControl::onMessage(const WsConnRef &conn, const QByteArray &payload)
{
    int size = payload.size();
    if (size < 1) {
        printf("size of msg is 0 or msg = nullptr(connet id = %d)\n", conn->id());
        return;
    }
    if (size >= kRecvBufferSize) {
        printf("msg of %d bytes dropped, the receive buffer holds %d (connet id = %d)\n", size,
               kRecvBufferSize - 1, conn->id());
        return;
    }
    memset(m_recvBuf, 0, sizeof(m_recvBuf));
    memcpy(m_recvBuf, payload.constData(), size);
    printf("debug:%s \n", m_recvBuf);
    if (callbackfunc)
        callbackfunc(conn, m_recvBuf, size);
}

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
    {
        std::lock_guard<std::mutex> lock(conn->m_mutex);
        if (frame) {
            if (conn->m_hasFrame)
                ++conn->m_droppedFrames;  // the client has not taken the previous one yet
            conn->m_frame.binary = binary;
            replaced.swap(conn->m_frame.bytes);
            conn->m_frame.bytes.swap(bytes);
            conn->m_hasFrame = true;
        } else {
            conn->m_replies.push_back(WsConnection::Message{binary, std::move(bytes)});
        }
        post = !conn->m_flushPosted;
        conn->m_flushPosted = true;
    }
    if (post) {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        if (!context) {
            // The server is gone: nothing will ever take this message.
            std::lock_guard<std::mutex> connLock(conn->m_mutex);
            conn->m_replies.clear();
            conn->m_hasFrame = false;
            conn->m_flushPosted = false;
            puts("-------------------nopoll_conn failed");
            conn_close = 1;
            return false;
        }
        std::weak_ptr<WsConnection> weak = conn;
        QMetaObject::invokeMethod(
            context,
            [this, weak] {
                if (WsConnRef c = weak.lock())
                    flush(c);
            },
            Qt::QueuedConnection);
    }
    return true;
}

void WebsocketControl::flush(const WsConnRef &conn)
{
    QWebSocket *socket = conn->m_socket;
    std::deque<WsConnection::Message> replies;
    WsConnection::Message frame;
    bool sendFrame = false;
    {
        std::lock_guard<std::mutex> lock(conn->m_mutex);
        replies.swap(conn->m_replies);
        conn->m_flushPosted = false;
        // A frame waits in its slot until the socket has written out what it
        // holds; meanwhile newer frames replace it.
        if (conn->m_hasFrame && socket && socket->bytesToWrite() == 0) {
            frame = std::move(conn->m_frame);
            conn->m_hasFrame = false;
            sendFrame = true;
        }
    }
    if (!socket)
        return;
    for (const WsConnection::Message &m : replies) {
        if (m.binary)
            socket->sendBinaryMessage(m.bytes);
        else
            socket->sendTextMessage(QString::fromUtf8(m.bytes));
    }
    if (sendFrame) {
        if (frame.binary)
            socket->sendBinaryMessage(frame.bytes);
        else
            socket->sendTextMessage(QString::fromUtf8(frame.bytes));
    }
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

void WebsocketControl::shutDownOnServerThread()
{
    for (const WsConnRef &conn : std::vector<WsConnRef>(m_conns)) {
        conn->m_closed = true;
        if (conn->m_socket) {
            // Not deleted here: this may run inside one of the socket's own
            // signals.  The context object deletes it once the loop ends.
            conn->m_socket->abort();
            conn->m_socket = nullptr;
        }
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
