// The client's start-up and cycle, driven through a view that records what it is asked to
// show, with real settings files, a real SOAP server, a real SQLite site and a closed FTP port.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PacketFixtures.h"
#include "RecordingPane.h"
#include "SiteDb.h"
#include "TestSupport.h"
#include "uConsoleView.h"
#include "uCurl.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uWorkFolderLock.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using v7::TfmV7Client;

// Records every request of the client, in order, as "kind:text".
class RecordingView : public v7::ClientView, public v7test::RecordingPane {
 public:
  v7::TMessagePane& Msgs() override { return *this; }
  void AddLine(const std::string& line) override {
    RecordingPane::AddLine(line);
    events.push_back("line:" + line);
  }
  void SetStatus(const std::string& text) override {
    events.push_back("status:" + text);
    if (onStatus) onStatus(text);
  }
  std::string StartCaption() const override { return caption; }
  void SetStartCaption(const std::string& text) override { caption = text; }
  void ShowTestButton() override { testButton = true; }
  std::string TestDbText() const override { return ""; }
  void ShowMessage(const std::string& text) override { boxes.push_back(text); }
  void SetTimerInterval(int ms) override { interval = ms; }
  void SetTimerEnabled(bool enabled) override { timerEnabled = enabled; }
  int Run() override { return 0; }
  void Quit() override {}

  // The texts of one kind of event, in order.
  Lines Of(const std::string& kind) const {
    Lines out;
    for (const auto& e : events)
      if (e.rfind(kind + ":", 0) == 0) out.push_back(e.substr(kind.size() + 1));
    return out;
  }
  int IndexOf(const std::string& event) const {
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i] == event) return static_cast<int>(i);
    return -1;
  }

  Lines events, boxes;
  std::string caption = "Start";
  bool testButton = false;
  int interval = 5000;
  bool timerEnabled = false;
  std::function<void(const std::string&)> onStatus;
};

// Each test runs in its own working folder (settings, trace, transit folders) and
// configuration folder (no projects), with an FTP account on a port where nothing listens.
class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    v7::SetConfigFolder(dir_.path());
    v7::SiteNo = 0;
    ftp_ = "127.0.0.1:" + std::to_string(v7test::FreePort()) + ",site,secret";
  }
  void TearDown() override { v7::SetConfigFolder(""); }
  void Settings(const std::string& lines) { v7test::WriteFile(dir_.file("v7rm.ini"), lines); }
  void StandardSettings(const std::string& xtype) {
    Settings("clientlogin=site\nftp=" + ftp_ + "\ntalkinterval=60000\nxtype=" + xtype + "\n");
  }
  // The SOAP stand-in on a free port, answering as `mode` says; url is the setting's line.
  std::unique_ptr<v7test::ServerProcess> Service(const std::string& mode, const std::string& reply,
                                                 std::string& url) {
    int port = v7test::FreePort();
    url = "url=http://127.0.0.1:" + std::to_string(port) + "/soap\n";
    std::vector<std::string> argv = {v7test::SystemPython(),
                                     v7test::FixturesDir() + "/soap_server.py",
                                     std::to_string(port), dir_.file("requests.log"), mode};
    if (!reply.empty()) argv.push_back(reply);
    auto server = std::make_unique<v7test::ServerProcess>(argv, port);
    EXPECT_TRUE(server->running());
    return server;
  }

  v7test::TempDir dir_;
  v7test::WorkingFolder cwd_{dir_.path()};
  std::string ftp_;
  RecordingView view_;
};

TEST_F(Client, StartUpRunsTheFirstCycleAtOnceThenEnablesTheTimer) {
  StandardSettings("");
  TfmV7Client client(view_);
  bool timerWasOnDuringCycle = false;
  view_.onStatus = [&](const std::string&) { timerWasOnDuringCycle |= view_.timerEnabled; };
  view_.OnShow();

  EXPECT_TRUE(view_.boxes.empty()) << view_.boxes.front();
  EXPECT_FALSE(timerWasOnDuringCycle);
  EXPECT_TRUE(view_.timerEnabled);
  EXPECT_EQ(view_.interval, 60000);
  EXPECT_EQ(view_.caption, "Stop");

  // Stop, then Start again: the cycle runs before the timer is back on.
  view_.OnStartClick();
  EXPECT_EQ(view_.caption, "Start");
  EXPECT_FALSE(view_.timerEnabled);
  view_.OnStartClick();
  EXPECT_EQ(view_.caption, "Stop");
  EXPECT_TRUE(view_.timerEnabled);
  EXPECT_FALSE(timerWasOnDuringCycle);
  EXPECT_EQ(view_.Of("status").size(), 6u);
}

// A site database whose control table holds no row does not know its site: every step that
// opens the project fails naming the table and the database file, before anything is sent,
// listed or run as another site's; a row with an empty siteno is site 1.
TEST_F(Client, ControlTableWithoutItsRowFailsEveryStepNamingIt) {
  v7test::SiteDb site(dir_.path());
  site.Exec("delete from control");
  StandardSettings("both");
  TfmV7Client client(view_);
  view_.OnShow();
  const std::string missing = "the database file " + site.DbFile() +
                              ": The table control of the site database holds no row";
  int named = 0;
  for (const std::string& line : view_.Of("line")) {
    if (line == "Receiving patches") break;  // which lists on the FTP server first: none here
    named += line.find(missing) != std::string::npos;
    EXPECT_EQ(line.find("FTP"), std::string::npos) << line;
  }
  EXPECT_EQ(named, 2);  // the send and receive steps
  EXPECT_EQ(client.Failures(), 3);
  EXPECT_EQ(v7::SiteNo, 0);

  site.Exec("insert into control (siteno, companyname) values (null, 'Unnumbered')");
  view_.OnTimer();
  EXPECT_EQ(v7::SiteNo, 1);
}

// A full disk at start-up: the trace goes off, said once with its real cause, and the client
// runs on with its timer, in the window as in the console.
TEST_F(Client, ATraceThatCannotBeWrittenNeverStopsTheClient) {
  Settings("clientlogin=site\nftp=" + ftp_ + "\ntalkinterval=60000\ntrace=tofile,cumulate\n");
  fs::create_symlink("/dev/full", dir_.file("trace.txt"));
  TfmV7Client client(view_);
  view_.OnShow();
  EXPECT_TRUE(view_.boxes.empty()) << view_.boxes.front();
  EXPECT_TRUE(view_.timerEnabled);
  EXPECT_EQ(view_.caption, "Stop");
  EXPECT_EQ(view_.Of("status").back(), "Idle");
  view_.OnTimer();
  const Lines lines = view_.Of("line");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.starts_with("The trace is off: ") &&
                                   line.ends_with("trace.txt: No space left on device");
                          }),
            1);
  EXPECT_TRUE(view_.boxes.empty()) << view_.boxes.front();
}

TEST_F(Client, StepsOfTheCycleFollowXTypeAndPatchesAlwaysRun) {
  struct Case {
    std::string xtype;
    Lines statuses, steps;
  };
  const std::vector<Case> cases = {
      {"", {"Sending...", "Receiving...", "Idle"}, {"Sending", "Receiving", "Receiving patches"}},
      {"Send", {"Sending...", "Idle"}, {"Sending", "Receiving patches"}},
      {"RECEIVE", {"Receiving...", "Idle"}, {"Receiving", "Receiving patches"}},
      {"none", {"Idle"}, {"Receiving patches"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("xtype=" + c.xtype);
    RecordingView view;
    StandardSettings(c.xtype);
    TfmV7Client client(view);
    view.OnShow();
    EXPECT_EQ(view.Of("status"), c.statuses);
    Lines steps;  // the first line of each step
    for (const auto& line : view.lines)
      if (line == "Sending" || line == "Receiving" || line == "Receiving patches")
        steps.push_back(line);
    EXPECT_EQ(steps, c.steps);
    EXPECT_LT(view.IndexOf("line:Receiving patches"), view.IndexOf("status:Idle"));
  }
}

TEST_F(Client, TickDuringACycleDoesNothingAndBusyClearsHoweverTheCycleEnds) {
  StandardSettings("send");
  TfmV7Client client(view_);
  int cyclesEnded = 0;
  client.OnCycleEnd = [&] { ++cyclesEnded; };
  int nested = 0;
  view_.onStatus = [&](const std::string& status) {
    if (status == "Sending..." && nested++ == 0) {
      EXPECT_TRUE(client.Busy());
      view_.OnTimer();  // dispatched while the cycle runs, as under a message box
    }
  };
  view_.OnShow();
  EXPECT_EQ(view_.Of("status"), (Lines{"Sending...", "Idle"}));
  EXPECT_EQ(cyclesEnded, 1);

  // A cycle that raises shows the message and leaves the flag clear for the next tick.
  view_.onStatus = [](const std::string& status) {
    if (status == "Sending...") throw std::runtime_error("pane gone");
  };
  view_.OnTimer();
  EXPECT_EQ(view_.boxes, Lines{"pane gone"});
  EXPECT_FALSE(client.Busy());
  view_.onStatus = nullptr;
  view_.OnTimer();
  EXPECT_EQ(view_.Of("status").back(), "Idle");
  EXPECT_EQ(cyclesEnded, 3);
}

TEST_F(Client, PaneIsClearedOnlyWhenItHoldsExactlyOneHundredLines) {
  TfmV7Client client(view_);
  for (int i = 1; i <= 100; ++i) client.ShowMsg("line " + std::to_string(i));
  EXPECT_EQ(view_.clears, 0);
  client.ShowMsg("line 101");
  client.ShowMsg("line 102");
  EXPECT_EQ(view_.clears, 1);
  EXPECT_EQ(view_.lines, (Lines{"line 101", "line 102"}));

  // The trace writer shares the pane: once past 100 lines the pane is left to it.
  while (view_.LineCount() < 150) view_.AddLine("trace");
  client.ShowMsg("after trace");
  EXPECT_EQ(view_.clears, 1);
  EXPECT_EQ(view_.LineCount(), 151);
}

TEST_F(Client, StartUpFailureShowsTheMessageAndStartStillRunsCycles) {
  struct Case {
    std::string name, settings, mode, reply;
    std::string message;  // the start of the message box's text
  };
  std::string closedUrl = "url=http://127.0.0.1:" + std::to_string(v7test::FreePort()) + "/\n";
  const std::vector<Case> cases = {
      {"service unreachable", closedUrl, "", "",
       "The service call GetFTPProps at start-up failed: Call of GetFTPProps at "
       "http://127.0.0.1:"},
      {"reply not XML", "", "notxml", "", "The service's reply to GetFTPProps is not XML"},
      {"reply is an error", "", "echo", "Error: site 0 unknown", "Error: site 0 unknown"},
      // Without an account the message names what is missing and where it was looked for.
      {"no account", "", "", "",
       "No FTP account: neither \"ftp\" nor \"url\" is set in " + dir_.file("v7rm.ini")},
      {"account without host", "ftp=,site,secret\n", "", "",
       "No FTP server: the FTP account (setting \"ftp\" or the service's answer) names no host"},
      {"transit is a file", "ftp=" + ftp_ + "\n", "", "", "filesystem error: cannot create"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string url;
    auto server = c.mode.empty() ? nullptr : Service(c.mode, c.reply, url);
    fs::remove_all("transit");
    const bool transitIsAFile = c.name == "transit is a file";
    if (transitIsAFile) v7test::WriteFile("transit", "");
    Settings("clientlogin=site\nxtype=none\ntalkinterval=60000\n" + url + c.settings);
    RecordingView view;
    TfmV7Client client(view);
    view.OnShow();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_NE(view.boxes[0].find(c.message), std::string::npos) << view.boxes[0];
    EXPECT_EQ(view.caption, "Start");
    EXPECT_FALSE(view.timerEnabled);
    EXPECT_TRUE(view.Of("status").empty());
    // The cycles that Start runs keep the configured pace.
    EXPECT_EQ(view.interval, 60000);
    // The folders a failed packet is kept in exist before the first cycle.
    EXPECT_EQ(fs::is_directory("transit/receive/log"), !transitIsAFile);

    view.OnStartClick();
    EXPECT_EQ(view.caption, "Stop");
    EXPECT_TRUE(view.timerEnabled);
    EXPECT_EQ(view.Of("status").back(), "Idle");
    EXPECT_EQ(view.boxes.size(), 1u);
    // The cycle names what ended start-up, and what to do, not the FTP account.
    const bool serviceFailed = !c.mode.empty() || c.settings.find("url=") != std::string::npos;
    const std::string named =
        serviceFailed    ? "FTP: no server to connect to: the service call at start-up failed ("
        : transitIsAFile ? view.boxes[0]
                         : "FTP: no server to connect to: start-up failed (" + view.boxes[0] +
                               "); restart the client once that is mended";
    const std::string ending = serviceFailed ? "restart the client once the service answers" : "";
    const Lines lines = view.Of("line");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) {
                              return line.rfind(named, 0) == 0 && line.ends_with(ending);
                            }),
              1)
        << named;
    fs::remove_all("transit");
  }
  // The steps that need the project say which setting names it.
  Settings("ftp=" + ftp_ + "\n");
  RecordingView view;
  TfmV7Client client(view);
  view.OnShow();
  const Lines lines = view.Of("line");
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "No project to open: \"clientlogin\" is not set in " + dir_.file("v7rm.ini")),
            lines.end());
}

// An interval that is no number does not stop start-up: it is named in one warning, and the
// default stands rather than the timer's own few seconds.
TEST_F(Client, TalkIntervalIsTheNumberWithinBlanksElseTheDefaultWithAWarning) {
  const struct {
    std::string text;
    int interval;
    bool warned;
  } cases[] = {{"60000", 60000, false},       {" 1000", 1000, false},   {"300000 ", 300000, false},
               {"\t2000\t", 2000, false},     {"", 300000, false},      {"5 min", 300000, true},
               {"0", 300000, true},           {"-5", 300000, true},     {"1e3", 300000, true},
               {"99999999999", 300000, true}, {"abc", 300000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("talkinterval=" + c.text);
    Settings("clientlogin=site\nxtype=none\nftp=" + ftp_ + "\ntalkinterval=" + c.text + "\n");
    RecordingView view;
    TfmV7Client client(view);
    view.OnShow();
    EXPECT_TRUE(view.boxes.empty()) << view.boxes.front();
    EXPECT_EQ(view.interval, c.interval);
    EXPECT_TRUE(view.timerEnabled);
    const Lines lines = view.Of("line");
    const std::string warning = "Warning: setting talkinterval \"" + c.text + "\" in " +
                                dir_.file("v7rm.ini") +
                                " is not a whole number of milliseconds above 0: the client "
                                "cycles every 300000 ms (the default)";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), c.warned ? 1 : 0);
  }
}

// The lock file is the client's own: a link planted in its place is refused, never followed,
// so the file it points at keeps its bytes.
TEST_F(Client, WorkFolderLockIsHeldOnceAndNeverThroughALink) {
  v7test::TempDir outside;
  const std::string pid = std::to_string(getpid());
  for (const std::string& target : {std::string(), outside.file("victim"), outside.file("none")}) {
    SCOPED_TRACE(target);
    v7test::WriteFile(outside.file("victim"), "victim bytes");
    fs::remove("v7client.lock");
    if (!target.empty()) fs::create_symlink(target, "v7client.lock");
    std::string refusal;
    try {
      v7::TWorkFolderLock lock;
      EXPECT_EQ(v7test::ReadFile("v7client.lock"), pid + "\n");
      v7::TWorkFolderLock second;
    } catch (const v7::EInOutError& e) {
      refusal = e.what();
    }
    EXPECT_NE(refusal.find(target.empty() ? "in use by another client (process " + pid + ")"
                                          : "v7client.lock is a symbolic link"),
              std::string::npos)
        << refusal;
    EXPECT_EQ(v7test::ReadFile(outside.file("victim")), "victim bytes");
    EXPECT_FALSE(fs::exists(outside.file("none")));
  }
}

TEST_F(Client, FtpAccountComesFromTheSettingOrElseFromTheService) {
  std::string url;
  auto server = Service("echo", "ftp.site,user01,pw01", url);
  const std::string log = dir_.file("requests.log");
  {
    Settings(url + "xtype=none\ntrace=tofile\n");
    RecordingView view;
    TfmV7Client client(view);
    view.OnShow();
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(client.Ftp().Host, "ftp.site");
    EXPECT_EQ(client.Ftp().Username, "user01");
    EXPECT_EQ(client.Ftp().Password, "pw01");
    std::string requests = v7test::ReadFile(log);
    EXPECT_NE(requests.find("\"method\": \"GetFTPProps\", \"part\": \"s\", \"value\": \"0\""),
              std::string::npos)
        << requests;
    EXPECT_LT(view.IndexOf("line:Getting FTP details"), view.IndexOf("line:FTP at ftp.site"));
  }
  {
    // A setting is taken as it stands, even one that reads like an error of the service.
    fs::remove(log);
    Settings(url + "xtype=none\nftp=Error,u,p\n");
    RecordingView view;
    TfmV7Client client(view);
    view.OnShow();
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(client.Ftp().Host, "Error");
    EXPECT_EQ(client.Ftp().Password, "p");
    EXPECT_FALSE(fs::exists(log));

    // The hidden database test asks the service at the URL the settings hold now.
    Settings(url.substr(0, url.size() - 1) + "/other\n");
    view.OnTestDbClick();
    EXPECT_EQ(view.boxes, Lines{"ftp.site,user01,pw01"});
    std::string requests = v7test::ReadFile(log);
    EXPECT_NE(requests.find("\"path\": \"/soap/other\", \"method\": \"CheckDb\""),
              std::string::npos)
        << requests;
  }
}

TEST_F(Client, TestModeStartsNothingAndReplaysQueuedPacketsIntoTheClientProject) {
  v7test::TempDir config;
  v7test::SiteDb site(config.path(), "source");
  site.ApplyScript("sample_product.sql");
  site.AddProject("site", "Project=source\nDbType=access\nDriver=ado\n");
  site.Exec("create table v7pkt (name varchar(40), pkt blob, siteno integer, pktdate date)");
  const std::string xml = v7test::SamplePacket("items_table.xml");
  std::string hex;
  for (unsigned char c : v7test::PacketBytes(xml)) {
    hex += "0123456789ABCDEF"[c >> 4];
    hex += "0123456789ABCDEF"[c & 15];
  }
  site.Exec("insert into v7pkt (name, pkt, siteno) values ('p1', X'" + hex + "', 3)");
  Settings("testlogin=nosuchproject\nclientlogin=site\nftp=" + ftp_ + "\n");

  TfmV7Client client(view_);
  view_.OnShow();
  EXPECT_TRUE(view_.testButton);
  EXPECT_EQ(client.Trace(), nullptr);
  EXPECT_EQ(client.Ftp().Host, "");
  EXPECT_FALSE(view_.timerEnabled);
  EXPECT_EQ(view_.caption, "Start");
  EXPECT_TRUE(view_.events.empty());
  EXPECT_FALSE(fs::exists("transit"));

  // A source project that cannot be opened: its message is shown.
  view_.OnTestClick();
  EXPECT_NE(client.Trace(), nullptr);
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_FALSE(view_.boxes[0].empty());

  Settings("testlogin=source\nclientlogin=site\n");
  view_.OnShow();
  view_.OnTestClick();
  EXPECT_EQ(view_.boxes.size(), 1u) << view_.boxes.back();
  EXPECT_EQ(site.Scalar("select itemname from item where itemid=250"), "Stapler O'Neil");
  EXPECT_EQ(site.Scalar("select count(*) from v7pkt"), "1");
  EXPECT_TRUE(view_.Of("status").empty());
  // The packets' working copies go; the queue stays.
  EXPECT_FALSE(fs::exists(dir_.file("p1.pkt")));
  EXPECT_FALSE(fs::exists(dir_.file("p1.xml")));

  // A packet that fails does not stop the replay, and is named once it is over, with the
  // trace off: the box is all there is.
  hex.clear();
  for (unsigned char c : v7test::PacketBytes(
           "<rows table=\"nosuch\"><row recordid=\"1\"><x type=\"c\">y</x></row></rows>")) {
    hex += "0123456789ABCDEF"[c >> 4];
    hex += "0123456789ABCDEF"[c & 15];
  }
  // A row whose bytes do not unpack is named too, and the rows after it are replayed.
  site.Exec("insert into v7pkt (name, pkt, siteno) values ('pb', X'0400000078', 3)");
  site.Exec("insert into v7pkt (name, pkt, siteno) values ('p0', X'" + hex + "', 3)");
  site.Exec("update item set itemname = 'x' where itemid = 250");
  view_.OnTestClick();
  ASSERT_EQ(view_.boxes.size(), 2u);
  EXPECT_EQ(view_.boxes[1].rfind("Replay of pb.pkt failed: ", 0), 0u) << view_.boxes[1];
  EXPECT_NE(view_.boxes[1].find("\nReplay of p0.xml failed: "), std::string::npos)
      << view_.boxes[1];
  EXPECT_NE(view_.boxes[1].find("nosuch"), std::string::npos) << view_.boxes[1];
  EXPECT_EQ(site.Scalar("select itemname from item where itemid=250"), "Stapler O'Neil");
  for (const char* file : {"p0.pkt", "p0.xml", "p1.pkt", "p1.xml", "pb.pkt", "pb.xml"})
    EXPECT_FALSE(fs::exists(dir_.file(file))) << file;

  // A row whose name is a path is named, and nothing is written outside the working folder.
  site.Exec("insert into v7pkt (name, pkt, siteno) values ('../p3', X'" + hex + "', 3)");
  view_.OnTestClick();
  ASSERT_EQ(view_.boxes.size(), 3u);
  EXPECT_NE(view_.boxes[2].find("The row \"../p3\" of v7pkt is not replayed: a file name may "
                                "not hold \"/\""),
            std::string::npos)
      << view_.boxes[2];
  EXPECT_FALSE(fs::exists(dir_.file("../p3.pkt")));

  // The site failing under a packet (the pages of its table damaged) names that packet, and
  // the replay goes on with the one after it.
  site.Exec("create table broken (brokenid integer, x varchar(10))");
  site.Exec("insert into broken values (1, 'a')");
  site.Exec("pragma wal_checkpoint(truncate)");
  const int page = std::stoi(site.Scalar("pragma page_size"));
  const int root =
      std::stoi(site.Scalar("select rootpage from sqlite_master where name = 'broken'"));
  {
    std::fstream file(site.DbFile(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(std::streamoff(root - 1) * page);
    file.write(std::string(64, '\xFF').data(), 64);
  }
  std::string broken;
  for (unsigned char c : v7test::PacketBytes(
           "<rows table=\"broken\"><row recordid=\"1\"><x type=\"c\">b</x></row></rows>")) {
    broken += "0123456789ABCDEF"[c >> 4];
    broken += "0123456789ABCDEF"[c & 15];
  }
  site.Exec("delete from v7pkt");
  site.Exec("insert into v7pkt (name, pkt, siteno) values ('p2', X'" + broken + "', 3)");
  site.Exec("insert into v7pkt (name, pkt, siteno) values ('p0', X'" + hex + "', 3)");
  view_.OnTestClick();
  ASSERT_EQ(view_.boxes.size(), 4u);
  EXPECT_EQ(view_.boxes[3].rfind("Replay of p2.xml failed: the database file " + site.DbFile() +
                                     ": database disk image is malformed\nReplay of p0.xml "
                                     "failed: ",
                                 0),
            0u)
      << view_.boxes[3];
}

// ---- The console view ----

TEST_F(Client, ConsoleRunsCyclesAfterAFailedStartUpAndReportsAFailedReplay) {
  {
    Settings("clientlogin=site\nxtype=none\nftp=,site,secret\n");
    std::ostringstream out, err;
    v7::ConsoleView view(out, err);
    TfmV7Client client(view);
    client.OnCycleEnd = [&] { view.Quit(); };
    EXPECT_EQ(view.Run(), 0);
    EXPECT_EQ(err.str(),
              "No FTP server: the FTP account (setting \"ftp\" or the service's answer) names no "
              "host\n");
    EXPECT_NE(out.str().find("Receiving patches\n"), std::string::npos) << out.str();
    EXPECT_EQ(view.StartCaption(), "Stop");
    EXPECT_EQ(client.Failures(), 2);  // the start-up, and the patch step without FTP server
  }
  {
    // As the program runs it: a step's error, and a warning, reach standard error too; the
    // pane keeps them as before.
    Settings("clientlogin=site\nxtype=recieve\nftp=" + ftp_ + "\ntalkinterval=60000\n");
    std::ostringstream out, err, problems;
    v7::ConsoleView view(out, err);
    view.ReportProblemsTo(problems);
    TfmV7Client client(view);
    client.OnCycleEnd = [&] { view.Quit(); };
    EXPECT_EQ(view.Run(), 0);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(client.Failures(), 1);
    const std::string reported = problems.str();
    EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 2) << reported;
    EXPECT_NE(reported.find("Warning: setting xtype \"recieve\""), std::string::npos);
    EXPECT_NE(reported.find("FTP connect to 127.0.0.1:"), std::string::npos) << reported;
    EXPECT_NE(out.str().find(reported.substr(reported.find("FTP connect"))), std::string::npos);
  }
  {
    // A settings file that cannot be read, or none at all, leaves nothing to run: status 1
    // with its message, and no cycle, nor transit/ in what may be the wrong folder.
    for (const std::string& bytes :
         {std::string("c\0l\0i\0e\0n\0t\0", 12), std::string("url=caf\xC3\xA9\n; ge\xE4ndert\n"),
          std::string()}) {
      fs::remove_all("transit");
      if (bytes.empty())
        fs::remove("v7rm.ini");
      else
        v7test::WriteFile("v7rm.ini", bytes);
      std::ostringstream out, err;
      v7::ConsoleView view(out, err);
      TfmV7Client client(view);
      EXPECT_EQ(view.Run(), 1);
      EXPECT_NE(err.str().find(bytes.empty() ? "No settings file: " + dir_.file("v7rm.ini") +
                                                   " does not exist"
                                             : "Cannot read the file " + dir_.file("v7rm.ini")),
                std::string::npos)
          << err.str();
      EXPECT_EQ(out.str().find("Status:"), std::string::npos) << out.str();
      EXPECT_FALSE(fs::exists("transit"));
    }
  }
  {
    // A stop (SIGHUP as any other) while start-up waits for a service that never answers
    // ends the wait: no cycle runs, and the run ends as stopped.
    std::string url;
    auto server = Service("hang", "", url);
    Settings("clientlogin=site\nxtype=none\n" + url);
    std::ostringstream out, err;
    v7::ConsoleView view(out, err);
    TfmV7Client client(view);
    std::thread stopper([&] {
      for (int i = 0; i < 6000 && !fs::exists(dir_.file("requests.log")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      kill(getpid(), SIGHUP);
    });
    EXPECT_EQ(view.Run(), 0);
    stopper.join();
    signal(SIGHUP, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    v7::ClearStop();  // the stop of this run is no stop of the tests after it
    EXPECT_NE(err.str().find("Start-up stopped: Call of GetFTPProps"), std::string::npos)
        << err.str();
    EXPECT_EQ(out.str().find("Status:"), std::string::npos) << out.str();
  }
  {
    Settings("testlogin=nosuchproject\nclientlogin=site\n");
    std::ostringstream out, err;
    v7::ConsoleView view(out, err);
    TfmV7Client client(view);
    EXPECT_EQ(view.Run(), 1);
    EXPECT_FALSE(err.str().empty());
    EXPECT_EQ(out.str().find("Status:"), std::string::npos) << out.str();
  }
}

TEST(ConsoleView, StopSignalEndsTheLoopOnlyAfterTheRunningCycle) {
  std::ostringstream out, err;
  v7::ConsoleView view(out, err);
  int ticks = 0;
  view.OnShow = [&] {
    view.SetTimerInterval(10);
    view.SetTimerEnabled(true);
  };
  view.OnTimer = [&] {
    if (++ticks == 2) {
      kill(getpid(), SIGTERM);
      view.Msgs().AddLine("cycle\r\nfinished");
    }
  };
  EXPECT_EQ(view.Run(), 0);
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(view.Msgs().LineCount(), 2);
  EXPECT_EQ(out.str(), "cycle\nfinished\n");
  // Once a stop is taken, the next ones (`timeout` signals the process group too) wait for
  // the exit: this process lives on.
  kill(getpid(), SIGTERM);
  kill(getpid(), SIGINT);
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  v7::ClearStop();

  // A problem is one line on standard error, however many lines its text holds; the pane
  // keeps them.
  std::ostringstream problems;
  view.ReportProblemsTo(problems);
  view.ReportProblem("Packet p.pkt failed: voucherno = 12\r\ndate = \r\nDate is required\r\n; it was "
                     "kept in transit/receive/log/");
  view.ReportProblem("Errors:\nnone\r");
  EXPECT_EQ(problems.str(),
            "Packet p.pkt failed: voucherno = 12; date =; Date is required; it was kept in "
            "transit/receive/log/\nErrors: none\n");
}

}  // namespace
