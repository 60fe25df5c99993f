// A console reporter that keeps each benchmark's time per iteration, so a
// benchmark's main can close with the ratio of two of them measured in the
// same run: the median when the run is repeated (--benchmark_repetitions),
// else the one run.

#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  enum class Clock { Real, CPU };
  // CPU time leaves out what other processes on a shared machine take; real
  // time counts the waits (disk syncs, other threads) the work itself makes.
  // Colours only on a terminal: scripts/bench reads the output from a file.
  explicit RatioReporter(Clock clock = Clock::Real)
      : benchmark::ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular), clock_(clock) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      const double time = clock_ == Clock::CPU ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime();
      if (run.run_type == Run::RT_Iteration) {
        times_[name] = time;
        for (const auto& [key, value] : run.counters) counters_[name + "/" + key] = value;
      } else if (run.aggregate_name == "median") {
        medians_[name] = time;
        for (const auto& [key, value] : run.counters) medianCounters_[name + "/" + key] = value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median or the one run of the benchmark; 0 when it did not run.
  double time(const std::string& name) const {
    if (auto it = medians_.find(name); it != medians_.end()) return it->second;
    auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }

  // A counter of the benchmark, the median when repeated; 0 when absent.
  double counter(const std::string& name, const std::string& key) const {
    if (auto it = medianCounters_.find(name + "/" + key); it != medianCounters_.end()) return it->second;
    auto it = counters_.find(name + "/" + key);
    return it == counters_.end() ? 0 : it->second;
  }

 private:
  Clock clock_;
  std::map<std::string, double> times_;
  std::map<std::string, double> medians_;
  std::map<std::string, double> counters_;
  std::map<std::string, double> medianCounters_;
};

// A closing line of a benchmark's output, gathered by scripts/bench into its
// table: what the figure compares, the figure, the goal.
inline void printFigure(const std::string& what, const std::string& figure, const std::string& goal) {
  std::printf("figure: %s | %s | %s\n", what.c_str(), figure.c_str(), goal.c_str());
}

// "1.23x"
inline std::string ratioText(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", ratio);
  return text;
}

// Runs the benchmarks into the reporter, by default repeated and alternating
// at random, for benchmarks bound by the disk's syncs, which a shared machine
// makes noisy; flags given on the command line come later and win. False
// when the command line holds a flag the library does not know.
inline bool runInterleaved(int argc, char** argv, int repetitions, RatioReporter& reporter) {
  std::vector<char*> arguments(argv, argv + argc);
  std::string repeat = "--benchmark_repetitions=" + std::to_string(repetitions);
  std::string interleaving = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, {repeat.data(), interleaving.data()});
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return false;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return true;
}

}  // namespace bench
