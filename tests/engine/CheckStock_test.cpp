// The availability check of a document row against the movements of STOCKVALUE, on the
// SQLite site ("access" dialect) and on PostgreSQL.
#include <gtest/gtest.h>

#include "StockSite.h"
#include "uValueStock.h"

namespace {

using v7test::Day;

// A row as entered now and as stored: item, date, location of each, mark, quantities.
struct Row {
  const char* result;
  const char *item, *oldItem, *date, *oldDate, *pm, *qty, *oldQty, *decimals = "", *loc = "",
                                                                   *oldLoc = "";
};

std::string Check(v7::TValueStock& vs, const Row& r) {
  std::string result;
  vs.CheckStock(r.item, r.oldItem, r.date, r.oldDate, r.pm, r.qty, r.oldQty, r.decimals, r.loc,
                r.oldLoc, result);
  return result;
}

TEST(CheckStock, RowsAreCheckedOnTheirDateAndLaterWithoutTheirStoredMovement) {
  v7test::StockSite c;
  ASSERT_EQ(v7::DbKind, "access");
  v7::TValueStock vs;
  vs.StructDef = &c.def;
  // id, item, location, date, mark, quantity, value[, source, cancel]
  c.Add(1, 1, 0, Day(2026, 1, 5), "p", "3", "30");
  c.Add(2, 2, 0, Day(2026, 1, 1), "p", "10", "100");
  c.Add(3, 2, 0, Day(2026, 1, 15), "m", "4", "0");
  c.Add(4, 2, 0, Day(2026, 1, 2), "p", "50", "0", 0, "T");  // cancelled: does not count
  c.Add(11, 3, 0, Day(2026, 1, 1), "p", "5", "50");
  c.Add(12, 3, 0, Day(2026, 1, 10), "m", "5", "0");  // the row as stored
  c.Add(13, 4, 0, Day(2026, 1, 1), "p", "2", "20");
  c.Add(14, 5, 1, Day(2026, 1, 1), "p", "5", "50");
  c.Add(15, 5, 2, Day(2026, 1, 1), "p", "1", "10");
  c.Add(21, 6, 0, Day(2026, 1, 1), "p", "1", "10");
  c.Add(31, 7, 0, Day(2026, 1, 5), "p", "10", "100");
  c.Add(32, 7, 0, Day(2026, 1, 8), "m", "6", "0");
  c.Add(33, 8, 0, Day(2026, 1, 10), "p", "10", "100");
  c.Add(34, 8, 0, Day(2026, 1, 12), "m", "5", "0");
  c.Add(41, 9, 0, Day(2026, 1, 1), "p", "10", "100");
  c.Add(42, 9, 0, Day(2026, 1, 5), "m", "5", "0");  // the row as stored
  c.Add(43, 9, 0, Day(2026, 1, 8), "m", "4", "0");
  c.Add(44, 9, 0, Day(2026, 1, 15), "p", "10", "100");
  const char* const no10 = "Not enough stock on 10/01/2026";
  const Row rows[] = {
      {no10, "1", "0", "10/01/2026", "", "m", "5", "0"},
      {"T", "1", "0", "10/01/2026", "", "m", "3", "0"},
      // Fits on its date, but a later issue then goes below zero: that row's date is named.
      {"Not enough stock on 15/01/2026", "2", "0", "10/01/2026", "", "m", "7", "0"},
      {"T", "2", "0", "10/01/2026", "", "m", "6", "0"},
      // A changed row takes its stored movement out.
      {"T", "3", "3", "10/01/2026", "10/01/2026", "m", "3", "5"},
      {no10, "3", "3", "10/01/2026", "10/01/2026", "m", "6", "5"},
      // Another item: the old one gets its issue back, the new one must hold the quantity.
      {no10, "4", "3", "10/01/2026", "10/01/2026", "m", "5", "5"},
      {"T", "4", "3", "10/01/2026", "10/01/2026", "m", "2", "5"},
      // A receipt moved to another item leaves the old one short at its later issue.
      {no10, "4", "3", "01/01/2026", "01/01/2026", "p", "5", "5"},
      // Another location of the same item.
      {"T", "5", "5", "10/01/2026", "", "m", "3", "0", "", "1", "2"},
      {no10, "5", "5", "10/01/2026", "", "m", "3", "0", "", "2", "1"},
      // A row kept at its place (or stored without one): only the change is checked.
      {"T", "5", "5", "10/01/2026", "10/01/2026", "m", "6", "3", "", "1", ""},
      {"T", "5", "5", "10/01/2026", "10/01/2026", "m", "6", "3", "", "1", "1"},
      // Balances are rounded, to 2 decimals unless told.
      {"T", "6", "0", "10/01/2026", "", "m", "1.004", "0"},
      {no10, "6", "0", "10/01/2026", "", "m", "1.004", "0", "3"},
      // A receipt moved later: an issue between the dates lacks it.
      {"Not enough stock on 08/01/2026", "7", "7", "12/01/2026", "05/01/2026", "p", "10", "10"},
      {"T", "7", "7", "07/01/2026", "05/01/2026", "p", "10", "10"},
      // An issue moved earlier than the receipt that covers it, or later and made larger.
      {"Not enough stock on 08/01/2026", "8", "8", "08/01/2026", "12/01/2026", "m", "5", "5"},
      {"T", "8", "8", "11/01/2026", "12/01/2026", "m", "5", "5"},
      {"Not enough stock on 20/01/2026", "8", "8", "20/01/2026", "12/01/2026", "m", "11", "5"},
      // An issue moved past other issues and a receipt is taken at its new date only.
      {"T", "9", "9", "20/01/2026", "05/01/2026", "m", "8", "5"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(Check(vs, r), r.result) << r.item << " " << r.date << " " << r.pm << r.qty;

  for (const Row& bad : {Row{"", "6", "0", "10/01/2026", "", "m", "1", "0", "2.5"},
                         Row{"", "", "0", "10/01/2026", "", "m", "1", "0"},
                         Row{"", "6", "0", "tomorrow", "", "m", "1", "0"}})
    EXPECT_THROW(Check(vs, bad), v7::EConvertError) << bad.item << bad.date << bad.decimals;
}

// The same checks and a FIFO closing stock on a PostgreSQL site, whose dialect has neither
// iif nor Oracle's decode.
TEST(CheckStock, RunsOnAPostgreSQLSite) {
  v7test::PgSampleSite pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  ASSERT_TRUE(pg.connected) << pg.mgr->ErrorText;
  ASSERT_EQ(v7::DbKind, "postgre");
  v7::TStructDef def(pg.mgr.get(), ":salesinv");
  v7test::StockTable t(pg.mgr.get());
  t.Add(1, 1, 1, Day(2026, 1, 1), "p", "10", "100");
  t.Add(2, 1, 2, Day(2026, 1, 1), "p", "2", "40");
  t.Add(3, 1, 1, Day(2026, 1, 2), "p", "10", "300");
  t.Add(4, 1, 1, Day(2026, 1, 3), "m", "15", "0");
  t.Add(5, 1, 1, Day(2026, 1, 4), "p", "99", "0", 0, "T");
  // Ids of 16 digits above 2^53, and an issue whose CANCEL is null (it counts).
  t.Add(6, 9010001000000001, 9010001000000005, Day(2026, 1, 1), "p", "10", "100");
  t.Add(7, 9010001000000002, 9010001000000005, Day(2026, 1, 1), "p", "10", "700");
  t.Add(8, 9010001000000001, 9010001000000005, Day(2026, 1, 5), "m", "4", "0");
  t.Run("update stockvalue set cancel = null where stockvalueid = 8");
  v7::TValueStock vs;
  vs.StructDef = &def;
  const char* const big = "9010001000000001";
  const char* const bigLoc = "9010001000000005";
  for (const Row& r :
       {Row{"T", "1", "0", "10/01/2026", "", "m", "5", "0", "", "1"},
        Row{"Not enough stock on 10/01/2026", "1", "0", "10/01/2026", "", "m", "6", "0", "", "1"},
        Row{"Not enough stock on 02/01/2026", "1", "0", "02/01/2026", "", "m", "3", "0", "", "2"},
        Row{"T", big, "0", "10/01/2026", "", "m", "6", "0", "", bigLoc},
        Row{"Not enough stock on 10/01/2026", big, "0", "10/01/2026", "", "m", "7", "0", "",
            bigLoc}})
    EXPECT_EQ(Check(vs, r), r.result) << r.qty << " at " << r.loc;

  vs.GetClosingStock("f", "1", 1, Day(2026, 1, 10));
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.RecQty), 20);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.IssValue), 250);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.OpQty), 5);
}

}  // namespace
