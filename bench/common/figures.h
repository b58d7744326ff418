// The figures of one benchmark program, each with its goal and, where the
// program measures one in the same run, the baseline it is compared to.
//
// finish() prints them as a table and appends them as CSV rows to the file
// named by $KOBIX_BENCH_FIGURES (scripts/bench.sh sets it and prints one
// summary of every program's rows at the end of `make bench`):
//
//   benchmark,figure,value,unit,goal,met,baseline,baseline_value,ratio
//
// goal is "<= N", ">= N", "<= Nx baseline" or empty; met is yes, no or empty; ratio is
// value / baseline_value.  Names never hold commas or double quotes (add()
// turns them into ';' and '\''), so a line splits on commas.
//
// Thread: the benchmark's main thread only.
#ifndef KOBIX_BENCH_FIGURES_H
#define KOBIX_BENCH_FIGURES_H

#include <cmath>
#include <string>
#include <vector>

namespace bench {

struct Goal {
    enum Kind { None, AtMost, AtLeast, RatioAtMost };
    Kind kind = None;
    double limit = NAN;

    static Goal atMost(double limit) { return {AtMost, limit}; }
    static Goal atLeast(double limit) { return {AtLeast, limit}; }
    // value / baseline at most the limit.
    static Goal ratioAtMost(double limit) { return {RatioAtMost, limit}; }
    bool met(double value, double baseline) const;  // true without a goal
    std::string text() const;  // "<= 80", ">= 14.5", "<= 0.4x baseline" or ""
};

// A figure measured in the same run that the figure is compared to.
struct Baseline {
    std::string name;
    double value = NAN;
};

class Figures
{
public:
    explicit Figures(std::string benchmark);

    void add(const std::string &figure, double value, const std::string &unit, Goal goal = {},
             const Baseline &baseline = {});
    bool allMet() const;  // every goal met (figures without a goal count as met)

    // Prints the table on standard output and appends the CSV rows; false
    // when the CSV file was named but could not be written.
    bool finish();

private:
    struct Row {
        std::string figure, unit;
        double value;
        Goal goal;
        Baseline baseline;
    };
    std::string m_benchmark;
    std::vector<Row> m_rows;
};

}  // namespace bench

#endif
