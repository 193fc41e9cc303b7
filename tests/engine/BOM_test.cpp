// Bills of materials on a real site: building a bill from the stored component text, the
// CREATEBOM queue, carrying a revised sub-tree into a bill, and copying the bill in force at
// a date into a caller's table.
#include <gtest/gtest.h>

#include <algorithm>

#include "StockSite.h"
#include "uBOM.h"
#include "uGeneralFunctions.h"

namespace {

using v7test::Day;

const char* const kColumns =
    "(bomid numeric, parentid numeric, childid numeric, orderno integer, levelno integer, "
    "parentqty numeric, childqty numeric, effectivedate date, rstatus varchar(1), "
    "hasbom varchar(1), rorderno integer";

// The components of a parent from ITEMCOMPONENT, those with components first.
const char* const kCreateText =
    "select :prmbomid as bomid, c.parentid, c.childid, :prmorderno + c.rorderno as orderno, "
    ":prmlevelno as levelno, 1 as parentqty, c.qty as childqty, null as effectivedate, '' as "
    "rstatus, case when exists (select 1 from itemcomponent x where x.parentid = c.childid) "
    "then 'T' else 'F' end as hasbom, c.rorderno from itemcomponent c where c.parentid = "
    ":prmparentid order by hasbom desc, c.rorderno";

// The bill tables of the tests' own (and the stored "createbom" text) on a connected site.
struct BomTables {
  explicit BomTables(v7::TDBManager* manager) : mgr(manager) {
    for (const char* t : {"bomtree", "bomtemp", "bomout", "createbom", "itemcomponent",
                          "applyrevisions", "bomchange"})
      Run(std::string("drop table if exists ") + t);
    Run(std::string("create table bomtree ") + kColumns + ")");
    Run(std::string("create table bomtemp ") + kColumns + ")");
    Run(std::string("create table bomout ") + kColumns + ", connectno numeric(5))");
    Run("create table createbom (itemid numeric, bomaction varchar(10))");
    Run("create table applyrevisions (bomid numeric, parentid numeric)");
    Run("create table itemcomponent (parentid numeric, childid numeric, qty numeric, "
        "rorderno integer, flag varchar(8))");
    Stored(1, "createbom", kCreateText);
    bom.DBManager = mgr;
    mgr->OnMessageBox = [this](const std::string& text) { boxes += text + "\n"; };
  }
  void Run(const std::string& sql) {
    auto q = mgr->NewQuery();
    q->GetSQL().SetText(sql);
    q->ExecSQL();
  }
  // Replaces the stored text of a field of the bill type.
  void Stored(int id, const std::string& field, const std::string& text) {
    Run("delete from inputsql where transid='xbom' and fieldname='" + field + "'");
    Run("insert into inputsql (inputsqlid, transid, fieldname, sqltext) values (" +
        std::to_string(9000 + id) + ", 'xbom', '" + field + "', '" +
        v7::ReplaceAll(text, "'", "''") + "')");
  }
  void Component(int parent, int child, int order) {
    Run("insert into itemcomponent values (" + std::to_string(parent) + ", " +
        std::to_string(child) + ", 1, " + std::to_string(order) + ", '')");
  }
  // A row of BOMTREE: bill, parent, child, number, level, in force from (0: always), quantity.
  void Tree(int bom, int parent, int child, int order, int level, double from = 0, int qty = 1) {
    auto q = mgr->NewQuery();
    std::string values;
    for (int v : {bom, parent, child, order, level}) values += std::to_string(v) + ", ";
    q->GetSQL().SetText(
        "insert into bomtree (bomid, parentid, childid, orderno, levelno, "
        "parentqty, childqty, effectivedate, rstatus) values (" +
        values + "1, " + std::to_string(qty) + ", :e, '')");
    if (from == 0)
      q->ParamByName("e").SetAsString("");
    else
      q->ParamByName("e").SetAsDateTime(from);
    q->ExecSQL();
  }
  // "child:orderno:levelno " of a bill's rows in number order.
  std::string Rows(const std::string& table, int bom) {
    std::string rows;
    auto q = mgr->NewQuery();
    q->GetSQL().SetText("select childid, orderno, levelno from " + table + " where bomid = " +
                        std::to_string(bom) + " order by orderno, effectivedate");
    for (q->Open(); !q->Eof(); q->Next())
      rows += q->FieldByName("childid").GetAsString() + ":" +
              q->FieldByName("orderno").GetAsString() + ":" +
              q->FieldByName("levelno").GetAsString() + " ";
    return rows;
  }
  std::string Create(const std::string& item) {
    std::string result = "x";
    bom.CreateBOM(item, result);
    return result + " " + Rows("bomtree", std::stoi(item));
  }
  v7::TDBManager* mgr = nullptr;
  v7::TBOM bom;
  std::string boxes;
};

struct Bom : v7test::SampleSiteHolder, BomTables {
  Bom() : BomTables(s.mgr.get()) {}
  std::string Scalar(const std::string& sql) { return s.site.Scalar(sql); }
};

TEST(BOM, CreateBOMNumbersComponentsDepthFirst) {
  Bom b;
  b.Component(100, 200, 1);
  b.Component(100, 300, 2);
  b.Component(200, 400, 1);
  EXPECT_EQ(b.Create("100"), "f 200:1:1 400:2:2 300:3:1 ");
  // A level ending in several components without components of their own keeps the next
  // branch in place; building again replaces the bill.
  b.Component(200, 600, 2);
  b.Component(200, 700, 3);
  b.Component(300, 500, 1);
  EXPECT_EQ(b.Create("100"), "f 200:1:1 400:2:2 600:3:2 700:4:2 300:5:1 500:6:2 ");
}

// The stored text may give "has components" as any flag text or number; only a true one is
// descended into (the first row of a level always is).
TEST(BOM, CreateBOMDescendsOnlyIntoRowsFlaggedAsHavingComponents) {
  Bom b;
  b.Stored(1, "createbom",
           v7::ReplaceAll(v7::ReplaceAll(kCreateText, "hasbom desc, ", ""),
                          "case when exists (select 1 from itemcomponent x where x.parentid = "
                          "c.childid) then 'T' else 'F' end",
                          "c.flag"));
  b.Component(100, 200, 1);
  b.Component(100, 300, 2);
  b.Component(300, 500, 1);
  const std::vector<const char*> yes = {"T", " true ", "Y", "yes", "1", "-2.5"},
                                 no = {"F", "no", "0", "", "x", "tru"};
  for (bool descends : {true, false}) {
    for (const char* flag : descends ? yes : no) {
      b.Run(std::string("update itemcomponent set flag = '") + flag + "' where childid = 300");
      EXPECT_EQ(b.Create("100"), descends ? "f 200:1:1 300:2:1 500:3:2 " : "f 200:1:1 300:2:1 ")
          << "[" << flag << "]";
    }
  }
}

TEST(BOM, CycleAndMissingTextAreReportedNotRaised) {
  Bom b;
  b.Component(100, 200, 1);
  b.Component(200, 100, 1);
  const std::string partly = b.Create("100");
  EXPECT_EQ(std::count(partly.begin(), partly.end(), ':'), 4) << partly;  // two rows built
  b.Run("delete from inputsql where transid='xbom'");
  EXPECT_EQ(b.Create("100"), partly);  // untouched
  EXPECT_EQ(b.boxes,
            "Cyclic reference encountered in BOMTree. Parent Id 100\n"
            "Unable to find the sql required to CreateBOM\n");
}

TEST(BOM, ExplodeBOMWorksOffTheQueueAndKeepsARowThatFailed) {
  Bom b;
  b.Component(100, 200, 1);
  b.Component(200, 400, 1);
  b.Run("insert into createbom values (100, 'new')");
  b.Run("insert into createbom values (200, 'new')");
  b.bom.ExplodeBOM();
  EXPECT_EQ(b.Rows("bomtree", 100) + "| " + b.Rows("bomtree", 200), "200:1:1 400:2:2 | 400:1:1 ");
  EXPECT_EQ(b.Scalar("select count(*) from createbom"), "0");
  // A revision without its stored texts is a database error; the queue row stays.
  b.Run("insert into createbom values (200, 'revise')");
  EXPECT_THROW(b.bom.ExplodeBOM(), v7::EDatabaseError);
  EXPECT_EQ(b.Scalar("select count(*) from createbom"), "1");
}

TEST(BOM, InsertSubTreeReplacesEveryUseOfTheItemAndMakesRoom) {
  Bom b;
  b.Tree(100, 100, 200, 1, 1);
  b.Tree(100, 200, 400, 2, 2);
  b.Tree(100, 100, 300, 3, 1);
  b.Tree(900, 900, 200, 1, 1);  // no sub-tree yet
  b.Tree(900, 900, 300, 2, 1);
  b.Tree(200, 200, 400, 1, 1);  // the item's own bill, now two components
  b.Tree(200, 200, 500, 2, 1);
  b.bom.InsertSubTree("100", "200", 0);
  b.bom.InsertSubTree("900", "200", 0);
  for (int bill : {100, 900})
    EXPECT_EQ(b.Rows("bomtree", bill), "200:1:1 400:2:2 500:3:2 300:4:1 ");
  EXPECT_EQ(b.Scalar("select count(*) from bomtemp"), "0");
}

TEST(BOM, ReviseBOMAddsNewComponentsAndCarriesThemIntoTheBillsThatUseTheItem) {
  Bom b;
  // Bill 200: 400, 800. A new component 500 (with its own bill: 600, 700) goes in at 2.
  // clang-format off
  b.Tree(200, 200, 400, 1, 1); b.Tree(200, 200, 800, 2, 1); b.Tree(500, 500, 600, 1, 1);
  b.Tree(500, 500, 700, 2, 1); b.Tree(100, 100, 200, 1, 1); b.Tree(100, 200, 400, 2, 2);
  b.Tree(100, 200, 800, 3, 2); b.Tree(100, 100, 300, 4, 1);
  // clang-format on
  b.Run("create table bomchange (parentid numeric, childid numeric, orderno integer)");
  b.Run("insert into bomchange values (200, 500, 2)");
  b.Stored(2, "revisemod", "select * from bomtree where 1=0 and bomid = :parentid");
  b.Stored(3, "revisecount", "select * from bomchange where parentid = :parentid");
  b.Stored(4, "revisenew",
           "select parentid, parentid, childid, orderno, 1, 1, 1, null, '', 'T', 1 from "
           "bomchange where parentid = :parentid and :rno = 1");
  b.bom.ReviseBOM("200");
  EXPECT_EQ(b.Rows("bomtree", 200), "400:1:1 500:2:1 600:3:2 700:4:2 800:5:1 ");
  EXPECT_EQ(b.Rows("bomtree", 100), "200:1:1 400:2:2 500:3:2 600:4:3 700:5:3 800:6:2 300:7:1 ");
}

TEST(BOM, PrepareBOMKeepsTheRevisionsInForceAtTheDate) {
  Bom b;
  b.Tree(100, 100, 200, 1, 1, Day(2026, 1, 1));
  b.Tree(100, 100, 200, 1, 1, Day(2026, 3, 1));
  b.Tree(100, 200, 400, 2, 2, Day(2026, 1, 1));
  b.Tree(100, 100, 300, 3, 1, Day(2026, 1, 1));
  b.Tree(900, 900, 300, 1, 1, Day(2026, 1, 1));
  // Later the March revision supersedes January's; exploding again replaces the rows.
  for (auto [date, revision] :
       {std::pair{Day(2026, 2, 15), "2026-01-01"}, {Day(2026, 4, 15), "2026-03-01"}}) {
    b.bom.PrepareBOM("bomout", "100", date);
    EXPECT_EQ(b.Rows("bomout", 100), "100:1:1 200:2:2 400:3:3 300:4:2 ");
    EXPECT_EQ(b.Scalar("select count(*) from bomout where connectno = 0 and (childid <> 200 or "
                       "effectivedate = julianday('" +
                       std::string(revision) + "'))"),
              "4");
  }
  // A removing revision in force takes its position and everything under it away, not the
  // position after it; a position whose only revision starts later is not there yet.
  b.Run(
      "update bomtree set rstatus = 'd' where childid = 200 and effectivedate > "
      "julianday('2026-02-01')");
  b.bom.PrepareBOM("bomout", "100", Day(2026, 4, 15));
  EXPECT_EQ(b.Rows("bomout", 100), "100:1:1 300:4:2 ");
  b.Run(
      "update bomtree set effectivedate = julianday('2026-05-01') where bomid = 100 and "
      "childid = 300");
  b.bom.PrepareBOM("bomout", "100", Day(2026, 2, 15));
  EXPECT_EQ(b.Rows("bomout", 100), "100:1:1 200:2:2 400:3:3 ");
  // One component twice under one parent is two positions, each with its own number.
  b.Tree(1501, 1501, 1503, 1, 1, Day(2026, 4, 1), 2);
  b.Tree(1501, 1501, 1503, 2, 1, Day(2026, 4, 1), 5);
  b.Tree(1501, 1501, 1504, 3, 1, Day(2026, 4, 1));
  b.bom.PrepareBOM("bomout", "1501", Day(2026, 4, 15));
  EXPECT_EQ(b.Rows("bomout", 1501), "1501:1:1 1503:2:2 1503:3:2 1504:4:2 ");
  EXPECT_EQ(b.Scalar("select sum(childqty) from bomout where bomid = 1501 and levelno = 2"), "8");
  b.Run("delete from bomtree where bomid = 1501");
  // A select lists the items to explode.
  b.Run("delete from bomout");
  b.bom.PrepareBOM("bomout", "  SeLeCt bomid from bomtree group by bomid", Day(2026, 2, 15));
  EXPECT_EQ(b.Rows("bomout", 900) + "| " + b.Rows("bomout", 100),
            "900:1:1 300:2:2 | 100:1:1 200:2:2 400:3:3 ");
}

// Inside an open transaction on PostgreSQL, where one failed statement would spoil every
// later one: the work table's drop must not fail when the table is missing.
TEST(BOM, BillsAreExplodedInsideAPostgreSQLTransaction) {
  v7test::PgSampleSite pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  ASSERT_TRUE(pg.connected) << pg.mgr->ErrorText;
  BomTables b(pg.mgr.get());
  b.Tree(100, 100, 200, 1, 1, Day(2026, 1, 1));
  b.Tree(100, 100, 200, 1, 1, Day(2026, 3, 1));
  b.Tree(100, 100, 300, 2, 1, Day(2026, 1, 1));
  b.Tree(200, 200, 400, 1, 1, Day(2026, 1, 1));
  pg.mgr->StartTransaction("pgsite");
  b.bom.InsertSubTree("100", "200", 0);  // under both revisions of the position: once
  b.bom.PrepareBOM("bomout", "100", Day(2026, 2, 15));
  b.bom.PrepareBOM("bomout", "select 100", Day(2026, 4, 15));
  pg.mgr->Commit("pgsite");
  EXPECT_EQ(b.Rows("bomtree", 100), "200:1:1 200:1:1 400:2:2 300:3:1 ");
  EXPECT_EQ(b.Rows("bomout", 100), "100:1:1 200:2:2 400:3:3 300:4:2 ");
}

}  // namespace
