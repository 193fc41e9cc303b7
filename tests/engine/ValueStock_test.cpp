// Valuing stock from the movements of STOCKVALUE on a real site: average and FIFO values,
// cost rates of a document row, closing stock and stock age.
#include <gtest/gtest.h>

#include "SampleProduct.h"
#include "StockSite.h"
#include "uValueStock.h"

namespace {

using v7test::Day;

struct Valuer : v7test::StockSite {
  Valuer() { vs.StructDef = &def; }
  v7::TValueStock vs;
};

TEST(ValueStock, AverageValueIsTheRateOfTheStockHeldBeforeTheDate) {
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
  EXPECT_THROW(v.vs.GetStockValue("w", "x1", 3, date, 1), v7::EConvertError);

  // A movement table without CANCEL is no error: every row counts.
  v.MakeTable(false);
  v.Add(3, 3, 1, Day(2026, 1, 2), "p", "10", "10000");
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetStockValue("w", "1", 3, date, 1)), 1000);
  EXPECT_EQ(v.vs.CancelFilter, "");
}

TEST(ValueStock, ValueOfARowAveragesSignedButItsCostRateIsPositive) {
  Valuer v;
  v.Add(1, 4, 0, Day(2026, 1, 1), "m", "10", "0");
  v.Add(2, 4, 0, Day(2026, 1, 2), "p", "4", "40");
  EXPECT_NEAR(static_cast<double>(v.vs.GetStockValue("w", "", 4, Day(2026, 1, 10), 3)), -20, 1e-9);
  EXPECT_NEAR(static_cast<double>(v.vs.GetCostRate("w", "", 4, Day(2026, 1, 10), 3)), 40.0 / 6,
              1e-9);
  EXPECT_EQ(v.vs.GetCostRate("w", "", 4, Day(2026, 1, 10), 0), 0);
  EXPECT_EQ(v.vs.GetCostRate("x", "", 4, Day(2026, 1, 10), 3), 0);
}

TEST(ValueStock, CostRateLeavesOutTheRowsOwnMovementAndWhatFollows) {
  Valuer v;
  v.Add(1, 7, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(2, 7, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(3, 7, 0, Day(2026, 1, 3), "m", "5", "0", 555, "", "10:00");
  v.Add(4, 7, 0, Day(2026, 1, 3), "p", "10", "600", 0, "", "11:00");
  v.vs.SourceId = 555;
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetCostRate("w", "", 7, Day(2026, 1, 3), 5)), 20);
  v.vs.SourceId = 0;
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.GetCostRate("w", "", 7, Day(2026, 1, 3), 5)), 36);
}

TEST(ValueStock, FIFOTakesIssuesFromTheOldestLayers) {
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
}

TEST(ValueStock, OddMovementsCountAsTheWalkReadsThem) {
  Valuer v;
  // An issue before any receipt uses up no layer and has no value under FIFO.
  v.Add(1, 6, 0, Day(2026, 1, 1), "m", "4", "0");
  v.Add(2, 6, 0, Day(2026, 1, 2), "p", "10", "100");
  v.vs.GetClosingStock("f", "", 6, Day(2026, 1, 5));
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.IssQty), 4);
  EXPECT_EQ(v.vs.IssValue, 0);
  EXPECT_DOUBLE_EQ(static_cast<double>(v.vs.RecQty), 10);

  // A mark other than p and m is an issue to the average and a receipt to FIFO; an empty
  // quantity and value read as 0.
  v.Add(3, 11, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(4, 11, 0, Day(2026, 1, 2), "x", "4", "0");
  v.Add(5, 11, 0, Day(2026, 1, 3), "p", "", "");
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

namespace {

// The movements of the shared sample product, as the business functions meet them.
TEST(ValueStock, SampleProductMovementsValueAndCheck) {
  v7test::SampleSite s(false);
  v7::TStructDef def(s.mgr.get(), ":salesinv");
  v7::TValueStock vs;
  vs.StructDef = &def;
  const double date = Day(2026, 4, 30);
  vs.GetClosingStock("w", "", 201, date);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.RecQty), 29);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.RecValue), 351);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.IssQty), 14);
  EXPECT_NEAR(static_cast<double>(vs.IssValue), 132 + 2 * 219.0 / 17, 1e-9);

  // Location 1 by FIFO: the issue of 12 takes the first receipt and 2 of the second; the
  // receipt marked "P" counts.
  vs.GetClosingStock("f", "1", 201, date);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.RecQty), 24);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.IssValue), 124);
  EXPECT_DOUBLE_EQ(static_cast<double>(vs.OpQty), 12);

  // The cancelled issue of item 202 does not count; the later one does.
  std::string r;
  vs.CheckStock("202", "0", "10/04/2026", "", "m", "12", "0", "", "1", "", r);
  EXPECT_EQ(r, "T");
  vs.CheckStock("202", "0", "10/04/2026", "", "m", "13", "0", "", "1", "", r);
  EXPECT_EQ(r, "Not enough stock on 15/04/2026");
}

}  // namespace
