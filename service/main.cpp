// Entry of kobix-web: one copy per machine (a write lock on the pid file),
// then the hidden main window, the WebSocket server thread and the Qt event
// loop.  A second copy only shows a warning box.
#include "Log.h"
#include "mainwindow.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char *const kPidFile = "/tmp/kobix-web.pid";
}

int lock_reg(int fd, int cmd, int type, long offset, int whence, long len)
{
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = static_cast<short>(type);
    lock.l_start = offset;
    lock.l_whence = static_cast<short>(whence);
    lock.l_len = len;
    return fcntl(fd, cmd, &lock);
}

// 0 when this process now holds the instance lock, -1 when another does.
// The descriptor stays open for the life of the process: closing it would
// release the lock.
int process_already_running()
{
    int fd = open(kPidFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        exit(1);
    // Whoever starts the service next, under any user, must be able to open
    // the file to take the lock.
    chmod(kPidFile, 0777);
    if (lock_reg(fd, F_SETLK, F_WRLCK, 0, SEEK_SET, 0) < 0) {
        close(fd);
        return -1;
    }
    if (ftruncate(fd, 0) != 0) {
        // The content is informational; the lock is what counts.
    }
    char buf[32] = {};
    snprintf(buf, sizeof(buf), "%ld", static_cast<long>(getpid()));
    ssize_t written = write(fd, buf, strlen(buf));
    (void)written;
    return 0;
}

static int showDuplicateBox()
{
    QMessageBox box;
    box.setFixedSize(200, 120);
    box.setWindowTitle(QStringLiteral("kobix-web"));
    box.setText(QString::fromLocal8Bit("程序已经打开，\n请勿重复打开!"));
    box.setWindowIcon(QIcon(QStringLiteral(":/icons/appicon.png")));
    box.setIcon(QMessageBox::Warning);
    box.setStandardButtons(QMessageBox::Yes);
    box.button(QMessageBox::Yes)->setText(QString::fromLocal8Bit("确 定"));
    QRect screen = defaultScreenGeometry();
    box.move((screen.width() - 170) / 2, (screen.height() - 105) / 2 - 60);
    return box.exec();
}

int main(int argc, char **argv)
{
    // Diagnostics go to standard output line by line, also into a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    QApplication app(argc, argv);
    puts("begin test");
    if (process_already_running() != 0)
        return showDuplicateBox();

    // The version, once this copy is the one that runs.
    printf("kobix-web %s\n", KOBIX_VERSION);
    puts("before Mainwindow ");
    MainWindow window(nullptr);
    puts("after Mainwindow ");
    int socketRet = window.toStartSocketServers();
    if (socketRet < 0)
        printf("socketRet = %d\n", socketRet);
    return app.exec();
}
