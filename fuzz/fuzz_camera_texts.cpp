// The texts the camera library hands the service: a camera-change event
// (the callback's argument) and the list of attached cameras (what the
// service reads at start-up).  The first byte picks which of the two the
// rest is; both reach the window's handling of the cameras they name, with
// the stand-in camera library opening every camera.
#include "ccamerasdk.h"
#include "harness.h"
#include "service_harness.h"
#include "mainwindow.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

MainWindow *window = nullptr;
void (*setTexts)(const char *, const char *) = nullptr;
// What the stand-in hands out as the resolution list of an opened camera.
const char *const kResolutions = R"([{"res-no":0,"res-w":2592,"res-h":1944},{"res-no":1,"res-w":640,"res-h":480}])";

// The window's camera list only grows with cameras that never leave: a
// new window every so many inputs keeps it small.
constexpr int kInputsPerWindow = 256;
int inputs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    window = fuzz::startService(KOBIX_FUZZ_TEXTS_LIB);
    // A handle of our own keeps the stand-in, and the texts it holds,
    // mapped across the windows' loading and unloading.
    void *standin = dlopen(CCameraSDK::kLibraryPath, RTLD_NOW | RTLD_NOLOAD);
    if (standin)
        setTexts = reinterpret_cast<void (*)(const char *, const char *)>(dlsym(standin, "kobixFakeSetTexts"));
    if (!setTexts) {
        fprintf(stderr, "the stand-in camera library has no kobixFakeSetTexts\n");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    if (++inputs % kInputsPerWindow == 0) {
        delete window;
        fuzz::processEvents();
        window = new MainWindow(nullptr);
    }
    const std::string rest = fuzz::text(data + 1, size - 1);
    if (data[0] & 1) {
        setTexts(rest.c_str(), kResolutions);
        window->reportCamerasFoundAtStart();
    } else {
        setTexts("[]", kResolutions);
        MainWindow::hotplugCallBack(strdup(rest.c_str()));  // the service frees it
    }
    fuzz::processEvents();
    fuzz::clearServiceLists();
    return 0;
}
