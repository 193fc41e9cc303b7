// Compiled expressions replay what Evaluate computes; line scripts assign, skip and stop.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "UParse.h"
#include "uValues.h"

using namespace v7;

namespace {

class CompiledTest : public ::testing::Test {
 protected:
  void SetUp() override {
    e.RegisterFunction("rec", 'c', [](TEVAL&, const TParamArray& a, std::string& r) {
      int last = kMaxCallArgs;
      while (last > 0 && a[last - 1].empty()) --last;
      for (int i = 0; i < last; ++i) r += (i ? "|" : "") + a[i];
    });
    e.RegisterFunction("twice", 'n', [](TEVAL&, const TParamArray& a, std::string& r) {
      r = std::to_string(2 * std::stoi(a[0].empty() ? "0" : a[0]));
    });
    e.RegisterFunction("nothing", 'c', [](TEVAL&, const TParamArray&, std::string&) {});
    e.RegisterFunction("fragile", 'c', [this](TEVAL&, const TParamArray&, std::string& r) {
      if (breakNext) throw std::runtime_error("broken");
      r = "ok";
    });
    // clang-format off
    e.SetVar("a", 'c', "abc"); e.SetVar("b", 'c', "xabcx"); e.SetVar("qty", 'n', "3");
    e.SetVar("zero", 'n', "0"); e.SetVar("rate", 'n', "2.5"); e.SetVar("blank", 'c', " ");
    e.SetVar("d1", 'd', "05/03/2024"); e.SetVar("d2", 'd', "01/03/2024");
    e.SetVar("t", 'c', "qty*2"); e.SetVar("sep", 'c', "+"); e.SetVar("paren", 'c', ")");
    // clang-format on
  }
  struct Outcome {
    bool ok;
    std::string value;
    char type;
  };
  Outcome Evaluated(const std::string& expr) {
    const bool ok = e.Evaluate(expr);
    return {ok, ok ? e.ResultValue : "", e.CurrentType};
  }
  Outcome Replayed(int id) {
    const bool ok = e.EvalCompiled(id);
    return {ok, ok ? e.ResultValue : "", e.CurrentType};
  }
  TEVAL e;
  bool breakNext = false;
};

}  // namespace

TEST_F(CompiledTest, ReplayGivesWhatEvaluateGives) {
  // The evaluation tests replay their own cases; here failures, built-ins, nested calls and
  // values that read as operators.
  // clang-format off
  const char* table[] = {"7/0", "(1+2", "1 2", "", "qty*rate", "rate/3", "abc+1", "}",
                         "zero={}", "qty${open{x}", "rec(paren, sep)+paren", "unknownword",
                         "Upper(a)+b", "rec()", "qty*rate+twice(qty)", "twice(twice(qty))+1",
                         "nothing()+1", "1-nothing()", "rec",
                         "rec(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20)",
                         "rec(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21)"};
  // clang-format on
  for (const char* expr : table) {
    const Outcome want = Evaluated(expr);
    e.CurrentType = 'x';
    const int id = e.Compile(expr);
    Outcome got;
    try {
      got = Replayed(id);
    } catch (const std::exception&) {
      got = {false, "", 'x'};  // a replay raises where Evaluate answers false
    }
    EXPECT_EQ(got.ok, want.ok) << expr;
    EXPECT_EQ(got.value, want.value) << expr;
    if (want.ok) {
      EXPECT_EQ(got.type, want.type) << expr;
    }
    EXPECT_EQ(e.Mode, 'n');
  }
}

// Numbers between operators are kept as the values their texts read back as, not written
// and read again: every result must still be the text that writing and reading each
// intermediate value gives (the 15-digit rule applied at every step).
TEST_F(CompiledTest, ArithmeticGivesTheTextOfEachStepWrittenAndReadBack) {
  const auto step = [](double v) { return ParseNumber(FormatNumber(v)); };
  const auto div = [](double l, double r) { return r == 0 ? 0 : l / r; };
  struct Case {
    const char* expr;
    double (*want)(double, double, double, double (*)(double), double (*)(double, double));
  };
  const Case cases[] = {
      {"x*y+z", [](double x, double y, double z, auto s, auto) { return s(s(x * y) + z); }},
      {"(x-y)*z/3",
       [](double x, double y, double z, auto s, auto d) { return s(d(s(s(x - y) * z), 3)); }},
      {"x/y-z*x",
       [](double x, double y, double z, auto s, auto d) { return s(s(d(x, y)) - s(z * x)); }},
      {"x*y*(100-z)/100", [](double x, double y, double z, auto s,
                             auto d) { return s(d(s(s(x * y) * s(100 - z)), 100)); }},
  };
  std::mt19937_64 random(17);
  std::uniform_int_distribution<long long> units(-100000000, 100000000);
  std::uniform_int_distribution<int> places(0, 6);
  std::uniform_real_distribution<double> any(-1e6, 1e6);
  const double scales[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
  std::vector<int> ids;
  for (const Case& c : cases) ids.push_back(e.Compile(c.expr));
  for (int i = 0; i < 50000; ++i) {
    double v[3];
    for (double& x : v)
      x = i % 5 == 4 ? any(random) : static_cast<double>(units(random)) / scales[places(random)];
    e.SetVar("x", 'n', FormatNumber(v[0]));
    e.SetVar("y", 'n', FormatNumber(v[1]));
    e.SetVar("z", 'n', FormatNumber(v[2]));
    for (size_t k = 0; k < ids.size(); ++k) {
      const double x = step(v[0]), y = step(v[1]), z = step(v[2]);
      ASSERT_TRUE(e.EvalCompiled(ids[k]));
      ASSERT_EQ(e.ResultValue, FormatNumber(cases[k].want(x, y, z, +step, +div)))
          << cases[k].expr << " x=" << x << " y=" << y << " z=" << z;
    }
  }
}

TEST_F(CompiledTest, ReplayReadsCurrentValuesAndBindsLaterVariables) {
  // What follows an Eval call is not replayed: its value alone is evaluated.
  const Outcome evalled = Replayed(e.Compile("Eval(t)+100"));
  EXPECT_EQ(evalled.value, "6");
  EXPECT_EQ(evalled.type, 'n');

  const int id = e.Compile("rec(qty*rate, q)");
  EXPECT_EQ(Replayed(id).value, "7.5|q");  // q is no variable yet: a plain word
  e.SetVar("qty", 'n', "10");
  e.SetVar("q", 'n', "1");
  EXPECT_EQ(Replayed(id).value, "25|1");
  EXPECT_EQ(Replayed(id).value, "25|1");
  e.SetVar("q", 'n', "2");
  EXPECT_EQ(Replayed(id).value, "25|2");
  EXPECT_FALSE(e.EvalCompiled(-1));
  EXPECT_EQ(e.ResultValue, "");
  EXPECT_FALSE(e.EvalCompiled(id + 1));  // not the first record of an id
}

TEST_F(CompiledTest, ErrorsDuringCompilationOrReplayLeaveTheEvaluatorAsBefore) {
  const int id = e.Compile("rec(fragile(), qty)+a");
  EXPECT_EQ(Replayed(id).value, "ok|3abc");
  breakNext = true;
  EXPECT_THROW(e.EvalCompiled(id), std::runtime_error);
  EXPECT_EQ(e.Mode, 'n');
  breakNext = false;
  e.SetVar("qty", 'n', "4");
  EXPECT_EQ(Replayed(id).value, "ok|4abc");
  EXPECT_EQ(Evaluated("1+1").value, "2");

  // A failed compilation replays as a failure.
  const int bad = e.Compile("rec(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21)");
  const int good = e.Compile("qty+1");
  EXPECT_FALSE(e.EvalCompiled(bad));
  EXPECT_EQ(Replayed(good).value, "5");  // qty is 4 by now
  e.ClearCompiled();
  EXPECT_TRUE(e.CompiledList.empty());
  EXPECT_FALSE(e.EvalCompiled(good));
}

TEST_F(CompiledTest, CompilingTracesNothingAndReplayTracesItsSteps) {
  std::vector<std::string> trace;
  e.SetTraceHandler([&](const std::string& t) { trace.push_back(t); });
  const int id = e.Compile("twice(qty)");
  EXPECT_TRUE(trace.empty());
  e.EvalCompiled(id);
  EXPECT_FALSE(trace.empty());
}

TEST_F(CompiledTest, ScriptAssignsSkipsCommentsStopsAtABraceAndKeepsFailedValues) {
  const std::vector<std::string> lines = {"x := 1",        "// note", "",      "y := x + 1",
                                          "  // indented", "{",       "z := 3"};
  std::vector<std::string> progress;
  e.OnEvaluateLine = [&](const std::string& t) { progress.push_back(t); };
  e.Script = &lines;
  e.RunScript(0);
  std::string v;
  e.GetVar("x", v);
  EXPECT_EQ(v, "1");
  EXPECT_EQ(e.VarTypes[e.IndexOfVar("x")], 'v');  // from a number literal alone
  e.GetVar("y", v);
  EXPECT_EQ(v, "2");
  EXPECT_EQ(e.IndexOfVar("z"), -1);
  EXPECT_EQ(progress, (std::vector<std::string>{"Evaluating Line 0", "", "Evaluating Line 3", "",
                                                "Evaluating Line 4", ""}));

  // A line that fails assigns the previous value.
  // A rate the language writes in exponent form is assigned and read back as a number.
  const std::vector<std::string> failing = {"first := {kept}",  "second := }",
                                            "qty := {7}",       "third := qty+1",
                                            "rate := 1/200000", "back := rate*200000"};
  e.Script = &failing;
  e.RunScript(0);
  e.GetVar("second", v);
  EXPECT_EQ(v, "kept");
  EXPECT_EQ(e.VarTypes[e.IndexOfVar("qty")], 'n');  // an existing variable keeps its type
  e.GetVar("third", v);
  EXPECT_EQ(v, "8");
  e.GetVar("back", v);
  EXPECT_EQ(v, "1");
  // From a later line only; without a script nothing runs.
  e.SetVar("first", 'c', "");
  e.RunScript(3);
  e.GetVar("first", v);
  EXPECT_EQ(v, "");
  e.Script = nullptr;
  e.RunScript(0);
}
