// Connection numbers and record ids on a real SQLite site file, including many processes
// sharing the file, some of them killed while they hold a number.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "SiteDb.h"
#include "TestSupport.h"
#include "uDBManager.h"
#include "uGeneralFunctions.h"

using namespace v7;

namespace {

std::string IdText(long double id) { return TDBManager::RecordIdToStr(id); }

class ConnectNo : public ::testing::Test {
 protected:
  void SetUp() override { UserName.clear(); }
  std::string Row(int cno, const std::string& column) {
    return site_.Scalar("select " + column +
                        " from connectinfo where connectno = " + std::to_string(cno));
  }
  v7test::TempDir dir_;
  v7test::SiteDb site_{dir_.path()};
};

}  // namespace

TEST_F(ConnectNo, EmptyTableGivesNumberOneAndIdsOfTheExactForm) {
  auto mgr = site_.Connect();
  TProjectRecord& p = *mgr->Current;
  EXPECT_EQ(p.ConnectNo, 1);
  EXPECT_EQ(Row(1, "active"), "T");
  EXPECT_EQ(IdText(mgr->NewRecordId(p)), "70001000000000");
  EXPECT_EQ(IdText(mgr->NewRecordId(p)), "70001000000001");
  // The counter is saved after each id, with the time of the save.
  EXPECT_EQ(Row(1, "lastnumber"), "2");
  EXPECT_EQ(site_.Scalar("select count(*) from connectinfo where now() - lastupdated < 0.001"),
            "1");
  EXPECT_EQ(site_.Scalar("select count(*) from sqlite_master where name = 'connecttemp'"), "0");

  // A second client at the same time gets the next number.
  auto other = site_.Connect();
  EXPECT_EQ(other->Current->ConnectNo, 2);
  EXPECT_EQ(IdText(other->NewRecordId(*other->Current)), "70002000000000");
}

TEST_F(ConnectNo, ReleasedAndStaleNumbersAreTakenAgainWithTheirCounters) {
  {
    auto mgr = site_.Connect();
    for (int i = 0; i < 5; ++i) mgr->NewRecordId(*mgr->Current);
  }
  EXPECT_EQ(Row(1, "active"), "F");
  {
    auto again = site_.Connect();
    EXPECT_EQ(again->Current->ConnectNo, 1);
    EXPECT_EQ(IdText(again->NewRecordId(*again->Current)), "70001000000005");

    // Number 2 is held by a client that died two days ago, number 3 by a live one.
    site_.Exec(
        "insert into connectinfo values (2, 400, format('01/01/2020', 'dd/mm/yyyy hh:nn:ss'), "
        "'T')");
    site_.Exec("insert into connectinfo values (3, 900, now() - 0.9, 'T')");
    auto taker = site_.Connect();
    EXPECT_EQ(taker->Current->ConnectNo, 2);
    EXPECT_EQ(IdText(taker->NewRecordId(*taker->Current)), "70002000000400");
    auto next = site_.Connect();
    EXPECT_EQ(next->Current->ConnectNo, 4);
  }

  // A stored counter past nine digits starts again at 0.
  site_.Exec("update connectinfo set lastnumber = 1000000000, active = 'T' where connectno <> 4");
  site_.Exec("update connectinfo set lastnumber = 1000000000 where connectno = 4");
  auto mgr = site_.Connect();
  EXPECT_EQ(mgr->Current->ConnectNo, 4);
  EXPECT_EQ(IdText(mgr->NewRecordId(*mgr->Current)), "70004000000000");
}

TEST_F(ConnectNo, IdsGrowAWholeDigitAndNeverLoseOne) {
  auto mgr = site_.Connect();
  TProjectRecord& p = *mgr->Current;
  p.LastNumber = 999999999;
  EXPECT_EQ(IdText(mgr->NewRecordId(p)), "70001999999999");
  EXPECT_EQ(IdText(mgr->NewRecordId(p)), "700011000000000");
  // Sites with more digits keep their ids exact.
  p.SiteNo = 12345;
  p.LastNumber = 123456789;
  EXPECT_EQ(IdText(mgr->NewRecordId(p)),
            "1234500011234567"
            "89");
  p.SiteNo = 2147483647;
  EXPECT_THROW(mgr->NewRecordId(p), EDatabaseError);
}

TEST_F(ConnectNo, ExhaustedRangeAndHeldGateFailTheConnect) {
  site_.Exec("insert into connectinfo values (9999, 0, now(), 'T')");
  auto full = site_.NewManager();
  EXPECT_FALSE(full->Connect("site"));
  EXPECT_EQ(full->ErrorText, "Connections exhausted");
  EXPECT_EQ(site_.Scalar("select count(*) from connectinfo"), "1");
  EXPECT_EQ(site_.Scalar("select count(*) from sqlite_master where name = 'connecttemp'"), "0");
  full.reset();
  EXPECT_EQ(Row(9999, "active"), "T");  // not ours: left as it was

  site_.Exec("update connectinfo set active = 'F'");
  site_.Exec("create table connecttemp (connecttempid integer)");
  auto blocked = site_.NewManager();
  EXPECT_FALSE(blocked->Connect("site"));
  EXPECT_EQ(blocked->ErrorText, "Failed in Gateclose");
  EXPECT_EQ(site_.MessageBoxes, std::vector<std::string>{"Unable to connect in GateClose."});
  EXPECT_EQ(Row(9999, "active"), "F");
}

TEST_F(ConnectNo, AFailedTakeLeavesNeitherLockTableNorTransaction) {
  // A CONNECTINFO without its counter column fails in the middle of taking a number.
  site_.Exec("drop table connectinfo");
  site_.Exec("create table connectinfo (connectno integer, lastupdated date, active varchar(1))");
  site_.Exec("insert into connectinfo values (1, now() - 3, 'T')");
  auto mgr = site_.NewManager();
  EXPECT_FALSE(mgr->Connect("site"));
  EXPECT_EQ(mgr->ErrorText, "Field 'lastnumber' not found");
  EXPECT_FALSE(mgr->Current->Connection->InTransaction());
  EXPECT_EQ(site_.Scalar("select count(*) from sqlite_master where name = 'connecttemp'"), "0");
}

TEST_F(ConnectNo, ANumberTakenOverIsAnInvalidConnectionOnServerKinds) {
  auto mgr = site_.Connect();
  TProjectRecord& p = *mgr->Current;
  mgr->NewRecordId(p);
  // On a server kind the save first checks that the row was touched within a day.
  p.DbType = "postgre";
  mgr->NewRecordId(p);
  site_.Exec("update connectinfo set lastupdated = now() - 1.5");
  try {
    mgr->NewRecordId(p);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Invalid connection");
  }
  EXPECT_EQ(Row(1, "lastnumber"), "2");
  p.DbType = "access";
}

TEST_F(ConnectNo, ReleaseWithADroppedConnectionChangesNothing) {
  auto mgr = site_.Connect();
  mgr->DisconnectProject("site");
  EXPECT_EQ(mgr->Current->Connection, nullptr);
  mgr->ReleaseConnectNo();
  mgr.reset();
  EXPECT_EQ(Row(1, "active"), "T");
}

// ---------------------------------------------------------------- many processes

namespace {

long long MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WriteLine(int fd, const std::string& line) {
  std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) < 0) _exit(3);
}

// One client process: connects, issues ids and disconnects, round after round. A worker
// with no end issues ids until it is killed. Each line is written before the next step, so
// what a killed worker wrote is on disk.
[[noreturn]] void RunWorker(const std::string& outFile, int rounds, int idsPerRound) {
  int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) _exit(2);
  for (int r = 0; r < rounds; ++r) {
    auto mgr = std::make_unique<TDBManager>();
    if (!mgr->Connect("site") || !mgr->ErrorText.empty()) {
      WriteLine(fd, "E " + mgr->ErrorText);
      _exit(1);
    }
    int cno = mgr->Current->ConnectNo;
    WriteLine(fd, "C " + std::to_string(cno) + " " + std::to_string(MonotonicNs()));
    for (int i = 0; idsPerRound < 0 || i < idsPerRound; ++i) {
      try {
        WriteLine(fd, "I " + TDBManager::RecordIdToStr(mgr->NewRecordId(*mgr->Current)));
      } catch (const std::exception& e) {
        WriteLine(fd, std::string("E ") + e.what());
        _exit(1);
      }
    }
    WriteLine(fd, "R " + std::to_string(cno) + " " + std::to_string(MonotonicNs()));
  }
  close(fd);
  _exit(0);
}

struct Holding {
  int cno;
  long long from, to;  // to: never released when the worker was killed
  int worker;
};

}  // namespace

TEST_F(ConnectNo, ManyProcessesNeverShareANumberOrAnId) {
  constexpr int kWorkers = 10;
  constexpr int kKilled = 3;       // workers 0..2 issue ids until they are killed
  constexpr int kKilledEarly = 2;  // workers 3..4 are killed at any moment of their rounds
  constexpr int kRounds = 3;
  constexpr int kIds = 40;
  const unsigned seed = static_cast<unsigned>(MonotonicNs());
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));

  std::vector<pid_t> pids;
  std::vector<std::string> files;
  for (int w = 0; w < kWorkers; ++w) {
    files.push_back(dir_.file("worker" + std::to_string(w) + ".txt"));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) RunWorker(files.back(), w < kKilled ? 1 : kRounds, w < kKilled ? -1 : kIds);
    pids.push_back(pid);
  }

  auto idsWritten = [&](int w) {
    std::string text;
    try {
      text = v7test::ReadFile(files[w]);
    } catch (const std::exception&) {
      return 0;
    }
    int n = 0;
    for (size_t p = text.find("\nI "); p != std::string::npos; p = text.find("\nI ", p + 1)) ++n;
    return n;
  };
  // Each endless worker is killed, without releasing, once it has issued some ids.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // The others die wherever they are: taking a number, issuing ids or giving it back.
  for (int w = kKilled; w < kKilled + kKilledEarly; ++w) {
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
    kill(pids[w], SIGKILL);
  }
  for (int w = 0; w < kKilled; ++w) {
    while (idsWritten(w) < 10 + 10 * w && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    kill(pids[w], SIGKILL);
  }
  for (int w = 0; w < kWorkers; ++w) {
    int status = 0;
    waitpid(pids[w], &status, 0);
    if (w >= kKilled + kKilledEarly) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << "worker " << w << ": " << v7test::ReadFile(files[w]);
    }
  }

  std::set<std::string> ids;
  std::vector<Holding> holdings;
  std::map<int, long long> highestCounter;
  size_t issued = 0;
  for (int w = 0; w < kWorkers; ++w) {
    if (!std::filesystem::exists(files[w])) continue;  // killed before it began
    std::istringstream in(v7test::ReadFile(files[w]));
    std::string tag;
    int cno = -1;
    while (in >> tag) {
      if (tag == "C") {
        long long t;
        in >> cno >> t;
        holdings.push_back({cno, t, LLONG_MAX, w});
      } else if (tag == "R") {
        int released;
        long long t;
        in >> released >> t;
        holdings.back().to = t;
      } else if (tag == "I") {
        std::string id;
        in >> id;
        ++issued;
        EXPECT_TRUE(ids.insert(id).second) << "id issued twice: " << id;
        ASSERT_EQ(id.size(), 14u) << id;
        EXPECT_EQ(id.substr(0, 5), "7" + PadLeft(std::to_string(cno), 4, '0'));
        long long counter = std::stoll(id.substr(5));
        highestCounter[cno] = std::max(highestCounter[cno], counter);
      } else {
        std::string rest;
        std::getline(in, rest);
        ADD_FAILURE() << "worker " << w << ": " << tag << rest;
      }
    }
  }
  EXPECT_GE(issued, static_cast<size_t>((kWorkers - kKilled - kKilledEarly) * kRounds * kIds + 60));
  for (size_t a = 0; a < holdings.size(); ++a)
    for (size_t b = a + 1; b < holdings.size(); ++b)
      if (holdings[a].cno == holdings[b].cno) {
        bool apart = holdings[a].to < holdings[b].from || holdings[b].to < holdings[a].from;
        EXPECT_TRUE(apart) << "number " << holdings[a].cno << " held at once by workers "
                           << holdings[a].worker << " and " << holdings[b].worker;
      }
  for (const auto& [cno, counter] : highestCounter)
    EXPECT_GT(std::stoll(Row(cno, "lastnumber")), counter) << "number " << cno;
  EXPECT_EQ(site_.Scalar("select count(*) from sqlite_master where name = 'connecttemp'"), "0");

  // The killed workers' numbers stay taken; once one is more than a day old, the next
  // client takes it over and goes on after the last id it issued.
  int dead = holdings.front().cno;  // worker 0 was killed holding it
  ASSERT_EQ(holdings.front().worker, 0);
  EXPECT_EQ(Row(dead, "active"), "T");
  site_.Exec("update connectinfo set active = 'T', lastupdated = now()");
  site_.Exec("update connectinfo set lastupdated = now() - 1.01 where connectno = " +
             std::to_string(dead));
  auto mgr = site_.Connect();
  ASSERT_EQ(mgr->Current->ConnectNo, dead);
  std::string next = IdText(mgr->NewRecordId(*mgr->Current));
  EXPECT_GT(std::stoll(next.substr(5)), highestCounter[dead]);
  EXPECT_EQ(ids.count(next), 0u);
}
