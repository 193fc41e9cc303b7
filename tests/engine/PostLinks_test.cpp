// Posting and removing generated documents through real saves, loads, deletes and cancels:
// a sales invoice makes one journal voucher per item row (the sample product's link 6) and
// a receipt (link 20), and the receipt in turn a voucher (link 21).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LinkFixture.h"
#include "uDbBackend.h"

namespace {

using v7test::kSalesInvId;
using v7test::LinkSite;

constexpr long double kRow1Id = 700010000000102.0L;
constexpr long double kRow2Id = 700010000000103.0L;
constexpr long double kRow3Id = 700010000000104.0L;

struct InvoiceLinks : LinkSite {
  InvoiceLinks() : LinkSite("salesinv", true) {
    s.site.Exec("delete from linkentrydoc where linkentrydocid <> 6");
    // clang-format off
    Link(20, "salesinv", "receipt");
    Map(20, "rcptdate", 1, "invdate", 1); Map(20, "customer", 1, "customer", 1);
    Map(20, "saveok", 1, "", 0, "t"); Map(20, "delok", 1, "", 0, "t");
    Map(20, "totalamt", 1, "totalamt", 1); Map(20, "invref", 1, "invno", 1);
    Map(20, "amount", 1, "totalamt", 1);
    Link(21, "receipt", "jv");
    Map(21, "vchdate", 1, "rcptdate", 1); Map(21, "narration", 1, "sourcerecordid");
    Map(21, "T1HiDbMid", 1, "", 0, "111"); Map(21, "T1HiCrMid", 1, "", 0, "2");
    Map(21, "mid", 1, "", 0, "Cash", 111); Map(21, "porm", 1, "", 0, "0");
    Map(21, "amount", 1, "totalamt", 1);
    // clang-format on
    s.site.Exec(
        "insert into exprset (exprsetid, transid, expression) values (30, 'receipt', "
        "'{onpostgenmap}\nmapped := 1\n{aftersave}\nsaved := 1\n{afterdelete}\ndeleted := 1\n"
        "{aftercancel}\ncancelled := 1')");
  }
  // Loads the stored invoice as the facade does before posting its links.
  void LoadInvoice(bool existed) {
    if (!link) Open();
    store->LoadTransaction(kSalesInvId);
    link->EditMode = existed;
  }
  std::string Count(const std::string& table, const std::string& where) const {
    return s.site.Scalar("select count(*) from " + table + " where " + where);
  }
  static std::string IdText(long double id) { return v7::TStoreData::IdText(id); }
  std::string Var(const std::string& type, const std::string& name) {
    std::string value;
    link->LinkEntries.at(static_cast<size_t>(link->IndexOfTarget(type)))
        ->Validator->Eval->GetVar(name, value);
    return value;
  }
  std::string VoucherOfRow(long double rowId) const {
    return s.site.Scalar("select trans1id from trans1 where t1sourceid = " + IdText(rowId));
  }
};

TEST(PostLinks, TargetsAreMadeUpdatedAndRemovedWithTheSource) {
  InvoiceLinks t;
  t.LoadInvoice(false);
  ASSERT_TRUE(t.link->PostLinks(kSalesInvId));

  // One voucher per item row, with its row's amount and record id.
  for (long double id : {kRow1Id, kRow2Id, kRow3Id})
    EXPECT_EQ(t.Count("trans1", "latemplateid = 6 and t1sourceid = " + t.IdText(id)), "1");
  std::string row2Vch = t.VoucherOfRow(kRow2Id);
  EXPECT_EQ(t.Count("trans2", "amount = 900 and trans2row = 2 and trans1id = " + row2Vch), "1");
  EXPECT_EQ(t.Count("trans1", "narration = '" + t.IdText(kSalesInvId) + "'"), "3");
  // The receipt, and the voucher made from it with the receipt's id in its narration.
  std::string receiptId =
      t.s.site.Scalar("select receiptid from receipt where latemplateid = 20 and t1sourceid = " +
                      t.IdText(kSalesInvId));
  ASSERT_FALSE(receiptId.empty());
  EXPECT_EQ(t.Count("receiptdet", "invref = 'INV000041' and receiptid = " + receiptId), "1");
  EXPECT_EQ(t.Count("trans1", "latemplateid = 21 and narration = '" + receiptId + "'"), "1");
  // Events of the receipt: after mapping and after the save.
  EXPECT_EQ(t.Var("receipt", "mapped") + t.Var("receipt", "saved"), "11");
  EXPECT_EQ(t.Count("salesinvposted", "1 = 1"), "0");  // a new source marks nothing

  // Saved again twice: the same targets, updated, each marked posted once.
  for (int pass = 0; pass < 2; ++pass) {
    t.LoadInvoice(true);
    t.store->AddValueByName("amount", 2, "950");
    ASSERT_TRUE(t.link->PostLinks(kSalesInvId));
  }
  EXPECT_EQ(t.Count("trans1", "1 = 1") + "/" + t.Count("trans2", "1 = 1") + "/" +
                t.Count("receipt", "1 = 1"),
            "4/7/1");
  EXPECT_EQ(t.Count("trans2", "amount = 950 and trans2row = 1 and trans1id = " + row2Vch), "1");
  // The receipt's type has no POSTED table: 3 row marks and the receipt's.
  EXPECT_EQ(t.Count("salesinvposted", "1 = 1"), "4");
  EXPECT_EQ(t.Count("salesinvposted", "linkentrydocid = 20"), "1");

  // A row taken out of the invoice takes its voucher along.
  t.LoadInvoice(true);
  t.store->DeleteRow(2, 2);
  t.store->Save();
  ASSERT_TRUE(t.link->PostLinks(kSalesInvId));
  EXPECT_EQ(t.Count("trans1", "t1sourceid = " + t.IdText(kRow2Id)), "0");
  EXPECT_EQ(t.Count("trans1", "latemplateid = 6"), "2");
}

TEST(PostLinks, ControlFieldDecidesWhetherTheTargetExists) {
  InvoiceLinks t;
  t.s.site.Exec("update linkentrydoc set controlfieldname = 'flag' where linkentrydocid = 20");
  auto post = [&](const std::string& value, const std::string& old, bool existed) {
    t.LoadInvoice(existed);
    t.store->AddFieldValue("flag", "c", "", value, old, 1, 0, 0, 1, 0, false);
    t.store->Values.back().OldValue = old;
    ASSERT_TRUE(t.link->PostLinks(kSalesInvId));
  };
  std::string counts;
  for (auto [value, old, existed] :
       {std::tuple{"T", "", false}, {"t", "t", true}, {"f", "t", true}, {"f", "f", true}}) {
    post(value, old, existed);
    counts += t.Count("receipt", "1 = 1");
  }
  EXPECT_EQ(counts, "1100");
  EXPECT_EQ(t.Var("receipt", "deleted"), "1");
}

TEST(PostLinks, TargetFailingValidationRaisesItsMessage) {
  InvoiceLinks t;
  t.s.site.Exec(
      "update linkentrydocdetail set sourcefieldname = '', fieldvalue = 'Nobody' "
      "where linkentrydocid = 20 and targetfieldname = 'customer'");
  t.LoadInvoice(false);
  EXPECT_THAT([&] { t.link->PostLinks(kSalesInvId); },
              testing::ThrowsMessage<v7::EDatabaseError>(
                  testing::StrEq("Invalid selection \"Nobody\" in field Customer [customer]")));
  EXPECT_EQ(t.Count("receipt", "1 = 1"), "0");
}

// Link 22 makes a receipt from each row voucher; deleting or cancelling the invoice reaches
// them too.
TEST(PostLinks, RowTargetsTakeTheirOwnTargetsAlong) {
  for (bool cancel : {false, true}) {
    InvoiceLinks t;
    t.Link(22, "jv", "receipt");
    // clang-format off
    t.Map(22, "rcptdate", 1, "vchdate", 1); t.Map(22, "saveok", 1, "", 0, "t");
    t.Map(22, "delok", 1, "", 0, "t"); t.Map(22, "invref", 1, "primaryrecordid");
    // clang-format on
    t.LoadInvoice(false);
    ASSERT_TRUE(t.link->PostLinks(kSalesInvId));
    EXPECT_EQ(t.Count("receipt", "latemplateid = 22"), "3");
    EXPECT_EQ(t.Count("receipt", "latemplateid = 22 and t1sourceid = " + t.VoucherOfRow(kRow1Id)),
              "1");
    // The primary record of a document made from a row target is the invoice.
    EXPECT_EQ(t.Count("receiptdet", "invref = '" + t.IdText(kSalesInvId) + "'"), "3");

    t.LoadInvoice(true);
    t.link->CancelMode = cancel;
    ASSERT_TRUE(t.link->DeleteLinks(kSalesInvId));
    const std::string where = cancel ? "cancel = 'T'" : "1 = 1";
    EXPECT_EQ(t.Count("trans1", where) + t.Count("receipt", where), cancel ? "44" : "00");
    if (!cancel) {
      // Nothing left: a second removal finds nothing and is no error.
      EXPECT_TRUE(t.link->DeleteLinks(kSalesInvId));
    }
    EXPECT_EQ(t.Var("receipt", "cancelled") + "/" + t.Var("receipt", "deleted"),
              cancel ? "1/" : "/1");
  }
}

// The sample's link 7 (approved invoice to receipt) stores its receipts under its parent
// link 5: saving twice finds and updates the one receipt.
TEST(PostLinks, TargetsOfALinkWithAParentAreStoredUnderTheParentLink) {
  LinkSite t("salesinv", true);
  t.s.site.Exec("delete from linkentrydoc where linkentrydocid not in (5, 7)");
  t.Open();
  for (int pass = 0; pass < 2; ++pass) {
    t.store->LoadTransaction(kSalesInvId);
    t.link->EditMode = true;
    ASSERT_TRUE(t.link->PostLinks(kSalesInvId));
  }
  const std::string ap = v7::TStoreData::IdText(v7test::kGeneratedApId);
  EXPECT_EQ(t.s.site.Scalar("select (select count(*) from salesinvap where latemplateid = 5) || "
                            "(select count(*) from receipt) || (select count(*) from receipt "
                            "where latemplateid = 5 and t1sourceid = " +
                            ap + ")"),
            "111");
}

// Each batch row of an invoice with batches makes a receipt that names its item row.
TEST(PostLinks, SubFormRowTargetsKeepTheirParentRowIdWhenReloaded) {
  LinkSite t("salesinvsf");
  t.Link(30, "salesinvsf", "receipt", 3);
  // clang-format off
  t.Map(30, "rcptdate", 1, "invdate", 1); t.Map(30, "saveok", 1, "", 0, "t");
  t.Map(30, "invref", 1, "parentrecordid");
  // clang-format on
  t.Open();
  for (bool existed : {false, true}) {
    t.store->LoadTransaction(v7test::kSalesInvSfId);
    t.link->EditMode = existed;
    ASSERT_TRUE(t.link->PostLinks(v7test::kSalesInvSfId));
    EXPECT_EQ(t.s.site.Scalar("select count(*) from receipt"), "3");
    auto parentOf = [&](const std::string& batch) {
      return t.s.site.Scalar(
          "select invref from receipt r, receiptdet d where d.receiptid = r.receiptid and "
          "r.t1sourceid = " +
          batch);
    };
    EXPECT_EQ(parentOf("700010000000204") + "/" + parentOf("700010000000205") + "/" +
                  parentOf("700010000000206"),
              "700010000000202/700010000000202/700010000000203")
        << (existed ? "reloaded" : "new");
  }
}

}  // namespace
