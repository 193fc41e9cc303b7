// Evaluations per second of a typical field expression (arithmetic over three variables and
// one built-in call) by Evaluate (scan every time) and by EvalCompiled (replay of the
// compiled records), against Lua 5.4 computing the same with its result turned into text
// (the chunk loaded once, its function called each time) and the same arithmetic on plain
// doubles. Prints the ratios.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <lua.hpp>
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

// The same expression in Lua: the variables as numbers, Round to 2 places as the language
// rounds (half away from zero), the result as Lua's own text of the number.
const char* kLuaChunk = R"(
local floor = math.floor
local function round(x, places)
  local m = 10 ^ places
  if x < 0 then return -floor(-x * m + 0.5) / m end
  return floor(x * m + 0.5) / m
end
function expr(qty, rate, disc)
  return tostring(qty * rate * (100 - disc) / 100 + round(rate / 3, 2))
end
)";

void BM_Lua(benchmark::State& state) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  if (luaL_dostring(L, kLuaChunk) != LUA_OK) {
    state.SkipWithError(lua_tostring(L, -1));
    lua_close(L);
    return;
  }
  std::string result;
  for (auto _ : state) {
    lua_getglobal(L, "expr");
    lua_pushnumber(L, 12);
    lua_pushnumber(L, 45.5);
    lua_pushnumber(L, 7.5);
    lua_call(L, 3, 1);
    size_t n = 0;
    const char* text = lua_tolstring(L, -1, &n);
    result.assign(text, n);
    lua_pop(L, 1);
    benchmark::DoNotOptimize(result.data());
  }
  lua_close(L);
  if (result != "520.22") state.SkipWithError(("wrong value " + result).c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Lua);

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
        times[run.benchmark_name()] = run.GetAdjustedCPUTime();
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
  if (t.count("BM_EvalCompiled") && t.count("BM_Lua") && t.at("BM_Lua") > 0)
    std::printf("ratio EvalCompiled / Lua: %.2f (target <= 1.5)\n",
                t.at("BM_EvalCompiled") / t.at("BM_Lua"));
  benchmark::Shutdown();
  return 0;
}
