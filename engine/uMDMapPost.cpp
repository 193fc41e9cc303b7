// Update maps: the passes that turn a document's rows into pending master-row updates (one
// TData per master row, keyed by its where-clause) and the flush that copies tree updates
// to ancestors and writes every master row. A pending "+"/"-" value is always the signed
// change to add to the stored column; ">"/"<" values marked "~@*" are extremes taken out.
#include <algorithm>

#include "uDbDates.h"
#include "uMDMap.h"
#include "uNumbers.h"

namespace v7 {

namespace {

// A pending update for one master row, shaped like the map (or the pending update) it comes from.
template <class Shape>
std::unique_ptr<TData> NewPending(const std::string& key, const Shape& shape) {
  auto d = std::make_unique<TData>();
  d->Key = key;
  d->tablename = shape.tablename;
  d->FieldTypes = shape.FieldTypes;
  d->MasterExprs = shape.MasterExprs;
  d->DetailFields = shape.DetailFields;
  d->DecimalPlaces = shape.DecimalPlaces;
  d->DetailTables.resize(d->MasterExprs.size());
  d->append = shape.append;
  return d;
}

const std::string kMark = "~@*";  // before an extreme that a reverse pass took out

std::string Unmarked(const std::string& value) {
  return value.compare(0, kMark.size(), kMark) == 0 ? value.substr(kMark.size()) : value;
}

bool IsMarked(const std::string& value) { return value.compare(0, kMark.size(), kMark) == 0; }

double DateOf(const std::string& text) {
  double dt = 0;
  const std::string t = TrimStr(text);
  if (t.empty()) {
    DateTimeFromParts(1900, 1, 1, 0, 0, 0, dt);
    return dt;
  }
  if (!ParseDateTimeText(t, TDateOrder::DMY, dt))
    throw EConvertError("'" + t + "' is not a valid date");
  return dt;
}

// Two values compared by the master column's type letter: numbers and dates by their
// difference, anything else byte-wise (-1, 0, 1).
double Compare(const std::string& a, const std::string& b, char typeLetter) {
  if (typeLetter == 'n') return ToFloat(a) - ToFloat(b);
  if (typeLetter == 'd') return DateOf(a) - DateOf(b);
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// A sum written fixed-point with the entry's decimal places, rounded as decimal text rounds
// (half away from zero), so that 182.5 at no decimals is 183 and a change and its reversal
// round to the same magnitude. The sums are worked exactly on the digits of the texts, as
// field validation rounds them: an amount of any length the field accepts keeps its cents.
std::string FormatSum(const TExactNumber& value, const std::string& decimalsText) {
  int decimals = 0;
  const std::string t = TrimStr(decimalsText);
  if (!t.empty()) decimals = static_cast<int>(ToFloat(t));
  decimals = std::clamp(decimals, 0, 15);
  return RoundedNumberText(value, decimals);
}

// a + b - c of amount texts (empty = 0).
TExactNumber Sum(const std::string& a, const std::string& b, const std::string& c = "") {
  return SubtractExact(AddExact(ExactAmount(a), ExactAmount(b)), ExactAmount(c));
}

// The stored value of a summed column with every digit the column holds: a double as the
// shortest text that reads back as it (a balance of 134122025423262.25 needs 17 digits, and
// a shorter reading would move the master by a change and its reversal), a numeric of more
// digits than a double with the digits the engine brought.
TExactNumber StoredAmount(TXDS& read, const std::string& column) {
  const TDbValue& v = read.FieldValue(column);
  TExactNumber n;
  if (v.Kind == TDbKind::Float && v.Text.empty() && ExactNumberOf(v.Float, n)) return n;
  return ExactAmount(read.FieldByName(column).GetAsString());
}

std::string IdValue(long double id) { return id == 0 ? "" : TDBManager::RecordIdToStr(id); }

char TypeAt(const std::string& types, size_t index) {
  return index < types.size() ? types[index] : 'c';
}

// A number as it stands in a statement. Key values come from documents, and documents come
// from packets: a text that is no number would otherwise become part of the statement.
std::string NumberLiteral(const std::string& value) {
  const std::string t = TrimStr(value);
  ToFloat(t);  // raises the conversion error for anything but a number
  return StripCommas(t);
}

// A key value as it stands in a where-clause, by the master column's type letter.
std::string SqlLiteral(const std::string& value, char typeLetter) {
  if (typeLetter == 'n') return NumberLiteral(value);
  if (typeLetter == 'd') {
    const double dt = DateOf(value);
    if (DbKind == "access") return "datevalue( '" + FormatDateTimeMask("dd/mm/yyyy", dt) + "')";
    return "'" + FormatDateTimeMask("dd-mmm-yyyy", dt) + "'";
  }
  return "'" + ReplaceAll(value, "'", "''") + "'";
}

// Adds column=value to a condition unless it holds it already.
void AddCondition(std::string& condition, const std::string& column, const std::string& value) {
  const std::string term = column + "=" + value;
  if (condition.find(" " + term + " ") == std::string::npos) condition += term + " and ";
}

}  // namespace

// ---------------------------------------------------------------- passes

void TMDMap::ProcessDocument(const std::string& transId, bool reverse) {
  const std::string trans = LowerStr(transId);
  for (auto& def : Maps) {
    if (def->transid != trans) continue;
    RowFrame = def->sourceframe;
    const int rows = OnGetRowCount ? OnGetRowCount(def->sourceframe) : 0;
    for (int row = 1; row <= rows; ++row) {
      Mode = reverse ? 0 : 1;
      ProcessMapRow(*def, row, false);
    }
  }
}

void TMDMap::ProcessRow(const std::string& transId, int frame, int row) {
  const std::string trans = LowerStr(transId);
  for (auto& def : Maps) {
    if (def->transid != trans || def->sourceframe != frame) continue;
    RowFrame = frame;
    Mode = 0;
    ProcessMapRow(*def, row, true);
  }
}

void TMDMap::ProcessMapRow(TDef& def, int row, bool rowPass) {
  std::string newKey, oldKey;
  BuildKeys(def, row, newKey, oldKey);
  if (newKey.empty() && oldKey.empty()) return;
  if (!rowPass) KeyChanged = !oldKey.empty();
  QueueRow(def, row, newKey);
  if (!oldKey.empty()) {
    // The row moved to another master row: its old values leave the old one.
    Mode = 0;
    QueueRow(def, row, oldKey);
  }
}

void TMDMap::BuildKeys(TDef& def, int row, std::string& newKey, std::string& oldKey) {
  const bool reverse = Mode == 0;
  std::string newCond = " ", oldCond = " ";
  bool changed = false;
  for (size_t i = 0; i < def.MasterExprs.size(); ++i) {
    const std::string& expr = def.MasterExprs[i];
    if (expr.empty() || expr[0] != '@') continue;
    const std::string column = LowerStr(expr.substr(1));
    const char type = TypeAt(def.FieldTypes, i);
    ValueRec = TFieldData{};
    if (OnGetValue) OnGetValue(def.DetailFields[i], row, ValueRec);
    std::string nv, ov;
    if (ValueRec.FieldType == "c" && type == 'n') {
      // A looked-up value is stored in the master by its record id.
      nv = IdValue(reverse ? ValueRec.OldValueId : ValueRec.ValueId);
      ov = reverse ? "" : IdValue(ValueRec.OldValueId);
    } else {
      nv = reverse ? ValueRec.OldValue : ValueRec.Value;
      ov = reverse ? "" : ValueRec.OldValue;
    }
    if (nv.empty() && ov.empty()) continue;
    std::string nl = SqlLiteral(nv, type);
    std::string ol = ov.empty() ? "" : SqlLiteral(ov, type);
    if (type == 'n') {
      if (nl == "0") nl.clear();
      if (ol == "0") ol.clear();
    }
    if (!nl.empty()) AddCondition(newCond, column, nl);
    if (!ol.empty() && ol != nl) {
      changed = true;
      AddCondition(oldCond, column, ol);
    } else if (!nl.empty()) {
      AddCondition(oldCond, column, nl);
    }
  }
  const std::string table = TablePrefix + LowerStr(TrimStr(def.tablename));
  newKey = newCond.size() > 1 ? table + " where " + newCond.substr(0, newCond.size() - 5) : "";
  oldKey = changed && oldCond.size() > 1 ? table + " where " + oldCond.substr(0, oldCond.size() - 5)
                                         : "";
}

void TMDMap::QueueRow(TDef& def, int row, const std::string& key) {
  ControlChanged = 0;
  if (!def.controlfield.empty()) {
    ValueRec = TFieldData{};
    if (OnGetValue) OnGetValue(def.controlfield, row, ValueRec);
    const std::string value = LowerStr(ValueRec.Value);
    const std::string old = LowerStr(ValueRec.OldValue);
    if (Mode == 1) {
      if (value == "f") {
        // Switched off: nothing to do unless it was on before, then its old values go.
        if (KeyChanged || old == "f" || old.empty()) return;
        Mode = 0;
      }
      // Only "f" is off: a row stored with an empty control field was counted, so going
      // from empty to "t" is no switch and its old values must come out as usual.
      ControlChanged = (value == "f") != (old == "f");
    } else if (old == "f") {
      return;
    }
  }
  TData* data = FindPending(key);
  if (!data) {
    auto d = NewPending(key, def);
    d->Values.assign(def.MasterExprs.size(), "");
    d->SkipAssign = false;
    d->Mode = Mode;
    d->Def = &def;
    data = d.get();
    Pending.push_back(std::move(d));
  }
  for (size_t i = 0; i < def.MasterExprs.size(); ++i) {
    ValueRec = TFieldData{};
    if (OnGetValue) OnGetValue(def.DetailFields[i], row, ValueRec);
    const int entry =
        MatchEntry(*data, def.MasterExprs[i], def.DetailFields[i], def.DecimalPlaces[i],
                   TypeAt(def.FieldTypes, i), ValueRec.DetailTable);
    if (Mode == 1)
      ApplyDifference(*data, entry, ValueRec.Value,
                      ControlChanged || KeyChanged ? "" : ValueRec.OldValue, ValueRec);
    else
      ApplyReverse(*data, entry, ValueRec.OldValue, ValueRec, def.initondel);
  }
}

TData* TMDMap::FindPending(const std::string& key) const {
  for (const auto& d : Pending)
    if (d->Key == key) return d.get();
  return nullptr;
}

int TMDMap::MatchEntry(TData& data, const std::string& masterExpr, const std::string& detailField,
                       const std::string& decimals, char typeLetter,
                       const std::string& detailTable) {
  data.DetailTables.resize(data.MasterExprs.size());
  for (size_t j = 0; j < data.MasterExprs.size(); ++j)
    if (data.MasterExprs[j] == masterExpr && data.DetailFields[j] == detailField) {
      if (data.DetailTables[j].empty()) data.DetailTables[j] = detailTable;
      return static_cast<int>(j);
    }
  data.DetailTables.push_back(detailTable);
  data.MasterExprs.push_back(masterExpr);
  data.DetailFields.push_back(detailField);
  data.DecimalPlaces.push_back(decimals);
  data.FieldTypes.resize(data.MasterExprs.size() - 1, 'c');
  data.FieldTypes += typeLetter;
  data.Values.resize(data.MasterExprs.size() - 1);
  data.Values.push_back("");
  return static_cast<int>(data.MasterExprs.size() - 1);
}

void TMDMap::ApplyDifference(TData& data, int entry, const std::string& newValue,
                             const std::string& oldValue, const TFieldData& value) {
  const size_t e = static_cast<size_t>(entry);
  const std::string& expr = data.MasterExprs[e];
  if (expr.empty()) return;
  const char type = TypeAt(data.FieldTypes, e);
  std::string& acc = data.Values[e];
  switch (expr[0]) {
    case '+':
      acc = FormatSum(Sum(acc, newValue, oldValue), data.DecimalPlaces[e]);
      break;
    case '-':
      acc = FormatSum(Sum(acc, oldValue, newValue), data.DecimalPlaces[e]);
      break;
    case '>':
      // An empty accumulator holds no value yet: any value beats it, negative ones too.
      if (Unmarked(acc).empty() || Compare(newValue, Unmarked(acc), type) > 0) acc = newValue;
      break;
    case '<':
      if (Unmarked(acc).empty() || Compare(newValue, Unmarked(acc), type) < 0) acc = newValue;
      break;
    case '*':
      acc = newValue;
      break;
    case '@':
      acc = type == 'n' && value.FieldType == "c" ? IdValue(value.ValueId) : newValue;
      break;
    default:
      break;  // no operator: no pass applies the entry
  }
}

void TMDMap::ApplyReverse(TData& data, int entry, const std::string& oldValue,
                          const TFieldData& value, bool initOnDel) {
  const size_t e = static_cast<size_t>(entry);
  const std::string& expr = data.MasterExprs[e];
  if (expr.empty()) return;
  const char type = TypeAt(data.FieldTypes, e);
  std::string& acc = data.Values[e];
  switch (expr[0]) {
    case '+':
      acc = FormatSum(Sum(acc, "", oldValue), data.DecimalPlaces[e]);
      break;
    case '-':
      acc = FormatSum(Sum(acc, oldValue), data.DecimalPlaces[e]);
      break;
    case '>':
      if (Compare(oldValue, Unmarked(acc), type) > 0) acc = kMark + oldValue;
      break;
    case '<':
      if (Unmarked(acc).empty() || Compare(oldValue, Unmarked(acc), type) < 0)
        acc = kMark + oldValue;
      break;
    case '*':
      if (initOnDel)
        acc.clear();
      else
        data.SkipAssign = true;
      break;
    case '@':
      acc = type == 'n' && value.FieldType == "c" ? IdValue(value.OldValueId) : oldValue;
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- flush

void TMDMap::Flush() {
  const size_t present = Pending.size();
  for (size_t i = 0; i < present; ++i) {
    TData* data = Pending[i].get();
    if (data->Def && data->Def->treeupdate && !data->Key.empty()) {
      Mode = data->Mode;
      CopyToAncestors(*data);
    }
  }
  for (size_t i = 0; i < Pending.size(); ++i) {
    TData& data = *Pending[i];
    if (data.Key.empty()) continue;
    Trace("#savelevel#");
    Trace("# 1#Posting MD Maps : ");
    Trace("# 2#Select * from " + data.tablename + " where " + data.Key);
    for (size_t e = 0; e < data.MasterExprs.size(); ++e)
      Trace("# 3#" + data.MasterExprs[e] + "=" + data.Values[e]);
    Trace("#resetlevel#");
    WriteMasterRow(data);
  }
  Clear();
}

void TMDMap::CopyToAncestors(TData& data) {
  const TDef& def = *data.Def;
  const std::string link =
      def.treelink.empty() ? LowerStr(def.tablename) + "id" : LowerStr(def.treelink);
  size_t linkEntry = data.MasterExprs.size();
  for (size_t e = 0; e < data.MasterExprs.size(); ++e)
    if (LowerStr(data.MasterExprs[e]) == "@" + link) {
      linkEntry = e;
      break;
    }
  if (linkEntry == data.MasterExprs.size()) return;
  const std::string id = NumberLiteral(data.Values[linkEntry]);
  // Without the row's id there is no row to read ancestors from (and no sound statement).
  if (id.empty()) return;

  const std::string tree = def.treetable.empty() ? def.tablename : def.treetable;
  TXDS& q = Query(TreeQuery);
  q.GetSQL().SetText("Select * from " + tree + " where " + tree + "id=" + id);
  q.Open();
  Ancestors.clear();
  if (!q.Eof()) {
    for (int level = 1; level <= 100; ++level) {
      TXField* f = q.FindField("mparent" + std::to_string(level));
      if (!f) break;
      const std::string ancestor = TrimStr(f->GetAsString());
      // An empty column ends the chain like "0": an empty id would make no key.
      if (ancestor.empty() || ancestor == "0") break;
      Ancestors.push_back(ancestor);
    }
  }
  q.Close();

  TreePass = 1;
  std::string pattern = " " + link + "=";
  size_t at = LowerStr(data.Key).find(pattern);
  if (at == std::string::npos) {
    pattern = link + "=";
    at = LowerStr(data.Key).find(pattern);
  }
  for (const std::string& ancestor : Ancestors) {
    AncestorId = ancestor;
    if (at == std::string::npos) break;
    const size_t start = at + pattern.size();
    const size_t blank = data.Key.find(' ', start);
    const std::string key = data.Key.substr(0, start) + ancestor + " " +
                            (blank == std::string::npos ? "" : data.Key.substr(blank + 1));
    if (TData* target = FindPending(key)) {
      for (size_t e = 0; e < data.MasterExprs.size(); ++e) {
        const std::string& expr = data.MasterExprs[e];
        if (expr.empty() || expr[0] == '@') continue;
        const int t = MatchEntry(*target, expr, data.DetailFields[e], data.DecimalPlaces[e],
                                 TypeAt(data.FieldTypes, e), data.DetailTables[e]);
        const size_t te = static_cast<size_t>(t);
        const std::string& source = data.Values[e];
        if (expr[0] == '+' || expr[0] == '-') {
          // Both hold the signed change to the stored column: they add up.
          target->Values[te] =
              FormatSum(Sum(target->Values[te], source), target->DecimalPlaces[te]);
        } else if (Mode == 1) {
          if (LowerStr(data.tablename) == "dailytrans" && LowerStr(expr.substr(1)) == "mstatus")
            target->Values[te] = "g";
          else
            ApplyDifference(*target, t, source, "", TFieldData{});
        } else {
          // A taken-out extreme carries its mark: the rule compares the bare value and
          // marks the result again.
          ApplyReverse(*target, t, Unmarked(source), TFieldData{}, def.initondel);
        }
      }
    } else {
      auto copy = NewPending(key, data);
      copy->DetailTables = data.DetailTables;
      copy->Values = data.Values;
      copy->Values[linkEntry] = ancestor;
      for (size_t e = 0; e < copy->MasterExprs.size(); ++e)
        if (copy->MasterExprs[e].size() > 1 &&
            LowerStr(copy->MasterExprs[e].substr(1)) == "mstatus")
          copy->Values[e] = "g";
      copy->SkipAssign = data.SkipAssign;
      copy->Def = data.Def;
      copy->Mode = Mode;
      Pending.push_back(std::move(copy));
    }
  }
  TreePass = 0;
}

void TMDMap::WriteMasterRow(TData& data) {
  const size_t where = data.Key.find(" where ");
  const std::string table = TrimStr(data.Key.substr(0, where));
  const std::string condition =
      where == std::string::npos ? "" : data.Key.substr(where + std::string(" where ").size());
  TXDS& lock = Query(LockQuery);
  TXDS& read = Query(ReadQuery);
  TXDS& write = Query(WriteQuery);
  if (DbKind != "access") {
    // Locks the row until the caller's transaction ends.
    lock.GetSQL().SetText("SELECT * FROM " + data.Key + " for update");
    lock.Open();
  }
  read.GetSQL().SetText("SELECT * FROM " + data.Key);
  read.Open();
  const bool found = !read.Eof();
  auto closeAll = [&] {
    read.Close();
    lock.Close();
  };
  if (!found && !data.append) {
    closeAll();
    return;
  }
  write.ClearValues();
  if (!found) {
    for (const TDbColumn& c : read.GetFields())
      if (c.Kind == TDbKind::Integer || c.Kind == TDbKind::Float)
        write.SetValue(LowerStr(c.Name), "0", "n");
    for (size_t e = 0; e < data.MasterExprs.size(); ++e)
      if (!data.MasterExprs[e].empty() && data.MasterExprs[e][0] == '@')
        write.SetValue(data.MasterExprs[e].substr(1), data.Values[e],
                       std::string(1, TypeAt(data.FieldTypes, e)));
  }
  // Several entries may change one column (maps of the document and of the documents made
  // from it, each with its own detail field): their changes add up before the one write.
  std::vector<bool> summed(data.MasterExprs.size(), false);
  for (size_t e = 0; e < data.MasterExprs.size(); ++e) {
    const std::string& expr = data.MasterExprs[e];
    if (expr.empty()) continue;
    const std::string column = expr.substr(1);
    // Only the summing and extreme entries read the stored value (an entry without an
    // operator need not name a column).
    auto stored = [&] { return found ? read.FieldByName(column).GetAsString() : ""; };
    switch (expr[0]) {
      case '+':
      case '-': {
        if (summed[e]) break;
        TExactNumber change;
        std::string decimals = data.DecimalPlaces[e];
        for (size_t k = e; k < data.MasterExprs.size(); ++k) {
          const std::string& other = data.MasterExprs[k];
          if (other.size() < 2 || (other[0] != '+' && other[0] != '-') ||
              !SameStrNoCase(other.substr(1), column))
            continue;
          summed[k] = true;
          change = AddExact(change, ExactAmount(data.Values[k]));
          if (ToFloat(data.DecimalPlaces[k]) > ToFloat(decimals)) decimals = data.DecimalPlaces[k];
        }
        const TExactNumber before = found ? StoredAmount(read, column) : TExactNumber();
        write.SetValue(column, FormatSum(AddExact(before, change), decimals), "n");
        break;
      }
      case '>':
      case '<': {
        std::string extreme;
        if (ExtremeValue(data, static_cast<int>(e), stored(), extreme))
          // An empty number goes as a number (null), not as an empty text.
          write.SetValue(column, extreme,
                         extreme.empty() && TypeAt(data.FieldTypes, e) == 'n' ? "n" : "c");
        break;
      }
      case '*':
        if (!data.SkipAssign)
          write.SetValue(column, data.Values[e], std::string(1, TypeAt(data.FieldTypes, e)));
        break;
      default:
        break;
    }
  }
  if (found)
    write.PostUpdate(table, condition);
  else
    write.PostInsert(table);
  closeAll();
}

bool TMDMap::ExtremeValue(TData& data, int entry, const std::string& stored, std::string& result) {
  const size_t e = static_cast<size_t>(entry);
  const std::string& value = data.Values[e];
  const char op = data.MasterExprs[e][0];
  const char type = TypeAt(data.FieldTypes, e);
  if (!IsMarked(value)) {
    result = value;
    if (op == '>') return stored.empty() || Compare(value, stored, type) > 0;
    return stored.empty() || Compare(value, stored, type) < 0;
  }
  // The extreme that left equals the stored one: recompute it from the detail rows that
  // remain. Numbers are equal by value ("12.50" is the stored 12.5).
  const std::string removed = value.substr(kMark.size());
  const bool same =
      type == 'n' ? (!stored.empty() && Compare(removed, stored, type) == 0) : removed == stored;
  if (!same) return false;
  std::string keyField, keyValue;
  for (size_t k = 0; k < data.MasterExprs.size(); ++k)
    if (!data.MasterExprs[k].empty() && data.MasterExprs[k][0] == '@') {
      keyField = data.DetailFields[k];
      // Written as a literal of its column's type: a text key goes in quotes.
      keyValue = SqlLiteral(data.Values[k], TypeAt(data.FieldTypes, k));
      break;
    }
  std::string detailTable = e < data.DetailTables.size() ? data.DetailTables[e] : "";
  if (detailTable.empty()) {
    ValueRec = TFieldData{};
    if (OnGetValue) OnGetValue(data.DetailFields[e], 1, ValueRec);
    detailTable = ValueRec.DetailTable;
  }
  if (keyField.empty() || detailTable.empty()) return false;
  TXDS& q = Query(ExtremeQuery);
  q.GetSQL().SetText(std::string(op == '>' ? "select max(" : "select min(") + data.DetailFields[e] +
                     ") from " + detailTable + " where cancel <> 'T' and " + keyField + "=" +
                     keyValue);
  q.Open();
  result = q.GetFields().empty() ? "" : q.FieldByName(q.GetFields()[0].Name).GetAsString();
  q.Close();
  return true;
}

}  // namespace v7
