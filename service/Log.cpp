#include "Log.h"

#include "general.h"

#include <tinyxml.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int64_t nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Category {
    const char *token;
    int bit;
};

const Category kCategories[] = {
    {"LOG_ERROR", LOG_ERROR}, {"LOG_FLOW", LOG_FLOW},   {"LOG_SPEED", LOG_SPEED},
    {"LOG_PEMRX", LOG_PEMRX}, {"LOG_DEBUG", LOG_DEBUG},
};

}  // namespace

CLog::CLog(const char *name)
    : m_msgBuf{}, m_logMask(0), m_timers(), m_logName{}
{
    snprintf(m_logName, sizeof(m_logName), "%s", name ? name : "");
    pthread_mutex_init(&m_mutex, nullptr);
    loadConfiguration();
}

CLog::CLog(int)
    : m_msgBuf{}, m_logMask(LOG_ERROR | LOG_FLOW | LOG_SPEED | LOG_PEMRX | LOG_DEBUG), m_timers(),
      m_logName{}
{
    pthread_mutex_init(&m_mutex, nullptr);
}

CLog::~CLog()
{
    pthread_mutex_destroy(&m_mutex);
}

void CLog::loadConfiguration()
{
    TiXmlDocument doc("logmgr.xml");
    if (!doc.LoadFile())
        return;
    TiXmlElement *root = doc.RootElement();
    if (!root) {
        Add("没有找到element");
        return;
    }
    for (TiXmlElement *child = root->FirstChildElement(); child; child = child->NextSiblingElement()) {
        // An element without text (or with only child elements) has nothing
        // to match; skip it rather than comparing a null text.
        const char *text = child->GetText();
        if (!text)
            continue;
        for (const Category &c : kCategories) {
            if (strcmp(text, c.token) != 0)
                continue;
            int enable = 0;
            if (child->QueryIntAttribute("enable", &enable) == TIXML_SUCCESS && enable == 1)
                m_logMask |= c.bit;
        }
    }
}

int CLog::LinuxGetModuleFileName(char *dst, int len)
{
    char path[1024] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
    if (n < 0 || n >= static_cast<ssize_t>(sizeof(path)))
        return -1;
    path[n] = '\0';
    const char *slash = strrchr(path, '/');
    const char *name = slash ? slash + 1 : path;
    if (dst && len > 0)
        strncpy(dst, name, len);
    return 0;
}

std::string CLog::logDirectory()
{
    const char *home = getenv("HOME");
    if (!home || !*home)
        return std::string();
    char program[512] = {};
    // A path too long for the loader buffer leaves the middle component empty.
    LinuxGetModuleFileName(program, sizeof(program) - 1);
    return std::string(home) + "/.ZARN/" + program + "/Log";
}

std::string CLog::logFilePath(const char *name)
{
    std::string dir = logDirectory();
    if (dir.empty())
        return dir;
    time_t t = time(nullptr);
    struct tm lt;
    localtime_r(&t, &lt);
    char file[400];
    snprintf(file, sizeof(file), "/%s-%d_%d_%d.log", name ? name : "", lt.tm_year + 1900, lt.tm_mon + 1,
             lt.tm_mday);
    return dir + file;
}

void CLog::appendLine(const std::string &path, const char *text)
{
    FILE *fp = fopen(path.c_str(), "a");
    if (!fp)
        return;
    int64_t ns = nowNanoseconds();
    time_t secs = static_cast<time_t>(ns / 1000000000);
    int ms = static_cast<int>(ns / 1000000 - static_cast<int64_t>(secs) * 1000);
    struct tm lt;
    localtime_r(&secs, &lt);
    char stamp[32];
    snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d:%03d", lt.tm_hour, lt.tm_min, lt.tm_sec, ms);
    char line[6000];
    snprintf(line, sizeof(line), "%s\t %s", stamp, text);
    fprintf(fp, "%s\n", line);
    fclose(fp);
}

std::string CLog::prepareFile(const char *name)
{
    // Directory creation and path building use per-call storage, outside the
    // lock, so a slow file system does not serialise the callers' formatting.
    std::string dir = logDirectory();
    if (dir.empty())
        return dir;  // no HOME: nowhere sensible to write, the line is dropped
    general::Zarn_Config_Mkdir(dir.c_str(), 0);
    return logFilePath(name);
}

void CLog::write(const char *name, const char *fmt, va_list ap)
{
    std::string path = prepareFile(name);
    if (path.empty())
        return;
    pthread_mutex_lock(&m_mutex);
    vsnprintf(m_msgBuf, sizeof(m_msgBuf), fmt, ap);
    appendLine(path, m_msgBuf);
    pthread_mutex_unlock(&m_mutex);
}

void CLog::writeText(const char *name, const char *text)
{
    std::string path = prepareFile(name);
    if (path.empty())
        return;
    pthread_mutex_lock(&m_mutex);
    snprintf(m_msgBuf, sizeof(m_msgBuf), "%s", text);
    appendLine(path, m_msgBuf);
    pthread_mutex_unlock(&m_mutex);
}

void CLog::Add(const char *name, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    write(name, fmt, ap);
    va_end(ap);
}

void CLog::Add(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    write(m_logName, fmt, ap);
    va_end(ap);
}

void CLog::Add(int category, const char *fmt, ...)
{
    if ((category & m_logMask) == 0)
        return;
    // Format once into a private buffer and write the result as text, so a
    // message holding '%' is not formatted a second time.
    char text[3000];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    writeText(m_logName, text);
}

int CLog::StarTimer(int id)
{
    for (const _tagTIMER &t : m_timers) {
        if (t.id == id) {
            Add("此ID已经被使用：%d", id);
            return -1;
        }
    }
    m_timers.push_back(_tagTIMER{nowNanoseconds(), 0, id});
    return 0;
}

double CLog::Duration_not_erase(int id)
{
    for (const _tagTIMER &t : m_timers) {
        if (t.id == id)
            return static_cast<double>(nowNanoseconds() - t.startTime) / 1e9;
    }
    return 0;
}

double CLog::Duration(int id)
{
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        if (it->id == id) {
            double seconds = static_cast<double>(nowNanoseconds() - it->startTime) / 1e9;
            m_timers.erase(it);
            return seconds;
        }
    }
    return 0;
}

void CLog::Erase_a_timer(int id)
{
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        if (it->id == id) {
            m_timers.erase(it);
            return;
        }
    }
}
