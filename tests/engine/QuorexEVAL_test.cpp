// The business evaluator: its dispatch and failure trap, the hooks, and the general
// functions (lists, padding, system values, shell, file output, SQL variables, stock),
// against a real SQLite site of the sample product.
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "QuorexDoc.h"
#include "TestSupport.h"
#include "uGeneralFunctions.h"

namespace {

using Doc = v7test::QuorexDoc;

TEST(QuorexEVAL, AnErrorInsideACallIsTracedAndTheEvaluationGoesOn) {
  Doc e;
  // Bills of materials live for one call; the date is read before any bill is made.
  for (auto [call, error] :
       {std::pair{"GetMod(7, 0)", "Division by zero"},
        {"GetCell({a}, {b}, {c})", "Not Applicable or StringGrid is not Assigned "},
        {"Str({x1})", "'x1' is not a valid floating point value"},  // a built-in's, too
        {"preparebom({bomtree}, 501, {someday})", "'someday' is not a valid date and time"}}) {
    e.trace.clear();
    EXPECT_EQ(e.Run(call), "") << call;
    EXPECT_TRUE(e.TracedError(error)) << call;
  }
  e.eval.DBManager = nullptr;
  EXPECT_EQ(e.Run("preparebom({bomtree}, 501, {01/01/2027})") + e.Run("explodebom()"), "");
  EXPECT_TRUE(e.TracedError("Bills of materials need a database manager"));
  // A compiled replay does not raise either.
  const int id = e.eval.Compile("GetMod(x, y)");
  e.eval.SetVar("x", 'n', "7");
  e.eval.SetVar("y", 'n', "0");
  EXPECT_NO_THROW(e.eval.EvalCompiled(id));
  e.eval.SetVar("y", 'n', "3");
  ASSERT_TRUE(e.eval.EvalCompiled(id));
  EXPECT_EQ(e.eval.ResultValue, "1");
}

TEST(QuorexEVAL, ListsPaddingAndWholeNumbers) {
  Doc e;
  e.eval.SetVar("x", 'c', " Cash ");
  e.eval.SetVar("blank", 'c', "");
  // Only the first comma item of a list counts; nothing to pad with ends at once.
  ExpectRuns(e, {"Op_StockQty + Iss_StockValue + ActiveRow => 0", "GetLength({abcd}) => 4",
                 "GetCost({anything}, 7) => 1", "includes({x}, {bank~cash}) => T",
                 "includes({x}, {bank,cash}) => F", "excludes({x}, {bank~ CASH}) => F",
                 "excludes({blank}, {}) => F", "includes({nosuchvar}, {a~b}) => F",
                 "pad({ab}, 5, {*}) => ab***", "leftpad({ab}, 5, 0) => 000ab",
                 "pad({ab}, 1, {*}) => ab", "pad({ab}, 4, {}) => ab", "GetMod(7, 0-3) => 1",
                 "GetMod(0-7, 3) => -1", "Getinteger({-2.7}) => -2", "TrimVal({  a b  }) => a b"});
}

TEST(QuorexEVAL, HookFunctionsDoNothingUntilAHostSetsTheirHook) {
  Doc e;
  // Arguments that would not convert are read only for a set hook.
  ExpectRuns(e, {"refreshframe({x}) => ", "activatefield({f}, {x}) => ", "loaddata({x}) => ",
                 "filter({x}) => ", "setproperty({a},{b},{c}) => T", "addrow({items}) => T",
                 "deleterow({i}, 1) => T", "setsequence({f}, {p}) => T", "resetactivecomp() => T",
                 "GetAdjustedAmount({a}) => 0"});
  EXPECT_FALSE(e.AnyError());
  std::vector<std::string> calls;
  e.eval.OnSetSequence = [&](const std::string& t, const std::string& f, const std::string& p) {
    calls.push_back("[" + t + "][" + f + "][" + p + "]");
  };
  e.eval.OnGetSQLValue = [](const std::string& sql, const std::string& f, std::string& r) {
    r = sql + "/" + f;
  };
  ExpectRuns(e,
             {"setsequence({invno}, {CSH}) => T", "setextsequence({salesinv}, {invno}, {INV}) => T",
              "getsqlvalue({select 1}, {one}) => select 1/one"});
  EXPECT_EQ(calls, (std::vector<std::string>{"[][invno][CSH]", "[salesinv][invno][INV]"}));
}

TEST(QuorexEVAL, SetSystemVarChangesProcessValuesAndVariables) {
  const bool millions = v7::Millions;
  const std::string company = v7::CompanyName;
  const double finYrSt = v7::FinYrSt;
  Doc e;
  e.Run("setsystemvar({_millions}, {Taz})");
  EXPECT_EQ(e.Var("_millions") + v7::BoolToTF(v7::Millions), "TAZf");
  e.Run("setsystemvar({_MILLIONS}, {t})");
  EXPECT_EQ(e.Var("_millions") + v7::BoolToTF(v7::Millions), "Tt");
  e.Run("setsystemvar({companyname}, {Acme})");
  e.Run("setsystemvar({finyrst}, {01/04/2026})");
  EXPECT_EQ(e.Var("finyrst"), "01/04/2026");
  // A later evaluator starts from the new values.
  v7::TQuorexEVAL later;
  std::string company2;
  later.GetVar("CompanyName", company2);
  EXPECT_EQ(company2, "Acme");
  // A value that does not convert changes nothing.
  e.Run("setsystemvar({_currdecimal}, {two})");
  EXPECT_TRUE(e.TracedError("'two' is not a valid integer value"));
  v7::Millions = millions;
  v7::CompanyName = company;
  v7::FinYrSt = finYrSt;
}

TEST(QuorexEVAL, XRunStartsAProgramOrOpensADocumentWithoutWaitingForIt) {
  Doc e;
  v7test::TempDir dir;
  // A program writes its parameters to the file named first (or beside itself); the
  // desktop's opener, found first on the path, notes the document it was given.
  const std::string script = dir.path() + "/mark.sh", opener = dir.path() + "/xdg-open";
  v7test::WriteFile(script,
                    "#!/bin/sh\nout=\"${1:-$0.ran}\"\n"
                    "printf '%s|' \"$@\" > \"$out.tmp\"; mv \"$out.tmp\" \"$out\"\n");
  v7test::WriteFile(opener,
                    "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.tmp\"; mv \"$0.tmp\" \"$0.did\"\n");
  chmod(script.c_str(), 0755);
  chmod(opener.c_str(), 0755);
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir.path() + ":" + path).c_str(), 1);
  const auto waitFor = [](const std::string& file) {
    for (int i = 0; i < 500 && !std::filesystem::exists(file); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string text = std::filesystem::exists(file) ? v7test::ReadFile(file) : "(none)";
    std::filesystem::remove(file);
    return text;
  };
  const std::string marked = dir.path() + "/marked";
  e.Run("xrun({ " + script + " % " + marked + "  \"two words\" })");
  EXPECT_EQ(waitFor(marked), marked + "|two words|");
  e.Run("xrun({" + script + "})");  // a program without parameters runs as it is
  EXPECT_EQ(waitFor(script + ".ran"), "|");
  // Neither a plain file nor a folder (execute bit and all) is a program.
  v7test::WriteFile(dir.path() + "/notes.txt", "x");
  for (const std::string& doc : {dir.path() + "/notes.txt", dir.path()}) {
    e.Run("xrun({" + doc + "})");
    EXPECT_EQ(waitFor(opener + ".did"), doc);
  }
  e.Run("xrun({" + dir.path() + "/nosuchprogram % x})");  // not reported
  e.Run("xrun({})");                                      // nothing to start
  EXPECT_FALSE(e.AnyError());
  setenv("PATH", path.c_str(), 1);

  EXPECT_EQ(e.Run("opendialog()"), "");  // no dialog is attached
}

TEST(QuorexEVAL, SqlRegVarSetsTypedVariablesFromARealTable) {
  Doc d;
  d.s.site.Exec(
      "create table regvars (varname varchar(20), varvalue varchar(20), vartype varchar(5))");
  d.s.site.Exec(
      "insert into regvars values ('Rate', '1,250.5', 'num'), ('Region', 'North', 'c'), "
      "('Region', 'South', 'c')");
  EXPECT_EQ(d.Run("sqlregvar({select * from regvars})"), "");
  // A number is a number ("1250.5" + 1); rows in order: the last wins.
  EXPECT_EQ(d.Run("rate + 1") + " " + d.Var("region"), "1251.5 South");

  // Without the three columns nothing is set; bad SQL is traced.
  EXPECT_EQ(d.Run("sqlregvar({select varname from regvars})"), "");
  EXPECT_EQ(d.Run("sqlregvar({select * from nosuchtable})"), "");
  EXPECT_TRUE(d.AnyError());
}

TEST(QuorexEVAL, FileWriteFillsATemplateWithOneLinePerGridRow) {
  Doc d;
  v7test::TempDir dir;
  d.store.AddValueByName("invno", 1, "INV1");
  const char* items[] = {"Pen", "Ink", "Cap"};
  for (int row = 1; row <= 3; ++row) {
    d.store.AddValueByName("item", row, items[row - 1]);
    d.store.AddValueByName("qty", row, std::to_string(row));
  }
  const std::string tpl = dir.path() + "/invoice.tpl";
  const std::string out = dir.path() + "/invoice.txt";
  v7test::WriteFile(tpl,
                    "Invoice {InvNo}{nosuch}\n"
                    "{item} x {qty}\n"
                    "again {invno}\n"
                    "a } b {c\n");
  EXPECT_EQ(d.Run("filewrite({" + tpl + "}, {" + out + "}, {})"), "");
  // A header field used twice shows row 2 the second time; a "}" before the "{" is left.
  EXPECT_EQ(v7test::ReadFile(out), "Invoice INV1\nPen x 1\nInk x 2\nCap x 3\nagain \na } b {c\n");

  d.Run("filewrite({" + dir.path() + "/missing.tpl}, {" + out + "}, {})");
  EXPECT_TRUE(d.TracedError("Cannot open file \"" + dir.path() + "/missing.tpl\""));
}

TEST(QuorexEVAL, StockFunctionsValueTheLinkedDocumentsMovements) {
  Doc d;
  d.eval.SetVar("onsave", 'c', "l");
  EXPECT_EQ(d.Run("CheckStock(1,2,3,4,5,6,7,8,9,10)"), "T");

  // Item 202 at location 1 before 30/04/2026: 20 received for 8000, 8 issued (one issue
  // cancelled): 12 held at 400 each.
  EXPECT_EQ(d.Run("GetStockValue(202, {30/04/2026}, 2, {w}, {1})"), "800");
  EXPECT_EQ(d.Var("Op_StockQty") + " " + d.Var("Op_StockValue"), "12 4800");
  EXPECT_EQ(d.Run("GetClosingStock(202, {30/04/2026}, {w}, {1})"), "0");
  EXPECT_EQ(d.Var("Rec_StockQty") + " " + d.Var("Iss_StockQty"), "20 8");
  EXPECT_EQ(d.Run("GetStockValue({x}, {30/04/2026}, 2, {w}, {1})"), "");
  EXPECT_TRUE(d.TracedError("'x' is not a valid floating point value"));
}

}  // namespace
