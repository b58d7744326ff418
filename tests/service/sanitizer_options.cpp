// Defaults for the sanitizer builds of the in-process service tests.  Qt and
// the system libraries are not instrumented; the service's own code, the
// camera library and the image and file libraries are.
#if defined(__SANITIZE_THREAD__)
#include <QObject>
#include <QThread>

#include <dlfcn.h>
#endif

extern "C" {

// The window test runs with libumockdev-preload in LD_PRELOAD, so the ASan
// runtime cannot come first in the library list.  Allocation stacks are
// taken in full (Qt is built without frame pointers), so that a leak can be
// told apart by the library it was made in.
__attribute__((used)) const char *__asan_default_options()
{
    return "verify_asan_link_order=0:detect_leaks=1:fast_unwind_on_malloc=0";
}

// Qt's offscreen platform plug-in (Qt 5.15) does not free its screen and
// cursor when the application ends.
__attribute__((used)) const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n";
}

__attribute__((used)) const char *__tsan_default_suppressions()
{
    return
        // Qt hands its objects (events, list and string blocks, thread-pool
        // tasks) from thread to thread through its own atomics and
        // futex-based QMutex, which ThreadSanitizer does not see in
        // uninstrumented code, so the allocations and frees Qt makes itself
        // look like races with the thread that used the block before.  Only
        // the calls the Qt libraries make are ignored: every access of the
        // service and the camera code stays checked.
        "called_from_lib:libQt5Core.so.5\n"
        "called_from_lib:libQt5Gui.so.5\n"
        "called_from_lib:libQt5Widgets.so.5\n"
        "called_from_lib:libQt5Network.so.5\n"
        "called_from_lib:libQt5WebSockets.so.5\n"
        "called_from_lib:libQt5DBus.so.5\n"
        "called_from_lib:libQt5XcbQpa.so.5\n" // the program on a display (xcb)
        // GLib's main-loop wake-up: an eventfd that one thread writes while
        // Qt's D-Bus thread sets up its own loop (only the calls GLib makes
        // into the runtime are ignored, not the code its loop dispatches).
        "called_from_lib:libglib-2.0.so.0\n"
        // The same for a queued call's slot object (the lambda given to
        // QMetaObject::invokeMethod with Qt::QueuedConnection): its reference
        // count lives in Qt, so the poster dropping the last reference inside
        // invokeMethodImpl looks unordered against the receiving thread that
        // ran the call.  The service never has a call run inside
        // invokeMethodImpl (every such call it makes is queued).
        "race:QMetaObject::invokeMethodImpl\n"
        // Races inside the system libraries that the window test drives
        // through the camera library (as in tests/camlib): libudev seeds its
        // hash keys from a process-wide buffer in every context, and the
        // umockdev testbed hands data to its own worker thread.
        "race:libudev.so.1\n"
        // glibc keeps the time zone it read (TZ, /etc/localtime) under a
        // lock of its own, in uninstrumented code.  tzset(), which Qt calls
        // before it converts a file time, reads the zone again, dropping
        // and copying the saved name; a first localtime_r on another thread
        // copies it too.  Both run under that lock, which ThreadSanitizer
        // does not see, so the copy and the drop look unordered.
        "race:tzset_internal\n"
        "race:libumockdev.so.0\n"
        "race:libumockdev-preload.so.0\n";
}

#if defined(__SANITIZE_THREAD__)
void __tsan_acquire(void *addr);
void __tsan_release(void *addr);
#endif
}

#if defined(__SANITIZE_THREAD__)
// Qt orders work between threads with its futex-based QMutex and its own
// atomics, in uninstrumented code.  ThreadSanitizer follows Qt only where
// Qt happens to go through a pthread call it intercepts, so it would see
// races where Qt guarantees an order.  The wrappers below, in the test
// executables only, state the two orders the service relies on; nothing is
// ignored by them.
namespace {

template <typename Fn>
Fn qtCore(const char *symbol)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
}

// Stands for the queue of events posted to a thread.
void *postedEvents(QThread *thread)
{
    return reinterpret_cast<char *>(thread) + 1;
}

// A thread delivering an event has taken its posted events under the queue
// lock, after every thread that posted to it.
bool onEventDelivery(void **)
{
    __tsan_acquire(postedEvents(QThread::currentThread()));
    return false;  // deliver as usual
}

const bool g_deliveryHooked = QInternal::registerCallback(QInternal::EventNotifyCallback, onEventDelivery);

}  // namespace

// 1. A queued call (QMetaObject::invokeMethod with a lambda, as the send
//    path posts its flushes) is run after everything its poster did before.
bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type,
                                   void *ret)
{
    static const auto real = qtCore<bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    if (object)
        __tsan_release(postedEvents(object->thread()));
    return real(object, slot, type, ret);
}

// 2. QThread::wait() learns that a thread has ended from a flag under Qt's
//    mutex; it takes the path ThreadSanitizer follows (a pthread condition)
//    only when it has to sleep.  The thread releases when it emits
//    finished() (on itself, as it ends); a wait that reports the thread
//    ended acquires.
void QThread::start(QThread::Priority priority)
{
    static const auto real = qtCore<void (*)(QThread *, QThread::Priority)>("_ZN7QThread5startENS_8PriorityE");
    QObject::connect(this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    real(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real = qtCore<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = real(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    static const auto real = qtCore<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool ended = real(this, time);
    if (ended)
        __tsan_acquire(this);
    return ended;
}
#endif
