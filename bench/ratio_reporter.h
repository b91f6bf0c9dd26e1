// Benchmarks are judged as ratios against a baseline measured in the same run, so the figures
// hold on any machine. RatioReporter prints the console table, then one line per pair.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace kestrune::bench {

struct RatioPair {
  std::string ours;
  std::string baseline;
  double limit;  // ours / baseline must stay at or below this
};

// registerRatio adds a pair to the report printed after the run.
void registerRatio(std::string ours, std::string baseline, double limit);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  // printRatios prints every registered pair and returns the number above its limit.
  int printRatios() const;

 private:
  std::map<std::string, double> times_;  // median (or single) real time per benchmark
};

}  // namespace kestrune::bench
