// Reading packets and applying table packets to a real SQLite site.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pugixml.hpp>

#include "PacketFixtures.h"
#include "SiteDb.h"
#include "uPacket.h"
#include "uSqliteBackend.h"
#include "uXDS.h"

using namespace v7;
using v7test::SamplePacket;
using v7test::SiteDb;
using v7test::TempDir;
using v7test::WriteFile;

namespace {

class PacketTest : public ::testing::Test {
 protected:
  PacketTest() : site(dir.path()) {
    site.ApplyScript("sample_product.sql");
    manager = site.Connect();
    target.NewQuery = [this] { return manager->NewQuery(); };
    target.Trace = [this](const std::string& text) { traced.push_back(text); };
  }

  // Applies an XML text as a packet file; returns the error text.
  std::string Post(const std::string& xml) {
    WriteFile(dir.file("packet.xml"), xml);
    std::string err = "unset";
    Postdata(dir.file("packet.xml"), target, err);
    return err;
  }

  std::string Item(int id, const std::string& column) {
    return site.Scalar("select " + column + " from item where itemid=" + std::to_string(id));
  }
  int Items() { return std::stoi(site.Scalar("select count(*) from item")); }

  TempDir dir;
  SiteDb site;
  std::unique_ptr<TDBManager> manager;
  TPacketTarget target;
  std::vector<std::string> traced;
};

}  // namespace

TEST_F(PacketTest, TablePacketInsertsUpdatesAndDeletesRows) {
  ASSERT_EQ(Items(), 3);
  EXPECT_EQ(Post(SamplePacket("items_table.xml")), "");
  EXPECT_EQ(Item(201, "itemname"), "Blue Pen (new)");
  EXPECT_EQ(Item(201, "price"), "13.75");
  EXPECT_EQ(Item(201, "stockqty"), "100");  // a column the packet does not carry is kept
  EXPECT_EQ(Item(250, "itemname"), "Stapler O'Neil");
  EXPECT_EQ(Item(250, "stockqty"), "");  // empty value: null on insert
  EXPECT_EQ(Item(203, "itemname"), "");
  EXPECT_EQ(Item(202, "itemname"), "Men's Shirt XL");  // "True" is no delete
  EXPECT_EQ(Items(), 3);

  // A row whose id matches nothing is inserted without its key unless the packet has it. A
  // value runs on over CDATA sections and comments.
  EXPECT_EQ(Post("<r table=\"item\"><x recordid=\"999\"><itemname type=\"c\">Lo<![CDATA[<o>]]>"
                 "<!-- c -->se</itemname></x></r>"),
            "");
  EXPECT_EQ(site.Scalar("select count(*) from item where itemname='Lo<o>se' and itemid is null"),
            "1");
  // A 16-digit id written with an exponent still names its row exactly.
  site.Exec("insert into item (itemid, itemname) values (9990001000000003, 'Far')");
  EXPECT_EQ(Post("<r table=\"item\"><x recordid=\"9.990001000000003E+15\">"
                 "<itemname type=\"c\">Far (new)</itemname></x></r>"),
            "");
  EXPECT_EQ(site.Scalar("select group_concat(itemname) from item where itemid > 9990001000000000"),
            "Far (new)");
  EXPECT_EQ(Post("<r table=\"item\"/>"), "");
}

TEST_F(PacketTest, UnsafeNamesAreRefusedBeforeAnyRowAndFailuresKeepEarlierRows) {
  EXPECT_EQ(Post(SamplePacket("bad_table_name.xml")),
            "Invalid table name in packet: \"item; drop table customer; --\"");
  EXPECT_EQ(Post(SamplePacket("bad_column_name.xml")),
            "Invalid column name in packet: \"price-x\"");
  EXPECT_EQ(Item(201, "itemname"), "Blue Pen");
  EXPECT_EQ(Post(SamplePacket("bad_record_id.xml")), "Invalid record id in packet: \"201 or 1=1\"");
  EXPECT_EQ(Post("<r table=\"item\"><x deltrans=\"true\"/></r>"),
            "Invalid record id in packet: \"\"");
  EXPECT_EQ(Items(), 3);
  EXPECT_EQ(site.Scalar("select count(*) from customer"), "3");
  EXPECT_EQ(traced.back(), "# 1#Error Invalid record id in packet: \"\"");

  // A database failure ends the packet and keeps the rows written before it.
  const std::string err = Post(SamplePacket("unknown_column.xml"));
  EXPECT_NE(err.find("colour"), std::string::npos) << err;
  EXPECT_EQ(Item(260, "itemname"), "Ruler");
  EXPECT_EQ(Item(262, "itemname"), "");

  // A database that another program keeps locked is no fault of the packet: the failure is
  // the site's, and the packet applies once the lock is gone.
  auto holder = std::make_shared<TSqliteBackend>();
  holder->Open(site.DbFile());
  holder->StartTransaction();
  holder->Execute("update item set price = price where itemid = 201");
  auto waiting = std::make_shared<TSqliteBackend>();
  waiting->BusyTimeoutMs = 20;
  waiting->Open(site.DbFile());
  target.NewQuery = [&] { return std::make_unique<TXDS>("ado", waiting, TTraceProc{}, "access"); };
  try {
    Post(SamplePacket("items_table.xml"));
    ADD_FAILURE() << "no failure of the site";
  } catch (const ESiteFailure& e) {
    EXPECT_STREQ(e.what(), "database is locked");
  }
  holder->Rollback();
  EXPECT_EQ(Post(SamplePacket("items_table.xml")), "");
  EXPECT_EQ(Item(201, "itemname"), "Blue Pen (new)");
}

TEST_F(PacketTest, EmptyMalformedAndDocumentFiles) {
  for (const char* empty : {"", "  \r\n", "<?xml version=\"1.0\"?>\r\n<!-- nothing -->"}) {
    traced.clear();
    EXPECT_EQ(Post(empty), "");
    EXPECT_EQ(traced.back(), "# 1#File is empty.");
  }
  for (const char* bad : {"<rows table=\"item\"><row", "hello", "<a/><b/>", "<a/>junk"}) {
    const std::string err = Post(bad);
    EXPECT_FALSE(err.empty()) << bad;
    EXPECT_EQ(traced.back(), "# 1#Error " + err);
  }
  // A root with an empty table attribute is a document packet.
  EXPECT_EQ(Post("<doc table=\"\" transid=\"salesinv\"/>"), kNoDocumentEngine);
  EXPECT_EQ(Post(SamplePacket("document.xml")), kNoDocumentEngine);
  std::string seen;
  target.PostDocument = [&](const pugi::xml_document& doc, std::string& err) {
    seen = doc.document_element().attribute("transid").value();
    err = "refused by engine";
  };
  SiteNo = 7;
  EXPECT_EQ(Post(SamplePacket("document.xml")), "refused by engine");
  EXPECT_EQ(seen, "salesinv");
  EXPECT_EQ(SiteNo, 7);

  std::string err;
  Postdata(dir.file("missing.xml"), target, err);
  EXPECT_NE(err.find("missing.xml"), std::string::npos);
}

// A packet costs a small multiple of its text: it is read, converted and parsed without a copy
// for each stage (a packet near the limit would otherwise take gigabytes). Measured in a
// child process, whose peak is this packet's alone.
TEST_F(PacketTest, APacketCostsASmallMultipleOfItsText) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer keeps freed memory aside";
#endif
  const struct {
    const char* name;
    std::string head;  // before the rows; a declaration makes the text go through iconv
  } cases[] = {{"UTF-8", ""},
               {"windows-1252", "<?xml version=\"1.0\" encoding=\"windows-1252\"?>"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t size = 0;
    {
      std::string xml = c.head + "<rows table=\"no such table\">";
      while (xml.size() < (24u << 20))
        xml += "<row recordid=\"1\"><itemname type=\"c\">" + std::string(200, 'v') +
               "</itemname></row>";
      xml += "</rows>";
      size = xml.size();
      WriteFile(dir.file("big.xml"), xml);
    }
    const pid_t child = fork();
    if (child == 0) {
      rusage before{}, after{};
      getrusage(RUSAGE_SELF, &before);
      std::string err;
      Postdata(dir.file("big.xml"), target, err);
      getrusage(RUSAGE_SELF, &after);
      const long grown = (after.ru_maxrss - before.ru_maxrss) * 1024L;  // kilobytes
      _exit(err.starts_with("Invalid table name") ? static_cast<int>(grown * 10 / size) : 255);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 255);
    // Tenths of the text's size: the bytes and their conversion, then the parsed rows.
    EXPECT_LE(WEXITSTATUS(status), 35);
  }
}
