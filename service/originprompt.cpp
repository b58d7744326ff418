#include "originprompt.h"

#include "printable.h"
#include "websocketcontrol.h"

#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <memory>

OriginPrompt::OriginPrompt(QObject *parent) : QObject(parent) {}

bool OriginPrompt::displayAvailable()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return false;
    const QString platform = QGuiApplication::platformName();
    return !platform.isEmpty() && platform != QLatin1String("offscreen") && !platform.startsWith(QLatin1String("minimal"));
}

void OriginPrompt::ask(const QString &origin, bool offerAlways, std::function<void(OriginPolicy::Answer)> answered)
{
    QMetaObject::invokeMethod(
        this, [this, origin, offerAlways, answered] { show(origin, offerAlways, answered); }, Qt::QueuedConnection);
}

void OriginPrompt::show(const QString &origin, bool offerAlways, std::function<void(OriginPolicy::Answer)> answered)
{
    // The origin is normalized (scheme, host, port in plain characters);
    // printed through printableText all the same, as plain text.
    QString name = origin == QLatin1String("null")
                       ? QStringLiteral("a page without an origin (\"null\")")
                       : QString::fromStdString(printableText(origin.toStdString()));
    auto *box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The main window is hidden: closing the question must not count as
    // closing the last window of the program.
    box->setAttribute(Qt::WA_QuitOnClose, false);
    box->setWindowTitle(QStringLiteral("kobix-web"));
    box->setWindowIcon(QIcon(QStringLiteral(":/icons/appicon.png")));
    box->setIcon(QMessageBox::Question);
    box->setTextFormat(Qt::PlainText);
    box->setText(QStringLiteral("Allow %1 to use the document camera?").arg(name));
    QPushButton *allow = box->addButton(QStringLiteral("Allow"), QMessageBox::AcceptRole);
    QPushButton *always = offerAlways ? box->addButton(QStringLiteral("Always allow"), QMessageBox::YesRole) : nullptr;
    QPushButton *deny = box->addButton(QStringLiteral("Deny"), QMessageBox::RejectRole);
    box->setDefaultButton(deny);
    box->setEscapeButton(deny);
    box->setWindowModality(Qt::NonModal);

    auto done = std::make_shared<bool>(false);
    auto reply = [done, answered](OriginPolicy::Answer a) {
        if (*done)
            return;
        *done = true;
        answered(a);
    };
    QObject::connect(box, &QMessageBox::buttonClicked, box, [=](QAbstractButton *b) {
        reply(b == allow ? OriginPolicy::Answer::Allow
              : b == always && always ? OriginPolicy::Answer::AlwaysAllow
                                      : OriginPolicy::Answer::Deny);
    });
    // Closed any other way (timeout, shut-down): no answer, nothing kept.
    QObject::connect(box, &QObject::destroyed, [reply] { reply(OriginPolicy::Answer::NoAnswer); });
    QTimer::singleShot(WebsocketControl::kQuestionTimeoutMs, box, [box] { box->close(); });

    box->show();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (screen) {
        QRect g = screen->geometry();
        box->move(g.x() + (g.width() - box->width()) / 2, g.y() + (g.height() - box->height()) / 2);
    }
    box->raise();
    box->activateWindow();
}
