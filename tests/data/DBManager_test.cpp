// The connection manager against a real SQLite site file, its registry file and its
// project file, all in a temporary folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "SiteDb.h"
#include "TestSupport.h"
#include "uDBManager.h"
#include "uDbDates.h"
#include "uGeneralFunctions.h"
#include "uPgBackend.h"
#include "uRegistry.h"

using namespace v7;

namespace {

double Date(int y, int m, int d) {
  double dt = 0;
  DateTimeFromParts(y, m, d, 0, 0, 0, dt);
  return dt;
}

double LocalNow() {
  std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  double dt = 0;
  DateTimeFromParts(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                    dt);
  return dt;
}

class DBManager : public ::testing::Test {
 protected:
  void SetUp() override {
    UserName.clear();
    BaseMainCurr.clear();
  }
  v7test::TempDir dir_;
  v7test::SiteDb site_{dir_.path()};
};

}  // namespace

TEST_F(DBManager, ConnectOpensTheProjectSetsTheAccessDialectAndLoadsControl) {
  Millions = false;
  LocalIdCounter = 50;
  auto mgr = site_.NewManager();
  ASSERT_TRUE(mgr->Connect("  Site ")) << mgr->ErrorText;
  EXPECT_EQ(mgr->ErrorText, "");
  ASSERT_NE(mgr->Current, nullptr);
  EXPECT_EQ(mgr->Current->Name, "site");
  EXPECT_EQ(DbKind, "access");
  EXPECT_EQ(CurrencyTable, "\"currency\"");
  EXPECT_EQ(DbLowerFunc, "lcase");
  EXPECT_EQ(DbDateFormat, "dd/mm/yyyy");
  EXPECT_EQ(DbDateTemplate, "format(':value', 'dd/mm/yyyy hh:nn:ss')");

  EXPECT_EQ(mgr->Current->SiteNo, 7);
  EXPECT_EQ(SiteNo, 7);
  EXPECT_TRUE(Millions);
  EXPECT_EQ(BaseMainCurr, "Rupees");
  EXPECT_EQ(FinYrSt, Date(2026, 4, 1));
  EXPECT_EQ(FinYrEd, Date(2027, 3, 31));
  EXPECT_EQ(AFinYrSt, Date(2026, 1, 1));
  EXPECT_EQ(AFinYrEd, Date(2026, 12, 31));
  EXPECT_EQ(CompanyName, "Sample Traders");
  EXPECT_EQ(DbRep, "Dr");
  EXPECT_EQ(CrRep, "Cr");
  EXPECT_EQ(UserName, "quorex");
  EXPECT_EQ(static_cast<double>(LocalIdCounter), 1.0);
  EXPECT_EQ(DateSeparator, '/');
  EXPECT_EQ(DecimalSeparator, '.');
  EXPECT_TRUE(site_.MessageBoxes.empty());

  // The data source was pointed at the server path + project + ".mdb".
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV", false));
  EXPECT_EQ(registry.ReadString("DBQ"), site_.DataFolder() + "site.mdb");

  // The server date is the engine's now().
  EXPECT_NEAR(mgr->ServerDate(), LocalNow(), 5.0 / 86400);
}

TEST_F(DBManager, ControlValuesFollowTheirRules) {
  site_.Exec(
      "update control set siteno = null, millions = 'true', basecurrencyid = 0, finyrst = null");
  UserName = "clerk";
  BaseMainCurr = "unchanged";
  auto mgr = site_.Connect();
  EXPECT_EQ(SiteNo, 1);
  EXPECT_EQ(mgr->Current->SiteNo, 1);
  EXPECT_FALSE(Millions);
  EXPECT_EQ(BaseMainCurr, "unchanged");
  EXPECT_EQ(FinYrSt, Date(1900, 1, 1));
  EXPECT_EQ(UserName, "clerk");
}

TEST_F(DBManager, ServerPathIsFoundFromTheDataSourceWhenTheRegistryLacksIt) {
  TRegistry registry;
  registry.OpenKey("SOFTWARE\\STELLOCK\\QUOREX", true);
  registry.WriteString("SERVERPATH", "");
  registry.OpenKey("SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV", true);
  registry.WriteString("DBQ", site_.DataFolder() + "other.mdb");
  auto mgr = site_.Connect();
  registry.OpenKey("SOFTWARE\\STELLOCK\\QUOREX", false);
  EXPECT_EQ(registry.ReadString("SERVERPATH"), site_.DataFolder());
  registry.OpenKey("SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV", false);
  EXPECT_EQ(registry.ReadString("DBQ"), site_.DataFolder() + "site.mdb");
}

TEST_F(DBManager, MissingDataSourceOrFileFailsTheConnectWithoutRaising) {
  // No data source: "Unable to connect." is shown and the connection itself fails.
  v7test::WriteFile(site_.Folder() + "/registry.ini",
                    "[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=" + site_.DataFolder() + "\n");
  auto mgr = site_.NewManager();
  EXPECT_FALSE(mgr->Connect("site"));
  EXPECT_NE(mgr->ErrorText.find("DozovuZovadoVEV"), std::string::npos) << mgr->ErrorText;
  EXPECT_EQ(site_.MessageBoxes, std::vector<std::string>{"Unable to connect."});

  // A project whose file is not there is an error, not a new empty database.
  site_.MessageBoxes.clear();
  v7test::WriteFile(site_.Folder() + "/registry.ini",
                    "[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=" + site_.DataFolder() +
                        "\n[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\nDBQ=x\n");
  site_.AddProject("gone", "Project=gone\nDbType=access\nDriver=ado");
  auto gone = site_.NewManager();
  EXPECT_FALSE(gone->Connect("gone"));
  EXPECT_EQ(gone->ErrorText, "Could not find file '" + site_.DataFolder() + "gone.mdb'.");
  EXPECT_FALSE(std::filesystem::exists(site_.DataFolder() + "gone.mdb"));

  site_.AddProject("noproject", "DbType=access\nDriver=ado");
  auto empty = site_.NewManager();
  EXPECT_FALSE(empty->Connect("noproject"));
  EXPECT_EQ(empty->ErrorText, "Improper Project Name");

  site_.AddProject("bad-name", "Project=site\nDbType=access\nDriver=ado");
  auto bad = site_.NewManager();
  EXPECT_FALSE(bad->Connect("bad-name"));
  EXPECT_NE(bad->ErrorText.find("not a valid project name"), std::string::npos);

  // An empty name does nothing at all.
  auto none = site_.NewManager();
  EXPECT_FALSE(none->Connect(""));
  EXPECT_EQ(none->ErrorText, "");
  EXPECT_EQ(none->Current, nullptr);
}

TEST_F(DBManager, OtherKindsGetTheirDialectAndAClearFailure) {
  v7test::WorkingFolder work(dir_.path());
  v7test::WriteFile(dir_.file("v7rm.ini"), "ORADateString=dd/mm/yyyy hh24:mi:ss\n");
  site_.AddProject("ora", "Project=scott\nDbType=oracle\nDbName=orcl\nDriver=dbx");
  auto ora = site_.NewManager();
  EXPECT_FALSE(ora->Connect("ora"));
  EXPECT_EQ(DbKind, "oracle");
  EXPECT_EQ(CurrencyTable, "currency");
  EXPECT_EQ(DbLowerFunc, "lower");
  EXPECT_EQ(DbDateFormat, "dd/mm/yy");
  EXPECT_EQ(DbDateTemplate, "to_date(':value','dd/mm/yyyy hh24:mi:ss')");
  EXPECT_NE(ora->ErrorText.find("Oracle client"), std::string::npos) << ora->ErrorText;
  EXPECT_EQ(ora->OraUser, "scott");
  EXPECT_EQ(ora->OraDatabase, "orcl");
  EXPECT_EQ(ora->OraPassword, "kib");

  v7test::WriteFile(dir_.file("v7rm.ini"), "trace=\n");
  site_.AddProject("ora2", "Project=scott\nDbType=oracle\nDriver=dbx");
  auto ora2 = site_.NewManager();
  EXPECT_FALSE(ora2->Connect("ora2"));
  EXPECT_EQ(DbDateTemplate, "to_date(':value','dd/mm/yyyy hh:mi:ss AM')");
  EXPECT_EQ(ora2->ErrorText, "Improper Database Name");

  site_.AddProject("my", "Project=x\nDbType=mysql\nDriver=dbx");
  auto my = site_.NewManager();
  EXPECT_FALSE(my->Connect("my"));
  EXPECT_EQ(DbDateFormat, "yyyy/mm/dd");
  EXPECT_EQ(DbDateTemplate, "format(':value', 'dd/mm/yyyy hh:nn:ss')");
  EXPECT_FALSE(my->ErrorText.empty());
}

TEST_F(DBManager, TransactionsCommitRollBackAndNameTheUnknownProject) {
  auto mgr = site_.Connect();
  auto q = mgr->NewQuery();
  q->GetSQL().SetText("update control set companyname = 'Kept'");
  mgr->StartTransaction("site");
  q->ExecSQL();
  mgr->Commit(" SITE ");
  mgr->Rollback("site");  // after a commit: nothing to undo
  EXPECT_EQ(site_.Scalar("select companyname from control"), "Kept");

  mgr->StartTransaction("site");
  q->GetSQL().SetText("update control set companyname = 'Dropped'");
  q->ExecSQL();
  mgr->Rollback("site");
  EXPECT_EQ(site_.Scalar("select companyname from control"), "Kept");

  EXPECT_THROW(mgr->StartTransaction("other"), EDatabaseError);
  EXPECT_EQ(mgr->ErrorText, "Invalid project name in StartTransaction.");
  try {
    mgr->Commit("other");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Invalid project name in DbAccess.SetProjectName.");
  }
  EXPECT_THROW(mgr->Rollback("other"), EDatabaseError);
}

TEST_F(DBManager, QueriesAreNamedTracedAndPrepared) {
  v7test::WorkingFolder work(dir_.path());
  v7test::WriteFile(dir_.file("v7rm.ini"), "trace=tofile\n");
  auto mgr = site_.Connect();
  auto q = mgr->NewQuery();
  EXPECT_EQ(q->Name.rfind("xds", 0), 0u);
  EXPECT_NE(q->Name, mgr->NewQuery()->Name);
  q->GetSQL().SetText("delete from dual where 1 = 0");
  q->ExecSQL();

  auto sel = mgr->PrepareSelectWhere("currency", "currencyid = 2");
  EXPECT_EQ(sel->GetSQL().Text(), "select * from currency where currencyid = 2");
  EXPECT_FALSE(sel->GetActive());
  sel->Open();
  EXPECT_EQ(sel->FieldByName("maincurr").GetAsString(), "Dollars");
  mgr->PrepareSelectWhere(*sel, "control", "1=1");
  EXPECT_EQ(sel->GetSQL().Text(), "select * from control where 1=1");

  std::string trace = v7test::ReadFile(dir_.file("trace.txt"));
  for (const char* line :
       {"Project=site\n", "Dbtype=access\n", "dbname=\n", "driver=ado\n", "Opening connection\n",
        "Executing SELECT * FROM CONTROL\n", "Executing select maincurr from \"currency\"\n",
        " delete from dual where 1 = 0\n"}) {
    EXPECT_NE(trace.find(line), std::string::npos) << line << " in\n" << trace;
  }
}

TEST_F(DBManager, DestroyReleasesTheNumberAndDropsTheConnection) {
  auto mgr = site_.Connect();
  std::shared_ptr<TDbBackend> connection = mgr->Current->Connection;
  mgr->StartTransaction("site");  // left open by a failed caller
  mgr.reset();
  EXPECT_FALSE(connection->IsOpen());
  EXPECT_EQ(site_.Scalar("select active from connectinfo where connectno = 1"), "F");
}

// ---------------------------------------------------------------- the "postgre" kind

namespace {

// A throwaway PostgreSQL server (tests/fixtures/pg_server.sh) with the sample site's
// database "site", for the whole suite.
class DBManagerPostgre : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!std::filesystem::exists("/usr/lib/postgresql/15/bin/initdb")) {
      skip_ = "PostgreSQL 15 is not installed";
      return;
    }
    port_ = v7test::FreePort();
    std::string cmd =
        "bash '" + v7test::FixturesDir() + "/pg_server.sh' start " + std::to_string(port_);
    FILE* out = popen(cmd.c_str(), "r");
    char buf[512];
    while (out && std::fgets(buf, sizeof buf, out)) folder_ += buf;
    int rc = out ? pclose(out) : -1;
    folder_ = TrimStr(folder_);
    if (rc != 0 || folder_.empty()) {
      failure_ = "pg_server.sh could not start a server";
      folder_.clear();
      return;
    }
    try {
      TPgBackend admin;
      admin.Open(Target("postgres"));
      admin.Execute("create database site");
      TPgBackend site;
      site.Open(Target("site"));
      v7test::RunScript(site, "site_schema.sql");
    } catch (const std::exception& e) {
      failure_ = e.what();
    }
  }
  static void TearDownTestSuite() {
    if (folder_.empty()) return;
    std::string cmd = "bash '" + v7test::FixturesDir() + "/pg_server.sh' stop '" + folder_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "%s failed\n", cmd.c_str());
    folder_.clear();
  }
  static std::string Target(const std::string& db) {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=" + db;
  }
  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(failure_.empty()) << failure_;
    site_.AddProject("pgsite",
                     "Project=postgres\nDbType=postgre\nDriver=dbx\nDbName=host=127.0.0.1 "
                     "port=" +
                         std::to_string(port_) + " dbname=site");
    db_.Open(Target("site"));
  }
  std::unique_ptr<TDBManager> Connect() {
    auto mgr = site_.NewManager();
    EXPECT_TRUE(mgr->Connect("pgsite")) << mgr->ErrorText;
    EXPECT_EQ(mgr->ErrorText, "");
    return mgr;
  }
  std::string Scalar(const std::string& sql) {
    TDbRowSet r = db_.Query(sql);
    if (r.Rows.empty() || r.Rows[0][0].IsNull()) return "";
    const TDbValue& v = r.Rows[0][0];
    return v.Kind == TDbKind::Integer ? std::to_string(v.Int) : v.Text;
  }

  v7test::TempDir dir_;
  v7test::SiteDb site_{dir_.path()};
  TPgBackend db_;
  static inline std::string skip_, failure_, folder_;
  static inline int port_ = 0;
};

}  // namespace

TEST_F(DBManagerPostgre, APostgreProjectConnectsTakesNumbersAndChecksThemOnSave) {
  UserName.clear();
  auto first = Connect();
  EXPECT_EQ(DbKind, "postgre");
  EXPECT_EQ(DbDateTemplate, "format(':value', 'dd/mm/yyyy hh:nn:ss')");
  EXPECT_EQ(SiteNo, 7);
  EXPECT_EQ(BaseMainCurr, "Rupees");
  EXPECT_EQ(FinYrSt, Date(2026, 4, 1));
  EXPECT_EQ(first->Current->ConnectNo, 1);
  EXPECT_EQ(TDBManager::RecordIdToStr(first->NewRecordId(*first->Current)), "70001000000000");
  EXPECT_EQ(TDBManager::RecordIdToStr(first->NewRecordId(*first->Current)), "70001000000001");

  auto second = Connect();
  EXPECT_EQ(second->Current->ConnectNo, 2);
  first.reset();
  EXPECT_EQ(Scalar("select active from connectinfo where connectno = 1"), "F");
  auto third = Connect();
  EXPECT_EQ(third->Current->ConnectNo, 1);
  EXPECT_EQ(TDBManager::RecordIdToStr(third->NewRecordId(*third->Current)), "70001000000002");

  // A number whose row was not saved for more than a day is no longer this client's.
  db_.Execute(
      "update connectinfo set lastupdated = now() - interval '25 hours' "
      "where connectno = 2");
  try {
    second->NewRecordId(*second->Current);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Invalid connection");
  }

  auto q = third->NewQuery();
  q->GetSQL().SetText("update control set companyname = 'Rolled'");
  third->StartTransaction("pgsite");
  q->ExecSQL();
  third->Rollback("pgsite");
  EXPECT_EQ(Scalar("select companyname from control"), "Sample Traders");
}
