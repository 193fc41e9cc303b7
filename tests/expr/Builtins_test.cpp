// The built-in function library through a real evaluator: a table of expressions and their
// results (builtins_cases.txt), then what a table cannot show: blank operands, hooks, the
// dispatch of unknown names.
#include <gtest/gtest.h>

#include <exception>
#include <fstream>

#include "TestSupport.h"
#include "UParse.h"
#include "uBuiltins.h"
#include "uExprRoutines.h"
#include "uGeneralFunctions.h"
#include "uValues.h"

namespace {

using v7::TEVAL;
using v7::TParamArray;

// 15/03/2024 10:30:00
double FixedNow() { return v7::EncodeDateSerial(2024, 3, 15) + 10.5 / 24.0; }

class ClockFixed : public ::testing::Test {
 protected:
  void SetUp() override {
    v7::SetExprClock(FixedNow);
    v7::Millions = false;
  }
  void TearDown() override { v7::SetExprClock({}); }
};

struct Case {
  int line = 0;
  std::string expr, want;  // want: "!error", or the type letter, a blank and "|value|"
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << "line " << c.line << ": " << c.expr;
}

std::vector<Case> LoadCases() {
  std::vector<Case> cases;
  std::ifstream in(v7test::SourceDir() + "/tests/expr/builtins_cases.txt");
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    const size_t arrow = text.find(" ==> ");
    if (text[0] != '#' && arrow != std::string::npos)
      cases.push_back({line, text.substr(0, arrow), text.substr(arrow + 5)});
  }
  return cases;
}

class BuiltinCases : public ClockFixed, public ::testing::WithParamInterface<Case> {};

TEST_P(BuiltinCases, EvaluatesAndReplaysToTheTabledResult) {
  const Case& c = GetParam();
  const auto outcome = [](TEVAL& eval, bool ok) {
    return ok ? std::string(1, eval.CurrentType) + " |" + eval.ResultValue + "|" : "!error";
  };
  TEVAL eval;
  EXPECT_EQ(outcome(eval, eval.Evaluate(c.expr)), c.want);
  TEVAL replay;
  const int id = replay.Compile(c.expr);
  bool ok = false;
  try {
    ok = replay.EvalCompiled(id);
  } catch (const std::exception&) {
    // A replay passes on what a function or a conversion raised: a failure.
  }
  EXPECT_EQ(outcome(replay, ok), c.want) << "replayed";
}

INSTANTIATE_TEST_SUITE_P(Table, BuiltinCases, ::testing::ValuesIn(LoadCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return "line" + std::to_string(info.param.line);
                         });

class Builtins : public ClockFixed {};

TEST_F(Builtins, BlankOperandsAreEmptyUnknownNamesChangeNothingAmountsFollowMillions) {
  TEVAL eval;
  eval.SetVar("blank", 'c', "   ");
  ASSERT_TRUE(eval.Evaluate("Val(blank)"));
  EXPECT_EQ(eval.ResultValue, "0");
  ASSERT_TRUE(eval.Evaluate("GetLength(blank)"));
  EXPECT_EQ(eval.ResultValue, "0");

  TParamArray args{};
  args[0] = TEVAL::kEmptyMark;
  std::string result = "kept";
  eval.CallFunction("NotABuiltin", args, 0, result);
  EXPECT_EQ(result, "kept");
  eval.CallFunction("dpimport", args, 0, result);  // hook not set: result as it came
  EXPECT_EQ(result, "kept");
  eval.CallFunction("isempty", args, 0, result);
  EXPECT_EQ(result, "T");

  // Amounts in words follow the millions flag.
  v7::Millions = true;
  ASSERT_TRUE(eval.Evaluate("AmtWord(2500105)"));
  EXPECT_EQ(eval.ResultValue,
            "Rupees    Two  Millions Five Hundred  Thousand  One Hundred Five  only");
  v7::Millions = false;
}

TEST_F(Builtins, HooksReceiveTheirArgumentsAndReplaceTheBuiltInBodies) {
  TEVAL eval;
  std::vector<std::string> calls;
  eval.OnSqlGet = [&](const std::string& n, const std::string& f, std::string& r) {
    calls.push_back("sqlget " + n + " " + f);
    r = "42";
  };
  eval.OnFindRecord = [&](const std::string& n, const std::string& f, const std::string& v,
                          std::string& r) { r = n + f + v; };
  eval.OnFireSql = [&](const std::string& n, const std::string& s) { calls.push_back(n + s); };
  eval.OnDataSplit = [&](double d, const std::string& a, const std::string& b) {
    calls.push_back(v7::FormatDateSerial(d) + a + b);
  };
  eval.OnGetTransId = [&](const std::string& a, std::string& r) { r = "T" + a; };
  const std::vector<std::pair<std::string, std::string>> answers = {
      {"sqlget({cust}, {bal})", "42"},
      {"findrecord({c}, {f}, {v})", "cfv"},
      {"firesql({c}, {select 1})", ""},
      {"datasplit({01/04/2024}, {a}, {b})", ""},
      {"gettransid(7)", "T7"}};
  for (const auto& [expr, answer] : answers) {
    ASSERT_TRUE(eval.Evaluate(expr)) << expr;
    EXPECT_EQ(eval.ResultValue, answer) << expr;
  }
  EXPECT_FALSE(eval.Evaluate("datasplit({not a date}, {a}, {b})"));
  EXPECT_EQ(calls, (std::vector<std::string>{"sqlget cust bal", "cselect 1", "01/04/2024ab"}));
}

}  // namespace
