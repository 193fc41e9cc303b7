// Stock valuation over the movement table STOCKVALUE (read only): the value of a quantity
// by moving weighted average or FIFO, the cost rate of a document row, closing stock and
// stock age (uValueStock.cpp), and the availability check of a document row
// (uCheckStock.cpp). One valuer belongs to each business evaluator.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uDBManager.h"
#include "uStructDef.h"
#include "uXDS.h"

namespace v7 {

class TValueStock {
 public:
  TValueStock();
  virtual ~TValueStock();
  TValueStock(const TValueStock&) = delete;
  TValueStock& operator=(const TValueStock&) = delete;

  // Dates are date-time values; a location text goes through ToFloat (empty = all
  // locations). Method "w" average, "f" FIFO (after lower-casing); any other gives 0.
  long double GetStockValue(const std::string& method, const std::string& locIdText,
                            long double itemId, double date, long double qty);
  long double GetCostRate(const std::string& method, const std::string& locIdText,
                          long double itemId, double date, long double qty);
  // Always 0; sets OpQty, OpValue, RecQty, RecValue, IssQty, IssValue.
  long double GetClosingStock(const std::string& method, const std::string& locIdText,
                              long double itemId, double date);
  // text is always left empty; fills AgeFrom, AgeTo, AgeQty.
  void GetStockAge(const std::string& slabs, const std::string& locIdText, long double itemId,
                   double date, std::string& text);

  // ---- Availability check (uCheckStock.cpp) ----
  // "T", or "Not enough stock on " + the first date on which the stock goes below zero.
  void CheckStock(const std::string& newItemId, const std::string& oldItemId,
                  const std::string& newDate, const std::string& oldDate,
                  const std::string& plusOrMinus, const std::string& newQty,
                  const std::string& oldQty, const std::string& decimals,
                  const std::string& newLocId, const std::string& oldLocId, std::string& result);

  // ---- State ----
  long double WalkItemId = 0;
  long double WalkLocId = 0;
  std::unique_ptr<TXDS> Movements;
  std::unique_ptr<TXDS> Receipts;
  std::unique_ptr<TXDS> Probe;
  std::string CancelFilter;
  int Decimals = 2;
  TStructDef* StructDef = nullptr;  // not owned; set by the evaluator before each call
  long double SourceId = 0;
  // An average walk's running figures; in a FIFO walk the current layer's remaining
  // quantity, value and rate (LayerQty, LayerValue, LayerRate).
  long double RunQty = 0;
  long double RunValue = 0;
  long double Rate = 0;
  long double LayerId = 0;
  bool PendingLayer = false;
  long double OpQty = 0;
  long double OpValue = 0;
  long double RecQty = 0;
  long double RecValue = 0;
  long double IssQty = 0;
  long double IssValue = 0;
  std::vector<std::string> AgeFrom;
  std::vector<std::string> AgeTo;
  std::vector<std::string> AgeQty;

 private:
  TDBManager* Manager() const;
  // Sets CancelFilter from the probe of STOCKVALUE's columns.
  void SetCancelFilter();
  // The start of every valuation: the cancel probe, the location and the movement cursor.
  long double Prepare(const std::string& locIdText);
  // Runs a movement query with its item (i), date (d) and, when not 0, location (l).
  static void OpenStockQuery(TXDS& q, const std::string& sql, long double itemId, long double locId,
                             double date);
  void OpenMovements(long double itemId, long double locId, double date);
  void OpenFIFOQueries(long double itemId, long double locId, double date);
  // Adds a receipt to the running figures (or the layer) and renews the rate.
  void AddToRun(long double qty, long double value, bool absoluteRate);
  // Takes a quantity from the current layer and from the stock totals.
  void TakeFromLayer(long double qty);
  // The average walk; answers qty * Rate. absoluteRate: divide |RunValue| / |RunQty|, and
  // (the cost rate's walk) leave out the document row's own movement when SourceId is set.
  long double AverageWalk(long double itemId, long double locId, double date, long double qty,
                          bool absoluteRate, bool keepOpening);
  void FIFOWalk(long double itemId, long double locId, double date, bool keepTotals,
                bool stopAtSource);
  void ConsumeLayers(long double qty);
  long double IssueValueFIFO(long double qty);
  long double NextAverage(long double qty);
  long double NextFIFO(long double qty);

  // ---- Availability check helpers (uCheckStock.cpp) ----
  void CheckBalance(const std::string& plusOrMinus, std::string& result, long double itemId,
                    long double locId, double date, long double qty);
  void CheckBalanceMoved(const std::string& plusOrMinus, std::string& result, long double itemId,
                         long double locId, double newDate, double oldDate, long double newQty,
                         long double oldQty);
  long double RoundQty(long double x) const;
  long double ApplyMovement(long double balance, const std::string& plusOrMinus,
                            long double qty) const;
  // The stock up to and including a date, from the movements the database holds.
  long double BalanceAt(long double itemId, long double locId, double date);
  // The movements after a date, on Probe.
  void OpenLaterMovements(long double itemId, long double locId, double date);

  long double WalkItem = 0;  // item and date of the walk in hand
  double WalkDate = 0;
};

}  // namespace v7
