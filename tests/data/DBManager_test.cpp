// The connection manager against a real SQLite site file with its registry and project files
// in a temporary folder, and against a throwaway PostgreSQL server.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>

#include "PgSite.h"
#include "SiteDb.h"
#include "TestSupport.h"
#include "uDBManager.h"
#include "uDbDates.h"
#include "uGeneralFunctions.h"
#include "uPgBackend.h"
#include "uRegistry.h"
#include "uSqliteBackend.h"

using namespace v7;

namespace {

using v7test::Date;

const char kDataSourceKey[] = "SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV";

class DBManager : public ::testing::Test {
 protected:
  void SetUp() override { UserName.clear(); }
  v7test::TempDir dir_;
  v7test::SiteDb site_{dir_.path()};
};

}  // namespace

TEST_F(DBManager, ConnectOpensTheNamedProjectLoadsControlAndTraces) {
  v7test::WorkingFolder work(dir_.path());
  v7test::WriteFile(dir_.file("v7rm.ini"), "trace=tofile\n");
  LocalIdCounter = 50;
  auto mgr = site_.NewManager();
  ASSERT_TRUE(mgr->Connect("  Site ")) << mgr->ErrorText;
  EXPECT_EQ(mgr->ErrorText, "");
  EXPECT_EQ(mgr->Current->Name, "site");
  EXPECT_EQ(DbKind, "access");

  EXPECT_EQ(SiteNo, 7);
  EXPECT_TRUE(Millions);
  EXPECT_EQ(BaseMainCurr, "Rupees");
  EXPECT_EQ(FinYrSt, Date(2026, 4, 1));
  EXPECT_EQ(AFinYrEd, Date(2026, 12, 31));
  EXPECT_EQ(CompanyName + DbRep + CrRep, "Sample TradersDrCr");
  EXPECT_EQ(UserName, "quorex");
  EXPECT_EQ(static_cast<double>(LocalIdCounter), 1.0);
  EXPECT_TRUE(site_.MessageBoxes.empty());

  std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  EXPECT_NEAR(mgr->ServerDate(),
              Date(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec),
              5.0 / 86400);

  std::string trace = v7test::ReadFile(dir_.file("trace.txt"));
  for (const char* line :
       {"Project=site\n", "Dbtype=access\n", "driver=ado\n", "Opening connection\n",
        "Executing SELECT * FROM CONTROL\n", "Executing select maincurr from \"currency\"\n"})
    EXPECT_NE(trace.find(line), std::string::npos) << line << " in\n" << trace;
}

TEST_F(DBManager, ControlValuesFollowTheirRulesAndTheServerPathComesFromTheDataSource) {
  site_.Exec(
      "update control set siteno = null, millions = 'true', basecurrencyid = 0, finyrst = null");
  UserName = "clerk";
  BaseMainCurr = "unchanged";
  // The registry lacks the server path: it is found from the data source's file.
  TRegistry registry;
  registry.OpenKey("SOFTWARE\\STELLOCK\\QUOREX", true);
  registry.WriteString("SERVERPATH", "");
  registry.OpenKey(kDataSourceKey, true);
  registry.WriteString("DBQ", site_.DataFolder() + "other.mdb");
  auto mgr = site_.Connect();
  EXPECT_EQ(SiteNo, 1);
  EXPECT_FALSE(Millions);
  EXPECT_EQ(BaseMainCurr, "unchanged");
  EXPECT_EQ(FinYrSt, Date(1900, 1, 1));
  EXPECT_EQ(UserName, "clerk");
  registry.OpenKey("SOFTWARE\\STELLOCK\\QUOREX", false);
  EXPECT_EQ(registry.ReadString("SERVERPATH"), site_.DataFolder());
  registry.OpenKey(kDataSourceKey, false);
  EXPECT_EQ(registry.ReadString("DBQ"), site_.DataFolder() + "site.mdb");
}

TEST_F(DBManager, FailuresEndTheConnectWithTheirTextAndNeverRaise) {
  // No data source: "Unable to connect." is shown and the connection itself fails.
  v7test::WriteFile(site_.Folder() + "/registry.ini",
                    "[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=" + site_.DataFolder() + "\n");
  auto mgr = site_.NewManager();
  EXPECT_FALSE(mgr->Connect("site"));
  EXPECT_NE(mgr->ErrorText.find("DozovuZovadoVEV"), std::string::npos) << mgr->ErrorText;
  EXPECT_EQ(site_.MessageBoxes, std::vector<std::string>{"Unable to connect."});
  // Without the server path either, the data source is looked for twice: said once.
  v7test::WriteFile(site_.Folder() + "/registry.ini", "[SOFTWARE\\STELLOCK\\QUOREX]\n");
  site_.MessageBoxes.clear();
  EXPECT_FALSE(site_.NewManager()->Connect("site"));
  EXPECT_EQ(site_.MessageBoxes, std::vector<std::string>{"Unable to connect."});

  // A missing file is an error, not a new empty database.
  v7test::WriteFile(site_.Folder() + "/registry.ini",
                    "[SOFTWARE\\STELLOCK\\QUOREX]\nSERVERPATH=" + site_.DataFolder() +
                        "\n[SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV]\nDBQ=x\n");
  site_.AddProject("gone", "Project=gone\nDbType=access\nDriver=ado");
  site_.AddProject("noproject", "DbType=access\nDriver=ado");
  site_.AddProject("bad-name", "Project=site\nDbType=access\nDriver=ado");
  site_.AddProject("odbc", "Project=site\nDbType=access\nDriver=odbc");
  site_.AddProject("acess", "Project=site\nDbType=acess\nDriver=ado");
  std::map<std::string, std::string> expected = {
      {"gone", "Could not find file '" + site_.DataFolder() + "gone.mdb'."},
      {"noproject", "Improper Project Name"},
      {"bad-name",
       "\"bad-name\" is not a valid project name: letters, digits and \"_\", not "
       "starting with a digit"},
      {"nosection",
       "The project \"nosection\" has no section in " + AppFolder() + "Dbconnections.ini"},
      // An access layer or a kind that the client does not know names the setting.
      {"odbc", "Improper Driver: Driver=odbc of the project \"odbc\" in " + AppFolder() +
                   "Dbconnections.ini is none of ado, dbx, bde"},
      {"acess", "No database connection: DbType=acess of the project \"acess\" in " + AppFolder() +
                    "Dbconnections.ini is none of access, postgre, oracle, mysql"},
      {"", ""}};  // an empty name does nothing at all
  for (const auto& [name, text] : expected) {
    auto m = site_.NewManager();
    EXPECT_FALSE(m->Connect(name));
    EXPECT_EQ(m->ErrorText, text);
  }
  EXPECT_FALSE(std::filesystem::exists(site_.DataFolder() + "gone.mdb"));
}

TEST_F(DBManager, OtherKindsGetTheirDialectAndAClearFailure) {
  v7test::WorkingFolder work(dir_.path());
  v7test::WriteFile(dir_.file("v7rm.ini"), "ORADateString=dd/mm/yyyy hh24:mi:ss\n");
  site_.AddProject("ora", "Project=scott\nDbType=oracle\nDbName=orcl\nDriver=dbx");
  auto ora = site_.NewManager();
  EXPECT_FALSE(ora->Connect("ora"));
  EXPECT_EQ(DbDateFormat, "dd/mm/yy");
  EXPECT_EQ(DbDateTemplate, "to_date(':value','dd/mm/yyyy hh24:mi:ss')");
  EXPECT_EQ(ora->ErrorText,
            "Unable to connect to Oracle database \"orcl\" as \"scott\": no Oracle client "
            "library (OCI) is available on this system");

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
  EXPECT_EQ(my->ErrorText, "No database connection: DbType=mysql of the project \"my\" in " +
                               AppFolder() +
                               "Dbconnections.ini has no connection on this system (access, "
                               "postgre)");
}

TEST_F(DBManager, TransactionsCommitRollBackNameTheUnknownProjectAndEndWithTheManager) {
  auto mgr = site_.Connect();
  auto q = mgr->NewQuery();
  q->GetSQL().SetText("update control set companyname = 'Kept'");
  mgr->StartTransaction("site");
  q->ExecSQL();
  mgr->Commit(" SITE ");
  mgr->Rollback("site");  // after a commit: nothing to undo
  mgr->StartTransaction("site");
  q->GetSQL().SetText("update control set companyname = 'Dropped'");
  q->ExecSQL();
  mgr->Rollback("site");
  EXPECT_EQ(site_.Scalar("select companyname from control"), "Kept");

  EXPECT_THROW(mgr->StartTransaction("other"), EDatabaseError);
  EXPECT_EQ(mgr->ErrorText, "Invalid project name in StartTransaction.");
  EXPECT_THROW(mgr->Rollback("other"), EDatabaseError);
  try {
    mgr->Commit("other");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Invalid project name in DbAccess.SetProjectName.");
  }

  // Destroying the manager releases the number even with a transaction left open.
  std::shared_ptr<TDbBackend> connection = mgr->Current->Connection;
  mgr->StartTransaction("site");
  q.reset();
  mgr.reset();
  EXPECT_FALSE(connection->IsOpen());
  EXPECT_EQ(site_.Scalar("select active from connectinfo where connectno = 1"), "F");
}

// Clients of two projects that share the one data source, connecting at the same moment in
// processes of their own: each opens its own file, whatever the others write to the data
// source in between.
TEST_F(DBManager, TwoProjectsOnOneDataSourceEachOpenTheirOwnFile) {
  std::filesystem::copy_file(site_.DbFile(), site_.DataFolder() + "other.mdb");
  site_.AddProject("other", "Project=other\nDbType=access\nDriver=ado\n");
  site_.Exec("update control set companyname = 'site'");
  auto otherDb = std::make_unique<TSqliteBackend>();
  otherDb->Open(site_.DataFolder() + "other.mdb");
  otherDb->Execute("update control set companyname = 'other'");
  otherDb.reset();
  constexpr int kWorkers = 6, kConnects = 25;
  std::vector<pid_t> pids;
  for (int w = 0; w < kWorkers; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      const std::string project = w % 2 ? "other" : "site";
      int wrong = 0;
      for (int i = 0; i < kConnects; ++i) {
        TDBManager mgr;
        if (!mgr.Connect(project) || !mgr.ErrorText.empty()) _exit(100);
        if (CompanyName != project) ++wrong;
      }
      _exit(wrong);
    }
    ASSERT_GE(pid, 0);
    pids.push_back(pid);
  }
  int wrongFiles = 0, failed = 0;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 100)
      ++failed;
    else
      wrongFiles += WEXITSTATUS(status);
  }
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(wrongFiles, 0);
}

// A "postgre" project on a throwaway server holding the site.
TEST(DBManagerPostgre, ConnectsTakesNumbersAndChecksThemOnSave) {
  v7test::PgSite pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  auto connect = [&] {
    auto mgr = pg.Site().NewManager();
    EXPECT_TRUE(mgr->Connect("pgsite")) << mgr->ErrorText;
    EXPECT_EQ(mgr->ErrorText, "");
    return mgr;
  };
  UserName.clear();
  auto first = connect();
  EXPECT_EQ(DbKind, "postgre");
  EXPECT_EQ(SiteNo, 7);
  EXPECT_EQ(BaseMainCurr, "Rupees");
  EXPECT_EQ(FinYrSt, Date(2026, 4, 1));
  EXPECT_EQ(TDBManager::RecordIdToStr(first->NewRecordId(*first->Current)), "70001000000000");
  EXPECT_EQ(TDBManager::RecordIdToStr(first->NewRecordId(*first->Current)), "70001000000001");

  auto second = connect();
  EXPECT_EQ(second->Current->ConnectNo, 2);
  first.reset();
  EXPECT_EQ(pg.Scalar("select active from connectinfo where connectno = 1"), "F");
  auto third = connect();
  EXPECT_EQ(TDBManager::RecordIdToStr(third->NewRecordId(*third->Current)), "70001000000002");

  // A number whose row was not saved for more than a day is no longer this client's, and
  // no longer is it once another client has taken it over.
  pg.db.Execute(
      "update connectinfo set lastupdated = now() - interval '25 hours' where connectno = 2");
  auto idleSave = [&] {
    try {
      second->NewRecordId(*second->Current);
      return std::string("saved");
    } catch (const EDatabaseError& e) {
      return std::string(e.what());
    }
  };
  EXPECT_EQ(idleSave(), "Invalid connection");
  auto taker = connect();
  ASSERT_EQ(taker->Current->ConnectNo, 2);
  const std::string taken = TDBManager::RecordIdToStr(taker->NewRecordId(*taker->Current));
  EXPECT_EQ(idleSave(), "Invalid connection");
  EXPECT_NE(TDBManager::RecordIdToStr(taker->NewRecordId(*taker->Current)), taken);
  second.reset();
  EXPECT_EQ(pg.Scalar("select active from connectinfo where connectno = 2"), "T");
}

TEST(DBManagerPostgre, NamesAreUsedAsWrittenAndThePasswordIsNeverShown) {
  v7test::PgSite pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  pg.db.Execute("create role \"Site_User\" login superuser");
  v7test::SiteDb& site = pg.Site();
  // The test cluster trusts loopback, so any password signs in; it must only stay unseen.
  site.AddProject(
      "mixed", "Project=Site_User\nDbType=postgre\nDriver=dbx\nDbName=" +
                   ReplaceAll(pg.cluster.Target("site"), "user=postgres", "password=Se'cret_PW"));
  v7test::WorkingFolder work(site.Folder());
  v7test::WriteFile(site.Folder() + "/v7rm.ini", "trace=tofile\n");
  auto mgr = site.NewManager();
  ASSERT_TRUE(mgr->Connect("mixed")) << mgr->ErrorText;
  auto q = mgr->NewQuery();
  q->GetSQL().SetText("select current_user as who");
  q->Open();
  EXPECT_EQ(q->FieldByName("who").Value, "Site_User");
  q.reset();
  mgr.reset();
  const std::string trace = v7test::ReadFile(site.Folder() + "/trace.txt");
  EXPECT_NE(trace.find("dbname=password=******** dbname='site' host='127.0.0.1'"),
            std::string::npos)
      << trace;
  EXPECT_EQ(trace.find("Se'cret_PW"), std::string::npos);
}
