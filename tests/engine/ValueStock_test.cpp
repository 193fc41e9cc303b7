// Valuing stock from the movements of STOCKVALUE on a real site: average and FIFO values,
// cost rates of a document row, closing stock and stock age.
#include <gtest/gtest.h>

#include "StockSite.h"
#include "uValueStock.h"

namespace {

using v7test::Day;

struct Valuer : v7test::StockSite {
  Valuer() { vs.StructDef = &def; }
  v7::TValueStock vs;
};

TEST(ValueStock, AverageValueAndCostRateComeFromTheStockHeldBeforeTheDate) {
  Valuer v;
  v.Add(1, 1, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(2, 1, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(3, 1, 0, Day(2026, 1, 3), "m", "5", "0");
  v.Add(4, 1, 0, Day(2026, 1, 10), "p", "10", "9000");  // on the date: left out

  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetStockValue("W", "", 1, Day(2026, 1, 10), 2)), 40);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.OpQty), 15);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.OpValue), 300);
  // The same item and location continue the kept walk whatever the date.
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetStockValue("w", "", 1, Day(2026, 1, 2), 1)), 20);

  // No movement before the date, or an unknown method: nothing.
  EXPECT_EQ(v.vs.GetStockValue("w", "", 99, Day(2026, 1, 10), 5), 0);
  EXPECT_EQ(v.vs.OpQty, 0);
  EXPECT_EQ(v.vs.OpValue, 0);
  EXPECT_EQ(v.vs.GetStockValue("z", "", 1, Day(2026, 1, 10), 5), 0);

  // Short of stock: the value of a row averages the signed figures, its cost rate is positive.
  v.Add(5, 4, 0, Day(2026, 1, 1), "m", "10", "0");
  v.Add(6, 4, 0, Day(2026, 1, 2), "p", "4", "40");
  EXPECT_NEAR(static_cast<double>(v.vs.GetStockValue("w", "", 4, Day(2026, 1, 10), 3)), -20, 1e-9);
  EXPECT_NEAR(static_cast<double>(v.vs.GetCostRate("w", "", 4, Day(2026, 1, 10), 3)), 40.0 / 6,
              1e-9);
  EXPECT_EQ(v.vs.GetCostRate("w", "", 4, Day(2026, 1, 10), 0), 0);
  EXPECT_EQ(v.vs.GetCostRate("x", "", 4, Day(2026, 1, 10), 3), 0);

  // A cost rate leaves out the row's own movement and what follows it.
  v.Add(11, 7, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(12, 7, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(13, 7, 0, Day(2026, 1, 3), "m", "5", "0", 555, "", "10:00");
  v.Add(14, 7, 0, Day(2026, 1, 3), "p", "10", "600", 0, "", "11:00");
  v.vs.SourceId = 555;
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetCostRate("w", "", 7, Day(2026, 1, 3), 5)), 20);
  v.vs.SourceId = 0;
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetCostRate("w", "", 7, Day(2026, 1, 3), 5)), 36);
}

TEST(ValueStock, LocationsSplitTheStockAndCancelledMovementsAreInvisible) {
  Valuer v;
  v.Add(1, 3, 1, Day(2026, 1, 1), "p", "10", "100");
  v.Add(2, 3, 2, Day(2026, 1, 1), "P", "10", "500");
  v.Add(3, 3, 1, Day(2026, 1, 2), "p", "10", "10000", 0, "T");
  const double date = Day(2026, 2, 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetStockValue("w", "1", 3, date, 1)), 10);
  EXPECT_EQ(v.vs.CancelFilter, " and CANCEL <> 'T' ");
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetStockValue("w", "2", 3, date, 1)), 50);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetStockValue("w", "", 3, date, 1)), 30);
  // Ids of 16 digits: neighbours that a double cannot tell apart stay apart.
  v.Add(20, 9990001000000003, 9990001000000005, Day(2026, 1, 1), "p", "10", "100");
  v.Add(21, 9990001000000004, 9990001000000005, Day(2026, 1, 1), "p", "10", "700");
  EXPECT_DOUBLE_EQ(static_cast<double>(
                       v.vs.GetStockValue("w", "9990001000000005", 9990001000000003.0L, date, 1)),
                   10);

  // A movement table without CANCEL is no error: every row counts.
  v.MakeTable(false);
  v.Add(3, 3, 1, Day(2026, 1, 2), "p", "10", "10000");
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetStockValue("w", "1", 3, date, 1)), 1000);
  EXPECT_EQ(v.vs.CancelFilter, "");
}

TEST(ValueStock, FIFOTakesIssuesFromTheOldestLayersAndReadsOddMovements) {
  Valuer v;
  v.Add(1, 5, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(2, 5, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(3, 5, 0, Day(2026, 1, 3), "m", "15", "0");
  v.Add(4, 5, 0, Day(2026, 1, 4), "p", "10", "500");

  EXPECT_EQ(v.vs.GetClosingStock("F", "", 5, Day(2026, 1, 3)), 0);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.RecQty), 20);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.RecValue), 400);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.IssQty), 15);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.IssValue), 250);
  // The opening figures stop before the date itself.
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.OpQty), 20);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.OpValue), 400);

  // The average of the same movements.
  v.vs.GetClosingStock("w", "", 5, Day(2026, 1, 3));
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.IssValue), 300);

  // The FIFO stock before 4 January: 5 left of the second layer. (A fresh valuer: the one
  // above keeps the closing walk of the item as its walk.)
  v7::TValueStock fresh;
  fresh.StructDef = &v.def;
  EXPECT_EQ(fresh.GetStockValue("f", "", 5, Day(2026, 1, 4), 2), 0);
  EXPECT_DOUBLE_EQ(static_cast<double>(fresh.OpQty), 5);
  EXPECT_DOUBLE_EQ(static_cast<double>(fresh.OpValue), 150);

  // A cost rate across layers: 5 at 30, then 3 of the next receipt at 50.
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetCostRate("f", "", 5, Day(2026, 1, 5), 8)), 37.5);

  // An issue that uses up a whole middle layer leaves no value behind in it: the third
  // layer keeps its own rate of 50.
  v.Add(5, 12, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(6, 12, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(7, 12, 0, Day(2026, 1, 3), "p", "10", "500");
  v.Add(8, 12, 0, Day(2026, 1, 4), "m", "25", "0");
  v.vs.GetStockValue("f", "", 12, Day(2026, 1, 5), 1);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.OpQty), 5);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.OpValue), 250);

  // Odd movements count as the walk reads them.
  // An issue before any receipt uses up no layer and has no value under FIFO.
  v.Add(21, 6, 0, Day(2026, 1, 1), "m", "4", "0");
  v.Add(22, 6, 0, Day(2026, 1, 2), "p", "10", "100");
  v.vs.GetClosingStock("f", "", 6, Day(2026, 1, 5));
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.IssQty), 4);
  EXPECT_EQ(v.vs.IssValue, 0);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.RecQty), 10);

  // A mark other than p and m is an issue to the average and a receipt to FIFO; an empty
  // quantity and value read as 0.
  v.Add(23, 11, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(24, 11, 0, Day(2026, 1, 2), "x", "4", "0");
  v.Add(25, 11, 0, Day(2026, 1, 3), "p", "", "");
  v.vs.GetClosingStock("w", "", 11, Day(2026, 1, 5));
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.RecQty), 10);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.IssQty), 4);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.IssValue), 40);
  v.vs.GetClosingStock("f", "", 11, Day(2026, 1, 5));
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.RecQty), 14);
  EXPECT_EQ(v.vs.IssQty, 0);
}

TEST(ValueStock, StockAgeSplitsTheClosingQuantityOverSlabs) {
  Valuer v;
  const double date = Day(2026, 2, 20);
  v.Add(1, 9, 0, date - 40, "p", "10", "100");
  v.Add(2, 9, 0, date - 30, "m", "5", "0");
  v.Add(3, 9, 0, date - 5, "p", "10", "200");
  std::string text = "x";
  v.vs.GetStockAge("0-30, 31 - 60", "", 9, date, text);
  EXPECT_EQ(text, "");
  EXPECT_EQ(v.vs.AgeFrom, (std::vector<std::string>{"0", "31"}));
  EXPECT_EQ(v.vs.AgeTo, (std::vector<std::string>{"30", "60"}));
  EXPECT_EQ(v.vs.AgeQty, (std::vector<std::string>{"10", "5"}));

  // An empty comma field ends the slab list.
  v.vs.GetStockAge("0-30,,31-60", "", 9, date, text);
  EXPECT_EQ(v.vs.AgeQty, (std::vector<std::string>{"10"}));
  EXPECT_THROW(v.vs.GetStockAge("0-3x", "", 9, date, text), v7::EConvertError);

  // Issued before any receipt: the closing 7 all go to the newest receipt, none is lost.
  v.Add(4, 10, 0, date - 19, "m", "8", "0");
  v.Add(5, 10, 0, date - 15, "p", "5", "50");
  v.Add(6, 10, 0, date - 5, "p", "10", "100");
  v.vs.GetStockAge("0-9,10-99", "", 10, date, text);
  EXPECT_EQ(v.vs.AgeQty, (std::vector<std::string>{"7", "0"}));
}

}  // namespace
