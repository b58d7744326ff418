// V4L2 answers of the virtual camera.
//
// The descriptor handed to the program is an eventfd(EFD_SEMAPHORE) whose
// counter is the number of finished buffers, so select/poll/epoll readiness
// comes from the kernel without wrapping them.  Buffers live in one memfd;
// the program maps slices of it through the mmap wrapper.
#include "engine.h"
#include "ioctl_handlers.h"
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

// Wakes Engine::waitChange() when the enclosing call is over (after its locks).
struct ChangeGuard {
    Engine &engine;
    ~ChangeGuard() { engine.notifyChange(); }
};

} // namespace

// ---------------------------------------------------------------------------

EngineFd::~EngineFd() { real::close(fd); }

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
    owner.reset();
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
    std::vector<std::shared_ptr<const EngineFd>> signals;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        s = node->session;
        node->session.reset();
        if (!s)
            return;
        for (auto &kv : files_)
            if (kv.second->session == s)
                signals.push_back(kv.second->signal);
    }
    std::lock_guard<std::mutex> lock(s->mutex);
    s->dead = true;
    s->streaming = false;
    // Readable for good, so a program waiting in select/poll wakes and then
    // meets ENODEV (an eventfd cannot raise POLLERR/POLLHUP).
    for (const auto &signal : signals)
        eventfd_write(signal->fd, kUnpluggedCount);
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
    const int signal = real::dup(fd);
    if (signal < 0) {
        const int err = errno;
        real::close(fd);
        return -err;
    }
    if (!marks::markFd(fd)) { // beyond what the wrappers can tell apart
        real::close(signal);
        real::close(fd);
        return -EMFILE;
    }
    auto of = std::make_shared<OpenFile>();
    of->fd = fd;
    of->signal = std::make_shared<EngineFd>(signal);
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
        bool sibling = false; // a dup() of the same open keeps the queue
        for (auto &kv : files_)
            sibling = sibling || kv.second->desc == of->desc;
        Session &s = *of->session;
        std::lock_guard<std::mutex> slock(s.mutex);
        if (s.ownerDesc == of->desc && !sibling) {
            s.cv.notify_all();
            s.releaseBuffers(); // mappings keep their own reference to the pages
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
    if (ctl && ControlBlock::take(ctl->overlongCount))
        used = std::uint32_t(b.length) + 1;
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
    if (s.owner)
        eventfd_write(s.owner->fd, 1);
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
        return findIoctl(request) ? -EFAULT : -ENOTTY;
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
    const IoctlEntry *entry = findIoctl(request);
    if (request == VIDIOC_G_PRIORITY || request == VIDIOC_S_PRIORITY || (entry && entry->changesState)) {
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
    const IoctlEntry *entry = findIoctl(request);
    if (!entry || !entry->handler)
        return -ENOTTY;
    IoctlCall call{of, s, *of.node, *of.node->profile, of.node->control, request, arg, lock};
    return entry->handler(call);
}

} // namespace vcam
