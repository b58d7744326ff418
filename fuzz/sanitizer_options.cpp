// Leak reports of the service fuzz targets that are not the service's:
// - the window and the application live until the process ends, and Qt's
//   offscreen platform (Qt 5.15) and fontconfig keep their font and screen
//   records past that point without a reference LeakSanitizer can see;
// - an "UploadFile" request goes on after the input has been handled: the
//   upload worker's libcurl resolves the host on a thread of its own, and
//   a check between two inputs can meet glibc's resolver with an answer
//   buffer in hand (not reproducible with the input alone).  Only
//   allocations made by the resolver itself are left out; the service's
//   and libcurl's stay checked.
extern "C" __attribute__((used)) const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:libfontconfig.so\n"
           "leak:__res_context_send\n";
}
