#include "originpolicy.h"
#include "printline.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

namespace {

struct OriginParts {
    QString scheme;
    QString host;  // lower case; IPv6 in brackets
    int port = -1;
    bool valid = false;
};

int defaultPort(const QString &scheme)
{
    if (scheme == QLatin1String("http") || scheme == QLatin1String("ws"))
        return 80;
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))
        return 443;
    return -1;
}

bool isSchemeChar(QChar c, bool first)
{
    char a = c.toLatin1();
    if ((a >= 'a' && a <= 'z'))
        return true;
    return !first && ((a >= '0' && a <= '9') || a == '+' || a == '-' || a == '.');
}

bool isHostChar(QChar c)
{
    char a = c.toLatin1();
    return (a >= 'a' && a <= 'z') || (a >= '0' && a <= '9') || a == '-' || a == '.' || a == '_';
}

// Parses "scheme://host[:port]"; wildcard allows a leading "*." in host.
OriginParts parse(const QString &text, bool wildcard)
{
    OriginParts o;
    QString t = text.trimmed().toLower();
    int sep = t.indexOf(QLatin1String("://"));
    if (sep <= 0)
        return o;
    o.scheme = t.left(sep);
    for (int i = 0; i < o.scheme.size(); ++i) {
        if (!isSchemeChar(o.scheme[i], i == 0))
            return o;
    }
    QString rest = t.mid(sep + 3);
    if (rest.endsWith(QLatin1Char('/')))  // tolerated in lists: "https://a.example/"
        rest.chop(1);
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return o;
        o.host = rest.left(close + 1);
        for (QChar c : o.host.mid(1, close - 1)) {
            char a = c.toLatin1();
            if (!((a >= '0' && a <= '9') || (a >= 'a' && a <= 'f') || a == ':' || a == '.'))
                return o;
        }
        QString after = rest.mid(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(QLatin1Char(':')))
                return o;
            portText = after.mid(1);
            if (portText.isEmpty())
                return o;
        }
    } else {
        int colon = rest.indexOf(QLatin1Char(':'));
        o.host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0) {
            portText = rest.mid(colon + 1);
            if (portText.isEmpty())
                return o;
        }
        QString name = o.host;
        if (wildcard && name.startsWith(QLatin1String("*.")))
            name = name.mid(2);
        if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char('.')) ||
            name.contains(QLatin1String("..")))
            return o;
        for (QChar c : name) {
            if (!isHostChar(c))
                return o;
        }
    }
    if (!portText.isEmpty()) {
        bool ok = false;
        int port = portText.toInt(&ok);
        for (QChar c : portText) {
            if (!c.isDigit())
                ok = false;
        }
        if (!ok || port < 1 || port > 65535)
            return o;
        o.port = port;
    }
    if (o.port == -1 || o.port == defaultPort(o.scheme))
        o.port = -1;
    o.valid = true;
    return o;
}

QString format(const OriginParts &o)
{
    QString s = o.scheme + QLatin1String("://") + o.host;
    if (o.port != -1)
        s += QLatin1Char(':') + QString::number(o.port);
    return s;
}

bool isLoopbackName(const QString &host)
{
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost") ||
           host == QLatin1String("[::1]");
}

}  // namespace

OriginPolicy::OriginPolicy(const QString &adminDir, const QString &userDir)
    : m_adminDir(adminDir), m_userDir(userDir)
{
}

QString OriginPolicy::normalize(const QByteArray &origin)
{
    if (origin == "null")
        return QStringLiteral("null");
    OriginParts o = parse(QString::fromLatin1(origin), false);
    return o.valid ? format(o) : QString();
}

bool OriginPolicy::isLoopbackOrigin(const QString &normalized)
{
    OriginParts o = parse(normalized, false);
    return o.valid && (o.scheme == QLatin1String("http") || o.scheme == QLatin1String("https")) &&
           isLoopbackName(o.host);
}

bool OriginPolicy::matches(const QString &pattern, const QString &normalized)
{
    OriginParts p = parse(pattern, true);
    OriginParts o = parse(normalized, false);
    if (!p.valid || !o.valid || p.scheme != o.scheme || p.port != o.port)
        return false;
    if (p.host.startsWith(QLatin1String("*."))) {
        QString suffix = p.host.mid(1);  // ".example.com": sub-domains only
        return o.host.size() > suffix.size() && o.host.endsWith(suffix);
    }
    return p.host == o.host;
}

bool OriginPolicy::isLoopbackHost(const QByteArray &hostHeader, int port)
{
    QByteArray h = hostHeader.trimmed().toLower();
    QByteArray name = h;
    QByteArray portText;
    if (h.startsWith('[')) {
        int close = h.indexOf(']');
        if (close < 0)
            return false;
        name = h.left(close + 1);
        QByteArray after = h.mid(close + 1);
        if (!after.isEmpty()) {
            if (after[0] != ':')
                return false;
            portText = after.mid(1);
            if (portText.isEmpty())
                return false;
        }
    } else {
        int colon = h.indexOf(':');
        if (colon >= 0) {
            name = h.left(colon);
            portText = h.mid(colon + 1);
            if (portText.isEmpty())
                return false;
        }
    }
    if (name != "127.0.0.1" && name != "localhost" && name != "[::1]")
        return false;
    if (portText.isEmpty())
        return true;
    for (char c : portText) {
        if (c < '0' || c > '9')
            return false;
    }
    return portText.toInt() == port;
}

QStringList OriginPolicy::readList(const QString &path) const
{
    QStringList lines;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return lines;
    QByteArray bytes = f.read(kMaxListFileBytes);
    for (const QByteArray &raw : bytes.split('\n')) {
        QByteArray line = raw;
        int hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (!line.isEmpty())
            lines << QString::fromUtf8(line);
    }
    return lines;
}

bool OriginPolicy::checkEnabled() const
{
    QStringList words = readList(m_adminDir + QLatin1Char('/') + QLatin1String(kSwitchFile));
    return words.isEmpty() || words.first().section(QLatin1Char(' '), 0, 0).toLower() != QLatin1String("off");
}

QString OriginPolicy::userListPath() const
{
    return m_userDir.isEmpty() ? QString() : QDir(m_userDir).filePath(QLatin1String(kListFile));
}

OriginPolicy::Verdict OriginPolicy::check(const QByteArray &origin, bool present)
{
    if (!present)
        return Verdict::Allow;
    QString o = normalize(origin);
    if (isLoopbackOrigin(o))
        return Verdict::Allow;
    if (!checkEnabled())
        return Verdict::Allow;
    if (o.isEmpty())
        return Verdict::Deny;  // not an origin at all: no page sends that
    if (o == QLatin1String("null"))
        return Verdict::Ask;
    if (m_sessionDenied.contains(o))
        return Verdict::Deny;
    if (m_sessionAllowed.contains(o))
        return Verdict::Allow;
    QStringList patterns = readList(m_adminDir + QLatin1Char('/') + QLatin1String(kListFile));
    if (!m_userDir.isEmpty())
        patterns += readList(userListPath());
    for (const QString &p : patterns) {
        if (matches(p, o))
            return Verdict::Allow;
    }
    return Verdict::Ask;
}

void OriginPolicy::remember(const QByteArray &origin, Answer answer)
{
    QString o = normalize(origin);
    if (o.isEmpty() || o == QLatin1String("null") || answer == Answer::NoAnswer)
        return;
    if (answer == Answer::Deny) {
        m_sessionDenied.insert(o);
        return;
    }
    m_sessionAllowed.insert(o);
    m_sessionDenied.remove(o);
    if (answer != Answer::AlwaysAllow || m_userDir.isEmpty())
        return;
    // Appended to the user's list, written whole through a temporary file
    // so a crash never leaves half a list.
    QDir().mkpath(m_userDir);
    QFile old(userListPath());
    QByteArray content;
    if (old.open(QIODevice::ReadOnly))
        content = old.read(kMaxListFileBytes);
    old.close();
    if (!content.isEmpty() && !content.endsWith('\n'))
        content += '\n';
    content += o.toUtf8() + '\n';
    QSaveFile out(userListPath());
    if (out.open(QIODevice::WriteOnly)) {
        out.write(content);
        if (!out.commit())
            zarn::printLine(zarn::Level::Error, "origins", "cannot write %s", qPrintable(userListPath()));
    }
}
