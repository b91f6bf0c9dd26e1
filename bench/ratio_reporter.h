// Benchmarks are judged as ratios against a baseline measured in the same run, so the figures
// hold on any machine. RatioReporter prints the console table, then one line per pair.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace kestrune::bench {

struct RatioPair {
  std::string ours;
  std::string baseline;  // empty: ours measures both paths and reports the counter "ratio"
  double limit;          // ours / baseline must stay at or below this
};

// registerRatio adds a pair to the report printed after the run.
void registerRatio(std::string ours, std::string baseline, double limit);
// registerPairedRatio adds a benchmark that times both paths in alternation and reports their
// ratio in its counter "ratio" (the median over repetitions is judged).
void registerPairedRatio(std::string benchmark, double limit);
// registerAddedTime judges a paired benchmark by the time ours adds to the baseline per
// iteration, its counter "added_us", for targets given as time rather than as a ratio.
void registerAddedTime(std::string benchmark, double limitMicroseconds);

// runPaired runs ours and baseline in alternation, each timed on its own and the first of each
// pair changing every iteration, so that the machine's drift within a run (a token's file
// work, the memory bus, the loopback) falls on both alike instead of on whichever ran later.
// Each callable returns null on success or the reason it failed. The iteration time is ours
// (register the benchmark with UseManualTime); the counter "ratio" is ours over baseline, and
// "added_us" the mean time ours took beyond the baseline per iteration, in microseconds.
template <class Ours, class Baseline>
void runPaired(benchmark::State& state, Ours&& ours, Baseline&& baseline) {
  using Clock = std::chrono::steady_clock;
  Clock::duration oursTotal{}, baselineTotal{};
  bool oursFirst = false;
  for (auto _ : state) {
    oursFirst = !oursFirst;
    Clock::duration oursTime{}, baselineTime{};
    const char* why = nullptr;
    for (int arm = 0; arm < 2 && why == nullptr; ++arm) {
      const auto start = Clock::now();
      if ((arm == 0) == oursFirst) {
        why = ours();
        oursTime = Clock::now() - start;
      } else {
        why = baseline();
        baselineTime = Clock::now() - start;
      }
    }
    if (why != nullptr) {
      state.SkipWithError(why);
      return;
    }
    oursTotal += oursTime;
    baselineTotal += baselineTime;
    state.SetIterationTime(std::chrono::duration<double>(oursTime).count());
  }
  if (baselineTotal.count() > 0) {
    state.counters["ratio"] =
        static_cast<double>(oursTotal.count()) / static_cast<double>(baselineTotal.count());
    state.counters["added_us"] =
        std::chrono::duration<double, std::micro>(oursTotal - baselineTotal).count() /
        static_cast<double>(state.iterations());
  }
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  // printRatios prints every registered pair and returns the number above its limit.
  int printRatios() const;

 private:
  std::map<std::string, double> times_;   // median (or single) real time per benchmark
  std::map<std::string, double> ratios_;  // median (or single) "ratio" counter per benchmark
  std::map<std::string, double> added_;   // median (or single) "added_us" counter per benchmark
};

}  // namespace kestrune::bench
