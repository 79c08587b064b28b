// A console reporter that also keeps every measured run, so that a benchmark
// program can print a summary table (throughput per size, ratios between two
// benchmarks over the same bytes) from the figures it just measured.
//
// The summaries use CPU time per iteration: on a machine shared with other
// work, wall time also counts the time the benchmark waited for a core.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace bench {

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double seconds =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      seconds_[run.run_name.str()].push_back(seconds);
    }
    benchmark::ConsoleReporter::ReportRuns(runs);
  }

  // Median CPU seconds per iteration over the repetitions of `name` (the run name
  // without aggregate suffixes), or a negative value when it did not run.
  double Seconds(const std::string& name) const {
    auto it = seconds_.find(name);
    if (it == seconds_.end() || it->second.empty()) return -1;
    std::vector<double> values = it->second;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  }

 private:
  std::map<std::string, std::vector<double>> seconds_;
};

}  // namespace bench
