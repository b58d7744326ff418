// The one way both deliverables print a diagnostic line of their own.
//
// The fixed texts of the program and the library (the "Error::..." lines,
// the "[%s][%d]" traces and the other quoted lines) are printed as they are.
// Every other line goes through printLine, so that a reader of the output
// can tell an error from a trace and see which part spoke:
//
//     [error] upload: transfer failed (curl 7): Couldn't connect to server
//
// A line is formatted whole and written with one call, so lines from several
// threads never interleave.  Standard output, like the fixed texts.
// Thread-safe; no state.
#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace zarn {

enum class Level { Error, Warning, Info, Trace };

inline const char *levelName(Level level)
{
    switch (level) {
    case Level::Error:
        return "error";
    case Level::Warning:
        return "warning";
    case Level::Info:
        return "info";
    case Level::Trace:
        return "trace";
    }
    return "?";
}

// Prints "[<level>] <module>: <text>" and a line end.
__attribute__((format(printf, 3, 4))) inline void printLine(Level level, const char *module, const char *fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    char line[1200];
    const int n = snprintf(line, sizeof line, "[%s] %s: %s\n", levelName(level), module, text);
    if (n > 0)
        fwrite(line, 1, n < static_cast<int>(sizeof line) ? static_cast<std::size_t>(n) : sizeof line - 1, stdout);
}

// strerror that is safe on any thread.
inline std::string errorText(int err)
{
    char buf[128];
    return strerror_r(err, buf, sizeof buf); // GNU form: returns the text
}

} // namespace zarn
