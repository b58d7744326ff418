// Leak reports of the service fuzz targets that are not the service's:
// the window and the application live until the process ends, and Qt's
// offscreen platform (Qt 5.15) and fontconfig keep their font and screen
// records past that point without a reference LeakSanitizer can see.
extern "C" __attribute__((used)) const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:libfontconfig.so\n";
}
