// An ordinary V4L2 + libudev program, not linked with anything of the
// virtual camera: the harness tests run it under vcam-harness to prove that
// unmodified programs see the cameras.  Reports one line per step on stdout.
//
//   vcam_probe stream DEV N      stream N MJPG frames at 1280x720, decode each
//   vcam_probe report DEV        stream until killed, one line per frame:
//                                ok, bad-jpeg, short BYTES, error-flag,
//                                timeout (1 s without a frame), eintr
//   vcam_probe hotplug DEV       stream; on unplug expect ENODEV and a udev
//                                "remove"; on replug expect "add", reopen and
//                                get one frame
#include <libudev.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Device {
    int fd = -1;
    std::vector<std::pair<void *, std::size_t>> maps;

    bool start(const char *path) {
        fd = open(path, O_RDWR);
        if (fd < 0)
            return false;
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
        f.fmt.pix.width = 1280;
        f.fmt.pix.height = 720;
        v4l2_requestbuffers rb{};
        rb.count = 4;
        rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        rb.memory = V4L2_MEMORY_MMAP;
        if (ioctl(fd, VIDIOC_S_FMT, &f) || ioctl(fd, VIDIOC_REQBUFS, &rb))
            return false;
        for (unsigned i = 0; i < rb.count; ++i) {
            v4l2_buffer b{};
            b.index = i;
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            if (ioctl(fd, VIDIOC_QUERYBUF, &b))
                return false;
            void *p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            if (p == MAP_FAILED)
                return false;
            maps.emplace_back(p, b.length);
            if (ioctl(fd, VIDIOC_QBUF, &b))
                return false;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return ioctl(fd, VIDIOC_STREAMON, &type) == 0;
    }

    // One frame: 0 and a decoded size, or the errno of the failing step
    // (EBADMSG: not a JPEG; EIO: flagged V4L2_BUF_FLAG_ERROR).
    int frame(int *w, int *h, int timeoutSec = 10, unsigned *bytes = nullptr) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        timeval tv{timeoutSec, 0};
        if (select(fd + 1, &rd, nullptr, nullptr, &tv) != 1)
            return ETIMEDOUT;
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (ioctl(fd, VIDIOC_DQBUF, &b))
            return errno;
        if (bytes)
            *bytes = b.bytesused;
        if (b.flags & V4L2_BUF_FLAG_ERROR)
            return ioctl(fd, VIDIOC_QBUF, &b) ? errno : EIO;
        tjhandle tj = tjInitDecompress();
        int sub, cs;
        const auto *data = static_cast<const unsigned char *>(maps[b.index].first);
        int rc = tjDecompressHeader3(tj, data, b.bytesused, w, h, &sub, &cs);
        std::vector<unsigned char> rgb(std::size_t(*w > 0 ? *w : 1) * (*h > 0 ? *h : 1) * 3);
        if (rc == 0)
            rc = tjDecompress2(tj, data, b.bytesused, rgb.data(), *w, 0, *h, TJPF_RGB, 0);
        tjDestroy(tj);
        if (ioctl(fd, VIDIOC_QBUF, &b))
            return errno;
        return rc == 0 ? 0 : EBADMSG;
    }

    void stop() {
        for (auto &m : maps)
            munmap(m.first, m.second);
        maps.clear();
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

void say(const std::string &s) {
    std::printf("%s\n", s.c_str());
    std::fflush(stdout);
}

// Waits for a video4linux event of the capture node ("video-index0").
std::string waitEvent(udev_monitor *m) {
    for (;;) {
        pollfd p{udev_monitor_get_fd(m), POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return "timeout";
        udev_device *d = udev_monitor_receive_device(m);
        if (!d)
            continue;
        const char *links = udev_device_get_property_value(d, "DEVLINKS");
        std::string action = udev_device_get_action(d);
        const bool index0 = links && std::strstr(links, "video-index0");
        udev_device_unref(d);
        if (index0)
            return action;
    }
}

int stream(const char *dev, int n) {
    Device d;
    if (!d.start(dev)) {
        say(std::string("error start ") + std::strerror(errno));
        return 1;
    }
    int w = 0, h = 0;
    for (int i = 0; i < n; ++i) {
        const int rc = d.frame(&w, &h);
        if (rc) {
            say(std::string("error frame ") + std::strerror(rc));
            return 1;
        }
    }
    say("ok " + std::to_string(n) + " frames " + std::to_string(w) + "x" + std::to_string(h));
    d.stop();
    return 0;
}

// Starts streaming and waits for the first frame; says "streaming".
bool startStreaming(Device &d, const char *dev) {
    int w = 0, h = 0;
    if (!d.start(dev) || d.frame(&w, &h)) {
        say("error first frame");
        return false;
    }
    say("streaming");
    return true;
}

int report(const char *dev) {
    Device d;
    int w = 0, h = 0;
    if (!startStreaming(d, dev))
        return 1;
    for (;;) {
        unsigned bytes = 0;
        const int rc = d.frame(&w, &h, 1, &bytes);
        switch (rc) {
        case 0:
            say("ok");
            break;
        case EBADMSG:
            say(bytes < 1000 ? "short " + std::to_string(bytes) : "bad-jpeg");
            break;
        case EIO:
            say("error-flag");
            break;
        case ETIMEDOUT:
            say("timeout");
            break;
        case EINTR:
            say("eintr");
            break;
        default:
            say(std::string("error ") + std::strerror(rc));
            return 1;
        }
    }
}

// access() and open() must agree on whether the node is there: a program
// checks the node with access() when a plug event arrives and then opens
// it.  Checked across an unplug, where the order open-then-access makes
// any disagreement a fault (the node only goes away).
int unplugcheck(const char *dev) {
    say("ready");
    int gone = 0;
    for (int i = 0; i < 20000000 && gone < 1000; ++i) {
        const int fd = open(dev, O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            continue;
        }
        if (access(dev, F_OK) == 0) {
            say("access passes while open fails");
            return 1;
        }
        ++gone;
    }
    say(gone >= 1000 ? "access agrees" : "never went away");
    return gone >= 1000 ? 0 : 1;
}

int hotplug(const char *dev) {
    udev *u = udev_new();
    udev_monitor *m = udev_monitor_new_from_netlink(u, "udev");
    udev_monitor_filter_add_match_subsystem_devtype(m, "video4linux", nullptr);
    udev_monitor_enable_receiving(m);
    Device d;
    int w = 0, h = 0;
    if (!startStreaming(d, dev))
        return 1;
    int rc = 0;
    while ((rc = d.frame(&w, &h)) == 0) {
    }
    say(std::string("frame error ") + (rc == ENODEV ? "ENODEV" : std::strerror(rc)));
    say("udev " + waitEvent(m));
    d.stop();
    say("udev " + waitEvent(m));
    Device again;
    if (!again.start(dev) || again.frame(&w, &h)) {
        say("error after replug");
        return 1;
    }
    say("frame after replug " + std::to_string(w) + "x" + std::to_string(h));
    again.stop();
    udev_monitor_unref(m);
    udev_unref(u);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "stream")
        return stream(argv[2], std::atoi(argv[3]));
    if (argc == 3 && std::string(argv[1]) == "report")
        return report(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "unplugcheck")
        return unplugcheck(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "hotplug")
        return hotplug(argv[2]);
    std::fprintf(stderr, "usage: vcam_probe stream DEV N | report DEV | hotplug DEV\n");
    return 2;
}
