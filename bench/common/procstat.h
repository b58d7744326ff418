// What a benchmark reads about a process from /proc, and small statistics.
// Plain functions, no state: any thread may call them.
#ifndef KOBIX_BENCH_PROCSTAT_H
#define KOBIX_BENCH_PROCSTAT_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

std::uint64_t monoNs();
double envNumber(const char *name, double fallback); // fallback when unset, empty or negative
std::string readFile(const std::string &path);

// Nearest-rank percentile, p in percent; NaN for no values.
double percentile(std::vector<double> v, double p);

// utime + stime of a /proc stat file, in clock ticks.
std::uint64_t cpuTicks(const std::string &statPath);

long rssKiB(pid_t pid);      // VmRSS; -1 when the process is gone
int openFds(pid_t pid);      // entries of /proc/PID/fd; -1 when gone
int threadCount(pid_t pid);  // entries of /proc/PID/task; -1 when gone
bool alive(pid_t pid, const char *comm); // the process exists and has that name

// A process's CPU, and that of its threads named threadComm (if given).
struct Cpu {
    std::uint64_t process = 0, named = 0, atNs = 0;
};
Cpu readCpu(pid_t pid, const char *threadComm = nullptr);
// % of one core between two readings: {whole process, the named threads}.
std::pair<double, double> cpuPercent(const Cpu &a, const Cpu &b);

// The child of parent with that command name, or -1.
pid_t childNamed(pid_t parent, const char *comm);

}  // namespace bench

#endif
