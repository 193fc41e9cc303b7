// Saving documents of the sample product into a real site file: numbering from the series,
// record ids and control columns of new rows, changes and removed rows of stored documents,
// approval and save-control refusals, sub-frame parents and generated documents.
#include <gtest/gtest.h>

#include <algorithm>

#include "PgCluster.h"
#include "SampleProduct.h"
#include "uMDMap.h"
#include "uPgBackend.h"
#include "uStoreData.h"

namespace {

using v7::TStoreData;
using v7::TStructDef;
using v7test::kSalesInvId;

struct Doc {
  explicit Doc(const std::string& type) : def(s.mgr.get(), ":" + type), store(&def, type) {
    Prepare(store);
  }
  void Prepare(TStoreData& st) {
    st.SetPrimaryTable(def.PrimaryTable);
    st.SetSiteNo(v7::SiteNo);
    st.UserName = "tester";
    st.OnLog = [this](const std::string& line) { log.push_back(line); };
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  std::string Sql(const std::string& sql) const { return s.site.Scalar(sql); }
  // A new salesinv: the header and two item rows, as the validator leaves it.
  void NewInvoice() {
    store.AddRow(1);
    store.AddValueByName("invdate", 1, "20/06/2026");
    store.AddValueByName("customer", 1, "Acme Stores", "", 101);
    store.AddValueByName("paymode", 1, "Cash");
    store.AddValueByName("totalamt", 1, "1,250.5");
    store.AddRow(2);
    store.AddValueByName("item", 1, "Blue Pen", "", 201);
    store.AddValueByName("qty", 1, "2");
    store.AddRow(2);
    store.AddValueByName("item", 2, "Notebook", "", 203);
    store.AddValueByName("qty", 2, "3");
  }
  v7test::SampleSite s;
  TStructDef def;
  TStoreData store;
  std::vector<std::string> log;
};

std::string Error(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(StoreSave, NewDocumentIsNumberedAndGetsIdsAndControlColumns) {
  Doc d("salesinv");
  d.NewInvoice();
  d.store.Save();

  EXPECT_TRUE(d.store.IsNew);
  const std::string id = TStoreData::IdText(d.store.DocumentRecordId);
  EXPECT_GT(d.store.DocumentRecordId, 0);
  EXPECT_EQ(d.store.HeaderRecordId, d.store.DocumentRecordId);
  EXPECT_EQ(d.store.GetValue("invno", 1), "INV000042");
  EXPECT_EQ(d.Sql("select lastno from sequence where sequenceid = 1"), "43");
  EXPECT_EQ(d.Sql("select invno || '|' || customer || '|' || paymode || '|' || totalamt || '|' || "
                  "cancel || '|' || siteno || '|' || username || '|' || approval || '|' || "
                  "latemplateid || '|' || t1sourceid || '|' || coalesce(remarks, 'null') "
                  "from salesinv where salesinvid = " +
                  id),
            "INV000042|101|Cash|1250.5|F|7|tester|0|0|0|null");
  EXPECT_NE(d.Sql("select modifiedon from salesinv where salesinvid = " + id), "");
  EXPECT_EQ(d.Sql("select group_concat(salesinvdetrow || ':' || item || ':' || printf('%g', qty) "
                  "|| ':' || printf('%g', discount) || ':' || cancel, ',') from (select * from "
                  "salesinvdet where "
                  "salesinvid = " +
                  id + " order by salesinvdetrow)"),
            "1:201:2:0:F,2:203:3:0:F");
  // Each stored row is known by frame and row with its record id.
  ASSERT_EQ(d.store.RowIds.size(), 3u);
  EXPECT_EQ(d.store.FindRowRecordId(1, 1), d.store.DocumentRecordId);
  EXPECT_EQ(TStoreData::IdText(d.store.FindRowRecordId(2, 2)),
            d.Sql("select salesinvdetid from salesinvdet where salesinvdetrow = 2 and "
                  "salesinvid = " +
                  id));
  EXPECT_TRUE(d.Logged("# 1#Writing to tables salesinv"));
  EXPECT_EQ(d.log.back(), "#resetlevel#");
}

TEST(StoreSave, GivenHeaderIdIsKeptAndNumberedFieldsKeepTheirNumber) {
  Doc d("salesinv");
  d.NewInvoice();
  d.store.AddValueByName("salesinvid", 1, "700050000000009");
  d.store.AddValueByName("invno", 1, "INV777777");
  d.store.AddAutoField("invno");
  d.store.Save();
  EXPECT_EQ(d.store.DocumentRecordId, 700050000000009.0L);
  EXPECT_EQ(d.Sql("select invno from salesinv where salesinvid = 700050000000009"), "INV777777");
  EXPECT_EQ(d.Sql("select count(*) from salesinvdet where salesinvid = 700050000000009"), "2");
  EXPECT_EQ(d.Sql("select lastno from sequence where sequenceid = 1"), "42");
}

TEST(StoreSave, ChangedDocumentUpdatesRowsDeletesRemovedRowsAndWritesHistory) {
  Doc d("salesinv");
  d.store.History = true;
  d.store.LoadTransaction(kSalesInvId);
  d.store.AddValueByName("qty", 1, "6");
  d.store.DeleteRow(2, 2);  // Men's Shirt; the Notebook row becomes row 2
  d.store.Save();

  EXPECT_FALSE(d.store.IsNew);
  EXPECT_EQ(d.Sql("select invno from salesinv where salesinvid = 700010000000101"), "INV000041");
  EXPECT_EQ(d.Sql("select lastno from sequence where sequenceid = 1"), "42");
  EXPECT_EQ(d.Sql("select group_concat(salesinvdetid || ':' || salesinvdetrow || ':' || "
                  "printf('%g', qty), ',') "
                  "from (select * from salesinvdet where salesinvid = 700010000000101 order by "
                  "salesinvdetrow)"),
            "700010000000102:1:6,700010000000104:2:5");
  // The qty change, and the removed row's non-zero values (its zero discount and its row
  // column write nothing), all under amendment 1.
  EXPECT_EQ(d.Sql("select group_concat(fieldname || ':' || rowno || ':' || coalesce(newvalue, '') "
                  "|| ':' || "
                  "oldvalue || ':' || delflag || ':' || modno || ':' || tablerecid || ':' || "
                  "username || ':' || transdeleted, ',') from (select * from salesinvhistory "
                  "order by delflag, fieldname)"),
            "qty:1:6:4:f:1:700010000000102:tester:f,amount:2::900:t:1:700010000000103:tester:f,"
            "item:2::Men's Shirt:t:1:700010000000103:tester:f,price:2::450:t:1:700010000000103:"
            "tester:f,qty:2::2:t:1:700010000000103:tester:f");
  EXPECT_NE(d.Sql("select min(modifieddate) from salesinvhistory"), "");

  // The next change is amendment 2; a text too long for the history column reads "******".
  d.store.MarkLoaded();
  d.store.AddValueByName("remarks", 1, "delivered to the back door please");
  d.store.Save();
  EXPECT_EQ(d.Sql("select modno || ':' || newvalue || ':' || coalesce(oldvalue, '') from "
                  "salesinvhistory where fieldname = 'remarks'"),
            "2:******:");
  EXPECT_EQ(d.Sql("select remarks from salesinv where salesinvid = 700010000000101"),
            "delivered to the back door please");
}

TEST(StoreSave, NumberSeriesPeekPrefixesLongNumbersAndSwitching) {
  Doc d("salesinv");
  std::string n;
  d.store.GetNextNumber("InvNo", true, n);
  EXPECT_EQ(n, "INV000042");
  d.store.GetNextNumber("invno", true, n);
  EXPECT_EQ(n, "INV000042");
  EXPECT_EQ(d.Sql("select lastno from sequence where sequenceid = 1"), "42");

  d.s.site.Exec("update sequence set lastno = 1234567 where sequenceid = 1");
  d.store.GetNextNumber("invno", false, n);
  EXPECT_EQ(n, "INV1234567");
  EXPECT_EQ(d.Sql("select lastno from sequence where sequenceid = 1"), "1234568");
  EXPECT_TRUE(d.Logged("# 1#NumRows affected 1"));

  // Another series becomes the active one, in the store and in the table.
  d.store.FindSequence("salesinv", "invno", "CSH");
  EXPECT_EQ(d.Sql("select group_concat(prefix || activesequence, ',') from (select * from "
                  "sequence where transtype = 'salesinv' order by sequenceid)"),
            "INVF,CSHT");
  d.store.GetNextNumber("invno", false, n);
  EXPECT_EQ(n, "CSH000007");
  // A field that is not numbered is no series' business.
  d.store.FindSequence("salesinv", "remarks", "INV");
  EXPECT_EQ(d.Sql("select activesequence from sequence where sequenceid = 1"), "F");

  // No series: no number.
  d.s.site.Exec("delete from sequence");
  n = "x";
  d.store.GetNextNumber("invno", false, n);
  EXPECT_EQ(n, "");
}

TEST(StoreSave, NumbersAlreadyTakenAreReplacedWithinFiftyPasses) {
  Doc d("salesinv");
  d.s.site.Exec("insert into salesinv (salesinvid, invno) values (1, 'INV000042')");
  d.NewInvoice();
  d.store.Save();
  EXPECT_EQ(d.store.GetValue("invno", 1), "INV000043");
  EXPECT_TRUE(d.Logged("# 3#Changed value of invno"));
  EXPECT_TRUE(d.Logged("# 3#to INV000043"));
  EXPECT_EQ(d.Sql("select count(*) from salesinv where invno = 'INV000043'"), "1");

  // 49 renumbering passes and a 50th that confirms the number: saved.
  Doc many("salesinv");
  for (int n = 42; n <= 90; ++n)
    many.s.site.Exec("insert into salesinv (salesinvid, invno) values (" + std::to_string(n) +
                     ", 'INV0000" + std::to_string(n) + "')");
  many.NewInvoice();
  many.store.Save();
  EXPECT_EQ(many.store.GetValue("invno", 1), "INV000091");

  // One number more taken: the 50th pass still finds it taken.
  Doc full("salesinv");
  for (int n = 42; n <= 91; ++n)
    full.s.site.Exec("insert into salesinv (salesinvid, invno) values (" + std::to_string(n) +
                     ", 'INV0000" + std::to_string(n) + "')");
  full.NewInvoice();
  EXPECT_EQ(Error([&] { full.store.Save(); }), "Unable to get unique number. Please Save again");
  EXPECT_EQ(full.log.back(), "#resetlevel#");
}

TEST(StoreSave, ApprovalAndSaveControlRefuseBeforeWriting) {
  {
    Doc d("salesinvap");
    d.s.site.Exec("update approvaldef set levelno = 1");
    TStoreData st(&d.def, "salesinvap");
    d.Prepare(st);
    st.LoadTransaction(v7test::kSalesInvApId);  // approval 2, status W
    st.AddValueByName("qty", 1, "9");
    EXPECT_EQ(Error([&] { st.Save(); }),
              "Transaction has been approved by higher authority. Cannot change");
    EXPECT_EQ(d.Sql("select qty from salesinvapdet where salesinvapid = 700010000000301"), "2");
    st.ChecksOn = false;
    EXPECT_EQ(Error([&] { st.Save(); }), "");

    // While its status is "e" it may change; the status goes back to waiting.
    d.s.site.Exec("update salesinvap set approvalstatus = 'e', maxapproved = 1");
    st.ChecksOn = true;
    st.LoadTransaction(v7test::kSalesInvApId);
    st.AddValueByName("qty", 1, "3");
    st.Save();
    EXPECT_EQ(d.Sql("select approval || approvalstatus || maxapproved from salesinvap where "
                    "salesinvapid = 700010000000301"),
              "1W1");
    EXPECT_EQ(d.Sql("select qty from salesinvapdet where salesinvapid = 700010000000301"), "3");
  }
  {
    Doc d("receipt");
    d.store.SaveControlField = "saveok";
    d.store.AddValueByName("rcptno", 1, "");
    d.store.AddValueByName("rcptdate", 1, "01/07/2026");
    EXPECT_EQ(Error([&] { d.store.Save(); }), "Invalid control field");
    d.store.AddValueByName("saveok", 1, "F");
    EXPECT_EQ(Error([&] { d.store.Save(); }),
              "Saving this document is not allowed. May be due to insufficiant details.");
    EXPECT_EQ(d.Sql("select count(*) from receipt"), "0");
    d.store.AddValueByName("saveok", 1, "t");
    d.store.Save();
    EXPECT_EQ(d.Sql("select rcptno || saveok from receipt"), "RC000001t");
  }
}

TEST(StoreSave, SubFrameRowsStoreTheirParentRowsRecordIds) {
  Doc d("salesinvsf");
  d.store.AddRow(1);
  d.store.AddValueByName("invdate", 1, "21/06/2026");
  for (int item : {201, 202}) {
    int r = d.store.AddRow(2);
    d.store.AddValueByName("item", r, "", "", item);
  }
  // Two batches under item row 2, one under item row 1.
  for (int parent : {2, 1, 2}) {
    int r = d.store.AddRow(3);
    d.store.AddValueByName("batchno", r, "B-" + std::to_string(r));
    for (auto& v : d.store.Values)
      if (v.Frame == 3 && v.Row == r) v.ParentRow = parent;
  }
  d.store.Save();
  const std::string id = TStoreData::IdText(d.store.DocumentRecordId);
  EXPECT_EQ(d.Sql("select group_concat(b.batchno || ':' || d.item || ':' || (d.salesinvsfid = " +
                  id + "), ',') from (select * from salesinvsfbatch where salesinvsfid = " + id +
                  " order by salesinvsfbatchrow) b join salesinvsfdet d on d.salesinvsfdetid = "
                  "b.parentrecordid"),
            "B-1:202:1,B-2:201:1,B-3:202:1");

  // A batch under an item row that does not exist cannot be placed.
  Doc bad("salesinvsf");
  bad.store.AddRow(1);
  bad.store.AddRow(2);
  int r = bad.store.AddRow(3);
  for (auto& v : bad.store.Values)
    if (v.Frame == 3 && v.Row == r) v.ParentRow = 5;
  EXPECT_EQ(Error([&] { bad.store.Save(); }), "ParentRecordId improper");
}

TEST(StoreSave, GeneratedDocumentsCarryTheirSourceAndLinkIds) {
  Doc d("salesinv");
  d.NewInvoice();
  d.store.AddValueByName("remarks", 1, "sourcerecordid");
  d.store.SaveLinked(6, 700010000000102.0L, kSalesInvId);
  const std::string id = TStoreData::IdText(d.store.DocumentRecordId);
  EXPECT_EQ(d.Sql("select latemplateid || ':' || t1sourceid || ':' || remarks from salesinv "
                  "where salesinvid = " +
                  id),
            "6:700010000000102:700010000000102");
  EXPECT_EQ(d.Sql("select min(latemplateid) || ':' || min(t1sourceid) from salesinvdet where "
                  "salesinvid = " +
                  id),
            "6:700010000000102");
  EXPECT_EQ(d.store.GetValue("remarks", 1), "700010000000102");
  EXPECT_EQ(d.store.LinkTemplateId, 0);
  EXPECT_EQ(d.store.SourceRecordId, 0);
  EXPECT_EQ(d.store.PrimaryRecordId, 0);

  // Outside a linked save the placeholder stands for no document.
  Doc plain("salesinv");
  plain.NewInvoice();
  plain.store.AddValueByName("remarks", 1, "primaryrecordid");
  plain.store.Save();
  EXPECT_EQ(plain.Sql("select remarks from salesinv where salesinvid = " +
                      TStoreData::IdText(plain.store.DocumentRecordId)),
            "0");
}

TEST(StoreSave, SavesQueueTheMasterUpdatesOfTheDocument) {
  Doc d("salesinv");
  v7::TMDMap map;
  map.LoadUpdateDetails("salesinv", &d.def);
  d.store.MDMap = &map;
  d.NewInvoice();
  d.store.AddValueByName("totalamt", 1, "1250");
  d.store.Save();
  map.Flush();
  auto masters = [&] {
    return d.Sql("select printf('%g', balance) from customer where customerid = 101") + "/" +
           d.Sql(
               "select group_concat(printf('%g', stockqty), ',') from (select * from item "
               "order by itemid)");
  };
  EXPECT_EQ(masters(), "1250/98,20,47");

  // Saved again with other values: only the difference goes to the masters.
  d.store.MarkLoaded();
  d.store.AddValueByName("totalamt", 1, "1000");
  d.store.AddValueByName("qty", 2, "1");
  d.store.Save();
  map.Flush();
  EXPECT_EQ(masters(), "1000/98,20,49");
}

}  // namespace

namespace {

// The same saving on a PostgreSQL site, where the series row is locked "for update" and a
// failed statement would spoil the whole transaction: a document is numbered past a taken
// number, changed, cancelled (a table without a cancel column included) and deleted, each
// in one transaction that commits.
TEST(StoreSave, SavesCancelsAndDeletesOnPostgreSQLInsideTransactions) {
  v7test::PgCluster pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  v7::TPgBackend admin;
  admin.Open(pg.Target("postgres"));
  admin.Execute("create database site");
  v7::TPgBackend db;
  db.Open(pg.Target("site"));
  v7test::RunScript(db, "site_schema.sql");
  v7test::ApplySampleProduct(db, true);
  db.Execute("insert into receipt (receiptid, rcptno) values (1, 'RC000001')");
  v7test::TempDir dir;
  v7test::SiteDb site(dir.path());
  site.AddProject("pgsite",
                  "Project=postgres\nDbType=postgre\nDriver=dbx\nDbName=" + pg.Target("site"));
  auto mgr = site.NewManager();
  ASSERT_TRUE(mgr->Connect("pgsite")) << mgr->ErrorText;
  auto scalar = [&](const std::string& sql) {
    v7::TDbRowSet rows = db.Query(sql);
    return rows.Rows.empty() || rows.Rows[0][0].IsNull()  ? std::string()
           : rows.Rows[0][0].Kind == v7::TDbKind::Text    ? rows.Rows[0][0].Text
           : rows.Rows[0][0].Kind == v7::TDbKind::Integer ? std::to_string(rows.Rows[0][0].Int)
                                                          : v7::FloatToStr(rows.Rows[0][0].Float);
  };

  TStructDef def(mgr.get(), ":receipt");
  TStoreData st(&def, "receipt");
  st.SetPrimaryTable(def.PrimaryTable);
  st.AddRow(1);
  st.AddValueByName("rcptdate", 1, "02/07/2026");
  st.AddValueByName("saveok", 1, "T");
  st.AddValueByName("delok", 1, "T");
  st.AddRow(2);
  st.AddValueByName("invref", 1, "INV000041");
  st.AddValueByName("amount", 1, "75");
  mgr->StartTransaction("pgsite");
  st.Save();
  mgr->Commit("pgsite");
  const long double id = st.DocumentRecordId;
  const std::string idText = TStoreData::IdText(id);
  EXPECT_EQ(scalar("select rcptno from receipt where receiptid = " + idText), "RC000002");
  EXPECT_EQ(scalar("select lastno from sequence where sequenceid = 6"), "3");

  st.ClearValues();
  st.LoadTransaction(id);
  st.AddValueByName("amount", 1, "80");
  mgr->StartTransaction("pgsite");
  st.Save();
  st.CancelTransaction();
  mgr->Commit("pgsite");
  EXPECT_EQ(scalar("select amount || cancel from receiptdet join receipt using (receiptid) "
                   "where receiptid = " +
                   idText),
            "80T");

  mgr->StartTransaction("pgsite");
  st.DeleteTransaction();
  mgr->Commit("pgsite");
  EXPECT_EQ(scalar("select count(*) from receiptdet where receiptid = " + idText), "0");
  EXPECT_EQ(scalar("select count(*) from receipt"), "1");
}

}  // namespace
