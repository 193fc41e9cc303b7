// Deleting and cancelling stored documents of the sample product on a real site file: every
// table of the document, the refusals that come before anything is written, the history of
// a change or a deletion, and the masters reversed once.
#include <gtest/gtest.h>

#include "StoreDoc.h"
#include "uMDMap.h"

namespace {

using v7::TStoreData;
using v7::TStructDef;
using v7test::kSalesInvId;

using Doc = v7test::StoreDoc<>;
using v7test::Error;

TEST(StoreDelete, DeletesEveryTableOfTheDocumentAndRecordsEachValue) {
  Doc d("salesinv");
  d.store.History = true;
  d.store.LoadTransaction(kSalesInvId);
  d.store.DeleteTransaction();
  EXPECT_EQ(d.Sql("select (select count(*) from salesinv where salesinvid = 700010000000101) || "
                  "(select count(*) from salesinvdet where salesinvid = 700010000000101)"),
            "00");
  // Six stored header values and five per item row (the row column is no value of its own),
  // all of amendment 1 and marked as a deletion.
  EXPECT_EQ(d.Sql("select count(*) || ':' || min(modno) || max(modno) || ':' || "
                  "min(transdeleted) || max(transdeleted) || ':' || min(delflag) from "
                  "salesinvhistory where recordid = 700010000000101"),
            "21:11:tt:f");
  EXPECT_EQ(d.Sql("select (select count(*) from salesinvhistory where fieldname = "
                  "'salesinvdetrow') || oldvalue || '/' || newvalue from salesinvhistory where "
                  "fieldname = 'customer'"),
            "0O'Brien Traders/O'Brien Traders");

  // A document with a sub-frame: all three tables, nothing of other documents, cancelled
  // and then deleted.
  Doc sf("salesinvsf");
  sf.store.LoadTransaction(v7test::kSalesInvSfId);
  sf.store.CancelTransaction();
  EXPECT_EQ(sf.Sql("select group_concat(cancel, '') from (select cancel from salesinvsf union "
                   "all select cancel from salesinvsfdet union all select cancel from "
                   "salesinvsfbatch)"),
            "TTTTTT");
  EXPECT_EQ(sf.Sql("select group_concat(cancel, '') from salesinvdet"), "FFF");
  sf.store.DeleteTransaction();
  EXPECT_EQ(sf.Sql("select (select count(*) from salesinvsf) || (select count(*) from "
                   "salesinvsfdet) || (select count(*) from salesinvsfbatch)"),
            "000");
}

// The header rows go also when the definition's first stored field lies in a grid table.
TEST(StoreDelete, HeaderGoesWhenTheFirstStoredFieldIsNotInTheHeaderTable) {
  v7test::SampleSite s;
  s.site.Exec("update prms set frameno = 1, orders = 0 where prmsid = 13");  // discount
  TStructDef def(s.mgr.get(), ":salesinv");
  ASSERT_EQ(def.Fields.front()->savetablename, "salesinvdet");
  TStoreData st(&def, "salesinv");
  st.SetPrimaryTable(def.PrimaryTable);
  st.HeaderRecordId = kSalesInvId;
  st.DeleteTransaction();
  EXPECT_EQ(s.site.Scalar("select (select count(*) from salesinv) || (select count(*) from "
                          "salesinvdet)"),
            "00");
}

TEST(StoreDelete, RefusalsComeBeforeAnythingIsDeleted) {
  {
    Doc d("salesinvap");
    d.s.site.Exec("update approvaldef set levelno = 1");
    TStoreData st(&d.def, "salesinvap");
    st.SetPrimaryTable(d.def.PrimaryTable);
    st.LoadTransaction(v7test::kSalesInvApId);
    std::string message;
    st.CheckDeleteAllowed(message);
    EXPECT_EQ(message, "EntryDoc has been approved by higher authority. Cannot delete");
    EXPECT_EQ(Error([&] { st.DeleteTransaction(); }), message);
    // The approval level does not stand in the way of a cancel.
    st.CancelTransaction();
    EXPECT_EQ(d.Sql("select cancel || (select count(*) from salesinvapdet where salesinvapid = "
                    "700010000000301) from salesinvap where "
                    "salesinvapid = 700010000000301"),
              "T1");
  }
  Doc d("receipt");  // a stored receipt with one line, its delok a message of its own
  d.s.site.Exec(
      "insert into receipt (receiptid, rcptno, saveok, delok, cancel) values (900, "
      "'RC000009', 'T', 'later please', 'F')");
  d.s.site.Exec(
      "insert into receiptdet (receiptdetid, receiptid, receiptdetrow, invref, amount) "
      "values (901, 900, 1, 'INV000041', 100)");
  d.store.LoadTransaction(900);
  EXPECT_EQ(Error([&] { d.store.DeleteTransaction(); }), "later please");
  d.store.AddValueByName("delok", 1, "f");
  EXPECT_EQ(Error([&] { d.store.DeleteTransaction(); }), "Deleting this document is not allowed.");
  EXPECT_EQ(Error([&] { d.store.CancelTransaction(); }),
            "Cancelling this document is not allowed.");
  d.store.Values.erase(d.store.Values.begin() + d.store.IndexOfValue("delok", 1));
  std::string message;
  d.store.CheckDeleteAllowed(message);
  EXPECT_EQ(message, "Invalid control field");
  EXPECT_EQ(Error([&] { d.store.CancelTransaction(); }), message);
  EXPECT_EQ(d.Sql("select cancel || (select count(*) from receiptdet) from receipt"), "F1");

  // Without checks the control field is not consulted.
  d.store.ChecksOn = false;
  d.store.DeleteTransaction();
  EXPECT_EQ(d.Sql("select (select count(*) from receipt) || (select count(*) from receiptdet)"),
            "00");
}

TEST(StoreDelete, HistoryRecordsOnlyWhatChangedAndHonoursTransAmended) {
  Doc d("salesinv");
  d.store.History = true;
  d.store.LoadTransaction(kSalesInvId);
  // Numbers compare as numbers: "50.00" is no change of 50.
  d.store.AddValueByName("amount", 1, "50.00");
  d.store.AddValueByName("paymode", 1, "Cash");
  d.store.SaveHistory(false);
  EXPECT_EQ(d.Sql("select group_concat(fieldname || modno, ',') from salesinvhistory"), "paymode1");

  d.store.AddFieldValue("TransAmended", "c", "", "no", "", 1, 0, 0, 1, 0, false);
  d.store.SaveHistory(true);
  EXPECT_EQ(d.Sql("select count(*) from salesinvhistory"), "1");
  d.store.AddFieldValue("TransAmended", "c", "", "Yes", "", 1, 0, 0, 1, 0, false);
  d.store.SaveHistory(false);
  EXPECT_EQ(d.Sql("select count(*) from salesinvhistory where modno = 2"), "1");
}

TEST(StoreDelete, CancelReversesTheMastersOnceAndALaterDeleteLeavesThem) {
  Doc d("salesinv");
  v7::TMDMap map;
  map.LoadUpdateDetails("salesinv", &d.def);
  d.store.MDMap = &map;
  d.store.LoadTransaction(kSalesInvId);
  d.store.CancelTransaction();
  map.Flush();
  auto masters = [&] {
    return d.Sql("select printf('%g', balance) from customer where customerid = 102") + "/" +
           d.Sql(
               "select group_concat(printf('%g', stockqty), ',') from (select * from item "
               "order by itemid)");
  };
  EXPECT_EQ(masters(), "-1150/104,22,55");

  d.store.LoadTransaction(kSalesInvId);
  ASSERT_TRUE(d.store.Cancelled);
  d.store.DeleteTransaction();
  map.Flush();
  EXPECT_EQ(masters(), "-1150/104,22,55");
  EXPECT_EQ(d.Sql("select count(*) from salesinv where salesinvid = 700010000000101"), "0");
}

}  // namespace
