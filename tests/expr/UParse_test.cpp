// Evaluating expressions: priorities, the type rules of each context, the blank mark,
// literal text, variables, calls, and input that must fail cleanly.
#include "UParse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

using namespace v7;

namespace {

class EvalTest : public ::testing::Test {
 protected:
  void SetUp() override {
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
  std::string Run(const std::string& expr) {
    EXPECT_TRUE(e.Evaluate(expr)) << expr;
    return e.ResultValue;
  }
  // Each case reads "expression => result".
  void ExpectAll(std::initializer_list<std::string> cases) {
    for (const std::string& c : cases) {
      const size_t arrow = c.rfind(" => ");
      EXPECT_EQ(Run(c.substr(0, arrow)), c.substr(arrow + 4)) << c;
    }
  }
  TEVAL e;
  std::vector<std::string> calls;
  std::vector<std::string> messages;
};

}  // namespace

TEST_F(EvalTest, ComparisonsBindTightestAndOperatorsGroupAsTheTableSays) {
  ExpectAll({"2+3*4 => 14",  "10-4-3 => 3", "8/2/2 => 2",   "1+2>2 => 1", "(1+2)>2 => 1",
             "3>2+1 => 2",   "2*3=6 => 0",  "1=1&2=2 => 1", "2=1=0 => 0", "1|0&0 => 1",
             "(6-2)*2 => 8", "6-2*2 => 2",  "-5 => 5",      "-5+3 => 8",  "0-5 => -5",
             "7/0 => 0",     "1 2 => ",     "((2)) => 2",   "(1+2 => 3",  "0.1+0.2 => 0.3"});
  EXPECT_TRUE(messages.empty());
}

TEST_F(EvalTest, SurplusClosingBracketShowsInvalidExpressionOnceAndEvaluatesWhatCame) {
  EXPECT_EQ(Run("1+2)"), "3");
  EXPECT_EQ(messages, std::vector<std::string>{"Invalid Expression"});
  EXPECT_EQ(Run("1)+2"), "1");
  EXPECT_EQ(messages.size(), 2u);
  // Without a notifier the message only goes to the trace.
  e.OnMessage = nullptr;
  std::vector<std::string> trace;
  e.SetTraceHandler([&](const std::string& t) { trace.push_back(t); });
  Run("1)");
  EXPECT_NE(std::find(trace.begin(), trace.end(), "# 1#Invalid Expression"), trace.end());
}

TEST_F(EvalTest, NumberContextReadsBlanksAsZeroAndRefusesText) {
  e.SetVar("t", 'c', "NULL");
  e.SetVar("empty", 'n', "");
  // "$" has no number meaning: the result of the previous operation stays.
  ExpectAll({"t+1 => 1", "1&1 => 1", "1&2 => 0", "0|1 => 1", "2#3 => 1", "1$2 => ",
             "(1+1)*(2$3) => 4", "empty*3+2 => 2"});
  EXPECT_EQ(e.CurrentType, 'n');
  EXPECT_FALSE(e.Evaluate("abc+1"));
  EXPECT_FALSE(e.Evaluate("1+2.5.5"));
}

TEST_F(EvalTest, TextContextJoinsComparesAndSearches) {
  e.SetVar("a", 'c', "abc");
  e.SetVar("b", 'c', "xabcx");
  e.SetVar("t", 'c', " null ");
  // "-" is undefined for texts: as the first operation it gives nothing, later it keeps
  // the last result.
  ExpectAll({"a$b => 1", "b$a => 0", "a-b => ", "(a+b)+(a-b) => abcxabcxabcxabcx", "a<b => 1",
             "a>b => 0", "{ABC}=a => 0", "{ abc}#a => 1", "t+a => abc", "a+b => abcxabcx"});
  EXPECT_EQ(e.CurrentType, 'c');
  // Two untyped operands: the operation stays "s", which joins as text.
  e.SetVar("x", 'v', "1");
  e.SetVar("y", 'v', "2");
  EXPECT_EQ(Run("x+y"), "12");
  EXPECT_EQ(e.CurrentType, 's');
}

TEST_F(EvalTest, DateContextComparesDatesButEqualityIsTextual) {
  e.SetVar("d1", 'd', "05/03/2024");
  e.SetVar("d2", 'd', "01/03/2024");
  e.SetVar("dx", 'd', "5/3/2024");
  e.SetVar("dm", 'd', "  /  /    ");
  e.SetVar("d0", 'd', "01/01/1900");
  e.SetVar("bad", 'd', "someday");
  e.SetVar("dt", 'd', "05/03/2024 18:00:00");  // a time part, as date columns read back
  e.SetVar("dy", 'd', "1/3/24");               // two-digit years: 1950 to 2049
  ExpectAll({"d1-d2 => 4", "d1>d2 => 1", "d1<d2 => 0", "d1=dx => 0", "d1>dx => 0", "dm=d0 => 1",
             "d0-dm => 0", "d2+d0 => 45354", "d1*d2 => ", "dt-d1 => 0.75", "dt>d1 => 1",
             "d1-dy => 4"});
  EXPECT_EQ(e.CurrentType, 'd');
  EXPECT_FALSE(e.Evaluate("bad>d1"));
}

TEST_F(EvalTest, BlankValuesStandAsTheEmptyMarkAndReachEveryoneAsEmpty) {
  e.SetVar("blank", 'c', "   ");
  ExpectAll({"blank+{x} => x", "rec(blank, 1) => |1", "blank=blank => 1", "blank => "});
  EXPECT_EQ(e.CurrentType, 'c');
  // A name no row answers leaves the result as it was (a subclass's own names pass here).
  TParamArray args;
  std::string r = "kept";
  e.CallFunction("nosuchfunction", args, 0, r);
  EXPECT_EQ(r, "kept");
}

// Only the expression's own characters are syntax: a literal, a variable's value or a call's
// result that reads "+", "(" or "," stays one operand.
TEST_F(EvalTest, BracesMakeLiteralTextAndNoValueIsEverAnOperator) {
  e.SetVar("sep", 'c', "-");
  e.SetVar("open", 'c', "(");
  ExpectAll({" => ", "{a+b, c} => a+b, c", "{x{y}z} => x{y}z", "{a}{b} => ab", "{+} => +",
             "{a}+sep+{b} => a-b", "open+rec({)})+{x} => ()x", "{} => "});
  EXPECT_EQ(e.CurrentType, 'c');
  EXPECT_TRUE(messages.empty());
  std::vector<std::string> trace;
  e.SetTraceHandler([&](const std::string& t) { trace.push_back(t); });
  EXPECT_FALSE(e.Evaluate("}"));
  EXPECT_EQ(trace.at(trace.size() - 2), "# 1#Error while evaluating expression.");
  EXPECT_EQ(trace.back(), "#resetlevel#");
  // An unclosed brace takes the rest of the text and leaves the next evaluation untouched.
  EXPECT_TRUE(e.Evaluate("{abc"));
  EXPECT_EQ(Run("1+1"), "2");
}

TEST_F(EvalTest, VariablesKeepTheirFirstTypeAndFlagEmptyNumbers) {
  e.SetVar("Qty", 'N', "");
  const int q = e.IndexOfVar("qty");
  ASSERT_GE(q, 0);
  EXPECT_EQ(e.VarTypes[q], 'n');
  EXPECT_EQ(e.VarValues[q], "0");
  EXPECT_EQ(e.VarFlags[q], 'F');
  EXPECT_EQ(e.IsVarEmpty("QTY"), "T");
  e.SetVar("qty", 'n', "0");
  EXPECT_EQ(e.IsVarEmpty("qty"), "F");
  EXPECT_EQ(e.IsVarEmpty("unknown"), "T");
  const int x = e.SetVar("x", 'c', "abc");
  EXPECT_EQ(e.SetVar("X", 'n', "12"), x);
  std::string v;
  e.GetVar("x", v);
  EXPECT_EQ(v, "12");
  EXPECT_EQ(e.LastVarType, "c");
  // A number text keeps its value, exponent form included; other texts keep their digits.
  const std::pair<const char*, const char*> numbers[] = {
      {"1,234.50 Dr", "1234.50"}, {"1E20", "1E20"},   {"5E-6", "5E-6"},
      {" -1.5E-7 ", "-1.5E-7"},   {"1,0E3", "10E3"},  {"Rs 12", "12"},
  };
  for (const auto& [text, stored] : numbers) {
    e.SetVar("amt", 'n', text);
    e.GetVar("amt", v);
    EXPECT_EQ(v, stored) << text;
  }
  e.GetVar("nosuch", v);
  EXPECT_EQ(v, "");
  EXPECT_EQ(e.LastVarType, "");
  EXPECT_EQ(e.SetVar("", 'c', "lost"), 0);
  EXPECT_EQ(TEVAL::IsEmptyValue("  /  /    ", "d"), "T");
  EXPECT_EQ(TEVAL::IsEmptyValue("  /  /    ", "c"), "F");
  EXPECT_EQ(TEVAL::IsEmptyValue("NULL", "c"), "T");
  EXPECT_EQ(TEVAL::IsEmpty(" 0 "), "F");
  // A variable hides a function of the same name; names ignore letter case.
  e.SetVar("five", 'c', "hidden");
  EXPECT_EQ(Run("FIVE"), "hidden");
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
  const std::pair<const char*, const char*> cases[] = {
      {"username", "alice"}, {"finyrst", "01/04/2023"}, {"_millions", "T"},
      {"approvalno", "0"},   {"_connectno", "0"},
  };
  for (const auto& [name, want] : cases) {
    std::string v;
    e.GetVar(name, v);
    EXPECT_EQ(v, want) << name;
  }
  EXPECT_EQ(e.VarTypes[e.IndexOfVar("finyrst")], 'd');
}

TEST_F(EvalTest, CallsSplitUpToTwentyArgumentsAndRunInnermostFirst) {
  ExpectAll({"rec(1, 2+3, {x,y}) => 1|5|x,y", "rec(a,,b) => a||b", "REC ({ab}) => ab"});
  calls.clear();
  EXPECT_EQ(Run("rec(1, rec(2, rec(3)), 4)"), "1|2|3|4");
  EXPECT_EQ(calls, (std::vector<std::string>{"3", "2|3", "1|2|3|4"}));
  EXPECT_EQ(Run("five()*2"), "10");
  EXPECT_EQ(e.CurrentType, 'n');
  EXPECT_EQ(Run("nothing()+1"), "1");  // an empty call result leaves no token
  e.SetVar("comma", 'c', ",");
  EXPECT_EQ(Run("rec(comma, 1)"), ",|1");  // a value never splits arguments
  EXPECT_EQ(Run("hello"), "hello");        // an unknown word stays as it is
  EXPECT_FALSE(e.Evaluate("rec"));         // a name without brackets leaves its call open
  EXPECT_FALSE(e.Evaluate("boom(1)+1"));
  e.RegisterFunction("five", 'c', {});
  EXPECT_EQ(e.FindFunction("FIVE")->ResultType, 'n');  // the first registration wins

  // Twenty arguments fit; a twenty-first fails the evaluation.
  std::string args = "1";
  for (int i = 2; i <= kMaxCallArgs; ++i) args += "," + std::to_string(i);
  EXPECT_EQ(Run("rec(" + args + ")").substr(0, 6), "1|2|3|");
  calls.clear();
  EXPECT_FALSE(e.Evaluate("rec(" + args + ",21)"));
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(e.Evaluate("rec(" + args + ",,)"));

  // Eval evaluates its value again and stops an endless chain.
  e.SetVar("t", 'c', "1+2");
  e.SetVar("u", 'c', "Eval(t)");
  ExpectAll({"Eval(t) => 3", "Eval(u) => 3"});
  e.SetVar("loop", 'c', "Eval(loop)");
  EXPECT_FALSE(e.Evaluate("Eval(loop)"));
  EXPECT_EQ(Run("1+1"), "2");
}

TEST_F(EvalTest, AnyInputEndsInAResultOrAFailure) {
  const char* nasty[] = {"(((", ")))",  "+++",  "rec(", "rec(((1", "rec(1))))",  "{{{",
                         "}}}", "\x01", "\x02", ",,,",  "1,2",     "rec)(",      ")rec(",
                         "-",   "*",    "|&$",  "{)}(", "rec(}",   "five five(", "\x01)("};
  for (const char* text : nasty) {
    e.Evaluate(text);
    EXPECT_EQ(Run("2*3"), "6") << text;
  }
  // 1 MB of operators and operands, deep brackets, long call chains.
  std::string big;
  while (big.size() < (1u << 20)) big += "1+";
  EXPECT_EQ(Run(big + "1"), std::to_string(big.size() / 2 + 1));
  const int depth = 200000;
  EXPECT_EQ(Run(std::string(depth, '(') + "7" + std::string(depth, ')')), "7");
  std::string manyCalls;
  for (int i = 0; i < 5000; ++i) manyCalls += "five()+";
  EXPECT_EQ(Run(manyCalls + "0"), "25000");
  while (manyCalls.size() < (1u << 20)) manyCalls += "five()+";
  e.Evaluate(manyCalls + "0");  // too many calls for one expression: fails, but ends
  std::string nested;
  for (int i = 0; i < 1000; ++i) nested += "rec(";
  EXPECT_EQ(Run(nested + "x" + std::string(1000, ')')), "x");
  std::string tooDeep;
  for (int i = 0; i < 300000; ++i) tooDeep += "rec(";
  EXPECT_FALSE(e.Evaluate(tooDeep));
  EXPECT_EQ(Run("1+1"), "2");
}

TEST_F(EvalTest, TraceFollowsTheMarkConvention) {
  std::vector<std::string> trace;
  e.SetTraceHandler([&](const std::string& t) { trace.push_back(t); });
  e.SetVar("q", 'n', "4");
  Run("five()+q");
  EXPECT_EQ(trace, (std::vector<std::string>{"#savelevel#", "# 1#Evaluating five()+q", "# 2#q = 4",
                                             "# 2#Calling function five", "# 2#Result of five = 5",
                                             "# 1#Result = 9", "#resetlevel#"}));
}

TEST_F(EvalTest, FunctionsMayEvaluateAgainWithoutDisturbingTheCaller) {
  e.RegisterFunction("inner", 'c', [](TEVAL& ev, const TParamArray& a, std::string& r) {
    ev.Evaluate(a[0]);
    r = ev.ResultValue;
  });
  e.RegisterFunction("self", 'c', [](TEVAL& ev, const TParamArray&, std::string& r) {
    r = ev.Evaluate("self()") ? "deep" : "stopped";
  });
  EXPECT_EQ(Run("rec(1, inner({rec(7, 8)}), rec(2, 3))+{!}"), "1|7|8|2|3!");
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
             "replay()+Eval({1+2}) => 63"});
  // The innermost level stops at the nesting bound; the levels above it succeed.
  EXPECT_EQ(Run("self()"), "deep");
  EXPECT_EQ(Run("2*3"), "6");
}
