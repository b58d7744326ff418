// In-process testbed: cameras registered straight into the engine, the udev
// side in a umockdev testbed of this process.
#include "vcam/vcam.h"

#include "clock.h"
#include "engine.h"
#include "jpeg_util.h"
#include "udevbed.h"

#include <dlfcn.h>

#include <algorithm>
#include <stdexcept>

namespace vcam {

bool umockdevPreloaded() {
    // A name only libumockdev-preload defines (umockdev_in_mock_environment()
    // answers only once a testbed exists).
    return dlsym(RTLD_DEFAULT, "ioctl_tree_new_from_text") != nullptr;
}

struct Camera::Impl {
    int index = 0;
    std::shared_ptr<const Profile> profile;
    // Shared with the nodes: descriptors the code under test still holds
    // after the testbed is gone keep reading it.
    std::shared_ptr<ControlBlock> controlBlock = std::make_shared<ControlBlock>();
    ControlBlock &control = *controlBlock;
    std::shared_ptr<Node> capture, meta;
    UdevCamera udev;
    std::unique_ptr<FrameClock> clock;
    std::mutex clockMutex;

    // Snapshot of the capture node's session under its lock.
    template <class F>
    auto withSession(F f) const -> decltype(f(std::declval<const Session &>())) {
        std::shared_ptr<Session> s = Engine::instance().sessionOf(capture);
        using R = decltype(f(std::declval<const Session &>()));
        if (!s)
            return R{};
        std::lock_guard<std::mutex> lock(s->mutex);
        return f(*s);
    }
};

struct Testbed::Impl {
    std::unique_ptr<UdevBed> udev;
    std::vector<std::unique_ptr<Camera>> cameras;
    std::mutex mutex;
};

Camera::Camera(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Camera::~Camera() {
    stopClock();
    Engine::instance().removeNode(impl_->capture->path);
    Engine::instance().removeNode(impl_->meta->path);
}

const std::string &Camera::captureNode() const { return impl_->capture->path; }
const std::string &Camera::metaNode() const { return impl_->meta->path; }
const Profile &Camera::profile() const { return *impl_->profile; }
int Camera::index() const { return impl_->index; }

bool Camera::tick() { return Engine::instance().tick(impl_->capture); }

void Camera::startClock() {
    std::lock_guard<std::mutex> lock(impl_->clockMutex);
    if (!impl_->clock) {
        std::shared_ptr<Node> node = impl_->capture;
        impl_->clock = std::make_unique<FrameClock>([node] { return std::vector<std::shared_ptr<Node>>{node}; });
    }
}

void Camera::stopClock() {
    std::unique_ptr<FrameClock> clock;
    {
        std::lock_guard<std::mutex> lock(impl_->clockMutex);
        clock = std::move(impl_->clock);
    }
    clock.reset(); // joins outside the lock
}

std::uint32_t Camera::framesDelivered() const { return impl_->control.frames.load(); }

void Camera::setScene(double angleDeg, double centerX, double centerY, double scale) {
    impl_->control.angleMilliDeg = std::int32_t(angleDeg * 1000.0);
    impl_->control.centerXMicro = std::int32_t(centerX * 1e6);
    impl_->control.centerYMicro = std::int32_t(centerY * 1e6);
    impl_->control.scaleMicro = std::int32_t(scale * 1e6);
    Engine::instance().notifyChange();
}

SceneParams Camera::sceneParams() const {
    SceneParams p = impl_->capture->scene();
    p.width = int(width());
    p.height = int(height());
    return p;
}

void Camera::corners(Point out[4]) const { sceneCorners(sceneParams(), out); }

bool Camera::streaming() const {
    return impl_->withSession([](const Session &s) { return s.streaming; });
}
std::uint32_t Camera::width() const {
    return impl_->withSession([](const Session &s) { return s.width; });
}
std::uint32_t Camera::height() const {
    return impl_->withSession([](const Session &s) { return s.height; });
}
std::uint32_t Camera::pixelFormat() const {
    const Profile &p = *impl_->profile;
    return impl_->withSession([&p](const Session &s) { return p.formats[s.formatIndex].fourcc; });
}
std::uint32_t Camera::fps() const {
    return impl_->withSession([](const Session &s) { return s.fps; });
}
unsigned Camera::buffersAllocated() const {
    return impl_->withSession([](const Session &s) { return unsigned(s.buffers.size()); });
}
unsigned Camera::buffersQueued() const {
    return impl_->withSession([](const Session &s) { return unsigned(s.queued.size()); });
}
unsigned Camera::buffersDone() const {
    return impl_->withSession([](const Session &s) { return unsigned(s.done.size()); });
}
unsigned Camera::buffersMapped() const {
    return impl_->withSession([](const Session &s) {
        return unsigned(std::count_if(s.buffers.begin(), s.buffers.end(),
                                      [](const Session::Buffer &b) { return b.mappings > 0; }));
    });
}
unsigned Camera::openDescriptors() const { return Engine::instance().openCount(impl_->capture); }
bool Camera::plugged() const { return Engine::instance().present(impl_->capture); }

bool Camera::waitFor(const std::function<bool(const Camera &)> &pred, std::chrono::milliseconds timeout) const {
    return Engine::instance().waitChange([&] { return pred(*this); }, timeout);
}

void Camera::setStall(bool on) {
    impl_->control.stall = on ? 1 : 0;
    Engine::instance().notifyChange();
}
void Camera::corruptFrames(unsigned count) { impl_->control.corrupt = count; }
void Camera::shortFrames(unsigned count, std::uint32_t bytes) {
    impl_->control.shortBytes = bytes;
    impl_->control.shortCount = count;
}
void Camera::errorFrames(unsigned count) { impl_->control.errorCount = count; }
void Camera::overlongFrames(unsigned count) { impl_->control.overlongCount = count; }
void Camera::failIoctls(unsigned count, int err) {
    impl_->control.failErrno = std::uint32_t(err);
    impl_->control.failCount = count;
}
void Camera::refuseSetFormat(int err) { impl_->control.sfmtErrno = std::uint32_t(err); }

// ---------------------------------------------------------------------------

Testbed::Testbed(Udev udev) : impl_(std::make_unique<Impl>()) {
    if (udev == Udev::On) {
        if (!umockdevPreloaded())
            throw std::runtime_error("vcam::Testbed with udev needs LD_PRELOAD=libumockdev-preload.so.0");
        impl_->udev = std::make_unique<UdevBed>();
    }
}

Testbed::~Testbed() {
    for (auto &cam : impl_->cameras)
        unplug(*cam);
    impl_->cameras.clear();
    impl_->udev.reset();
}

Camera &Testbed::addCamera(const CameraOptions &options) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto profile = std::make_shared<Profile>();
    std::string err;
    if (!loadProfile(options.profile, *profile, &err))
        throw std::runtime_error(err);
    if (options.buffers)
        profile->buffers = options.buffers;
    if (options.overrideCrop)
        profile->crop = options.crop;
    if (options.vid)
        profile->vid = options.vid;
    if (options.pid)
        profile->pid = options.pid;

    auto impl = std::make_unique<Camera::Impl>();
    const int index = int(impl_->cameras.size());
    impl->index = index;
    impl->profile = profile;
    impl->control.angleMilliDeg = std::int32_t(options.scene.angleDeg * 1000.0);
    impl->control.centerXMicro = std::int32_t(options.scene.centerX * 1e6);
    impl->control.centerYMicro = std::int32_t(options.scene.centerY * 1e6);
    impl->control.scaleMicro = std::int32_t(options.scene.scale * 1e6);
    const std::string capturePath =
        options.captureNode.empty() ? "/dev/video" + std::to_string(2 * index) : options.captureNode;
    const std::string metaPath =
        options.metaNode.empty() ? "/dev/video" + std::to_string(2 * index + 1) : options.metaNode;
    for (const std::string &path : {capturePath, metaPath})
        if (Engine::instance().findNode(path))
            throw std::runtime_error("virtual node already exists: " + path);
    const std::string bus = "usb-0000:00:14.0-" + std::to_string(index + 1);
    auto makeNode = [&](const std::string &path, bool meta) {
        auto node = std::make_shared<Node>();
        node->path = path;
        node->meta = meta;
        node->cameraIndex = index;
        node->profile = profile;
        node->control = impl->controlBlock.get();
        node->controlOwner = impl->controlBlock;
        node->busInfo = bus;
        return node;
    };
    impl->capture = makeNode(capturePath, false);
    impl->meta = makeNode(metaPath, true);
    impl->udev.index = index;
    impl->udev.captureNode = capturePath;
    impl->udev.metaNode = metaPath;
    impl->udev.vid = profile->vid;
    impl->udev.pid = profile->pid;
    impl->udev.model = profile->model;
    impl->udev.vendor = profile->vendor;
    impl->udev.serial = profile->serial;

    Camera *cam = new Camera(std::move(impl));
    impl_->cameras.emplace_back(cam);
    Engine::instance().addNode(cam->impl_->capture);
    Engine::instance().addNode(cam->impl_->meta);
    if (impl_->udev)
        impl_->udev->plug(cam->impl_->udev);
    return *cam;
}

Camera &Testbed::camera(int index) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return *impl_->cameras.at(std::size_t(index));
}

int Testbed::cameraCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return int(impl_->cameras.size());
}

void Testbed::unplug(Camera &cam) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    // The V4L2 side dies first, as when the kernel loses the device; udev
    // reports it afterwards.
    cam.impl_->control.present = 0;
    Engine::instance().unplug(cam.impl_->capture);
    Engine::instance().unplug(cam.impl_->meta);
    if (impl_->udev)
        impl_->udev->unplug(cam.impl_->udev);
}

void Testbed::plug(Camera &cam) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    cam.impl_->control.present = 1;
    Engine::instance().plug(cam.impl_->capture);
    Engine::instance().plug(cam.impl_->meta);
    if (impl_->udev)
        impl_->udev->plug(cam.impl_->udev);
}

bool Testbed::udev() const { return impl_->udev != nullptr; }

std::string Testbed::rootDir() const { return impl_->udev ? impl_->udev->rootDir() : std::string(); }

} // namespace vcam
