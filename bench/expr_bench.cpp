// Evaluations per second of a typical field expression (arithmetic over three variables and
// one built-in call) by Evaluate (scan every time) and by EvalCompiled (replay of the
// compiled records), against the same arithmetic on plain doubles. Prints the ratios.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "UParse.h"

namespace {

const char* kExpression = "qty*rate*(100-disc)/100+Round(rate/3, 2)";

void SetFields(v7::TEVAL& e) {
  e.SetVar("qty", 'n', "12");
  e.SetVar("rate", 'n', "45.5");
  e.SetVar("disc", 'n', "7.5");
}

void BM_Evaluate(benchmark::State& state) {
  v7::TEVAL e;
  SetFields(e);
  for (auto _ : state) {
    e.Evaluate(kExpression);
    benchmark::DoNotOptimize(e.ResultValue.data());
  }
  if (e.ResultValue != "520.22") state.SkipWithError(("wrong value " + e.ResultValue).c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Evaluate);

void BM_EvalCompiled(benchmark::State& state) {
  v7::TEVAL e;
  SetFields(e);
  const int id = e.Compile(kExpression);
  for (auto _ : state) {
    e.EvalCompiled(id);
    benchmark::DoNotOptimize(e.ResultValue.data());
  }
  if (e.ResultValue != "520.22") state.SkipWithError(("wrong value " + e.ResultValue).c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvalCompiled);

void BM_NativeDoubles(benchmark::State& state) {
  double qty = 12, rate = 45.5, disc = 7.5, result = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(qty);
    benchmark::DoNotOptimize(rate);
    benchmark::DoNotOptimize(disc);
    result = qty * rate * (100 - disc) / 100 + std::round(rate / 3 * 100) / 100;
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NativeDoubles);

// Keeps the time per iteration of each benchmark for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& t = reporter.times;
  if (t.count("BM_Evaluate") && t.count("BM_EvalCompiled") && t.count("BM_NativeDoubles") &&
      t.at("BM_NativeDoubles") > 0) {
    const double native = t.at("BM_NativeDoubles");
    std::printf("ratio Evaluate / native doubles: %.0f\n", t.at("BM_Evaluate") / native);
    std::printf("ratio EvalCompiled / native doubles: %.0f\n", t.at("BM_EvalCompiled") / native);
    std::printf("ratio Evaluate / EvalCompiled: %.2f\n",
                t.at("BM_Evaluate") / t.at("BM_EvalCompiled"));
  }
  benchmark::Shutdown();
  return 0;
}
