// A receive step of many packets on SQLite and PostgreSQL: one window object applying a
// sequence of document and table packets on one connection (kept transaction types) leaves
// every table as fresh objects and connections for each packet do, a packet that fails in a
// step costs no other packet of it and holds no connection number, a failure of the site
// leaves the packet for the next step, and a new document is saved once across a stop right
// after its commit.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "PacketFixtures.h"
#include "PgSite.h"
#include "SampleProduct.h"
#include "uApplyRecord.h"
#include "uConsoleView.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uPgBackend.h"
#include "uSqliteBackend.h"
#include "uTransfer.h"

namespace {

namespace fs = std::filesystem;

// A copy of the sample site with its stored documents, on SQLite or on PostgreSQL, in a
// temporary folder that is the configuration and working folder while the copy lives.
class SiteCopy {
 public:
  explicit SiteCopy(bool postgre) : site_(dir_.path()), cwd_(dir_.path()) {
    if (postgre) {
      pg_ = std::make_unique<v7test::PgSite>(v7test::PgSite::Content::ProductAndDocuments);
      if (!pg_->Ready()) return;
      pg_->AddProject(site_);
      project_ = v7test::PgSite::kProject;
    } else {
      v7test::ApplySampleProduct(site_, true);
    }
    // A stored entry row whose id a failing voucher gives again.
    Exec("insert into trans2 (trans2id, trans1id, trans2row) values (77, 1, 1)");
  }

  // Why the copy could not be made: PostgreSQL is not installed (skip), or it failed.
  std::string Skip() const { return pg_ ? pg_->Skip() : ""; }
  std::string Failure() const { return pg_ ? pg_->Failure() : ""; }
  const std::string& Project() const { return project_; }
  const v7test::TempDir& Dir() const { return dir_; }

  void Exec(const std::string& sql) {
    if (pg_)
      pg_->db.Execute(sql);
    else
      site_.Exec(sql);
  }
  v7::TDbRowSet Query(const std::string& sql) {
    return pg_ ? pg_->db.Query(sql) : site_.Query(sql);
  }
  std::string Scalar(const std::string& sql) { return pg_ ? pg_->Scalar(sql) : site_.Scalar(sql); }
  // PostgreSQL: the project "pgrole", which signs in as role (made without any right of its
  // own: what it may do is granted to it).
  const std::string& AddRoleProject(const std::string& role) {
    Exec("create role " + role + " login");
    site_.AddProject("pgrole", "Project=" + role +
                                   "\nDbType=postgre\nDriver=dbx\nDbName=host=127.0.0.1 port=" +
                                   std::to_string(pg_->cluster.Port()) + " dbname=site");
    project_ = "pgrole";
    return project_;
  }
  std::string PgTarget() const { return pg_->cluster.Target("site"); }
  std::string DbFile() const { return site_.DbFile(); }
  void AddProject(const std::string& section, const std::string& body) {
    site_.AddProject(section, body);
  }
  // Runs a script of the site's set-up (scripts/site/) on the site database.
  void RunSiteScript(const std::string& name) {
    if (pg_)
      v7test::RunScript(pg_->db, v7test::SourceDir() + "/scripts/site/" + name);
    else
      site_.ApplyScript(v7test::SourceDir() + "/scripts/site/" + name);
  }

  // Every row of every table, as sorted lines of column=value; the columns that hold the
  // time of writing are left out.
  std::map<std::string, std::vector<std::string>> Tables() {
    std::map<std::string, std::vector<std::string>> tables;
    const v7::TDbRowSet names =
        Query(pg_ ? "select tablename from pg_tables where schemaname = 'public'"
                  : "select name from sqlite_master where type = 'table'");
    for (const auto& name : names.Rows) {
      const std::string table = name.at(0).Text;
      const v7::TDbRowSet rows = Query("select * from \"" + table + "\"");
      std::vector<std::string>& lines = tables[v7::LowerStr(table)];
      for (const auto& row : rows.Rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
          const std::string column = v7::LowerStr(rows.Columns[c].Name);
          if (column == "modifiedon" || column == "modifieddate" || column == "lastupdated")
            continue;
          line += column + "=" + ValueText(row[c]) + " ";
        }
        lines.push_back(line);
      }
      std::sort(lines.begin(), lines.end());
    }
    return tables;
  }

 private:
  static std::string ValueText(const v7::TDbValue& v) {
    char buf[40];
    switch (v.Kind) {
      case v7::TDbKind::Null:
        return "null";
      case v7::TDbKind::Integer:
        return std::to_string(v.Int);
      case v7::TDbKind::Float:
      case v7::TDbKind::DateTime:
        std::snprintf(buf, sizeof buf, "%.17g", v.Float);
        return buf;
      default:
        return v.Text;
    }
  }

  v7test::TempDir dir_;
  v7test::SiteDb site_;
  v7test::WorkingFolder cwd_;
  std::unique_ptr<v7test::PgSite> pg_;
  std::string project_ = "site";
};

std::string Doc(const std::string& user, int site, const std::string& type,
                const std::string& recordId, const std::string& elements,
                const std::string& attributes = "") {
  return "<doc user=\"" + user + "\" siteno=\"" + std::to_string(site) + "\" transid=\"" + type +
         "\" recordid=\"" + recordId + "\"" + attributes + ">" + elements + "</doc>";
}

std::string Receipt(const std::string& user, int site, const std::string& recordId,
                    const std::string& customer, const std::string& invoice) {
  return Doc(user, site, "receipt", recordId,
             "<rcptdate>21/06/2026</rcptdate>" + customer +
                 "<saveok>T</saveok><delok>T</delok><totalamt>100</totalamt><forinv>" + invoice +
                 "</forinv><invref>" + invoice + "</invref><amount>100</amount>");
}

std::string Invoice(const std::string& user, int site, const std::string& recordId,
                    const std::string& payMode) {
  return Doc(user, site, "salesinv", recordId,
             "<invdate>20/06/2026</invdate><customer id=\"101\">Acme Stores</customer>"
             "<paymode>" +
                 payMode +
                 "</paymode><item id=\"201\">Blue Pen</item><qty>2</qty>"
                 "<item id=\"203\">Notebook</item><qty>3</qty>");
}

// A journal voucher of two entry rows; a second row given the id 77 of a stored row fails on
// its insert, after the header and the first row took new ids.
std::string Voucher(const std::string& user, int site, const std::string& recordId,
                    const std::string& narration, bool takenRowId = false,
                    const std::string& total = "") {
  return Doc(user, site, "jv", recordId,
             "<vchdate>01/07/2026</vchdate><narration>" + narration + "</narration><totalamt>" +
                 total +
                 "</totalamt><mid id=\"111\">Cash</mid><porm>1</porm><amount>100</amount>"
                 "<mid id=\"112\">Bank</mid><porm>2</porm><amount>40</amount>" +
                 (takenRowId ? "<trans2id>0</trans2id><trans2id>77</trans2id>" : ""));
}

// The voucher's scripts for the sequence: a voucher named "commit" tries to commit its save;
// one named "relist" narrows the receipt's invoice list to the invoices with batches, one
// named "regvar" to the sales invoices, through sqlregvar; before the save each runs the
// statement that endmark holds for its name (AddEndingScripts).
const char kVoucherScripts[] =
    "insert into exprset (exprsetid, transid, expression) values (92, 'jv', '{aftersave}\n"
    "ctl := iif(narration = {commit}, {/* keep */ COMMIT}, {select 1 from dual})\n"
    "x := firesql({ctl}, ctl)\n"
    "relist := iif(narration = {relist}, {update inputsql set sqltext = ''select invno, invno "
    "as shown from salesinvsf where invno = :forinv'' where inputsqlid = 35}, {select 1 from "
    "dual})\n"
    "y := firesql({relist}, relist)\n"
    "reg := iif(narration = {regvar}, {update inputsql set sqltext = ''select invno, invno as "
    "shown from salesinv where invno = :forinv'' where inputsqlid = 35}, {select 1 from dual})\n"
    "z := sqlregvar(reg)\n"
    "{onpostgenmap}\n"
    "a := firesql({endq}, {select coalesce(max(sqltext), ''select 1 from dual'') as sqltext "
    "from endmark where narration = :narration})\n"
    "b := firesql({endrun}, sqlget({endq}, {sqltext}))')";

// The statements that vouchers named "ends" and "trips" run before they are saved, which end
// the transaction from inside (SQLite: a conflict clause and a trigger that roll back;
// PostgreSQL: texts that only its own lexer reads as a commit). A table packet of the
// sequence mends both.
void AddEndingScripts(SiteCopy& copy, bool postgre) {
  copy.Exec(
      "create table endmark (endmarkid integer primary key, narration varchar(20), "
      "sqltext varchar(200), k integer unique)");
  copy.Exec("create table endtrip (k integer)");
  if (postgre) {
    copy.Exec(
        "insert into endmark values (1, 'ends', '-- a note' || chr(13) || 'commit', 1), "
        "(2, 'trips', 'commit /* a$$b$ */', 2)");
  } else {
    copy.Exec(
        "insert into endmark values (1, 'ends', 'insert or rollback into endmark "
        "(endmarkid, k) values (9, 1)', 1), (2, 'trips', 'insert into endtrip values (1)', 2)");
    copy.Exec(
        "create trigger endtrip_rollback before insert on endtrip begin "
        "select raise(rollback, 'tripped'); end");
  }
}

// The sequence: several types, users and sites; new documents with and without their ids,
// changed, cancelled and deleted ones; a voucher that fails half-way in the middle; list
// fields that read stored invoices and a customer's balance that earlier packets changed
// (a receipt for an invoice that a packet before it deleted is refused); table packets
// that change a list query and add a customer between documents; a voucher whose script
// tries to commit, and ones whose scripts change the receipt's list query (through firesql
// and sqlregvar), after which a receipt for an invoice no longer listed is refused; vouchers
// whose scripts end the transaction from inside, applied again once the cause is mended.
const std::vector<std::string>& Sequence() {
  static const std::vector<std::string> packets = {
      Receipt("anita", 3, "300010000000001", "<customer id=\"101\">Acme Stores</customer>",
              "INV000041"),
      Invoice("anita", 3, "300010000000009", "Cash"),  // INV000042, with links 5, 6 and 7
      Receipt("bob", 4, "400010000000001", "<customer id=\"101\">Acme Stores</customer>",
              "INV000042"),
      Voucher("anita", 3, "0", "fails", true),
      Invoice("bob", 4, "400010000000010", "Credit"),  // INV000043
      "<rows table=\"inputsql\"><row recordid=\"35\"><sqltext type=\"c\">select invno, invno "
      "as shown from (select invno from salesinv union all select invno from salesinvap union "
      "all select invno from salesinvsf) i where invno = :forinv</sqltext></row></rows>",
      Receipt("anita", 3, "300010000000002", "<customer>Zenith Mart</customer>", "SF000001"),
      Doc("anita", 3, "salesinv", "300010000000009", "<qty>4</qty>"),
      Receipt("bob", 4, "0", "<customer id=\"102\"></customer>", "INV000043"),
      Doc("bob", 4, "salesinv", "400010000000010", "", " deltrans=\"true\""),
      Receipt("bob", 4, "0", "<customer id=\"102\"></customer>", "INV000043"),  // refused
      Voucher("bob", 4, "0", "good"),
      Doc("anita", 3, "receipt", "300010000000001", "", " deltrans=\"true\""),
      "<rows table=\"customer\"><row recordid=\"104\"><customerid type=\"n\">104</customerid>"
      "<custname type=\"c\">New Traders</custname><city type=\"c\">Pune</city>"
      "<balance type=\"n\">0</balance></row></rows>",
      Receipt("anita", 3, "300010000000003", "<customer>New Traders</customer>", "INV000042"),
      Voucher("anita", 3, "300010000000011", "kept id"),
      Doc("anita", 3, "jv", "300010000000011", "", " cancel=\"true\""),
      Voucher("anita", 3, "0", "commit"),  // refused
      Voucher("bob", 4, "0", "after commit"),
      Voucher("anita", 3, "0", "relist"),
      Receipt("bob", 4, "0", "<customer id=\"102\"></customer>", "INV000042"),  // refused
      Receipt("bob", 4, "0", "<customer>Zenith Mart</customer>", "SF000001"),
      Voucher("anita", 3, "0", "regvar"),
      Receipt("bob", 4, "0", "<customer>Zenith Mart</customer>", "SF000001"),  // refused
      Voucher("anita", 3, "0", "ends"),                                        // refused
      Voucher("bob", 4, "0", "trips"),                                         // refused
      "<rows table=\"endmark\"><row recordid=\"1\"><sqltext type=\"c\">select 1 from dual"
      "</sqltext></row><row recordid=\"2\"><sqltext type=\"c\">select 2 from dual</sqltext>"
      "</row></rows>",
      Voucher("anita", 3, "0", "ends"),
      Voucher("bob", 4, "0", "trips"),
  };
  return packets;
}

// Applies the packets through one window object in one step, or each through a window and
// connection of its own; answers each packet's error text.
std::vector<std::string> Apply(SiteCopy& copy, const std::vector<std::string>& packets,
                               bool oneStep) {
  std::ostringstream pane, boxes;
  v7::ConsoleView view{pane, boxes};
  std::unique_ptr<v7::TfmV7Client> client;
  std::vector<std::string> errors;
  const std::string file = copy.Dir().file("packet.xml");
  for (const std::string& packet : packets) {
    if (!client) {
      client = std::make_unique<v7::TfmV7Client>(view);
      std::string err;
      client->ConnectProject(copy.Project(), err);
      EXPECT_EQ(err, "");
    }
    v7test::WriteFile(file, packet);
    std::string err;
    client->Postdata(file, err);
    errors.push_back(err);
    if (!oneStep) {
      client->CloseConnection();
      client.reset();
    }
  }
  if (client) client->CloseConnection();
  EXPECT_EQ(boxes.str(), "");
  return errors;
}

void OneStepLeavesWhatFreshObjectsLeave(bool postgre) {
  std::map<std::string, std::vector<std::string>> fresh, kept;
  std::vector<std::string> freshErrors, keptErrors;
  for (bool oneStep : {false, true}) {
    SiteCopy copy(postgre);
    if (!copy.Skip().empty()) GTEST_SKIP() << copy.Skip();
    ASSERT_EQ(copy.Failure(), "");
    copy.Exec(kVoucherScripts);
    AddEndingScripts(copy, postgre);
    const auto cashMoved = [&] {
      return copy.Scalar(
          "select (select balance from account where accountid = 111) - (select "
          "coalesce(sum(amount), 0) from trans2 t2 join trans1 t1 on t1.trans1id = "
          "t2.trans1id where t2.mid = 111 and t1.cancel = 'F') from dual");
    };
    // What the cash balance holds beyond the live entries on it: no voucher changes it.
    const std::string cashBefore = cashMoved();
    (oneStep ? keptErrors : freshErrors) = Apply(copy, Sequence(), oneStep);
    EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration = 'commit'"), "0");
    // A voucher whose transaction ended from inside left nothing: applied again once its
    // cause was mended, it is stored once, and its accounts moved once.
    EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration in ('ends', 'trips')"), "2");
    EXPECT_EQ(cashMoved(), cashBefore);
    (oneStep ? kept : fresh) = copy.Tables();
    // Each step gives its number back, whatever failed in it.
    EXPECT_EQ(copy.Scalar("select count(*) from connectinfo where active <> 'F'"), "0");
  }
  ASSERT_EQ(freshErrors.size(), Sequence().size());
  for (size_t i = 0; i < freshErrors.size(); ++i) {
    if (i == 3 || i == 10 || i == 17 || i == 20 || i == 23 || i == 24 || i == 25)
      EXPECT_NE(freshErrors[i], "") << "packet " << i;
    else
      EXPECT_EQ(freshErrors[i], "") << "packet " << i;
  }
  EXPECT_NE(freshErrors[17].find("\"commit\""), std::string::npos) << freshErrors[17];
  EXPECT_NE(freshErrors[20].find("Invalid selection"), std::string::npos) << freshErrors[20];
  EXPECT_NE(freshErrors[23].find("Invalid selection"), std::string::npos) << freshErrors[23];
  EXPECT_EQ(keptErrors, freshErrors);
  // The receipt after the first invoice read the balance that invoice left.
  const auto& receipts = fresh["receipt"];
  EXPECT_TRUE(std::any_of(receipts.begin(), receipts.end(), [](const std::string& r) {
    return r.find("receiptid=400010000000001 ") != std::string::npos &&
           r.find("custbalance=145 ") != std::string::npos;
  })) << testing::PrintToString(receipts);
  ASSERT_EQ(kept.size(), fresh.size());
  for (const auto& [table, rows] : fresh) EXPECT_EQ(kept[table], rows) << table;
}

TEST(ReceiveStep, OneWindowInOneStepLeavesWhatFreshObjectsLeave) {
  OneStepLeavesWhatFreshObjectsLeave(false);
}

TEST(ReceiveStep, OneWindowInOneStepLeavesWhatFreshObjectsLeaveOnPostgreSQL) {
  OneStepLeavesWhatFreshObjectsLeave(true);
}

// A receive step from a real FTP server whose first packet fails: the six after it are all
// applied, only the failed one is kept in the log folder, the server keeps none and the
// number goes back at the end of the step. A failure of the site (here the client's session
// ended by the server, as an operator or a restarted server does) is no fault of the packet:
// it stays on the server, nothing is kept, the step ends, and once the site is mended the
// next step applies it and the rest. A packet whose name is no plain file name of the folder
// is passed over with its name said, and stays on the server; no file outside the receive
// folder is touched.
void FailedPacketFirstCostsNoOther(bool postgre) {
  struct Case {
    const char* name;
    std::string bad;
    std::string setup;
    const char* mend = "";  // for a failure of the site: what mends it
    // Names refused: the file that holds bad, relative to the send folder ("" for none); a
    // name the server lists before its files (Python's escapes); whether the file is a claim
    // an earlier version recorded; what the step says.
    std::string file = "a-bad.pkt";
    std::string listed = "";
    bool claimed = false;
    std::string refused = "";
    std::string packet = "";    // the bad packet's file, when it is no packing of bad
    std::string settings = "";  // more lines of v7rm.ini
    std::string shown = "";     // by the step
  };
  // What one packet may unpack to is bounded: past it, it is the packet's own failure.
  const std::string bomb = "<doc" + std::string(65 << 20, ' ') + "/>";
  const Case cases[] = {
      {"a row id that is taken", Voucher("anita", 3, "0", "bad", true), ""},
      {"refused by aftersavestatus", Voucher("anita", 3, "0", "bad", false, "900"),
       "insert into exprset (exprsetid, transid, expression) values (91, 'jv', "
       "'{aftersave}\naftersavestatus := iif(totalamt > 500, {Over the limit}, {T})')"},
      {"the session is ended by the server", Voucher("anita", 3, "0", "ended"),
       "insert into exprset (exprsetid, transid, expression) values (91, 'jv', '{aftersave}\n"
       "x := firesql({end}, iif(narration = {ended}, {select "
       "pg_terminate_backend(pg_backend_pid()) "
       "from dual}, {select 1 from dual}))')",
       "delete from exprset where exprsetid = 91"},
      {"a TAB in its name", Voucher("anita", 3, "0", "bad"), "", "", "a\tb.pkt", "", false,
       "Skipped v7/site07/send/a\\tb.pkt: a file name may not hold a control character"},
      {"a control character in its name", Voucher("anita", 3, "0", "bad"), "", "", "a\x01x.pkt", "",
       false, "Skipped v7/site07/send/a\\x01x.pkt: a file name may not hold a control"},
      {"a claim with a TAB that an earlier version recorded", Voucher("anita", 3, "0", "bad"), "",
       "", "a\tc.pkt.claim-0123456789ab", "", true,
       "The claim v7/site07/send/a\\tc.pkt.claim-0123456789ab recorded in transit/claims.txt is "
       "no name this client can use (a file name may not hold a control character)"},
      // The server serves it, as v7/victim.pkt.
      {"a name that leaves the folder", Voucher("anita", 3, "0", "bad"), "", "", "../../victim.pkt",
       "v7/site07/send/../../victim.pkt", false,
       "Skipped v7/site07/send/../../victim.pkt: a file name may not hold \"/\""},
      // A server on another system may hold a name longer than a file here may have.
      {"a name too long for a file here", "", "", "", "", std::string(300, 'l') + ".pkt", false,
       "Skipped v7/site07/send/" + std::string(300, 'l') +
           ".pkt: a file name may hold no more than 255 bytes"},
      // Cut at its NUL, the name would claim b1.pkt.
      {"a NUL in its name", "", "", "", "", "b1.pkt\\x00.pkt", false,
       "Skipped v7/site07/send/b1.pkt\\x00.pkt: a file name may not hold a control character"},
      {"it declares more than a packet may unpack to", "", "", "", "a-bad.pkt", "", false, "",
       v7test::PacketBytes("<doc/>", (64u << 20) + 1), "",
       "The packet unpacks to 67108865 bytes, more than the limit of 67108864 bytes for one "
       "packet (setting maxpacketmb)"},
      {"it inflates far past what it declares", "", "", "", "a-bad.pkt", "", false, "",
       v7test::PacketBytes(bomb, 1000)},
      {"it declares more than the setting lets a packet unpack to", "", "", "", "a-bad.pkt", "",
       false, "", v7test::PacketBytes(bomb.substr(0, (1 << 20) - 1) + "/>"), "maxpacketmb=1\n",
       "more than the limit of 1048576 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool siteFails = *c.mend != '\0';
    if (siteFails && !postgre) continue;          // SQLite's own: Transfer_test
    if (!c.refused.empty() && postgre) continue;  // names are no matter of the database
    if (!c.packet.empty() && postgre) continue;   // the same on every database
    SiteCopy copy(postgre);
    if (!copy.Skip().empty()) GTEST_SKIP() << copy.Skip();
    ASSERT_EQ(copy.Failure(), "");
    if (!c.setup.empty()) copy.Exec(c.setup);
    v7test::TestFtpServer server;
    const std::string send = server.Path("v7/site07/send/");
    fs::create_directories(send);
    // Names are listed in order: the bad packet comes first.
    if (!c.file.empty())
      v7test::WriteFile(send + c.file, c.packet.empty() ? v7test::PacketBytes(c.bad) : c.packet);
    if (c.claimed) {
      v7::CreateWorkFolders();
      v7test::WriteFile(v7::kClaimsFile, "v7/site07/send/" + c.file + "\n");
    }
    if (!c.listed.empty()) {
      v7test::WriteFile(server.Path("names.txt"), "v7/site07/send " + c.listed + "\n");
      server.Stop();
      server.Start("elradfmwMT", 0, "list-names=names.txt");
    }
    for (const char* victim : {"victim.pkt", "victim.xml"}) v7test::WriteFile(victim, "mine");
    for (int n = 1; n <= 6; ++n)
      v7test::WriteFile(send + "b" + std::to_string(n) + ".pkt",
                        v7test::PacketBytes(Voucher(n % 2 ? "anita" : "bob", 3 + n % 2, "0",
                                                    "good " + std::to_string(n))));
    v7test::WriteFile("v7rm.ini", "clientlogin=" + copy.Project() + "\nftp=" + server.Host() +
                                      ",site,secret\nxtype=receive\n" + c.settings);
    std::ostringstream pane, boxes;
    v7::ConsoleView view{pane, boxes};
    v7::TfmV7Client client(view);
    client.FormShow();
    ASSERT_EQ(boxes.str(), "") << pane.str();
    if (siteFails) {
      const std::string shown = pane.str();
      const size_t at = shown.find(
          "Packet v7/site07/send/a-bad.pkt was not applied, as the site "
          "failed (");
      EXPECT_NE(shown.find("terminating connection", at), std::string::npos) << shown;
      EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration like 'good%'"), "0");
      copy.Exec(c.mend);
      client.Timer1Timer();
      EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration = 'ended' or "
                            "narration like 'good%'"),
                "7");
      EXPECT_TRUE(fs::is_empty(v7::kFailedFolder));
      EXPECT_TRUE(fs::is_empty(send));
      // The number of the ended session stays taken until it is a day old.
      EXPECT_EQ(copy.Scalar("select count(*) from connectinfo where active <> 'F'"), "1");
      continue;
    }
    if (!c.refused.empty()) {
      EXPECT_NE(pane.str().find(c.refused), std::string::npos) << pane.str();
      EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration like 'good%'"), "6");
      EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration = 'bad'"), "0");
      EXPECT_TRUE(fs::is_empty(v7::kFailedFolder));
      EXPECT_TRUE(c.file.empty() || fs::exists(send + c.file));
      for (const char* victim : {"victim.pkt", "victim.xml"}) {
        EXPECT_EQ(v7test::ReadFile(victim), "mine") << victim;
      }
      EXPECT_TRUE(!c.claimed || v7test::ReadFile(v7::kClaimsFile).empty());
      continue;
    }

    EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration like 'good%'"), "6")
        << pane.str();
    EXPECT_EQ(copy.Scalar("select count(*) from trans2 t2 where exists (select 1 from trans1 t1 "
                          "where t1.trans1id = t2.trans1id and t1.narration like 'good%')"),
              "12");
    EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration = 'bad'"), "0");
    std::vector<std::string> logged;
    for (const auto& entry : fs::directory_iterator(v7::kFailedFolder))
      logged.push_back(entry.path().stem().string());
    EXPECT_FALSE(logged.empty());
    for (const std::string& name : logged) EXPECT_EQ(name, "a-bad");
    EXPECT_NE(pane.str().find(c.shown), std::string::npos) << pane.str();
    // No more than the packet declares, and only when that is within the limit.
    const std::string xml = std::string(v7::kFailedFolder) + "a-bad.xml";
    if (fs::exists(xml)) {
      EXPECT_LE(fs::file_size(xml), c.packet.empty() ? 100000u : 1000u);
    }
    EXPECT_TRUE(fs::is_empty(send));
    EXPECT_EQ(copy.Scalar("select count(*) from connectinfo where active <> 'F'"), "0");
  }
}

TEST(ReceiveStep, FailedPacketFirstCostsNoOther) { FailedPacketFirstCostsNoOther(false); }

TEST(ReceiveStep, FailedPacketFirstCostsNoOtherOnPostgreSQL) {
  FailedPacketFirstCostsNoOther(true);
}

// Writes a file of the process's own (/proc/self/...); false when it is refused.
bool WriteProc(const std::string& file, const std::string& text) {
  std::ofstream out(file);
  out << text;
  return static_cast<bool>(out.flush());
}

// A message pane that hands each whole line to onLine as it is written: the test acts at
// that very point of the step (another program taking the database), without threads.
class LineHookBuf : public std::stringbuf {
 public:
  std::function<void(const std::string&)> onLine;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::streamsize written = std::stringbuf::xsputn(s, n);
    Scan();
    return written;
  }
  int_type overflow(int_type c) override {
    const int_type result = std::stringbuf::overflow(c);
    Scan();
    return result;
  }

 private:
  void Scan() {
    const std::string text = str();
    for (size_t end; (end = text.find('\n', seen_)) != std::string::npos; seen_ = end + 1)
      if (onLine) onLine(text.substr(seen_, end - seen_));
  }
  size_t seen_ = 0;
};

// A site on a real FTP server that a client (the window object) receives for, on the copy's
// project: packets offered in its send folder, cycles run.
class Receiving {
 public:
  explicit Receiving(const std::string& project) : send_(server_.Path("v7/site07/send/")) {
    fs::create_directories(send_);
    fs::create_directories(server_.Path("v7/patches"));
    v7test::WriteFile("v7rm.ini", "clientlogin=" + project + "\nftp=" + server_.Host() +
                                      ",site,secret\nxtype=receive\n");
  }
  void Offer(const std::string& name, const std::string& xml) {
    v7test::WriteFile(send_ + name, v7test::PacketBytes(xml));
  }
  void OfferBytes(const std::string& name, const std::string& bytes) {
    v7test::WriteFile(send_ + name, bytes);
  }
  void Cycle() {
    if (!client_) {
      client_ = std::make_unique<v7::TfmV7Client>(view_);
      client_->FormShow();
      EXPECT_EQ(boxes_.str(), "") << Pane();
    } else {
      client_->Timer1Timer();
    }
  }
  bool Shown(const std::string& part) const { return Pane().find(part) != std::string::npos; }
  std::string Pane() const { return paneBuf_.str(); }
  // Called with each line the step shows, as it is shown.
  void OnLine(std::function<void(const std::string&)> hook) { paneBuf_.onLine = std::move(hook); }
  int Failures() const { return client_ ? client_->Failures() : 0; }
  // The names on the server that begin with name (the packet under its name or claimed).
  int OnServer(const std::string& name) const {
    int n = 0;
    for (const auto& e : fs::directory_iterator(send_))
      n += e.path().filename().string().starts_with(name);
    return n;
  }
  // The counts of the record of waiting packets, in its order.
  static std::string WaitingCounts() {
    std::string counts;
    if (!fs::exists(v7::kWaitingPacketsFile)) return counts;
    std::istringstream in(v7test::ReadFile(v7::kWaitingPacketsFile));
    for (std::string line; std::getline(in, line);)
      counts += (counts.empty() ? "" : " ") + line.substr(0, line.find(' '));
    return counts;
  }

 private:
  v7test::TestFtpServer server_;
  std::string send_;
  LineHookBuf paneBuf_;
  std::ostream pane_{&paneBuf_};
  std::ostringstream boxes_;
  v7::ConsoleView view_{pane_, boxes_};
  std::unique_ptr<v7::TfmV7Client> client_;
};

// A packet whose own work runs past the statement timeout every time, beside good packets: it
// waits after the others, delays none of them, and is named with its cause every step; it is
// never set aside, however many steps it fails in, and once the site lets it through it is
// applied.
TEST(ReceiveStep, PacketThatTimesOutEveryTimeWaitsWhileOthersApplyOnPostgreSQL) {
  SiteCopy copy(true);
  if (!copy.Skip().empty()) GTEST_SKIP() << copy.Skip();
  ASSERT_EQ(copy.Failure(), "");
  copy.Exec(
      "create function slow_voucher() returns trigger language plpgsql as $$ begin "
      "if new.narration = 'slow' then perform pg_sleep(60); end if; return new; end $$");
  copy.Exec(
      "create trigger trans1_slow before insert on trans1 for each row execute function "
      "slow_voucher()");
  copy.Exec("alter database site set statement_timeout = '1s'");
  Receiving site(copy.Project());
  site.Offer("a-slow.pkt", Voucher("anita", 3, "0", "slow"));
  for (int n = 1; n <= 3; ++n)
    site.Offer("b" + std::to_string(n) + ".pkt",
               Voucher("bob", 4, "0", "good " + std::to_string(n)));
  const auto good = [&] {
    return copy.Scalar("select count(*) from trans1 where narration like 'good%'");
  };
  const std::string timeout = "canceling statement due to statement timeout";
  const struct {
    const char* offered;  // a good packet offered before the step, or none
    const char* good;     // good vouchers stored after it
    const char* counts;   // the steps the slow packet failed in
  } steps[] = {
      {"", "3", "1"}, {"", "3", "2"}, {"b4.pkt", "4", "3"}, {"b5.pkt", "5", "4"}, {"", "5", "5"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string("offered ") + step.offered + ", failed " + step.counts);
    if (*step.offered)
      site.Offer(step.offered, Voucher("bob", 4, "0", std::string("good ") + step.offered[1]));
    site.Cycle();
    EXPECT_EQ(good(), step.good) << site.Pane();
    EXPECT_EQ(Receiving::WaitingCounts(), step.counts);
    EXPECT_EQ(site.OnServer("a-slow.pkt"), 1);
    EXPECT_FALSE(fs::exists(std::string(v7::kFailedFolder) + "a-slow.pkt"));
  }
  EXPECT_TRUE(
      site.Shown("Packet v7/site07/send/a-slow.pkt was not applied, as the site failed "
                 "(the database "))
      << site.Pane();
  EXPECT_TRUE(site.Shown("dbname='site'")) << site.Pane();
  EXPECT_TRUE(site.Shown(timeout + "): it stays on the server and waits")) << site.Pane();
  EXPECT_TRUE(site.Shown("the site has failed under it in 5 receive steps")) << site.Pane();
  copy.Exec("alter database site reset statement_timeout");
  copy.Exec("drop trigger trans1_slow on trans1");
  site.Cycle();
  EXPECT_EQ(copy.Scalar("select count(*) from trans1 where narration = 'slow'"), "1");
  EXPECT_EQ(site.OnServer(""), 0);
  EXPECT_EQ(Receiving::WaitingCounts(), "");
}

// Another program holds the site database while one good packet is applied, past the
// client's wait, step after step, while other packets are applied before it (the SQLite file
// held by a second connection's BEGIN EXCLUSIVE; on PostgreSQL a second session holding the
// customer row the invoice updates, past statement_timeout): the invoice
// waits on the server, named with the cause and the database every step, is never set aside,
// and is applied once the other program lets go.
TEST(ReceiveStep, SiteDatabaseHeldByAnotherProgramSetsNoGoodPacketAside) {
  const struct {
    const char* name;
    bool postgre;
    const char* setup;
    const char* shown;
  } cases[] = {
      {"SQLite held exclusive", false, "", "database is locked"},
      {"a row held past statement_timeout", true,
       "alter database site set statement_timeout = '1s'",
       "canceling statement due to statement timeout"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SiteCopy copy(c.postgre);
    if (!copy.Skip().empty()) GTEST_SKIP() << copy.Skip();
    ASSERT_EQ(copy.Failure(), "");
    if (*c.setup) copy.Exec(c.setup);
    sqlite3* file = nullptr;
    v7::TPgBackend session;
    if (c.postgre)
      session.Open(copy.PgTarget());
    else
      ASSERT_EQ(sqlite3_open(copy.DbFile().c_str(), &file), SQLITE_OK);
    const auto hold = [&] {
      if (c.postgre) {
        session.StartTransaction();
        session.Query("select * from customer where customerid = 101 for update");
      } else {
        ASSERT_EQ(sqlite3_exec(file, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
      }
    };
    const auto letGo = [&] {
      if (c.postgre)
        session.Rollback();
      else
        sqlite3_exec(file, "rollback", nullptr, nullptr, nullptr);
    };
    Receiving site(copy.Project());
    // Held from the invoice's download to its failure: the packets before it are applied.
    site.OnLine([&](const std::string& line) {
      if (line == "Downloading v7/site07/send/zz.pkt") hold();
      if (line.starts_with("Packet v7/site07/send/zz.pkt was not applied")) letGo();
    });
    site.Offer("zz.pkt", Invoice("anita", 3, "0", "Cash"));
    const std::string invoices = copy.Scalar("select count(*) from salesinv");
    for (int n = 1; n <= 3; ++n) {
      SCOPED_TRACE(n);
      site.Offer("a" + std::to_string(n) + ".pkt",
                 "<rows table=\"customer\"><row recordid=\"12" + std::to_string(n) +
                     "\"><customerid type=\"n\">12" + std::to_string(n) +
                     "</customerid><custname type=\"c\">Held Traders</custname></row></rows>");
      site.Cycle();
      EXPECT_EQ(copy.Scalar("select count(*) from customer where custname = 'Held Traders'"),
                std::to_string(n))
          << site.Pane();
      EXPECT_EQ(copy.Scalar("select count(*) from salesinv"), invoices);
      EXPECT_EQ(site.OnServer("zz.pkt"), 1);
      EXPECT_TRUE(fs::is_empty(v7::kFailedFolder)) << site.Pane();
      EXPECT_EQ(Receiving::WaitingCounts(), std::to_string(n));
      EXPECT_EQ(site.Failures(), n);
    }
    EXPECT_TRUE(site.Shown(std::string(c.shown) + "): it stays on the server and waits"))
        << site.Pane();
    EXPECT_TRUE(site.Shown(c.postgre ? "dbname='site'" : "the database file " + copy.DbFile()))
        << site.Pane();
    site.OnLine(nullptr);
    site.Cycle();
    EXPECT_EQ(std::stoi(copy.Scalar("select count(*) from salesinv")), std::stoi(invoices) + 1)
        << site.Pane();
    EXPECT_EQ(site.OnServer(""), 0);
    EXPECT_EQ(Receiving::WaitingCounts(), "");
    EXPECT_EQ(site.Failures(), 3);  // the invoice's, one a step while it waited
    if (file) sqlite3_close(file);
  }
}

// A nearly full disk under the site database (a small file system of its own): the small
// packets of each step are applied, the large one fails with the disk full, step after step,
// and is never set aside; once the disk has room it is applied whole. A download into a full
// disk names the cause. Run in a child process with mount and user namespaces of its own.
TEST(ReceiveStep, NearlyFullDiskSetsNoPacketAside) {
  SiteCopy copy(false);
  ASSERT_EQ(copy.Failure(), "");
  const std::string small = copy.Dir().file("small");
  fs::create_directories(small);
  // A path relative to the working folder: the project's value is read lower-cased.
  copy.AddProject("small", "Project=small/site\nDbType=access\nDriver=ado");
  Receiving site("small");
  std::string rows;
  for (int i = 0; i < 190; ++i)
    rows += "<row recordid=\"" + std::to_string(400 + i) + "\"><customerid type=\"n\">" +
            std::to_string(400 + i) + "</customerid><custname type=\"c\">" +
            std::string(5000, static_cast<char>('a' + i % 26)) + "</custname></row>";
  site.Offer("b-wide.pkt", "<rows table=\"customer\">" + rows + "</rows>");
  fflush(stdout);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const bool own = uid == 0
                         ? unshare(CLONE_NEWNS) == 0
                         : unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 &&
                               WriteProc("/proc/self/setgroups", "deny") &&
                               WriteProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
                               WriteProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    if (!own || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16m") != 0)
      _exit(126);
    sqlite3* db = nullptr;
    sqlite3_open(copy.DbFile().c_str(), &db);
    const std::string into = "vacuum into '" + small + "/site.mdb'";
    if (sqlite3_exec(db, into.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) _exit(125);
    sqlite3_close(db);
    // Room for a small packet and the client's own writes, not for the wide one, at the start
    // of every step (the rows the wide one wrote before the disk was full take none of it).
    const auto leaveRoom = [&] {
      fs::remove(small + "/filler");
      struct statvfs room {};
      statvfs(small.c_str(), &room);
      const uintmax_t free = uintmax_t{room.f_bavail} * room.f_frsize;
      v7test::WriteFile(small + "/filler", std::string(free - 160 * 1024, 'x'));
    };
    v7::TSqliteBackend check;
    const auto stored = [&](const std::string& where) {
      check.Open(small + "/site.mdb");
      const v7::TDbValue n =
          check.Query("select count(*) from customer where " + where).Rows.at(0).at(0);
      check.Close();
      return std::to_string(n.Int);
    };
    for (int n = 1; n <= 3; ++n) {
      SCOPED_TRACE(n);
      site.Offer("a" + std::to_string(n) + ".pkt",
                 "<rows table=\"customer\"><row recordid=\"13" + std::to_string(n) +
                     "\"><customerid type=\"n\">13" + std::to_string(n) +
                     "</customerid><custname type=\"c\">Small Traders</custname></row></rows>");
      leaveRoom();
      site.Cycle();
      EXPECT_EQ(stored("custname = 'Small Traders'"), std::to_string(n)) << site.Pane();
      EXPECT_EQ(site.OnServer("b-wide.pkt"), 1);
      EXPECT_TRUE(fs::is_empty(v7::kFailedFolder)) << site.Pane();
      EXPECT_EQ(Receiving::WaitingCounts(), std::to_string(n));
    }
    EXPECT_TRUE(site.Shown("(the database file " + small + "/site.mdb: database or disk is full"))
        << site.Pane();
    fs::remove(small + "/filler");
    site.Cycle();
    EXPECT_EQ(stored("customerid between 400 and 589"), "190") << site.Pane();
    EXPECT_EQ(site.OnServer(""), 0);

    // The receive folder on a disk too small for the packet.
    if (mount("tmpfs", v7::kReceiveFolder, "tmpfs", 0, "size=64k") != 0) _exit(124);
    fs::create_directories(v7::kFailedFolder);
    std::string noise(256 * 1024, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    site.OfferBytes("c-wide.pkt", noise);
    site.Cycle();
    const std::string pane = site.Pane();
    const size_t failed = pane.find("Packet v7/site07/send/c-wide.pkt could not be downloaded: ");
    EXPECT_NE(pane.find("(No space left on device)", failed), std::string::npos) << pane;
    EXPECT_EQ(site.OnServer("c-wide.pkt"), 1);
    fflush(stdout);
    _exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 126) GTEST_SKIP() << "no mount namespace for a small file system";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's failures above";
}

// The site failing from the middle of a step on (its database turned read-only, deadlocks and
// serialization failures with the site's own program), or a role that may not make the table
// of new documents: the packets wait, for as many steps as the failure lasts, no good packet
// is set aside, those the site does not fail under are applied meanwhile, and once it is
// mended every packet is applied.
TEST(ReceiveStep, SiteFailuresSetNoGoodPacketAsideOnPostgreSQL) {
  // From the voucher "good 3" on, every voucher's insert fails as action says.
  const auto failing = [](const std::string& arm, const std::string& action) {
    return "create table armed (x integer);"
           "create function site_fails() returns trigger language plpgsql as $$ begin "
           "if new.narration = 'good 3' then " +
           arm +
           "; return new; end if; "
           "if exists (select 1 from armed) then " +
           action +
           "; end if; return new; end $$;"
           "create trigger trans1_fails before insert on trans1 for each row execute "
           "function site_fails()";
  };
  const struct {
    const char* name;
    std::string setup;    // before the first step
    std::string lasting;  // after it: the failure lasts three more steps
    std::string mend;
    const char* shown;
    const char* firstGood;    // good vouchers stored by the first step
    const char* lastingGood;  // and while the failure lasts
    bool role;  // the client signs in as a role without CREATE on public, v7applied is missing
  } cases[] = {
      {"the database turns read-only",
       failing("perform set_config('default_transaction_read_only', 'on', false)", "null"),
       "alter database site set default_transaction_read_only = on",
       "alter database site reset default_transaction_read_only", "in a read-only transaction", "3",
       "3", false},
      {"deadlocks with the site's program",
       failing("insert into armed values (1)",
               "raise exception 'deadlock detected' using errcode = '40P01'"),
       "", "delete from armed", "deadlock detected", "3", "3", false},
      {"serialization failures",
       failing("insert into armed values (1)",
               "raise exception 'could not serialize access due to concurrent update' using "
               "errcode = '40001'"),
       "", "delete from armed", "could not serialize access", "3", "3", false},
      {"a role without CREATE on public", "drop table v7applied", "", "",
       "The site database has no table v7applied, and it could not be made (permission denied "
       "for schema public): run scripts/site/postgre.sql on the site database as its owner",
       "5", "5", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SiteCopy copy(true);
    if (!copy.Skip().empty()) GTEST_SKIP() << copy.Skip();
    ASSERT_EQ(copy.Failure(), "");
    copy.Exec(c.setup);
    std::string project = copy.Project();
    if (c.role) {
      project = copy.AddRoleProject("clerk");
      copy.Exec("grant all on all tables in schema public to clerk");
    }
    Receiving site(project);
    site.Offer("a-table.pkt",
               "<rows table=\"customer\"><row recordid=\"105\"><customerid type=\"n\">105"
               "</customerid><custname type=\"c\">Late Traders</custname></row></rows>");
    // The first voucher is new; the others carry the ids they have at their sites.
    for (int n = 1; n <= 6; ++n)
      site.Offer(
          "b" + std::to_string(n) + ".pkt",
          Voucher(n % 2 ? "anita" : "bob", 3 + n % 2,
                  n == 1 ? "0" : std::to_string(3 + n % 2) + "0001000000010" + std::to_string(n),
                  "good " + std::to_string(n)));
    const auto good = [&] {
      return copy.Scalar("select count(*) from trans1 where narration like 'good%'");
    };
    site.Cycle();
    EXPECT_TRUE(site.Shown(c.shown)) << site.Pane();
    EXPECT_EQ(copy.Scalar("select custname from customer where customerid = 105"), "Late Traders");
    EXPECT_EQ(good(), c.firstGood);
    if (!c.lasting.empty()) copy.Exec(c.lasting);
    // Table packets come meanwhile, and are applied wherever the site lets them.
    for (int n = 6; n <= 8; ++n) {
      site.Offer("a-table" + std::to_string(n) + ".pkt",
                 "<rows table=\"customer\"><row recordid=\"10" + std::to_string(n) +
                     "\"><customerid type=\"n\">10" + std::to_string(n) +
                     "</customerid><custname type=\"c\">Late Traders</custname></row></rows>");
      site.Cycle();
    }
    EXPECT_EQ(good(), c.lastingGood);
    EXPECT_TRUE(fs::is_empty(v7::kFailedFolder)) << site.Pane();
    EXPECT_TRUE(site.Shown("it stays on the server and waits, after the other packets"))
        << site.Pane();

    if (!c.mend.empty()) copy.Exec(c.mend);
    if (c.role) {
      copy.RunSiteScript("postgre.sql");
      copy.Exec("grant all on v7applied to clerk");
    }
    site.Cycle();
    EXPECT_EQ(good(), "6") << site.Pane();
    EXPECT_EQ(copy.Scalar("select count(*) from customer where custname = 'Late Traders'"), "4");
    EXPECT_TRUE(fs::is_empty(v7::kFailedFolder));
    EXPECT_EQ(site.OnServer(""), 0);
    EXPECT_EQ(Receiving::WaitingCounts(), "");
  }
}

// A real client killed right after the commit of a new document, before it recorded the
// packet as handled (it waits for that record: a pipe stands where the record's new copy is
// written): the site database's record names the document saved, and the next step finds it
// and saves it no second time, though the client stopped as often as it may while applying
// one packet (stops after the commit do not count). The files of the packet that the stop
// left in the receive folder go. On PostgreSQL another program holds that record's row: the
// packet stays on the server until the next step has deleted it.
void NewDocumentStoppedAfterItsCommitIsSavedOnce(bool postgre) {
  SiteCopy copy(postgre);
  if (!copy.Skip().empty()) GTEST_SKIP() << copy.Skip();
  ASSERT_EQ(copy.Failure(), "");
  v7test::TestFtpServer server;
  const std::string send = server.Path("v7/site07/send/");
  fs::create_directories(send);
  v7test::WriteFile(send + "inv.pkt", v7test::PacketBytes(Invoice("anita", 3, "0", "Cash")));
  v7test::WriteFile("v7rm.ini", "clientlogin=" + copy.Project() + "\nftp=" + server.Host() +
                                    ",site,secret\nxtype=receive\n");
  const auto invoices = [&] { return std::stoi(copy.Scalar("select count(*) from salesinv")); };
  const auto balance = [&] {
    return copy.Scalar("select balance from customer where customerid = 101");
  };
  const int before = invoices();
  const std::string balanceBefore = balance();
  v7::CreateWorkFolders();
  const std::string pipe = std::string(v7::kHandledPacketsFile) + ".new";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const rlimit core{0, 0};
    setrlimit(RLIMIT_CORE, &core);
    freopen("client.log", "w", stdout);
    const std::string program = std::string(std::getenv("V7_BUILD_DIR")) + "/app/v7client";
    execl(program.c_str(), program.c_str(), "--console", "--cycles", "1", "--config",
          copy.Dir().path().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (invoices() == before && waitpid(pid, &status, WNOHANG) == 0) usleep(1000);
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << v7test::ReadFile("client.log");
  ASSERT_EQ(invoices(), before + 1);
  const std::string balanceAfter = balance();
  EXPECT_NE(balanceAfter, balanceBefore);
  fs::remove(pipe);
  EXPECT_EQ(copy.Scalar("select count(*) from salesinv where salesinvid = (select "
                        "cast(recordid as numeric) from v7applied) and salesinvid <> 0"),
            "1");
  const std::string bytes = v7test::PacketBytes(Invoice("anita", 3, "0", "Cash"));
  v7test::WriteFile(v7::kApplyingPacketsFile, std::to_string(v7::kMaxApplyDeaths) + " " +
                                                  v7::BytesDigest(bytes) + " inv.pkt\n");
  EXPECT_TRUE(fs::exists(std::string(v7::kReceiveFolder) + "inv.pkt"));
  v7test::WriteFile(std::string(v7::kReceiveFolder) + "older.xml", "<cut");
  v7::TPgBackend locker;
  if (postgre) {
    locker.Open(copy.PgTarget());
    locker.StartTransaction();
    locker.Query("select * from v7applied for update");
  }

  std::ostringstream pane, boxes;
  v7::ConsoleView view{pane, boxes};
  v7::TfmV7Client client(view);
  client.FormShow();
  EXPECT_EQ(invoices(), before + 1) << pane.str();
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(v7::kReceiveFolder))
    left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"log"});
  if (postgre) {
    EXPECT_NE(pane.str().find("The row in v7applied of the document that packet "
                              "v7/site07/send/inv.pkt saved could not be deleted"),
              std::string::npos)
        << pane.str();
    EXPECT_FALSE(fs::is_empty(send));
    locker.Rollback();
    client.Timer1Timer();
    EXPECT_EQ(invoices(), before + 1) << pane.str();
  }
  EXPECT_EQ(balance(), balanceAfter);
  EXPECT_TRUE(fs::is_empty(send)) << pane.str();
  EXPECT_TRUE(fs::is_empty(v7::kFailedFolder));
  EXPECT_EQ(copy.Scalar("select count(*) from v7applied"), "0");
  EXPECT_EQ(v7test::ReadFile(v7::kApplyingPacketsFile), "");

  // Sent again on purpose once it has left the server, it is a new invoice.
  v7test::WriteFile(send + "inv.pkt", v7test::PacketBytes(Invoice("anita", 3, "0", "Cash")));
  client.Timer1Timer();
  EXPECT_EQ(invoices(), before + 2) << pane.str();
}

TEST(ReceiveStep, NewDocumentStoppedAfterItsCommitIsSavedOnce) {
  NewDocumentStoppedAfterItsCommitIsSavedOnce(false);
}

TEST(ReceiveStep, NewDocumentStoppedAfterItsCommitIsSavedOnceOnPostgreSQL) {
  NewDocumentStoppedAfterItsCommitIsSavedOnce(true);
}

}  // namespace
