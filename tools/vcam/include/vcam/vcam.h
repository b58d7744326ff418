// In-process control of the virtual document camera, for GoogleTest.
//
// Link the test executable with the CMake target `vcam_inprocess`.  It puts
// wrappers of open/close/ioctl/mmap/munmap/dup/access into the executable and
// exports them (-Wl,--dynamic-list), so every V4L2 call the code under test
// makes on a virtual node path lands in the simulation, whatever library
// makes it.  Other paths and descriptors pass through to libc untouched.
//
//     vcam::Testbed bed;                       // udev side too, see below
//     vcam::Camera &cam = bed.addCamera();     // /dev/video0 + /dev/video1
//     CameraCapture cap; cap.OpenCameraCapture(cam.captureNode().c_str());
//     ... StartCameraCapture(cb) ...
//     cam.tick();                               // exactly one frame, now
//     cam.waitFor([](const vcam::Camera &c) { return c.buffersDone() == 0; });
//
// Frames are produced only by tick() (deterministic), or at the stream's
// frame rate once startClock() was called.
//
// udev: with `Testbed(Udev::On)` (the default) the cameras are also added to
// a umockdev testbed, so real libudev enumerates them and a udev monitor sees
// "add"/"remove" events on plug()/unplug().  That needs the process to run
// with LD_PRELOAD=libumockdev-preload.so.0 (ctest: set the ENVIRONMENT
// property, see docs/virtual-camera.md); Testbed(Udev::On) throws
// std::runtime_error without it.  `Udev::Off` gives the V4L2 side alone,
// which also runs under AddressSanitizer and ThreadSanitizer.
//
// Thread-safety: every method may be called from any thread; the testbed
// object itself must outlive the code that uses its nodes.
#pragma once

#include "vcam/profile.h"
#include "vcam/scene.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vcam {

constexpr unsigned kAllFrames = 0xffffffffu; // "until switched off" for the frame faults

struct CameraOptions {
    // Camera model: a profile name from tools/vcam/profiles ("docam-5mp",
    // "stepwise-test") or a path to a profile file.
    std::string profile = "docam-5mp";
    // Buffer count every VIDIOC_REQBUFS grants; 0 keeps the profile's (4).
    unsigned buffers = 0;
    // Overrides the profile's CROPCAP/S_CROP behaviour when set.
    bool overrideCrop = false;
    CropMode crop = CropMode::Accept;
    // Node paths; empty: /dev/video<2n> and /dev/video<2n+1> for the n-th camera.
    std::string captureNode, metaNode;
    // Overrides the profile's USB numbers when not 0.
    std::uint16_t vid = 0, pid = 0;
    // Page angle, position and scale (width/height are taken from the format).
    SceneParams scene;
};

class Testbed;

// One virtual camera: a capture node and a metadata node.
class Camera {
public:
    const std::string &captureNode() const;
    const std::string &metaNode() const;
    const Profile &profile() const;
    int index() const; // position in the testbed, from 0

    // --- frames -------------------------------------------------------
    // Fills the oldest queued buffer with the next frame and makes it ready
    // for VIDIOC_DQBUF (the descriptor turns readable).  Returns false when
    // nothing was delivered: not streaming, no buffer queued, stalled or
    // unplugged.
    bool tick();
    // Produce frames on an internal thread at the stream's frame rate
    // (real-time behaviour for demos and end-to-end tests).
    void startClock();
    void stopClock();
    // Frames delivered so far.
    std::uint32_t framesDelivered() const;

    // --- scene ground truth -------------------------------------------------
    // Changes angle, centre and scale for the next VIDIOC_STREAMON.
    void setScene(double angleDeg, double centerX, double centerY, double scale);
    // Page corners (TL, TR, BR, BL) in pixels of the current format size;
    // the same values as renderScene() of sceneParams() gives.
    void corners(Point out[4]) const;
    SceneParams sceneParams() const; // with width/height of the current format

    // --- state ------------------------------------------------------------
    bool streaming() const;
    std::uint32_t width() const;       // current format
    std::uint32_t height() const;
    std::uint32_t pixelFormat() const; // fourcc, e.g. V4L2_PIX_FMT_MJPEG
    std::uint32_t fps() const;
    unsigned buffersAllocated() const;
    unsigned buffersQueued() const;    // waiting for a frame
    unsigned buffersDone() const;      // ready for VIDIOC_DQBUF
    unsigned buffersMapped() const;    // buffers with at least one live mapping
    unsigned openDescriptors() const;  // open descriptors of the capture node
    bool plugged() const;

    // Waits until `pred(*this)` holds or the timeout passes, for tests that
    // must see a state the code under test reaches on another thread.  The
    // predicate is re-checked whenever any virtual node changes state (every
    // open, close, ioctl, frame and plug event).  Returns the last value.
    bool waitFor(const std::function<bool(const Camera &)> &pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // --- faults -------------------------------------------------------------
    void setStall(bool on);                          // no frames at all
    void corruptFrames(unsigned count);              // next `count` frames are damaged JPEGs
    void shortFrames(unsigned count, std::uint32_t bytes); // bytesused cut to `bytes`
    void errorFrames(unsigned count);                // delivered with V4L2_BUF_FLAG_ERROR
    void overlongFrames(unsigned count);             // bytesused one beyond the buffer's length
    void failIoctls(unsigned count, int err = EINTR); // next `count` ioctls fail with err
    void refuseSetFormat(int err = EBUSY);           // VIDIOC_S_FMT fails; 0 accepts again

    ~Camera();

private:
    friend class Testbed;
    struct Impl;
    explicit Camera(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

enum class Udev { On, Off };

// A set of virtual cameras.  Cameras are plugged in when added.
class Testbed {
public:
    explicit Testbed(Udev udev = Udev::On);
    ~Testbed(); // unplugs and forgets every camera
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    Camera &addCamera(const CameraOptions &options = {});
    Camera &camera(int index);
    int cameraCount() const;

    // Unplug while streaming or idle: every ioctl on open descriptors fails
    // with ENODEV, the descriptors turn readable, opening the node fails with
    // ENOENT, the udev devices go away with a "remove" event.
    void unplug(Camera &cam);
    // Plug the camera back: new descriptors work again (old ones stay dead),
    // udev sees "add".
    void plug(Camera &cam);

    bool udev() const;
    // Root folder of the umockdev testbed (empty without udev).
    std::string rootDir() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// True when libumockdev-preload is active in this process.
bool umockdevPreloaded();

} // namespace vcam
