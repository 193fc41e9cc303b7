// Connection numbers and record ids on a real SQLite site file, including many processes
// sharing the file, some of them killed while they hold a number.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "PgSite.h"
#include "SiteDb.h"
#include "TestSupport.h"
#include "uDBManager.h"
#include "uGeneralFunctions.h"

using namespace v7;
namespace fs = std::filesystem;

namespace {

std::string NextId(TDBManager& mgr) {
  return TDBManager::RecordIdToStr(mgr.NewRecordId(*mgr.Current));
}

class ConnectNo : public ::testing::Test {
 protected:
  void SetUp() override { UserName.clear(); }
  std::string Row(int cno, const std::string& column) {
    return site_.Scalar("select " + column +
                        " from connectinfo where connectno = " + std::to_string(cno));
  }
  std::string LockTables() {
    return site_.Scalar("select count(*) from sqlite_master where name = 'connecttemp'");
  }
  v7test::TempDir dir_;
  v7test::SiteDb site_{dir_.path()};
};

}  // namespace

TEST_F(ConnectNo, EmptyTableGivesNumberOneAndIdsOfTheExactForm) {
  auto mgr = site_.Connect();
  EXPECT_EQ(mgr->Current->ConnectNo, 1);
  EXPECT_EQ(Row(1, "active"), "T");
  EXPECT_EQ(NextId(*mgr), "70001000000000");
  EXPECT_EQ(NextId(*mgr), "70001000000001");
  // The counter is saved after each id, with the time of the save.
  EXPECT_EQ(Row(1, "lastnumber"), "2");
  EXPECT_EQ(site_.Scalar("select count(*) from connectinfo where now() - lastupdated < 0.001"),
            "1");
  EXPECT_EQ(LockTables(), "0");

  // Past nine digits the id grows a digit; longer sites stay exact or fail, site 0 loses its
  // leading zeros.
  TProjectRecord& p = *mgr->Current;
  p.LastNumber = 999999999;
  EXPECT_EQ(NextId(*mgr), "70001999999999");
  EXPECT_EQ(NextId(*mgr), "700011000000000");
  p.SiteNo = 12345;
  p.LastNumber = 123456789;
  EXPECT_EQ(NextId(*mgr), "123450001123456789");
  p.SiteNo = 0;
  EXPECT_EQ(NextId(*mgr), "1123456790");
  p.SiteNo = 2147483647;
  EXPECT_THROW(mgr->NewRecordId(p), EDatabaseError);

  // Giving the number back over a dropped connection changes nothing and reports nothing.
  mgr->DisconnectProject("site");
  mgr->ReleaseConnectNo();
  mgr.reset();
  EXPECT_EQ(Row(1, "active"), "T");
}

TEST_F(ConnectNo, FreeAndStaleNumbersAreTakenAgainWithTheirCounters) {
  // Number 1 was released (with a counter that is no whole number), 2 is held by a client
  // that stopped saving long ago, 3 by a live one.
  site_.Exec("insert into connectinfo values (1, 5.5, now(), 'F')");
  site_.Exec(
      "insert into connectinfo values (2, 400, format('01/01/2020', 'dd/mm/yyyy hh:nn:ss'), "
      "'T')");
  site_.Exec("insert into connectinfo values (3, 900, now() - 0.9, 'T')");
  auto released = site_.Connect();
  EXPECT_EQ(NextId(*released), "70001000000006");
  EXPECT_EQ(NextId(*released), "70001000000007");
  // Taking a number over moves its counter on, so that its old holder sees it is gone.
  auto stale = site_.Connect();
  EXPECT_EQ(NextId(*stale), "70002000000401");
  auto next = site_.Connect();
  EXPECT_EQ(next->Current->ConnectNo, 4);
  // A stored counter past nine digits starts again at 0.
  site_.Exec("insert into connectinfo values (5, 1000000000, now(), 'F')");
  EXPECT_EQ(NextId(*site_.Connect()), "70005000000000");

  // A holder that sat idle for more than a day and still runs: once another client took its
  // number over, its next id fails instead of repeating one of the new holder's, and its
  // release leaves the number to the new holder.
  auto idle = site_.Connect();
  const int held = idle->Current->ConnectNo;
  std::set<std::string> issued{NextId(*idle)};
  site_.Exec("update connectinfo set lastupdated = now() - 1.5 where connectno = " +
             std::to_string(held));
  auto taker = site_.Connect();
  ASSERT_EQ(taker->Current->ConnectNo, held);
  issued.insert(NextId(*taker));
  EXPECT_THAT([&] { NextId(*idle); },
              testing::ThrowsMessage<EDatabaseError>(testing::StrEq("Invalid connection")));
  issued.insert(NextId(*taker));
  EXPECT_EQ(issued.size(), 3u);
  idle.reset();
  EXPECT_EQ(Row(held, "active"), "T");
  // So does one taken over before it issued any id.
  site_.Exec("update connectinfo set active = 'T', lastupdated = now() - (connectno = 4) * 1.5");
  auto over = site_.Connect();
  ASSERT_EQ(over->Current->ConnectNo, next->Current->ConnectNo);
  next.reset();
  EXPECT_EQ(Row(over->Current->ConnectNo, "active"), "T");
}

// Work rolled back after it took ids leaves the connection as it found it: its ids are issued
// again, the counter's row matches the client's, and the number goes back when the client
// goes; a client whose number was taken over meanwhile still stops at its next id.
TEST_F(ConnectNo, RolledBackIdsAreIssuedAgainAndTakeoversStillShow) {
  auto mgr = site_.Connect();
  const std::string name = mgr->Current->Name;
  EXPECT_EQ(NextId(*mgr), "70001000000000");
  mgr->StartTransaction(name);
  EXPECT_EQ(NextId(*mgr), "70001000000001");
  EXPECT_EQ(NextId(*mgr), "70001000000002");
  mgr->Rollback(name);
  EXPECT_EQ(Row(1, "lastnumber"), "1");
  mgr->StartTransaction(name);
  EXPECT_EQ(NextId(*mgr), "70001000000001");
  mgr->Commit(name);
  EXPECT_EQ(NextId(*mgr), "70001000000002");
  // Work left open when the client goes is undone before the number is given back.
  mgr->StartTransaction(name);
  NextId(*mgr);
  mgr.reset();
  EXPECT_EQ(Row(1, "active") + Row(1, "lastnumber"), "F3");

  auto idle = site_.Connect();
  ASSERT_EQ(idle->Current->ConnectNo, 1);
  idle->StartTransaction(name);
  EXPECT_EQ(NextId(*idle), "70001000000003");
  idle->Rollback(name);
  site_.Exec("update connectinfo set lastupdated = now() - 1.5 where connectno = 1");
  auto taker = site_.Connect();
  ASSERT_EQ(taker->Current->ConnectNo, 1);
  EXPECT_EQ(NextId(*taker), "70001000000004");
  EXPECT_THAT([&] { NextId(*idle); },
              testing::ThrowsMessage<EDatabaseError>(testing::StrEq("Invalid connection")));
  idle.reset();
  EXPECT_EQ(Row(1, "active"), "T");
}

// A transaction that ended before the manager ended it: ids whose counter saves were kept
// (it ended with a commit) are never issued again and leave the connection good; ids whose
// saves the end undid (the engine rolled it back) are issued again. Its commit fails.
TEST_F(ConnectNo, ATransactionEndedFromInsideNeitherReusesIdsNorLosesTheNumber) {
  auto mgr = site_.Connect();
  const std::string name = mgr->Current->Name;
  mgr->StartTransaction(name);
  EXPECT_EQ(NextId(*mgr), "70001000000000");
  mgr->Current->Connection->Commit();  // as a statement inside it would have
  EXPECT_EQ(NextId(*mgr), "70001000000001");
  mgr->Rollback(name);  // none open
  EXPECT_EQ(NextId(*mgr), "70001000000002");

  site_.Exec("create table once (n integer unique)");
  mgr->StartTransaction(name);
  EXPECT_EQ(NextId(*mgr), "70001000000003");
  auto q = mgr->NewQuery();
  q->GetSQL().SetText("insert or rollback into once values (1)");
  q->ExecSQL();
  EXPECT_THROW(q->ExecSQL(), EDatabaseError);
  EXPECT_THAT([&] { mgr->Commit(name); },
              testing::ThrowsMessage<EDatabaseError>(testing::StrEq(kTransactionEndedEarly)));
  mgr->Rollback(name);
  EXPECT_EQ(NextId(*mgr), "70001000000003");
  mgr.reset();
  EXPECT_EQ(Row(1, "active") + Row(1, "lastnumber"), "F4");
}

TEST_F(ConnectNo, ExhaustedRangeHeldGateAndFailedTakeLeaveNothingBehind) {
  site_.Exec("insert into connectinfo values (9999, 0, now(), 'T')");
  auto full = site_.NewManager();
  EXPECT_FALSE(full->Connect("site"));
  EXPECT_EQ(full->ErrorText, "Connections exhausted");
  EXPECT_EQ(site_.Scalar("select count(*) from connectinfo"), "1");
  EXPECT_EQ(LockTables(), "0");
  full.reset();
  EXPECT_EQ(Row(9999, "active"), "T");  // not ours: left as it was

  site_.Exec("update connectinfo set active = 'F'");
  site_.Exec("create table connecttemp (connecttempid integer)");
  auto blocked = site_.NewManager();
  EXPECT_FALSE(blocked->Connect("site"));
  // The system's texts, then the cause and the file.
  const std::string held = "the database file " + site_.DbFile() +
                           ": table connecttemp already exists (another client holds the table "
                           "connecttemp; drop it when none runs)";
  EXPECT_EQ(blocked->ErrorText, "Failed in Gateclose: " + held);
  EXPECT_EQ(site_.MessageBoxes,
            std::vector<std::string>{"Unable to connect in GateClose. " + held});
  EXPECT_EQ(Row(9999, "active"), "F");

  // A site file this client may read but not write (a file mode binds root only through
  // another user: the connect then runs in a child that is "nobody").
  site_.Exec("drop table connecttemp");
  blocked.reset();
  fs::permissions(dir_.path(), fs::perms::all);
  fs::permissions(site_.DataFolder(), fs::perms::all);
  fs::permissions(site_.DbFile(),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    auto readOnly = site_.NewManager();
    readOnly->Connect("site");
    const std::string text = readOnly->ErrorText + "\n" + site_.MessageBoxes.back();
    _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 3);
  }
  close(out[1]);
  std::string said;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
    said.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  const std::string readOnly =
      "the database file " + site_.DbFile() + ": attempt to write a readonly database";
  EXPECT_EQ(said,
            "Failed in Gateclose: " + readOnly + "\nUnable to connect in GateClose. " + readOnly);
  fs::permissions(site_.DbFile(), fs::perms::owner_write, fs::perm_options::add);

  // A CONNECTINFO without its counter column fails in the middle of taking a number.
  site_.Exec("drop table connectinfo");
  site_.Exec("create table connectinfo (connectno integer, lastupdated date, active varchar(1))");
  site_.Exec("insert into connectinfo values (1, now() - 3, 'T')");
  auto broken = site_.NewManager();
  EXPECT_FALSE(broken->Connect("site"));
  EXPECT_EQ(broken->ErrorText,
            "the database file " + site_.DbFile() + ": Field 'lastnumber' not found");
  EXPECT_FALSE(broken->Current->Connection->InTransaction());
  EXPECT_EQ(LockTables(), "0");
}

// ---------------------------------------------------------------- many processes

namespace {

long long MonotonicNs() {
  return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

// One client process: connects, issues ids in transactions of kIdsPerTransaction and
// disconnects, round after round; every kRollbackEvery-th transaction is rolled back (its
// ids are issued again by the next one). One that dies holding kills itself after its ids,
// without giving the number back. Each line is written before the next step, so what a
// killed worker wrote is on disk: "C cno time" after a take, "I id" for each id of a
// committed transaction, "R cno time" before the release, "E message" on a failure.
constexpr int kIdsPerTransaction = 5;
constexpr int kRollbackEvery = 5;

[[noreturn]] void RunWorker(const std::string& project, const std::string& outFile, int rounds,
                            int ids, bool dieHolding, int worker) {
  int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  auto line = [fd](const std::string& text) {
    if (write(fd, (text + "\n").data(), text.size() + 1) < 0) _exit(3);
  };
  for (int r = 0; r < rounds; ++r) {
    TDBManager mgr;
    if (!mgr.Connect(project) || !mgr.ErrorText.empty()) {
      line("E " + mgr.ErrorText);
      _exit(1);
    }
    std::string cno = std::to_string(mgr.Current->ConnectNo);
    line("C " + cno + " " + std::to_string(MonotonicNs()));
    const std::string name = mgr.Current->Name;
    for (int committed = 0, t = worker; committed < ids; ++t) {
      try {
        std::vector<std::string> issued;
        mgr.StartTransaction(name);
        for (int i = 0; i < kIdsPerTransaction; ++i) issued.push_back(NextId(mgr));
        if (t % kRollbackEvery == 0) {
          mgr.Rollback(name);
          continue;
        }
        mgr.Commit(name);
        for (const std::string& id : issued) line("I " + id);
        committed += kIdsPerTransaction;
      } catch (const std::exception& e) {
        line(std::string("E ") + e.what());
        _exit(1);
      }
    }
    if (dieHolding) raise(SIGKILL);
    line("R " + cno + " " + std::to_string(MonotonicNs()));
  }
  _exit(0);
}

struct Holding {
  int cno;
  long long from, to;  // to: LLONG_MAX when the worker was killed holding it
  int worker;
};

// What 16 client processes of one project did: every id they committed, the spans in which
// each held a number and the highest counter each number reached. Failures of the run (a
// worker that reported an error, "Invalid connection" after a rollback among them, an id
// committed twice, a number held by two at once) fail the test. Only the killed workers may
// leave a number taken (kMayHold).
struct ManyProcesses {
  static constexpr int kWorkers = 16;
  static constexpr int kDying = 3;        // workers 0..2 die holding their number
  static constexpr int kKilledEarly = 2;  // workers 3..4 are killed at any moment of their rounds
  std::vector<Holding> holdings;
  std::set<std::string> ids;
  std::map<int, long long> highestCounter;

  ManyProcesses(const std::string& project, const v7test::TempDir& dir) {
    constexpr int kRounds = 3, kIds = 25;
    std::vector<pid_t> pids;
    auto file = [&](int w) { return dir.file(project + std::to_string(w) + ".txt"); };
    for (int w = 0; w < kWorkers; ++w) {
      pid_t pid = fork();
      if (pid == 0) RunWorker(project, file(w), w < kDying ? 1 : kRounds, kIds, w < kDying, w);
      EXPECT_GE(pid, 0);
      pids.push_back(pid);
    }
    for (int w = kDying; w < kDying + kKilledEarly; ++w) {
      std::this_thread::sleep_for(std::chrono::milliseconds(MonotonicNs() % 40));
      kill(pids[w], SIGKILL);
    }
    auto text = [&](int w) {
      return std::filesystem::exists(file(w)) ? v7test::ReadFile(file(w)) : std::string();
    };
    for (int w = 0; w < kWorkers; ++w) {
      int status = 0;
      waitpid(pids[w], &status, 0);
      if (w < kDying) {
        EXPECT_TRUE(WIFSIGNALED(status)) << w << ": " << text(w);
      }
      if (w >= kDying + kKilledEarly) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << w << ": " << text(w);
      }
    }

    int duplicates = 0;
    for (int w = 0; w < kWorkers; ++w) {
      std::istringstream in(text(w));
      std::string tag, value;
      long long time = 0;
      while (in >> tag >> value) {
        if (tag == "C" && in >> time) holdings.push_back({std::stoi(value), time, LLONG_MAX, w});
        if (tag == "R" && in >> time) holdings.back().to = time;
        if (tag == "I") {
          int cno = holdings.back().cno;
          if (!ids.insert(value).second) ++duplicates;
          EXPECT_EQ(value.substr(0, 5), "7" + PadLeft(std::to_string(cno), 4, '0')) << value;
          EXPECT_EQ(value.size(), 14u) << value;
          highestCounter[cno] = std::max(highestCounter[cno], std::stoll(value.substr(5)));
        }
        if (tag == "E") {
          std::getline(in, tag);
          ADD_FAILURE() << "worker " << w << ": " << value << tag;
        }
      }
    }
    EXPECT_EQ(duplicates, 0) << "ids issued twice";
    EXPECT_GE(ids.size(), size_t{((kWorkers - kDying - kKilledEarly) * kRounds + kDying) * kIds});
    bool reused = false;
    for (size_t a = 0; a < holdings.size(); ++a)
      for (size_t b = a + 1; b < holdings.size(); ++b)
        if (holdings[a].cno == holdings[b].cno) {
          reused = true;
          EXPECT_TRUE(holdings[a].to < holdings[b].from || holdings[b].to < holdings[a].from)
              << "number " << holdings[a].cno << " held at once by workers " << holdings[a].worker
              << " and " << holdings[b].worker;
        }
    EXPECT_TRUE(reused) << "no released number was taken again";
  }
  static constexpr int kMayHold = kDying + kKilledEarly;
};

}  // namespace

// The table as the schema of an old site may have it: no key that would stop two clients
// adding the same number.
const char kConnectInfoWithoutKey[] =
    "create table connectinfo (connectno integer, lastnumber numeric, lastupdated timestamp, "
    "active varchar(1))";

TEST_F(ConnectNo, ManyProcessesNeverShareANumberOrAnId) {
  site_.Exec("drop table connectinfo");
  site_.Exec(kConnectInfoWithoutKey);
  ManyProcesses run("site", dir_);
  for (const auto& [cno, counter] : run.highestCounter)
    EXPECT_GT(std::stoll(Row(cno, "lastnumber")), counter) << "number " << cno;
  EXPECT_EQ(LockTables(), "0");
  EXPECT_LE(std::stoi(site_.Scalar("select count(*) from connectinfo where active = 'T'")),
            ManyProcesses::kMayHold);
  const auto& holdings = run.holdings;
  const auto& ids = run.ids;
  auto& highestCounter = run.highestCounter;

  // The killed workers' numbers stay taken; once one is more than a day old, the next
  // client takes it over and goes on after the last id it issued.
  const int dead = holdings.front().cno;
  ASSERT_EQ(holdings.front().worker, 0);
  EXPECT_EQ(Row(dead, "active"), "T");
  site_.Exec("update connectinfo set active = 'T', lastupdated = now()");
  site_.Exec("update connectinfo set lastupdated = now() - 1.01 where connectno = " +
             std::to_string(dead));
  auto mgr = site_.Connect();
  ASSERT_EQ(mgr->Current->ConnectNo, dead);
  std::string next = NextId(*mgr);
  EXPECT_GT(std::stoll(next.substr(5)), highestCounter[dead]);
  EXPECT_EQ(ids.count(next), 0u);
}

TEST(ConnectNoPostgre, ManyProcessesNeverShareANumberOrAnId) {
  v7test::PgSite pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  pg.db.Execute("drop table connectinfo");
  pg.db.Execute(kConnectInfoWithoutKey);
  pg.Site();
  UserName.clear();
  v7test::TempDir out;
  ManyProcesses run(v7test::PgSite::kProject, out);
  for (const auto& [cno, counter] : run.highestCounter)
    EXPECT_GT(std::stoll(pg.Scalar("select lastnumber from connectinfo where connectno = " +
                                   std::to_string(cno))),
              counter)
        << "number " << cno;
  EXPECT_EQ(pg.Scalar("select count(*) - count(distinct connectno) from connectinfo"), "0");
  EXPECT_LE(std::stoi(pg.Scalar("select count(*) from connectinfo where active = 'T'")),
            ManyProcesses::kMayHold);
}

// A commit that the server refuses (a deferred check fails) ends the transaction without
// it: the ids it took are issued again and the number goes back.
TEST(ConnectNoPostgre, ACommitTheServerRefusedTakesTheCounterBack) {
  v7test::PgSite pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  pg.db.Execute("create table once (n integer unique deferrable initially deferred)");
  UserName.clear();
  auto mgr = pg.Site().NewManager();
  ASSERT_TRUE(mgr->Connect(v7test::PgSite::kProject)) << mgr->ErrorText;
  const std::string name = mgr->Current->Name;
  mgr->StartTransaction(name);
  EXPECT_EQ(NextId(*mgr), "70001000000000");
  auto q = mgr->NewQuery();
  q->GetSQL().SetText("insert into once values (1)");
  q->ExecSQL();
  q->ExecSQL();
  EXPECT_THROW(mgr->Commit(name), EDatabaseError);
  EXPECT_EQ(NextId(*mgr), "70001000000000");
  mgr.reset();
  EXPECT_EQ(pg.Scalar("select active || lastnumber from connectinfo"), "F1");
}
