// Document packets applied by the client to a real SQLite site of the sample product: new,
// changed, cancelled and deleted documents, each in its own transaction under the sending
// site's number, and failed packets rolled back and kept by the receive step.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "PacketFixtures.h"
#include "PgSite.h"
#include "SampleProduct.h"
#include "uConsoleView.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uTransfer.h"

namespace {

namespace fs = std::filesystem;

class PostDocumentTest : public ::testing::Test {
 protected:
  PostDocumentTest() : site(dir.path()), cwd(dir.path()) { v7test::ApplySampleProduct(site, true); }
  void Connect() {
    client = std::make_unique<v7::TfmV7Client>(view);
    std::string err;
    client->ConnectProject(pg ? v7test::PgSite::kProject : "site", err);
    ASSERT_EQ(err, "");
  }
  // Applies the packets from now on to a copy of the sample product on PostgreSQL; false
  // (the test skipped or failed) when there is none.
  bool OnPostgreSQL() {
    pg = std::make_unique<v7test::PgSite>(v7test::PgSite::Content::Product);
    if (!pg->Skip().empty()) return false;
    EXPECT_EQ(pg->Failure(), "");
    if (!pg->Ready()) return false;
    pg->AddProject(site);
    client.reset();
    return true;
  }
  // Applies a packet of the given XML text; answers the error text.
  std::string Post(const std::string& xml) {
    if (!client) Connect();
    const std::string file = dir.path() + "/packet.xml";
    v7test::WriteFile(file, xml);
    std::string err;
    client->Postdata(file, err);
    return err;
  }
  // Scripts of jv that run the statement text that scriptsql holds for their event: "load"
  // before each validation (on loading a stored voucher and on saving), "save" after the
  // save. They may write into scriptlog.
  void AddScripts() {
    Exec("create table scriptsql (event varchar(10) primary key, sqltext varchar(300))");
    Exec(
        "insert into scriptsql values ('load', 'select 1 from dual'), ('save', 'select 1 "
        "from dual')");
    Exec("create table scriptlog (n integer primary key)");
    Exec(
        "insert into exprset (exprsetid, transid, expression) values (93, 'jv', "
        "'{onpostgenmap}\na := firesql({loadq}, {select sqltext from scriptsql where event = "
        "''load''})\nb := firesql({loadrun}, sqlget({loadq}, {sqltext}))\n{aftersave}\nc := "
        "firesql({saveq}, {select sqltext from scriptsql where event = ''save''})\nd := "
        "firesql({saverun}, sqlget({saveq}, {sqltext}))')");
  }
  void SetScript(const std::string& event, const std::string& sql) {
    Exec("update scriptsql set sqltext = '" + v7::ReplaceAll(sql, "'", "''") + "' where event = '" +
         event + "'");
  }
  std::string Sql(const std::string& sql) const { return pg ? pg->Scalar(sql) : site.Scalar(sql); }
  v7::TDbRowSet Query(const std::string& sql) const {
    return pg ? pg->db.Query(sql) : site.Query(sql);
  }
  void Exec(const std::string& sql) const { pg ? (void)pg->db.Execute(sql) : site.Exec(sql); }

  v7test::TempDir dir;
  v7test::SiteDb site;
  v7test::WorkingFolder cwd;
  std::ostringstream pane, boxes;
  v7::ConsoleView view{pane, boxes};
  std::unique_ptr<v7test::PgSite> pg;
  std::unique_ptr<v7::TfmV7Client> client;
};

// A journal voucher packet of site 3 with the given record id, extra attributes and
// elements: a header and two entry rows.
std::string Voucher(const std::string& recordId, const std::string& attributes = "",
                    const std::string& elements =
                        "<vchdate>01/07/2026</vchdate><narration>cash to bank</narration>"
                        "<mid id=\"111\">Cash</mid><porm>1</porm><amount>100</amount>"
                        "<mid id=\"112\">Bank</mid><porm>2</porm><amount>40</amount>") {
  return "<doc user=\"anita\" siteno=\"3\" transid=\"jv\" recordid=\"" + recordId + "\" " +
         attributes + ">" + elements + "</doc>";
}

TEST_F(PostDocumentTest, PacketsWithoutTheirAttributesAreRefusedAndTheSiteNumberComesBack) {
  EXPECT_EQ(Post("<doc siteno=\"3\" transid=\"jv\" recordid=\"0\"/>"),
            "The packet has no \"user\" attribute");
  // A site number that is no integer, or none that fits, is the packet's fault, said as such.
  for (const char* siteNo : {"x3", "", "-", "99999999999"})
    EXPECT_EQ(Post("<doc user=\"anita\" siteno=\"" + std::string(siteNo) +
                   "\" transid=\"jv\" recordid=\"0\"/>"),
              "'" + std::string(siteNo) + "' is not a valid integer value")
        << siteNo;
  EXPECT_EQ(Post("<doc user=\"anita\" siteno=\"3\" recordid=\"0\"/>"),
            "The packet has no \"transid\" attribute");
  // An empty type prepares nothing to apply the packet with, whatever its record id.
  for (const char* attributes : {"recordid=\"0\"", "recordid=\"300010000000001\"",
                                 "recordid=\"300010000000001\" deltrans=\"true\""})
    EXPECT_EQ(Post("<doc user=\"anita\" siteno=\"7\" transid=\"\" " + std::string(attributes) +
                   "><vchdate>01/07/2026</vchdate></doc>"),
              "The packet's \"transid\" attribute is empty")
        << attributes;
  EXPECT_EQ(Post("<doc user=\"anita\" siteno=\"3\" transid=\"jv\" recordid=\"12.5\"/>"),
            "Invalid record id in packet: \"12.5\"\r\n");
  EXPECT_EQ(v7::SiteNo, 7);
  EXPECT_EQ(Sql("select count(*) from trans1"), "0");
}

TEST_F(PostDocumentTest, DocumentsAreCreatedChangedCancelledAndDeleted) {
  // A new document with an id of its own, written under the sender's site and user.
  ASSERT_EQ(Post(Voucher("300010000000001")), "");
  EXPECT_EQ(v7::SiteNo, 7);
  EXPECT_EQ(v7::UserName, "anita");
  EXPECT_EQ(Sql("select vchno || ':' || narration || ':' || siteno || ':' || username || ':' || "
                "cancel from trans1 where trans1id = 300010000000001"),
            "JV000001:cash to bank:3:anita:F");
  EXPECT_EQ(Sql("select group_concat(trans2row || ':' || mid || ':' || porm || ':' || "
                "printf('%g', amount) || ':' || siteno, ',') from (select * from trans2 where "
                "trans1id = 300010000000001 order by trans2row)"),
            "1:111:1:100:3,2:112:2:40:3");
  EXPECT_EQ(Sql("select printf('%g', balance) from account where accountid = 111"), "100");

  // A change that carries one value: the rows it does not carry keep theirs.
  ASSERT_EQ(Post(Voucher("300010000000001", "", "<amount>90</amount>")), "");
  EXPECT_EQ(Sql("select group_concat(mid || ':' || printf('%g', amount), ',') from (select * "
                "from trans2 where trans1id = 300010000000001 order by trans2row)"),
            "111:90,112:40");
  EXPECT_EQ(Sql("select vchno from trans1 where trans1id = 300010000000001"), "JV000001");
  EXPECT_EQ(Sql("select printf('%g', balance) from account where accountid = 111"), "90");

  // Cancelling a stored document applies none of the packet's values.
  ASSERT_EQ(Post(Voucher("300010000000001", "cancel=\"true\"", "<amount>1</amount>")), "");
  EXPECT_EQ(Sql("select group_concat(cancel, '') from (select cancel from trans1 where "
                "trans1id = 300010000000001 union all select cancel from trans2 where "
                "trans1id = 300010000000001)"),
            "TTT");
  EXPECT_EQ(Sql("select printf('%g', max(amount)) from trans2"), "90");

  ASSERT_EQ(Post(Voucher("300010000000001", "deltrans=\"true\"")), "");
  EXPECT_EQ(Sql("select count(*) from trans2 where trans1id = 300010000000001"), "0");
  EXPECT_EQ(Sql("select count(*) from trans1 where trans1id = 300010000000001"), "0");

  // With record id 0 the flags mean nothing: a new document with a fresh id.
  ASSERT_EQ(Post(Voucher("0", "deltrans=\"true\" cancel=\"true\"")), "");
  EXPECT_EQ(Sql("select count(*) || min(cancel) from trans1 where vchno = 'JV000002'"), "1F");
  EXPECT_EQ(Sql("select count(*) from trans1"), "1");

  // A new document that arrives cancelled is saved, then cancelled.
  ASSERT_EQ(Post(Voucher("300010000000002", "cancel=\"true\"")), "");
  EXPECT_EQ(Sql("select group_concat(cancel, '') from (select cancel from trans1 where "
                "trans1id = 300010000000002 union all select cancel from trans2 where "
                "trans1id = 300010000000002)"),
            "TTT");

  // The type prepared for the packets above serves the next one under its own user and site.
  ASSERT_EQ(Post(v7::ReplaceAll(v7::ReplaceAll(Voucher("300010000000004"), "anita", "bob"),
                                "siteno=\"3\"", "siteno=\"4\"")),
            "");
  EXPECT_EQ(Sql("select siteno || ':' || username from trans1 where trans1id = 300010000000004"),
            "4:bob");
  // A table packet may change a definition: the next document reads it anew.
  ASSERT_EQ(Post("<rows table=\"transdefmaster\"><row recordid=\"4\"><savecontrolfield "
                 "type=\"c\">narration</savecontrolfield></row></rows>"),
            "");
  EXPECT_NE(Post(Voucher("300010000000008")).find("Saving this document is not allowed"),
            std::string::npos);
}

// An invoice packet: prices come from the item master, the customer's balance moves, and
// the documents linked to it are generated with it and deleted with it.
TEST_F(PostDocumentTest, InvoicePacketBringsItsLinkedDocumentsAndTakesThemAway) {
  const std::string invoice =
      "<doc user=\"anita\" siteno=\"3\" transid=\"salesinv\" recordid=\"300010000000009\" %s>"
      "<invdate>20/06/2026</invdate><customer id=\"101\">Acme Stores</customer>"
      "<paymode>Cash</paymode><totalamt>145</totalamt>"
      "<item id=\"201\">Blue Pen</item><qty>2</qty><amount>25</amount>"
      "<item id=\"203\">Notebook</item><qty>3</qty><amount>120</amount></doc>";
  auto linked = [&] {
    return Sql(
        "select (select count(*) from salesinvap where t1sourceid = 300010000000009) || "
        "(select count(*) from trans1) || (select count(*) from receipt)");
  };
  ASSERT_EQ(Post(v7::ReplaceAll(invoice, "%s", "")), "");
  EXPECT_EQ(Sql("select invno || ':' || customer || ':' || siteno from salesinv where "
                "salesinvid = 300010000000009"),
            "INV000042:101:3");
  EXPECT_EQ(Sql("select group_concat(item || ':' || printf('%g', price), ',') from (select * "
                "from salesinvdet where salesinvid = 300010000000009 order by salesinvdetrow)"),
            "201:12.5,203:40");
  EXPECT_EQ(Sql("select printf('%g', balance) from customer where customerid = 101"), "145");
  EXPECT_EQ(linked(), "121");

  ASSERT_EQ(Post(v7::ReplaceAll(invoice, "%s", "deltrans=\"true\"")), "");
  EXPECT_EQ(Sql("select count(*) from salesinv where salesinvid = 300010000000009"), "0");
  EXPECT_EQ(Sql("select printf('%g', balance) from customer where customerid = 101"), "0");
  EXPECT_EQ(linked(), "000");
}

TEST_F(PostDocumentTest, NumericFieldsTakeTheIdOfAnElementAndTextsAreWhole) {
  // T1HiDbMid is numeric: the id is the value; mid is a text field: the text stays and the id
  // goes beside it. Ids of sites from 901 up have 16 digits: every one of them counts. A
  // value's text runs on over CDATA sections and comments.
  ASSERT_EQ(Post(Voucher("9990001000000007", "",
                         "<vchdate>01/07/2026</vchdate>"
                         "<narration>a<![CDATA[<b>&]]>c<!-- note -->d</narration>"
                         "<T1HiDbMid id=\"9,010,001,000,000,001\">Bank</T1HiDbMid>"
                         "<mid id=\" 9990001000000003 \">Cash</mid><amount>5</amount>")),
            "");
  EXPECT_EQ(
      Sql("select t1hidbmid || ':' || narration from trans1 where trans1id = 9990001000000007"),
      "9010001000000001:a<b>&cd");
  EXPECT_EQ(Sql("select mid from trans2 where trans1id = 9990001000000007"), "9990001000000003");
}

// A packet whose save fails half-way (its entry row takes the id of a stored row): the
// header already written and the number taken are rolled back, and the receive step keeps
// the packet in the log folder; the good packet beside it is applied.
TEST_F(PostDocumentTest, FailedSaveIsRolledBackAndTheReceiveStepKeepsThePacket) {
  site.Exec("insert into trans2 (trans2id, trans1id, trans2row) values (77, 1, 1)");
  v7test::TestFtpServer server;
  fs::create_directories(server.Path("v7/site07/send"));
  v7test::WriteFile(
      server.Path("v7/site07/send/bad.pkt"),
      v7test::PacketBytes(Voucher("300010000000005", "",
                                  "<vchdate>01/07/2026</vchdate><mid id=\"111\">Cash</mid>"
                                  "<amount>5</amount><trans2id>77</trans2id>")));
  v7test::WriteFile(server.Path("v7/site07/send/notype.pkt"),
                    v7test::PacketBytes(v7::ReplaceAll(Voucher("0"), "\"jv\"", "\"\"")));
  v7test::WriteFile(server.Path("v7/site07/send/good.pkt"),
                    v7test::PacketBytes(Voucher("300010000000006")));
  v7test::WriteFile("v7rm.ini", "clientlogin=site\nftp=" + server.Host() + ",site,secret\n");
  client = std::make_unique<v7::TfmV7Client>(view);
  client->FormShow();
  ASSERT_EQ(boxes.str(), "") << pane.str();

  EXPECT_EQ(Sql("select count(*) from trans1 where trans1id = 300010000000005"), "0");
  EXPECT_EQ(Sql("select vchno from trans1 where trans1id = 300010000000006"), "JV000001");
  EXPECT_EQ(Sql("select printf('%g', balance) from account where accountid = 111"), "100");
  const std::string log = v7::kFailedFolder;
  EXPECT_TRUE(fs::exists(log + "bad.pkt")) << pane.str();
  EXPECT_TRUE(fs::exists(log + "bad.xml"));
  EXPECT_FALSE(fs::exists(log + "good.pkt"));
  EXPECT_FALSE(fs::exists(server.Path("v7/site07/send/bad.pkt")));
  EXPECT_TRUE(fs::exists(log + "notype.pkt"));
  EXPECT_TRUE(fs::is_empty(server.Path("v7/site07/send")));
  EXPECT_NE(pane.str().find("The packet's \"transid\" attribute is empty"), std::string::npos);
  EXPECT_EQ(v7::SiteNo, 7);
}

// The scripts that loading a stored voucher runs belong to the packet's transaction: a
// packet that fails its validation leaves nothing they wrote, and once the operator mends
// the cause and copies the packet back, it writes what one application writes. So on both
// engines, as also a load-time text of several statements, whole or not at all.
TEST_F(PostDocumentTest, ScriptsOfTheLoadWriteInsideThePacketsTransaction) {
  for (const bool postgre : {false, true}) {
    SCOPED_TRACE(postgre ? "PostgreSQL" : "SQLite");
    if (postgre && !OnPostgreSQL()) continue;
    AddScripts();
    SetScript("load", "insert into scriptlog select coalesce(max(n), 0) + 1 from scriptlog");
    ASSERT_EQ(Post(Voucher("300010000000001")), "");
    EXPECT_EQ(Sql("select count(*) from scriptlog"), "1");  // a new voucher: saved only

    const std::string change = Voucher("300010000000001", "", "<mid>Petty Cash</mid>");
    EXPECT_NE(Post(change).find("Invalid selection \"Petty Cash\""), std::string::npos);
    EXPECT_EQ(Sql("select count(*) from scriptlog"), "1");
    Exec(
        "insert into account (accountid, accname, mparent1, mparent2, mparent3, balance, "
        "mstatus) values (113, 'Petty Cash', 11, 1, 0, 0, 'n')");
    ASSERT_EQ(Post(change), "");
    EXPECT_EQ(Sql("select count(*) from scriptlog"), "3");  // loaded, then saved
    EXPECT_EQ(Sql("select mid from trans2 where trans1id = 300010000000001 and trans2row = 1"),
              "113");

    // Its second statement fails, after the first ran: the change is not stored.
    SetScript("load", "insert into scriptlog values (10); insert into scriptlog values (1)");
    EXPECT_NE(Post(Voucher("300010000000001", "", "<amount>70</amount>")).find(v7::kTextRanInPart),
              std::string::npos);
    EXPECT_EQ(Sql("select count(*) from scriptlog"), "3");
    EXPECT_EQ(Sql("select count(*) from trans2 where amount = 70"), "0");
    client.reset();
  }
}

// A text of several statements in a script gives one outcome on both engines: it runs
// statement by statement, each guarded; one that would end or start a transaction, wherever
// it stands, fails the document, and so does one that fails after others ran. Nothing of a
// failed document stays, and its failure is the packet's error.
TEST_F(PostDocumentTest, ScriptTextsOfSeveralStatementsGiveOneOutcomeOnBothEngines) {
  struct Case {
    const char* sql;
    const char* failure;  // empty: the voucher is saved
    const char* rows;     // scriptlog after it
  };
  const Case cases[] = {
      {"insert into scriptlog values (1); insert into scriptlog values (2);", "", "1,2"},
      {"/* first */ insert into scriptlog values (3); -- ; commit\n"
       "insert into scriptlog (\"n\") values (4)",
       "", "3,4"},
      {"insert into scriptlog values (5); commit", "\"commit\"", ""},
      {"commit; insert into scriptlog values (5)", "\"commit\"", ""},
      {"insert into scriptlog values (5); end; insert into scriptlog values (6)", "\"end\"", ""},
      {"select 1 from dual; rollback", "\"rollback\"", ""},
      {"insert into scriptlog values (5); insert into scriptlog values (5)", v7::kTextRanInPart,
       ""},
  };
  for (const bool postgre : {false, true}) {
    SCOPED_TRACE(postgre ? "PostgreSQL" : "SQLite");
    if (postgre && !OnPostgreSQL()) continue;
    AddScripts();
    int id = 10;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.sql);
      SetScript("save", c.sql);
      const std::string recordId = "3000100000000" + std::to_string(id++);
      const std::string err = Post(Voucher(recordId));
      if (*c.failure) {
        EXPECT_NE(err.find(c.failure), std::string::npos) << err;
      } else {
        EXPECT_EQ(err, "");
      }
      EXPECT_EQ(Sql("select count(*) from trans1 where trans1id = " + recordId),
                *c.failure ? "0" : "1");
      std::string rows;
      for (const auto& row : Query("select n from scriptlog order by n").Rows)
        rows += (rows.empty() ? "" : ",") + std::to_string(row[0].Int);
      EXPECT_EQ(rows, c.rows);
      Exec("delete from scriptlog");
    }
    client.reset();
  }
}

}  // namespace
