// A Qt generic plug-in that the service tests load into the real,
// unmodified kobix-web (QT_PLUGIN_PATH + QT_QPA_GENERIC_PLUGINS).  It
// reports what the program shows on standard error, one "PROBE key=value"
// line each, and can press the duplicate box's button or show and hide the
// main window through its public slots.
//
// KOBIX_PROBE=box     wait for a visible QMessageBox, report it, press Yes
// KOBIX_PROBE=window  report the main window, show it, report, hide, report
// KOBIX_PROBE=ask     report every question box ("askN.*", N = 1, 2, ...)
//                     and press the button named by the N-th entry of
//                     KOBIX_PROBE_ANSWERS (';'-separated); none: leave it
#include <QApplication>
#include <QGenericPlugin>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>

#include <QSet>

#include <cstdio>

namespace {

void report(const char *key, const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    fprintf(stderr, "PROBE %s=%s\n", key, escaped.toUtf8().constData());
    fflush(stderr);
}

QString rect(const QPoint &p, const QSize &s)
{
    return QStringLiteral("%1,%2,%3,%4").arg(p.x()).arg(p.y()).arg(s.width()).arg(s.height());
}

class Probe : public QObject
{
public:
    explicit Probe(const QByteArray &mode) : m_mode(mode)
    {
        // Runs once the program's event loop (or the box's) is running.
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

private:
    void poll()
    {
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return;
        if (m_mode == "box")
            pollBox();
        else if (m_mode == "window")
            pollWindow();
        else if (m_mode == "ask")
            pollQuestions();
    }

    void pollQuestions()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible() || m_seen.contains(box))
                continue;
            m_seen.insert(box);
            QObject::connect(box, &QObject::destroyed, this, [this, box] { m_seen.remove(box); });
            const QByteArray n = "ask" + QByteArray::number(++m_asked) + ".";
            QStringList buttons;
            for (QAbstractButton *b : box->buttons())
                buttons << b->text();
            report((n + "title").constData(), box->windowTitle());
            report((n + "text").constData(), box->text());
            report((n + "icon").constData(), QString::number(box->icon()));
            report((n + "buttons").constData(), buttons.join(QLatin1Char('|')));
            report((n + "default").constData(), box->defaultButton() ? box->defaultButton()->text() : QString());
            QStringList answers = QString::fromLocal8Bit(qgetenv("KOBIX_PROBE_ANSWERS")).split(QLatin1Char(';'));
            QString answer = m_asked <= answers.size() ? answers[m_asked - 1] : QString();
            QAbstractButton *press = nullptr;
            for (QAbstractButton *b : box->buttons()) {
                if (b->text() == answer)
                    press = b;
            }
            report((n + "pressed").constData(), press ? answer : QStringLiteral("<none>"));
            if (press)
                press->click();
        }
    }

    void reportScreen()
    {
        QScreen *s = QGuiApplication::primaryScreen();
        if (s)
            report("screen", rect(s->geometry().topLeft(), s->geometry().size()));
    }

    void pollBox()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible())
                continue;
            m_timer.stop();
            reportScreen();
            report("box.title", box->windowTitle());
            report("box.text", box->text());
            report("box.icon", QString::number(box->icon()));
            report("box.buttons", QString::number(box->standardButtons(), 16));
            QAbstractButton *yes = box->button(QMessageBox::Yes);
            report("box.yes", yes ? yes->text() : QStringLiteral("<none>"));
            report("box.pos", QStringLiteral("%1,%2").arg(box->x()).arg(box->y()));
            report("box.hasIcon", box->windowIcon().isNull() ? "0" : "1");
            report("box.done", "1");
            if (yes)
                yes->click();
            return;
        }
    }

    void pollWindow()
    {
        QMainWindow *win = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("MainWindow"))
                win = qobject_cast<QMainWindow *>(w);
        }
        if (!win)
            return;
        m_timer.stop();
        reportScreen();
        report("win.visible", win->isVisible() ? "1" : "0");
        report("win.type", QString::number(int(win->windowType()), 16));
        report("win.geometry", rect(win->pos(), win->size()));
        report("win.min", QStringLiteral("%1,%2").arg(win->minimumWidth()).arg(win->minimumHeight()));
        report("win.max", QStringLiteral("%1,%2").arg(win->maximumWidth()).arg(win->maximumHeight()));
        report("win.title", win->windowTitle());
        report("win.hasIcon", win->windowIcon().isNull() ? "0" : "1");
        auto *label = win->findChild<QLabel *>(QStringLiteral("label"));
        report("win.label", label ? label->text() : QStringLiteral("<none>"));
        auto *tabs = win->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
        report("win.tab", tabs ? tabs->tabText(0) : QStringLiteral("<none>"));
        report("win.tabGeometry", tabs ? rect(tabs->pos(), tabs->size()) : QString());

        int ret = -1;
        QMetaObject::invokeMethod(win, "recvShowMainwindow", Q_RETURN_ARG(int, ret));
        report("show.result", QString::number(ret));
        report("show.visible", win->isVisible() ? "1" : "0");
        QMetaObject::invokeMethod(win, "recvHideMainwindow", Q_RETURN_ARG(int, ret));
        report("hide.result", QString::number(ret));
        report("hide.visible", win->isVisible() ? "1" : "0");
        report("win.done", "1");
    }

    QByteArray m_mode;
    QTimer m_timer;
    QSet<QObject *> m_seen;
    int m_asked = 0;
};

}  // namespace

class KobixProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "probe.json")
public:
    QObject *create(const QString &, const QString &) override
    {
        return new Probe(qgetenv("KOBIX_PROBE"));
    }
};

#include "probe.moc"
