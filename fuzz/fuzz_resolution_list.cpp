// The resolution list of an opened camera, as the camera library returns
// it, through the window's parser.
#include "harness.h"
#include "service_harness.h"
#include "mainwindow.h"

#include <cstring>

namespace {
MainWindow *window = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    window = fuzz::startService(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    window->ParseCameraResJSONStr(strdup(fuzz::text(data, size).c_str()));  // the parser frees it
    fuzz::clearServiceLists();
    return 0;
}
