#include "ratio_report.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>

namespace kelmarion::bench {

void RatioReporter::ReportRuns(const std::vector<Run>& reports) {
  for (const auto& run : reports) {
    if (run.error_occurred || run.iterations == 0) continue;
    const bool median = run.run_type == Run::RT_Aggregate;
    if (median && run.aggregate_name != "median") continue;
    char* end = nullptr;
    const long size = std::strtol(run.run_name.args.c_str(), &end, 10);
    if (end == run.run_name.args.c_str()) continue;  // only benchmarks with a size argument
    auto& measured = _times[run.run_name.function_name][size];
    if (measured.median && !median) continue;
    const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
    measured = {run.GetAdjustedRealTime() / unit, run.GetAdjustedCPUTime() / unit, median};
  }
  ConsoleReporter::ReportRuns(reports);
}

void RatioReporter::print_summary(
    const std::vector<std::pair<std::string, std::string>>& pairs) const {
  std::string text;
  for (const auto& [ours, floor] : pairs) {
    const auto ours_times = _times.find(ours);
    const auto floor_times = _times.find(floor);
    if (ours_times == _times.end() || floor_times == _times.end()) continue;
    for (const auto& [size, measured] : ours_times->second) {
      const auto floor_measured = floor_times->second.find(size);
      if (floor_measured == floor_times->second.end()) continue;
      const auto& floor_time = floor_measured->second;
      text += fmt::format("{:<28} {:>6} {:>11.2f} ms {:>11.2f} ms {:>6.2f} {:>6.2f}\n", ours, size,
                          measured.seconds * 1e3, floor_time.seconds * 1e3,
                          measured.seconds / floor_time.seconds,
                          measured.cpu_seconds / floor_time.cpu_seconds);
    }
  }
  if (!text.empty()) {
    std::printf("\n%s\n%s",
                fmt::format("{:<28} {:>6} {:>14} {:>14} {:>6} {:>6}", "ours / floor", "tables",
                            "ours (wall)", "floor (wall)", "wall", "cpu")
                    .c_str(),
                text.c_str());
  }
  text.clear();
  for (const auto& [name, sizes] : _times) {
    for (const auto& [size, measured] : sizes) {
      const auto larger = sizes.find(size * 10);
      if (larger == sizes.end()) continue;
      text += fmt::format("{:<28} {:>6} {:>6} {:>10.2f}\n", name, size, size * 10,
                          larger->second.seconds / measured.seconds);
    }
  }
  if (!text.empty()) {
    std::printf(
        "\n%s\n%s",
        fmt::format("{:<28} {:>6} {:>6} {:>10}", "growth t(10n) / t(n)", "n", "10n", "ratio")
            .c_str(),
        text.c_str());
  }
  std::fflush(stdout);
}

int run_with_ratios(int argc, char** argv,
                    const std::vector<std::pair<std::string, std::string>>& pairs) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.print_summary(pairs);
  return 0;
}

}  // namespace kelmarion::bench
