#include <cstdio>
#include <utility>

#include "bench/ratio_reporter.h"

namespace kestrune::bench {
namespace {
std::vector<RatioPair>& pairs() {
  static std::vector<RatioPair> all;
  return all;
}
struct AddedLimit {
  std::string benchmark;
  double limitMicroseconds;
};
std::vector<AddedLimit>& addedLimits() {
  static std::vector<AddedLimit> all;
  return all;
}
}  // namespace

void registerRatio(std::string ours, std::string baseline, double limit) {
  pairs().push_back({std::move(ours), std::move(baseline), limit});
}

void registerPairedRatio(std::string benchmark, double limit) {
  pairs().push_back({std::move(benchmark), std::string(), limit});
}

void registerAddedTime(std::string benchmark, double limitMicroseconds) {
  addedLimits().push_back({std::move(benchmark), limitMicroseconds});
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const auto& run : runs) {
    if (run.error_occurred) continue;
    const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
    const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    if (!single && !median) continue;
    std::string name = run.run_name.function_name;
    if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
    times_[name] = run.GetAdjustedRealTime();
    if (const auto ratio = run.counters.find("ratio"); ratio != run.counters.end()) {
      ratios_[name] = ratio->second.value;
    }
    if (const auto added = run.counters.find("added_us"); added != run.counters.end()) {
      added_[name] = added->second.value;
    }
  }
}

int RatioReporter::printRatios() const {
  int over = 0;
  std::printf("\n%-44s %-40s %8s %6s\n", "benchmark", "baseline", "ratio", "limit");
  for (const auto& p : pairs()) {
    double ratio = 0;
    if (p.baseline.empty()) {
      const auto paired = ratios_.find(p.ours);
      if (paired == ratios_.end()) continue;
      ratio = paired->second;
    } else {
      auto a = times_.find(p.ours);
      auto b = times_.find(p.baseline);
      if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
      ratio = a->second / b->second;
    }
    const bool ok = ratio <= p.limit;
    if (!ok) ++over;
    const char* baseline = p.baseline.empty() ? "(paired, in the same loop)" : p.baseline.c_str();
    std::printf("%-44s %-40s %8.3f %6.2f %s\n", p.ours.c_str(), baseline, ratio, p.limit,
                ok ? "ok" : "OVER");
  }
  for (const auto& limit : addedLimits()) {
    const auto added = added_.find(limit.benchmark);
    if (added == added_.end()) continue;
    const bool ok = added->second <= limit.limitMicroseconds;
    if (!ok) ++over;
    std::printf("%-44s %-40s %6.0fus %4.0fus %s\n", limit.benchmark.c_str(),
                "(time added per call, paired)", added->second, limit.limitMicroseconds,
                ok ? "ok" : "OVER");
  }
  return over;
}

}  // namespace kestrune::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  kestrune::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.printRatios() == 0 ? 0 : 1;
}
