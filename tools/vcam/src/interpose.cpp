// libc wrappers that route virtual nodes and descriptors to the engine.
//
// Linked into a test executable (exported with --dynamic-list) or into the
// LD_PRELOAD shim.  Either way these definitions come before libc and before
// libumockdev-preload in symbol lookup; everything that is not ours goes on
// to the next definition (dlsym RTLD_NEXT), which may be umockdev's.
// Do not build this file with _FILE_OFFSET_BITS=64: the header redirects
// would turn the definitions of open/open64 into one symbol.
#include "engine.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#define VCAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace vcam {
namespace {

template <class F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Next {
    int (*open)(const char *, int, ...) = next<int (*)(const char *, int, ...)>("open");
    int (*open64)(const char *, int, ...) = next<int (*)(const char *, int, ...)>("open64");
    int (*openat)(int, const char *, int, ...) = next<int (*)(int, const char *, int, ...)>("openat");
    int (*openat64)(int, const char *, int, ...) = next<int (*)(int, const char *, int, ...)>("openat64");
    int (*open_2)(const char *, int) = next<int (*)(const char *, int)>("__open_2");
    int (*open64_2)(const char *, int) = next<int (*)(const char *, int)>("__open64_2");
    int (*openat_2)(int, const char *, int) = next<int (*)(int, const char *, int)>("__openat_2");
    int (*openat64_2)(int, const char *, int) = next<int (*)(int, const char *, int)>("__openat64_2");
    int (*close)(int) = next<int (*)(int)>("close");
    int (*ioctl)(int, unsigned long, ...) = next<int (*)(int, unsigned long, ...)>("ioctl");
    void *(*mmap)(void *, size_t, int, int, int, off_t) = next<void *(*)(void *, size_t, int, int, int, off_t)>("mmap");
    void *(*mmap64)(void *, size_t, int, int, int, off_t) =
        next<void *(*)(void *, size_t, int, int, int, off_t)>("mmap64");
    int (*munmap)(void *, size_t) = next<int (*)(void *, size_t)>("munmap");
    int (*dup)(int) = next<int (*)(int)>("dup");
    int (*dup2)(int, int) = next<int (*)(int, int)>("dup2");
    int (*dup3)(int, int, int) = next<int (*)(int, int, int)>("dup3");
    int (*fcntl)(int, int, ...) = next<int (*)(int, int, ...)>("fcntl");
    int (*fcntl64)(int, int, ...) = next<int (*)(int, int, ...)>("fcntl64");
    int (*access)(const char *, int) = next<int (*)(const char *, int)>("access");
};

const Next &nx() {
    static const Next n;
    return n;
}

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
    if (newfd >= 0 && Engine::instance().isVirtual(oldfd))
        Engine::instance().dup(oldfd, newfd);
    return newfd;
}

} // namespace

namespace real {
int open(const char *path, int flags, unsigned mode) { return nx().open(path, flags, mode); }
int close(int fd) { return nx().close(fd); }
int ioctl(int fd, unsigned long request, void *arg) { return nx().ioctl(fd, request, arg); }
void *mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t off) {
    return nx().mmap(addr, len, prot, flags, fd, off);
}
int munmap(void *addr, std::size_t len) { return nx().munmap(addr, len); }
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
    return nx().open(path, flags, mode);
}

VCAM_EXPORT int open64(const char *path, int flags, ...) {
    VCAM_MODE_ARG(flags)
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().open64(path, flags, mode);
}

VCAM_EXPORT int __open_2(const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().open_2(path, flags);
}

VCAM_EXPORT int __open64_2(const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().open64_2(path, flags);
}

VCAM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    VCAM_MODE_ARG(flags)
    int rc;
    if (vcam::tryOpen(path, flags, &rc)) // absolute paths only (candidatePath)
        return rc;
    return nx().openat(dirfd, path, flags, mode);
}

VCAM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    VCAM_MODE_ARG(flags)
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().openat64(dirfd, path, flags, mode);
}

VCAM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().openat_2(dirfd, path, flags);
}

VCAM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    int rc;
    if (vcam::tryOpen(path, flags, &rc))
        return rc;
    return nx().openat64_2(dirfd, path, flags);
}

VCAM_EXPORT int close(int fd) {
    const int rc = Engine::instance().close(fd);
    if (rc == -EBADF)
        return nx().close(fd);
    return vcam::errnoResult(rc);
}

VCAM_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    Engine &e = Engine::instance();
    if (!e.isVirtual(fd))
        return nx().ioctl(fd, request, arg);
    return vcam::errnoResult(e.ioctl(fd, request, arg));
}

VCAM_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (fd >= 0 && Engine::instance().isVirtual(fd))
        return Engine::instance().mmap(addr, len, prot, flags, fd, off);
    return nx().mmap(addr, len, prot, flags, fd, off);
}

VCAM_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (fd >= 0 && Engine::instance().isVirtual(fd))
        return Engine::instance().mmap(addr, len, prot, flags, fd, off);
    return nx().mmap64(addr, len, prot, flags, fd, off);
}

VCAM_EXPORT int munmap(void *addr, size_t len) {
    int rc;
    if (Engine::instance().munmap(addr, len, &rc))
        return rc;
    return nx().munmap(addr, len);
}

VCAM_EXPORT int dup(int fd) { return vcam::dupResult(fd, nx().dup(fd)); }

VCAM_EXPORT int dup2(int fd, int newfd) {
    if (fd != newfd && Engine::instance().isVirtual(newfd))
        Engine::instance().close(newfd); // dup2 closes the target first
    return vcam::dupResult(fd, nx().dup2(fd, newfd));
}

VCAM_EXPORT int dup3(int fd, int newfd, int flags) {
    if (fd != newfd && Engine::instance().isVirtual(newfd))
        Engine::instance().close(newfd);
    return vcam::dupResult(fd, nx().dup3(fd, newfd, flags));
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
    return fcntlCommon(nx().fcntl, fd, cmd, arg);
}

VCAM_EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntlCommon(nx().fcntl64 ? nx().fcntl64 : nx().fcntl, fd, cmd, arg);
}

VCAM_EXPORT int access(const char *path, int mode) {
    if (vcam::candidatePath(path)) {
        Engine &e = Engine::instance();
        if (auto node = e.findNode(path))
            return e.present(node) ? 0 : (errno = ENOENT, -1);
    }
    return nx().access(path, mode);
}
