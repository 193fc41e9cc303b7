#include "uValueStock.h"

#include <cmath>
#include <stdexcept>

#include "uGeneralFunctions.h"
#include "uValues.h"

namespace v7 {

namespace {

double Num(TXDS& q, const char* name) { return q.FieldByName(name).GetAsFloat(); }
// A record id of the current row, with every digit (a double loses them from 16 digits up).
long double Id(TXDS& q, const char* name) {
  long double id = 0;
  return TryStrToRecordId(q.FieldByName(name).Value, id) ? id : 0;
}
// Binds a record id as a whole number, so that the engine compares it exactly.
void SetIdParam(TXParam& param, long double id) {
  if (id == std::floor(id) && std::fabs(id) < 9e18L)
    param.SetAsInteger(static_cast<long long>(id));
  else
    param.SetAsFloat(static_cast<double>(id));
}
double Date(TXDS& q, const char* name) { return q.FieldByName(name).GetAsDateTime(); }
// The valuation reads the mark without case; the availability check reads it exactly.
std::string Mark(TXDS& q) { return LowerStr(q.FieldByName("plusorminus").GetAsString()); }

// Whether a cursor stands on a row of the item dated not after the date.
bool InWalk(TXDS* q, long double itemId, double date) {
  if (!q || !q->GetActive() || q->Eof()) return false;
  return Id(*q, "itemid") == itemId && Date(*q, "docdate") <= date;
}

}  // namespace

TValueStock::TValueStock() = default;

TValueStock::~TValueStock() {
  AgeFrom.clear();
  AgeTo.clear();
  AgeQty.clear();
  for (auto* q : {Movements.get(), Receipts.get(), Probe.get()})
    if (q) q->Close();
}

TDBManager* TValueStock::Manager() const {
  if (!StructDef || !StructDef->DBManager || !StructDef->DBManager->Current)
    throw std::runtime_error("Stock valuation needs a connected document definition");
  return StructDef->DBManager;
}

void TValueStock::SetCancelFilter() {
  if (!Probe) Probe = Manager()->NewQuery();
  Probe->Close();
  Probe->GetSQL().SetText("Select * from stockvalue where stockvalueid = 0");
  Probe->Open();
  // Only "T" marks a cancelled movement: a null CANCEL is a movement like any other (a bare
  // CANCEL <> 'T' is never true for null).
  CancelFilter = Probe->FindField("cancel") ? " and (CANCEL is null or CANCEL <> 'T') " : "";
  Probe->Close();
}

long double TValueStock::Prepare(const std::string& locIdText) {
  SetCancelFilter();
  const long double loc = StrToRecordId(locIdText);
  if (!Movements) {
    Movements = std::make_unique<TXDS>(*Manager()->Current);
    Movements->Name = "StockValue" + FloatToStr(NewLocalId());
  }
  return loc;
}

void TValueStock::OpenStockQuery(TXDS& q, const std::string& sql, long double itemId,
                                 long double locId, double date) {
  q.Close();
  q.GetSQL().SetText(sql);
  SetIdParam(q.ParamByName("i"), itemId);
  q.ParamByName("d").SetAsDateTime(date);
  if (locId != 0) SetIdParam(q.ParamByName("l"), locId);
  q.Open();
}

void TValueStock::OpenMovements(long double itemId, long double locId, double date) {
  const std::string loc = locId != 0 ? "and LOCID=:l " : "";
  OpenStockQuery(*Movements,
                 "Select * from STOCKVALUE where ITEMID= :i and DOCDATE <= :d " + loc +
                     CancelFilter + " order by DOCDATE, DOCTIME",
                 itemId, locId, date);
  WalkItem = itemId;
  WalkDate = date;
}

void TValueStock::OpenFIFOQueries(long double itemId, long double locId, double date) {
  const std::string loc = locId != 0 ? " and LOCID=:l" : "";
  OpenStockQuery(*Movements,
                 "Select * from STOCKVALUE where ITEMID = :i and DOCDATE <= :d" + loc +
                     CancelFilter + " order by DOCDATE, DOCTIME",
                 itemId, locId, date);
  if (!Receipts) {
    Receipts = std::make_unique<TXDS>(*Manager()->Current);
    Receipts->Name = "Stockplus" + FloatToStr(NewLocalId());
    Receipts->SetCached(true);
  }
  OpenStockQuery(*Receipts,
                 "Select * from STOCKVALUE where itemid= :i and docdate <= :d and " + DbLowerFunc +
                     "(plusorminus) = 'p'" + LowerStr(loc) + CancelFilter +
                     " order by DocDate, DOCTIME",
                 itemId, locId, date);
  WalkItem = itemId;
  WalkDate = date;
}

void TValueStock::AddToRun(long double qty, long double value, bool absoluteRate) {
  RunQty += qty;
  RunValue += value;
  if (RunQty != 0)
    Rate = absoluteRate ? std::fabs(RunValue) / std::fabs(RunQty) : RunValue / RunQty;
}

void TValueStock::TakeFromLayer(long double qty) {
  RunQty -= qty;
  RunValue -= qty * Rate;
  OpQty -= qty;
  OpValue -= qty * Rate;
}

// ---- Moving weighted average ----

long double TValueStock::AverageWalk(long double itemId, long double locId, double date,
                                     long double qty, bool absoluteRate, bool keepOpening) {
  RunQty = RunValue = Rate = 0;
  if (keepOpening) OpQty = OpValue = 0;
  OpenMovements(itemId, locId, date);
  // Only the cost rate of a document row leaves that row's own movement out.
  const bool sourceRule = absoluteRate && SourceId > 0;
  auto ownRow = [&] { return Id(*Movements, "t1sourceid") == SourceId; };
  while (InWalk(Movements.get(), itemId, date)) {
    if (Mark(*Movements) == "p") {
      AddToRun(Num(*Movements, "qty"), Num(*Movements, "stockvalue"), absoluteRate);
    } else {
      const long double issued = sourceRule && ownRow() ? qty : Num(*Movements, "qty");
      RunQty -= issued;
      RunValue -= issued * Rate;
    }
    if (keepOpening) {
      OpQty = RunQty;
      OpValue = RunValue;
    }
    Movements->Next();
    if (sourceRule && !Movements->Eof() && ownRow()) break;
  }
  return qty * Rate;
}

long double TValueStock::NextAverage(long double qty) {
  long double result = Rate * qty;
  if (!InWalk(Movements.get(), WalkItem, WalkDate)) return result;
  const long double q = Num(*Movements, "qty");
  if (Mark(*Movements) == "p") {
    result = Num(*Movements, "stockvalue");
    AddToRun(q, result, true);
  } else {
    RunQty -= q;
    RunValue -= q * Rate;
  }
  Movements->Next();
  return result;
}

// ---- FIFO layers (RunQty, RunValue, Rate are the current layer's quantity, value, rate) ----

void TValueStock::FIFOWalk(long double itemId, long double locId, double date, bool keepTotals,
                           bool stopAtSource) {
  RunQty = RunValue = Rate = 0;
  LayerId = 0;
  PendingLayer = false;
  OpenFIFOQueries(itemId, locId, date);
  // A walk without totals leaves the kept walk's opening figures as they were.
  const long double keptQty = OpQty, keptValue = OpValue;
  OpQty = OpValue = 0;
  const bool sourceRule = stopAtSource && SourceId > 0;
  while (InWalk(Movements.get(), itemId, date)) {
    const long double q = Num(*Movements, "qty");
    if (Mark(*Movements) == "m") {
      if (RunQty >= q) {
        TakeFromLayer(q);
      } else {
        const long double rest = q - RunQty;
        TakeFromLayer(RunQty);
        ConsumeLayers(rest);
      }
    } else {
      const long double v = Num(*Movements, "stockvalue");
      if (LayerId == 0) {
        LayerId = Id(*Movements, "stockvalueid");
        AddToRun(q, v, true);
      }
      OpQty += q;
      OpValue += v;
    }
    Movements->Next();
    if (sourceRule && !Movements->Eof() && Id(*Movements, "t1sourceid") == SourceId) break;
  }
  if (!keepTotals) {
    OpQty = keptQty;
    OpValue = keptValue;
  }
}

void TValueStock::ConsumeLayers(long double qty) {
  if (LayerId == 0) return;
  for (Receipts->Next(); InWalk(Receipts.get(), WalkItem, WalkDate); Receipts->Next()) {
    AddToRun(Num(*Receipts, "qty"), Num(*Receipts, "stockvalue"), true);
    if (RunQty >= qty) {
      TakeFromLayer(qty);
      return;
    }
    // The emptied layer leaves no value behind to distort the next receipt's rate.
    qty -= RunQty;
    TakeFromLayer(RunQty);
  }
  // What the receipts do not cover is dropped.
}

long double TValueStock::IssueValueFIFO(long double qty) {
  long double v = 0;
  if (LayerId == 0) return 0;
  while (InWalk(Receipts.get(), WalkItem, WalkDate)) {
    if (PendingLayer) {
      RunQty = RunValue = 0;
      AddToRun(Num(*Receipts, "qty"), Num(*Receipts, "stockvalue"), true);
    }
    const long double take = RunQty >= qty ? qty : RunQty;
    RunQty -= take;
    RunValue -= take * Rate;
    v += take * Rate;
    qty -= take;
    if (qty == 0) {
      PendingLayer = false;
      break;
    }
    Receipts->Next();
    PendingLayer = true;
  }
  // What the layers do not cover is valued at the last rate.
  if (qty > 0) v += qty * Rate;
  return v;
}

long double TValueStock::NextFIFO(long double qty) {
  if (!InWalk(Movements.get(), WalkItem, WalkDate)) return 0;
  const long double result =
      Mark(*Movements) != "m" ? Num(*Movements, "stockvalue") : IssueValueFIFO(qty);
  Movements->Next();
  return result;
}

// ---- The operations ----

long double TValueStock::GetStockValue(const std::string& method, const std::string& locIdText,
                                       long double itemId, double date, long double qty) {
  const long double loc = Prepare(locIdText);
  const std::string m = LowerStr(method);
  const bool kept = itemId == WalkItemId && loc == WalkLocId;
  long double result = 0;
  if (m == "w") {
    if (!kept) AverageWalk(itemId, loc, date - 1, qty, false, true);
    result = NextAverage(qty);
  } else if (m == "f") {
    if (!kept) FIFOWalk(itemId, loc, date - 1, true, false);
    result = NextFIFO(qty);
  } else {
    return 0;
  }
  WalkItemId = itemId;
  WalkLocId = loc;
  return result;
}

long double TValueStock::GetCostRate(const std::string& method, const std::string& locIdText,
                                     long double itemId, double date, long double qty) {
  const long double loc = Prepare(locIdText);
  const std::string m = LowerStr(method);
  long double v = 0;
  if (m == "w") {
    v = AverageWalk(itemId, loc, date, qty, true, false);
  } else if (m == "f") {
    FIFOWalk(itemId, loc, date, false, true);
    v = IssueValueFIFO(qty);
  } else {
    return 0;
  }
  WalkItemId = itemId;
  return qty == 0 ? 0 : v / qty;
}

long double TValueStock::GetClosingStock(const std::string& method, const std::string& locIdText,
                                         long double itemId, double date) {
  const long double loc = Prepare(locIdText);
  RecQty = RecValue = IssQty = IssValue = OpQty = OpValue = 0;
  const std::string m = LowerStr(method);
  if (m != "w" && m != "f") return 0;
  RunQty = RunValue = Rate = 0;
  if (m == "w") {
    OpenMovements(itemId, loc, date);
  } else {
    LayerId = 0;
    PendingLayer = false;
    OpenFIFOQueries(itemId, loc, date);
  }
  while (InWalk(Movements.get(), itemId, date)) {
    const long double q = Num(*Movements, "qty");
    const long double v = Num(*Movements, "stockvalue");
    const std::string pm = Mark(*Movements);
    if (m == "w") {
      if (pm == "p") {
        AddToRun(q, v, true);
        RecQty += q;
        RecValue += v;
      } else {
        RunQty -= q;
        RunValue -= q * Rate;
        IssQty += q;
        IssValue += q * Rate;
      }
    } else if (pm != "m") {
      // Only the first receipt becomes a layer here; the others wait for the issues.
      if (LayerId == 0) {
        LayerId = Id(*Movements, "stockvalueid");
        AddToRun(q, v, true);
      }
      RecQty += q;
      RecValue += v;
    } else {
      IssQty += q;
      if (RunQty >= q) {
        RunQty -= q;
        RunValue -= q * Rate;
        IssValue += q * Rate;
      } else {
        PendingLayer = false;
        IssValue += IssueValueFIFO(q);
      }
    }
    if (Date(*Movements, "docdate") < date) {
      OpQty = RecQty - IssQty;
      OpValue = RecValue - IssValue;
    }
    Movements->Next();
  }
  WalkItemId = itemId;
  return 0;
}

void TValueStock::GetStockAge(const std::string& slabs, const std::string& locIdText,
                              long double itemId, double date, std::string& text) {
  text.clear();
  AgeFrom.clear();
  AgeTo.clear();
  AgeQty.clear();
  for (int n = 1;; ++n) {
    const std::string slab = GetField(slabs, n);
    if (slab.empty()) break;
    AgeFrom.push_back(TrimStr(GetDelimField(slab, 1, '-')));
    AgeTo.push_back(TrimStr(GetDelimField(slab, 2, '-')));
    AgeQty.push_back("0");
  }
  GetClosingStock("f", locIdText, itemId, date);
  TClientDataSet& r = *Receipts->ClientDataSet;
  LayerId = r.IsEmpty() ? 0 : Id(*Receipts, "stockvalueid");
  long double left = RecQty - IssQty;
  if (r.IsEmpty() || left <= 0) return;
  for (r.Last(); Id(*Receipts, "itemid") == itemId; r.Prior()) {
    const double age = date - Date(*Receipts, "docdate");
    if (age >= 0) {
      long double q = Id(*Receipts, "stockvalueid") == LayerId
                          ? left
                          : static_cast<long double>(Num(*Receipts, "qty"));
      // A receipt older than the stock still held gets only what is left of the closing
      // quantity, so none of it is lost.
      if (q > left) q = left;
      left -= q;
      for (size_t i = 0; i < AgeFrom.size(); ++i) {
        if (ParseInteger(AgeFrom[i]) <= age && age <= ParseInteger(AgeTo[i])) {
          AgeQty[i] = FloatToStr(static_cast<double>(ToFloat(AgeQty[i]) + q));
          break;
        }
      }
    }
    if (left <= 0 || r.RecNo() == 0) break;
  }
}

}  // namespace v7
