// ThreadSanitizer defaults of kobix-web itself in the sanitizer trees (its
// other defaults and suppressions are those of the in-process tests, linked
// in beside this file).  The tests end the program with a signal, so a
// report must stop it at once to be seen: the client then loses its
// connection and the test fails, with the report on the program's stderr.
extern "C" __attribute__((used)) const char *__tsan_default_options()
{
    return "halt_on_error=1";
}
