// The availability check of a document row against the movements of STOCKVALUE, on the
// SQLite site ("access" dialect) and on PostgreSQL.
#include <gtest/gtest.h>

#include "StockSite.h"
#include "uValueStock.h"

namespace {

using v7test::Day;

struct Checker : v7test::StockSite {
  Checker() { vs.StructDef = &def; }
  // The row now: item, date, mark, quantity; as stored: item, date, quantity.
  std::string Check(const std::string& item, const std::string& oldItem, const std::string& date,
                    const std::string& oldDate, const std::string& pm, const std::string& qty,
                    const std::string& oldQty, const std::string& decimals = "",
                    const std::string& loc = "", const std::string& oldLoc = "") {
    std::string result;
    vs.CheckStock(item, oldItem, date, oldDate, pm, qty, oldQty, decimals, loc, oldLoc, result);
    return result;
  }
  v7::TValueStock vs;
};

TEST(CheckStock, NewRowsAreCheckedOnTheirDateAndLaterAndChangedRowsWithoutTheirOldMovement) {
  Checker c;
  ASSERT_EQ(v7::DbKind, "access");
  c.Add(1, 1, 0, Day(2026, 1, 5), "p", "3", "30");
  EXPECT_EQ(c.Check("1", "0", "10/01/2026", "", "m", "5", "0"), "Not enough stock on 10/01/2026");
  EXPECT_EQ(c.Check("1", "0", "10/01/2026", "", "m", "3", "0"), "T");

  // Fits on its date, but a later issue then goes below zero: that row's date is named.
  c.Add(2, 2, 0, Day(2026, 1, 1), "p", "10", "100");
  c.Add(3, 2, 0, Day(2026, 1, 15), "m", "4", "0");
  EXPECT_EQ(c.Check("2", "0", "10/01/2026", "", "m", "7", "0"), "Not enough stock on 15/01/2026");
  EXPECT_EQ(c.Check("2", "0", "10/01/2026", "", "m", "6", "0"), "T");
  // Cancelled movements do not count.
  c.Add(4, 2, 0, Day(2026, 1, 2), "p", "50", "0", 0, "T");
  EXPECT_EQ(c.Check("2", "0", "10/01/2026", "", "m", "7", "0"), "Not enough stock on 15/01/2026");

  // A changed row takes its stored movement out.
  c.Add(11, 3, 0, Day(2026, 1, 1), "p", "5", "50");
  c.Add(12, 3, 0, Day(2026, 1, 10), "m", "5", "0");  // the row as stored
  EXPECT_EQ(c.Check("3", "3", "10/01/2026", "10/01/2026", "m", "3", "5"), "T");
  EXPECT_EQ(c.Check("3", "3", "10/01/2026", "10/01/2026", "m", "6", "5"),
            "Not enough stock on 10/01/2026");

  // Another item: the old one gets its issue back, the new one must hold the quantity.
  c.Add(13, 4, 0, Day(2026, 1, 1), "p", "2", "20");
  EXPECT_EQ(c.Check("4", "3", "10/01/2026", "10/01/2026", "m", "5", "5"),
            "Not enough stock on 10/01/2026");
  EXPECT_EQ(c.Check("4", "3", "10/01/2026", "10/01/2026", "m", "2", "5"), "T");
  // A receipt moved to another item leaves the old one short at its later issue.
  EXPECT_EQ(c.Check("4", "3", "01/01/2026", "01/01/2026", "p", "5", "5"),
            "Not enough stock on 10/01/2026");

  // Another location of the same item.
  c.Add(14, 5, 1, Day(2026, 1, 1), "p", "5", "50");
  c.Add(15, 5, 2, Day(2026, 1, 1), "p", "1", "10");
  EXPECT_EQ(c.Check("5", "5", "10/01/2026", "", "m", "3", "0", "", "1", "2"), "T");
  EXPECT_EQ(c.Check("5", "5", "10/01/2026", "", "m", "3", "0", "", "2", "1"),
            "Not enough stock on 10/01/2026");
}

TEST(CheckStock, RowMovedToAnotherDateIsCheckedBetweenTheTwoDatesAndBalancesAreRounded) {
  Checker c;
  // A receipt moved later: an issue between the dates lacks it.
  c.Add(1, 7, 0, Day(2026, 1, 5), "p", "10", "100");
  c.Add(2, 7, 0, Day(2026, 1, 8), "m", "6", "0");
  EXPECT_EQ(c.Check("7", "7", "12/01/2026", "05/01/2026", "p", "10", "10"),
            "Not enough stock on 08/01/2026");
  EXPECT_EQ(c.Check("7", "7", "07/01/2026", "05/01/2026", "p", "10", "10"), "T");

  // An issue moved earlier than the receipt that covers it.
  c.Add(3, 8, 0, Day(2026, 1, 10), "p", "10", "100");
  c.Add(4, 8, 0, Day(2026, 1, 12), "m", "5", "0");
  EXPECT_EQ(c.Check("8", "8", "08/01/2026", "12/01/2026", "m", "5", "5"),
            "Not enough stock on 08/01/2026");
  EXPECT_EQ(c.Check("8", "8", "11/01/2026", "12/01/2026", "m", "5", "5"), "T");
  // Moved later and made larger than the stock at the new date.
  EXPECT_EQ(c.Check("8", "8", "20/01/2026", "12/01/2026", "m", "11", "5"),
            "Not enough stock on 20/01/2026");

  // Balances are rounded and arguments must convert.
  c.Add(21, 6, 0, Day(2026, 1, 1), "p", "1", "10");
  EXPECT_EQ(c.Check("6", "0", "10/01/2026", "", "m", "1.004", "0"), "T");
  EXPECT_EQ(c.vs.Decimals, 2);
  EXPECT_EQ(c.Check("6", "0", "10/01/2026", "", "m", "1.004", "0", "3"),
            "Not enough stock on 10/01/2026");
  EXPECT_THROW(c.Check("6", "0", "10/01/2026", "", "m", "1", "0", "2.5"), v7::EConvertError);
  EXPECT_THROW(c.Check("", "0", "10/01/2026", "", "m", "1", "0"), v7::EConvertError);
  EXPECT_THROW(c.Check("6", "0", "tomorrow", "", "m", "1", "0"), v7::EConvertError);
}

// The same checks and a FIFO closing stock on a PostgreSQL site, whose dialect has neither
// iif nor Oracle's decode.
TEST(CheckStock, RunsOnAPostgreSQLSite) {
  v7test::PgSampleSite pg;
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  ASSERT_TRUE(pg.connected) << pg.mgr->ErrorText;
  ASSERT_EQ(v7::DbKind, "postgre");
  v7::TDBManager* mgr = pg.mgr.get();

  v7::TStructDef def(mgr, ":salesinv");
  v7test::StockTable t(mgr);
  t.Add(1, 1, 1, Day(2026, 1, 1), "p", "10", "100");
  t.Add(2, 1, 2, Day(2026, 1, 1), "p", "2", "40");
  t.Add(3, 1, 1, Day(2026, 1, 2), "p", "10", "300");
  t.Add(4, 1, 1, Day(2026, 1, 3), "m", "15", "0");
  t.Add(5, 1, 1, Day(2026, 1, 4), "p", "99", "0", 0, "T");
  v7::TValueStock vs;
  vs.StructDef = &def;
  std::string r;
  vs.CheckStock("1", "0", "10/01/2026", "", "m", "5", "0", "", "1", "", r);
  EXPECT_EQ(r, "T");
  vs.CheckStock("1", "0", "10/01/2026", "", "m", "6", "0", "", "1", "", r);
  EXPECT_EQ(r, "Not enough stock on 10/01/2026");
  vs.CheckStock("1", "0", "02/01/2026", "", "m", "3", "0", "", "2", "", r);
  EXPECT_EQ(r, "Not enough stock on 02/01/2026");

  vs.GetClosingStock("f", "1", 1, Day(2026, 1, 10));
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.RecQty), 20);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.IssValue), 250);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.OpQty), 5);
}

}  // namespace
