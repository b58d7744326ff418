#include "procstat.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {

std::uint64_t monoNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

double envNumber(const char *name, double fallback)
{
    const char *v = std::getenv(name);
    if (!v || !*v)
        return fallback;
    const double d = std::atof(v);
    return d >= 0 ? d : fallback;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t rank = size_t(std::ceil(p / 100.0 * double(v.size())));
    return v[std::min(v.size() - 1, rank ? rank - 1 : 0)];
}

std::uint64_t cpuTicks(const std::string &statPath)
{
    const std::string s = readFile(statPath);
    const size_t close = s.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream in(s.substr(close + 2));
    std::string field;
    std::uint64_t utime = 0, stime = 0;
    for (int i = 0; i < 13 && in >> field; ++i) { // fields 3..15 of proc(5)
        if (i == 11)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 12)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return utime + stime;
}

long rssKiB(pid_t pid)
{
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

namespace {

int countEntries(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

}  // namespace

int openFds(pid_t pid) { return countEntries("/proc/" + std::to_string(pid) + "/fd"); }

int threadCount(pid_t pid) { return countEntries("/proc/" + std::to_string(pid) + "/task"); }

bool alive(pid_t pid, const char *comm)
{
    return pid > 0 && readFile("/proc/" + std::to_string(pid) + "/comm") == std::string(comm) + "\n";
}

Cpu readCpu(pid_t pid, const char *threadComm)
{
    Cpu c;
    c.atNs = monoNs();
    const std::string base = "/proc/" + std::to_string(pid);
    c.process = cpuTicks(base + "/stat");
    if (!threadComm)
        return c;
    if (DIR *d = opendir((base + "/task").c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            const std::string task = base + "/task/" + e->d_name;
            if (readFile(task + "/comm") == std::string(threadComm) + "\n")
                c.named += cpuTicks(task + "/stat");
        }
        closedir(d);
    }
    return c;
}

std::pair<double, double> cpuPercent(const Cpu &a, const Cpu &b)
{
    const double hz = double(sysconf(_SC_CLK_TCK));
    const double s = double(b.atNs - a.atNs) / 1e9;
    if (s <= 0)
        return {NAN, NAN};
    return {100.0 * double(b.process - a.process) / hz / s, 100.0 * double(b.named - a.named) / hz / s};
}

pid_t childNamed(pid_t parent, const char *comm)
{
    pid_t found = -1;
    DIR *d = opendir("/proc");
    if (!d)
        return found;
    while (dirent *e = readdir(d)) {
        const pid_t pid = pid_t(std::atol(e->d_name));
        if (pid <= 0)
            continue;
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream in(stat.substr(close + 2));
        std::string state;
        long ppid = 0;
        in >> state >> ppid;
        if (ppid == parent && alive(pid, comm))
            found = pid;
    }
    closedir(d);
    return found;
}

}  // namespace bench
