// Vouchers of the sample product's journal type saved on a real site file: each entry row
// takes the header's credit or debit master by its porm; everything else as any store.
#include <gtest/gtest.h>

#include "SampleProduct.h"
#include "uStoreVoucher.h"

namespace {

using v7::TStoreVoucher;

struct Voucher {
  Voucher() : def(s.mgr.get(), ":jv"), store(&def, "jv") {
    store.SetPrimaryTable(def.PrimaryTable);
    store.SetSiteNo(v7::SiteNo);
    store.AddRow(1);
    store.AddValueByName("vchdate", 1, "01/07/2026");
    store.AddValueByName("T1HiDbMid", 1, "111");
    store.AddValueByName("T1HiCrMid", 1, "112");
  }
  void Entry(const std::string& porm, const std::string& amount) {
    int r = store.AddRow(2);
    store.AddValueByName("mid", r, "Cash", "", 111);
    store.AddValueByName("porm", r, porm);
    store.AddValueByName("amount", r, amount);
  }
  std::string Sql(const std::string& sql) const { return s.site.Scalar(sql); }
  v7test::SampleSite s;
  v7::TStructDef def;
  TStoreVoucher store;
};

std::string Error(TStoreVoucher& store) {
  try {
    store.Save();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(StoreVoucher, EntryRowsTakeTheCreditOrDebitMasterByPorm) {
  Voucher v;
  v.Entry("1", "100");
  v.Entry("2", "60");
  v.Entry("", "40");
  v.store.Save();
  EXPECT_EQ(
      v.Sql("select group_concat(trans2row || ':' || coalesce(porm, '') || ':' || cmid || ':' || "
            "trans1id, ',') from (select * from trans2 order by trans2row)"),
      "1:1:112:" + v7::TStoreData::IdText(v.store.DocumentRecordId) +
          ",2:2:111:" + v7::TStoreData::IdText(v.store.DocumentRecordId) +
          ",3::111:" + v7::TStoreData::IdText(v.store.DocumentRecordId));
  // The header is written as by any store.
  EXPECT_EQ(v.Sql("select vchno || ':' || t1hidbmid || ':' || t1hicrmid || ':' || cancel from "
                  "trans1"),
            "JV000001:111:112:F");

  // A changed entry keeps the rule: row 2 turns into a credit line.
  v.store.MarkLoaded();
  v.store.AddValueByName("porm", 2, "1");
  v.store.Save();
  EXPECT_EQ(v.Sql("select cmid from trans2 where trans2row = 2"), "112");
}

TEST(StoreVoucher, MissingVoucherFieldsFailTheSave) {
  Voucher v;
  v.Entry("2", "10");
  v.store.Values.erase(v.store.Values.begin() + v.store.IndexOfValue("T1HiCrMid", 1));
  // Even a voucher of debit lines only needs both header masters.
  EXPECT_EQ(Error(v.store), "Field T1HiCrMid not found");

  Voucher noDebit;
  noDebit.Entry("1", "10");
  noDebit.store.Values.erase(noDebit.store.Values.begin() +
                             noDebit.store.IndexOfValue("T1HiDbMid", 1));
  EXPECT_EQ(Error(noDebit.store), "Field T1HiDbMid not found");

  Voucher noPorm;
  noPorm.Entry("1", "10");
  noPorm.store.Values.erase(noPorm.store.Values.begin() + noPorm.store.IndexOfValue("porm", 1));
  EXPECT_EQ(Error(noPorm.store), "Field PORM not found");
}

}  // namespace
