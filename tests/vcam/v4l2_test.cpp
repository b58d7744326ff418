// The simulated device seen through plain V4L2 calls, in-process (no udev):
// enumeration, formats, streaming with frames read back by libjpeg-turbo,
// and every fault switch.
#include "vcam/vcam.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

int xioctl(int fd, unsigned long req, void *arg) { return ioctl(fd, req, arg) == 0 ? 0 : errno; }

// A minimal mmap streaming client, the way capture code drives a camera.
struct Stream {
    int fd = -1;
    std::vector<std::pair<void *, std::size_t>> maps;

    explicit Stream(const std::string &path, int flags = O_RDWR) { fd = open(path.c_str(), flags); }
    ~Stream() {
        for (auto &m : maps)
            munmap(m.first, m.second);
        if (fd >= 0)
            close(fd);
    }
    int setFormat(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h, v4l2_format *out = nullptr) {
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.fmt.pix.pixelformat = fourcc;
        f.fmt.pix.width = w;
        f.fmt.pix.height = h;
        const int rc = xioctl(fd, VIDIOC_S_FMT, &f);
        if (out)
            *out = f;
        return rc;
    }
    // REQBUFS, mmap, QBUF all, STREAMON; returns the granted count.
    unsigned start(unsigned want = 4) {
        v4l2_requestbuffers rb{};
        rb.count = want;
        rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        rb.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(xioctl(fd, VIDIOC_REQBUFS, &rb), 0);
        for (unsigned i = 0; i < rb.count; ++i) {
            v4l2_buffer b{};
            b.index = i;
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            EXPECT_EQ(xioctl(fd, VIDIOC_QUERYBUF, &b), 0);
            void *p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            EXPECT_NE(p, MAP_FAILED);
            maps.emplace_back(p, b.length);
            EXPECT_EQ(xioctl(fd, VIDIOC_QBUF, &b), 0);
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        EXPECT_EQ(xioctl(fd, VIDIOC_STREAMON, &type), 0);
        return rb.count;
    }
    int dequeue(v4l2_buffer &b) {
        b = v4l2_buffer{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        return xioctl(fd, VIDIOC_DQBUF, &b);
    }
    int requeue(v4l2_buffer &b) { return xioctl(fd, VIDIOC_QBUF, &b); }
    bool readable(int timeoutMs = 0) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
    }
    std::vector<std::uint8_t> bytes(const v4l2_buffer &b) {
        const auto *p = static_cast<const std::uint8_t *>(maps.at(b.index).first);
        return std::vector<std::uint8_t>(p, p + b.bytesused);
    }
};

struct Decoded {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
    bool ok = false;
};

Decoded decodeJpeg(const std::vector<std::uint8_t> &jpeg) {
    Decoded d;
    tjhandle tj = tjInitDecompress();
    int sub = 0, cs = 0;
    if (tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &d.width, &d.height, &sub, &cs) == 0) {
        d.rgb.resize(std::size_t(d.width) * d.height * 3);
        d.ok = tjDecompress2(tj, jpeg.data(), jpeg.size(), d.rgb.data(), d.width, 0, d.height, TJPF_RGB,
                             TJFLAG_STOPONWARNING) == 0;
    }
    tjDestroy(tj);
    return d;
}

double luma(const Decoded &d, double x, double y) {
    double sum = 0;
    int n = 0;
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
            const int xi = int(std::lround(x)) + dx, yi = int(std::lround(y)) + dy;
            const std::uint8_t *p = &d.rgb[(std::size_t(yi) * d.width + xi) * 3];
            sum += 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            ++n;
        }
    return sum / n;
}

class VcamV4l2 : public ::testing::Test {
protected:
    vcam::Testbed bed{vcam::Udev::Off};
};

TEST_F(VcamV4l2, CapabilitiesOfCaptureAndMetadataNodes) {
    vcam::Camera &cam = bed.addCamera();
    EXPECT_EQ(cam.captureNode(), "/dev/video0");
    EXPECT_EQ(cam.metaNode(), "/dev/video1");
    EXPECT_EQ(access(cam.captureNode().c_str(), R_OK | W_OK), 0);
    Stream cap(cam.captureNode()), meta(cam.metaNode());
    ASSERT_GE(cap.fd, 0);
    ASSERT_GE(meta.fd, 0);
    v4l2_capability c{};
    ASSERT_EQ(xioctl(cap.fd, VIDIOC_QUERYCAP, &c), 0);
    EXPECT_TRUE(c.device_caps & V4L2_CAP_VIDEO_CAPTURE);
    EXPECT_TRUE(c.device_caps & V4L2_CAP_STREAMING);
    EXPECT_STREQ(reinterpret_cast<const char *>(c.card), cam.profile().model.c_str());
    ASSERT_EQ(xioctl(meta.fd, VIDIOC_QUERYCAP, &c), 0);
    EXPECT_FALSE(c.device_caps & V4L2_CAP_VIDEO_CAPTURE);
    EXPECT_TRUE(c.device_caps & V4L2_CAP_META_CAPTURE);
    v4l2_fmtdesc fd{};
    fd.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(xioctl(meta.fd, VIDIOC_ENUM_FMT, &fd), EINVAL);
    EXPECT_EQ(ioctl(cap.fd, VIDIOC_QUERYCAP, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST_F(VcamV4l2, DefaultProfileEnumeratesFormatsSizesAndIntervals) {
    vcam::Camera &cam = bed.addCamera();
    Stream s(cam.captureNode());
    std::vector<std::uint32_t> formats;
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> sizes;
    for (std::uint32_t i = 0;; ++i) {
        v4l2_fmtdesc f{};
        f.index = i;
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(s.fd, VIDIOC_ENUM_FMT, &f) != 0)
            break;
        formats.push_back(f.pixelformat);
        sizes.emplace_back();
        for (std::uint32_t k = 0;; ++k) {
            v4l2_frmsizeenum fs{};
            fs.index = k;
            fs.pixel_format = f.pixelformat;
            if (xioctl(s.fd, VIDIOC_ENUM_FRAMESIZES, &fs) != 0)
                break;
            EXPECT_EQ(fs.type, V4L2_FRMSIZE_TYPE_DISCRETE);
            sizes.back().emplace_back(fs.discrete.width, fs.discrete.height);
            v4l2_frmivalenum fi{};
            fi.pixel_format = f.pixelformat;
            fi.width = fs.discrete.width;
            fi.height = fs.discrete.height;
            ASSERT_EQ(xioctl(s.fd, VIDIOC_ENUM_FRAMEINTERVALS, &fi), 0);
            EXPECT_EQ(fi.discrete.numerator, 1u);
            EXPECT_EQ(fi.discrete.denominator, 15u);
        }
    }
    ASSERT_EQ(formats, (std::vector<std::uint32_t>{V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}));
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> mjpg = {
        {2592, 1944}, {2048, 1536}, {1920, 1080}, {1600, 1200}, {1280, 720}, {640, 480}};
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> yuyv = {{1280, 720}, {640, 480}};
    EXPECT_EQ(sizes[0], mjpg);
    EXPECT_EQ(sizes[1], yuyv);

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(s.fd, VIDIOC_G_PARM, &parm), 0);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 15u);
    EXPECT_TRUE(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME);
}

TEST_F(VcamV4l2, StepwiseProfileAndFormatNegotiation) {
    vcam::CameraOptions opt;
    opt.profile = "stepwise-test";
    vcam::Camera &cam = bed.addCamera(opt);
    Stream s(cam.captureNode());
    v4l2_frmsizeenum fs{};
    fs.pixel_format = V4L2_PIX_FMT_MJPEG;
    ASSERT_EQ(xioctl(s.fd, VIDIOC_ENUM_FRAMESIZES, &fs), 0);
    EXPECT_EQ(fs.type, V4L2_FRMSIZE_TYPE_STEPWISE);
    EXPECT_EQ(fs.stepwise.min_width, 160u);
    EXPECT_EQ(fs.stepwise.max_width, 1280u);
    fs.index = 1;
    EXPECT_EQ(xioctl(s.fd, VIDIOC_ENUM_FRAMESIZES, &fs), EINVAL);

    v4l2_format f{};
    ASSERT_EQ(s.setFormat(V4L2_PIX_FMT_MJPEG, 1000, 10000, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 1008u); // rounded to the 16-pixel step
    EXPECT_EQ(f.fmt.pix.height, 960u); // clamped
    // An unknown pixel format is replaced, not refused.
    ASSERT_EQ(s.setFormat(v4l2_fourcc('A', 'B', 'C', 'D'), 640, 480, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(cam.width(), 640u);
    // No CROPCAP on this model.
    v4l2_cropcap cc{};
    cc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(xioctl(s.fd, VIDIOC_CROPCAP, &cc), ENOTTY);
}

TEST_F(VcamV4l2, CropModesAndExposureControls) {
    vcam::CameraOptions opt;
    opt.overrideCrop = true;
    opt.crop = vcam::CropMode::Accept;
    vcam::Camera &accepting = bed.addCamera(opt);
    vcam::Camera &refusing = bed.addCamera(); // the default profile cannot crop
    EXPECT_EQ(refusing.captureNode(), "/dev/video2");

    for (vcam::Camera *cam : {&accepting, &refusing}) {
        Stream s(cam->captureNode());
        v4l2_cropcap cc{};
        cc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ASSERT_EQ(xioctl(s.fd, VIDIOC_CROPCAP, &cc), 0);
        EXPECT_EQ(cc.defrect.width, 640u);
        v4l2_crop crop{};
        crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        crop.c = cc.defrect;
        EXPECT_EQ(xioctl(s.fd, VIDIOC_S_CROP, &crop), cam == &accepting ? 0 : EINVAL);
    }

    Stream s(accepting.captureNode());
    v4l2_control c{V4L2_CID_EXPOSURE_AUTO, 0};
    ASSERT_EQ(xioctl(s.fd, VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 3);
    c = {V4L2_CID_EXPOSURE_AUTO, 1};
    ASSERT_EQ(xioctl(s.fd, VIDIOC_S_CTRL, &c), 0);
    c = {V4L2_CID_EXPOSURE_AUTO, 2}; // not a menu item of this camera
    EXPECT_EQ(xioctl(s.fd, VIDIOC_S_CTRL, &c), EINVAL);
    c = {V4L2_CID_EXPOSURE_AUTO, 0};
    ASSERT_EQ(xioctl(s.fd, VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 1);
    c = {V4L2_CID_EXPOSURE_ABSOLUTE, 300};
    ASSERT_EQ(xioctl(s.fd, VIDIOC_S_CTRL, &c), 0);
    c = {V4L2_CID_EXPOSURE_ABSOLUTE, 0};
    ASSERT_EQ(xioctl(s.fd, VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 300);
    c = {V4L2_CID_EXPOSURE, 0};
    ASSERT_EQ(xioctl(s.fd, VIDIOC_G_CTRL, &c), 0);
    EXPECT_EQ(c.value, 128);
    c = {V4L2_CID_BRIGHTNESS, 0};
    EXPECT_EQ(xioctl(s.fd, VIDIOC_G_CTRL, &c), EINVAL);
}

TEST_F(VcamV4l2, StreamingDeliversJpegsWithPageAtGroundTruth) {
    vcam::CameraOptions opt;
    opt.scene.angleDeg = 5;
    vcam::Camera &cam = bed.addCamera(opt);
    Stream s(cam.captureNode());
    ASSERT_EQ(s.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), 0);
    EXPECT_EQ(s.start(), 4u);
    EXPECT_TRUE(cam.streaming());
    EXPECT_FALSE(s.readable());
    v4l2_buffer b{};
    EXPECT_EQ(fcntl(s.fd, F_SETFL, O_NONBLOCK), 0);
    EXPECT_EQ(s.dequeue(b), EAGAIN);

    vcam::Point corners[4];
    cam.corners(corners);
    std::vector<std::size_t> sizes;
    for (std::uint32_t n = 0; n < 6; ++n) {
        ASSERT_TRUE(cam.tick());
        ASSERT_TRUE(s.readable());
        ASSERT_EQ(s.dequeue(b), 0);
        EXPECT_EQ(b.sequence, n);
        EXPECT_FALSE(b.flags & V4L2_BUF_FLAG_ERROR);
        const auto jpeg = s.bytes(b);
        sizes.push_back(jpeg.size());
        const Decoded d = decodeJpeg(jpeg);
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(d.width, 1280);
        ASSERT_EQ(d.height, 720);
        if (n == 0) {
            double cx = 0, cy = 0;
            for (auto &c : corners) {
                cx += c.x / 4;
                cy += c.y / 4;
            }
            for (auto &c : corners) {
                const double dx = cx - c.x, dy = cy - c.y, len = std::hypot(dx, dy);
                EXPECT_GT(luma(d, c.x + dx / len * 6, c.y + dy / len * 6), 160);
                EXPECT_LT(luma(d, c.x - dx / len * 6, c.y - dy / len * 6), 130);
            }
        }
        ASSERT_EQ(s.requeue(b), 0);
    }
    // The byte count changes from frame to frame.
    std::sort(sizes.begin(), sizes.end());
    EXPECT_GT(std::unique(sizes.begin(), sizes.end()) - sizes.begin(), 1);
    EXPECT_EQ(cam.framesDelivered(), 6u);
}

TEST_F(VcamV4l2, YuyvFramesAndBlockingDequeue) {
    vcam::Camera &cam = bed.addCamera();
    Stream s(cam.captureNode());
    v4l2_format f{};
    ASSERT_EQ(s.setFormat(V4L2_PIX_FMT_YUYV, 640, 480, &f), 0);
    EXPECT_EQ(f.fmt.pix.bytesperline, 1280u);
    s.start();
    std::thread producer([&] {
        // Tick once the client is waiting in DQBUF (no buffer done yet).
        cam.waitFor([](const vcam::Camera &c) { return c.buffersQueued() == 4; });
        cam.tick();
    });
    v4l2_buffer b{};
    ASSERT_EQ(s.dequeue(b), 0);
    producer.join();
    EXPECT_EQ(b.bytesused, 640u * 480u * 2u);
    // Luma just inside the page's top-left corner is bright (margin), of
    // the desk corner dark.
    vcam::Point c[4];
    cam.corners(c);
    const int x = int(c[0].x + (c[2].x - c[0].x) * 0.03), y = int(c[0].y + (c[2].y - c[0].y) * 0.03);
    const auto bytes = s.bytes(b);
    EXPECT_GT(bytes[std::size_t(y * 640 + x) * 2], 150);
    EXPECT_LT(bytes[(5 * 640 + 4) * 2], 120);
}

TEST_F(VcamV4l2, StreamoffWakesBlockedDequeueWithEinval) {
    vcam::Camera &cam = bed.addCamera();
    Stream s(cam.captureNode());
    s.start(2);
    int rc = -1;
    std::thread waiter([&] {
        v4l2_buffer b{};
        rc = s.dequeue(b);
    });
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // The waiter may or may not be blocked yet: either way DQBUF must fail.
    ASSERT_EQ(xioctl(s.fd, VIDIOC_STREAMOFF, &type), 0);
    waiter.join();
    EXPECT_EQ(rc, EINVAL);
    EXPECT_FALSE(cam.streaming());
    // STREAMOFF without buffers also succeeds; sequence restarts at STREAMON.
    v4l2_requestbuffers rb{};
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(xioctl(s.fd, VIDIOC_REQBUFS, &rb), 0);
    EXPECT_EQ(xioctl(s.fd, VIDIOC_STREAMOFF, &type), 0);
}

TEST_F(VcamV4l2, GrantedBufferCountIsConfigurable) {
    for (unsigned granted : {2u, 6u}) {
        vcam::CameraOptions opt;
        opt.buffers = granted;
        opt.captureNode = "/dev/video" + std::to_string(10 + granted);
        opt.metaNode = "/dev/video" + std::to_string(20 + granted);
        vcam::Camera &cam = bed.addCamera(opt);
        Stream s(cam.captureNode());
        EXPECT_EQ(s.start(4), granted);
        EXPECT_EQ(cam.buffersAllocated(), granted);
        EXPECT_EQ(cam.buffersMapped(), granted);
        for (unsigned i = 0; i < granted; ++i)
            EXPECT_TRUE(cam.tick());
        EXPECT_FALSE(cam.tick()); // every buffer is full
        EXPECT_EQ(cam.buffersDone(), granted);
    }
}

TEST_F(VcamV4l2, SecondDescriptorCannotTakeBuffersOrFormat) {
    vcam::Camera &cam = bed.addCamera();
    Stream a(cam.captureNode()), b(cam.captureNode());
    EXPECT_EQ(cam.openDescriptors(), 2u);
    a.start();
    v4l2_requestbuffers rb{};
    rb.count = 4;
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(xioctl(b.fd, VIDIOC_REQBUFS, &rb), EBUSY);
    EXPECT_EQ(xioctl(a.fd, VIDIOC_REQBUFS, &rb), EBUSY); // streaming
    EXPECT_EQ(b.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), EBUSY);
}

TEST_F(VcamV4l2, StallCorruptShortAndErrorFrames) {
    vcam::Camera &cam = bed.addCamera();
    Stream s(cam.captureNode());
    s.start();
    v4l2_buffer b{};

    cam.setStall(true);
    EXPECT_FALSE(cam.tick());
    EXPECT_FALSE(s.readable(50));
    cam.setStall(false);

    cam.corruptFrames(1);
    ASSERT_TRUE(cam.tick());
    ASSERT_EQ(s.dequeue(b), 0);
    EXPECT_FALSE(decodeJpeg(s.bytes(b)).ok);
    ASSERT_EQ(s.requeue(b), 0);

    cam.shortFrames(1, 100);
    ASSERT_TRUE(cam.tick());
    ASSERT_EQ(s.dequeue(b), 0);
    EXPECT_EQ(b.bytesused, 100u);
    ASSERT_EQ(s.requeue(b), 0);

    cam.errorFrames(1);
    ASSERT_TRUE(cam.tick());
    ASSERT_EQ(s.dequeue(b), 0);
    EXPECT_TRUE(b.flags & V4L2_BUF_FLAG_ERROR);
    ASSERT_EQ(s.requeue(b), 0);

    // The counts ran out: the next frame is whole again.
    ASSERT_TRUE(cam.tick());
    ASSERT_EQ(s.dequeue(b), 0);
    EXPECT_FALSE(b.flags & V4L2_BUF_FLAG_ERROR);
    EXPECT_GT(b.bytesused, 1000u);
    EXPECT_TRUE(decodeJpeg(s.bytes(b)).ok);
}

TEST_F(VcamV4l2, EintrAndRefusedSetFormat) {
    vcam::Camera &cam = bed.addCamera();
    Stream s(cam.captureNode());
    cam.failIoctls(2);
    v4l2_capability c{};
    EXPECT_EQ(xioctl(s.fd, VIDIOC_QUERYCAP, &c), EINTR);
    EXPECT_EQ(xioctl(s.fd, VIDIOC_QUERYCAP, &c), EINTR);
    EXPECT_EQ(xioctl(s.fd, VIDIOC_QUERYCAP, &c), 0);

    cam.refuseSetFormat(EBUSY);
    EXPECT_EQ(s.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), EBUSY);
    EXPECT_EQ(cam.width(), 640u);
    cam.refuseSetFormat(0);
    EXPECT_EQ(s.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), 0);
    EXPECT_EQ(cam.width(), 1280u);
}

TEST_F(VcamV4l2, UnplugWhileStreamingFailsEverythingWithEnodev) {
    vcam::Camera &cam = bed.addCamera();
    Stream s(cam.captureNode());
    s.start();
    int rc = -1;
    std::thread waiter([&] {
        v4l2_buffer b{};
        rc = s.dequeue(b);
    });
    cam.waitFor([](const vcam::Camera &c) { return c.buffersQueued() == 4; });
    bed.unplug(cam);
    waiter.join();
    EXPECT_TRUE(rc == ENODEV || rc == EINVAL) << rc;
    EXPECT_TRUE(s.readable());
    v4l2_capability c{};
    EXPECT_EQ(xioctl(s.fd, VIDIOC_QUERYCAP, &c), ENODEV);
    v4l2_buffer b{};
    EXPECT_EQ(s.dequeue(b), ENODEV);
    EXPECT_FALSE(cam.tick());
    EXPECT_EQ(open(cam.captureNode().c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(access(cam.captureNode().c_str(), F_OK), 0);

    bed.plug(cam);
    Stream again(cam.captureNode());
    ASSERT_GE(again.fd, 0);
    EXPECT_EQ(xioctl(again.fd, VIDIOC_QUERYCAP, &c), 0);
    EXPECT_EQ(xioctl(s.fd, VIDIOC_QUERYCAP, &c), ENODEV); // old descriptor stays dead
}

TEST_F(VcamV4l2, ClockDeliversFramesAtStreamRate) {
    vcam::Camera &cam = bed.addCamera();
    Stream s(cam.captureNode());
    s.start();
    cam.startClock();
    v4l2_buffer b{};
    for (int n = 0; n < 3; ++n) {
        ASSERT_TRUE(s.readable(5000));
        ASSERT_EQ(s.dequeue(b), 0);
        ASSERT_EQ(s.requeue(b), 0);
    }
    cam.stopClock();
    EXPECT_GE(cam.framesDelivered(), 3u);
}

TEST_F(VcamV4l2, BuffersStayMappedAfterClose) {
    vcam::Camera &cam = bed.addCamera();
    void *p = nullptr;
    std::size_t len = 0;
    {
        Stream s(cam.captureNode());
        s.start();
        cam.tick();
        p = s.maps[0].first;
        len = s.maps[0].second;
        s.maps.clear(); // keep the mapping past close
    }
    EXPECT_EQ(cam.openDescriptors(), 0u);
    EXPECT_FALSE(cam.streaming());
    // The page still belongs to the process and holds the frame's JPEG.
    const auto *bytes = static_cast<const std::uint8_t *>(p);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    EXPECT_EQ(munmap(p, len), 0);
}

} // namespace

namespace {

TEST(VcamV4l2Lifetime, DescriptorOutlivingTheTestbedFailsWithEnodev) {
    int fd = -1;
    {
        vcam::Testbed bed(vcam::Udev::Off);
        vcam::Camera &cam = bed.addCamera();
        fd = open(cam.captureNode().c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
    }
    v4l2_capability c{};
    EXPECT_EQ(xioctl(fd, VIDIOC_QUERYCAP, &c), ENODEV);
    EXPECT_EQ(close(fd), 0);
    // The node paths are free again for the next testbed.
    vcam::Testbed again(vcam::Udev::Off);
    EXPECT_EQ(again.addCamera().captureNode(), "/dev/video0");
}

} // namespace
