// Helpers shared by the service tests: bounded waits that keep the Qt
// event loop running, and a real WebSocket client over loopback.
#ifndef KOBIX_TEST_SUPPORT_H
#define KOBIX_TEST_SUPPORT_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWebSocket>

#include <deque>
#include <functional>
#include <string>

// Runs the event loop until pred() holds or timeoutMs passed; true on pred.
inline bool spinUntil(const std::function<bool()> &pred, int timeoutMs = 20000)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start();
    while (!pred()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        loop.exec();
    }
    return true;
}

struct Received {
    bool binary;
    QByteArray bytes;
};

class WsClient
{
public:
    WsClient()
    {
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString &t) {
            m_inbox.push_back(Received{false, t.toUtf8()});
        });
        QObject::connect(&m_socket, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray &b) { m_inbox.push_back(Received{true, b}); });
    }

    // Connects, retrying while the server is not listening yet.
    bool connectTo(const QString &url = QStringLiteral("ws://127.0.0.1:9030"), int timeoutMs = 20000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            m_socket.open(QUrl(url));
            spinUntil([this] {
                return m_socket.state() == QAbstractSocket::ConnectedState ||
                       m_socket.state() == QAbstractSocket::UnconnectedState;
            }, timeoutMs);
            if (m_socket.state() == QAbstractSocket::ConnectedState)
                return true;
            QEventLoop wait;
            QTimer::singleShot(50, &wait, &QEventLoop::quit);
            wait.exec();
        }
        return false;
    }

    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool waitDisconnected(int timeoutMs = 20000)
    {
        return spinUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }
    void sendText(const std::string &text) { m_socket.sendTextMessage(QString::fromStdString(text)); }
    void sendBinary(const std::string &bytes)
    {
        m_socket.sendBinaryMessage(QByteArray(bytes.data(), static_cast<int>(bytes.size())));
    }
    void close() { m_socket.close(); }
    void abort() { m_socket.abort(); }

    // Next message, or an empty optional-like flag when none came in time.
    bool next(Received &out, int timeoutMs = 20000)
    {
        if (!spinUntil([this] { return !m_inbox.empty(); }, timeoutMs))
            return false;
        out = m_inbox.front();
        m_inbox.pop_front();
        return true;
    }
    std::string nextText(int timeoutMs = 20000)
    {
        Received r;
        if (!next(r, timeoutMs))
            return "<no message>";
        return r.bytes.toStdString();
    }
    size_t pending() const { return m_inbox.size(); }
    QWebSocket &socket() { return m_socket; }

private:
    QWebSocket m_socket;
    std::deque<Received> m_inbox;
};

#endif
