// The built-in function library through a real evaluator: a table of expressions and their
// results (builtins_cases.txt), then what a table cannot show: blank operands, hooks, the
// dispatch of unknown names, and mail through a real SMTP server.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

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
  std::string expr;
  bool fails = false;
  char type = 0;
  std::string result;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
  return os << "line " << c.line << ": " << c.expr;
}

std::vector<Case> LoadCases() {
  std::vector<Case> cases;
  std::ifstream in(v7test::SourceDir() + "/tests/expr/builtins_cases.txt");
  std::string text;
  int line = 0;
  while (std::getline(in, text)) {
    ++line;
    if (text.empty() || text[0] == '#') continue;
    const size_t arrow = text.find(" ==> ");
    if (arrow == std::string::npos) continue;
    Case c;
    c.line = line;
    c.expr = text.substr(0, arrow);
    const std::string want = text.substr(arrow + 5);
    if (want == "!error") {
      c.fails = true;
    } else {
      c.type = want[0];
      const size_t open = want.find('|'), close = want.rfind('|');
      c.result = want.substr(open + 1, close - open - 1);
    }
    cases.push_back(c);
  }
  return cases;
}

class BuiltinCases : public ClockFixed, public ::testing::WithParamInterface<Case> {};

TEST_P(BuiltinCases, EvaluatesToTheTabledResult) {
  const Case& c = GetParam();
  TEVAL eval;
  const bool ok = eval.Evaluate(c.expr);
  if (c.fails) {
    EXPECT_FALSE(ok) << "gave |" << eval.ResultValue << "|";
    return;
  }
  ASSERT_TRUE(ok);
  EXPECT_EQ("|" + eval.ResultValue + "|", "|" + c.result + "|");
  EXPECT_EQ(eval.CurrentType, c.type);
}

INSTANTIATE_TEST_SUITE_P(Table, BuiltinCases, ::testing::ValuesIn(LoadCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return "line" + std::to_string(info.param.line);
                         });

TEST(BuiltinTable, RegistersSixtyFourFunctionsInOrderWithTheirTypes) {
  TEVAL eval;
  int count = 0;
  std::string types;
  for (const auto& f : eval.FunctionTable) {
    if (count < v7::kBuiltinFunctionCount) types += f->ResultType;
    ++count;
  }
  ASSERT_GE(count, v7::kBuiltinFunctionCount);
  EXPECT_EQ(eval.FunctionTable[0]->Name, "power");
  EXPECT_EQ(eval.FunctionTable[63]->Name, "convertmd5");
  EXPECT_EQ(types, "nnccccccddnnnvccnccddscnnnnncnnnnnccddd" + std::string(25, 's'));
}

class Builtins : public ClockFixed {};

TEST_F(Builtins, BlankOperandsAreEmptyTextsAndUnknownNamesChangeNothing) {
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
}

TEST_F(Builtins, RegVarCreatesAVariableOnceAndKeepsItsType) {
  TEVAL eval;
  ASSERT_TRUE(eval.Evaluate("RegVar({qty}, {N}, {})"));
  EXPECT_EQ(eval.ResultValue, "");
  ASSERT_TRUE(eval.Evaluate("IsVarEmpty({qty})"));
  EXPECT_EQ(eval.ResultValue, "T");
  ASSERT_TRUE(eval.Evaluate("RegVar({qty}, {c}, {0})"));
  ASSERT_TRUE(eval.Evaluate("IsVarEmpty({qty})"));
  EXPECT_EQ(eval.ResultValue, "F");
  std::string value;
  eval.GetVar("qty", value);
  EXPECT_EQ(eval.LastVarType, "n");
}

TEST_F(Builtins, HooksReceiveTheirArgumentsAndReplaceTheBuiltInBodies) {
  TEVAL eval;
  std::vector<std::string> calls;
  eval.OnSqlGet = [&](const std::string& n, const std::string& f, std::string& r) {
    calls.push_back("sqlget " + n + " " + f);
    r = "42";
  };
  eval.OnFindRecord = [&](const std::string& n, const std::string& f, const std::string& v,
                          std::string& r) {
    calls.push_back("find " + n + " " + f + " " + v);
    r = "T";
  };
  eval.OnFireSql = [&](const std::string& n, const std::string& s) {
    calls.push_back("fire " + n + " " + s);
  };
  eval.OnDataSplit = [&](double d, const std::string& a, const std::string& b) {
    calls.push_back("split " + v7::FormatDateSerial(d) + " " + a + " " + b);
  };
  eval.OnGetTransId = [&](const std::string& a, std::string& r) { r = "T" + a; };
  eval.OnDpExport = [&](const std::string& a, const std::string& b, const std::string& c,
                        const std::string& d) { calls.push_back("export " + a + b + c + d); };

  ASSERT_TRUE(eval.Evaluate("sqlget({cust}, {bal})"));
  EXPECT_EQ(eval.ResultValue, "42");
  ASSERT_TRUE(eval.Evaluate("findrecord({cust}, {code}, {A1})"));
  EXPECT_EQ(eval.ResultValue, "T");
  ASSERT_TRUE(eval.Evaluate("firesql({cust}, {select 1})"));
  EXPECT_EQ(eval.ResultValue, "");
  ASSERT_TRUE(eval.Evaluate("datasplit({01/04/2024}, {a}, {b})"));
  ASSERT_TRUE(eval.Evaluate("gettransid(7)"));
  EXPECT_EQ(eval.ResultValue, "T7");
  ASSERT_TRUE(eval.Evaluate("dpexport(1, 2, 3, 4)"));
  EXPECT_FALSE(eval.Evaluate("datasplit({not a date}, {a}, {b})"));
  EXPECT_EQ(calls,
            (std::vector<std::string>{"sqlget cust bal", "find cust code A1", "fire cust select 1",
                                      "split 01/04/2024 a b", "export 1234"}));
}

TEST_F(Builtins, AmountsFollowTheMillionsFlag) {
  TEVAL eval;
  v7::Millions = true;
  ASSERT_TRUE(eval.Evaluate("AmtWord(1000)"));
  EXPECT_EQ(eval.ResultValue, "Rupees     One  Thousand   only");
  ASSERT_TRUE(eval.Evaluate("AmtWord(2500105)"));
  EXPECT_EQ(eval.ResultValue,
            "Rupees    Two  Millions Five Hundred  Thousand  One Hundred Five  only");
  v7::Millions = false;
}

TEST_F(Builtins, GenIdAnswersSuccessiveLocalIds) {
  TEVAL eval;
  ASSERT_TRUE(eval.Evaluate("Gen_id(0, 1)"));
  const std::string first = eval.ResultValue;
  ASSERT_TRUE(eval.Evaluate("Gen_id(0, 1)"));
  EXPECT_NE(eval.ResultValue, first);
}

// sendmail carries the server settings and the message in its one argument.
class SendMailBuiltin : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = v7test::FreePort();
    inbox_ = dir_.file("inbox");
    server_ = std::make_unique<v7test::ServerProcess>(
        std::vector<std::string>{v7test::SystemPython(), v7test::FixturesDir() + "/smtp_server.py",
                                 std::to_string(port_), inbox_, "site01", "pw"},
        port_);
    ASSERT_TRUE(server_->running());
  }
  std::string Mail(int port, const std::string& attachment) const {
    return "host=127.0.0.1\nport=" + std::to_string(port) +
           "\nuserid=site01\npassword=pw\n"
           "<mail><from>site01@example.com</from><to>head@example.com</to>"
           "<subject>Stock report</subject><body>See attached.</body>"
           "<attachment>" +
           attachment + "</attachment></mail>";
  }
  v7test::TempDir dir_;
  int port_ = 0;
  std::string inbox_;
  std::unique_ptr<v7test::ServerProcess> server_;
};

TEST_F(SendMailBuiltin, SendsAndAnswersTheStatus) {
  const std::string report = dir_.file("stock.csv");
  v7test::WriteFile(report, "item,qty\nA1,5\n");
  TEVAL eval;
  eval.SetVar("mail", 'c', Mail(port_, report));
  ASSERT_TRUE(eval.Evaluate("sendmail(mail)"));
  EXPECT_EQ(eval.ResultValue, "done");
  for (int i = 0; i < 100 && !std::filesystem::exists(inbox_ + "/1.env"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string eml = v7test::ReadFile(inbox_ + "/1.eml");
  EXPECT_NE(eml.find("Subject: Stock report"), std::string::npos);
  EXPECT_NE(eml.find("filename=\"stock.csv\""), std::string::npos);

  eval.SetVar("mail", 'c', Mail(v7test::FreePort(), ""));
  ASSERT_TRUE(eval.Evaluate("sendmail(mail)"));
  EXPECT_NE(eval.ResultValue.find("Failed to connect"), std::string::npos) << eval.ResultValue;

  eval.SetVar("mail", 'c', Mail(port_, report + ",," + report));
  ASSERT_TRUE(eval.Evaluate("sendmail(mail)"));
  EXPECT_EQ(eval.ResultValue, "Cannot read attachment file ''");
}

}  // namespace
