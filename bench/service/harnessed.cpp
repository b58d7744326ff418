#include "harnessed.h"

#include "isolation.h"
#include "procstat.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

bool enterIsolation()
{
    if (geteuid() != 0) {
        printf("needs root (private namespaces); skipped\n");
        return false;
    }
    const std::string err = enterPrivateNamespaces();
    if (!err.empty()) {
        printf("cannot isolate: %s; skipped\n", err.c_str());
        return false;
    }
    return true;
}

bool installCameraLibraries()
{
    // Only ever inside the private /opt.
    const QString lib = QStringLiteral("/opt/velmora/camera/lib");
    return QDir().mkpath(lib + "/algorithm") && QDir().mkpath(lib + "/file") &&
           QFile::copy(ZARN_CAMERA_LIB, lib + "/libZarnKobixManager.so") &&
           QFile::copy(ZARN_IMAGE_LIB, lib + "/algorithm/libZarnImage.so") &&
           QFile::copy(ZARN_FILE_LIB, lib + "/file/libZarnFileManager.so");
}

bool HarnessedService::start(const QString &home, int cameras, const QString &outputFile)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_RUNTIME_DIR", home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    m_proc.setProcessEnvironment(env);
    m_proc.setWorkingDirectory(home);
    // The program prints lines per frame: to a file, not through this
    // process's event loop.
    m_proc.setProcessChannelMode(QProcess::MergedChannels);
    m_proc.setStandardOutputFile(outputFile);
    m_proc.setStandardInputFile(QProcess::nullDevice());
    m_proc.start(VCAM_HARNESS_PATH, {"--cameras", QString::number(cameras), "--control",
                                     QString::fromStdString(m_control), "--", KOBIX_WEB_PATH});
    if (!m_proc.waitForStarted(10000))
        return false;
    // The harness re-executes itself once, keeping its process id.
    const pid_t harness = pid_t(m_proc.processId());
    spinUntil([&] { return (m_web = childNamed(harness, "kobix-web")) > 0 || !running(); }, 20000);
    return m_web > 0;
}

int HarnessedService::stop()
{
    if (m_stopped)
        return -1;
    m_stopped = true;
    int code = -1;
    if (m_proc.state() != QProcess::NotRunning) {
        m_proc.terminate();
        if (!m_proc.waitForFinished(15000)) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
        code = m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
    }
    if (alive(m_web, "kobix-web"))
        ::kill(m_web, SIGKILL);
    m_web = -1;
    return code;
}

bool HarnessedService::running() const
{
    return m_proc.state() == QProcess::Running && (m_web < 0 || alive(m_web, "kobix-web"));
}

std::string HarnessedService::command(const std::string &cmd)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", m_control.c_str());
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            std::string line = cmd + "\n", reply;
            if (write(fd, line.data(), line.size()) == ssize_t(line.size())) {
                char c;
                pollfd p{fd, POLLIN, 0};
                while (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c != '\n')
                    reply += c;
            }
            close(fd);
            return reply;
        }
        close(fd);
        spinUntil([] { return false; }, 50);
    }
    return "";
}

long HarnessedService::frames(int cam)
{
    const std::string r = command("frames " + std::to_string(cam));
    return r.compare(0, 3, "ok ") == 0 ? std::atol(r.c_str() + 3) : -1;
}

}  // namespace bench
