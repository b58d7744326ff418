// The V4L2 side of the virtual camera: video nodes, open files, the buffer
// queue and the ioctl answers.  No interposition here; interpose.cpp routes
// the libc calls of virtual descriptors to `Engine`.
//
// Thread-safe: every node has its own mutex; the registry has one more.
// A blocking VIDIOC_DQBUF waits on the node's condition variable, which
// releases the node mutex while it waits.
#pragma once

#include "control_block.h"
#include "frames.h"
#include "vcam/profile.h"

#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vcam {

struct Node;

// Control events of one open file (shared by its dup()s); guarded by the
// session mutex.
struct EventState {
    struct Sub {
        std::uint32_t id, flags;
    };
    std::vector<Sub> subs;
    std::deque<v4l2_event> queue;
    std::uint32_t sequence = 0;
};

// The engine's own descriptor for an open file's eventfd (a dup() of the
// one the program holds), through which frames and unplugging are
// signalled.  The program may close its number on any thread at any time,
// and the kernel may hand that number out again; this one stays open, and
// the same eventfd, until the last holder lets go.
struct EngineFd {
    explicit EngineFd(int fd) : fd(fd) {}
    ~EngineFd();
    EngineFd(const EngineFd &) = delete;
    EngineFd &operator=(const EngineFd &) = delete;
    const int fd;
};

// One plug-in period of a camera.  Descriptors opened during it stay tied to
// it; an unplug kills it for good (every call then fails with ENODEV) and a
// later plug starts a new one, as with the kernel.
struct Session {
    std::mutex mutex;
    std::condition_variable cv;
    // Set under the mutex; read without it too (an ioctl's first check races
    // with an unplug from another thread).
    std::atomic<bool> dead{false};

    // Format and parameters of the capture node.
    std::size_t formatIndex = 0;
    std::uint32_t width = 0, height = 0;
    std::uint32_t fps = 15;
    v4l2_rect crop{};
    int exposureAuto = 3, exposureAbsolute = 156, exposure = 128;

    // Buffer queue (vb2-like).
    enum class BufState { Dequeued, Queued, Done };
    struct Buffer {
        BufState state = BufState::Dequeued;
        std::uint32_t bytesused = 0, flags = 0, sequence = 0;
        timeval timestamp{};
        unsigned mappings = 0;
        std::size_t offset = 0, length = 0; // slice of the memfd
        std::uint32_t frameNo = 0;          // its frame in the control block's count, plus 1 (0: none)
    };
    std::uint64_t ownerDesc = 0;          // open file description that holds the buffers
    std::shared_ptr<const EngineFd> owner; // how to signal it (see EngineFd)
    int memfd = -1;
    std::uint8_t *memory = nullptr; // engine's own mapping of the memfd
    std::size_t memorySize = 0; // bytes of the memfd (and of `memory`)
    std::uint32_t bufWidth = 0, bufHeight = 0, bufFourcc = 0;
    std::vector<Buffer> buffers;
    std::deque<unsigned> queued, done;
    bool streaming = false;
    std::uint32_t sequence = 0;
    std::shared_ptr<const FrameSet> frames;
    std::uint64_t frameCounter = 0;
    unsigned waiters = 0;
    std::vector<std::weak_ptr<EventState>> eventStates; // of every open file

    ~Session();
    void releaseBuffers(); // mutex held
    // Appends `count` buffers of `length` bytes (page-aligned) to the memfd.
    // Mutex held.  0 or -errno.
    int addBuffers(unsigned count, std::size_t length);
    // Buffer whose slice starts at `offset`, or -1.
    int bufferAt(std::size_t offset) const;
};

struct Node {
    std::string path;
    bool meta = false;      // metadata node: no capture capability
    int cameraIndex = 0;
    std::shared_ptr<const Profile> profile;
    ControlBlock *control = nullptr;          // switches of the camera
    std::shared_ptr<const void> controlOwner; // keeps `control` alive when set
    std::string busInfo;
    std::shared_ptr<Session> session; // null while unplugged
    SceneParams scene() const;
};

struct OpenFile {
    int fd = -1; // eventfd handed to the program
    std::shared_ptr<const EngineFd> signal; // the engine's own copy of it, shared by dup()s
    std::uint64_t desc = 0; // shared by dup()s of one open
    std::uint32_t priority = V4L2_PRIORITY_DEFAULT;
    std::shared_ptr<EventState> events = std::make_shared<EventState>();
    std::shared_ptr<Node> node;
    std::shared_ptr<Session> session;
};

class Engine {
public:
    static Engine &instance();

    // Node registry.  Paths are compared as given (no normalisation).
    void addNode(const std::shared_ptr<Node> &node);
    void removeNode(const std::string &path);
    std::shared_ptr<Node> findNode(const std::string &path);
    // Unplug: the session dies, its descriptors become readable and fail
    // with ENODEV, and opening the path fails with ENOENT until plug().
    void unplug(const std::shared_ptr<Node> &node);
    void plug(const std::shared_ptr<Node> &node);

    // Descriptors.  open returns a new descriptor or -errno.
    int open(const std::string &path, int flags);
    // Lock-free (see marks.h): safe from any thread at any time.
    bool isVirtual(int fd);
    // A V4L2 event waits for VIDIOC_DQEVENT on this descriptor (the kernel
    // would report POLLPRI; an eventfd cannot).
    bool eventPending(int fd);
    int close(int fd);                               // 0, or -EBADF when not ours
    int ioctl(int fd, unsigned long request, void *arg); // 0 or -errno
    // mmap of a buffer: MAP_FAILED with errno set on refusal.
    void *mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t offset);
    bool munmap(void *addr, std::size_t len, int *result); // true when the range was ours
    int dup(int oldfd, int newfd);                   // register newfd as a copy of oldfd

    // Produces one frame on a capture node; false when none was delivered.
    bool tick(const std::shared_ptr<Node> &node);
    // Current frame rate of a streaming node, 0 when not streaming.
    std::uint32_t streamingFps(const std::shared_ptr<Node> &node);
    std::vector<std::shared_ptr<Node>> nodes();
    std::shared_ptr<Session> sessionOf(const std::shared_ptr<Node> &node);
    bool present(const std::shared_ptr<Node> &node) { return sessionOf(node) != nullptr; }
    // Whether open() would find the node: the harness's plug switch when the
    // node has one (the clock thread applies it to the session only later),
    // else the node's session.
    bool openable(const std::shared_ptr<Node> &node);
    // Descriptors open on a node (its current session).
    unsigned openCount(const std::shared_ptr<Node> &node);

    // Every change of any node (open, close, ioctl, frame, plug) bumps a
    // counter and wakes waitChange().  Returns pred() at the end.
    bool waitChange(const std::function<bool()> &pred, std::chrono::milliseconds timeout);
    void notifyChange();

    // Optional hook: asked for a path that no registered node has (preload
    // mode loads the camera description from the testbed then).
    std::shared_ptr<Node> (*resolver)(const std::string &path) = nullptr;

private:
    int ioctlInner(int fd, unsigned long request, void *arg);
    int capIoctl(OpenFile &of, Session &s, unsigned request, void *arg, std::unique_lock<std::mutex> &lock);
    std::mutex mutex_;
    std::uint64_t nextDesc_ = 1;
    std::mutex changeMutex_;
    std::condition_variable changeCv_;
    std::uint64_t changes_ = 0;
    std::map<std::string, std::shared_ptr<Node>> nodes_;
    std::map<int, std::shared_ptr<OpenFile>> files_;
    struct Mapping {
        std::shared_ptr<Session> session;
        unsigned index;
        std::size_t length;
    };
    std::map<std::uintptr_t, Mapping> mappings_;
};

// The engine once instance() ran, else null: the wrappers read it before the
// process (and a sanitizer runtime) is fully initialised.  Defined in
// interpose.cpp, which is built without instrumentation.
extern std::atomic<Engine *> g_engineInstance;

// Pointers to the next definitions of the wrapped libc functions, so engine
// code never re-enters its own wrappers.
namespace real {
int open(const char *path, int flags, unsigned mode);
int close(int fd);
int dup(int fd);
int ioctl(int fd, unsigned long request, void *arg);
void *mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t off);
int munmap(void *addr, std::size_t len);
} // namespace real

} // namespace vcam
