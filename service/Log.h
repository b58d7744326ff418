// Daily text log of the service with category switches and stopwatch timers.
//
// Files live under $HOME/.ZARN/<program file name>/Log, one per log name and
// day ("<name>-<year>_<month>_<day>.log"); the name is computed at every
// write, so a new file begins at local midnight.  Categories come from
// "logmgr.xml" in the working directory, read once at construction.
//
// Threads: every Add() may be called from any thread (writing is serialised
// by m_mutex).  The timer operations take no lock and belong to one thread.
#ifndef KOBIX_LOG_H
#define KOBIX_LOG_H

#include <pthread.h>

#include <cstdarg>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Category bits of m_logMask, switched on by "logmgr.xml".
enum {
    LOG_ERROR = 1,
    LOG_FLOW = 2,
    LOG_SPEED = 4,
    LOG_PEMRX = 8,
    LOG_DEBUG = 16,
};

struct _tagTIMER {
    int64_t startTime;  // system clock, nanoseconds since the epoch
    int64_t reserved;   // always 0
    int id;
};

class CLog
{
public:
    explicit CLog(const char *name);
    // Every category enabled, no configuration read.
    explicit CLog(int);
    virtual ~CLog();

    CLog(const CLog &) = delete;
    CLog &operator=(const CLog &) = delete;

    // Always writes, to the file of `name`.
    void Add(const char *name, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    // Always writes, to the file of the log name given at construction.
    void Add(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // Writes only when `category` shares a bit with the enabled categories.
    void Add(int category, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

    // File name of the running program (last component of /proc/self/exe),
    // copied with strncpy semantics into dst.  0, or -1 when unreadable.
    static int LinuxGetModuleFileName(char *dst, int len);

    int StarTimer(int id);
    double Duration(int id);
    double Duration_not_erase(int id);
    void Erase_a_timer(int id);

    int logMask() const { return m_logMask; }

    // Directory of the daily files for this process, or "" when HOME is unset.
    static std::string logDirectory();
    // Full path of today's file of `name` (empty when HOME is unset).
    static std::string logFilePath(const char *name);

private:
    void loadConfiguration();
    // Formats into m_msgBuf and appends one line; caller does not hold m_mutex.
    void write(const char *name, const char *fmt, va_list ap);
    void writeText(const char *name, const char *text);
    static std::string prepareFile(const char *name);
    void appendLine(const std::string &path, const char *text);

    char m_msgBuf[3000];
    int m_logMask;
    pthread_mutex_t m_mutex;
    std::vector<_tagTIMER> m_timers;
    char m_logName[256];
};

// The service's one log, named "pemrix-web-protocal".
extern CLog Log;

#endif
