// CPU cost of serving 15 fps at 2592x1944 MJPG from the virtual camera,
// measured in-process: the camera's frame clock fills buffers in real time
// and a client thread waits with poll, dequeues and requeues every frame
// (it decodes nothing, so the figure is the simulation's own cost).  For
// comparison the cost of drawing and encoding one frame, which is what
// serving would cost per frame without pre-rendering.
#include "figures.h"
#include "vcam/scene.h"
#include "vcam/vcam.h"

#include <linux/videodev2.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool check(int rc, const char *what) {
    if (rc != 0)
        std::perror(what);
    return rc == 0;
}

} // namespace

int main() {
    constexpr int kWidth = 2592, kHeight = 1944, kSeconds = 6;
    vcam::Testbed bed(vcam::Udev::Off);
    vcam::Camera &cam = bed.addCamera();
    const int fd = open(cam.captureNode().c_str(), O_RDWR | O_NONBLOCK);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    f.fmt.pix.width = kWidth;
    f.fmt.pix.height = kHeight;
    if (fd < 0 || !check(ioctl(fd, VIDIOC_S_FMT, &f), "S_FMT"))
        return 1;
    v4l2_requestbuffers rb{};
    rb.count = 4;
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_MMAP;
    if (!check(ioctl(fd, VIDIOC_REQBUFS, &rb), "REQBUFS"))
        return 1;
    std::vector<std::pair<void *, std::size_t>> maps;
    for (unsigned i = 0; i < rb.count; ++i) {
        v4l2_buffer b{};
        b.index = i;
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (!check(ioctl(fd, VIDIOC_QUERYBUF, &b), "QUERYBUF"))
            return 1;
        maps.emplace_back(mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset), b.length);
        if (!check(ioctl(fd, VIDIOC_QBUF, &b), "QBUF"))
            return 1;
    }

    // STREAMON renders the frame set (once per size and scene).
    double c0 = cpuSeconds(), w0 = wallSeconds();
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (!check(ioctl(fd, VIDIOC_STREAMON, &type), "STREAMON"))
        return 1;
    const double prepareCpu = cpuSeconds() - c0, prepareWall = wallSeconds() - w0;

    cam.startClock();
    // Let the clock settle, then measure whole seconds of serving.
    unsigned frames = 0;
    std::size_t bytes = 0;
    auto serve = [&](double seconds) {
        const double end = wallSeconds() + seconds;
        while (wallSeconds() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 200) != 1)
                continue;
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            if (ioctl(fd, VIDIOC_DQBUF, &b) != 0)
                continue;
            ++frames;
            bytes += b.bytesused;
            ioctl(fd, VIDIOC_QBUF, &b);
        }
    };
    serve(0.5);
    frames = 0;
    bytes = 0;
    c0 = cpuSeconds();
    w0 = wallSeconds();
    serve(kSeconds);
    const double serveCpu = cpuSeconds() - c0, serveWall = wallSeconds() - w0;
    cam.stopClock();
    ioctl(fd, VIDIOC_STREAMOFF, &type);
    for (auto &m : maps)
        munmap(m.first, m.second);
    close(fd);

    // What one frame would cost drawn and encoded on demand.
    vcam::SceneParams p;
    p.width = kWidth;
    p.height = kHeight;
    c0 = cpuSeconds();
    const vcam::Scene scene = vcam::renderScene(p);
    const double renderCpu = cpuSeconds() - c0;
    c0 = cpuSeconds();
    const std::vector<std::uint8_t> jpeg = vcam::encodeMjpeg(scene.rgb.data(), kWidth, kHeight);
    const double encodeCpu = cpuSeconds() - c0;

    const double fps = frames / serveWall;
    const double share = 100.0 * serveCpu / serveWall;
    const double perFrameMs = frames ? 1000.0 * serveCpu / frames : 0;
    const double onDemandMs = 1000.0 * (renderCpu + encodeCpu);
    std::printf("virtual camera, MJPG %dx%d at 15 fps, %d s\n", kWidth, kHeight, kSeconds);
    std::printf("  pre-render at STREAMON: %.0f ms CPU (%.0f ms wall), once per size\n", prepareCpu * 1000,
                prepareWall * 1000);
    std::printf("  served: %u frames, %.1f fps, %.0f KiB per frame on average\n", frames, fps,
                frames ? bytes / 1024.0 / frames : 0.0);
    std::printf("  CPU while serving: %.2f%% of one core (target under 5%%), %.2f ms per frame\n", share,
                perFrameMs);
    std::printf("  drawing + encoding one frame on demand: %.1f ms (draw %.1f, encode %.1f, %zu KiB)\n", onDemandMs,
                renderCpu * 1000, encodeCpu * 1000, jpeg.size() / 1024);
    std::printf("  on demand at 15 fps would need %.0f%% of one core: %.0fx the pre-rendered cost\n",
                onDemandMs * 15 / 10, perFrameMs > 0 ? onDemandMs / perFrameMs : 0.0);

    bench::Figures figures("virtual camera");
    figures.add("frames served per second", fps, "1/s", {}, {"camera rate", 15});
    figures.add("CPU while serving 2592x1944 at 15 fps", share, "% core", bench::Goal::atMost(5));
    figures.add("serving one frame", perFrameMs, "ms", {}, {"drawing and encoding one on demand", onDemandMs});
    const bool written = figures.finish();
    return frames > 0 && written ? 0 : 1;
}
