// Any text as a WebSocket message to the service's request dispatcher.
// Built twice: without a camera library, and with the stand-in camera
// library whose functions all answer (KOBIX_FUZZ_STANDIN_LIB), so that the
// handlers run their camera paths too.
#include "harness.h"
#include "service_harness.h"
#include "mainwindow.h"

#ifndef KOBIX_FUZZ_STANDIN_LIB
#define KOBIX_FUZZ_STANDIN_LIB nullptr
#endif

namespace {
MainWindow *window = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    window = fuzz::startService(KOBIX_FUZZ_STANDIN_LIB);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string message = fuzz::text(data, size);
    window->socketerDataAnalysis(&message[0], static_cast<int>(message.size()));
    fuzz::processEvents();
    return 0;
}
