// libc wrappers that route virtual nodes and descriptors to the engine.
//
// Linked into a test executable (exported with --dynamic-list) or into the
// LD_PRELOAD shim.  Either way these definitions come before libc and before
// libumockdev-preload in symbol lookup; everything that is not ours goes on
// to the next definition (dlsym RTLD_NEXT), which may be umockdev's.
// Do not build this file with _FILE_OFFSET_BITS=64: the header redirects
// would turn the definitions of open/open64 into one symbol.
#include "engine.h"
#include "marks.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#define VCAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace vcam {
namespace {

using marks::fdMarked;

// Next definitions, looked up on first use.  No function-local statics and
// no engine before it is needed: a sanitizer runtime calls mmap/munmap
// through these wrappers while it is still initialising itself (this file
// is built without sanitizer instrumentation for the same reason).
template <class F>
F next(std::atomic<void *> &slot, const char *name) {
    void *p = slot.load(std::memory_order_acquire);
    if (!p) {
        p = dlsym(RTLD_NEXT, name);
        slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<F>(p);
}

#define VCAM_NEXT(type, name)                                                                                        \
    type name() const {                                                                                              \
        static std::atomic<void *> slot{nullptr};                                                                    \
        return next<type>(slot, #name);                                                                              \
    }

struct Next {
    using OpenFn = int (*)(const char *, int, ...);
    using OpenatFn = int (*)(int, const char *, int, ...);
    using Open2Fn = int (*)(const char *, int);
    using Openat2Fn = int (*)(int, const char *, int);
    using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
    using SelectFn = int (*)(int, fd_set *, fd_set *, fd_set *, timeval *);
    VCAM_NEXT(OpenFn, open)
    VCAM_NEXT(OpenFn, open64)
    VCAM_NEXT(OpenatFn, openat)
    VCAM_NEXT(OpenatFn, openat64)
    VCAM_NEXT(Open2Fn, __open_2)
    VCAM_NEXT(Open2Fn, __open64_2)
    VCAM_NEXT(Openat2Fn, __openat_2)
    VCAM_NEXT(Openat2Fn, __openat64_2)
    using CloseFn = int (*)(int);
    VCAM_NEXT(CloseFn, close)
    using IoctlFn = int (*)(int, unsigned long, ...);
    VCAM_NEXT(IoctlFn, ioctl)
    VCAM_NEXT(MmapFn, mmap)
    VCAM_NEXT(MmapFn, mmap64)
    using MunmapFn = int (*)(void *, size_t);
    VCAM_NEXT(MunmapFn, munmap)
    using DupFn = int (*)(int);
    VCAM_NEXT(DupFn, dup)
    using Dup2Fn = int (*)(int, int);
    VCAM_NEXT(Dup2Fn, dup2)
    using Dup3Fn = int (*)(int, int, int);
    VCAM_NEXT(Dup3Fn, dup3)
    using FcntlFn = int (*)(int, int, ...);
    VCAM_NEXT(FcntlFn, fcntl)
    VCAM_NEXT(FcntlFn, fcntl64)
    using AccessFn = int (*)(const char *, int);
    VCAM_NEXT(AccessFn, access)
    VCAM_NEXT(SelectFn, select)
    using PollFn = int (*)(pollfd *, nfds_t, int);
    VCAM_NEXT(PollFn, poll)
};

Next g_next; // stateless: every member looks its pointer up itself

const Next &nx() { return g_next; }

// The engine, once something made it exist (a registered node, or a /dev
// path to look up); until then every descriptor call passes straight on.
Engine *engineIfAny() { return g_engineInstance.load(std::memory_order_acquire); }

// Quick test before the engine is asked about a path.
bool candidatePath(const char *path) { return path && std::strncmp(path, "/dev/", 5) == 0; }

int errnoResult(int rc) {
    if (rc < 0) {
        errno = -rc;
        return -1;
    }
    return rc;
}

// -1 with errno: not a virtual node; else the engine's answer.
bool tryOpen(const char *path, int flags, int *result) {
    if (!candidatePath(path))
        return false;
    Engine &e = Engine::instance();
    if (!e.findNode(path))
        return false;
    *result = errnoResult(e.open(path, flags));
    return true;
}

int dupResult(int oldfd, int newfd) {
    Engine *e = engineIfAny();
    if (e && newfd >= 0 && fdMarked(oldfd))
        e->dup(oldfd, newfd);
    return newfd;
}

} // namespace

std::atomic<Engine *> g_engineInstance{nullptr};

namespace real {
int open(const char *path, int flags, unsigned mode) { return nx().open()(path, flags, mode); }
int close(int fd) { return nx().close()(fd); }
int dup(int fd) { return nx().dup()(fd); }
int ioctl(int fd, unsigned long request, void *arg) { return nx().ioctl()(fd, request, arg); }
void *mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t off) {
    return nx().mmap()(addr, len, prot, flags, fd, off);
}
int munmap(void *addr, std::size_t len) { return nx().munmap()(addr, len); }
} // namespace real

} // namespace vcam

using vcam::Engine;
using vcam::nx;

#define VCAM_MODE_ARG(flags)                                                                                         \
    unsigned mode = 0;                                                                                               \
    if ((flags) & (O_CREAT | __O_TMPFILE)) {                                                                         \
        va_list ap;                                                                                                  \
        va_start(ap, flags);                                                                                         \
        mode = va_arg(ap, unsigned);                                                                                 \
        va_end(ap);                                                                                                  \
    }

VCAM_EXPORT int open(const char *path, int flags, ...) {
    VCAM_MODE_ARG(flags)
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().open()(path, flags, mode);
}

VCAM_EXPORT int open64(const char *path, int flags, ...) {
    VCAM_MODE_ARG(flags)
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().open64()(path, flags, mode);
}

VCAM_EXPORT int __open_2(const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().__open_2()(path, flags);
}

VCAM_EXPORT int __open64_2(const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().__open64_2()(path, flags);
}

VCAM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    VCAM_MODE_ARG(flags)
    int rc;
    if (vcam::tryOpen(path, flags, &rc)) // absolute paths only (candidatePath)
        return rc;
    return nx().openat()(dirfd, path, flags, mode);
}

VCAM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    VCAM_MODE_ARG(flags)
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().openat64()(dirfd, path, flags, mode);
}

VCAM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().__openat_2()(dirfd, path, flags);
}

VCAM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().__openat64_2()(dirfd, path, flags);
}

VCAM_EXPORT int close(int fd) {
    Engine *e = vcam::engineIfAny();
    const int rc = e && vcam::fdMarked(fd) ? e->close(fd) : -EBADF;
    if (rc == -EBADF)
        return nx().close()(fd);
    return vcam::errnoResult(rc);
}

VCAM_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    Engine *e = vcam::engineIfAny();
    if (!e || !vcam::fdMarked(fd))
        return nx().ioctl()(fd, request, arg);
    return vcam::errnoResult(e->ioctl(fd, request, arg));
}

VCAM_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    Engine *e = vcam::engineIfAny();
    if (e && vcam::fdMarked(fd))
        return e->mmap(addr, len, prot, flags, fd, off);
    return nx().mmap()(addr, len, prot, flags, fd, off);
}

VCAM_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    Engine *e = vcam::engineIfAny();
    if (e && vcam::fdMarked(fd))
        return e->mmap(addr, len, prot, flags, fd, off);
    return nx().mmap64()(addr, len, prot, flags, fd, off);
}

VCAM_EXPORT int munmap(void *addr, size_t len) {
    int rc;
    Engine *e = vcam::engineIfAny();
    if (e && vcam::marks::mappingMarked(addr) && e->munmap(addr, len, &rc))
        return rc;
    return nx().munmap()(addr, len);
}

VCAM_EXPORT int dup(int fd) { return vcam::dupResult(fd, nx().dup()(fd)); }

VCAM_EXPORT int dup2(int fd, int newfd) {
    Engine *e = vcam::engineIfAny();
    if (e && fd != newfd && vcam::fdMarked(newfd))
        e->close(newfd); // dup2 closes the target first
    return vcam::dupResult(fd, nx().dup2()(fd, newfd));
}

VCAM_EXPORT int dup3(int fd, int newfd, int flags) {
    Engine *e = vcam::engineIfAny();
    if (e && fd != newfd && vcam::fdMarked(newfd))
        e->close(newfd);
    return vcam::dupResult(fd, nx().dup3()(fd, newfd, flags));
}

static int fcntlCommon(int (*next)(int, int, ...), int fd, int cmd, void *arg) {
    const int rc = next(fd, cmd, arg);
    if ((cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && rc >= 0)
        vcam::dupResult(fd, rc);
    return rc;
}

VCAM_EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *); // int or pointer: same register on x86-64
    va_end(ap);
    return fcntlCommon(nx().fcntl(), fd, cmd, arg);
}

VCAM_EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntlCommon(nx().fcntl64() ? nx().fcntl64() : nx().fcntl(), fd, cmd, arg);
}

VCAM_EXPORT int access(const char *path, int mode) {
    if (vcam::candidatePath(path)) {
        Engine &e = Engine::instance();
        if (auto node = e.findNode(path))
            return e.openable(node) ? 0 : (errno = ENOENT, -1);
    }
    return nx().access()(path, mode);
}

// select/poll stay the kernel's for readability (the eventfd); they are
// wrapped only so that a pending V4L2 event shows as an exception
// (POLLPRI) the way the kernel reports it.  Events are raised by the
// program's own ioctls, so one already pending is all there is to report;
// a wait that starts before an event is raised is not woken by it.
VCAM_EXPORT int select(int nfds, fd_set *rd, fd_set *wr, fd_set *ex, timeval *timeout) {
    Engine *e = vcam::engineIfAny();
    bool pending = false;
    fd_set pendingSet;
    FD_ZERO(&pendingSet);
    if (ex && e)
        for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd)
            if (FD_ISSET(fd, ex) && vcam::fdMarked(fd) && e->eventPending(fd)) {
                FD_SET(fd, &pendingSet);
                pending = true;
            }
    if (!pending)
        return nx().select()(nfds, rd, wr, ex, timeout);
    timeval zero{0, 0};
    int n = nx().select()(nfds, rd, wr, ex, &zero);
    if (n < 0)
        return n;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd)
        if (FD_ISSET(fd, &pendingSet) && !FD_ISSET(fd, ex)) {
            FD_SET(fd, ex);
            ++n;
        }
    return n;
}

VCAM_EXPORT int poll(pollfd *fds, nfds_t n, int timeout) {
    Engine *e = vcam::engineIfAny();
    bool pending = false;
    for (nfds_t i = 0; e && i < n; ++i)
        if ((fds[i].events & POLLPRI) && vcam::fdMarked(fds[i].fd) && e->eventPending(fds[i].fd))
            pending = true;
    if (!pending)
        return nx().poll()(fds, n, timeout);
    int ready = nx().poll()(fds, n, 0);
    if (ready < 0)
        return ready;
    for (nfds_t i = 0; i < n; ++i)
        if ((fds[i].events & POLLPRI) && vcam::fdMarked(fds[i].fd) && e->eventPending(fds[i].fd)) {
            if (!fds[i].revents)
                ++ready;
            fds[i].revents |= POLLPRI;
        }
    return ready;
}
