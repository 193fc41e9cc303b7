// Vouchers of the sample product's journal type saved on a real site file: each entry row
// takes the header's credit or debit master by its porm; everything else as any store.
#include <gtest/gtest.h>

#include "StoreDoc.h"
#include "uStoreVoucher.h"

namespace {

// A voucher whose header has both masters, with entry rows of the given porm texts.
struct Voucher : v7test::StoreDoc<v7::TStoreVoucher> {
  explicit Voucher(std::initializer_list<const char*> porms) : StoreDoc("jv") {
    store.AddRow(1);
    store.AddValueByName("vchdate", 1, "01/07/2026");
    store.AddValueByName("T1HiDbMid", 1, "111");
    store.AddValueByName("T1HiCrMid", 1, "112");
    for (const char* porm : porms) {
      int r = store.AddRow(2);
      store.AddValueByName("mid", r, "Cash", "", 111);
      store.AddValueByName("porm", r, porm);
      store.AddValueByName("amount", r, "10");
    }
  }
};

TEST(StoreVoucher, EntryRowsTakeTheCreditOrDebitMasterByPorm) {
  Voucher v({"1", "2", ""});
  v.store.Save();
  const std::string id = v7::TStoreData::IdText(v.store.DocumentRecordId);
  EXPECT_EQ(v.Sql("select group_concat(trans2row || ':' || cmid || ':' || trans1id, ',') from "
                  "(select * from trans2 order by trans2row)"),
            "1:112:" + id + ",2:111:" + id + ",3:111:" + id);
  EXPECT_EQ(v.Sql("select vchno || ':' || t1hidbmid || ':' || t1hicrmid from trans1"),
            "JV000001:111:112");

  // A changed entry keeps the rule: row 2 turns into a credit line.
  v.store.MarkLoaded();
  v.store.AddValueByName("porm", 2, "1");
  v.store.Save();
  EXPECT_EQ(v.Sql("select cmid from trans2 where trans2row = 2"), "112");

  // Even a voucher of debit lines only needs both header masters.
  Voucher noCredit({"2"});
  noCredit.store.Values.erase(noCredit.store.Values.begin() +
                              noCredit.store.IndexOfValue("T1HiCrMid", 1));
  EXPECT_EQ(v7test::Error([&] { noCredit.store.Save(); }), "Field T1HiCrMid not found");
}

}  // namespace
