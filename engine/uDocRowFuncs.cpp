// The document-row functions of the business evaluator: totals, sums, extremes, values, ids,
// old values, row counts and row changes of the linked document store. A scan over the
// rows asks for row 1, 2, 3, ... and stops at the first row without a value, so rows after
// a gap are not seen.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "uExprRoutines.h"
#include "uGeneralFunctions.h"
#include "uQuorexEVAL.h"
#include "uValues.h"

namespace v7 {

namespace {

TStoreData& Need(TStoreData* store) {
  if (store == nullptr) throw std::runtime_error("No document is linked to the evaluator");
  return *store;
}

// The value record of (field, row), or nullptr.
const TFieldRec* Find(const TStoreData& store, const std::string& field, int row) {
  const int i = store.IndexOfValue(field, row);
  return i < 0 ? nullptr : &store.Values[static_cast<size_t>(i)];
}

bool IsNumericType(const std::string& type) { return type == "n" || type == "N"; }

// Number of rows before the first gap.
int CountRows(const TStoreData& store, const std::string& field) {
  int row = 0;
  while (store.IndexOfValue(field, row + 1) >= 0) ++row;
  return row;
}

// Adds the value when it is a number; an empty or unreadable text is passed over.
void AddIfNumber(const std::string& text, double& total) {
  double v = 0;
  if (!text.empty() && TryParseNumber(text, v)) total += v;
}

std::string Whole(int n) { return std::to_string(n); }

}  // namespace

int TQuorexEVAL::FrameNumber(const std::string& frameName) const {
  const std::string wanted = AsciiLower(frameName);
  size_t start = 0;
  for (int k = 1;; ++k) {
    const size_t comma = FrameNames.find(',', start);
    const std::string item =
        FrameNames.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) return 0;
    if (AsciiLower(item) == wanted) return k;
    if (comma == std::string::npos) return 0;
    start = comma + 1;
  }
}

std::string TQuorexEVAL::Total(const std::string& field) {
  if (UseStoreData == 0) return "0";
  const TStoreData& store = Need(StoreData);
  const std::string name = TrimText(field);
  double total = 0;
  for (int row = 1;; ++row) {
    const TFieldRec* v = Find(store, name, row);
    if (v == nullptr) break;
    AddIfNumber(v->Value, total);
  }
  return FormatNumber(total);
}

std::string TQuorexEVAL::Sum(const std::string& keyField, const std::string& keyValue,
                             const std::string& sumField) {
  if (UseStoreData == 0) return "0";
  return SumTill(TrimText(keyField), keyValue, TrimText(sumField), INT32_MAX);
}

std::string TQuorexEVAL::SumTill(const std::string& keyField, const std::string& keyValue,
                                 const std::string& sumField, int lastRow) {
  if (UseStoreData == 0) return "0";
  const TStoreData& store = Need(StoreData);
  double total = 0;
  for (int row = 1; row <= lastRow; ++row) {
    const TFieldRec* key = Find(store, keyField, row);
    const TFieldRec* value = Find(store, sumField, row);
    if (key == nullptr || value == nullptr) break;
    if (key->Value == keyValue) AddIfNumber(value->Value, total);
    if (row == INT32_MAX) break;
  }
  return FormatNumber(total);
}

namespace {

// The row of the greatest (sign 1) or smallest (sign -1) value; -1 without row 1.
int ExtremeRow(const TStoreData& store, const std::string& field, int sign) {
  const TFieldRec* first = Find(store, field, 1);
  if (first == nullptr) return -1;
  const auto number = [](const std::string& text) {
    double v = 0;
    return TryParseNumber(text, v) ? v : 0.0;
  };
  int best = 1;
  std::string bestText = first->Value;
  for (int row = 2;; ++row) {
    const TFieldRec* v = Find(store, field, row);
    if (v == nullptr) break;
    int cmp;
    if (IsNumericType(v->FieldType)) {
      const double a = number(v->Value);
      const double b = number(bestText);
      cmp = a > b ? 1 : (a < b ? -1 : 0);
    } else {
      const int c = v->Value.compare(bestText);
      cmp = c > 0 ? 1 : (c < 0 ? -1 : 0);
    }
    if (cmp == sign) {
      best = row;
      bestText = v->Value;
    }
  }
  return best;
}

}  // namespace

std::string TQuorexEVAL::GetMax(const std::string& field) {
  if (UseStoreData == 0) return "-1";
  return Whole(ExtremeRow(Need(StoreData), field, 1));
}

std::string TQuorexEVAL::GetMin(const std::string& field) {
  if (UseStoreData == 0) return "-1";
  return Whole(ExtremeRow(Need(StoreData), field, -1));
}

std::string TQuorexEVAL::GetValue(const std::string& field, int row) {
  if (row == -1) return "";
  if (UseStoreData == 0) {
    std::string value;
    long double id = 0;
    if (OnGetFieldValue) OnGetFieldValue(field, row, id, value);
    return value;
  }
  const TFieldRec* v = Find(Need(StoreData), field, row);
  if (v == nullptr) return "";
  if (IsNumericType(v->FieldType) && v->Value.empty()) return "0";
  return v->Value;
}

std::string TQuorexEVAL::GetId(const std::string& field, int row) {
  if (row == -1 || UseStoreData == 0) return "0";
  const TStoreData& store = Need(StoreData);
  const TFieldRec* v = Find(store, field, row);
  if (v == nullptr) return "0";
  if (v->Value == "sourcerecordid") return TStoreData::IdText(store.SourceRecordId);
  return TStoreData::IdText(v->ValueId);
}

std::string TQuorexEVAL::GetRow(const std::string& field, const std::string& value) {
  if (UseStoreData == 0) return "-1";
  const TStoreData& store = Need(StoreData);
  for (int row = 1;; ++row) {
    const TFieldRec* v = Find(store, field, row);
    if (v == nullptr) return "-1";
    if (v->Value == value) return Whole(row);
  }
}

std::string TQuorexEVAL::GetRowCount(const std::string& field) {
  if (UseStoreData == 0) return "0";
  return Whole(CountRows(Need(StoreData), field));
}

std::string TQuorexEVAL::Cell(int column, int row) {
  if (StoreData == nullptr || IndexOfVar("activeframe") < 0) return "0";
  int frame = 0;
  if (!TryParseInteger(VarText("activeframe"), frame)) return "0";
  for (const TFieldRec& v : StoreData->Values) {
    if (v.FieldOrder != column || v.Frame != frame || v.Row != row) continue;
    if (v.Value.empty()) return "0";
    double n = 0;
    return TryParseNumber(v.Value, n) ? FormatNumber(n) : "0";
  }
  return "0";
}

std::string TQuorexEVAL::GetOld(const std::string& field, int row) {
  if (StoreData == nullptr) return "";
  return StoreData->GetOldValue(field, row);
}

std::string TQuorexEVAL::GetOldId(const std::string& field, int row) {
  if (StoreData == nullptr) return "0";
  const TFieldRec* v = Find(*StoreData, field, row);
  return v == nullptr ? "0" : TStoreData::IdText(v->OldValueId);
}

std::string TQuorexEVAL::SetValue(const std::string& field, int row, const std::string& value) {
  if (field.empty() || row < 1) return "F";
  if (UseStoreData == 1) {
    TStoreData& store = Need(StoreData);
    const int i = store.IndexOfValue(field, row);
    if (i < 0) {
      store.AddValueByName(field, row, value);
      return "F";
    }
    store.Values[static_cast<size_t>(i)].Value = value;
  }
  if (OnSetFieldValue) OnSetFieldValue(field, row, value);
  return "T";
}

std::string TQuorexEVAL::AddRow(const std::string& frameName) {
  if (UseStoreData == 1) {
    TStoreData& store = Need(StoreData);
    // Frame 0 holds the record ids of the document's tables, not rows of a grid.
    const int frame = FrameNumber(frameName);
    if (frame > 0) store.AddRow(frame);
  }
  if (OnAddRow) OnAddRow(frameName);
  return "T";
}

std::string TQuorexEVAL::DeleteRow(const std::string& frameName, int row) {
  if (UseStoreData == 1) {
    TStoreData& store = Need(StoreData);
    // An unknown frame name gives frame 0, whose values are the record ids of the
    // document's tables: removing "row n" of it would lose a table's id.
    const int frame = FrameNumber(frameName);
    if (frame > 0) store.DeleteRow(frame, row);
  }
  if (OnDeleteRow) OnDeleteRow(frameName, row);
  return "T";
}

std::string TQuorexEVAL::FieldChanged(const std::string& field, int row) {
  if (StoreData == nullptr) return "F";
  const TFieldRec* v = Find(*StoreData, field, row);
  if (v == nullptr || v->RecordId == 0 || IndexOfVar(field) < 0) return "F";
  const std::string current = VarText(field);
  if (!IsNumericType(v->FieldType)) return v->OldValue != current ? "T" : "F";
  // Fixed point with four decimals, so that 5 and 5.00 are the same amount; worked on the
  // digits, so that no amount a field accepts is too large to compare.
  const auto fixed = [](const std::string& text) {
    TExactNumber n;
    if (!text.empty() && !ParseExactNumber(text, n))
      throw EConvertError("'" + text + "' is not a valid floating point value");
    return RoundedNumberText(n, 4);
  };
  return fixed(v->OldValue) != fixed(current) ? "T" : "F";
}

std::string TQuorexEVAL::SetGroupid(const std::string& field, const std::string& value) {
  TStoreData& store = Need(StoreData);
  if (std::find(store.GroupFields.begin(), store.GroupFields.end(), field) ==
      store.GroupFields.end()) {
    store.GroupFields.push_back(field);
    store.GroupValues.push_back(value);
    store.GroupStates.push_back("0");
  }
  return "0";
}

std::string TQuorexEVAL::GetRoundOff(const std::string& field, const std::string& flagField,
                                     int rowLimit, int step) {
  int n = ParseInteger(GetRowCount(field));
  if (rowLimit > 0 && rowLimit < n) n = rowLimit;
  double total = 0;
  for (int row = 1; row <= n; ++row) {
    if (AsciiLower(GetValue(flagField, row)) != "t") continue;
    const std::string value = GetValue(field, row);
    if (!value.empty()) total += ParseNumber(value);
  }
  // The difference of two amounts: binary fractions of the sum (20.55 is 20.5499...) are
  // no part of it, so it is kept to ten decimals.
  return FormatNumber(std::round((RndValue(total, step) - total) * 1e10) / 1e10);
}

std::string TQuorexEVAL::GetSubTotal(const std::string& field, int parentRow) {
  if (StoreData == nullptr) return "0";
  const std::string name = AsciiLower(field);
  double total = 0;
  for (const TFieldRec& v : StoreData->Values) {
    if (v.Row != -1 && v.ParentRow == parentRow && AsciiLower(v.FieldName) == name) {
      total += ToFloat(v.Value);
    }
  }
  return FormatNumber(total);
}

std::string TQuorexEVAL::GetStrFromSub(const std::string& field, const std::string& separator,
                                       int parentRow) {
  if (StoreData == nullptr) return "";
  const std::string name = AsciiLower(field);
  std::string text;
  for (const TFieldRec& v : StoreData->Values) {
    if (v.Row != -1 && v.ParentRow == parentRow && AsciiLower(v.FieldName) == name) {
      text += v.Value + separator;
    }
  }
  // Drops the last character, all the bytes of a UTF-8 one.
  while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0u) == 0x80u) {
    text.pop_back();
  }
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace v7
