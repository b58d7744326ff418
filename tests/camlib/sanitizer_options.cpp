// Defaults for the sanitizer builds of the camera library's tests, which run
// with libumockdev-preload in LD_PRELOAD (so the ASan runtime cannot come
// first in the library list).
extern "C" {

__attribute__((used)) const char *__asan_default_options()
{
    return "verify_asan_link_order=0:detect_leaks=1";
}

// Races inside the system libraries the tests drive, not in the camera
// library: libudev seeds its hash keys from a process-wide buffer on first
// use in every context (each thread here has its own udev context), and the
// umockdev testbed hands data to its own worker thread through GLib.
__attribute__((used)) const char *__tsan_default_suppressions()
{
    return "race:libudev.so.1\n"
           "race:libumockdev.so.0\n"
           "race:libumockdev-preload.so.0\n"
           "race:libglib-2.0.so.0\n";
}
}
