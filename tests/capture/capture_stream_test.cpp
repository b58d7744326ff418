// Streaming of CameraCapture against the virtual document camera: buffers,
// delivery rules, and stopping, starting and closing from every side.
#include <atomic>
#include <chrono>
#include <fstream>
#include <condition_variable>
#include <mutex>
#include <gtest/gtest.h>
#include <set>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "cameracapture.h"
#include "capture_support.h"
#include "vcam/vcam.h"

using capture_test::FrameSink;
using capture_test::StdoutCapture;
using namespace std::chrono_literals;

namespace {

const char kExitLine[] = "CameraCapture::doing_Capture exit \n";

class CaptureStream : public ::testing::Test {
protected:
    vcam::Camera &add(unsigned buffers = 0, const std::string &profile = "docam-5mp")
    {
        vcam::CameraOptions options;
        options.buffers = buffers;
        options.profile = profile;
        return bed.addCamera(options);
    }
    // Opens `cam`, selects entry `resNo` of its list (none when negative)
    // and starts streaming into the sink.
    void start(CameraCapture &cap, vcam::Camera &cam, int resNo = -1)
    {
        ASSERT_EQ(cap.OpenCameraCapture(cam.captureNode().c_str()), 0);
        if (resNo >= 0) {
            ASSERT_EQ(cap.SetCameraResolution(resNo), 0);
        }
        ASSERT_EQ(cap.StartCameraCapture(&FrameSink::callback), 0);
        ASSERT_TRUE(cam.streaming());
    }
    // One frame from the camera, delivered: waits until the sink has n.
    void deliver(vcam::Camera &cam, std::size_t n)
    {
        ASSERT_TRUE(cam.tick());
        ASSERT_TRUE(sink.waitFrames(n)) << "frame " << n << " never arrived; queued " << cam.buffersQueued()
                                        << ", done " << cam.buffersDone() << ", streaming " << cam.streaming();
    }

    vcam::Testbed bed{vcam::Udev::Off};
    FrameSink sink; // outlives every camera object of a test
};

class GrantedBuffers : public CaptureStream, public ::testing::WithParamInterface<unsigned> {};

TEST_P(GrantedBuffers, StreamsThroughEveryGrantedBufferAndReleasesThem)
{
    const unsigned granted = GetParam();
    vcam::Camera &cam = add(granted);
    CameraCapture cap;
    start(cap, cam);
    EXPECT_EQ(cam.buffersAllocated(), granted);
    EXPECT_EQ(cam.buffersMapped(), granted);

    std::set<const void *> seen;
    for (unsigned i = 1; i <= 2 * granted; ++i)
        deliver(cam, i);
    for (const auto &f : sink.frames()) {
        seen.insert(f.data);
        EXPECT_TRUE(f.isJpeg);
        EXPECT_EQ(f.width, 640);
        EXPECT_EQ(f.height, 480);
    }
    EXPECT_EQ(seen.size(), granted);

    EXPECT_EQ(cap.StopCameraCapture(), 0);
    EXPECT_FALSE(cam.streaming());
    EXPECT_EQ(cam.buffersMapped(), 0u);
    EXPECT_EQ(cam.buffersAllocated(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Counts, GrantedBuffers, ::testing::Values(2u, 4u, 6u));

TEST_F(CaptureStream, FramesBelowTheMinimumSizeOrBeyondTheirBufferAreNotDelivered)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    start(cap, cam, 2); // 1920 x 1080: at least 20 x 1920 bytes
    cam.shortFrames(1, 38399);
    ASSERT_TRUE(cam.tick());
    cam.shortFrames(1, 38400);
    deliver(cam, 1);
    cam.errorFrames(1); // a buffer the driver flags as damaged
    ASSERT_TRUE(cam.tick());
    cam.overlongFrames(1); // more bytes used than the buffer holds
    ASSERT_TRUE(cam.tick());
    deliver(cam, 2);
    const auto frames = sink.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_LE(frames[1].size, 1920 * 1080 * 2) << "a frame beyond its buffer was delivered";
    EXPECT_EQ(frames[0].size, 38400);
    EXPECT_EQ(frames[0].width, 1920);
    EXPECT_EQ(frames[0].height, 1080);
    EXPECT_GT(frames[1].size, 38400);
    // Every buffer, delivered or not, went back to the driver.
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.buffersQueued() == 4; }));

    // At a height of 50 or less the minimum is the width in bytes.
    const std::string low = ::testing::TempDir() + "low-strip.json";
    std::ofstream(low) << R"({"formats": [{"fourcc": "MJPG", "sizes": [[320, 40]]}], "defaultSize": [320, 40]})";
    vcam::Camera &strip = add(0, low);
    CameraCapture other;
    start(other, strip, 0);
    strip.shortFrames(1, 319);
    ASSERT_TRUE(strip.tick());
    strip.shortFrames(1, 320);
    deliver(strip, 3);
    EXPECT_EQ(sink.frames()[2].size, 320);
    EXPECT_EQ(sink.frames()[2].height, 40);
}

TEST_F(CaptureStream, ReportsTheSizeLastSetNotTheFrameSize)
{
    const std::string hd = ::testing::TempDir() + "hd-default.json";
    std::ofstream(hd) << R"({"formats": [{"fourcc": "MJPG", "sizes": [[1280, 720]]}], "defaultSize": [1280, 720]})";
    vcam::Camera &cam = add(0, hd);
    CameraCapture cap;
    start(cap, cam);
    StdoutCapture out;
    cam.failIoctls(3, EINTR); // interrupted requests are repeated
    deliver(cam, 1);
    EXPECT_EQ(out.count("Error::"), 0u);
    EXPECT_EQ(cam.width(), 1280u);
    EXPECT_EQ(sink.frames()[0].width, 640);
    EXPECT_EQ(sink.frames()[0].height, 480);
    EXPECT_TRUE(sink.frames()[0].isJpeg);
}

TEST_F(CaptureStream, StopWakesAWaitingThreadAndStartWorksAgain)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    start(cap, cam);
    deliver(cam, 1);
    // A second start while streaming is refused; the stream goes on.
    EXPECT_EQ(cap.StartCameraCapture(&FrameSink::callback), -35);
    deliver(cam, 2);

    // No frame comes: the thread sits in its one-second frame wait, and a
    // stop must not have to sit it out.
    cam.setStall(true);
    StdoutCapture out;
    ASSERT_TRUE(out.waitFor("info::CamCapture_Frame ::Select Timeout\n"));
    // Let the thread get past its pacing pause into the next frame wait.
    std::this_thread::sleep_for(300ms);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(cap.StopCameraCapture(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_NE(out.text().find(std::string(kExitLine) + "CameraCapture::StopCameraCapture() stop\n"
                                                       "CameraCapture::StopCameraCapture() release\n"),
              std::string::npos);
    EXPECT_EQ(cam.buffersMapped(), 0u);

    // Stop then start on the same open camera, at another size (the
    // driver's buffers went back with the stop): a new thread delivers.
    cam.setStall(false);
    ASSERT_EQ(cap.SetCameraResolution(4), 0);
    ASSERT_EQ(cap.StartCameraCapture(&FrameSink::callback), 0);
    deliver(cam, 3);
    EXPECT_NE(sink.frames()[1].tid, sink.frames()[2].tid);
    EXPECT_EQ(sink.frames()[2].width, 1280);
    EXPECT_EQ(out.count(kExitLine), 1u);

    // A refused buffer request fails the start and leaves nothing behind.
    EXPECT_EQ(cap.StopCameraCapture(), 0);
    cam.failIoctls(1, EIO);
    EXPECT_EQ(cap.StartCameraCapture(&FrameSink::callback), -35);
    EXPECT_EQ(out.count("Error:: StartCameraCapture ::VIDIOC_REQBUFS Error\n"), 1u);
    EXPECT_EQ(cam.buffersAllocated(), 0u);

    EXPECT_EQ(cap.CloseCameraCapture(), 0);
    EXPECT_NE(out.text().find("CameraCapture::StopCameraCapture() stop\nCameraCapture::CamCapture_Close() stop\n"),
              std::string::npos);
    EXPECT_EQ(cam.openDescriptors(), 0u);
    EXPECT_EQ(cap.StopCameraCapture(), -32);
}

TEST_F(CaptureStream, PendingStopsAreWithdrawnByAStartOrLeftToTheThread)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    enum { Plain, StopAndStart, Block };
    std::atomic<int> mode{StopAndStart}, stopResult{1}, startResult{1};
    // Each blocked callback waits for one opening of the gate.
    std::mutex gateMutex;
    std::condition_variable gateCv;
    bool gateOpen = false;
    auto openGate = [&] {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            gateOpen = true;
        }
        gateCv.notify_all();
    };
    sink.onFrame = [&](const capture_test::Frame &) {
        if (mode == StopAndStart) {
            mode = Plain;
            stopResult = cap.StopCameraCapture(); // cannot wait for itself
            startResult = cap.StartCameraCapture(&FrameSink::callback);
        } else if (mode == Block) {
            std::unique_lock<std::mutex> lock(gateMutex);
            gateCv.wait(lock, [&] { return gateOpen; });
            gateOpen = false;
        }
    };
    StdoutCapture out;
    start(cap, cam);
    deliver(cam, 1);
    deliver(cam, 2);
    EXPECT_EQ(stopResult, 0);
    EXPECT_EQ(startResult, 0);
    EXPECT_EQ(sink.frames()[0].tid, sink.frames()[1].tid);
    EXPECT_EQ(out.count(kExitLine), 0u);

    // A callback that does not return: the stop gives up after its bound,
    // unmaps nothing under the thread, and a start withdraws the stop.
    mode = Block;
    ASSERT_TRUE(cam.tick());
    ASSERT_TRUE(sink.waitEntered(3));
    EXPECT_EQ(cap.StopCameraCapture(), 0);
    EXPECT_EQ(cam.buffersMapped(), 4u);
    EXPECT_EQ(cap.StartCameraCapture(&FrameSink::callback), 0);
    mode = Plain;
    openGate();
    deliver(cam, 4);
    EXPECT_EQ(sink.frames()[3].tid, sink.frames()[0].tid);
    EXPECT_EQ(out.count(kExitLine), 0u);

    // A close that gives up on such a callback leaves the descriptor and
    // the buffers to the thread, which lets go of them once it returns.
    mode = Block;
    ASSERT_TRUE(cam.tick());
    ASSERT_TRUE(sink.waitEntered(5));
    EXPECT_EQ(cap.CloseCameraCapture(), 0);
    EXPECT_FALSE(cap.IsOpen());
    EXPECT_EQ(cam.openDescriptors(), 1u);
    EXPECT_EQ(cam.buffersMapped(), 4u);
    mode = Plain;
    openGate();
    ASSERT_TRUE(out.waitFor(kExitLine));
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.openDescriptors() == 0; }));
    EXPECT_EQ(cam.buffersMapped(), 0u);
}

TEST_F(CaptureStream, CloseOrDestroyFromInsideTheCallback)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    CameraCapture *owned = nullptr;
    enum { Plain, Close, Destroy };
    std::atomic<int> mode{Close}, closeResult{1};
    sink.onFrame = [&](const capture_test::Frame &f) {
        if (mode == Close) {
            closeResult = cap.CloseCameraCapture();
            // The frame stays readable until the callback returns.
            volatile unsigned char last = static_cast<const unsigned char *>(f.data)[f.size - 1];
            (void)last;
        } else if (mode == Destroy) {
            delete owned;
        }
        mode = Plain;
    };
    StdoutCapture out;
    start(cap, cam);
    deliver(cam, 1);
    ASSERT_TRUE(out.waitFor(kExitLine));
    EXPECT_EQ(closeResult, 0);
    EXPECT_FALSE(cap.IsOpen());
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.openDescriptors() == 0; }));
    EXPECT_EQ(cam.buffersMapped(), 0u);
    EXPECT_FALSE(cam.streaming());

    // The same object opens and streams again.
    start(cap, cam);
    deliver(cam, 2);
    EXPECT_EQ(cap.CloseCameraCapture(), 0);

    owned = new CameraCapture;
    start(*owned, cam);
    mode = Destroy;
    deliver(cam, 3);
    ASSERT_TRUE(out.waitFor(kExitLine, 3));
    EXPECT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.openDescriptors() == 0; }));
    EXPECT_EQ(cam.buffersMapped(), 0u);
}

TEST_F(CaptureStream, UnplugPrintsOneLineAndTheThreadStaysQuiet)
{
    vcam::Camera &cam = add();
    CameraCapture cap;
    start(cap, cam);
    deliver(cam, 1);
    const pthread_t thread = sink.frames()[0].thread;
    ASSERT_TRUE(cam.waitFor([](const vcam::Camera &c) { return c.buffersQueued() == 4; }));

    StdoutCapture out;
    bed.unplug(cam);
    ASSERT_TRUE(out.waitFor("Error::CamCapture_CallBack ::VIDIOC_DQBUF\n"));
    const double cpuBefore = capture_test::threadCpuMs(thread);
    // Watch the thread for longer than a frame wait: no spin, no more lines.
    std::this_thread::sleep_for(1500ms);
    const double cpuUsed = capture_test::threadCpuMs(thread) - cpuBefore;
    EXPECT_EQ(out.text(), "Error::CamCapture_CallBack ::VIDIOC_DQBUF\n");
    EXPECT_GE(cpuUsed, 0.0);
    EXPECT_LT(cpuUsed, 300.0);

    EXPECT_EQ(cap.StopCameraCapture(), 0);
    EXPECT_EQ(out.count(kExitLine), 1u);
    EXPECT_EQ(cap.CloseCameraCapture(), 0);
}

} // namespace
