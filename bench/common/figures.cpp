#include "figures.h"

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

std::string clean(std::string s)
{
    for (char &c : s) {
        if (c == ',')
            c = ';';
        else if (c == '"')
            c = '\'';
        else if (c == '\n')
            c = ' ';
    }
    return s;
}

// Shortest text that keeps 4 significant digits; "" for NaN.
std::string number(double v)
{
    if (std::isnan(v))
        return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
}

}  // namespace

bool Goal::met(double value, double baseline) const
{
    switch (kind) {
    case AtMost:
        return value <= limit;
    case AtLeast:
        return value >= limit;
    case RatioAtMost:
        return value / baseline <= limit;
    default:
        return true;
    }
}

std::string Goal::text() const
{
    switch (kind) {
    case AtMost:
        return "<= " + number(limit);
    case AtLeast:
        return ">= " + number(limit);
    case RatioAtMost:
        return "<= " + number(limit) + "x baseline";
    default:
        return "";
    }
}

Figures::Figures(std::string benchmark) : m_benchmark(clean(std::move(benchmark))) {}

void Figures::add(const std::string &figure, double value, const std::string &unit, Goal goal,
                  const Baseline &baseline)
{
    m_rows.push_back(Row{clean(figure), clean(unit), value, goal, Baseline{clean(baseline.name), baseline.value}});
}

bool Figures::allMet() const
{
    for (const Row &r : m_rows)
        if (!r.goal.met(r.value, r.baseline.value))
            return false;
    return true;
}

bool Figures::finish()
{
    std::printf("\n%-52s %12s %-8s %18s %-4s %10s  %s\n", "figure", "value", "unit", "goal", "met", "ratio",
                "baseline");
    for (const Row &r : m_rows) {
        const double ratio = r.baseline.name.empty() ? NAN : r.value / r.baseline.value;
        const char *met = r.goal.kind == Goal::None ? "" : r.goal.met(r.value, r.baseline.value) ? "yes" : "NO";
        std::printf("%-52s %12s %-8s %18s %-4s %10s  %s\n", r.figure.c_str(), number(r.value).c_str(),
                    r.unit.c_str(), r.goal.text().c_str(), met, number(ratio).c_str(), r.baseline.name.c_str());
    }
    std::fflush(stdout);

    const char *path = std::getenv("KOBIX_BENCH_FIGURES");
    if (!path || !*path)
        return true;
    FILE *f = std::fopen(path, "a");
    if (!f) {
        std::perror(path);
        return false;
    }
    for (const Row &r : m_rows) {
        const double ratio = r.baseline.name.empty() ? NAN : r.value / r.baseline.value;
        const char *met = r.goal.kind == Goal::None ? "" : r.goal.met(r.value, r.baseline.value) ? "yes" : "no";
        std::fprintf(f, "%s,%s,%s,%s,%s,%s,%s,%s,%s\n", m_benchmark.c_str(), r.figure.c_str(),
                     number(r.value).c_str(), r.unit.c_str(), r.goal.text().c_str(), met, r.baseline.name.c_str(),
                     number(r.baseline.value).c_str(), number(ratio).c_str());
    }
    return std::fclose(f) == 0;
}

}  // namespace bench
