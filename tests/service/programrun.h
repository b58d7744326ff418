// One run of the real kobix-web for the program tests: its environment (a
// home of the test's own, offscreen or a given display, the probe plug-in
// when asked for), an optional descriptor limit, and its output.
//
// Standard output and error go to files of their own under the home and are
// read back on demand: a test that blocks on raw sockets cannot keep a pipe
// drained, and a program stuck on a full pipe would fail it for nothing.
// Several runs may share a home.  Test thread only.
#ifndef KOBIX_PROGRAM_RUN_H
#define KOBIX_PROGRAM_RUN_H

#include "rawclient.h"
#include "testsupport.h"

#include <QProcess>
#include <QString>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

inline std::string readWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// How a ProgramRun starts the program.
struct ProgramRunOptions {
    QByteArray probe;   // KOBIX_PROBE for the probe plug-in, empty: none
    QByteArray answers; // KOBIX_PROBE_ANSWERS
    QString display;    // empty: offscreen, no display
    int nofile = 0;     // RLIMIT_NOFILE through prlimit, 0: unchanged
};

class ProgramRun
{
public:
    using Options = ProgramRunOptions;

    explicit ProgramRun(const QString &home, const Options &o = Options())
    {
        static int runs = 0;
        const QString stem = QStringLiteral("%1/run-%2-").arg(home).arg(++runs);
        m_outPath = (stem + "out.txt").toStdString();
        m_errPath = (stem + "err.txt").toStdString();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("XDG_RUNTIME_DIR", home);
        env.remove("WAYLAND_DISPLAY");
        if (o.display.isEmpty()) {
            // Offscreen always without one: the private /tmp hides any X
            // server's socket, and a test must not put boxes on a screen.
            env.remove("DISPLAY");
            env.insert("QT_QPA_PLATFORM", "offscreen");
        } else {
            env.insert("DISPLAY", o.display);
            env.insert("QT_QPA_PLATFORM", "xcb");
        }
        if (!o.probe.isEmpty()) {
            env.insert("QT_PLUGIN_PATH", KOBIX_PROBE_PLUGIN_PATH);
            env.insert("QT_QPA_GENERIC_PLUGINS", "kobixprobe");
            env.insert("KOBIX_PROBE", o.probe);
            env.insert("KOBIX_PROBE_ANSWERS", o.answers);
        }
        m_proc.setProcessEnvironment(env);
        m_proc.setWorkingDirectory(home);
        m_proc.setStandardOutputFile(QString::fromStdString(m_outPath));
        m_proc.setStandardErrorFile(QString::fromStdString(m_errPath));
        if (o.nofile > 0)
            m_proc.start("prlimit", {QStringLiteral("--nofile=%1:%1").arg(o.nofile), "--", KOBIX_WEB_PATH});
        else
            m_proc.start(KOBIX_WEB_PATH, QStringList());
    }
    ~ProgramRun()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(20000);
        }
    }
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;

    bool started() { return m_proc.waitForStarted(20000); }
    // Started and upgrading WebSocket clients.
    bool serving()
    {
        if (!started())
            return false;
        return spinUntil([] {
            RawClient c;
            if (!c.connectTo() || !c.sendAll(RawClient::handshake()))
                return false;
            return RawClient::status(c.readHead(2000)) == 101;
        }, 20000);
    }
    bool waitOut(const std::string &needle, int timeoutMs = 20000)
    {
        return spinUntil([&] { return out().find(needle) != std::string::npos; }, timeoutMs);
    }
    bool waitErr(const std::string &needle, int timeoutMs = 20000)
    {
        return spinUntil([&] { return err().find(needle) != std::string::npos; }, timeoutMs);
    }
    bool waitFinished(int timeoutMs = 20000)
    {
        return spinUntil([&] { return m_proc.state() == QProcess::NotRunning; }, timeoutMs);
    }
    bool running() const { return m_proc.state() == QProcess::Running; }
    void kill()
    {
        m_proc.kill();
        waitFinished();
    }
    qint64 pid() const { return m_proc.processId(); }
    int exitCode() const { return m_proc.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_proc.exitStatus(); }
    std::string out() const { return readWholeFile(m_outPath); }
    std::string err() const { return readWholeFile(m_errPath); }

    // "PROBE key=value" lines written by the probe plug-in.
    std::map<std::string, std::string> probe() const
    {
        std::map<std::string, std::string> values;
        std::istringstream in(err());
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("PROBE ", 0) != 0)
                continue;
            size_t eq = line.find('=');
            values[line.substr(6, eq - 6)] = line.substr(eq + 1);
        }
        return values;
    }

private:
    QProcess m_proc;
    std::string m_outPath;
    std::string m_errPath;
};

#endif
