// Whole cycles of the client against a real FTP server on loopback and a real SQLite site:
// sending queued packets and the ping, receiving and applying packets, keeping failed ones,
// running patch files, and surviving a server that is down.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "PacketFixtures.h"
#include "SiteDb.h"
#include "uMain.h"
#include "uSqliteBackend.h"
#include "uTransfer.h"

using namespace v7;
using v7test::PacketBytes;
using v7test::ReadFile;
using v7test::SamplePacket;
using v7test::WriteFile;
namespace fs = std::filesystem;

namespace {

class LinesPane : public TMessagePane {
 public:
  void AddLine(const std::string& line) override { lines.push_back(line); }
  int LineCount() const override { return static_cast<int>(lines.size()); }
  void Clear() override {}
  void Repaint() override {}
  std::vector<std::string> lines;
};

class QuietView : public ClientView {
 public:
  TMessagePane& Msgs() override { return pane; }
  void SetStatus(const std::string&) override {}
  std::string StartCaption() const override { return caption; }
  void SetStartCaption(const std::string& text) override { caption = text; }
  void ShowTestButton() override {}
  std::string TestDbText() const override { return ""; }
  void ShowMessage(const std::string& text) override { boxes.push_back(text); }
  void SetTimerInterval(int) override {}
  void SetTimerEnabled(bool) override {}
  int Run() override { return 0; }
  void Quit() override {}

  LinesPane pane;
  std::string caption = "Start";
  std::vector<std::string> boxes;
};

class TransferTest : public ::testing::Test {
 protected:
  TransferTest() : site(dir.path()), cwd(dir.path()) {
    site.ApplyScript("sample_product.sql");
    site.Exec("create table v7pkt (name varchar(60), pkt blob, siteno integer, pktdate date)");
    for (const char* folder :
         {"v7/site07/send", "v7/site03/send", "v7/site123/send", "v7/pings", "v7/patches"})
      fs::create_directories(server.Path(folder));
  }

  void Settings(const std::string& extra = "trace=tofile\n") {
    WriteFile("v7rm.ini", "clientlogin=site\nftp=" + server.Host() + ",site,secret\n" + extra);
  }

  // Start-up as the window's show event runs it: the first cycle runs at once.
  void Start() {
    client = std::make_unique<TfmV7Client>(view);
    client->FormShow();
    ASSERT_TRUE(view.boxes.empty()) << view.boxes.front();
  }
  void Cycle() { client->Timer1Timer(); }

  void Queue(const std::string& name, const std::string& bytes, int siteNo,
             const std::string& date) {
    TSqliteBackend db;
    db.Open(site.DbFile());
    db.Execute(
        "insert into v7pkt (name, pkt, siteno, pktdate) "
        "values (:n, :p, :s, format(:d, 'dd/mm/yyyy hh:nn:ss'))",
        {{"n", TDbValue::FromText(name)},
         {"p", TDbValue::FromBlob(bytes)},
         {"s", TDbValue::FromInt(siteNo)},
         {"d", TDbValue::FromText(date)}});
  }

  void Offer(const std::string& remote, const std::string& bytes) {
    WriteFile(server.Path(remote), bytes);
  }

  std::string Scalar(const std::string& sql) { return site.Scalar(sql); }
  bool Shown(const std::string& line) const {
    return std::find(view.pane.lines.begin(), view.pane.lines.end(), line) != view.pane.lines.end();
  }
  int LineIndex(const std::string& line) const {
    auto it = std::find(view.pane.lines.begin(), view.pane.lines.end(), line);
    return it == view.pane.lines.end() ? -1 : static_cast<int>(it - view.pane.lines.begin());
  }
  bool ShownContaining(const std::string& part) const {
    return std::any_of(view.pane.lines.begin(), view.pane.lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }

  v7test::TempDir dir;
  v7test::TestFtpServer server;
  v7test::SiteDb site;
  v7test::WorkingFolder cwd;
  QuietView view;
  std::unique_ptr<TfmV7Client> client;
};

}  // namespace

TEST_F(TransferTest, OneCycleSendsPingAndPacketsReceivesTablePacketsAndRunsPatches) {
  const std::string a = PacketBytes("<a/>"), b = PacketBytes("<b/>", std::nullopt, "tail"),
                    c = PacketBytes("<c/>"), d = PacketBytes("<d/>");
  Queue("out-b", b, 3, "06/12/2026 10:00:05");
  Queue("out-a", a, 3, "06/12/2026 10:00:00");
  Queue("out-c", c, 123, "06/12/2026");
  Queue("out-d", d, 3, "06/12/2026 10:00:05");
  Offer("v7/site07/send/items.pkt", PacketBytes(SamplePacket("items_table.xml")));
  Offer("v7/site03/send/other.pkt", PacketBytes(SamplePacket("bad_record_id.xml")));
  // Lines before the first "<<" are dropped; ">>" runs all gathered since the last "<<".
  Offer("v7/patches/07.sql",
        "not sql at all\r\n<<\r\nupdate item set stockqty = stockqty + 1\r\n>>\r\n"
        "where itemid = 201\r\n>>\r\n");
  Offer("v7/patches/07.txt", "insert into customer (customerid, custname)\nvalues (150, 'P')\n>>");
  Offer("v7/patches/17.sql", "<<\ndelete from customer\n>>\n");
  Settings();
  Start();

  // Sent: the ping first, then the rows by date; all rows gone from the queue.
  EXPECT_EQ(ReadFile(server.Path("v7/site03/send/out-a.pkt")), a);
  EXPECT_EQ(ReadFile(server.Path("v7/site03/send/out-b.pkt")), b);
  EXPECT_EQ(ReadFile(server.Path("v7/site03/send/out-d.pkt")), d);
  EXPECT_EQ(ReadFile(server.Path("v7/site123/send/out-c.pkt")), c);
  EXPECT_TRUE(std::regex_match(ReadFile(server.Path("v7/pings/07.txt")),
                               std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\r\n)")));
  EXPECT_EQ(Scalar("select count(*) from v7pkt"), "0");
  EXPECT_LT(LineIndex("Uploading file ping.txt"), LineIndex("Uploading file out-c.pkt"));
  EXPECT_LT(LineIndex("Uploading file out-c.pkt"), LineIndex("Uploading file out-a.pkt"));
  EXPECT_LT(LineIndex("Uploading file out-a.pkt"), LineIndex("Uploading file out-b.pkt"));
  EXPECT_FALSE(fs::exists("ping.txt"));
  EXPECT_FALSE(fs::exists("out-a.pkt"));

  // Received: this site's packet applied and removed; another site's left alone.
  EXPECT_EQ(Scalar("select itemname from item where itemid=201"), "Blue Pen (new)");
  EXPECT_EQ(Scalar("select itemname from item where itemid=250"), "Stapler O'Neil");
  EXPECT_EQ(Scalar("select count(*) from item where itemid=203"), "0");
  EXPECT_FALSE(fs::exists(server.Path("v7/site07/send/items.pkt")));
  EXPECT_TRUE(fs::exists(server.Path("v7/site03/send/other.pkt")));
  EXPECT_TRUE(Shown("Downloading v7/site07/send/items.pkt"));
  EXPECT_TRUE(fs::is_empty(kFailedFolder));
  EXPECT_EQ(std::distance(fs::directory_iterator(kReceiveFolder), fs::directory_iterator()), 1);

  // Patches: 201 got both runs, the other items one; this site's files only.
  EXPECT_EQ(Scalar("select stockqty from item where itemid=201"), "102");
  EXPECT_EQ(Scalar("select stockqty from item where itemid=202"), "21");
  EXPECT_EQ(Scalar("select custname from customer where customerid=150"), "P");
  EXPECT_FALSE(fs::exists(server.Path("v7/patches/07.sql")));
  EXPECT_FALSE(fs::exists(server.Path("v7/patches/07.txt")));
  EXPECT_TRUE(fs::exists(server.Path("v7/patches/17.sql")));
  EXPECT_FALSE(fs::exists("transit/07.sql"));
  EXPECT_EQ(view.pane.lines.back(), "Completed");
  EXPECT_FALSE(client->Ftp().Connected());
}

TEST_F(TransferTest, FailedPacketsAreKeptWithTheTraceBeforeTheyLeaveTheServer) {
  const std::string badName = PacketBytes(SamplePacket("bad_table_name.xml"));
  Offer("v7/site07/send/bad.pkt", badName);
  Offer("v7/site07/send/unk.pkt", PacketBytes(SamplePacket("unknown_column.xml")));
  Offer("v7/site07/send/doc.pkt", PacketBytes(SamplePacket("document.xml")));
  std::string corrupt = PacketBytes(SamplePacket("items_table.xml"));
  corrupt[10] ^= 0x55;
  corrupt[11] ^= 0x55;
  Offer("v7/site07/send/corrupt.pkt", corrupt);
  Offer("v7/site07/send/short.pkt", "ab");
  // An older, different copy under the same name stays, so the new packet cannot leave.
  fs::create_directories(kFailedFolder);
  WriteFile(std::string(kFailedFolder) + "dup.pkt", "older copy");
  Offer("v7/site07/send/dup.pkt", badName);
  // An identical older copy is as good as a new one.
  WriteFile(std::string(kFailedFolder) + "same.pkt", badName);
  Offer("v7/site07/send/same.pkt", badName);
  // A failing patch block ends the step; the file stays for the next cycle.
  Offer("v7/patches/07.sql",
        "<<\ninsert into customer (customerid, custname) values (160, 'Once')\n>>\n"
        "<<\nupdate nosuchtable set x = 1\n>>\n");
  Settings();
  Start();
  // A failure while unpacking ends the step: the packets listed after it wait a cycle.
  Cycle();
  Cycle();

  for (const char* name : {"bad", "unk", "doc", "corrupt", "short"}) {
    const std::string logged = std::string(kFailedFolder) + name;
    EXPECT_TRUE(fs::exists(logged + ".pkt")) << name;
    EXPECT_TRUE(fs::exists(logged + ".trc")) << name;
    EXPECT_FALSE(fs::exists(server.Path(std::string("v7/site07/send/") + name + ".pkt"))) << name;
  }
  EXPECT_EQ(ReadFile(std::string(kFailedFolder) + "bad.xml"), SamplePacket("bad_table_name.xml"));
  EXPECT_TRUE(fs::exists(std::string(kFailedFolder) + "doc.xml"));
  EXPECT_FALSE(fs::exists(std::string(kFailedFolder) + "short.xml"));
  EXPECT_TRUE(Shown("Invalid packet file: shorter than its 4-byte length"));
  EXPECT_TRUE(Shown("data error"));

  EXPECT_TRUE(fs::exists(server.Path("v7/site07/send/dup.pkt")));
  EXPECT_EQ(ReadFile(std::string(kFailedFolder) + "dup.pkt"), "older copy");
  EXPECT_TRUE(ShownContaining("dup.pkt stays on the server"));
  EXPECT_FALSE(fs::exists(server.Path("v7/site07/send/same.pkt")));

  // Rows before a database failure stay written; local files are gone.
  EXPECT_EQ(Scalar("select itemname from item where itemid=260"), "Ruler");
  for (const char* name : {"bad", "unk", "doc", "corrupt", "short", "dup", "same"})
    EXPECT_FALSE(fs::exists(std::string(kReceiveFolder) + name + ".pkt")) << name;

  EXPECT_EQ(Scalar("select count(*) from customer where customerid=160"), "1");
  EXPECT_TRUE(fs::exists(server.Path("v7/patches/07.sql")));
  EXPECT_TRUE(fs::exists("transit/07.sql"));
}

TEST_F(TransferTest, ServerDownLosesNothingAndTheNextCycleCompletes) {
  Queue("out-a", PacketBytes("<a/>"), 3, "06/12/2026 10:00:00");
  Offer("v7/site07/send/items.pkt", PacketBytes(SamplePacket("items_table.xml")));
  Offer("v7/patches/07.sql", "<<\nupdate item set price = 1 where itemid = 202\n>>\n");
  server.Stop();
  Settings("");  // no trace file
  Start();
  EXPECT_TRUE(ShownContaining("FTP connect to " + server.Host() + " failed"));
  EXPECT_EQ(Scalar("select count(*) from v7pkt"), "1");
  EXPECT_FALSE(fs::exists("out-a.pkt"));
  EXPECT_EQ(Scalar("select itemname from item where itemid=201"), "Blue Pen");
  EXPECT_EQ(view.pane.lines.back(), "Completed");

  server.Start();
  Offer("v7/site07/send/zbad.pkt", PacketBytes(SamplePacket("bad_record_id.xml")));
  view.pane.lines.clear();
  Cycle();
  EXPECT_TRUE(fs::exists(server.Path("v7/site03/send/out-a.pkt")));
  EXPECT_EQ(Scalar("select count(*) from v7pkt"), "0");
  EXPECT_EQ(Scalar("select itemname from item where itemid=201"), "Blue Pen (new)");
  EXPECT_EQ(Scalar("select price from item where itemid=202"), "1");
  EXPECT_FALSE(fs::exists(server.Path("v7/site07/send/items.pkt")));
  // Without "trace.txt" a failed packet is kept without a trace copy.
  EXPECT_TRUE(fs::exists(std::string(kFailedFolder) + "zbad.pkt"));
  EXPECT_FALSE(fs::exists(std::string(kFailedFolder) + "zbad.trc"));
}
