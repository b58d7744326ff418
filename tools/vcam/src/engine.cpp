// V4L2 answers of the virtual camera.
//
// The descriptor handed to the program is an eventfd(EFD_SEMAPHORE) whose
// counter is the number of finished buffers, so select/poll/epoll readiness
// comes from the kernel without wrapping them.  Buffers live in one memfd;
// the program maps slices of it through the mmap wrapper.
#include "engine.h"
#include "marks.h"

#include <linux/version.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

namespace vcam {
namespace {

constexpr const char *kDriver = "vcam";
constexpr std::uint64_t kUnpluggedCount = 1ull << 40; // readable for good

std::size_t pageAlign(std::size_t n) {
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

void copyString(std::uint8_t *dst, std::size_t cap, const std::string &src) {
    std::memset(dst, 0, cap);
    std::memcpy(dst, src.data(), std::min(cap - 1, src.size()));
}

bool isMjpeg(std::uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_MJPEG; }

// Frame size closest to the request among what a format offers.
FrameSize nearestSize(const PixelFormat &f, std::uint32_t w, std::uint32_t h) {
    if (f.stepwise) {
        const StepwiseRange &r = f.range;
        auto fit = [](std::uint32_t v, std::uint32_t lo, std::uint32_t hi, std::uint32_t step) {
            v = std::min(std::max(v, lo), hi);
            return lo + (v - lo + step / 2) / step * step > hi ? lo + (v - lo) / step * step
                                                               : lo + (v - lo + step / 2) / step * step;
        };
        return {fit(w, r.minWidth, r.maxWidth, r.stepWidth), fit(h, r.minHeight, r.maxHeight, r.stepHeight)};
    }
    FrameSize best = f.sizes.front();
    std::uint64_t bestDist = UINT64_MAX;
    for (const FrameSize &s : f.sizes) {
        const std::uint64_t d = std::uint64_t(std::llabs(std::int64_t(s.width) - w)) +
                                std::uint64_t(std::llabs(std::int64_t(s.height) - h));
        if (d < bestDist) {
            bestDist = d;
            best = s;
        }
    }
    return best;
}

bool hasSize(const PixelFormat &f, std::uint32_t w, std::uint32_t h) {
    const FrameSize n = nearestSize(f, w, h);
    return n.width == w && n.height == h;
}

std::uint32_t sizeImage(std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
    // UVC cameras report width * height * 2 for both formats here: the
    // largest MJPG frame they promise fits a YUYV frame.
    (void)fourcc;
    return w * h * 2;
}

void fillPixFormat(v4l2_pix_format &pix, std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
    std::memset(&pix, 0, sizeof pix);
    pix.width = w;
    pix.height = h;
    pix.pixelformat = fourcc;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = isMjpeg(fourcc) ? 0 : w * 2;
    pix.sizeimage = sizeImage(fourcc, w, h);
    pix.colorspace = isMjpeg(fourcc) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
}

// Controls: the three exposure controls plus the class controls that the
// V4L2 control framework always adds.
struct CtrlDesc {
    std::uint32_t id;
    std::uint32_t type;
    const char *name;
    std::int32_t min, max, step;
};

constexpr std::uint32_t kMenuMask = (1u << 1) | (1u << 3); // manual, aperture priority

const CtrlDesc kCtrls[] = {
    {V4L2_CID_USER_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "User Controls", 0, 0, 0},
    {V4L2_CID_EXPOSURE, V4L2_CTRL_TYPE_INTEGER, "Exposure", 0, 255, 1},
    {V4L2_CID_CAMERA_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "Camera Controls", 0, 0, 0},
    {V4L2_CID_EXPOSURE_AUTO, V4L2_CTRL_TYPE_MENU, "Auto Exposure", 0, 3, 0},
    {V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time, Absolute", 1, 5000, 1},
};

const CtrlDesc *findCtrl(std::uint32_t id) {
    for (const CtrlDesc &c : kCtrls)
        if (c.id == id)
            return &c;
    return nullptr;
}

struct CtrlRange {
    std::int32_t min, max, step, def;
};

CtrlRange rangeOf(const CtrlDesc &c, const Profile &p) {
    switch (c.id) {
    case V4L2_CID_EXPOSURE:
        return {c.min, c.max, c.step, p.exposure};
    case V4L2_CID_EXPOSURE_AUTO:
        return {c.min, c.max, 1, p.exposureAuto};
    case V4L2_CID_EXPOSURE_ABSOLUTE:
        return {p.exposureAbsoluteMin, p.exposureAbsoluteMax, 1, p.exposureAbsolute};
    default:
        return {0, 0, 0, 0};
    }
}

int *ctrlValue(Session &s, std::uint32_t id) {
    switch (id) {
    case V4L2_CID_EXPOSURE:
        return &s.exposure;
    case V4L2_CID_EXPOSURE_AUTO:
        return &s.exposureAuto;
    case V4L2_CID_EXPOSURE_ABSOLUTE:
        return &s.exposureAbsolute;
    default:
        return nullptr;
    }
}

// Checks a new value the way the control framework does: integers are
// clamped to the range and step, menu values must be valid items.
int checkCtrlValue(const CtrlDesc &c, const CtrlRange &r, std::int32_t &value) {
    if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        return -EACCES;
    if (c.type == V4L2_CTRL_TYPE_MENU) {
        (void)r.step;
        if (value < r.min || value > r.max)
            return -ERANGE;
        if (!(kMenuMask & (1u << value)))
            return -EINVAL;
        return 0;
    }
    value = std::min(std::max(value, r.min), r.max);
    if (r.step > 1)
        value = r.min + (value - r.min + r.step / 2) / r.step * r.step;
    return 0;
}

void fillQueryCtrl(v4l2_query_ext_ctrl &q, const CtrlDesc &c, const Profile &p) {
    const std::uint32_t id = q.id;
    std::memset(&q, 0, sizeof q);
    q.id = c.id;
    (void)id;
    q.type = c.type;
    copyString(reinterpret_cast<std::uint8_t *>(q.name), sizeof q.name, c.name);
    const CtrlRange r = rangeOf(c, p);
    q.minimum = r.min;
    q.maximum = r.max;
    q.step = std::uint64_t(r.step);
    q.default_value = r.def;
    if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        q.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    q.elem_size = c.type == V4L2_CTRL_TYPE_CTRL_CLASS ? 0 : 4;
    q.elems = 1;
    q.nr_of_dims = 0;
}

// The next control after `id` in id order (V4L2_CTRL_FLAG_NEXT_CTRL).
const CtrlDesc *nextCtrl(std::uint32_t id) {
    const CtrlDesc *best = nullptr;
    for (const CtrlDesc &c : kCtrls)
        if (c.id > id && (!best || c.id < best->id))
            best = &c;
    return best;
}

const CtrlDesc *lookupQuery(std::uint32_t rawId) {
    const std::uint32_t flags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
    if ((rawId & flags) == V4L2_CTRL_FLAG_NEXT_COMPOUND)
        return nullptr; // no compound controls
    if (rawId & flags)
        return nextCtrl(rawId & ~flags);
    return findCtrl(rawId);
}

// Requests the V4L2 core refuses to descriptors of lower priority.
bool changesState(unsigned r) {
    switch (r) {
    case VIDIOC_S_FMT: case VIDIOC_S_PARM: case VIDIOC_S_CROP: case VIDIOC_S_SELECTION: case VIDIOC_S_INPUT:
    case VIDIOC_S_CTRL: case VIDIOC_S_EXT_CTRLS: case VIDIOC_REQBUFS: case VIDIOC_STREAMON: case VIDIOC_STREAMOFF:
    case VIDIOC_CREATE_BUFS:
        return true;
    default:
        return false;
    }
}

bool knownRequest(unsigned r) {
    switch (r) {
    case VIDIOC_QUERYCAP: case VIDIOC_ENUM_FMT: case VIDIOC_ENUM_FRAMESIZES: case VIDIOC_ENUM_FRAMEINTERVALS:
    case VIDIOC_G_FMT: case VIDIOC_S_FMT: case VIDIOC_TRY_FMT: case VIDIOC_G_PARM: case VIDIOC_S_PARM:
    case VIDIOC_CROPCAP: case VIDIOC_G_CROP: case VIDIOC_S_CROP: case VIDIOC_G_SELECTION: case VIDIOC_S_SELECTION:
    case VIDIOC_ENUMINPUT: case VIDIOC_G_INPUT: case VIDIOC_S_INPUT: case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL: case VIDIOC_QUERYMENU: case VIDIOC_G_CTRL: case VIDIOC_S_CTRL:
    case VIDIOC_G_EXT_CTRLS: case VIDIOC_S_EXT_CTRLS: case VIDIOC_TRY_EXT_CTRLS: case VIDIOC_REQBUFS:
    case VIDIOC_QUERYBUF: case VIDIOC_QBUF: case VIDIOC_DQBUF: case VIDIOC_STREAMON: case VIDIOC_STREAMOFF:
    case VIDIOC_CREATE_BUFS: case VIDIOC_G_PRIORITY: case VIDIOC_S_PRIORITY: case VIDIOC_SUBSCRIBE_EVENT: case VIDIOC_UNSUBSCRIBE_EVENT:
    case VIDIOC_DQEVENT:
        return true;
    default:
        return false;
    }
}

v4l2_event ctrlEvent(const CtrlDesc &c, const CtrlRange &r, std::int32_t value, std::uint32_t changes) {
    v4l2_event ev{};
    ev.type = V4L2_EVENT_CTRL;
    ev.id = c.id;
    ev.u.ctrl.changes = changes;
    ev.u.ctrl.type = c.type;
    ev.u.ctrl.value = value;
    if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        ev.u.ctrl.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
    ev.u.ctrl.minimum = r.min;
    ev.u.ctrl.maximum = r.max;
    ev.u.ctrl.step = r.step;
    ev.u.ctrl.default_value = r.def;
    return ev;
}

std::uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

void pushEvent(EventState &es, v4l2_event ev) {
    constexpr std::size_t kMaxPending = 32;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ev.timestamp = ts;
    ev.sequence = es.sequence++;
    if (es.queue.size() >= kMaxPending)
        es.queue.pop_front();
    es.queue.push_back(ev);
}

// Tells every subscriber of a control but the one that changed it (unless
// it asked for feedback) about the new value.  Session mutex held.
void announceValue(Session &s, const EventState *origin, const CtrlDesc &c, const CtrlRange &r,
                   std::int32_t value) {
    for (auto &weak : s.eventStates) {
        std::shared_ptr<EventState> es = weak.lock();
        if (!es)
            continue;
        for (const auto &sub : es->subs)
            if (sub.id == c.id && (es.get() != origin || (sub.flags & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK)))
                pushEvent(*es, ctrlEvent(c, r, value, V4L2_EVENT_CTRL_CH_VALUE));
    }
}

// Wakes Engine::waitChange() when the enclosing call is over (after its locks).
struct ChangeGuard {
    Engine &engine;
    ~ChangeGuard() { engine.notifyChange(); }
};

} // namespace

// ---------------------------------------------------------------------------

Session::~Session() { releaseBuffers(); }

void Session::releaseBuffers() {
    if (memory)
        real::munmap(memory, memorySize);
    memory = nullptr;
    if (memfd >= 0)
        real::close(memfd);
    memfd = -1;
    buffers.clear();
    queued.clear();
    done.clear();
    owner = -1;
    ownerDesc = 0;
    streaming = false;
    memorySize = 0;
}

int Session::addBuffers(unsigned count, std::size_t length) {
    length = pageAlign(length);
    if (memfd < 0)
        memfd = memfd_create("vcam-buffers", MFD_CLOEXEC);
    if (memfd < 0)
        return -errno;
    const std::size_t newSize = memorySize + length * count;
    if (ftruncate(memfd, off_t(newSize)) != 0)
        return -errno;
    // The program's own mappings of earlier slices stay valid; only the
    // engine's view of the whole file is renewed.
    void *mem = real::mmap(nullptr, newSize, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
    if (mem == MAP_FAILED)
        return -errno;
    if (memory)
        real::munmap(memory, memorySize);
    memory = static_cast<std::uint8_t *>(mem);
    for (unsigned i = 0; i < count; ++i) {
        Buffer b;
        b.offset = memorySize + i * length;
        b.length = length;
        buffers.push_back(b);
    }
    memorySize = newSize;
    return 0;
}

int Session::bufferAt(std::size_t offset) const {
    for (std::size_t i = 0; i < buffers.size(); ++i)
        if (buffers[i].offset == offset)
            return int(i);
    return -1;
}

SceneParams Node::scene() const {
    SceneParams p;
    if (control) {
        p.angleDeg = control->angleMilliDeg.load() / 1000.0;
        p.centerX = control->centerXMicro.load() / 1e6;
        p.centerY = control->centerYMicro.load() / 1e6;
        p.scale = control->scaleMicro.load() / 1e6;
    }
    p.seed = std::uint32_t(cameraIndex + 1);
    return p;
}

Engine &Engine::instance() {
    static Engine *engine = new Engine; // never destroyed: wrappers may run during exit
    g_engineInstance.store(engine, std::memory_order_release);
    return *engine;
}

static std::shared_ptr<Session> newSession(const Node &node) {
    auto s = std::make_shared<Session>();
    const Profile &p = *node.profile;
    s->formatIndex = 0;
    const FrameSize size = nearestSize(p.formats[0], p.defaultSize.width, p.defaultSize.height);
    s->width = size.width;
    s->height = size.height;
    s->fps = p.fps.front();
    s->crop = {0, 0, size.width, size.height};
    s->exposureAuto = p.exposureAuto;
    s->exposureAbsolute = p.exposureAbsolute;
    s->exposure = p.exposure;
    return s;
}

void Engine::addNode(const std::shared_ptr<Node> &node) {
    if (!node->session)
        node->session = newSession(*node);
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_[node->path] = node;
}

void Engine::removeNode(const std::string &path) {
    std::shared_ptr<Node> node = findNode(path);
    if (node)
        unplug(node);
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.erase(path);
}

std::shared_ptr<Node> Engine::findNode(const std::string &path) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodes_.find(path);
        if (it != nodes_.end())
            return it->second;
    }
    if (resolver) {
        std::shared_ptr<Node> node = resolver(path);
        if (node) {
            addNode(node);
            return node;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<Node>> Engine::nodes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Node>> out;
    for (auto &kv : nodes_)
        out.push_back(kv.second);
    return out;
}

void Engine::unplug(const std::shared_ptr<Node> &node) {
    ChangeGuard changed{*this};
    std::shared_ptr<Session> s;
    std::vector<int> fds;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = node->session;
        node->session.reset();
        if (!s)
            return;
        for (auto &kv : files_)
            if (kv.second->session == s)
                fds.push_back(kv.first);
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    s->dead = true;
    s->streaming = false;
    // Readable for good, so a program waiting in select/poll wakes and then
    // meets ENODEV (an eventfd cannot raise POLLERR/POLLHUP).
    for (int fd : fds)
        eventfd_write(fd, kUnpluggedCount);
    s->cv.notify_all();
}

void Engine::plug(const std::shared_ptr<Node> &node) {
    ChangeGuard changed{*this};
    std::lock_guard<std::mutex> lock(mutex_);
    if (!node->session)
        node->session = newSession(*node);
    nodes_[node->path] = node;
}

int Engine::open(const std::string &path, int flags) {
    ChangeGuard changed{*this};
    std::shared_ptr<Node> node = findNode(path);
    if (!node)
        return -ENOENT;
    std::lock_guard<std::mutex> lock(mutex_);
    if (node->control && !node->control->present.load())
        return -ENOENT;
    if (!node->session && node->control) // plugged back by another process
        node->session = newSession(*node);
    std::shared_ptr<Session> s = node->session;
    if (!s)
        return -ENOENT;
    if ((flags & O_ACCMODE) == O_WRONLY)
        return -EINVAL;
    int efdFlags = EFD_SEMAPHORE;
    if (flags & O_NONBLOCK)
        efdFlags |= EFD_NONBLOCK;
    if (flags & O_CLOEXEC)
        efdFlags |= EFD_CLOEXEC;
    const int fd = eventfd(0, efdFlags);
    if (fd < 0)
        return -errno;
    if (!marks::markFd(fd)) { // beyond what the wrappers can tell apart
        real::close(fd);
        return -EMFILE;
    }
    auto of = std::make_shared<OpenFile>();
    of->fd = fd;
    of->desc = nextDesc_++;
    of->node = node;
    of->session = s;
    {
        std::lock_guard<std::mutex> slock(s->mutex);
        s->eventStates.push_back(of->events);
    }
    files_[fd] = of;
    return fd;
}

bool Engine::openable(const std::shared_ptr<Node> &node) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (node->control)
        return node->control->present.load() != 0;
    return node->session != nullptr;
}

std::shared_ptr<Session> Engine::sessionOf(const std::shared_ptr<Node> &node) {
    std::lock_guard<std::mutex> lock(mutex_);
    return node->session;
}

bool Engine::isVirtual(int fd) { return marks::fdMarked(fd); }

bool Engine::eventPending(int fd) {
    if (!marks::fdMarked(fd))
        return false;
    std::shared_ptr<OpenFile> of;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = files_.find(fd);
        if (it == files_.end())
            return false;
        of = it->second;
    }
    std::lock_guard<std::mutex> lock(of->session->mutex);
    return !of->events->queue.empty();
}

int Engine::dup(int oldfd, int newfd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(oldfd);
    if (it == files_.end())
        return -EBADF;
    if (!marks::markFd(newfd))
        return -EMFILE; // stays a plain eventfd
    auto copy = std::make_shared<OpenFile>(*it->second); // same description
    copy->fd = newfd;
    files_[newfd] = copy;
    return newfd;
}

int Engine::close(int fd) {
    if (!marks::fdMarked(fd))
        return -EBADF;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = files_.find(fd);
        if (it == files_.end())
            return -EBADF;
        std::shared_ptr<OpenFile> of = it->second;
        // Forget the descriptor before the real close, so a number the kernel
        // hands out again is not taken for ours.
        files_.erase(it);
        marks::unmarkFd(fd);
        int sibling = -1; // a dup() of the same open keeps the queue
        for (auto &kv : files_)
            if (kv.second->desc == of->desc)
                sibling = kv.first;
        Session &s = *of->session;
        std::lock_guard<std::mutex> slock(s.mutex);
        if (s.ownerDesc == of->desc) {
            if (sibling >= 0) {
                s.owner = sibling;
            } else {
                s.cv.notify_all();
                s.releaseBuffers(); // mappings keep their own reference to the pages
            }
        }
    }
    const int rc = real::close(fd);
    notifyChange();
    return rc;
}

unsigned Engine::openCount(const std::shared_ptr<Node> &node) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned n = 0;
    for (auto &kv : files_)
        if (kv.second->node == node && kv.second->session == node->session)
            ++n;
    return n;
}

void Engine::notifyChange() {
    {
        std::lock_guard<std::mutex> lock(changeMutex_);
        ++changes_;
    }
    changeCv_.notify_all();
}

bool Engine::waitChange(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(changeMutex_);
    while (true) {
        const std::uint64_t seen = changes_;
        lock.unlock();
        if (pred())
            return true;
        lock.lock();
        if (changes_ == seen && changeCv_.wait_until(lock, end) == std::cv_status::timeout && changes_ == seen) {
            lock.unlock();
            return pred();
        }
    }
}

void *Engine::mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t offset) {
    ChangeGuard changed{*this};
    std::shared_ptr<OpenFile> of;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = files_.find(fd);
        if (it == files_.end()) {
            errno = EBADF;
            return MAP_FAILED;
        }
        of = it->second;
    }
    Session &s = *of->session;
    void *p;
    unsigned index;
    {
        std::lock_guard<std::mutex> slock(s.mutex);
        if (s.dead || of->node->meta) {
            errno = ENODEV;
            return MAP_FAILED;
        }
        const int found = offset >= 0 ? s.bufferAt(std::size_t(offset)) : -1;
        if (!(flags & MAP_SHARED) || !(prot & PROT_READ) || s.memfd < 0 || found < 0 || len == 0 ||
            len > s.buffers[std::size_t(found)].length) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        p = real::mmap(addr, len, prot, flags, s.memfd, offset);
        if (p == MAP_FAILED)
            return p;
        index = unsigned(found);
        s.buffers[index].mappings++;
    }
    // Registry lock only after the node lock is released (lock order:
    // registry, then node).
    std::lock_guard<std::mutex> lock(mutex_);
    if (!marks::markMapping(p)) {
        real::munmap(p, len);
        std::lock_guard<std::mutex> slock(s.mutex);
        if (index < s.buffers.size() && s.buffers[index].mappings)
            s.buffers[index].mappings--;
        errno = ENOMEM;
        return MAP_FAILED;
    }
    mappings_[reinterpret_cast<std::uintptr_t>(p)] = Mapping{of->session, index, len};
    return p;
}

bool Engine::munmap(void *addr, std::size_t len, int *result) {
    if (!marks::mappingMarked(addr))
        return false;
    ChangeGuard changed{*this};
    Mapping m;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = mappings_.find(reinterpret_cast<std::uintptr_t>(addr));
        if (it == mappings_.end())
            return false;
        m = it->second;
        mappings_.erase(it);
        marks::unmarkMapping(addr);
    }
    *result = real::munmap(addr, len);
    std::lock_guard<std::mutex> slock(m.session->mutex);
    if (m.index < m.session->buffers.size() && m.session->buffers[m.index].mappings)
        m.session->buffers[m.index].mappings--;
    return true;
}

std::uint32_t Engine::streamingFps(const std::shared_ptr<Node> &node) {
    std::shared_ptr<Session> s;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = node->session;
    }
    if (!s)
        return 0;
    std::lock_guard<std::mutex> slock(s->mutex);
    return s->streaming ? s->fps : 0;
}

bool Engine::tick(const std::shared_ptr<Node> &node) {
    ChangeGuard changed{*this};
    if (node->meta)
        return false;
    std::shared_ptr<Session> sp;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sp = node->session;
    }
    if (!sp)
        return false;
    ControlBlock *ctl = node->control;
    Session &s = *sp;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.dead || !s.streaming || !s.frames || s.memory == nullptr)
        return false;
    if (ctl && ctl->stall.load())
        return false;
    if (s.queued.empty()) {
        s.sequence++; // the camera sent a frame nobody had room for
        if (ctl)
            ctl->missed.fetch_add(1);
        return false;
    }
    const unsigned index = s.queued.front();
    s.queued.pop_front();
    Session::Buffer &b = s.buffers[index];
    const std::vector<std::uint8_t> &frame = s.frames->variants[s.frameCounter % s.frames->variants.size()];
    s.frameCounter++;
    std::uint8_t *dst = s.memory + b.offset;
    std::uint32_t used = std::uint32_t(std::min<std::size_t>(frame.size(), b.length));
    b.flags = 0;
    if (ctl && ControlBlock::take(ctl->corrupt) && isMjpeg(s.bufFourcc)) {
        const std::vector<std::uint8_t> bad = corruptJpeg(frame);
        used = std::uint32_t(std::min<std::size_t>(bad.size(), b.length));
        std::memcpy(dst, bad.data(), used);
    } else {
        std::memcpy(dst, frame.data(), used);
    }
    if (ctl && ControlBlock::take(ctl->shortCount))
        used = std::min(used, ctl->shortBytes.load());
    if (ctl && ControlBlock::take(ctl->errorCount))
        b.flags |= V4L2_BUF_FLAG_ERROR;
    b.bytesused = used;
    b.sequence = s.sequence++;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    b.timestamp.tv_sec = ts.tv_sec;
    b.timestamp.tv_usec = ts.tv_nsec / 1000;
    b.state = Session::BufState::Done;
    s.done.push_back(index);
    b.frameNo = 0;
    if (ctl) {
        const std::uint32_t n = ctl->frames.fetch_add(1);
        ctl->stampDelivered(n, std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec));
        b.frameNo = n + 1;
    }
    eventfd_write(s.owner, 1);
    s.cv.notify_all();
    return true;
}

// ---------------------------------------------------------------------------

int Engine::ioctl(int fd, unsigned long requestLong, void *arg) {
    static const bool trace = std::getenv("VCAM_TRACE") != nullptr;
    const bool reqbufs = trace && unsigned(requestLong) == VIDIOC_REQBUFS && arg;
    const unsigned asked = reqbufs ? static_cast<v4l2_requestbuffers *>(arg)->count : 0;
    const int rc = ioctlInner(fd, requestLong, arg);
    if (trace) // debugging aid: every answer on standard error
        std::fprintf(stderr, "vcam: fd %d ioctl 0x%08x nr %u -> %d%s\n", fd, unsigned(requestLong),
                     unsigned(_IOC_NR(requestLong)), rc,
                     reqbufs ? (" count " + std::to_string(asked) + " -> " +
                                std::to_string(static_cast<v4l2_requestbuffers *>(arg)->count))
                                   .c_str()
                             : "");
    return rc;
}

int Engine::ioctlInner(int fd, unsigned long requestLong, void *arg) {
    std::shared_ptr<OpenFile> of;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = files_.find(fd);
        if (it == files_.end())
            return -EBADF;
        of = it->second;
    }
    const unsigned request = unsigned(requestLong); // compare as 32-bit numbers
    Session &s = *of->session;
    const Node &node = *of->node;
    ControlBlock *ctl = node.control;
    if (s.dead || (ctl && !ctl->present.load()))
        return -ENODEV;
    if (!arg)
        return knownRequest(request) ? -EFAULT : -ENOTTY;
    if (ctl && ControlBlock::take(ctl->failCount))
        return -int(ctl->failErrno.load() ? ctl->failErrno.load() : EINTR);

    if (request == VIDIOC_QUERYCAP) {
        auto *cap = static_cast<v4l2_capability *>(arg);
        std::memset(cap, 0, sizeof *cap);
        copyString(cap->driver, sizeof cap->driver, kDriver);
        copyString(cap->card, sizeof cap->card, node.profile->model);
        copyString(cap->bus_info, sizeof cap->bus_info, node.busInfo);
        cap->version = LINUX_VERSION_CODE;
        const std::uint32_t capture = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        const std::uint32_t meta = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        // As with the kernel: `capabilities` is the whole device (both nodes),
        // `device_caps` this node only.
        cap->device_caps = node.meta ? meta : capture;
        cap->capabilities = capture | meta | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    if (node.meta) {
        // The metadata node answers only what a program needs to tell it apart.
        switch (request) {
        case VIDIOC_ENUM_FMT: {
            auto *f = static_cast<v4l2_fmtdesc *>(arg);
            if (f->type != V4L2_BUF_TYPE_META_CAPTURE || f->index != 0)
                return -EINVAL;
            const std::uint32_t index = f->index, type = f->type;
            std::memset(f, 0, sizeof *f);
            f->index = index;
            f->type = type;
            f->pixelformat = V4L2_META_FMT_UVC;
            copyString(f->description, sizeof f->description, "UVC Payload Header Metadata");
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT:
        case VIDIOC_REQBUFS:
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
            return -EINVAL;
        default:
            return -ENOTTY;
        }
    }
    if (request == VIDIOC_LOG_STATUS)
        return 0;
    // Priorities as the V4L2 core keeps them: per descriptor; setting calls
    // from a descriptor below the highest priority fail with EBUSY.
    if (request == VIDIOC_G_PRIORITY || request == VIDIOC_S_PRIORITY || changesState(request)) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::uint32_t highest = V4L2_PRIORITY_UNSET;
        for (auto &kv : files_)
            if (kv.second->session == of->session)
                highest = std::max(highest, kv.second->priority);
        if (request == VIDIOC_G_PRIORITY) {
            *static_cast<std::uint32_t *>(arg) = highest;
            return 0;
        }
        if (request == VIDIOC_S_PRIORITY) {
            const std::uint32_t want = *static_cast<std::uint32_t *>(arg);
            if (want > V4L2_PRIORITY_RECORD)
                return -EINVAL;
            if (of->priority < highest)
                return -EBUSY;
            for (auto &kv : files_) // dup()s share the open file's priority
                if (kv.second->desc == of->desc)
                    kv.second->priority = want == V4L2_PRIORITY_UNSET ? std::uint32_t(V4L2_PRIORITY_DEFAULT) : want;
            return 0;
        }
        if (of->priority < highest)
            return -EBUSY;
    }
    int rc;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.dead)
            return -ENODEV;
        rc = capIoctl(*of, s, request, arg, lock);
    }
    notifyChange();
    return rc;
}

int Engine::capIoctl(OpenFile &of, Session &s, unsigned request, void *arg, std::unique_lock<std::mutex> &lock) {
    const Node &node = *of.node;
    const Profile &p = *node.profile;
    ControlBlock *ctl = node.control;
    const auto &formats = p.formats;
    auto isCapture = [](std::uint32_t type) { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE; };
    auto findFormat = [&](std::uint32_t fourcc) -> int {
        for (std::size_t i = 0; i < formats.size(); ++i)
            if (formats[i].fourcc == fourcc)
                return int(i);
        return -1;
    };
    auto busy = [&]() { return !s.buffers.empty() || s.streaming; };
    auto notOwner = [&]() { return s.ownerDesc != 0 && s.ownerDesc != of.desc; };

    switch (request) {
    case VIDIOC_LOG_STATUS:
        return 0;
    case VIDIOC_SUBSCRIBE_EVENT:
    case VIDIOC_UNSUBSCRIBE_EVENT: {
        auto *sub = static_cast<v4l2_event_subscription *>(arg);
        EventState &es = *of.events;
        if (request == VIDIOC_UNSUBSCRIBE_EVENT) {
            if (sub->type == V4L2_EVENT_ALL)
                es.subs.clear();
            else if (sub->type == V4L2_EVENT_CTRL)
                es.subs.erase(std::remove_if(es.subs.begin(), es.subs.end(),
                                             [&](const EventState::Sub &x) { return x.id == sub->id; }),
                              es.subs.end());
            return 0;
        }
        if (sub->type != V4L2_EVENT_CTRL)
            return -EINVAL;
        const CtrlDesc *d = findCtrl(sub->id);
        if (!d)
            return -EINVAL;
        for (const auto &x : es.subs)
            if (x.id == sub->id)
                return 0;
        es.subs.push_back({sub->id, sub->flags});
        if ((sub->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) && d->type != V4L2_CTRL_TYPE_CTRL_CLASS)
            pushEvent(es, ctrlEvent(*d, rangeOf(*d, p), *ctrlValue(s, d->id),
                                    V4L2_EVENT_CTRL_CH_VALUE | V4L2_EVENT_CTRL_CH_FLAGS | V4L2_EVENT_CTRL_CH_RANGE));
        return 0;
    }
    case VIDIOC_DQEVENT: {
        EventState &es = *of.events;
        if (es.queue.empty())
            return -ENOENT;
        *static_cast<v4l2_event *>(arg) = es.queue.front();
        es.queue.pop_front();
        static_cast<v4l2_event *>(arg)->pending = std::uint32_t(es.queue.size());
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto *f = static_cast<v4l2_fmtdesc *>(arg);
        if (!isCapture(f->type) || f->index >= formats.size())
            return -EINVAL;
        const std::uint32_t index = f->index, type = f->type;
        std::memset(f, 0, sizeof *f);
        f->index = index;
        f->type = type;
        f->pixelformat = formats[index].fourcc;
        f->flags = isMjpeg(f->pixelformat) ? V4L2_FMT_FLAG_COMPRESSED : 0;
        copyString(f->description, sizeof f->description, formats[index].description);
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto *fs = static_cast<v4l2_frmsizeenum *>(arg);
        const int fi = findFormat(fs->pixel_format);
        if (fi < 0)
            return -EINVAL;
        const PixelFormat &f = formats[std::size_t(fi)];
        const std::uint32_t index = fs->index, pixfmt = fs->pixel_format;
        std::memset(fs, 0, sizeof *fs);
        fs->index = index;
        fs->pixel_format = pixfmt;
        if (f.stepwise) {
            if (index != 0)
                return -EINVAL;
            fs->type = V4L2_FRMSIZE_TYPE_STEPWISE;
            fs->stepwise = {f.range.minWidth, f.range.maxWidth, f.range.stepWidth,
                            f.range.minHeight, f.range.maxHeight, f.range.stepHeight};
            return 0;
        }
        if (index >= f.sizes.size())
            return -EINVAL;
        fs->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        fs->discrete.width = f.sizes[index].width;
        fs->discrete.height = f.sizes[index].height;
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto *fi = static_cast<v4l2_frmivalenum *>(arg);
        const int idx = findFormat(fi->pixel_format);
        if (idx < 0 || !hasSize(formats[std::size_t(idx)], fi->width, fi->height) || fi->index >= p.fps.size())
            return -EINVAL;
        const std::uint32_t index = fi->index, pixfmt = fi->pixel_format, w = fi->width, h = fi->height;
        std::memset(fi, 0, sizeof *fi);
        fi->index = index;
        fi->pixel_format = pixfmt;
        fi->width = w;
        fi->height = h;
        fi->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        fi->discrete = {1, p.fps[index]};
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        auto *f = static_cast<v4l2_format *>(arg);
        if (!isCapture(f->type))
            return -EINVAL;
        if (request == VIDIOC_G_FMT) {
            std::memset(&f->fmt, 0, sizeof f->fmt);
            fillPixFormat(f->fmt.pix, formats[s.formatIndex].fourcc, s.width, s.height);
            return 0;
        }
        if (request == VIDIOC_S_FMT && ctl && ctl->sfmtErrno.load())
            return -int(ctl->sfmtErrno.load());
        int fi = findFormat(f->fmt.pix.pixelformat);
        if (fi < 0)
            fi = 0; // unknown formats are replaced, never refused
        const FrameSize size = nearestSize(formats[std::size_t(fi)], f->fmt.pix.width, f->fmt.pix.height);
        std::memset(&f->fmt, 0, sizeof f->fmt);
        fillPixFormat(f->fmt.pix, formats[std::size_t(fi)].fourcc, size.width, size.height);
        if (request == VIDIOC_S_FMT) {
            if (busy() || notOwner())
                return -EBUSY;
            s.formatIndex = std::size_t(fi);
            s.width = size.width;
            s.height = size.height;
            s.crop = {0, 0, size.width, size.height};
        }
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto *parm = static_cast<v4l2_streamparm *>(arg);
        if (!isCapture(parm->type))
            return -EINVAL;
        if (request == VIDIOC_S_PARM) {
            if (notOwner())
                return -EBUSY;
            const v4l2_fract want = parm->parm.capture.timeperframe;
            // Nearest offered rate to the requested interval; 0/0 means default.
            std::uint32_t best = p.fps.front();
            if (want.numerator && want.denominator) {
                const double wantFps = double(want.denominator) / want.numerator;
                double bestDiff = 1e18;
                for (std::uint32_t f : p.fps)
                    if (std::abs(f - wantFps) < bestDiff) {
                        bestDiff = std::abs(f - wantFps);
                        best = f;
                    }
            }
            s.fps = best;
        }
        const std::uint32_t type = parm->type;
        std::memset(parm, 0, sizeof *parm);
        parm->type = type;
        parm->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm->parm.capture.timeperframe = {1, s.fps};
        return 0;
    }
    case VIDIOC_CROPCAP: {
        auto *cc = static_cast<v4l2_cropcap *>(arg);
        if (p.crop == CropMode::Enotty)
            return -ENOTTY;
        // The legacy crop calls take the multi-planar type too, as the core
        // maps it onto the single-planar one.
        if (!isCapture(cc->type) && cc->type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
            return -EINVAL;
        const std::uint32_t type = cc->type;
        std::memset(cc, 0, sizeof *cc);
        cc->type = type;
        cc->bounds = {0, 0, s.width, s.height};
        cc->defrect = cc->bounds;
        cc->pixelaspect = {1, 1};
        return 0;
    }
    case VIDIOC_G_CROP:
    case VIDIOC_S_CROP: {
        auto *c = static_cast<v4l2_crop *>(arg);
        if (p.crop == CropMode::Enotty)
            return -ENOTTY;
        if (!isCapture(c->type) && c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
            return -EINVAL;
        // A camera that cannot crop (Einval) knows its default and bounds
        // rectangles only, as a UVC driver does.
        if (p.crop == CropMode::Einval)
            return -EINVAL;
        if (request == VIDIOC_G_CROP) {
            c->c = s.crop;
            return 0;
        }
        // The sensor cannot crop: any rectangle ends up as the full frame.
        s.crop = {0, 0, s.width, s.height};
        c->c = s.crop;
        return 0;
    }
    case VIDIOC_G_SELECTION:
    case VIDIOC_S_SELECTION: {
        auto *sel = static_cast<v4l2_selection *>(arg);
        if (p.crop == CropMode::Enotty)
            return -ENOTTY;
        std::memset(sel->reserved, 0, sizeof sel->reserved);
        if (!isCapture(sel->type))
            return -EINVAL;
        if (request == VIDIOC_S_SELECTION) {
            if (sel->target != V4L2_SEL_TGT_CROP || p.crop == CropMode::Einval)
                return -EINVAL;
            s.crop = {0, 0, s.width, s.height};
            sel->r = s.crop;
            return 0;
        }
        switch (sel->target) {
        case V4L2_SEL_TGT_CROP:
            if (p.crop == CropMode::Einval)
                return -EINVAL;
            sel->r = s.crop;
            return 0;
        case V4L2_SEL_TGT_CROP_DEFAULT:
        case V4L2_SEL_TGT_CROP_BOUNDS:
            sel->r = {0, 0, s.width, s.height};
            return 0;
        default:
            return -EINVAL;
        }
    }
    case VIDIOC_ENUMINPUT: {
        auto *in = static_cast<v4l2_input *>(arg);
        if (in->index != 0)
            return -EINVAL;
        std::memset(in, 0, sizeof *in);
        copyString(in->name, sizeof in->name, "Camera 1");
        in->type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    case VIDIOC_G_INPUT:
        *static_cast<int *>(arg) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<int *>(arg) == 0 ? 0 : -EINVAL;
    case VIDIOC_QUERYCTRL: {
        auto *q = static_cast<v4l2_queryctrl *>(arg);
        const CtrlDesc *c = lookupQuery(q->id);
        if (!c)
            return -EINVAL;
        v4l2_query_ext_ctrl e{};
        fillQueryCtrl(e, *c, p);
        std::memset(q, 0, sizeof *q);
        q->id = e.id;
        q->type = e.type;
        copyString(q->name, sizeof q->name, c->name);
        q->minimum = std::int32_t(e.minimum);
        q->maximum = std::int32_t(e.maximum);
        q->step = std::int32_t(e.step);
        q->default_value = std::int32_t(e.default_value);
        q->flags = e.flags;
        return 0;
    }
    case VIDIOC_QUERY_EXT_CTRL: {
        auto *q = static_cast<v4l2_query_ext_ctrl *>(arg);
        const CtrlDesc *c = lookupQuery(q->id);
        if (!c)
            return -EINVAL;
        fillQueryCtrl(*q, *c, p);
        return 0;
    }
    case VIDIOC_QUERYMENU: {
        auto *m = static_cast<v4l2_querymenu *>(arg);
        if (m->id != V4L2_CID_EXPOSURE_AUTO || m->index > 3 || !(kMenuMask & (1u << m->index)))
            return -EINVAL;
        const std::uint32_t id = m->id, index = m->index;
        std::memset(m, 0, sizeof *m);
        m->id = id;
        m->index = index;
        copyString(m->name, sizeof m->name, index == 1 ? "Manual Mode" : "Aperture Priority Mode");
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        auto *c = static_cast<v4l2_control *>(arg);
        const CtrlDesc *d = findCtrl(c->id);
        if (!d)
            return -EINVAL;
        if (d->type == V4L2_CTRL_TYPE_CTRL_CLASS)
            return -EACCES;
        int *v = ctrlValue(s, c->id);
        if (request == VIDIOC_G_CTRL) {
            c->value = *v;
            return 0;
        }
        std::int32_t value = c->value;
        const int rc = checkCtrlValue(*d, rangeOf(*d, p), value);
        if (rc)
            return rc;
        if (*v != value)
            announceValue(s, of.events.get(), *d, rangeOf(*d, p), value);
        *v = value;
        c->value = value;
        return 0;
    }
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: {
        auto *ec = static_cast<v4l2_ext_controls *>(arg);
        const std::uint32_t which = ec->which;
        const bool isClass = which != V4L2_CTRL_WHICH_CUR_VAL && which != V4L2_CTRL_WHICH_DEF_VAL &&
                             which != V4L2_CTRL_WHICH_REQUEST_VAL;
        if (which == V4L2_CTRL_WHICH_REQUEST_VAL)
            return -EINVAL;
        if (which == V4L2_CTRL_WHICH_DEF_VAL && request != VIDIOC_G_EXT_CTRLS) {
            ec->error_idx = ec->count;
            return -EINVAL;
        }
        if (isClass && which != V4L2_CTRL_CLASS_USER && which != V4L2_CTRL_CLASS_CAMERA)
            return -EINVAL;
        if (ec->count == 0)
            return 0;
        if (!ec->controls || ec->count > 1024) {
            ec->error_idx = ec->count;
            return -EINVAL;
        }
        // Validate all first, so a refused list changes nothing.
        std::vector<std::int32_t> values(ec->count);
        for (std::uint32_t i = 0; i < ec->count; ++i) {
            v4l2_ext_control &c = ec->controls[i];
            const CtrlDesc *d = findCtrl(c.id);
            const bool wrongClass = d && isClass && V4L2_CTRL_ID2WHICH(c.id) != which;
            const bool isCtrlClass = d && d->type == V4L2_CTRL_TYPE_CTRL_CLASS;
            if (!d || wrongClass || isCtrlClass) {
                // As the control framework does: only TRY names the culprit.
                ec->error_idx = request == VIDIOC_TRY_EXT_CTRLS ? i : ec->count;
                return isCtrlClass ? -EACCES : -EINVAL;
            }
            values[i] = c.value;
            if (request != VIDIOC_G_EXT_CTRLS) {
                const int rc = checkCtrlValue(*d, rangeOf(*d, p), values[i]);
                if (rc) {
                    ec->error_idx = request == VIDIOC_S_EXT_CTRLS ? ec->count : i;
                    return rc;
                }
            }
        }
        for (std::uint32_t i = 0; i < ec->count; ++i) {
            v4l2_ext_control &c = ec->controls[i];
            int *v = ctrlValue(s, c.id);
            if (request == VIDIOC_G_EXT_CTRLS)
                c.value = which == V4L2_CTRL_WHICH_DEF_VAL ? rangeOf(*findCtrl(c.id), p).def : *v;
            else {
                c.value = values[i];
                if (request == VIDIOC_S_EXT_CTRLS && *v != values[i]) {
                    const CtrlDesc &d = *findCtrl(c.id);
                    announceValue(s, of.events.get(), d, rangeOf(d, p), values[i]);
                }
                if (request == VIDIOC_S_EXT_CTRLS)
                    *v = values[i];
            }
        }
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto *rb = static_cast<v4l2_requestbuffers *>(arg);
        if (!isCapture(rb->type) || rb->memory != V4L2_MEMORY_MMAP)
            return -EINVAL;
        rb->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
        rb->flags = 0;
        std::memset(rb->reserved, 0, sizeof rb->reserved);
        if (notOwner())
            return -EBUSY;
        if (s.streaming)
            return -EBUSY;
        s.releaseBuffers();
        if (rb->count == 0)
            return 0;
        const unsigned granted = p.buffers;
        const std::uint32_t fourcc = formats[s.formatIndex].fourcc;
        if (const int rc = s.addBuffers(granted, sizeImage(fourcc, s.width, s.height))) {
            s.releaseBuffers();
            return rc;
        }
        s.bufFourcc = fourcc;
        s.bufWidth = s.width;
        s.bufHeight = s.height;
        s.owner = of.fd;
        s.ownerDesc = of.desc;
        rb->count = granted;
        return 0;
    }
    case VIDIOC_CREATE_BUFS: {
        auto *cb = static_cast<v4l2_create_buffers *>(arg);
        if (!isCapture(cb->format.type) || cb->memory != V4L2_MEMORY_MMAP)
            return -EINVAL;
        cb->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
        cb->flags = 0;
        std::memset(cb->reserved, 0, sizeof cb->reserved);
        if (notOwner())
            return -EBUSY;
        const std::uint32_t fourcc = formats[s.formatIndex].fourcc;
        const std::uint32_t needed = sizeImage(fourcc, s.width, s.height);
        if (cb->format.fmt.pix.sizeimage < needed)
            return -EINVAL; // too small for the current format
        cb->index = std::uint32_t(s.buffers.size());
        constexpr unsigned kMaxBuffers = 32;
        const unsigned count = std::min<unsigned>(cb->count, kMaxBuffers - unsigned(s.buffers.size()));
        cb->count = count;
        if (count == 0)
            return 0;
        const bool first = s.buffers.empty();
        if (const int rc = s.addBuffers(count, cb->format.fmt.pix.sizeimage)) {
            if (first)
                s.releaseBuffers();
            return rc;
        }
        if (first) {
            s.bufFourcc = fourcc;
            s.bufWidth = s.width;
            s.bufHeight = s.height;
            s.owner = of.fd;
            s.ownerDesc = of.desc;
        }
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto *b = static_cast<v4l2_buffer *>(arg);
        // Like vb2: only QBUF insists on the memory type; QUERYBUF and
        // DQBUF fill it in.
        if (!isCapture(b->type) || (request == VIDIOC_QBUF && b->memory != V4L2_MEMORY_MMAP))
            return -EINVAL;
        if (request != VIDIOC_QUERYBUF && notOwner())
            return -EBUSY;
        auto fill = [&](unsigned index) {
            const Session::Buffer &buf = s.buffers[index];
            std::memset(b, 0, sizeof *b);
            b->index = index;
            b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b->memory = V4L2_MEMORY_MMAP;
            b->m.offset = std::uint32_t(buf.offset);
            b->length = std::uint32_t(buf.length);
            b->field = V4L2_FIELD_NONE;
            b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
            if (buf.mappings)
                b->flags |= V4L2_BUF_FLAG_MAPPED;
            if (buf.state == Session::BufState::Queued)
                b->flags |= V4L2_BUF_FLAG_QUEUED;
            if (buf.state == Session::BufState::Done)
                b->flags |= V4L2_BUF_FLAG_DONE;
            b->flags |= buf.flags;
            if (buf.state != Session::BufState::Queued) {
                b->bytesused = buf.bytesused;
                b->sequence = buf.sequence;
                b->timestamp = buf.timestamp;
            }
        };
        if (request == VIDIOC_QUERYBUF) {
            if (b->index >= s.buffers.size())
                return -EINVAL;
            fill(b->index);
            return 0;
        }
        if (request == VIDIOC_QBUF) {
            if (b->index >= s.buffers.size())
                return -EINVAL;
            Session::Buffer &buf = s.buffers[b->index];
            if (buf.state != Session::BufState::Dequeued)
                return -EINVAL;
            buf.state = Session::BufState::Queued;
            buf.flags = 0;
            buf.bytesused = 0;
            s.queued.push_back(b->index);
            fill(b->index);
            return 0;
        }
        // VIDIOC_DQBUF
        if (!s.streaming)
            return -EINVAL;
        const int fl = fcntl(of.fd, F_GETFL);
        const bool nonblocking = fl >= 0 && (fl & O_NONBLOCK);
        while (s.done.empty()) {
            if (nonblocking)
                return -EAGAIN;
            s.waiters++;
            s.cv.wait(lock); // releases the node lock while waiting
            s.waiters--;
            if (s.dead)
                return -ENODEV;
            if (!s.streaming)
                return -EINVAL; // STREAMOFF while waiting
        }
        const unsigned index = s.done.front();
        s.done.pop_front();
        eventfd_t one;
        // The counter is at least 1 here, so this read does not block.
        eventfd_read(s.owner, &one);
        Session::Buffer &buf = s.buffers[index];
        buf.state = Session::BufState::Dequeued;
        if (ctl && buf.frameNo)
            ctl->stampDequeued(buf.frameNo - 1, monotonicNs());
        fill(index);
        b->flags &= ~V4L2_BUF_FLAG_DONE;
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        const int type = *static_cast<int *>(arg);
        if (!isCapture(std::uint32_t(type)))
            return -EINVAL;
        if (notOwner())
            return -EBUSY;
        if (request == VIDIOC_STREAMOFF) {
            // Every buffer returns to the program, finished or not.
            if (s.streaming || !s.buffers.empty()) {
                for (auto &buf : s.buffers) {
                    buf.state = Session::BufState::Dequeued;
                    buf.flags = 0;
                }
                eventfd_t v;
                for (std::size_t i = 0; i < s.done.size(); ++i)
                    eventfd_read(s.owner, &v);
                s.queued.clear();
                s.done.clear();
            }
            s.streaming = false;
            s.cv.notify_all();
            return 0;
        }
        if (s.buffers.empty())
            return -EINVAL;
        if (s.streaming)
            return 0;
        SceneParams scene = node.scene();
        scene.width = int(s.bufWidth);
        scene.height = int(s.bufHeight);
        lock.unlock(); // rendering a large frame takes a while (cached after)
        auto frames = frameSetFor(s.bufFourcc, scene);
        lock.lock();
        if (s.dead)
            return -ENODEV;
        if (s.buffers.empty())
            return -EINVAL;
        s.frames = frames;
        s.streaming = true;
        s.sequence = 0;
        return 0;
    }
    default:
        return -ENOTTY;
    }
}

} // namespace vcam
