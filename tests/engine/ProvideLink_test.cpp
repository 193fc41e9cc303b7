// Loading the link definitions of a source type: breadth-first chains, cycles, the target
// stores by store class, the POSTED probe, event scripts and the value look-ups.
#include <gtest/gtest.h>

#include "LinkFixture.h"
#include "uStoreVoucher.h"

namespace {

using v7test::LinkSite;

std::vector<long double> LoadedIds(const v7::TProvideLink& link) {
  std::vector<long double> ids;
  for (const auto& e : link.LinkEntries) ids.push_back(e->LinkId);
  return ids;
}

TEST(ProvideLink, FollowsChainsLevelByLevelLoadingEachLinkOnce) {
  LinkSite t;
  t.Link(1, "SalesInv", "salesinvap");
  t.Link(2, "salesinvap", "salesinvsf");
  t.Link(3, "salesinvsf", "salesinvap");  // back to a type already reached
  t.Link(4, "salesinvap", "salesinv");    // back to the source type
  t.Link(5, "salesinv", "salesinvsf", 0, "F");
  t.Link(6, "salesinv", "salesinvap", 2);
  t.Open();

  EXPECT_EQ(LoadedIds(*t.link), (std::vector<long double>{1, 6, 2, 4, 3}));
  EXPECT_FALSE(t.link->HasLinkEntry(5));
  EXPECT_TRUE(t.link->HasLinkEntry(3));
  // Two links to one type are two entries; the look-up by type finds the first.
  EXPECT_EQ(t.link->IndexOfTarget("SalesInvAp"), 0);
  EXPECT_EQ(t.link->IndexOfTarget("salesinvsf"), 2);
  EXPECT_EQ(t.link->IndexOfTarget("nosuch"), -1);
  const v7::TLinkEntry& rowLink = *t.link->LinkEntries[1];
  EXPECT_EQ(rowLink.FrameIndex, 1);
  EXPECT_EQ(rowLink.TargetType, "salesinvap");
  EXPECT_EQ(rowLink.SourceType, "salesinv");
  EXPECT_EQ(t.link->LinkEntries[0]->FrameIndex, -1);
  EXPECT_EQ(t.link->LinkEntries[3]->SourceType, "salesinvap");
}

TEST(ProvideLink, EntryIsReadyWithStoreValidatorAndRowCounts) {
  LinkSite t;
  t.s.site.Exec(
      "insert into transdefmaster (transdefmasterid, transid, transdesc, tablename, framenames, "
      "asgrids, storeclass, framecount) values "
      "(91, 'odd', 'Odd', 'salesinvap', 'Header', 'F', 'Ledger', 1)");
  t.Link(1, "salesinv", "salesinvsf");
  t.Link(2, "salesinv", "jv");
  t.Link(3, "salesinv", "odd");
  t.Link(4, "salesinvsf", "salesinvap");
  t.Open();
  ASSERT_EQ(t.link->LinkEntries.size(), 4u);

  const v7::TLinkEntry& sf = *t.link->LinkEntries[0];
  ASSERT_TRUE(sf.TargetStore);
  EXPECT_EQ(dynamic_cast<v7::TStoreVoucher*>(sf.TargetStore.get()), nullptr);
  EXPECT_EQ(sf.RowCounts, (std::vector<std::string>{"0", "0", "0"}));
  EXPECT_EQ(sf.TargetStore->PrimaryTable, "salesinvsf");
  EXPECT_EQ(sf.TargetStore->AsGrids, "ftt");
  EXPECT_EQ(sf.PostedTable, "t");
  EXPECT_TRUE(sf.Validator->AutoMark);
  EXPECT_EQ(sf.Validator->StoreData, sf.TargetStore.get());
  std::string value;
  sf.Validator->Eval->GetVar("UserName", value);
  EXPECT_EQ(value, "quorex");

  EXPECT_NE(dynamic_cast<v7::TStoreVoucher*>(t.link->LinkEntries[1]->TargetStore.get()), nullptr);
  // An unknown store class leaves the link without a store.
  EXPECT_EQ(t.link->LinkEntries[2]->TargetStore, nullptr);
  // The chained link's source type has no POSTED table.
  EXPECT_EQ(t.link->LinkEntries[3]->PostedTable, " ");

  // The trace hook reaches every target store.
  t.link->LinkEntries[0]->TargetStore->OnLog("# 1#from the store");
  EXPECT_TRUE(t.Logged("# 1#from the store"));
}

TEST(ProvideLink, LinkTableWithoutParentColumnGivesParentLinkZero) {
  LinkSite t;
  t.s.site.Exec("alter table linkentrydoc drop column parentlinkdocid");
  t.s.site.Exec(
      "insert into linkentrydoc (linkentrydocid, selected, sourcetransid, targettransid, "
      "basedonframe) values (7, 't', 'salesinv', 'salesinvap', 2)");
  t.Open();
  ASSERT_EQ(t.link->LinkEntries.size(), 1u);
  EXPECT_EQ(t.link->LinkEntries[0]->ParentLinkId, 0);
  EXPECT_EQ(t.link->LinkEntries[0]->FrameIndex, 1);
}

TEST(ProvideLink, RowIdsOfRowsAndOfTheirParentRows) {
  LinkSite t("salesinvsf");
  t.Open();
  t.store->LoadTransaction(v7test::kSalesInvSfId);
  const v7::TStoreData& st = *t.store;
  EXPECT_EQ(v7::TProvideLink::GetRowRecordId(st, 1, 1), v7test::kSalesInvSfId);
  EXPECT_EQ(v7::TProvideLink::GetRowRecordId(st, 2, 2), 700010000000203.0L);
  EXPECT_EQ(v7::TProvideLink::GetRowRecordId(st, 2, 5), 0);
  // Batch row 3 hangs on item row 2; an item row is no sub-form row.
  EXPECT_EQ(v7::TProvideLink::GetLinkedRowId(st, 3, 3), 700010000000203.0L);
  EXPECT_EQ(v7::TProvideLink::GetLinkedRowId(st, 3, 1), 700010000000202.0L);
  EXPECT_EQ(v7::TProvideLink::GetLinkedRowId(st, 2, 1), 0);
}

TEST(ProvideLink, EventScriptsRunOnTheTargetsEvaluator) {
  LinkSite t;
  t.s.site.Exec(
      "insert into exprset (exprsetid, transid, expression) values (5, 'salesinvap', "
      "'{OnPostGenMap}\nmarker := 2 + 3\n{aftersave}\nmarker := 7')");
  t.Link(1, "salesinv", "salesinvap");
  t.Open();
  t.Current(0);
  v7::TQuorexEVAL& eval = *t.link->LinkEntries[0]->Validator->Eval;

  t.link->RunEvent("  OnPostGenMap ");
  std::string marker;
  eval.GetVar("marker", marker);
  EXPECT_EQ(marker, "5");
  EXPECT_TRUE(t.Logged("# 1#Evaluating {onpostgenmap}"));

  t.log.clear();
  t.link->RunEvent("afterdelete");
  EXPECT_TRUE(t.log.empty());
  t.link->RunEvent("aftersave");
  eval.GetVar("marker", marker);
  EXPECT_EQ(marker, "7");
}

}  // namespace
