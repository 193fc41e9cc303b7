// The client's start-up and cycle, driven through a view that records what it is asked to
// show, with real settings files, a real SOAP server and a real (closed) FTP port.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "PacketFixtures.h"
#include "SiteDb.h"
#include "TestSupport.h"
#include "uConsoleView.h"
#include "uGeneralFunctions.h"
#include "uMain.h"

namespace {

using v7::TfmV7Client;

class RecordingPane : public v7::TMessagePane {
 public:
  explicit RecordingPane(std::vector<std::string>& events) : events_(events) {}
  void AddLine(const std::string& line) override {
    lines.push_back(line);
    events_.push_back("line:" + line);
  }
  int LineCount() const override { return static_cast<int>(lines.size()); }
  void Clear() override {
    lines.clear();
    ++clears;
  }
  void Repaint() override { ++repaints; }

  std::vector<std::string> lines;
  int clears = 0;
  int repaints = 0;

 private:
  std::vector<std::string>& events_;
};

// Records every request of the client, in order, as "kind:text".
class RecordingView : public v7::ClientView {
 public:
  v7::TMessagePane& Msgs() override { return pane; }
  void SetStatus(const std::string& text) override {
    status = text;
    events.push_back("status:" + text);
    if (onStatus) onStatus(text);
  }
  std::string StartCaption() const override { return caption; }
  void SetStartCaption(const std::string& text) override { caption = text; }
  void ShowTestButton() override { testButton = true; }
  std::string TestDbText() const override { return ""; }
  void ShowMessage(const std::string& text) override {
    boxes.push_back(text);
    events.push_back("box:" + text);
  }
  void SetTimerInterval(int ms) override { interval = ms; }
  void SetTimerEnabled(bool enabled) override { timerEnabled = enabled; }
  int Run() override { return 0; }
  void Quit() override {}

  // Only the events of one kind, without their kind.
  std::vector<std::string> Of(const std::string& kind) const {
    std::vector<std::string> out;
    for (const auto& e : events) {
      if (e.rfind(kind + ":", 0) == 0) out.push_back(e.substr(kind.size() + 1));
    }
    return out;
  }
  // The index of the first event equal to text, or -1.
  int IndexOf(const std::string& text) const {
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i] == text) return static_cast<int>(i);
    }
    return -1;
  }

  std::vector<std::string> events;
  RecordingPane pane{events};
  std::vector<std::string> boxes;
  std::string status = "Idle";
  std::string caption = "Start";
  bool testButton = false;
  int interval = 5000;
  bool timerEnabled = false;
  std::function<void(const std::string&)> onStatus;
};

// Each test runs in its own working folder (settings, trace) and configuration folder (no
// projects), with an FTP account on a port where nothing listens.
class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    v7::SetConfigFolder(dir_.path());
    v7::SiteNo = 0;
    ftp_ = "127.0.0.1:" + std::to_string(v7test::FreePort()) + ",site,secret";
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    v7::SetConfigFolder("");
  }
  void Settings(const std::string& lines) { v7test::WriteFile(dir_.file("v7rm.ini"), lines); }
  void StandardSettings(const std::string& xtype) {
    Settings("clientlogin=site\nftp=" + ftp_ + "\ntalkinterval=60000\nxtype=" + xtype + "\n");
  }

  v7test::TempDir dir_;
  std::string ftp_;
  RecordingView view_;

 private:
  std::filesystem::path old_;
};

TEST_F(Client, StartUpRunsTheFirstCycleAtOnceThenEnablesTheTimer) {
  StandardSettings("");
  TfmV7Client client(view_);
  bool timerWasOnDuringCycle = true;
  view_.onStatus = [&](const std::string&) { timerWasOnDuringCycle = view_.timerEnabled; };
  view_.OnShow();

  EXPECT_TRUE(view_.boxes.empty()) << view_.boxes.front();
  EXPECT_EQ(client.XType(), "both");
  EXPECT_EQ(client.ClientLogin(), "site");
  EXPECT_EQ(client.Ftp().Host, ftp_.substr(0, ftp_.find(',')));
  EXPECT_EQ(client.Ftp().Username, "site");
  EXPECT_EQ(client.Ftp().Password, "secret");
  EXPECT_NE(client.Trace(), nullptr);
  EXPECT_FALSE(timerWasOnDuringCycle);
  EXPECT_TRUE(view_.timerEnabled);
  EXPECT_EQ(view_.interval, 60000);
  EXPECT_EQ(view_.caption, "Stop");
  EXPECT_EQ(view_.Of("status"), (std::vector<std::string>{"Sending...", "Receiving...", "Idle"}));
  EXPECT_FALSE(client.Busy());
  EXPECT_FALSE(client.Ftp().Connected());

  // Stop, then Start again: the cycle runs before the timer is back on.
  view_.OnStartClick();
  EXPECT_EQ(view_.caption, "Start");
  EXPECT_FALSE(view_.timerEnabled);
  view_.OnStartClick();
  EXPECT_EQ(view_.caption, "Stop");
  EXPECT_TRUE(view_.timerEnabled);
  EXPECT_EQ(view_.Of("status").size(), 6u);
}

TEST_F(Client, StepsOfTheCycleFollowXTypeAndPatchesAlwaysRun) {
  struct Case {
    std::string xtype;
    std::vector<std::string> statuses;
    bool sends, receives;
  };
  const std::vector<Case> cases = {
      {"", {"Sending...", "Receiving...", "Idle"}, true, true},
      {"Send", {"Sending...", "Idle"}, true, false},
      {"RECEIVE", {"Receiving...", "Idle"}, false, true},
      {"none", {"Idle"}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("xtype=" + c.xtype);
    RecordingView view;
    StandardSettings(c.xtype);
    TfmV7Client client(view);
    view.OnShow();
    EXPECT_EQ(view.Of("status"), c.statuses);
    int sending = view.IndexOf("line:Sending");
    int receiving = view.IndexOf("line:Receiving");
    int patches = view.IndexOf("line:Receiving patches");
    EXPECT_EQ(sending >= 0, c.sends);
    EXPECT_EQ(receiving >= 0, c.receives);
    ASSERT_GE(patches, 0);
    if (c.sends) {
      EXPECT_LT(view.IndexOf("status:Sending..."), sending);
    }
    if (c.sends && c.receives) {
      EXPECT_LT(sending, receiving);
    }
    if (c.receives) {
      EXPECT_LT(view.IndexOf("status:Receiving..."), receiving);
    }
    EXPECT_LT(std::max(sending, receiving), patches);
    EXPECT_LT(patches, view.IndexOf("status:Idle"));
  }
}

TEST_F(Client, TickDuringACycleDoesNothingAndTheNextTickRuns) {
  StandardSettings("send");
  TfmV7Client client(view_);
  int nested = 0;
  view_.onStatus = [&](const std::string& status) {
    if (status == "Sending..." && nested++ == 0) {
      EXPECT_TRUE(client.Busy());
      view_.OnTimer();  // dispatched while the cycle runs, as under a message box
    }
  };
  view_.OnShow();
  EXPECT_EQ(view_.Of("status"), (std::vector<std::string>{"Sending...", "Idle"}));
  EXPECT_FALSE(client.Busy());

  view_.OnTimer();
  EXPECT_EQ(view_.Of("status"),
            (std::vector<std::string>{"Sending...", "Idle", "Sending...", "Idle"}));
}

TEST_F(Client, CycleThatRaisesStillClearsBusyAndShowsTheMessage) {
  StandardSettings("both");
  TfmV7Client client(view_);
  int cyclesEnded = 0;
  client.OnCycleEnd = [&] { ++cyclesEnded; };
  view_.OnShow();
  ASSERT_EQ(cyclesEnded, 1);
  view_.onStatus = [](const std::string& status) {
    if (status == "Receiving...") throw std::runtime_error("pane gone");
  };
  view_.OnTimer();
  EXPECT_EQ(view_.boxes, (std::vector<std::string>{"pane gone"}));
  EXPECT_FALSE(client.Busy());
  EXPECT_EQ(cyclesEnded, 2);
  view_.onStatus = nullptr;
  view_.OnTimer();
  EXPECT_EQ(view_.Of("status").back(), "Idle");
  EXPECT_EQ(cyclesEnded, 3);
}

TEST_F(Client, PaneIsClearedOnlyWhenItHoldsExactlyOneHundredLines) {
  TfmV7Client client(view_);
  for (int i = 1; i <= 100; ++i) client.ShowMsg("line " + std::to_string(i));
  EXPECT_EQ(view_.pane.LineCount(), 100);
  EXPECT_EQ(view_.pane.clears, 0);
  EXPECT_EQ(view_.pane.repaints, 100);

  client.ShowMsg("line 101");
  EXPECT_EQ(view_.pane.clears, 1);
  EXPECT_EQ(view_.pane.lines, (std::vector<std::string>{"line 101"}));
  client.ShowMsg("line 102");
  EXPECT_EQ(view_.pane.clears, 1);

  // The trace writer shares the pane: once past 100 lines the pane is left to it.
  while (view_.pane.LineCount() < 150) view_.pane.AddLine("trace");
  client.ShowMsg("after trace");
  EXPECT_EQ(view_.pane.clears, 1);
  EXPECT_EQ(view_.pane.LineCount(), 151);
}

TEST_F(Client, TestModeShowsOnlyTheTestButton) {
  Settings("testlogin=source\nclientlogin=site\nftp=" + ftp_ + "\n");
  TfmV7Client client(view_);
  view_.OnShow();
  EXPECT_TRUE(client.TestMode());
  EXPECT_TRUE(view_.testButton);
  EXPECT_EQ(client.Trace(), nullptr);
  EXPECT_EQ(client.Ftp().Host, "");
  EXPECT_FALSE(view_.timerEnabled);
  EXPECT_EQ(view_.caption, "Start");
  EXPECT_TRUE(view_.events.empty());

  // The replay needs the source project; without it the connection's message is shown.
  view_.OnTestClick();
  EXPECT_NE(client.Trace(), nullptr);
  ASSERT_EQ(view_.boxes.size(), 1u);
  EXPECT_FALSE(view_.boxes[0].empty());
  EXPECT_TRUE(view_.Of("status").empty());
}

TEST_F(Client, TestReplayUnpacksTheQueuedPacketsAndAppliesThemToTheClientProject) {
  v7test::TempDir config;
  v7test::SiteDb site(config.path(), "source");
  site.ApplyScript("sample_product.sql");
  site.AddProject("site", "Project=source\nDbType=access\nDriver=ado\n");
  site.Exec("create table v7pkt (name varchar(40), pkt blob, siteno integer, pktdate date)");
  const std::string xml = v7test::SamplePacket("items_table.xml");
  std::string hex;
  for (unsigned char c : v7test::PacketBytes(xml)) {
    const char* digits = "0123456789ABCDEF";
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  site.Exec("insert into v7pkt (name, pkt, siteno) values ('p1', X'" + hex + "', 3)");
  Settings("testlogin=source\nclientlogin=site\n");

  TfmV7Client client(view_);
  view_.OnShow();
  view_.OnTestClick();
  EXPECT_TRUE(view_.boxes.empty()) << view_.boxes.front();
  EXPECT_EQ(v7test::ReadFile(dir_.file("p1.xml")), xml);
  EXPECT_TRUE(std::filesystem::exists(dir_.file("p1.pkt")));
  EXPECT_EQ(site.Scalar("select itemname from item where itemid=250"), "Stapler O'Neil");
  EXPECT_EQ(site.Scalar("select count(*) from v7pkt"), "1");
}

TEST_F(Client, StartUpFailureShowsTheMessageAndStartStillRunsCycles) {
  v7test::TempDir serverDir;
  std::string log = serverDir.file("requests.log");
  struct Case {
    std::string name;
    std::string settings;  // besides clientlogin
    std::string mode;      // of the SOAP server; empty: no server
    std::string reply;
    std::string message;  // the start of the message box's text
  };
  int port = v7test::FreePort();
  std::string url = "url=http://127.0.0.1:" + std::to_string(port) + "/soap\n";
  const std::vector<Case> cases = {
      {"interval not a number", "ftp=" + ftp_ + "\ntalkinterval=5 min\n", "", "",
       "'5 min' is not a valid integer value"},
      {"interval not above zero", "ftp=" + ftp_ + "\ntalkinterval=0\n", "", "",
       "'0' is not a valid talkinterval"},
      {"service unreachable", url, "", "", "Call of GetFTPProps at http://127.0.0.1:"},
      {"reply not XML", url, "notxml", "", "The service's reply to GetFTPProps is not XML"},
      {"reply is an error", url, "echo", "Error: site 0 unknown", "Error: site 0 unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<v7test::ServerProcess> server;
    if (!c.mode.empty()) {
      std::vector<std::string> argv = {v7test::SystemPython(),
                                       v7test::FixturesDir() + "/soap_server.py",
                                       std::to_string(port), log, c.mode};
      if (!c.reply.empty()) argv.push_back(c.reply);
      server = std::make_unique<v7test::ServerProcess>(argv, port);
      ASSERT_TRUE(server->running());
    }
    Settings("clientlogin=site\nxtype=none\n" + c.settings);
    RecordingView view;
    TfmV7Client client(view);
    view.OnShow();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].rfind(c.message, 0), 0u) << view.boxes[0];
    EXPECT_EQ(view.caption, "Start");
    EXPECT_FALSE(view.timerEnabled);
    EXPECT_TRUE(view.Of("status").empty());

    view.OnStartClick();
    EXPECT_EQ(view.caption, "Stop");
    EXPECT_TRUE(view.timerEnabled);
    EXPECT_EQ(view.Of("status"), std::vector<std::string>{"Idle"});
    EXPECT_EQ(view.boxes.size(), 1u);
  }
}

TEST_F(Client, FtpAccountComesFromTheSettingOrElseFromTheService) {
  int port = v7test::FreePort();
  std::string log = dir_.file("requests.log");
  v7test::ServerProcess server({v7test::SystemPython(), v7test::FixturesDir() + "/soap_server.py",
                                std::to_string(port), log, "echo", "ftp.site,user01,pw01"},
                               port);
  ASSERT_TRUE(server.running());
  std::string url = "url=http://127.0.0.1:" + std::to_string(port) + "/soap\n";
  {
    Settings(url + "xtype=none\ntrace=tofile\n");
    RecordingView view;
    TfmV7Client client(view);
    view.OnShow();
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(client.FtpProps(), "ftp.site,user01,pw01");
    EXPECT_EQ(client.Ftp().Host, "ftp.site");
    EXPECT_EQ(client.Ftp().Username, "user01");
    EXPECT_EQ(client.Ftp().Password, "pw01");
    std::string requests = v7test::ReadFile(log);
    EXPECT_NE(requests.find("\"method\": \"GetFTPProps\", \"part\": \"s\", \"value\": \"0\""),
              std::string::npos)
        << requests;
    EXPECT_NE(view.IndexOf("line:Getting FTP details"), -1);
    EXPECT_NE(view.IndexOf("line:FTP at ftp.site"), -1);
  }
  {
    // A setting is taken as it stands, even one that reads like an error of the service.
    std::filesystem::remove(log);
    Settings(url + "xtype=none\nftp=Error,u,p\n");
    RecordingView view;
    TfmV7Client client(view);
    view.OnShow();
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(client.Ftp().Host, "Error");
    EXPECT_FALSE(std::filesystem::exists(log));

    // The hidden database test asks the service at the URL the settings hold now.
    Settings("url=http://127.0.0.1:" + std::to_string(port) + "/other\n");
    view.OnTestDbClick();
    EXPECT_EQ(view.boxes, std::vector<std::string>{"ftp.site,user01,pw01"});
    std::string requests = v7test::ReadFile(log);
    EXPECT_NE(requests.find("\"path\": \"/other\", \"method\": \"CheckDb\", \"part\": \"s\""),
              std::string::npos)
        << requests;
  }
}

// ---- The console view ----

TEST(ConsoleView, StopSignalEndsTheLoopOnlyAfterTheRunningCycle) {
  std::ostringstream out, err;
  v7::ConsoleView view(out, err);
  int ticks = 0;
  view.OnShow = [&] {
    view.SetTimerInterval(10);
    view.SetTimerEnabled(true);
  };
  view.OnTimer = [&] {
    ++ticks;
    if (ticks == 2) {
      kill(getpid(), SIGTERM);
      view.Msgs().AddLine("cycle finished");
    }
  };
  EXPECT_EQ(view.Run(), 0);
  EXPECT_EQ(ticks, 2);
  EXPECT_NE(out.str().find("cycle finished\n"), std::string::npos);
}

TEST(ConsoleView, WritesLinesAndStatusToOutputAndMessagesToErrors) {
  std::ostringstream out, err;
  v7::ConsoleView view(out, err);
  view.OnShow = [&] {
    view.Msgs().AddLine("one\r\ntwo");
    view.SetStatus("Sending...");
    view.ShowMessage("'x' is not a valid integer value");
  };
  // Start-up left the timer off: nothing more can happen, so the loop ends with an error.
  EXPECT_EQ(view.Run(), 1);
  EXPECT_EQ(view.Msgs().LineCount(), 2);
  EXPECT_EQ(out.str().rfind("one\ntwo\nStatus: Sending...\n", 0), 0u) << out.str();
  EXPECT_NE(err.str().find("'x' is not a valid integer value\n"), std::string::npos);
}

}  // namespace
