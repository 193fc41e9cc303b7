#include <algorithm>
#include <cmath>

#include "uValidate.h"

namespace v7 {

namespace {

// Characters, not bytes, of a UTF-8 text.
size_t CharCount(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

}  // namespace

bool TValidate::CheckField(int row) {
  if (!ChecksOn) return true;
  TFld* f = CurrentField;
  const std::string label = f->caption + " [" + f->name + "]";
  auto fail = [&](const std::string& message) {
    ErrorText = message;
    return false;
  };

  if (f->ValidateExprId >= 0) {
    // A validation expression that cannot be evaluated gives no "t": the field fails.
    std::string result = Eval->EvalCompiled(f->ValidateExprId) ? Eval->ResultValue : "";
    std::string lower = LowerStr(result);
    if (!result.empty() && result[0] == '_') return true;
    if (lower == "f") return fail("Invalid input " + label);
    if (lower != "t") return fail(f->caption + " Row " + std::to_string(row) + " : " + result);
  }

  if (f->noduplicate) {
    bool duplicate =
        f->asgrid ? !CurrentValue.empty() && !CheckUniqueInDocument(row) : CheckUniqueInTable(row);
    if (duplicate) return fail("Duplicate values are not allowed for " + label);
  }

  if (!f->Empty) {
    bool empty = IsNullValue(CurrentValue, f->type) == "T";
    // A number that rounds to 0 at the field's decimals is stored as 0: it is empty.
    if (!empty && LowerStr(f->type) == "n") empty = NumberOrNaN(RoundToDecimals(CurrentValue)) == 0;
    if (empty) return fail(label + " cannot be left empty.");
  }

  if (!f->savetablename.empty() && !CheckWidth())
    return fail(label + " : value exceeds defined width");
  return true;
}

bool TValidate::CheckWidth() {
  TFld* f = CurrentField;
  if (f->type == "c") return CharCount(TrimStr(CurrentValue)) <= size_t(std::max(f->width, 0));
  if (f->type != "n") return true;
  std::string s = RoundToDecimals(TrimStr(StripCommas(CurrentValue)));
  if (s.empty()) return true;
  // The number written back as text, without its sign: "12.0" with no decimals is 12.
  TExactNumber n;
  if (!ParseExactNumber(s, n)) return false;  // no number fits a number column
  n.Negative = false;
  // More digits than the engine holds exactly would be stored as another number.
  const long digits = n.Point > 0 ? n.Point + std::max(f->Decimals, 0) : long(n.Digits.size());
  if (digits > kMaxExactDigits) return false;
  s = PlainNumberText(n);
  const size_t length = s.size();
  const size_t point = s.find('.');
  const size_t width = size_t(std::max(f->width, 0));
  if (f->Decimals == 0) return length <= width && point == std::string::npos;
  size_t before = point == std::string::npos ? length : point;
  size_t after = point == std::string::npos ? 0 : length - point - 1;
  // Negative decimals round to tens, hundreds...: only the digits before the point count.
  if (f->Decimals < 0) return before <= width;
  return before <= width && after <= size_t(f->Decimals);
}

bool TValidate::CheckUniqueInTable(int row) {
  TFld* f = CurrentField;
  if (!f->noduplicate || f->asgrid) return true;
  if (f->modeofentry == "autogenerate" &&
      StoreData->NumberedFields.find(";" + f->name + ";") == std::string::npos)
    return false;
  if (!UniqueQuery)
    UniqueQuery = Manager()->NewQuery();
  else
    Manager()->NewQuery(*UniqueQuery);
  TXDS& q = *UniqueQuery;
  q.Close();
  const std::string table = q.QuotedValue(StoreData->TablePrefix + f->savetablename);
  const std::string type = f->type;
  std::string sql;
  std::string param;
  std::string paramType = type;
  if (type == "c" && CurrentValueId == 0) {
    sql =
        "Select " + f->name + " from " + table + " where " + DbLowerFunc + "(" + f->name + ") = :S";
    param = LowerStr(CurrentValue);
  } else if (type == "c" || type == "n" || type == "d") {
    sql = "Select " + f->name + " from " + table + " where " + f->name + " = :S";
    if (type == "c") {
      param = TStoreData::IdText(CurrentValueId);
      paramType = "n";
    } else if (type == "n") {
      param = StripCommas(TrimStr(CurrentValue));
    } else {
      param = TrimStr(CurrentValue).empty() ? "01/01/1900" : CurrentValue;
    }
  }
  if (sql.empty()) return false;
  if (StoreData->DocumentRecordId != 0)
    sql += " and " + f->savetablename + "ID" + " <> " +
           TStoreData::IdText(StoreData->FindRowRecordId(f->frameno, row));
  q.GetSQL().SetText(sql);
  q.SetParamValue(0, param, paramType);
  q.Open();
  bool found = !q.IsEmpty();
  q.Close();
  return found;
}

bool TValidate::CheckUniqueInDocument(int row) {
  const std::string value = LowerStr(TrimStr(CurrentValue));
  for (const TFieldRec& v : StoreData->Values) {
    if (v.Row == -1 || v.Row == row) continue;
    if (!SameStrNoCase(v.FieldName, CurrentField->name)) continue;
    if (v.ParentRow != ParentRow) continue;
    if (LowerStr(TrimStr(v.Value)) == value) return false;
  }
  return true;
}

}  // namespace v7
