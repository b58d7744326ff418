// Cost of CameraCapture per delivered frame: 2592 x 1944 MJPG at 15 frames
// per second from the in-process virtual camera (its own clock thread makes
// the frames, so their cost is not counted here).
//
// Printed side by side: the capture thread's CPU time, the part of it spent
// inside the frame callback, and the difference (the library's own cost),
// per frame and as a share of one core; then how long a stop takes while
// the thread waits for a frame and no callback runs.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <thread>

#include "cameracapture.h"
#include "figures.h"
#include "vcam/vcam.h"

namespace {

std::atomic<int> g_frames{0};
std::atomic<long long> g_callbackNs{0};
std::atomic<pthread_t> g_thread{};
std::atomic<unsigned> g_checksum{0};

long long threadNs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// A receiver that reads the whole frame, as a decoder would.
int onFrame(void *data, int size, int, int)
{
    const long long begin = threadNs(CLOCK_THREAD_CPUTIME_ID);
    const auto *bytes = static_cast<const unsigned char *>(data);
    unsigned sum = 0;
    for (int i = 0; i < size; i += 64)
        sum += bytes[i];
    g_checksum += sum;
    g_thread = pthread_self();
    ++g_frames;
    g_callbackNs += threadNs(CLOCK_THREAD_CPUTIME_ID) - begin;
    return 0;
}

double ms(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main()
{
    const int frames = 90; // six seconds at 15 fps
    vcam::Testbed bed(vcam::Udev::Off);
    vcam::Camera &cam = bed.addCamera();
    CameraCapture cap;
    if (cap.OpenCameraCapture(cam.captureNode().c_str()) != 0 || cap.SetCameraResolution(0) != 0) {
        fprintf(stderr, "cannot open the virtual camera\n");
        return 1;
    }
    if (cap.StartCameraCapture(&onFrame) != 0) {
        fprintf(stderr, "cannot start streaming\n");
        return 1;
    }
    cam.startClock();
    while (g_frames < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    // Measure from the first frame on (start-up rendering is the camera's).
    clockid_t clock;
    pthread_getcpuclockid(g_thread.load(), &clock);
    const long long threadStart = threadNs(clock);
    const long long callbackStart = g_callbackNs;
    const int framesStart = g_frames;
    const auto wallStart = std::chrono::steady_clock::now();
    while (g_frames < framesStart + frames)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const long long threadUsed = threadNs(clock) - threadStart;
    const long long callbackUsed = g_callbackNs - callbackStart;
    const int delivered = g_frames - framesStart;
    const double wall = ms(std::chrono::steady_clock::now() - wallStart);

    // Stop while the thread waits for a frame that does not come.
    cam.stopClock();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto stopStart = std::chrono::steady_clock::now();
    cap.StopCameraCapture();
    const double stopMs = ms(std::chrono::steady_clock::now() - stopStart);
    cap.CloseCameraCapture();

    const double perFrameUs = (threadUsed - callbackUsed) / 1e3 / delivered;
    const double framePeriodUs = 1e6 / 15;
    printf("capture at 2592x1944 MJPG, 15 fps: %d frames in %.0f ms (%.1f fps)\n", delivered, wall,
           delivered * 1000.0 / wall);
    printf("  capture thread CPU    %8.1f us/frame\n", threadUsed / 1e3 / delivered);
    printf("  inside the callback   %8.1f us/frame\n", callbackUsed / 1e3 / delivered);
    printf("  library's own cost    %8.1f us/frame = %.3f%% of one core at 15 fps\n", perFrameUs,
           100.0 * perFrameUs / framePeriodUs);
    printf("  stop while waiting    %8.2f ms (frame wait 1000 ms; ratio %.4f)\n", stopMs, stopMs / 1000.0);

    bench::Figures figures("capture");
    figures.add("frames delivered per second", delivered * 1000.0 / wall, "1/s", {}, {"camera rate", 15});
    figures.add("library's own cost per frame", perFrameUs, "us", {},
                {"capture thread CPU per frame", threadUsed / 1e3 / delivered});
    figures.add("stop while the thread waits for a frame", stopMs, "ms", {}, {"frame wait", 1000});
    return figures.finish() ? 0 : 1;
}
