// Update-map passes and the flush: documents of the sample product's types, given to the
// maps through their value callback, change master rows of a real SQLite site.
#include <gtest/gtest.h>

#include <map>

#include "PgSite.h"
#include "SampleProduct.h"
#include "uMDMap.h"
#include "uStoreData.h"

namespace {

using v7::TFieldData;
using v7::TMDMap;

// The values of one document as the store hands them to the maps: per field and row the
// new and old text, type letter, look-up ids and detail table. A field without a value in
// a row answers with row 1; the count pseudo fields as the store answers them.
struct Doc {
  std::map<std::pair<std::string, int>, TFieldData> values;
  std::map<int, int> rows;
  bool isNew = true;

  void Num(const std::string& f, int row, const std::string& value, const std::string& old,
           const std::string& table = "") {
    values[{f, row}] = TFieldData{value, old, "n", table, 0, 0};
  }
  void Pick(const std::string& f, int row, long double id, long double oldId) {
    values[{f, row}] = TFieldData{id ? "name" : "", oldId ? "name" : "", "c", "", id, oldId};
  }
  void Text(const std::string& f, int row, const std::string& value, const std::string& old) {
    values[{f, row}] = TFieldData{value, old, "c", "", 0, 0};
  }
  void Wire(TMDMap& m) {
    m.OnGetValue = [this](const std::string& f, int row, TFieldData& rec) {
      if (f == "__autoinc" || f == "__autodec") {
        rec.Value = f == "__autoinc" ? "1" : "-1";
        rec.OldValue = isNew ? "0" : rec.Value;
        rec.FieldType = "n";
        return;
      }
      auto it = values.find({f, row});
      if (it == values.end()) it = values.find({f, 1});
      if (it != values.end()) rec = it->second;
    };
    m.OnGetRowCount = [this](int frame) { return rows[frame]; };
  }
  // The stored values become the old values of the next change.
  void Saved() {
    for (auto& [k, v] : values) {
      v.OldValue = v.Value;
      v.OldValueId = v.ValueId;
    }
    isNew = false;
  }
};

struct MDMapPost : ::testing::Test {
  v7test::SampleSite s{false};
  std::unique_ptr<v7::TStructDef> def;
  TMDMap map;
  Doc doc;
  std::vector<std::string> trace;

  void Load(const std::string& type) {
    def = std::make_unique<v7::TStructDef>(s.mgr.get(), ":" + type);
    map.LoadUpdateDetails(type, def.get());
    map.LoadScriptMaps(def->ExprSet);
    doc.Wire(map);
    map.OnTrace = [this](const std::string& t) { trace.push_back(t); };
  }
  void Pass(const std::string& type, bool reverse) {
    map.ProcessDocument(type, reverse);
    map.Flush();
  }
  double Num(const std::string& sql) {
    std::string t = s.site.Scalar(sql);
    return t.empty() ? 0 : std::stod(t);
  }
  double Stock(int item) {
    return Num("select stockqty from item where itemid=" + std::to_string(item));
  }
  double Balance(int account, const std::string& table = "customer") {
    return Num("select balance from " + table + " where " + table +
               "id=" + std::to_string(account));
  }
  // A sales invoice for customer 101 with one item row.
  void Invoice(int item, const std::string& qty, const std::string& total) {
    doc.rows = {{1, 1}, {2, 1}};
    doc.Pick("customer", 1, 101, 0);
    doc.Num("totalamt", 1, total, "");
    doc.Pick("item", 1, item, 0);
    doc.Num("qty", 1, qty, "");
  }
};

TEST_F(MDMapPost, SavingAgainAddsTheDifferenceAndDeletingTakesTheValuesOut) {
  Load("salesinv");
  Invoice(201, "5", "500");
  Pass("salesinv", false);
  EXPECT_DOUBLE_EQ(Stock(201), 95);
  EXPECT_DOUBLE_EQ(Balance(101), 500);
  EXPECT_TRUE(map.Pending.empty());

  doc.Saved();
  doc.values[{"qty", 1}].Value = "7";
  doc.values[{"totalamt", 1}].Value = "600";
  Pass("salesinv", false);
  EXPECT_DOUBLE_EQ(Stock(201), 93);
  EXPECT_DOUBLE_EQ(Balance(101), 600);

  doc.Saved();
  Pass("salesinv", true);
  EXPECT_DOUBLE_EQ(Stock(201), 100);
  EXPECT_DOUBLE_EQ(Balance(101), 0);
}

TEST_F(MDMapPost, ARowMovedToAnotherKeyLeavesTheOldMasterRowAndEntersTheNewOneWhole) {
  Load("salesinv");
  Invoice(201, "5", "500");
  Pass("salesinv", false);
  doc.Saved();
  doc.Pick("item", 1, 202, 201);
  doc.values[{"qty", 1}].Value = "6";
  Pass("salesinv", false);
  EXPECT_DOUBLE_EQ(Stock(201), 100);
  EXPECT_DOUBLE_EQ(Stock(202), 14);
  EXPECT_DOUBLE_EQ(Balance(101), 500);
}

TEST_F(MDMapPost, RowsOfOneMasterRowShareOnePendingUpdate) {
  Load("salesinv");
  Invoice(201, "2", "0");
  doc.rows[2] = 2;
  doc.Pick("item", 2, 201, 0);
  doc.Num("qty", 2, "3", "");
  map.ProcessDocument("SalesInv", false);
  ASSERT_EQ(map.Pending.size(), 2u);  // the customer's and the item's
  EXPECT_EQ(map.Pending[1]->Key, "item where  itemid=201");
  EXPECT_EQ(map.Pending[1]->Values[1], "-5");
  map.Flush();
  EXPECT_DOUBLE_EQ(Stock(201), 95);
  // The flush traces each written update.
  ASSERT_GE(trace.size(), 5u);
  EXPECT_EQ(trace[0], "#savelevel#");
  EXPECT_EQ(trace[1], "# 1#Posting MD Maps : ");
  EXPECT_EQ(trace[2], "# 2#Select * from customer where customer where  customerid=101");
  EXPECT_EQ(trace[3], "# 3#@customerid=101");
  EXPECT_EQ(trace[4], "# 3#+balance=0");
  EXPECT_EQ(trace[5], "#resetlevel#");
}

TEST_F(MDMapPost, EmptyAndZeroKeysQueueNothingAndMissingRowsAreOnlyAddedWhenAppending) {
  Load("salesinv");
  Invoice(0, "5", "0");
  doc.values[{"customer", 1}] = TFieldData{"0", "", "n", "", 0, 0};
  map.ProcessDocument("salesinv", false);
  EXPECT_TRUE(map.Pending.empty());

  Invoice(999, "5", "10");
  Pass("salesinv", false);  // no item 999 and no append: nothing is written
  EXPECT_EQ(s.site.Scalar("select count(*) from item where itemid=999"), "0");
  EXPECT_DOUBLE_EQ(Balance(101), 10);
}

TEST_F(MDMapPost, ANumericKeyThatIsNoNumberIsRefusedBeforeAnyStatement) {
  Load("salesinv");
  Invoice(201, "5", "10");
  doc.values[{"customer", 1}] = TFieldData{"0 or 1=1", "", "n", "", 0, 0};
  EXPECT_THROW(map.ProcessDocument("salesinv", false), v7::EConvertError);
  map.Clear();
  for (int c : {101, 102, 103}) EXPECT_DOUBLE_EQ(Balance(c), 0);
}

TEST_F(MDMapPost, AMapBlockAppendsTheMissingMasterRowThenAddsToIt) {
  Load("mapdemo");
  doc.rows = {{1, 1}, {2, 1}};
  doc.Pick("account", 1, 111, 0);
  doc.Pick("item", 1, 201, 0);
  doc.Num("qty", 1, "2.5", "");
  doc.Num("amount", 1, "30", "");
  doc.Text("active", 1, "t", "");
  Pass("mapdemo", false);
  ASSERT_EQ(s.site.Scalar("select count(*) from itemacct"), "1");
  EXPECT_DOUBLE_EQ(Num("select qty from itemacct where item=201 and account=111"), 2.5);
  EXPECT_DOUBLE_EQ(Num("select amount from itemacct where item=201 and account=111"), 30);

  doc.Saved();
  doc.values[{"qty", 1}].Value = "4";
  Pass("mapdemo", false);
  EXPECT_EQ(s.site.Scalar("select count(*) from itemacct"), "1");
  EXPECT_DOUBLE_EQ(Num("select qty from itemacct where item=201 and account=111"), 4);
}

TEST_F(MDMapPost, ControlFieldSwitchesARowsContributionOffAndOn) {
  v7::TDef d;
  d.transid = "t";
  d.tablename = "customer";
  d.controlfield = "on";
  d.MasterExprs = {"@customerid", "+balance"};
  d.DetailFields = {"cust", "amt"};
  d.DecimalPlaces = {"0", "2"};
  d.FieldTypes = "nn";
  d.sourceframe = 1;
  map.Maps.push_back(std::make_unique<v7::TDef>(d));
  map.StructDef = nullptr;
  def = std::make_unique<v7::TStructDef>(s.mgr.get(), ":salesinv");
  map.StructDef = def.get();
  doc.Wire(map);
  doc.rows = {{1, 1}};
  doc.Num("cust", 1, "101", "101");

  doc.Num("amt", 1, "30", "30");
  doc.Text("on", 1, "f", "t");  // switched off: the old 30 leaves
  Pass("t", false);
  EXPECT_DOUBLE_EQ(Balance(101), -30);

  doc.Num("amt", 1, "40", "30");
  doc.Text("on", 1, "t", "f");  // switched on: the whole 40 enters
  Pass("t", false);
  EXPECT_DOUBLE_EQ(Balance(101), 10);

  doc.Text("on", 1, "f", "f");  // off before and after: nothing
  map.ProcessDocument("t", false);
  EXPECT_TRUE(map.Pending.empty());
  doc.Text("on", 1, "f", "");  // a new row that is off: nothing
  map.ProcessDocument("t", false);
  EXPECT_TRUE(map.Pending.empty());
}

TEST_F(MDMapPost, RemovedLargestValueIsRecomputedOnlyWhenItWasTheStoredOne) {
  Load("mapdemo");
  s.site.Exec(
      "insert into mapdemodet (mapdemodetid, mapdemoid, mapdemodetrow, item, qty, rate, amount, "
      "active, cancel, siteno) values (1, 1, 1, 201, 1, 10, 10, 't', 'F', 7), "
      "(2, 1, 2, 201, 1, 15, 15, 't', 'T', 7), (3, 1, 3, 201, 1, 8, 8, 't', 'F', 7)");
  s.site.Exec("update itemstat set maxrate=12, minrate=5 where itemstatid=201");
  doc.isNew = false;
  doc.rows = {{1, 1}, {2, 1}};
  doc.Pick("item", 1, 201, 201);
  doc.Num("rate", 1, "9", "9", "mapdemodet");
  doc.Text("active", 1, "t", "t");
  Pass("mapdemo", true);  // 9 was neither the largest nor the smallest
  EXPECT_DOUBLE_EQ(Num("select maxrate from itemstat where itemstatid=201"), 12);
  EXPECT_DOUBLE_EQ(Num("select minrate from itemstat where itemstatid=201"), 5);

  doc.Num("rate", 1, "12.00", "12.00", "mapdemodet");
  Pass("mapdemo", true);  // the largest left: recomputed from the live rows of item 201
  EXPECT_DOUBLE_EQ(Num("select maxrate from itemstat where itemstatid=201"), 10);
  EXPECT_DOUBLE_EQ(Num("select minrate from itemstat where itemstatid=201"), 5);
}

TEST_F(MDMapPost, CountsCountEachRowOnceAndAssignmentsAreClearedOnDeleteWhenAsked) {
  Load("mapdemo");
  doc.rows = {{1, 1}, {2, 1}};
  doc.Pick("item", 1, 202, 0);
  doc.Num("rate", 1, "7", "");
  doc.Text("note", 1, "first", "");
  doc.Text("active", 1, "t", "");
  Pass("mapdemo", false);
  auto stat = [&](const std::string& col) {
    return s.site.Scalar("select " + col + " from itemstat where itemstatid=202");
  };
  EXPECT_EQ(stat("linecount"), "1");
  EXPECT_EQ(stat("opencount"), "-1");
  EXPECT_EQ(stat("lastrate"), "7");
  EXPECT_EQ(stat("lastnote"), "first");
  EXPECT_EQ(stat("maxrate"), "7");

  doc.Saved();
  Pass("mapdemo", false);  // saved again: counted once
  EXPECT_EQ(stat("linecount"), "1");

  doc.Saved();
  Pass("mapdemo", true);
  EXPECT_EQ(stat("linecount"), "0");
  EXPECT_EQ(stat("opencount"), "0");
  EXPECT_EQ(stat("lastnote"), "");  // initondel: cleared with the document
}

TEST_F(MDMapPost, AssignmentWithoutInitOnDelKeepsItsValueWhenTheDocumentGoes) {
  v7::TDef d;
  d.transid = "t";
  d.tablename = "customer";
  d.MasterExprs = {"@customerid", "*city"};
  d.DetailFields = {"cust", "town"};
  d.DecimalPlaces = {"0", "0"};
  d.FieldTypes = "nc";
  d.sourceframe = 1;
  map.Maps.push_back(std::make_unique<v7::TDef>(d));
  def = std::make_unique<v7::TStructDef>(s.mgr.get(), ":salesinv");
  map.StructDef = def.get();
  doc.Wire(map);
  doc.rows = {{1, 1}};
  doc.Num("cust", 1, "103", "");
  doc.Text("town", 1, "Delhi", "");
  Pass("t", false);
  EXPECT_EQ(s.site.Scalar("select city from customer where customerid=103"), "Delhi");
  doc.Saved();
  Pass("t", true);
  EXPECT_EQ(s.site.Scalar("select city from customer where customerid=103"), "Delhi");
}

TEST_F(MDMapPost, TreeMapChangesTheRowAndEveryAncestorOnce) {
  Load("jv");
  doc.rows = {{1, 1}, {2, 2}};
  doc.Pick("mid", 1, 111, 0);
  doc.Num("amount", 1, "100", "");
  doc.Pick("mid", 2, 112, 0);
  doc.Num("amount", 2, "50", "");
  Pass("jv", false);
  EXPECT_DOUBLE_EQ(Balance(111, "account"), 100);
  EXPECT_DOUBLE_EQ(Balance(112, "account"), 50);
  EXPECT_DOUBLE_EQ(Balance(11, "account"), 150);
  EXPECT_DOUBLE_EQ(Balance(1, "account"), 150);
  EXPECT_DOUBLE_EQ(Balance(2, "account"), 0);

  doc.Saved();
  Pass("jv", true);
  for (int a : {1, 11, 111, 112}) EXPECT_DOUBLE_EQ(Balance(a, "account"), 0) << a;
}

TEST_F(MDMapPost, RemovingOneRowReversesOnlyThatRowOfItsFrame) {
  Load("salesinv");
  Invoice(201, "4", "80");
  doc.rows[2] = 2;
  doc.Pick("item", 2, 202, 0);
  doc.Num("qty", 2, "2", "");
  Pass("salesinv", false);
  doc.Saved();
  map.ProcessRow("salesinv", 2, 2);
  ASSERT_EQ(map.Pending.size(), 1u);
  map.Flush();
  EXPECT_DOUBLE_EQ(Stock(202), 20);
  EXPECT_DOUBLE_EQ(Stock(201), 96);
  EXPECT_DOUBLE_EQ(Balance(101), 80);
}

// The store answers the maps for a loaded document: reversing the stored INV000041 takes
// its quantities and total out of the masters by the looked-up record ids.
TEST(MDMapStore, ReversingAStoredDocumentThroughItsStore) {
  v7test::SampleSite site(true);
  v7::TStructDef inv(site.mgr.get(), ":salesinv");
  TMDMap m;
  m.LoadUpdateDetails("salesinv", &inv);
  v7::TStoreData store(&inv, "salesinv");
  store.SetPrimaryTable(inv.PrimaryTable);
  store.LoadTransaction(v7test::kSalesInvId);
  store.MDMap = &m;
  store.WireMDMap(false);
  m.ProcessDocument("salesinv", true);
  m.Flush();
  auto num = [&](const std::string& sql) { return std::stod(site.site.Scalar(sql)); };
  EXPECT_DOUBLE_EQ(num("select balance from customer where customerid=102"), -1150);
  EXPECT_DOUBLE_EQ(num("select stockqty from item where itemid=201"), 104);
  EXPECT_DOUBLE_EQ(num("select stockqty from item where itemid=202"), 22);
  EXPECT_DOUBLE_EQ(num("select stockqty from item where itemid=203"), 55);
}

// On PostgreSQL the master rows are read "for update" inside the caller's transaction, and
// a map block whose key column is a number is probed again with 0 after the empty text fails.
TEST(MDMapPostPg, MastersAreWrittenInsideTheTransactionOnPostgreSQL) {
  v7test::PgSite pg(v7test::PgSite::Content::Product);
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  auto mgr = pg.Site().NewManager();
  ASSERT_TRUE(mgr->Connect(v7test::PgSite::kProject)) << mgr->ErrorText;
  v7::TStructDef def(mgr.get(), ":mapdemo");
  TMDMap map;
  map.LoadUpdateDetails("mapdemo", &def);
  map.LoadScriptMaps(def.ExprSet);
  ASSERT_EQ(map.Maps.size(), 4u);
  EXPECT_EQ(map.Maps.back()->FieldTypes, "nnnn");

  Doc doc;
  doc.Wire(map);
  doc.rows = {{1, 1}, {2, 1}};
  doc.Pick("account", 1, 112, 0);
  doc.Num("total", 1, "25", "");
  doc.Pick("item", 1, 201, 0);
  doc.Num("qty", 1, "2", "");
  doc.Num("amount", 1, "20", "");
  doc.Num("rate", 1, "10", "");
  doc.Text("active", 1, "t", "");
  mgr->StartTransaction(v7test::PgSite::kProject);
  map.ProcessDocument("mapdemo", false);
  map.Flush();
  mgr->Commit(v7test::PgSite::kProject);
  EXPECT_EQ(pg.Scalar("select qty from itemacct where item=201 and account=112"), "2");
  EXPECT_EQ(pg.Scalar("select maxrate from itemstat where itemstatid=201"), "10");
  EXPECT_EQ(pg.Scalar("select balance from account where accountid=1"), "25");
}

}  // namespace
