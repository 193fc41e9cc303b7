// Valuing stock from the movements of STOCKVALUE on a real site: average and FIFO values,
// cost rates of a document row, closing stock and stock age.
#include <gtest/gtest.h>

#include "QuorexDoc.h"
#include "StockSite.h"
#include "uGeneralFunctions.h"
#include "uValueStock.h"

namespace {

using v7test::Day;

// "opening qty/value rec qty/value iss qty/value" after the last call.
std::string Figures(const v7::TValueStock& vs) {
  auto f = [](long double v) { return v7::FloatToStr(static_cast<double>(v)); };
  return f(vs.OpQty) + "/" + f(vs.OpValue) + " rec " + f(vs.RecQty) + "/" + f(vs.RecValue) +
         " iss " + f(vs.IssQty) + "/" + f(vs.IssValue);
}

struct Valuer : v7test::StockSite {
  Valuer() { vs.StructDef = &def; }
  std::string Figures() const { return ::Figures(vs); }
  std::string Value(const char* method, long double item, double date, int qty,
                    const char* loc = "") {
    return v7::FloatToStr(static_cast<double>(vs.GetStockValue(method, loc, item, date, qty)));
  }
  std::string Rate(const char* method, long double item, double date, int qty) {
    return v7::FloatToStr(static_cast<double>(vs.GetCostRate(method, "", item, date, qty)));
  }
  std::string Closing(const char* method, long double item, double date) {
    EXPECT_EQ(vs.GetClosingStock(method, "", item, date), 0);
    return Figures();
  }
  v7::TValueStock vs;
};

TEST(ValueStock, AverageValueAndCostRateComeFromTheStockHeldBeforeTheDate) {
  Valuer v;
  v.Add(1, 1, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(2, 1, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(3, 1, 0, Day(2026, 1, 3), "m", "5", "0");
  v.Add(4, 1, 0, Day(2026, 1, 10), "p", "10", "9000");  // on the date: left out
  EXPECT_EQ(v.Value("W", 1, Day(2026, 1, 10), 2), "40");
  EXPECT_EQ(v.Figures().substr(0, 6), "15/300");
  // The same item and location continue the kept walk whatever the date.
  EXPECT_EQ(v.Value("w", 1, Day(2026, 1, 2), 1), "20");
  // No movement before the date, or an unknown method: nothing.
  EXPECT_EQ(v.Value("w", 99, Day(2026, 1, 10), 5), "0");
  EXPECT_EQ(v.Figures().substr(0, 3), "0/0");
  EXPECT_EQ(v.Value("z", 1, Day(2026, 1, 10), 5), "0");

  // Short of stock: the value of a row averages the signed figures, its cost rate is positive.
  v.Add(5, 4, 0, Day(2026, 1, 1), "m", "10", "0");
  v.Add(6, 4, 0, Day(2026, 1, 2), "p", "4", "40");
  EXPECT_NEAR(static_cast<double>(v.vs.GetStockValue("w", "", 4, Day(2026, 1, 10), 3)), -20, 1e-9);
  EXPECT_NEAR(static_cast<double>(v.vs.GetCostRate("w", "", 4, Day(2026, 1, 10), 3)), 40.0 / 6,
              1e-9);
  EXPECT_EQ(v.Rate("w", 4, Day(2026, 1, 10), 0), "0");
  EXPECT_EQ(v.Rate("x", 4, Day(2026, 1, 10), 3), "0");

  // A cost rate leaves out the row's own movement and what follows it.
  v.Add(11, 7, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(12, 7, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(13, 7, 0, Day(2026, 1, 3), "m", "5", "0", 555, "", "10:00");
  v.Add(14, 7, 0, Day(2026, 1, 3), "p", "10", "600", 0, "", "11:00");
  v.vs.SourceId = 555;
  EXPECT_EQ(v.Rate("w", 7, Day(2026, 1, 3), 5), "20");
  EXPECT_EQ(v.Rate("f", 7, Day(2026, 1, 3), 15), "16.6666666666667");
  v.vs.SourceId = 0;
  EXPECT_EQ(v.Rate("w", 7, Day(2026, 1, 3), 5), "36");
  EXPECT_EQ(v.Rate("f", 7, Day(2026, 1, 3), 15), "23.3333333333333");
}

TEST(ValueStock, LocationsSplitTheStockAndCancelledMovementsAreInvisible) {
  Valuer v;
  v.Add(1, 3, 1, Day(2026, 1, 1), "p", "10", "100");
  v.Add(2, 3, 2, Day(2026, 1, 1), "P", "10", "500");
  v.Add(3, 3, 1, Day(2026, 1, 2), "p", "10", "10000", 0, "T");
  const double date = Day(2026, 2, 1);
  EXPECT_EQ(v.Value("w", 3, date, 1, "1"), "10");
  EXPECT_EQ(v.Value("w", 3, date, 1, "2"), "50");
  EXPECT_EQ(v.Value("w", 3, date, 1), "30");
  // Ids of 16 digits: neighbours that a double cannot tell apart stay apart.
  v.Add(20, 9990001000000003, 9990001000000005, Day(2026, 1, 1), "p", "10", "100");
  v.Add(21, 9990001000000004, 9990001000000005, Day(2026, 1, 1), "p", "10", "700");
  EXPECT_EQ(v.Value("w", 9990001000000003.0L, date, 1, "9990001000000005"), "10");
  // A movement table without CANCEL is no error: every row counts.
  v.MakeTable(false);
  v.Add(3, 3, 1, Day(2026, 1, 2), "p", "10", "10000");
  EXPECT_EQ(v.Value("w", 3, date, 1, "1"), "1000");
}

// The stock functions of scripts read item and location ids exactly: ids of sites from 901
// up have 16 digits, and an odd one above 2^53 is not its even neighbour. A movement whose
// CANCEL is null is no cancelled one.
TEST(ValueStock, ScriptFunctionsValueSixteenDigitIdsAndMovementsWithANullCancel) {
  v7test::QuorexDoc d;
  v7test::StockTable t(d.s.mgr.get());
  t.Add(1, 9010001000000001, 9010001000000005, Day(2026, 1, 1), "p", "10", "100");
  t.Add(2, 9010001000000002, 9010001000000005, Day(2026, 1, 1), "p", "10", "700");
  t.Add(3, 7, 0, Day(2026, 1, 1), "p", "10", "100");
  t.Add(4, 7, 0, Day(2026, 1, 15), "m", "4", "0");
  t.Run("update stockvalue set cancel = null where stockvalueid in (3, 4)");
  const std::string item = "{9010001000000001}", loc = "{9010001000000005}";
  ExpectRuns(
      d, {"getclosingstock(" + item + ", {31/01/2026}, {w}, {}) => 0", "Rec_StockQty + 0 => 10",
          "Rec_StockValue + 0 => 100",
          "getcostrate(" + item + ", {31/01/2026}, 5, {w}, " + loc + ") => 10",
          "getstockvalue(" + item + ", {31/01/2026}, 1, {w}, " + loc + ") => 10",
          "getstockvalue({9010001000000002}, {31/01/2026}, 1, {f}, {}) => 0",
          "Op_StockValue + 0 => 700",
          "checkstock(" + item + ", {0}, {01/01/2026}, {}, {m}, 5, 0, {}, " + loc + ", {}) => T",
          "checkstock(" + item + ", {0}, {01/01/2026}, {}, {m}, 11, 0, {}, " + loc +
              ", {}) => Not enough stock on 01/01/2026",
          "getclosingstock(7, {31/01/2026}, {f}, {}) => 0", "Iss_StockQty + 0 => 4",
          "checkstock(7, 0, {31/01/2026}, {}, {m}, 8, 0, {}, {}, {}) => "
          "Not enough stock on 31/01/2026",
          "checkstock(7, 0, {31/01/2026}, {}, {m}, 6, 0, {}, {}, {}) => T"});
  // An empty id is no id: the call fails, as for any number.
  EXPECT_EQ(d.Run("getcostrate({}, {31/01/2026}, 5, {w}, {})"), "");
  EXPECT_TRUE(d.AnyError());
}

TEST(ValueStock, FIFOTakesIssuesFromTheOldestLayersAndReadsOddMovements) {
  Valuer v;
  v.Add(1, 5, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(2, 5, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(3, 5, 0, Day(2026, 1, 3), "m", "15", "0");
  v.Add(4, 5, 0, Day(2026, 1, 4), "p", "10", "500");
  // The opening figures stop before the date itself.
  EXPECT_EQ(v.Closing("F", 5, Day(2026, 1, 3)), "20/400 rec 20/400 iss 15/250");
  EXPECT_EQ(v.Closing("w", 5, Day(2026, 1, 3)), "20/400 rec 20/400 iss 15/300");

  // The FIFO stock before 4 January: 5 left of the second layer. (A fresh valuer: the one
  // above keeps the closing walk of the item as its walk.)
  v7::TValueStock fresh;
  fresh.StructDef = &v.def;
  EXPECT_EQ(fresh.GetStockValue("f", "", 5, Day(2026, 1, 4), 2), 0);
  EXPECT_EQ(Figures(fresh).substr(0, 5), "5/150");
  // A cost rate across layers: 5 at 30, then 3 of the next receipt at 50.
  EXPECT_EQ(v.Rate("f", 5, Day(2026, 1, 5), 8), "37.5");

  // An issue that uses up a whole middle layer leaves no value behind in it: the third
  // layer keeps its own rate of 50.
  v.Add(5, 12, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(6, 12, 0, Day(2026, 1, 2), "p", "10", "300");
  v.Add(7, 12, 0, Day(2026, 1, 3), "p", "10", "500");
  v.Add(8, 12, 0, Day(2026, 1, 4), "m", "25", "0");
  v.Value("f", 12, Day(2026, 1, 5), 1);
  EXPECT_EQ(v.Figures().substr(0, 5), "5/250");

  // An issue before any receipt uses up no layer and has no value under FIFO.
  v.Add(21, 6, 0, Day(2026, 1, 1), "m", "4", "0");
  v.Add(22, 6, 0, Day(2026, 1, 2), "p", "10", "100");
  EXPECT_EQ(v.Closing("f", 6, Day(2026, 1, 5)), "6/100 rec 10/100 iss 4/0");
  // A mark other than p and m is an issue to the average and a receipt to FIFO; an empty
  // quantity and value read as 0.
  v.Add(23, 11, 0, Day(2026, 1, 1), "p", "10", "100");
  v.Add(24, 11, 0, Day(2026, 1, 2), "x", "4", "0");
  v.Add(25, 11, 0, Day(2026, 1, 3), "p", "", "");
  EXPECT_EQ(v.Closing("w", 11, Day(2026, 1, 5)), "6/60 rec 10/100 iss 4/40");
  EXPECT_EQ(v.Closing("f", 11, Day(2026, 1, 5)), "14/100 rec 14/100 iss 0/0");
}

TEST(ValueStock, StockAgeSplitsTheClosingQuantityOverSlabs) {
  Valuer v;
  const double date = Day(2026, 2, 20);
  v.Add(1, 9, 0, date - 40, "p", "10", "100");
  v.Add(2, 9, 0, date - 30, "m", "5", "0");
  v.Add(3, 9, 0, date - 5, "p", "10", "200");
  // Issued before any receipt: the closing 7 all go to the newest receipt, none is lost.
  v.Add(4, 10, 0, date - 19, "m", "8", "0");
  v.Add(5, 10, 0, date - 15, "p", "5", "50");
  v.Add(6, 10, 0, date - 5, "p", "10", "100");
  auto age = [&](const char* slabs, int item) {
    std::string text = "x";
    v.vs.GetStockAge(slabs, "", item, date, text);
    std::string r = text;
    for (size_t i = 0; i < v.vs.AgeQty.size(); ++i)
      r += v.vs.AgeFrom[i] + "-" + v.vs.AgeTo[i] + ":" + v.vs.AgeQty[i] + " ";
    return r;
  };
  EXPECT_EQ(age("0-30, 31 - 60", 9), "0-30:10 31-60:5 ");
  EXPECT_EQ(age("0-30,,31-60", 9), "0-30:10 ");  // an empty comma field ends the list
  // Both ends of a slab belong to it (the receipts are 5 and 40 days old).
  EXPECT_EQ(age("0-4,5-39,40-60", 9), "0-4:0 5-39:10 40-60:5 ");
  EXPECT_EQ(age("0-5,6-40", 9), "0-5:10 6-40:5 ");
  EXPECT_EQ(age("0-9,10-99", 10), "0-9:7 10-99:0 ");
  EXPECT_THROW(age("0-3x", 9), v7::EConvertError);
}

}  // namespace
