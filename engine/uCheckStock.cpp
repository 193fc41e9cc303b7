// The availability check of a document row: would the row's new movement, in place of the
// one STOCKVALUE still holds for it, take the item's stock below zero on its date or later?
#include "uDbDates.h"
#include "uGeneralFunctions.h"
#include "uValueStock.h"
#include "uValues.h"

namespace v7 {

namespace {

const char* const kShortage = "Not enough stock on ";

double StrToDateTime(const std::string& text) {
  double d = 0;
  if (!ParseDateTimeText(TrimStr(text), TDateOrder::DMY, d))
    throw EConvertError("'" + text + "' is not a valid date and time");
  return d;
}

}  // namespace

long double TValueStock::RoundQty(long double x) const {
  return RoundFloat(Decimals, static_cast<double>(x));
}

long double TValueStock::ApplyMovement(long double balance, const std::string& plusOrMinus,
                                       long double qty) const {
  return RoundQty(plusOrMinus == "p" ? balance + qty : balance - qty);
}

long double TValueStock::BalanceAt(long double itemId, long double locId, double date) {
  // decode exists on Oracle only; PostgreSQL and MySQL take the standard case expression.
  std::string sum;
  if (DbKind == "access")
    sum = "Select sum(iif(plusorminus='p',qty,-qty))";
  else if (DbKind == "oracle")
    sum = "Select sum(decode(plusorminus,'p',qty,-qty))";
  else
    sum = "Select sum(case when plusorminus='p' then qty else -qty end)";
  const std::string loc = locId != 0 ? " and locid=:l" : "";
  TXDS& q = *Probe;
  OpenStockQuery(q, sum + " from stockvalue where itemid=:i and docdate <= :d" + loc + CancelFilter,
                 itemId, locId, date);
  long double balance = 0;
  if (!q.Eof() && !q.GetFields().empty())
    balance = q.FieldByName(q.GetFields()[0].Name).GetAsFloat();
  q.Close();
  q.GetSQL().Clear();
  return balance;
}

void TValueStock::OpenLaterMovements(long double itemId, long double locId, double date) {
  const std::string loc = locId != 0 ? "and locid=:l " : "";
  OpenStockQuery(*Probe,
                 "select * from stockvalue where itemid = :i and docdate > :d " + loc +
                     CancelFilter + " order by  DOCDATE, DOCTIME",
                 itemId, locId, date);
}

void TValueStock::CheckStock(const std::string& newItemId, const std::string& oldItemId,
                             const std::string& newDate, const std::string& oldDate,
                             const std::string& plusOrMinus, const std::string& newQty,
                             const std::string& oldQty, const std::string& decimals,
                             const std::string& newLocId, const std::string& oldLocId,
                             std::string& result) {
  SetCancelFilter();
  const long double newItem = ParseRecordIdText(newItemId);
  const long double oldItem = ParseRecordIdText(oldItemId);
  const double newDay = StrToDateTime(newDate);
  const bool oldDateGiven = !TrimStr(oldDate).empty();
  const double oldDay = oldDateGiven ? StrToDateTime(oldDate) : 0;
  const long double nQty = ParseNumber(newQty);
  const long double oQty = ParseNumber(oldQty);
  Decimals = TrimStr(decimals).empty() ? 2 : ParseInteger(decimals);
  const long double newLoc = StrToRecordId(newLocId);
  const long double oldLoc = StrToRecordId(oldLocId);
  result = "T";

  const bool moved =
      (oldItem != 0 && oldItem != newItem) || (oldLoc != 0 && newLoc != 0 && oldLoc != newLoc);
  if (moved) {
    // The old place gets its movement back, then the new place takes the new one.
    CheckBalance(plusOrMinus, result, oldItem, oldLoc, oldDateGiven ? oldDay : newDay, -oQty);
    if (result == "T") CheckBalance(plusOrMinus, result, newItem, newLoc, newDay, nQty);
  } else if (oldDateGiven && oldDate != newDate) {
    CheckBalanceMoved(plusOrMinus, result, newItem, newLoc, newDay, oldDay, nQty, oQty);
  } else {
    CheckBalance(plusOrMinus, result, newItem, newLoc, newDay, nQty - oQty);
  }
}

void TValueStock::CheckBalance(const std::string& plusOrMinus, std::string& result,
                               long double itemId, long double locId, double date,
                               long double qty) {
  result = "T";
  long double balance = ApplyMovement(BalanceAt(itemId, locId, date), plusOrMinus, qty);
  if (balance < 0) {
    result = kShortage + DateTimeToText(date);
    return;
  }
  TXDS& q = *Probe;
  for (OpenLaterMovements(itemId, locId, date); !q.Eof(); q.Next()) {
    balance = ApplyMovement(balance, q.FieldByName("plusorminus").GetAsString(),
                            q.FieldByName("qty").GetAsFloat());
    if (balance < 0) {
      result = kShortage + q.FieldByName("docdate").GetAsString();
      break;
    }
  }
  q.Close();
}

void TValueStock::CheckBalanceMoved(const std::string& plusOrMinus, std::string& result,
                                    long double itemId, long double locId, double newDate,
                                    double oldDate, long double newQty, long double oldQty) {
  const bool receipt = plusOrMinus == "p";
  // What happens at the earlier date (a) and at the later one (b), signs already chosen.
  double d1, d2;
  long double a, b;
  if (newDate < oldDate) {
    d1 = newDate;
    d2 = oldDate;
    a = receipt ? newQty : -newQty;
    b = receipt ? -oldQty : oldQty;
  } else {
    d1 = oldDate;
    d2 = newDate;
    a = receipt ? -oldQty : oldQty;
    b = receipt ? newQty : -newQty;
  }
  result = "T";
  long double balance = RoundQty(BalanceAt(itemId, locId, d1) + a);
  if (balance < 0) {
    result = kShortage + DateTimeToText(d1);
    return;
  }
  TXDS& q = *Probe;
  bool pending = true;
  for (OpenLaterMovements(itemId, locId, d1); !q.Eof(); q.Next()) {
    const double rowDate = q.FieldByName("docdate").GetAsDateTime();
    const std::string rowPm = q.FieldByName("plusorminus").GetAsString();
    // A receipt's change counts before every movement of the later date; an issue's after
    // the receipts of that date that come before its first issue.
    if (pending && ((receipt && rowDate >= d2) ||
                    (plusOrMinus == "m" && ((rowDate == d2 && rowPm == "m") || rowDate > d2)))) {
      balance = RoundQty(balance + b);
      pending = false;
    }
    balance = ApplyMovement(balance, rowPm, q.FieldByName("qty").GetAsFloat());
    if (balance < 0) {
      result = kShortage + q.FieldByName("docdate").GetAsString();
      q.Close();
      return;
    }
  }
  q.Close();
  if (pending && RoundQty(balance + b) < 0) result = kShortage + DateTimeToText(d2);
}

}  // namespace v7
