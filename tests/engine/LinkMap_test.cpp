// Mapping a generated document from its source: fixed rows, row-wise and grouped rows,
// pseudo fields and ids, controls, trimming of grid rows and sub-form parents.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LinkFixture.h"
#include "uDbBackend.h"

namespace {

using v7test::LinkSite;

// Sales invoice INV000041 (items Blue Pen, Men's Shirt, Notebook) into an approved invoice.
struct InvoiceToApproved : LinkSite {
  InvoiceToApproved() { Link(1, "salesinv", "salesinvap"); }
  void Load() {
    Open();
    store->LoadTransaction(v7test::kSalesInvId);
    link->SourceHeaderRecordId = v7test::kSalesInvId;
    Current(0);
  }
  // A value of the source that no definition names.
  void SourceExtra(const std::string& name, int row, const std::string& value, int frame = 2) {
    store->AddFieldValue(name, "c", "", value, "", row, 0, 0, frame, 0, false);
  }
  std::string Target(const std::string& field, int row) {
    return Value(LinkSite::Target(0), field, row);
  }
  int Rows() { return LinkSite::Target(0).GetMaxRow(2); }
  // The field's texts of target rows first..last, joined by "|".
  std::string Texts(const std::string& field, int first, int last) {
    std::string out;
    for (int row = first; row <= last; ++row) out += (row > first ? "|" : "") + Target(field, row);
    return out;
  }
};

TEST(LinkMap, FixedAndRowWiseRowsTakeValuesIdsAndPlaceholders) {
  InvoiceToApproved t;
  t.Map(1, "customer", 1, "customer", 1);
  t.Map(1, "totalamt", 1, "Customer", 1);  // a number fed by a look-up takes the id
  t.Map(1, "invno", 1, "SourceRecordId");
  t.Map(1, "item", 0, "item");
  t.Map(1, "amount", 0, "", 0, "7.5");  // a constant repeated on every source row
  t.Load();
  t.link->MapFields();

  EXPECT_EQ(t.Target("customer", 1), "O'Brien Traders");
  EXPECT_EQ(LinkSite::Id(t.LinkSite::Target(0), "customer", 1), 102);
  EXPECT_EQ(t.Target("totalamt", 1), "102");
  EXPECT_EQ(t.Target("invno", 1), "sourcerecordid");
  EXPECT_EQ(LinkSite::Id(t.LinkSite::Target(0), "item", 3), 203);
  EXPECT_EQ(t.Target("amount", 3), "7.5");
  EXPECT_EQ(t.Rows(), 3);
}

TEST(LinkMap, ControlledRowsContinueNumberingAndFailedFixedRowsLeaveNoGap) {
  InvoiceToApproved t;
  t.Map(1, "item", 0, "item");
  t.Map(1, "item", 0, "item", 0, "", 0, "", "", "flag");  // continues after the first
  t.Map(1, "qty", 1, "", 0, "1", 0, "", "", "flag1");
  t.Map(1, "qty", 2, "", 0, "2", 0, "", "", "flag2");
  t.Map(1, "qty", 3, "", 0, "3");
  t.Load();
  // clang-format off
  t.SourceExtra("flag", 1, "f"); t.SourceExtra("flag", 2, "T"); t.SourceExtra("flag", 3, "t");
  t.SourceExtra("flag1", 1, "T", 1); t.SourceExtra("flag2", 1, "no", 1);
  // clang-format on
  t.link->MapFields();

  EXPECT_EQ(t.Rows(), 5);
  EXPECT_EQ(t.Texts("item", 3, 5), "Notebook|Men's Shirt|Notebook");
  EXPECT_EQ(t.Texts("qty", 1, 3), "1|3|<none>");
}

TEST(LinkMap, GroupedRowsSumNumbersAndKeepTheFirstText) {
  InvoiceToApproved t;
  t.Map(1, "item", 0, "note", 0, "", 0, "", "item");
  t.Map(1, "qty", 0, "qty", 0, "", 0, "", "item");
  t.Map(1, "amount", 0, "amount", 0, "", 0, "", "item", "flag");
  t.Load();
  t.store->AddValueByName("item", 3, "Blue Pen", "", 201);
  const char* notes[] = {"", "shirts", "pens"};
  const char* flags[] = {"t", "t", "f"};
  for (int row = 1; row <= 3; ++row) {
    t.SourceExtra("note", row, notes[row - 1]);
    t.SourceExtra("flag", row, flags[row - 1]);
  }
  t.link->MapFields();

  EXPECT_EQ(t.Rows(), 2);
  EXPECT_EQ(t.Texts("item", 1, 2), "pens|shirts");
  EXPECT_EQ(t.Texts("qty", 1, 2), "9|2");
  // Row 3 fails the control: its amount stays out of the Blue Pen group.
  EXPECT_EQ(t.Target("amount", 1), "50");

  // Sums of 16 digits keep their last one.
  t.store->AddValueByName("qty", 1, "12345678901234.56");
  t.store->AddValueByName("qty", 3, "0.01");
  t.link->MapFields();
  EXPECT_EQ(t.Target("qty", 1), "12345678901234.57");
}

TEST(LinkMap, KeyFieldsPseudoFieldsAndNumbersAlreadyGiven) {
  InvoiceToApproved t;
  t.Map(1, "customer", 1, "", 0, "103", 0, "T");  // the text is the id
  t.Map(1, "totalamt", 1, "primaryrecordid");
  t.Map(1, "invno", 1, "invno", 1);
  t.Map(1, "item", 1, "parentrecordid");
  t.Map(1, "qty", 1, "sourcerecordid");
  t.Map(1, "amount", 1, "sourcerecordid");
  t.Load();
  // A reloaded target: its number and its stored source id stay; an old value that is no
  // id leaves the placeholder.
  v7::TStoreData& tg = t.LinkSite::Target(0);
  tg.AddValueByName("invno", 1, "AP000007", "AP000007");
  tg.AddValueByName("qty", 1, "700010000000101", "700010000000101");
  tg.AddValueByName("amount", 1, "", "");
  t.link->MapFields();

  EXPECT_EQ(t.Target("customer", 1), "");
  EXPECT_EQ(LinkSite::Id(tg, "customer", 1), 103);
  std::string texts;
  for (const char* f : {"totalamt", "invno", "item", "qty", "amount"})
    texts += t.Target(f, 1) + "|";
  EXPECT_EQ(texts, "700010000000101|AP000007|parentrecordid|700010000000101|sourcerecordid|");
}

TEST(LinkMap, UnknownTargetFieldIsADatabaseError) {
  InvoiceToApproved t;
  t.Map(1, "nosuch", 1, "invdate", 1);
  t.Load();
  EXPECT_THAT([&] { t.link->MapFields(); },
              testing::ThrowsMessage<v7::EDatabaseError>(
                  testing::StrEq("Invalid field nosuch in link to salesinvap")));
}

TEST(LinkMap, ReloadedTargetKeepsOnlyTheMappedGridRows) {
  InvoiceToApproved t;
  t.Map(1, "item", 0, "item");
  t.Load();
  for (int row = 1; row <= 5; ++row)
    t.LinkSite::Target(0).AddValueByName("item", row, "old", "old");
  t.link->MapFields();
  EXPECT_EQ(t.Rows(), 3);
  EXPECT_EQ(t.Texts("item", 1, 3), "Blue Pen|Men's Shirt|Notebook");
}

TEST(LinkMap, SourceFrameOfRowWiseRows) {
  // No row-wise row names a source field: nothing to follow, and no endless search.
  InvoiceToApproved t;
  t.Map(1, "qty", 0, "", 0, "9");
  t.Load();
  t.link->MapFields();
  EXPECT_EQ(t.Rows(), 0);

  // A row numbered 0 names the frame before an earlier row numbered below 0; alone, the
  // row below 0 does.
  InvoiceToApproved u;
  u.Map(1, "amount", -1, "totalamt");  // a header field, followed over the item rows
  u.Map(1, "qty", 0, "qty");
  u.Load();
  u.link->MapFields();
  EXPECT_NE(u.Target("amount", 3), "<none>");
  InvoiceToApproved v;
  v.Map(1, "qty", -1, "qty");
  v.Map(1, "amount", 0, "", 0, "1");
  v.Load();
  v.link->MapFields();
  EXPECT_EQ(v.Target("qty", 2), "2");
  EXPECT_EQ(v.Target("amount", 3), "1");
}

// An order's items and batch lines into an invoice with a batch sub-form.
struct OrderToBatchInvoice : LinkSite {
  OrderToBatchInvoice() : LinkSite("salesord") {
    Link(1, "salesord", "salesinvsf");
    Map(1, "item", 0, "item");
    Map(1, "batchno", 0, "sub_item");
    Open();
    const char* items[] = {"Blue Pen", "Men's Shirt", "Notebook"};
    const char* batches[] = {"Notebook", "Blue Pen", "Notebook"};
    for (int row = 1; row <= 3; ++row) {
      store->AddValueByName("item", row, items[row - 1], "", 200 + row);
      store->AddValueByName("sub_item", row, batches[row - 1]);
    }
    Current(0);
    // A batch row the target had before, beyond the mapped ones.
    Target(0).AddValueByName("batchno", 4, "B-09", "B-09");
  }
};

TEST(LinkMap, SubFormRowsFindTheirParentAndSurplusRowsGoUnlessShown) {
  OrderToBatchInvoice t;
  t.link->MapFields();
  v7::TStoreData& tg = t.Target(0);
  EXPECT_EQ(tg.GetMaxRow(3), 3);
  EXPECT_EQ(std::vector<int>({tg.GetParentRow(3, 1), tg.GetParentRow(3, 2), tg.GetParentRow(3, 3)}),
            std::vector<int>({3, 1, 3}));

  OrderToBatchInvoice shown;
  shown.link->ShowSubForm = ",receipt,SalesInvSf,";
  shown.link->MapFields();
  EXPECT_EQ(LinkSite::Value(shown.Target(0), "batchno", 4), "B-09");
}

}  // namespace
