// Mapping a generated document from its source: fixed rows, row-wise and grouped rows,
// pseudo fields and ids, controls, trimming of grid rows and sub-form parents.
#include <gtest/gtest.h>

#include "LinkFixture.h"
#include "uDbBackend.h"

namespace {

using v7test::LinkSite;

// Sales invoice INV000041 (three item rows) linked to an approved invoice by link 1.
struct InvoiceToApproved : LinkSite {
  InvoiceToApproved() {
    Link(1, "salesinv", "salesinvap");
    Link(2, "salesinv", "salesinvap", 2);
  }
  void Load() {
    Open();
    store->LoadTransaction(v7test::kSalesInvId);
    link->SourceHeaderRecordId = v7test::kSalesInvId;
    Current(0);
  }
  // A value of the source that no definition names, in the frame of the grid or header.
  void SourceExtra(const std::string& name, int row, const std::string& value, int frame = 2) {
    store->AddFieldValue(name, "c", "", value, "", row, 0, 0, frame, 0, false);
  }
  v7::TStoreData& target() { return Target(0); }
};

TEST(LinkMap, FixedAndRowWiseRowsTakeValuesIdsAndPlaceholders) {
  InvoiceToApproved t;
  t.Map(1, "invdate", 1, "invdate", 1);
  t.Map(1, "customer", 1, "customer", 1);
  t.Map(1, "totalamt", 1, "Customer", 1);  // a number fed by a look-up takes the id
  t.Map(1, "invno", 1, "SourceRecordId");
  t.Map(1, "item", 0, "item");
  t.Map(1, "qty", 0, "qty");
  t.Map(1, "amount", 0, "", 0, "7.5");  // a constant repeated on every source row
  t.Load();
  t.link->MapFields();

  v7::TStoreData& tg = t.target();
  EXPECT_EQ(LinkSite::Value(tg, "invdate", 1), "15/06/2026");
  EXPECT_EQ(LinkSite::Value(tg, "customer", 1), "O'Brien Traders");
  EXPECT_EQ(LinkSite::Id(tg, "customer", 1), 102);
  EXPECT_EQ(LinkSite::Value(tg, "totalamt", 1), "102");
  EXPECT_EQ(LinkSite::Id(tg, "totalamt", 1), 0);
  EXPECT_EQ(LinkSite::Value(tg, "invno", 1), "sourcerecordid");
  EXPECT_EQ(LinkSite::Value(tg, "item", 2), "Men's Shirt");
  EXPECT_EQ(LinkSite::Id(tg, "item", 3), 203);
  EXPECT_EQ(LinkSite::Value(tg, "qty", 3), "5");
  EXPECT_EQ(LinkSite::Value(tg, "amount", 3), "7.5");
  EXPECT_EQ(tg.GetMaxRow(2), 3);
  EXPECT_EQ(t.link->LinkEntries[0]->RowCounts, (std::vector<std::string>{"1", "3"}));
  EXPECT_TRUE(t.Logged("# 3#Mapped item Row = 2 value = Men's Shirt idvalue 202"));
}

TEST(LinkMap, SecondMappingOfAGridFieldContinuesAfterTheFirst) {
  InvoiceToApproved t;
  t.Map(1, "item", 0, "item");
  t.Map(1, "item", 0, "item", 0, "", 0, "", "", "flag");
  t.Load();
  t.SourceExtra("flag", 1, "f");
  t.SourceExtra("flag", 2, "T");
  t.SourceExtra("flag", 3, "t");
  t.link->MapFields();

  v7::TStoreData& tg = t.target();
  EXPECT_EQ(tg.GetMaxRow(2), 5);
  EXPECT_EQ(LinkSite::Value(tg, "item", 3), "Notebook");
  EXPECT_EQ(LinkSite::Value(tg, "item", 4), "Men's Shirt");
  EXPECT_EQ(LinkSite::Value(tg, "item", 5), "Notebook");
}

TEST(LinkMap, FailedControlOfAFixedRowMovesLaterFixedRowsUp) {
  InvoiceToApproved t;
  t.Map(1, "item", 1, "", 0, "Blue Pen", 201, "", "", "flag1");
  t.Map(1, "item", 2, "", 0, "Men's Shirt", 202, "", "", "flag2");
  t.Map(1, "item", 3, "", 0, "Notebook", 203);
  t.Map(1, "qty", 3, "qty", 3);
  t.Load();
  t.SourceExtra("flag1", 1, "T", 1);
  t.SourceExtra("flag2", 1, "no", 1);
  t.link->MapFields();

  v7::TStoreData& tg = t.target();
  EXPECT_EQ(LinkSite::Value(tg, "item", 1), "Blue Pen");
  EXPECT_EQ(LinkSite::Value(tg, "item", 2), "Notebook");
  EXPECT_EQ(LinkSite::Id(tg, "item", 2), 203);
  EXPECT_EQ(LinkSite::Value(tg, "qty", 2), "5");
  EXPECT_EQ(tg.GetMaxRow(2), 2);
  EXPECT_EQ(t.link->SkippedRows, (std::vector<std::string>{"2 2 "}));
}

TEST(LinkMap, GroupedRowsSumNumbersAndKeepTheFirstText) {
  InvoiceToApproved t;
  t.Map(1, "item", 0, "note", 0, "", 0, "", "item");
  t.Map(1, "qty", 0, "qty", 0, "", 0, "", "item");
  t.Map(1, "amount", 0, "amount", 0, "", 0, "", "item", "flag");
  t.Load();
  t.store->AddValueByName("item", 3, "Blue Pen", "", 201);
  t.SourceExtra("note", 1, "");
  t.SourceExtra("note", 2, "shirts");
  t.SourceExtra("note", 3, "pens");
  t.SourceExtra("flag", 1, "t");
  t.SourceExtra("flag", 2, "t");
  t.SourceExtra("flag", 3, "f");
  t.link->MapFields();

  v7::TStoreData& tg = t.target();
  EXPECT_EQ(tg.GetMaxRow(2), 2);
  EXPECT_EQ(LinkSite::Value(tg, "item", 1), "pens");
  EXPECT_EQ(LinkSite::Value(tg, "item", 2), "shirts");
  EXPECT_EQ(LinkSite::Value(tg, "qty", 1), "9");
  EXPECT_EQ(LinkSite::Value(tg, "qty", 2), "2");
  // Row 3 fails the control: its amount stays out of the Blue Pen group.
  EXPECT_EQ(LinkSite::Value(tg, "amount", 1), "50");
  EXPECT_EQ(LinkSite::Value(tg, "amount", 2), "900");
}

TEST(LinkMap, KeyFieldsPseudoFieldsAndNumbersAlreadyGiven) {
  InvoiceToApproved t;
  t.Map(1, "customer", 1, "", 0, "103", 0, "T");  // the text is the id
  t.Map(1, "totalamt", 1, "primaryrecordid");
  t.Map(1, "invno", 1, "invno", 1);
  t.Map(1, "item", 1, "parentrecordid");
  t.Map(1, "qty", 1, "sourcerecordid");
  t.Load();
  // A reloaded target: its number stays, and its stored source id stays.
  t.target().AddValueByName("invno", 1, "AP000007", "AP000007");
  t.target().AddValueByName("qty", 1, "700010000000101", "700010000000101");
  t.link->MapFields();

  v7::TStoreData& tg = t.target();
  EXPECT_EQ(LinkSite::Value(tg, "customer", 1), "");
  EXPECT_EQ(LinkSite::Id(tg, "customer", 1), 103);
  EXPECT_EQ(LinkSite::Value(tg, "totalamt", 1), "700010000000101");
  EXPECT_EQ(LinkSite::Value(tg, "invno", 1), "AP000007");
  EXPECT_EQ(LinkSite::Value(tg, "item", 1), "parentrecordid");
  EXPECT_EQ(LinkSite::Id(tg, "item", 1), 0);
  EXPECT_EQ(LinkSite::Value(tg, "qty", 1), "700010000000101");
}

TEST(LinkMap, UnknownTargetFieldIsADatabaseError) {
  InvoiceToApproved t;
  t.Map(1, "invdate", 1, "invdate", 1);
  t.Map(1, "nosuch", 1, "invdate", 1);
  t.Load();
  try {
    t.link->MapFields();
    FAIL() << "no error";
  } catch (const v7::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Invalid field nosuch in link to salesinvap");
  }
}

TEST(LinkMap, ReloadedTargetKeepsOnlyTheMappedGridRows) {
  InvoiceToApproved t;
  t.Map(1, "item", 0, "item");
  t.Load();
  for (int row = 1; row <= 5; ++row) t.target().AddValueByName("item", row, "old", "old");
  t.link->MapFields();

  v7::TStoreData& tg = t.target();
  EXPECT_EQ(tg.GetMaxRow(2), 3);
  EXPECT_EQ(LinkSite::Value(tg, "item", 3), "Notebook");
  EXPECT_NE(tg.IndexOfValue("item", -1), -1);
}

TEST(LinkMap, RowWiseConstantsWithoutAnySourceFieldMapNothing) {
  InvoiceToApproved t;
  t.Map(1, "qty", 0, "", 0, "9");
  t.Map(1, "amount", -1, "", 0, "1");
  t.Load();
  t.link->MapFields();
  EXPECT_EQ(t.target().GetMaxRow(2), 0);

  // A row-wise row numbered below 0 still names the frame of the source rows.
  InvoiceToApproved u;
  u.Map(1, "qty", -1, "qty");
  u.Map(1, "amount", 0, "", 0, "1");
  u.Load();
  u.link->MapFields();
  EXPECT_EQ(LinkSite::Value(u.target(), "qty", 2), "2");
  EXPECT_EQ(LinkSite::Value(u.target(), "amount", 3), "1");
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
  EXPECT_EQ(tg.GetMaxRow(2), 3);
  EXPECT_EQ(tg.GetMaxRow(3), 3);
  EXPECT_EQ(tg.GetParentRow(3, 1), 3);
  EXPECT_EQ(tg.GetParentRow(3, 2), 1);
  EXPECT_EQ(tg.GetParentRow(3, 3), 3);

  OrderToBatchInvoice shown;
  shown.link->ShowSubForm = ",receipt,SalesInvSf,";
  shown.link->MapFields();
  EXPECT_EQ(LinkSite::Value(shown.Target(0), "batchno", 4), "B-09");
}

}  // namespace
