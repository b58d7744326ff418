// The service's main window in a fuzz target's process.
//
// Threads: the fuzzer's one thread (the main thread), which is also the
// window's GUI thread.
#ifndef KOBIX_FUZZ_SERVICE_HARNESS_H
#define KOBIX_FUZZ_SERVICE_HARNESS_H

class MainWindow;

namespace fuzz {

// The service's main window in this process, as the program builds it: in
// private mount and network namespaces (nothing under /opt, an own /tmp
// and loopback), HOME in the scratch directory, Qt's offscreen platform.
// With `standinLibrary` that library is copied to the camera library's
// fixed path first; without, the camera library is absent.  The window
// owns no WebSocket listener: replies are built and dropped.  The window
// current at exit (gMainWindow) and the application are deleted then.
MainWindow *startService(const char *standinLibrary);

// Runs the queued signals of the window (camera changes, list refreshes).
void processEvents();

// Empties the process-wide camera lists, which grow with every event.
void clearServiceLists();

}  // namespace fuzz

#endif
