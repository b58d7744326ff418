// Which web pages may use the service, decided at the WebSocket handshake.
//
// A browser names the page that opens a WebSocket in the Origin header; any
// page on any site could otherwise reach ws://127.0.0.1:9030 and have the
// camera take photos or the service upload files.  Allowed:
//   - clients that send no Origin (programs on this machine, not pages);
//   - pages from this machine: http(s)://127.0.0.1, localhost, [::1], any
//     port;
//   - origins on the administrator's list (kAdminDir/kListFile) or on the
//     user's list (kListFile in the service's configuration directory), one
//     origin per line ("https://app.example.com", "https://*.example.com"
//     for any sub-domain, "http://host:8080"; '#' starts a comment);
//   - origins the user allowed when asked (see OriginAsker).
// "Origin: null" (sandboxed frames, local files, some redirects) names no
// site: it is never trusted by default and no answer about it is kept.
// The administrator switches the origin check off with a file
// kAdminDir/kSwitchFile whose first word is "off" (the Host check stays).
//
// Thread: the WebSocket server thread only (no locks).
#ifndef KOBIX_ORIGINPOLICY_H
#define KOBIX_ORIGINPOLICY_H

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

class OriginPolicy
{
public:
    static constexpr const char *kAdminDir = "/etc/velmora/kobix-web";
    static constexpr const char *kListFile = "allowed-origins";
    static constexpr const char *kSwitchFile = "origin-check";
    // Longest list file read: a list is a few lines; a huge file is a mistake.
    static constexpr qint64 kMaxListFileBytes = 64 * 1024;

    enum class Verdict { Allow, Deny, Ask };
    // The user's answer to the question about an origin.  NoAnswer: the
    // question went away unanswered (closed, timed out, service shut down).
    enum class Answer { Allow, AlwaysAllow, Deny, NoAnswer };

    // userDir: directory of the user's list ("" for none).
    OriginPolicy(const QString &adminDir, const QString &userDir);

    // The verdict for a handshake with Origin `origin` (present false: no
    // Origin header).  Lists are read at every call whose answer they
    // decide, so edits count at the next handshake.
    Verdict check(const QByteArray &origin, bool present);
    // Keeps the answer for this run of the service (Allow, Deny) or also in
    // the user's list (AlwaysAllow).  Nothing is kept for "null", for
    // NoAnswer or for a text that is no origin.
    void remember(const QByteArray &origin, Answer answer);
    // True unless the administrator switched the check off.
    bool checkEnabled() const;
    QString userListPath() const;

    // "scheme://host[:port]" in lower case without a default port, or ""
    // when `origin` is not of that form ("null" is returned as "null").
    static QString normalize(const QByteArray &origin);
    static bool isLoopbackOrigin(const QString &normalized);
    // True when `pattern` (a list line) covers the normalized origin.
    static bool matches(const QString &pattern, const QString &normalized);
    // True when a Host header value names this machine's loopback service:
    // 127.0.0.1, localhost or [::1], with no port or with `port`.
    static bool isLoopbackHost(const QByteArray &host, int port);

private:
    QStringList readList(const QString &path) const;

    QString m_adminDir;
    QString m_userDir;
    QSet<QString> m_sessionAllowed;
    QSet<QString> m_sessionDenied;
};

// Asks the user about an origin: implemented by the desktop prompt
// (originprompt.h).  ask() is called on the server thread; `answered` must be
// called exactly once, from any thread.  offerAlways is false where no
// answer may be kept ("null").
class OriginAsker
{
public:
    virtual ~OriginAsker() = default;
    virtual void ask(const QString &origin, bool offerAlways,
                     std::function<void(OriginPolicy::Answer)> answered) = 0;
};

#endif
