// A small ordinary program that streams from a device node with
// CameraCapture and checks what it receives.  The capture tests run it
// unmodified under the virtual camera's preload shim and udev testbed.
//
//   capture_probe NODE [FRAMES]   exit 0 when FRAMES frames (default 5) of
//                                 the first listed size arrived as JPEGs
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cameracapture.h"

namespace {

std::atomic<int> g_frames{0};
std::atomic<int> g_bad{0};
int g_width = 0, g_height = 0;

int onFrame(void *data, int size, int width, int height)
{
    const auto *b = static_cast<const unsigned char *>(data);
    const bool jpeg = size > 4 && b[0] == 0xFF && b[1] == 0xD8 && b[size - 2] == 0xFF && b[size - 1] == 0xD9;
    if (!jpeg || width != g_width || height != g_height)
        ++g_bad;
    ++g_frames;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const char *node = argc > 1 ? argv[1] : "/dev/video0";
    const int wanted = argc > 2 ? atoi(argv[2]) : 5;

    CameraCapture cap;
    if (cap.OpenCameraCapture(node) != 0)
        return 2;
    char *list = cap.GetCameraResList();
    if (!list)
        return 3;
    // The first entry is the largest size.
    const char *w = strstr(list, "\"res-w\":");
    const char *h = strstr(list, "\"res-h\":");
    g_width = w ? atoi(w + 8) : 0;
    g_height = h ? atoi(h + 8) : 0;
    free(list);
    if (cap.SetCameraResolution(0) != 0)
        return 4;
    if (cap.StartCameraCapture(&onFrame) != 0)
        return 5;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g_frames < wanted && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const int stopped = cap.StopCameraCapture();
    const int closed = cap.CloseCameraCapture();
    printf("probe: %d frames of %dx%d, %d bad, stop %d, close %d\n", g_frames.load(), g_width, g_height,
           g_bad.load(), stopped, closed);
    return g_frames >= wanted && g_bad == 0 && stopped == 0 && closed == 0 ? 0 : 1;
}
