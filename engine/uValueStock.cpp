#include "uValueStock.h"

#include <cmath>
#include <stdexcept>

#include "uGeneralFunctions.h"

namespace v7 {

namespace {

double Num(TXDS& q, const char* name) { return q.FieldByName(name).GetAsFloat(); }
std::string Text(TXDS& q, const char* name) { return q.FieldByName(name).GetAsString(); }
double Date(TXDS& q, const char* name) { return q.FieldByName(name).GetAsDateTime(); }

// A whole number in a slab bound; anything else is a conversion error.
int SlabBound(const std::string& text) {
  size_t used = 0;
  long v = 0;
  try {
    v = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (text.empty() || used != text.size() || v < -2147483647L || v > 2147483647L)
    throw EConvertError("'" + text + "' is not a valid integer value");
  return static_cast<int>(v);
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
  CancelFilter = Probe->FindField("cancel") ? " and CANCEL <> 'T' " : "";
  Probe->Close();
}

void TValueStock::MakeMovements() {
  if (Movements) return;
  const TProjectRecord& rec = *Manager()->Current;
  Movements = std::make_unique<TXDS>(rec);
  Movements->Name = "StockValue" + FloatToStr(NewLocalId());
}

void TValueStock::OpenMovements(long double itemId, long double locId, double date) {
  Movements->Close();
  std::string sql = "Select * from STOCKVALUE where ITEMID= :i and DOCDATE <= :d ";
  if (locId != 0) sql += "and LOCID=:l ";
  Movements->GetSQL().SetText(sql + CancelFilter + " order by DOCDATE, DOCTIME");
  Movements->ParamByName("i").SetAsFloat(static_cast<double>(itemId));
  Movements->ParamByName("d").SetAsDateTime(date);
  if (locId != 0) Movements->ParamByName("l").SetAsFloat(static_cast<double>(locId));
  Movements->Open();
  WalkItem = itemId;
  WalkDate = date;
}

void TValueStock::OpenFIFOQueries(long double itemId, long double locId, double date) {
  Movements->Close();
  std::string sql = "Select * from STOCKVALUE where ITEMID = :i and DOCDATE <= :d";
  if (locId != 0) sql += " and LOCID=:l";
  Movements->GetSQL().SetText(sql + CancelFilter + " order by DOCDATE, DOCTIME");
  Movements->ParamByName("i").SetAsFloat(static_cast<double>(itemId));
  Movements->ParamByName("d").SetAsDateTime(date);
  if (locId != 0) Movements->ParamByName("l").SetAsFloat(static_cast<double>(locId));
  Movements->Open();

  if (!Receipts) {
    Receipts = std::make_unique<TXDS>(*Manager()->Current);
    Receipts->Name = "Stockplus" + FloatToStr(NewLocalId());
    Receipts->SetCached(true);
  }
  Receipts->Close();
  std::string rsql = "Select * from STOCKVALUE where itemid= :i and docdate <= :d and " +
                     DbLowerFunc + "(plusorminus) = 'p'";
  if (locId != 0) rsql += " and locid=:l";
  Receipts->GetSQL().SetText(rsql + CancelFilter + " order by DocDate, DOCTIME");
  Receipts->ParamByName("i").SetAsFloat(static_cast<double>(itemId));
  Receipts->ParamByName("d").SetAsDateTime(date);
  if (locId != 0) Receipts->ParamByName("l").SetAsFloat(static_cast<double>(locId));
  Receipts->Open();
  WalkItem = itemId;
  WalkDate = date;
}

bool TValueStock::MovementInWalk(long double itemId, double date) {
  if (!Movements || !Movements->GetActive() || Movements->Eof()) return false;
  return Num(*Movements, "itemid") == static_cast<double>(itemId) &&
         Date(*Movements, "docdate") <= date;
}

bool TValueStock::ReceiptInWalk(long double itemId, double date) {
  if (!Receipts || !Receipts->GetActive() || Receipts->Eof()) return false;
  return Num(*Receipts, "itemid") == static_cast<double>(itemId) &&
         Date(*Receipts, "docdate") <= date;
}

// ---- Moving weighted average ----

long double TValueStock::AverageWalk(long double itemId, long double locId, double date,
                                     long double qty, bool absoluteRate, bool keepOpening) {
  RunQty = RunValue = Rate = 0;
  if (keepOpening) OpQty = OpValue = 0;
  OpenMovements(itemId, locId, date);
  // Only the cost rate of a document row leaves that row's own movement out.
  const bool sourceRule = absoluteRate && SourceId > 0;
  while (MovementInWalk(itemId, date)) {
    if (LowerStr(Text(*Movements, "plusorminus")) == "p") {
      RunQty += Num(*Movements, "qty");
      RunValue += Num(*Movements, "stockvalue");
      if (RunQty != 0)
        Rate = absoluteRate ? std::fabs(RunValue) / std::fabs(RunQty) : RunValue / RunQty;
    } else {
      long double issued = Num(*Movements, "qty");
      if (sourceRule && Num(*Movements, "t1sourceid") == static_cast<double>(SourceId))
        issued = qty;
      RunQty -= issued;
      RunValue -= issued * Rate;
    }
    if (keepOpening) {
      OpQty = RunQty;
      OpValue = RunValue;
    }
    Movements->Next();
    if (sourceRule && !Movements->Eof() &&
        Num(*Movements, "t1sourceid") == static_cast<double>(SourceId))
      break;
  }
  return qty * Rate;
}

long double TValueStock::NextAverage(long double qty) {
  long double result = Rate * qty;
  if (!MovementInWalk(WalkItem, WalkDate)) return result;
  const long double q = Num(*Movements, "qty");
  if (LowerStr(Text(*Movements, "plusorminus")) == "p") {
    const long double v = Num(*Movements, "stockvalue");
    RunQty += q;
    RunValue += v;
    if (RunQty != 0) Rate = std::fabs(RunValue) / std::fabs(RunQty);
    result = v;
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
  while (MovementInWalk(itemId, date)) {
    const long double q = Num(*Movements, "qty");
    if (LowerStr(Text(*Movements, "plusorminus")) == "m") {
      if (RunQty >= q) {
        RunQty -= q;
        RunValue -= q * Rate;
        OpQty -= q;
        OpValue -= q * Rate;
      } else {
        const long double s = q - RunQty;
        RunValue -= RunQty * Rate;
        OpQty -= RunQty;
        OpValue -= RunQty * Rate;
        RunQty = 0;
        ConsumeLayers(s);
      }
    } else {
      const long double v = Num(*Movements, "stockvalue");
      if (LayerId == 0) {
        LayerId = Num(*Movements, "stockvalueid");
        RunQty += q;
        RunValue += v;
        if (RunQty != 0) Rate = std::fabs(RunValue) / std::fabs(RunQty);
      }
      OpQty += q;
      OpValue += v;
    }
    Movements->Next();
    if (sourceRule && !Movements->Eof() &&
        Num(*Movements, "t1sourceid") == static_cast<double>(SourceId))
      break;
  }
  if (!keepTotals) {
    OpQty = keptQty;
    OpValue = keptValue;
  }
}

void TValueStock::ConsumeLayers(long double qty) {
  if (LayerId == 0) return;
  long double s = qty;
  Receipts->Next();
  while (ReceiptInWalk(WalkItem, WalkDate)) {
    RunQty += Num(*Receipts, "qty");
    RunValue += Num(*Receipts, "stockvalue");
    if (RunQty != 0) Rate = std::fabs(RunValue) / std::fabs(RunQty);
    if (RunQty >= s) {
      RunQty -= s;
      RunValue -= s * Rate;
      OpQty -= s;
      OpValue -= s * Rate;
      return;
    }
    OpQty -= RunQty;
    OpValue -= RunQty * Rate;
    RunValue -= RunQty * Rate;
    s -= RunQty;
    RunQty = 0;
    Receipts->Next();
  }
  // What the receipts do not cover is dropped.
}

long double TValueStock::IssueValueFIFO(long double qty) {
  long double v = 0;
  if (LayerId == 0) return 0;
  while (ReceiptInWalk(WalkItem, WalkDate)) {
    if (PendingLayer) {
      RunQty = Num(*Receipts, "qty");
      RunValue = Num(*Receipts, "stockvalue");
      if (RunQty != 0) Rate = std::fabs(RunValue) / std::fabs(RunQty);
    }
    if (RunQty >= qty) {
      RunQty -= qty;
      RunValue -= qty * Rate;
      v += qty * Rate;
      qty = 0;
      PendingLayer = false;
      break;
    }
    v += RunQty * Rate;
    qty -= RunQty;
    RunValue -= RunQty * Rate;
    RunQty = 0;
    Receipts->Next();
    PendingLayer = true;
  }
  // What the layers do not cover is valued at the last rate.
  if (qty > 0) v += qty * Rate;
  return v;
}

long double TValueStock::NextFIFO(long double qty) {
  long double result = 0;
  if (!MovementInWalk(WalkItem, WalkDate)) return result;
  if (LowerStr(Text(*Movements, "plusorminus")) != "m")
    result = Num(*Movements, "stockvalue");
  else
    result = IssueValueFIFO(qty);
  Movements->Next();
  return result;
}

// ---- The operations ----

long double TValueStock::GetStockValue(const std::string& method, const std::string& locIdText,
                                       long double itemId, double date, long double qty) {
  long double result = 0;
  SetCancelFilter();
  const long double loc = ToFloat(locIdText);
  MakeMovements();
  const std::string m = LowerStr(method);
  const bool kept = itemId == WalkItemId && loc == WalkLocId;
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
  long double v = 0;
  SetCancelFilter();
  const long double loc = ToFloat(locIdText);
  MakeMovements();
  const std::string m = LowerStr(method);
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
  SetCancelFilter();
  const long double loc = ToFloat(locIdText);
  MakeMovements();
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
  while (MovementInWalk(itemId, date)) {
    const long double q = Num(*Movements, "qty");
    const long double v = Num(*Movements, "stockvalue");
    const double rowDate = Date(*Movements, "docdate");
    const std::string pm = LowerStr(Text(*Movements, "plusorminus"));
    if (m == "w") {
      if (pm == "p") {
        RunQty += q;
        RunValue += v;
        if (RunQty != 0) Rate = std::fabs(RunValue) / std::fabs(RunQty);
        RecQty += q;
        RecValue += v;
      } else {
        RunQty -= q;
        RunValue -= q * Rate;
        IssQty += q;
        IssValue += q * Rate;
      }
    } else if (pm != "m") {
      if (LayerId == 0) {
        LayerId = Num(*Movements, "stockvalueid");
        RunQty += q;
        RunValue += v;
        if (RunQty != 0) Rate = std::fabs(RunValue) / std::fabs(RunQty);
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
    if (rowDate < date) {
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
  LayerId = r.IsEmpty() ? 0 : Num(*Receipts, "stockvalueid");
  long double left = RecQty - IssQty;
  if (r.IsEmpty() || left <= 0) {
    text.clear();
    return;
  }
  for (r.Last(); Num(*Receipts, "itemid") == static_cast<double>(itemId); r.Prior()) {
    const double age = date - Date(*Receipts, "docdate");
    if (age >= 0) {
      long double q = Num(*Receipts, "stockvalueid") == static_cast<double>(LayerId)
                          ? left
                          : static_cast<long double>(Num(*Receipts, "qty"));
      // The oldest receipt still held gets only what is left of the closing quantity.
      if (q > left) q = left;
      left -= q;
      for (size_t i = 0; i < AgeFrom.size(); ++i) {
        if (SlabBound(AgeFrom[i]) <= age && age <= SlabBound(AgeTo[i])) {
          AgeQty[i] = FloatToStr(static_cast<double>(ToFloat(AgeQty[i]) + q));
          break;
        }
      }
    }
    if (left <= 0 || r.RecNo() == 0) break;
  }
  text.clear();
}

}  // namespace v7
