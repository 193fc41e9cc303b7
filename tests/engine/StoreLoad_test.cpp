// Loading stored documents of the sample product back into a store, and the load statements
// of the "access" and "oracle" dialects.
#include <gtest/gtest.h>

#include "PgSite.h"
#include "SampleProduct.h"
#include "uStoreData.h"

namespace {

using v7::TStoreData;
using v7::TStructDef;
using v7test::kSalesInvId;

struct Loaded {
  explicit Loaded(const std::string& type) : def(s.mgr.get(), ":" + type), store(&def, type) {
    store.SetPrimaryTable(def.PrimaryTable);
    store.OnLog = [this](const std::string& line) { log.push_back(line); };
  }
  const v7::TFieldRec& Value(const std::string& name, int row) {
    int i = store.IndexOfValue(name, row);
    EXPECT_GE(i, 0) << name << " row " << row;
    return store.Values.at(static_cast<size_t>(i < 0 ? 0 : i));
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  // The message of the database error that loading the document raises.
  std::string LoadFailure(long double id) {
    try {
      store.LoadTransaction(id);
    } catch (const v7::EDatabaseError& e) {
      return e.what();
    }
    return "(no error)";
  }
  v7test::SampleSite s;
  TStructDef def;
  TStoreData store;
  std::vector<std::string> log;
};

TEST(StoreLoad, LoadsHeaderGridAndLinkedValues) {
  Loaded l("salesinv");
  l.store.LoadTransaction(kSalesInvId);

  EXPECT_TRUE(l.store.Found);
  EXPECT_EQ(l.store.DocumentRecordId, kSalesInvId);
  EXPECT_FALSE(l.store.Cancelled);
  EXPECT_EQ(l.store.ChildDoc, "F");
  EXPECT_EQ(l.Value("invno", 1).Value, "INV000041");
  EXPECT_EQ(l.Value("invdate", 1).Value, "15/06/2026");
  EXPECT_EQ(l.Value("paymode", 1).Value, "Banker's Draft");
  EXPECT_EQ(l.Value("remarks", 1).Value, "");
  const v7::TFieldRec& cust = l.Value("customer", 1);
  EXPECT_EQ(cust.Value, "O'Brien Traders");
  EXPECT_EQ(cust.ValueId, 102);
  EXPECT_EQ(cust.RecordId, kSalesInvId);
  EXPECT_TRUE(
      l.Logged("# 3#Firing SQL : Select CUSTNAME from \"CUSTOMER\" Where CUSTOMERid = 102"));

  // Grid rows come in row order whatever order they were stored in; oldprice, which is not
  // stored, takes each row's loaded price.
  EXPECT_EQ(l.Value("item", 2).Value, "Men's Shirt");
  EXPECT_EQ(l.Value("item", 3).ValueId, 203);
  EXPECT_EQ(l.Value("price", 1).Value, "12.5");
  EXPECT_EQ(l.Value("oldprice", 2).Value, "450");
  EXPECT_EQ(l.Value("oldprice", 2).Table, "");
  EXPECT_EQ(l.Value("discount", 3).Value, "0");
  EXPECT_EQ(l.Value("custcity", 1).Value, "");
  EXPECT_EQ(l.store.GetMaxRow(2), 3);
  EXPECT_EQ(l.store.FrameRowCount(2), 3);
  EXPECT_EQ(l.store.FindRowRecordId(2, 3), 700010000000104.0L);
  EXPECT_EQ(l.Value("qty", 2).RecordId, 700010000000103.0L);
  EXPECT_EQ(l.Value("qty", 2).FieldOrder, 4);
}

TEST(StoreLoad, SubFrameRowsFindTheirParentRows) {
  Loaded l("salesinvsf");
  l.store.LoadTransaction(v7test::kSalesInvSfId);
  EXPECT_EQ(l.store.GetMaxRow(2), 2);
  EXPECT_EQ(l.store.GetMaxRow(3), 3);
  EXPECT_EQ(l.Value("batchno", 1).Value, "B-01");
  EXPECT_EQ(l.Value("batchno", 1).ParentRow, 1);
  EXPECT_EQ(l.Value("batchqty", 2).ParentRow, 1);
  EXPECT_EQ(l.Value("batchno", 3).Value, "S-01");
  EXPECT_EQ(l.Value("batchno", 3).ParentRow, 2);
  EXPECT_EQ(l.Value("batchno", 3).TableKind, 'x');
  // A not-stored sub-frame field gets its row's parent row and the loaded value.
  EXPECT_EQ(l.Value("oldbatchqty", 3).Value, "2");
  EXPECT_EQ(l.Value("oldbatchqty", 3).ParentRow, 2);

  // A sub-frame table with a parentrow column gives the parent rows directly.
  l.s.site.Exec("alter table salesinvsfbatch add column parentrow integer");
  l.s.site.Exec("update salesinvsfbatch set parentrow = 2");
  {
    auto mgr = l.s.site.Connect();
    TStructDef def(mgr.get(), ":salesinvsf");
    TStoreData st(&def, "salesinvsf");
    st.SetPrimaryTable("salesinvsf");
    EXPECT_EQ(st.ParentRowFlags, "t");
    st.LoadTransaction(v7test::kSalesInvSfId);
    EXPECT_EQ(st.GetParentRow(3, 1), 2);
    EXPECT_EQ(st.GetParentRow(3, 3), 2);
  }

  // Batch rows numbered against their parents' order cannot be placed.
  l.s.site.Exec(
      "update salesinvsfbatch set salesinvsfbatchrow = 0 where salesinvsfbatchid = "
      "700010000000206");
  EXPECT_EQ(l.LoadFailure(v7test::kSalesInvSfId), "Improper RowOrder in Sub form, Frame No 3");
}

TEST(StoreLoad, ApprovalStateAndLoadingBySource) {
  Loaded l("salesinvap");
  l.store.LoadTransaction(v7test::kSalesInvApId);
  EXPECT_EQ(l.store.Approval, 2);
  EXPECT_EQ(l.store.ApprovalStatus, "W");
  EXPECT_EQ(l.store.MaxApproved, 1);
  EXPECT_EQ(l.Value("customer", 1).Value, "Zenith Mart");

  // The document made from INV000041 by link entry 5: found by source, although its
  // customer id is empty (an empty value, not a failed load).
  l.store.LoadBySource = true;
  l.store.LoadFromRecord(5, kSalesInvId);
  EXPECT_TRUE(l.store.Found);
  EXPECT_EQ(l.store.DocumentRecordId, v7test::kGeneratedApId);
  EXPECT_TRUE(l.store.Cancelled);
  EXPECT_EQ(l.store.ChildDoc, "F");
  EXPECT_EQ(l.store.LinkTemplateId, 0);
  EXPECT_EQ(l.Value("invno", 1).Value, "AP000002");
  EXPECT_EQ(l.Value("customer", 1).Value, "");
  EXPECT_EQ(l.Value("customer", 1).ValueId, 0);

  // No document of another link: nothing found, nothing raised.
  l.store.LoadFromRecord(6, kSalesInvId);
  EXPECT_FALSE(l.store.Found);
  EXPECT_EQ(l.store.DocumentRecordId, 0);
  EXPECT_EQ(l.store.GetMaxRow(1), 0);
  EXPECT_EQ(l.store.GetMaxRow(2), 0);
  EXPECT_EQ(l.store.FrameRowCount(2), 0);
}

TEST(StoreLoad, FailuresNameTheStatementAndLeaveTheDefinitionIntact) {
  Loaded l("salesinv");
  EXPECT_EQ(l.LoadFailure(42), "Data stored in salesinv is improper. Cannot load transaction");
  std::vector<std::string> names;
  for (const auto& f : l.def.Fields) names.push_back(f->name);
  l.s.site.Exec("alter table salesinvdet rename column discount to disc");
  const std::string failure = l.LoadFailure(kSalesInvId);
  EXPECT_EQ(failure.rfind("Unable to load. SQL : Select a.salesinvdetid", 0), 0u) << failure;
  std::vector<std::string> after;
  for (const auto& f : l.def.Fields) after.push_back(f->name);
  EXPECT_EQ(after, names);
  EXPECT_EQ(l.log.back(), "#resetlevel#");

  // A stored id that is no number never becomes part of a statement.
  l.s.site.Exec("alter table salesinvdet rename column disc to discount");
  l.s.site.Exec("update salesinv set customer = '0 or 1 = 1' where salesinvid = 700010000000101");
  EXPECT_EQ(
      l.LoadFailure(kSalesInvId),
      "Unable to load. SQL : Select CUSTNAME from \"CUSTOMER\" Where CUSTOMERid = 0 or 1 = 1");
}

TEST(StoreLoad, SampleDocumentsLoadAlikeFromPostgreSQL) {
  v7test::PgSite pg(v7test::PgSite::Content::ProductAndDocuments);
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  auto mgr = pg.Site().NewManager();
  ASSERT_TRUE(mgr->Connect("pgsite")) << mgr->ErrorText;

  TStructDef def(mgr.get(), ":salesinvsf");
  TStoreData st(&def, "salesinvsf");
  st.SetPrimaryTable(def.PrimaryTable);
  st.LoadTransaction(v7test::kSalesInvSfId);
  EXPECT_EQ(st.GetValue("invdate", 1), "16/06/2026");
  EXPECT_EQ(st.GetValue("item", 2), "Men's Shirt");
  EXPECT_EQ(st.GetValue("batchno", 3), "S-01");
  EXPECT_EQ(st.GetParentRow(3, 3), 2);
  EXPECT_EQ(st.GetValue("oldbatchqty", 2), "3");

  // A list query of the lower-case function of the dialect.
  TStructDef inv(mgr.get(), ":salesinv");
  v7::TXDS& list = *inv.GetField("paymode")->ListQuery;
  int rows = 0;
  for (list.Open(); !list.Eof(); list.Next()) ++rows;
  EXPECT_EQ(rows, 3);
}

// The first stored field of a table in LoadOrder.
int GroupStart(const TStoreData& st, const std::string& table) {
  for (size_t i = 0; i < st.LoadOrder.size(); ++i)
    if (st.LoadOrder[i]->savetablename == table) return static_cast<int>(i);
  return -1;
}

TEST(StoreLoad, LoadStatementsOfTheAccessAndOracleDialects) {
  Loaded l("salesinvsf");
  l.store.LoadTransaction(v7test::kSalesInvSfId);
  TStoreData& st = l.store;
  auto sql = [&](const std::string& table) {
    st.CurrentTable = table;
    return st.LoadSQLText(GroupStart(st, table));
  };
  EXPECT_EQ(sql("salesinvsf"),
            "Select a.salesinvsfid, a.Approval, a.T1SourceId, a.cancel , a.invno, a.invdate, "
            "a.customer, a.remarks from \"SALESINVSF\" as a where a.salesinvsfid = "
            "700010000000201");
  EXPECT_EQ(sql("salesinvsfbatch"),
            "Select a.salesinvsfbatchid, a.ParentRecordId, a.salesinvsfbatchrow, a.batchno, "
            "a.batchqty from \"SALESINVSFBATCH\" as a where a.salesinvsfid = 700010000000201 "
            "Order by salesinvsfbatchrow");

  st.DbKind = "oracle";
  st.SetTablePrefix("comp");
  st.ParentRowFlags = "t";
  EXPECT_EQ(sql("salesinvsfbatch"),
            "Select a.salesinvsfbatchid, a.ParentRow, a.salesinvsfbatchrow, a.batchno, "
            "a.batchqty from COMP.SALESINVSFBATCH a where a.salesinvsfid = 700010000000201 "
            "order by a.ParentRow, salesinvsfbatchrow");
  st.LoadBySource = true;
  st.HeaderRecordId = kSalesInvId;
  st.LinkTemplateId = 5;
  EXPECT_EQ(sql("salesinvsf"),
            "Select a.salesinvsfid, a.Approval, a.T1SourceId, a.cancel , a.invno, a.invdate, "
            "a.customer, a.remarks from COMP.SALESINVSF a where a.T1Sourceid = "
            "700010000000101 and a.LATemplateId = 5");
  // A header table other than the first stored table is joined.
  st.LoadBySource = false;
  st.PrimaryTable = "salesinvsfdet";
  EXPECT_EQ(sql("salesinvsfbatch"),
            "Select a.salesinvsfbatchid, a.ParentRow, a.salesinvsfbatchrow, a.batchno, "
            "a.batchqty from COMP.SALESINVSFBATCH a, COMP.SALESINVSFDET b where "
            "b.salesinvsfid = 700010000000201 and a.salesinvsfdetid = b.salesinvsfdetid "
            "order by a.ParentRow, salesinvsfbatchrow");
  st.DbKind = "access";
  EXPECT_EQ(sql("salesinvsfdet"),
            "Select a.salesinvsfdetid, a.salesinvsfdetrow, a.item, a.qty, a.price, a.amount from "
            "COMP.\"SALESINVSFDET\" as a, COMP.SALESINVSFDET b where b.salesinvsfid = "
            "700010000000201 and a.salesinvsfdetid = b.salesinvsfdetid Order by "
            "salesinvsfdetrow");
}

}  // namespace
