#include "service_harness.h"

#include "ccamerasdk.h"
#include "harness.h"
#include "isolation.h"
#include "mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace fuzz {

namespace {

void fail(const std::string &what)
{
    fprintf(stderr, "fuzz set-up: %s\n", what.c_str());
    abort();
}

// The window goes the way it goes when the program quits, before the
// process's static objects: its server, upload and camera threads are
// joined rather than left running into exit().
void stopService()
{
    delete gMainWindow;
    delete qApp;
}

}  // namespace

MainWindow *startService(const char *standinLibrary)
{
    std::string err = enterPrivateNamespaces();
    if (!err.empty())
        fail("private namespaces (run as root): " + err);
    if (standinLibrary) {
        const QString to = QString::fromLatin1(CCameraSDK::kLibraryPath);
        if (!QDir().mkpath(QFileInfo(to).absolutePath()) || !QFile::copy(QString::fromLocal8Bit(standinLibrary), to))
            fail(std::string("cannot copy ") + standinLibrary + " to " + CCameraSDK::kLibraryPath);
    }
    // Logs and settings files go to the scratch directory.
    setenv("HOME", scratchDir().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", scratchDir().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "kobix-fuzz";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    auto *window = new MainWindow(nullptr);
    atexit(stopService);
    return window;
}

void processEvents()
{
    // A camera change is handled in a chain of queued signals (change,
    // running switch, list refresh), each posted by the one before.
    for (int i = 0; i < 4; ++i)
        QCoreApplication::sendPostedEvents();
}

void clearServiceLists()
{
    std::lock_guard<std::mutex> lists(g_videoListsLock);
    vecVideoName.clear();
    g_vecVideoNum.clear();
    vecResolution.clear();
    strVideoName.clear();
}

}  // namespace fuzz
