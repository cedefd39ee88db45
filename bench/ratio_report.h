#pragma once

// A console reporter that also keeps each benchmark's wall and CPU time per
// iteration (the median when repetitions are aggregated), so that a benchmark's
// main can print, after the run, how ours compares with a floor and how each
// benchmark grows with the size argument.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelmarion::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override;

  // Prints "ours / floor" (wall time, and CPU time of this process) for every
  // size measured for both benchmarks of each pair (function names, without the
  // size), then t(10n)/t(n) (wall time) for every benchmark measured at
  // consecutive sizes n and 10n.
  void print_summary(const std::vector<std::pair<std::string, std::string>>& pairs) const;

 private:
  struct Measured {
    double seconds = 0;      // wall time
    double cpu_seconds = 0;  // CPU time of this process
    bool median = false;
  };
  // By function name, then by size argument.
  std::map<std::string, std::map<long, Measured>> _times;
};

// Runs the benchmarks selected on the command line with a RatioReporter and
// prints its summary for `pairs`; the body of a benchmark's main.
int run_with_ratios(int argc, char** argv,
                    const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace kelmarion::bench
