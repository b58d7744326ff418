// The real kobix-web for the benchmarks and the soak: private namespaces,
// the camera libraries at their fixed paths, and the program under
// vcam-harness with virtual cameras that take plug and fault commands.
#ifndef KOBIX_BENCH_HARNESSED_H
#define KOBIX_BENCH_HARNESSED_H

#include <QProcess>
#include <QString>

#include <sys/types.h>

#include <string>

namespace bench {

// Moves the process into private mount and network namespaces
// (tests/service/isolation.cpp): its own loopback and port 9030, tmpfs over
// /opt and /tmp.  False, with a line saying why, when that is not possible
// (not root); the caller skips.
bool enterIsolation();

// Copies the camera library and its two libraries of this build to their
// fixed paths under the private /opt.
bool installCameraLibraries();

// kobix-web under vcam-harness.  Owns the harness process; the program is
// the harness's child.  Thread: the one running the Qt event loop.
class HarnessedService
{
public:
    explicit HarnessedService(std::string controlSocket) : m_control(std::move(controlSocket)) {}
    ~HarnessedService() { stop(); }

    // Starts with `cameras` virtual cameras plugged; the program's standard
    // output and error go to outputFile.  True once the program runs.
    bool start(const QString &home, int cameras, const QString &outputFile);
    // The harness passes SIGTERM on to the program; a program that does not
    // end within 15 s is killed.  Returns the harness's exit code (the
    // program's; 128 + signal when it was killed), or -1 if it had died.
    int stop();

    bool running() const;
    pid_t webPid() const { return m_web; }

    // One harness command; its reply line, or "" when the harness does not answer.
    std::string command(const std::string &cmd);
    // Frames camera N delivered so far (harness "frames N"), -1 on no answer.
    long frames(int cam);

private:
    std::string m_control;
    QProcess m_proc;
    pid_t m_web = -1;
    bool m_stopped = false;
};

}  // namespace bench

#endif
