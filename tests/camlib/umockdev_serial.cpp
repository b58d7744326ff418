// One thread at a time through umockdev's fstatfs().
//
// libumockdev-preload answers fstatfs() on a descriptor (libudev asks it
// whether a directory is sysfs before it trusts a device path) by turning
// the descriptor into a path in static buffers that it shares between
// threads without a lock.  When the library's hot-plug thread reads a
// device while the test thread's testbed looks up another one to send its
// uevent, one of them can get the other's answer: a device that "does not
// exist", a uevent never sent, an enumeration that skips a camera.  These
// definitions in the test executable come before the preload in symbol
// lookup; they hold one lock around the call and go on to the next
// definition (umockdev's).
#include <dlfcn.h>
#include <sys/statfs.h>

#include <mutex>

namespace {

std::mutex g_statfsLock;

template <class F>
F nextDefinition(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

#define SERIAL_EXPORT extern "C" __attribute__((visibility("default")))

SERIAL_EXPORT int fstatfs(int fd, struct statfs *buf)
{
    static const auto next = nextDefinition<int (*)(int, struct statfs *)>("fstatfs");
    std::lock_guard<std::mutex> lock(g_statfsLock);
    return next(fd, buf);
}

SERIAL_EXPORT int fstatfs64(int fd, struct statfs64 *buf)
{
    static const auto next = nextDefinition<int (*)(int, struct statfs64 *)>("fstatfs64");
    std::lock_guard<std::mutex> lock(g_statfsLock);
    return next(fd, buf);
}
