// Loading the link definitions of a source type: breadth-first chains, cycles, the target
// stores by store class and the POSTED probe.
#include <gtest/gtest.h>

#include <tuple>

#include "LinkFixture.h"
#include "uStoreVoucher.h"

namespace {

using v7test::LinkSite;

TEST(ProvideLink, FollowsChainsLevelByLevelLoadingEachLinkOnce) {
  LinkSite t;
  t.Link(1, "SalesInv", "salesinvap");
  t.Link(2, "salesinvap", "salesinvsf");
  t.Link(3, "salesinvsf", "salesinvap");  // back to a type already reached
  t.Link(4, "salesinvap", "salesinv");    // back to the source type
  t.Link(5, "salesinv", "salesinvsf", 0, "F");
  t.Link(6, "salesinv", "salesinvap", 2);
  t.Open();

  std::vector<long double> ids;
  for (const auto& e : t.link->LinkEntries) ids.push_back(e->LinkId);
  EXPECT_EQ(ids, (std::vector<long double>{1, 6, 2, 4, 3}));
  // Two links to one type are two entries; the look-up by type finds the first.
  EXPECT_EQ(t.link->IndexOfTarget("SalesInvAp"), 0);
  EXPECT_EQ(t.link->IndexOfTarget("nosuch"), -1);
  EXPECT_EQ(t.link->IndexOfTarget(" SalesInvSF"), 2);
  EXPECT_EQ(t.link->LinkEntries[1]->FrameIndex, 1);
  EXPECT_EQ(t.link->LinkEntries[0]->FrameIndex, -1);
}

TEST(ProvideLink, TargetStoreFollowsTheStoreClassAndPostedTableIsProbed) {
  LinkSite t;
  t.s.site.Exec(
      "insert into transdefmaster (transdefmasterid, transid, transdesc, tablename, framenames, "
      "asgrids, storeclass, framecount) values "
      "(91, 'odd', 'Odd', 'salesinvap', 'Header', 'F', 'Ledger', 1)");
  t.s.site.Exec("alter table linkentrydoc drop column parentlinkdocid");
  for (auto [id, source, target] : {std::tuple{1, "salesinv", "salesinvsf"},
                                    {2, "salesinv", "jv"},
                                    {3, "salesinv", "odd"},
                                    {4, "salesinvsf", "salesinvap"}})
    t.s.site.Exec(
        "insert into linkentrydoc (linkentrydocid, selected, sourcetransid, targettransid, "
        "basedonframe) values (" +
        std::to_string(id) + ", 't', '" + source + "', '" + target + "', 0)");
  t.Open();
  ASSERT_EQ(t.link->LinkEntries.size(), 4u);

  const v7::TLinkEntry& sf = *t.link->LinkEntries[0];
  ASSERT_NE(sf.TargetStore, nullptr);  // no store class: the plain document store
  EXPECT_EQ(dynamic_cast<v7::TStoreVoucher*>(sf.TargetStore.get()), nullptr);
  EXPECT_EQ(sf.RowCounts, (std::vector<std::string>{"0", "0", "0"}));
  EXPECT_EQ(sf.PostedTable, "t");
  // Without the parent column the parent link id is 0.
  EXPECT_EQ(sf.ParentLinkId, 0);
  EXPECT_NE(dynamic_cast<v7::TStoreVoucher*>(t.link->LinkEntries[1]->TargetStore.get()), nullptr);
  EXPECT_EQ(t.link->LinkEntries[2]->TargetStore, nullptr);
  // The chained link's source type has no POSTED table.
  EXPECT_EQ(t.link->LinkEntries[3]->PostedTable, " ");
  // Removal passes the storeless link over (the others find nothing to remove).
  t.store->LoadTransaction(v7test::kSalesInvId);
  EXPECT_TRUE(t.link->DeleteLinks(v7test::kSalesInvId));
}

}  // namespace
