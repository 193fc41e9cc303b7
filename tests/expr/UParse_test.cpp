// Evaluating expressions: priorities, the type rules of each context, the blank mark,
// literal text, variables, calls, and input that must fail cleanly.
#include "UParse.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

using namespace v7;

namespace {

struct Evaluator {
  Evaluator() {
    // "rec" answers its arguments joined by "|" and logs each call.
    e.RegisterFunction("rec", 'c', [this](TEVAL&, const TParamArray& a, std::string& r) {
      int last = kMaxCallArgs;
      while (last > 0 && a[last - 1].empty()) --last;
      for (int i = 0; i < last; ++i) r += (i ? "|" : "") + a[i];
      calls.push_back(r);
    });
    e.RegisterFunction("five", 'n', [](TEVAL&, const TParamArray&, std::string& r) { r = "5"; });
    e.RegisterFunction("nothing", 'c', [](TEVAL&, const TParamArray&, std::string&) {});
    e.RegisterFunction("boom", 'c', [](TEVAL&, const TParamArray&, std::string&) {
      throw std::runtime_error("boom");
    });
    e.OnMessage = [this](const std::string& m) { messages.push_back(m); };
  }
  std::string Value(const std::string& expr) {
    EXPECT_TRUE(e.Evaluate(expr)) << expr;
    return e.ResultValue;
  }
  // Each case reads "expression => result"; compiled and replayed, it gives the same result
  // of the same type (but for what follows an Eval call: a replay evaluates its value alone).
  void ExpectAll(std::initializer_list<std::string> cases, bool replay = true) {
    for (const std::string& c : cases) {
      const size_t arrow = c.rfind(" => ");
      EXPECT_EQ(Value(c.substr(0, arrow)), c.substr(arrow + 4)) << c;
      if (!replay) continue;
      const char type = e.CurrentType;
      e.CurrentType = 'x';
      EXPECT_TRUE(e.EvalCompiled(e.Compile(c.substr(0, arrow)))) << c;
      EXPECT_EQ(e.ResultValue + e.CurrentType, c.substr(arrow + 4) + type) << c << " replayed";
      EXPECT_EQ(e.Mode, 'n');
    }
  }
  TEVAL e;
  std::vector<std::string> calls;
  std::vector<std::string> messages;
};

struct EvalTest : ::testing::Test, Evaluator {};

}  // namespace

TEST(EvalCases, EverySectionOfTheCaseFile) {
  std::ifstream in(v7test::SourceDir() + "/tests/expr/parse_cases.txt");
  ASSERT_TRUE(in);
  std::unique_ptr<Evaluator> ev;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    SCOPED_TRACE("parse_cases.txt:" + std::to_string(n));
    if (line.empty() || line[0] == '#') continue;
    if (line.size() >= 3 && line.compare(line.size() - 3, 3, " =>") == 0) line += " ";
    const std::string word = line.substr(0, line.find(' '));
    if (line[0] == '[') {
      ev = std::make_unique<Evaluator>();
    } else if (word == "let") {
      const size_t name = 4, type = line.find(' ', name) + 1, value = type + 2;
      std::string text = value < line.size() ? line.substr(value) : "";
      if (text.size() > 1 && text.front() == '|' && text.back() == '|')
        text = text.substr(1, text.size() - 2);
      ev->e.SetVar(line.substr(name, type - name - 1), line[type], text);
    } else if (word == "fail") {
      EXPECT_FALSE(ev->e.Evaluate(line.substr(5))) << line;
    } else if (word == "type") {
      EXPECT_EQ(ev->e.CurrentType, line.at(5));
    } else if (word == "quiet") {
      EXPECT_TRUE(ev->messages.empty());
    } else {
      ev->ExpectAll({line});
    }
  }
}

TEST_F(EvalTest, SurplusClosingBracketShowsInvalidExpressionOnceAndEvaluatesWhatCame) {
  EXPECT_EQ(Value("1+2)"), "3");
  EXPECT_EQ(messages, std::vector<std::string>{"Invalid Expression"});
  EXPECT_EQ(Value("1)+2"), "1");
  EXPECT_EQ(messages.size(), 2u);
  // Without a notifier the message only goes to the trace.
  e.OnMessage = nullptr;
  std::vector<std::string> trace;
  e.SetTraceHandler([&](const std::string& t) { trace.push_back(t); });
  Value("1)");
  EXPECT_NE(std::find(trace.begin(), trace.end(), "# 1#Invalid Expression"), trace.end());
  // A surplus closing brace fails; an unclosed one takes the rest of the text. Neither
  // disturbs the next evaluation.
  EXPECT_FALSE(e.Evaluate("}"));
  EXPECT_EQ(trace.at(trace.size() - 2), "# 1#Error while evaluating expression.");
  EXPECT_TRUE(e.Evaluate("{abc"));
  EXPECT_EQ(Value("1+1"), "2");
}

TEST_F(EvalTest, VariablesKeepTheirFirstTypeAndFlagEmptyNumbers) {
  e.SetVar("Qty", 'N', "");
  EXPECT_EQ(e.IsVarEmpty("QTY"), "T");
  EXPECT_EQ(Value("qty+1"), "1");
  e.SetVar("qty", 'n', "0");
  EXPECT_EQ(e.IsVarEmpty("qty") + e.IsVarEmpty("unknown"), "FT");
  const int x = e.SetVar("x", 'c', "abc");
  EXPECT_EQ(e.SetVar("X", 'n', "12"), x);
  EXPECT_EQ(Value("x+{a}"), "12a");  // still a text
  // A number text keeps its value, exponent form included; other texts keep their digits.
  // clang-format off
  const std::pair<const char*, const char*> numbers[] = {
      {"1,234.50 Dr", "1234.50"}, {"1E20", "1E20"}, {"5E-6", "5E-6"},
      {" -1.5E-7 ", "-1.5E-7"}, {"1,0E3", "10E3"}, {"Rs 12", "12"}, {"", "0"}};
  // clang-format on
  std::string v;
  for (const auto& [text, stored] : numbers) {
    e.SetVar("amt", 'n', text);
    e.GetVar("amt", v);
    EXPECT_EQ(v, stored) << text;
  }
  e.GetVar("nosuch", v);
  EXPECT_EQ(v, "");
  EXPECT_EQ(e.SetVar("", 'c', "lost"), 0);
  EXPECT_EQ(TEVAL::IsEmptyValue("  /  /    ", "d") + TEVAL::IsEmptyValue("  /  /    ", "c") +
                TEVAL::IsEmptyValue("NULL", "c") + TEVAL::IsEmpty(" 0 "),
            "TFTF");
  // A variable hides a function of the same name; names ignore letter case.
  e.SetVar("five", 'c', "hidden");
  EXPECT_EQ(Value("FIVE"), "hidden");
}

TEST(EvalPredefined, ControlValuesBecomeVariablesAtCreation) {
  const std::string savedUser = UserName;
  const double savedStart = FinYrSt;
  const bool savedMillions = Millions;
  UserName = "alice";
  FinYrSt = 45017;  // 01/04/2023
  Millions = true;
  TEVAL e;
  UserName = savedUser;
  FinYrSt = savedStart;
  Millions = savedMillions;
  std::string all;
  for (const char* name : {"username", "finyrst", "_millions", "approvalno", "_connectno"}) {
    std::string v;
    e.GetVar(name, v);
    all += v + " ";
  }
  EXPECT_EQ(all, "alice 01/04/2023 T 0 0 ");
  ASSERT_TRUE(e.Evaluate("finyrst"));
  EXPECT_EQ(e.CurrentType, 'd');
}

TEST_F(EvalTest, CallsSplitUpToTwentyArgumentsAndRunInnermostFirst) {
  EXPECT_EQ(Value("rec(1, rec(2, rec(3)), 4)"), "1|2|3|4");
  EXPECT_EQ(calls, (std::vector<std::string>{"3", "2|3", "1|2|3|4"}));
  // A name no row answers leaves the result as it was (a subclass's own names pass here).
  TParamArray none;
  std::string r = "kept";
  e.CallFunction("nosuchfunction", none, 0, r);
  EXPECT_EQ(r, "kept");
  e.RegisterFunction("five", 'c', {});
  EXPECT_EQ(e.FindFunction("FIVE")->ResultType, 'n');  // the first registration wins

  // Twenty arguments fit; a twenty-first fails the evaluation.
  std::string args = "1";
  for (int i = 2; i <= kMaxCallArgs; ++i) args += "," + std::to_string(i);
  EXPECT_EQ(Value("rec(" + args + ")").substr(0, 6), "1|2|3|");
  calls.clear();
  EXPECT_FALSE(e.Evaluate("rec(" + args + ",21)"));
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(e.Evaluate("rec(" + args + ",,)"));
}

TEST_F(EvalTest, AnyInputEndsInAResultOrAFailure) {
  const char* nasty[] = {"(((", ")))",  "+++",  "rec(", "rec(((1", "rec(1))))",  "{{{",
                         "}}}", "\x01", "\x02", ",,,",  "1,2",     "rec)(",      ")rec(",
                         "-",   "*",    "|&$",  "{)}(", "rec(}",   "five five(", "\x01)("};
  for (const char* text : nasty) {
    e.Evaluate(text);
    EXPECT_EQ(Value("2*3"), "6") << text;
  }
  // 1 MB of operators and operands, deep brackets, long call chains.
  std::string big;
  while (big.size() < (1u << 20)) big += "1+";
  EXPECT_EQ(Value(big + "1"), std::to_string(big.size() / 2 + 1));
  const int depth = 200000;
  EXPECT_EQ(Value(std::string(depth, '(') + "7" + std::string(depth, ')')), "7");
  std::string manyCalls;
  for (int i = 0; i < 5000; ++i) manyCalls += "five()+";
  EXPECT_EQ(Value(manyCalls + "0"), "25000");
  while (manyCalls.size() < (1u << 20)) manyCalls += "five()+";
  e.Evaluate(manyCalls + "0");  // too many calls for one expression: fails, but ends
  std::string nested;           // calls open at once: up to the bound, not one more
  for (int i = 0; i < 10000; ++i) nested += "rec(";
  EXPECT_EQ(Value(nested + "x" + std::string(10000, ')')), "x");
  EXPECT_FALSE(e.Evaluate("rec(" + nested + "x" + std::string(10001, ')')));
  std::string tooDeep;
  for (int i = 0; i < 300000; ++i) tooDeep += "rec(";
  EXPECT_FALSE(e.Evaluate(tooDeep));
  EXPECT_EQ(Value("1+1"), "2");
}

TEST_F(EvalTest, FunctionsMayEvaluateAgainWithoutDisturbingTheCaller) {
  e.RegisterFunction("inner", 'c', [](TEVAL& ev, const TParamArray& a, std::string& r) {
    ev.Evaluate(a[0]);
    r = ev.ResultValue;
  });
  e.RegisterFunction("self", 'c', [](TEVAL& ev, const TParamArray&, std::string& r) {
    r = ev.Evaluate("self()") ? "deep" : "stopped";
  });
  EXPECT_EQ(Value("rec(1, inner({rec(7, 8)}), rec(2, 3))+{!}"), "1|7|8|2|3!");
  const int id = e.Compile("rec(inner({2*3}), 4)");
  ASSERT_TRUE(e.EvalCompiled(id));
  EXPECT_EQ(e.ResultValue, "6|4");
  // An Eval of the caller's pass asks for its pass whatever is evaluated or replayed
  // inside the calls reduced after it (right to left).
  const int six = e.Compile("2*3");
  e.RegisterFunction("replay", 'c', [six](TEVAL& ev, const TParamArray&, std::string& r) {
    r = ev.EvalCompiled(six) ? ev.ResultValue : "failed";
  });
  ExpectAll({"Eval({1+2})+inner({5}) => 26", "inner({5})+Eval({1+2}) => 53",
             "replay()+Eval({1+2}) => 63"},
            false);
  // The innermost level stops at the nesting bound; the levels above it succeed.
  EXPECT_EQ(Value("self()"), "deep");
  EXPECT_EQ(Value("2*3"), "6");
}
