// Update maps end to end: mapdemo documents saved, changed, cancelled and deleted through the
// document facade on the sample product, with the mapcopy made from each of them (a row link
// over the header frame) and the journal voucher made from each mapcopy. Each scenario gives
// documents in and master rows out, to the cent; after the documents go (deleted or
// cancelled) every master row is back where it started. The same table runs on SQLite and
// on PostgreSQL.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>

#include "PgSite.h"
#include "SampleProduct.h"
#include "uDbCall.h"
#include "uMDMap.h"
#include "uNumbers.h"

namespace {

using v7::TDbCall;

struct Line {
  std::string item, qty, rate, active, amount = {};
};

// One step on the documents of a scenario, named "D1", "D2", ...
struct Step {
  enum Kind { Save, Set, Add, Remove, CancelCopy, Cancel, Delete } kind;
  std::string doc;
  std::vector<Line> lines = {};        // Save: the lines; Add: the line
  int row = 0;                         // Set, Remove
  std::string field = {}, value = {};  // Set; Save: value is the total (12.5 when empty)
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
  const char* masters;         // the master rows after the steps (Masters())
  Step::Kind reverse;          // how the documents that are left go at the end
  const char* cash = "10.25";  // the starting balance of Cash (111)
};

// The first column of the first row as text, a double with every digit it holds.
std::string ExactScalar(const v7::TDbRowSet& rows) {
  const v7::TDbValue& v = rows.Rows.at(0).at(0);
  v7::TExactNumber n;
  if (v.Kind == v7::TDbKind::Float && v.Text.empty() && v7::ExactNumberOf(v.Float, n))
    return v7::PlainNumberText(n);
  return v.Kind == v7::TDbKind::Integer ? std::to_string(v.Int) : v.Text;
}

// The master rows the scenarios touch: stock of items 201 and 202, statistics of item 201
// (active quantity, largest and smallest rate, line count, open count, last note), the
// quantity per item and account, and the account tree.
// "column table condition" of each, one value of "select column from table where condition".
// clang-format off
const char* kMasterQueries[][2] = {
    {"stock", "stockqty item itemid=201"}, {"", "stockqty item itemid=202"},
    {"act", "activeqty itemstat itemstatid=201"}, {"", "activeqty itemstat itemstatid=202"},
    {"max", "maxrate itemstat itemstatid=201"}, {"min", "minrate itemstat itemstatid=201"},
    {"lines", "linecount itemstat itemstatid=201"}, {"", "linecount itemstat itemstatid=202"},
    {"open", "opencount itemstat itemstatid=201"}, {"note", "lastnote itemstat itemstatid=201"},
    {"ia", "coalesce(sum(qty),0) itemacct item=201"}, {"", "coalesce(sum(amount),0) itemacct item=201"},
    {"acct", "balance account accountid=111"}, {"", "balance account accountid=11"},
    {"", "balance account accountid=1"}, {"", "balance account accountid=2"}};
// clang-format on

// Runs the scenarios on one site: SQLite or PostgreSQL.
struct MapSite {
  v7::TDBManager* mgr = nullptr;
  std::string project;
  std::function<std::string(const std::string&)> scalar;
  std::function<void(const std::string&)> exec;
  std::map<std::string, long double> ids;

  std::string Masters() {
    std::string out;
    for (const auto& q : kMasterQueries) {
      std::string sql = std::string("select ") + q[1];
      sql.replace(sql.find(' ', 7), 1, " from ");
      sql.replace(sql.rfind(' '), 1, " where ");
      std::string t = scalar(sql);
      if (!t.empty() && (std::isdigit(static_cast<unsigned char>(t[0])) || t[0] == '-')) {
        // To the cent, without trailing zeros: amounts of 16 digits keep every one.
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.2f", std::stod(t));
        t = buf;
        t.erase(t.find_last_not_of('0') + 1);
        if (t.back() == '.') t.pop_back();
      } else if (t.empty()) {
        t = "-";
      }
      out += std::string(*q[0] ? (out.empty() ? "" : " ") + std::string(q[0]) + "=" : ",") + t;
    }
    return out;
  }

  // Starting balances with fractions; extremes not yet known.
  void Start(const std::string& cash) {
    exec("update item set stockqty = 100.5 where itemid = 201");
    exec("update account set balance = " + cash + " where accountid = 111");
    exec("update itemstat set maxrate = null, minrate = null, activeqty = 0");
  }

  template <class F>
  void InTransaction(F f) {
    mgr->StartTransaction(project);
    try {
      f();
    } catch (...) {
      mgr->Rollback(project);
      throw;
    }
    mgr->Commit(project);
  }

  void SetLine(TDbCall& c, int row, const Line& l) {
    c.StoreData->AddValueByName("item", row, l.item);
    c.StoreData->AddValueByName("qty", row, l.qty);
    c.StoreData->AddValueByName("rate", row, l.rate);
    c.StoreData->AddValueByName("active", row, l.active);
    if (!l.amount.empty()) c.StoreData->AddValueByName("amount", row, l.amount);
  }

  void Save(TDbCall& c) {
    std::string result;
    c.Save(result);
    ASSERT_EQ(c.ValidationMessage, "") << result;
  }

  // One facade for the whole scenario, as a site applies packet after packet.
  void Run(TDbCall& c, const Step& s) {
    Apply(c, s);
    if (s.kind == Step::Save)
      ids[s.doc] = v7::TStoreData::TextToId(
          scalar("select mapdemoid from mapdemo where docno = '" + s.doc + "'"));
  }

  void Apply(TDbCall& c, const Step& s) {
    InTransaction([&] {
      if (s.kind == Step::Save) {
        c.StoreData->AddValueByName("docno", 1, s.doc);
        c.StoreData->AddValueByName("docdate", 1, "20/06/2026");
        c.StoreData->AddValueByName("account", 1, "Cash");
        c.StoreData->AddValueByName("total", 1,
                                    !s.value.empty()  ? s.value
                                    : s.lines.empty() ? "0"
                                                      : "12.5");
        c.StoreData->AddValueByName("note", 1, s.doc);
        for (size_t r = 0; r < s.lines.size(); ++r) SetLine(c, int(r) + 1, s.lines[r]);
        Save(c);
        return;
      }
      const long double id = ids.at(s.doc);
      switch (s.kind) {
        case Step::Set:
          c.LoadRecord(id);
          c.StoreData->AddValueByName(s.field, s.row, s.value);
          Save(c);
          break;
        case Step::Add:
          c.LoadRecord(id);
          SetLine(c, c.StoreData->GetMaxRow(2) + 1, s.lines.at(0));
          Save(c);
          break;
        case Step::Remove:
          c.LoadRecord(id);
          c.StoreData->DeleteRow(2, s.row);
          Save(c);
          break;
        case Step::CancelCopy: {
          TDbCall copy;
          copy.DBManager = mgr;
          copy.SetTransType("mapcopy");
          copy.Cancel(v7::TStoreData::TextToId(scalar(
              "select mapcopyid from mapcopy where t1sourceid = " + v7::TStoreData::IdText(id))));
          break;
        }
        case Step::Cancel:
          c.Cancel(id);
          c.Reset();
          break;
        case Step::Delete:
          c.Delete(id);
          ids.erase(s.doc);
          break;
        default:
          break;
      }
    });
  }
};

const Line kPen{"Blue Pen", "2.25", "5", "t"};
const Line kShirt{"Men's Shirt", "2", "7", "t"};

// Start: stock 201 = 100.5, 202 = 20; account 111 = 10.25, the others 0. Each mapdemo
// document has the total 12.5 into Cash (111, up the tree to 11 and 1); its mapcopy makes a
// jv of 12.5 into Cash and into Income (2). Every line takes its quantity out of stock; the
// mapcopy puts back the quantities of the lines that are active ("t"). The amount per item
// and account keeps the currency's decimals, none here: 2.5 is written as 3.
const Scenario kScenarios[] = {
    {"SavedThenARowChanged",
     {{Step::Save, "D1", {kPen}}, {Step::Set, "D1", {}, 1, "qty", "3.5"}},
     "stock=100.5,20 act=3.5,0 max=5 min=5 lines=1,0 open=-1 note=D1 ia=3.5,0 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
    {"ARowAddedToAStoredDocumentCountsOnce",
     {{Step::Save, "D1", {kPen}}, {Step::Add, "D1", {{"Blue Pen", "1.25", "6", "t"}}}},
     "stock=100.5,20 act=3.5,0 max=6 min=5 lines=2,0 open=-2 note=D1 ia=3.5,0 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
    {"ARowRemovedLeavesTheDocumentAndItsCopy",
     {{Step::Save, "D1", {kPen, kShirt}}, {Step::Remove, "D1", {}, 1}},
     "stock=100.5,20 act=0,2 max=- min=- lines=0,1 open=0 note=- ia=0,0 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
    {"ARowMovedToAnotherItem",
     {{Step::Save, "D1", {kPen}}, {Step::Set, "D1", {}, 1, "item", "Men's Shirt"}},
     "stock=100.5,20 act=0,2.25 max=- min=- lines=0,1 open=0 note=- ia=0,0 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
    {"ControlFieldFromEmptyToOnToOffToOn",
     {{Step::Save, "D1", {{"Blue Pen", "2.25", "5", ""}}},
      {Step::Set, "D1", {}, 1, "active", "t"},
      {Step::Set, "D1", {}, 1, "active", "f"},
      {Step::Set, "D1", {}, 1, "active", "t"}},
     "stock=100.5,20 act=2.25,0 max=5 min=5 lines=1,0 open=-1 note=D1 ia=2.25,0 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
    {"TwoMapsOnOneColumnAddUpInOneFlush",
     {{Step::Save, "D1", {{"Blue Pen", "2.5", "5", "t", "2.5"}, {"Blue Pen", "1.25", "6", "f"}}}},
     "stock=99.25,20 act=2.5,0 max=5 min=5 lines=2,0 open=-2 note=D1 ia=3.75,3 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
    {"CancelledDocumentsLeaveTheMasters",
     {{Step::Save, "D1", {kPen}}, {Step::Save, "D2", {kShirt}}},
     "stock=100.5,20 act=2.25,2 max=5 min=5 lines=1,1 open=-1 note=D1 ia=2.25,0 "
     "acct=60.25,50,50,25",
     Step::Cancel},
    {"ACopyCancelledFirstIsNotCancelledAgain",
     {{Step::Save, "D1", {kPen}}, {Step::CancelCopy, "D1"}},
     "stock=98.25,20 act=2.25,0 max=5 min=5 lines=1,0 open=-1 note=D1 ia=2.25,0 "
     "acct=22.75,12.5,12.5,0",
     Step::Cancel},
    {"TheLargestRateLeavesWithItsDocument",
     {{Step::Save, "D1", {{"Blue Pen", "1", "5", "t"}}},
      {Step::Save, "D2", {{"Blue Pen", "1", "6", "t"}}},
      {Step::Delete, "D2"}},
     "stock=100.5,20 act=1,0 max=5 min=5 lines=1,0 open=-1 note=- ia=1,0 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
    {"AnEqualLargestRateStaysUntilItsLastRowGoes",
     {{Step::Save, "D1", {{"Blue Pen", "1", "6", "t"}, {"Blue Pen", "1", "4", "t"}}},
      {Step::Save, "D2", {{"Blue Pen", "1", "6", "t"}}},
      {Step::Delete, "D2"}},
     "stock=100.5,20 act=2,0 max=6 min=4 lines=2,0 open=-2 note=- ia=2,0 acct=35.25,25,25,12.5",
     Step::Delete},
    {"AnEqualLargestRateInTheSameDocument",
     {{Step::Save, "D1", {{"Blue Pen", "1", "6", "t"}, {"Blue Pen", "1", "6", "t"}}},
      {Step::Remove, "D1", {}, 1}},
     "stock=100.5,20 act=1,0 max=6 min=6 lines=1,0 open=-1 note=D1 ia=1,0 acct=35.25,25,25,12.5",
     Step::Delete},
    // A change and its reversal leave every master to the cent for amounts of 14 to 16
    // digits (masters below 2^46, where a double column still tells every cent apart).
    {"AmountsOfSixteenDigitsChangedAndDeletedKeepTheirCents",
     {{Step::Save, "D1", {kPen}, 0, "", "12345678901234.56"},
      {Step::Set, "D1", {}, 1, "total", "32109876543210.98"}},
     "stock=100.5,20 act=2.25,0 max=5 min=5 lines=1,0 open=-1 note=D1 ia=2.25,0 "
     "acct=64219753086432.21,64219753086421.96,64219753086421.96,32109876543210.98",
     Step::Delete},
    {"AmountsOfFourteenAndFifteenDigitsCancelled",
     {{Step::Save, "D1", {kPen}, 0, "", "123456789012.34"},
      {Step::Save, "D2", {kShirt}, 0, "", "1234567890123.45"}},
     "stock=100.5,20 act=2.25,2 max=5 min=5 lines=1,1 open=-1 note=D1 ia=2.25,0 "
     "acct=2716049358281.83,2716049358271.58,2716049358271.58,1358024679135.79",
     Step::Cancel},
    // A master a double column holds exactly but only in 17 digits.
    {"AMasterOfSeventeenDigitsChangedAndDeletedKeepsItsCents",
     {{Step::Save, "D1", {kPen}, 0, "", "1"}, {Step::Set, "D1", {}, 1, "total", "0.75"}},
     "stock=100.5,20 act=2.25,0 max=5 min=5 lines=1,0 open=-1 note=D1 ia=2.25,0 "
     "acct=134122025423263.75,1.5,1.5,0.75",
     Step::Delete,
     "134122025423262.25"},
    {"ANegativeRateIsTheLargestOfItsOwn",
     {{Step::Save, "D1", {{"Blue Pen", "1", "-1.5", "t"}}}},
     "stock=100.5,20 act=1,0 max=-1.5 min=-1.5 lines=1,0 open=-1 note=D1 ia=1,0 "
     "acct=35.25,25,25,12.5",
     Step::Delete},
};

void RunScenarios(MapSite& site) {
  for (const Scenario& sc : kScenarios) {
    SCOPED_TRACE(sc.name);
    site.Start(sc.cash);
    const std::string start = site.Masters();
    TDbCall c;
    c.DBManager = site.mgr;
    c.SetTransType("mapdemo");
    for (const Step& s : sc.steps) {
      site.Run(c, s);
      if (testing::Test::HasFatalFailure()) return;
    }
    EXPECT_EQ(site.Masters(), sc.masters);
    auto docs = site.ids;
    for (const auto& [doc, id] : docs) site.Run(c, Step{sc.reverse, doc});
    EXPECT_EQ(site.Masters(), start);
    // The next scenario starts from the same masters, with no documents.
    for (const char* t :
         {"mapdemodet", "mapdemo", "mapcopydet", "mapcopy", "trans2", "trans1", "itemacct"})
      site.exec(std::string("delete from ") + t);
    site.exec("update itemstat set lastnote = ''");
    site.ids.clear();
  }
}

TEST(MDMapPost, MasterRowsStayExactThroughSaveChangeCancelAndDelete) {
  v7test::SampleSite s(false);
  MapSite site;
  site.mgr = s.mgr.get();
  site.project = s.site.ProjectName();
  site.scalar = [&](const std::string& sql) { return ExactScalar(s.site.Query(sql)); };
  site.exec = [&](const std::string& sql) { s.site.Exec(sql); };
  RunScenarios(site);
}

TEST(MDMapPostPg, MasterRowsStayExactThroughSaveChangeCancelAndDeleteOnPostgreSQL) {
  v7test::PgSite pg(v7test::PgSite::Content::Product);
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  auto mgr = pg.Site().NewManager();
  ASSERT_TRUE(mgr->Connect(v7test::PgSite::kProject)) << mgr->ErrorText;
  MapSite site;
  site.mgr = mgr.get();
  site.project = v7test::PgSite::kProject;
  site.scalar = [&](const std::string& sql) { return ExactScalar(pg.db.Query(sql)); };
  site.exec = [&](const std::string& sql) { pg.db.Execute(sql); };
  RunScenarios(site);
}

// A map whose key is a number field: a text that is no number never reaches a statement;
// an assignment without initondel keeps its value when the document goes.
TEST(MDMapPost, NumericKeysMustBeNumbersAndAssignmentsStayWithoutInitOnDel) {
  v7test::SampleSite s(false);
  v7::TStructDef def(s.mgr.get(), ":mapdemo");
  v7::TMDMap map;
  map.StructDef = &def;
  v7::TDef d;
  d.transid = "mapdemo";
  d.tablename = "customer";
  d.MasterExprs = {"@customerid", "*city"};
  d.DetailFields = {"total", "note"};
  d.DecimalPlaces = {"0", "0"};
  d.FieldTypes = "nc";
  d.sourceframe = 1;
  map.Maps.push_back(std::make_unique<v7::TDef>(d));
  v7::TStoreData store(&def, "mapdemo");
  store.SetPrimaryTable("mapdemo");
  store.MDMap = &map;
  store.WireMDMap(true);

  store.AddValueByName("total", 1, "0 or 1=1");
  EXPECT_THROW(map.ProcessDocument("mapdemo", false), v7::EConvertError);
  map.Clear();

  store.AddValueByName("total", 1, "103");
  store.AddValueByName("note", 1, "Delhi");
  map.ProcessDocument("mapdemo", false);
  map.Flush();
  EXPECT_EQ(s.site.Scalar("select city from customer where customerid=103"), "Delhi");
  store.MarkLoaded();
  map.ProcessDocument("mapdemo", true);
  map.Flush();
  EXPECT_EQ(s.site.Scalar("select city from customer where customerid=103"), "Delhi");
}

}  // namespace
