// The document store: values, rows, row ids and the type's settings (see uStoreData.h).
#include "uStoreData.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include "uGeneralFunctions.h"

namespace v7 {

TStoreData::TStoreData(TStructDef* structDef, const std::string& transType) : StructDef(structDef) {
  if (StructDef) DBManager = StructDef->DBManager;
  if (DBManager && DBManager->Current) DbKind = DBManager->Current->DbType;
  SetTransType(transType);
}

TStoreData::~TStoreData() { FreeDatasets(); }

void TStoreData::Log(const std::string& text) const {
  if (OnLog) OnLog(text);
}

void TStoreData::ShowProgress(const std::string& text) const {
  if (OnProgress) OnProgress(text);
}

std::string TStoreData::IdText(long double id) { return TDBManager::RecordIdToStr(id); }

long double TStoreData::TextToId(const std::string& text) {
  long double id = 0;
  return TryStrToRecordId(text, id) ? id : 0;
}

int TStoreData::TextToInt(const std::string& text) {
  long double v = TextToId(text);
  return v > INT_MIN && v < INT_MAX ? static_cast<int>(v) : 0;
}

// ---------------------------------------------------------------- type and tables

void TStoreData::MakeQueries() {
  FreeDatasets();
  LoadQuery = DBManager->NewQuery();
  LinkedQuery = DBManager->NewQuery();
  HistNoQuery = DBManager->NewQuery();
  ApprovalQuery = DBManager->NewQuery();
  SequenceQuery = DBManager->NewQuery();
  SeqLockQuery = DBManager->NewQuery();
  WorkQuery = DBManager->NewQuery();
  HistWriteQuery = DBManager->NewQuery();
  SeqWriteQuery = DBManager->NewQuery();
  WriteQuery = DBManager->NewQuery();
}

void TStoreData::SetTransType(const std::string& transType) {
  if (transType == TransType && LoadQuery) return;
  TransType = transType;
  if (!StructDef || !DBManager) return;
  MakeQueries();
  ReadAutoFields();
  TXDS& def = *StructDef->TransDefRow;
  TXField* f = def.FindField("deletecontrolfield");
  DeleteControlField = f ? f->Value : "";
  f = def.FindField("tablename");
  TableList = "," + LowerStr(f ? f->Value : "") + ",";
  ReadApprovalDef();
  if (History) LoadTrackFields();
  ReadSubFrames();
}

void TStoreData::ReadAutoFields() {
  AutoFields.clear();
  AutoFieldTypes.clear();
  AutoPrefixes.clear();
  TXDS& q = *SequenceQuery;
  q.Close();
  q.GetSQL().SetText("Select * FROM " + UpperStr(TablePrefix) +
                     "SEQUENCE WHERE TRANSTYPE = :T AND FIELDNAME = :F AND ACTIVESEQUENCE = 'T'");
  for (const auto& fld : StructDef->Fields) {
    if (fld->modeofentry != "autogenerate") continue;
    AutoFields.push_back(fld->name);
    AutoFieldTypes.push_back(TransType);
    AutoPrefixes.push_back("");
    q.Close();
    q.ParamByName("T").SetAsString(TransType);
    q.ParamByName("F").SetAsString(fld->name);
    q.Open();
    if (!q.IsEmpty()) AutoPrefixes.back() = q.FieldByName("Prefix").Value;
    q.Close();
  }
}

void TStoreData::ReadApprovalDef() {
  ApprovalLevel = 0;
  HasApprovalDef = false;
  TXDS& q = *ApprovalQuery;
  q.Close();
  q.GetSQL().SetText(" Select * from APPROVALDEF where " + DbLowerFunc + "(transid) = :transid");
  q.ParamByName("transid").SetAsString(LowerStr(TransType));
  q.Open();
  if (!q.IsEmpty()) {
    ApprovalLevel = TextToInt(q.FieldByName("levelno").Value);
    HasApprovalDef = true;
  }
  q.Close();
}

void TStoreData::LoadTrackFields() {
  TrackFields.clear();
  TXDS& q = *WorkQuery;
  q.Close();
  q.GetSQL().SetText("select fieldname from TRACKFIELDS where " + DbLowerFunc + "(transid) = :t");
  q.ParamByName("t").SetAsString(LowerStr(TransType));
  q.Open();
  for (q.First(); !q.Eof(); q.Next())
    TrackFields.push_back(LowerStr(q.FieldByName("fieldname").Value));
  q.Close();
}

void TStoreData::ReadSubFrames() {
  SubFrames.clear();
  BaseFrames.clear();
  SubFrameKeys.clear();
  ParentRowFlags.clear();
  TXDS& q = *StructDef->SubFormDefs;
  if (!q.GetActive()) q.Open();
  for (q.First(); !q.Eof(); q.Next()) {
    int frame = TextToInt(q.FieldByName("frameno").Value);
    int base = TextToInt(q.FieldByName("Basedonframe").Value);
    std::string key = LowerStr(q.FieldByName("idfield").Value);
    std::string table = TrimStr(q.FieldByName("savetablename").Value);
    SubFrames.push_back(frame);
    BaseFrames.push_back(base);
    SubFrameKeys.push_back(key);
    std::vector<std::string> cols = ProbeTable(table);
    bool hasParentRow = std::find(cols.begin(), cols.end(), "parentrow") != cols.end();
    ParentRowFlags += hasParentRow ? "t" : "f";
  }
}

std::string TStoreData::DialectTableName(const std::string& table) const {
  if (DbKind == "access") return UpperStr(TablePrefix + "\"" + table + "\"");
  return UpperStr(TablePrefix + table);
}

std::vector<std::string> TStoreData::ProbeTable(const std::string& table) {
  if (!ProbeQuery) ProbeQuery = DBManager->NewQuery();
  TXDS& q = *ProbeQuery;
  q.Close();
  q.GetSQL().SetText("Select * from " + DialectTableName(table) + " where " + table + "id=0");
  q.Open();
  std::vector<std::string> names;
  for (const TDbColumn& c : q.GetFields()) names.push_back(LowerStr(c.Name));
  q.Close();
  return names;
}

void TStoreData::SetPrimaryTable(const std::string& table) {
  PrimaryTable = table;
  std::vector<std::string> cols = ProbeTable(table);
  HasCancelColumn = std::find(cols.begin(), cols.end(), "cancel") != cols.end();
}

void TStoreData::SetTablePrefix(const std::string& prefix) {
  TablePrefix = prefix.empty() ? "" : prefix + ".";
}

// ---------------------------------------------------------------- values

void TStoreData::ReindexValues() {
  valueIndex_.clear();
  fieldIndex_.clear();
  valuesIndexed_ = 0;
  rowIdIndex_.clear();
  rowIdsIndexed_ = 0;
}

void TStoreData::IndexValues() const {
  if (valuesIndexed_ > Values.size()) {
    valueIndex_.clear();
    fieldIndex_.clear();
    valuesIndexed_ = 0;
  }
  for (; valuesIndexed_ < Values.size(); ++valuesIndexed_) {
    const TFieldRec& v = Values[valuesIndexed_];
    const int at = static_cast<int>(valuesIndexed_);
    std::string name = LowerStr(v.FieldName);
    valueIndex_.emplace(TNameRow{name, v.Row}, at);
    fieldIndex_.emplace(std::move(name), at);
  }
}

void TStoreData::IndexRowIds() const {
  if (rowIdsIndexed_ > RowIds.size()) {
    rowIdIndex_.clear();
    rowIdsIndexed_ = 0;
  }
  for (; rowIdsIndexed_ < RowIds.size(); ++rowIdsIndexed_) {
    const TRowId& r = RowIds[rowIdsIndexed_];
    rowIdIndex_.emplace(std::make_pair(r.Frame, r.Row), r.RecordId);
  }
}

int TStoreData::FindValue(const std::string& fieldName, const std::string& table, int row) const {
  const int first = IndexOfValue(fieldName, row);
  if (first < 0) return -1;
  // Values of one field and row in more than one table are rare: scan on from the first.
  for (size_t i = static_cast<size_t>(first); i < Values.size(); ++i) {
    const TFieldRec& v = Values[i];
    if (v.Row == row && SameStrNoCase(v.FieldName, fieldName) && SameStrNoCase(v.Table, table))
      return static_cast<int>(i);
  }
  return -1;
}

int TStoreData::IndexOfValue(const std::string& fieldName, int row) const {
  IndexValues();
  auto it = valueIndex_.find(TNameRow{LowerStr(fieldName), row});
  return it == valueIndex_.end() ? -1 : it->second;
}

int TStoreData::IndexOfField(const std::string& fieldName) const {
  IndexValues();
  auto it = fieldIndex_.find(LowerStr(fieldName));
  return it == fieldIndex_.end() ? -1 : it->second;
}

void TStoreData::GetValue(const std::string& fieldName, int row, std::string& text) const {
  int i = IndexOfValue(fieldName, row);
  text = i < 0 ? "" : Values[static_cast<size_t>(i)].Value;
}

void TStoreData::GetOldValue(const std::string& fieldName, int row, std::string& text) const {
  int i = IndexOfValue(fieldName, row);
  text = i < 0 ? "" : Values[static_cast<size_t>(i)].OldValue;
}

std::string TStoreData::GetValue(const std::string& fieldName, int row) const {
  std::string text;
  GetValue(fieldName, row, text);
  return text;
}

std::string TStoreData::GetOldValue(const std::string& fieldName, int row) const {
  std::string text;
  GetOldValue(fieldName, row, text);
  return text;
}

bool TStoreData::IsBlankValue(const std::string& text) {
  std::string t = text;
  std::replace(t.begin(), t.end(), DateSeparator, ' ');
  return TrimStr(t).empty();
}

void TStoreData::AddFieldValue(const std::string& fieldName, const std::string& type,
                               const std::string& table, const std::string& value,
                               const std::string& oldValue, int row, long double valueId,
                               long double oldValueId, int frame, long double recordId,
                               bool hasId) {
  std::string t = LowerStr(type);
  int i = FindValue(fieldName, table, row);
  if (i < 0) {
    TFieldRec v;
    v.Table = UpperStr(table);
    v.FieldName = fieldName;
    v.FieldType = t;
    v.Row = row;
    v.Frame = frame;
    v.RecordId = recordId;
    v.HasId = hasId;
    v.FieldOrder = Loading ? LoadFieldOrder : 0;
    if (!table.empty() && SameStrNoCase(table, PrimaryTable))
      v.TableKind = 'a';
    else if (SubFrameIndex(frame) >= 0)
      v.TableKind = 'x';
    else
      v.TableKind = 'b';
    v.OldValue = (t == "n" && oldValue.empty()) ? "0" : oldValue;
    v.OldValueId = oldValueId;
    v.ParentRow = 0;
    v.HasValue = true;
    Values.push_back(std::move(v));
    i = static_cast<int>(Values.size()) - 1;
  }
  TFieldRec& v = Values[static_cast<size_t>(i)];
  if (t == "d" && IsBlankValue(value)) {
    v.Value.clear();
  } else if (t == "n" && value.empty()) {
    v.Value = "0";
    v.HasValue = false;
  } else if (t == "n") {
    v.Value = StripCommas(value);
  } else {
    v.Value = value;
  }
  v.ValueId = valueId;
  v.OldRow = 0;
}

void TStoreData::AddValueByName(const std::string& fieldName, int row, const std::string& value,
                                const std::string& oldValue, long double valueId,
                                long double oldValueId, long double recordId) {
  if (TFld* f = StructDef ? StructDef->GetField(fieldName) : nullptr) {
    AddFieldValue(fieldName, f->type, f->savetablename, value, oldValue, row, valueId, oldValueId,
                  f->frameno, recordId, f->sourcekey);
    return;
  }
  // The record id of one of the document's own tables (table + "id"): kept so that a save
  // can give a new row that id.
  std::string lower = LowerStr(fieldName);
  if (lower.size() > 2 && lower.compare(lower.size() - 2, 2, "id") == 0 &&
      TableList.find("," + lower.substr(0, lower.size() - 2) + ",") != std::string::npos) {
    AddFieldValue(fieldName, "n", "", value, "", row, 0, 0, 0, 0, false);
  }
}

// ---------------------------------------------------------------- rows

int TStoreData::SubFrameIndex(int frame) const {
  for (size_t i = 0; i < SubFrames.size(); ++i)
    if (SubFrames[i] == frame) return static_cast<int>(i);
  return -1;
}

int TStoreData::BaseFrameOf(int frame) const {
  int i = SubFrameIndex(frame);
  return i < 0 || static_cast<size_t>(i) >= BaseFrames.size() ? 0
                                                              : BaseFrames[static_cast<size_t>(i)];
}

int TStoreData::GetMaxRow(int frame) const {
  int maxRow = 0;
  for (const TFieldRec& v : Values)
    if (v.Frame == frame && v.Row > maxRow) maxRow = v.Row;
  return maxRow;
}

int TStoreData::AddRow(int frame) {
  int row = GetMaxRow(frame) + 1;
  for (const auto& f : StructDef->Fields)
    if (f->frameno == frame)
      AddFieldValue(f->name, f->type, f->savetablename, "", "", row, 0, 0, frame, 0, f->sourcekey);
  return row;
}

int TStoreData::GetParentRow(int frame, int row) const {
  for (const TFieldRec& v : Values)
    if (v.Frame == frame && v.Row == row && !v.Table.empty()) return v.ParentRow;
  return 0;
}

void TStoreData::SetParentRow(const std::string& fieldName, int row, int parentRow) {
  int i = IndexOfValue(fieldName, row);
  if (i >= 0) Values[static_cast<size_t>(i)].ParentRow = parentRow;
}

int TStoreData::CountChildRows(int frame, int parentRow) const {
  std::set<int> rows;
  for (const TFieldRec& v : Values)
    if (v.Frame == frame && v.Row >= 0 && v.ParentRow == parentRow) rows.insert(v.Row);
  return static_cast<int>(rows.size());
}

void TStoreData::SortValues() {
  std::stable_sort(Values.begin(), Values.end(), [](const TFieldRec& a, const TFieldRec& b) {
    if (a.Frame != b.Frame) return a.Frame < b.Frame;
    if (a.Row != b.Row) return a.Row < b.Row;
    return a.FieldOrder < b.FieldOrder;
  });
  ReindexValues();
}

void TStoreData::DeleteRow(int frame, int row) {
  if (GetRowRecordId(frame, row) > 0) ReverseMapRow(frame, row);
  SortValues();
  // The rows of each sub-frame based on this frame that hang on the removed row. A later
  // sub-frame row moves up by the number of removed child rows below it, which also holds
  // when child rows were not added in parent order.
  std::map<int, std::set<int>> childRows;
  for (const TFieldRec& v : Values)
    if (v.Row >= 0 && v.ParentRow == row && BaseFrameOf(v.Frame) == frame && v.Frame != frame)
      childRows[v.Frame].insert(v.Row);
  std::map<int, std::set<int>> reversed;
  for (TFieldRec& v : Values) {
    if (v.Frame == frame) {
      if (v.Row == row) {
        v.OldRow = row;
        v.Row = -1;
      } else if (v.Row > row) {
        --v.Row;
      }
      continue;
    }
    auto children = childRows.find(v.Frame);
    if (BaseFrameOf(v.Frame) != frame || v.Row < 0) continue;
    if (children != childRows.end() && children->second.count(v.Row)) {
      // A child of the removed row: its map contribution goes before its values change.
      if (v.RecordId > 0 && reversed[v.Frame].insert(v.Row).second) {
        ReindexValues();  // the maps look values up while rows are being renumbered
        ReverseMapRow(v.Frame, v.Row);
      }
      v.OldRow = v.Row;
      v.Row = -1;
      v.OldParentRow = row;
      v.ParentRow = -1;
      continue;
    }
    if (v.ParentRow > row) --v.ParentRow;
    if (children != childRows.end()) {
      const std::set<int>& gone = children->second;
      v.Row -= static_cast<int>(std::distance(gone.begin(), gone.lower_bound(v.Row)));
    }
  }
  ReindexValues();
}

// ---------------------------------------------------------------- row ids

long double TStoreData::FindRowRecordId(int frame, int row) const {
  IndexRowIds();
  auto it = rowIdIndex_.find(std::make_pair(frame, row));
  return it == rowIdIndex_.end() ? 0 : it->second;
}

long double TStoreData::GetRowRecordId(int frame, int row) const {
  for (const TFieldRec& v : Values)
    if (v.Frame == frame && v.Row == row && !v.Table.empty()) return v.RecordId;
  return 0;
}

int TStoreData::FindLoadedParent(int baseFrame, long double parentRecordId) const {
  for (const TRowId& r : RowIds)
    if (r.Frame == baseFrame && r.RecordId == parentRecordId) return r.Row;
  return 0;
}

void TStoreData::RegisterRowRecordId(const std::string& table, int frame) {
  std::string t = TrimStr(table);
  for (const TRowId& r : RowIds) {
    if (SameStrNoCase(TrimStr(r.Table), t)) {
      RowIds.push_back(TRowId{frame, 1, r.RecordId, table});
      return;
    }
  }
}

// ---------------------------------------------------------------- life of a document

void TStoreData::ClearValues() {
  Values.clear();
  ReindexValues();
  Approval = 0;
  ApprovalStatus.clear();
  MaxApproved = 0;
  HeaderRecordId = 0;
  DocumentRecordId = 0;
  RecordId = 0;
  ChildDoc = "F";
  Cancelled = false;
}

void TStoreData::MarkLoaded() {
  NumberedFields.clear();
  GroupFields.clear();
  GroupValues.clear();
  GroupStates.clear();
  if (IsNew) {
    HeaderRecordId = 0;
    DocumentRecordId = 0;
    RecordId = 0;
  }
  std::vector<TFieldRec> kept;
  kept.reserve(Values.size());
  for (TFieldRec& v : Values) {
    if (v.Row == -1) continue;
    v.OldValue = v.Value;
    v.OldValueId = v.ValueId;
    v.RecordId = FindRowRecordId(v.Frame, v.Row);
    kept.push_back(std::move(v));
  }
  Values = std::move(kept);
  ReindexValues();
}

bool TStoreData::IsAutoField(const std::string& fieldName) const {
  for (const std::string& f : AutoFields)
    if (SameStrNoCase(f, fieldName)) return true;
  return false;
}

void TStoreData::AddAutoField(const std::string& fieldName) {
  if (!IsAutoField(fieldName)) return;
  if (NumberedFields.find(";" + fieldName + ";") != std::string::npos) return;
  NumberedFields = ";" + fieldName + ";" + NumberedFields;
}

bool TStoreData::IsPlaceholder(const std::string& value) {
  return value == "sourcerecordid" || value == "parentrecordid" || value == "primaryrecordid";
}

long double TStoreData::PlaceholderRecordId(const std::string& value) const {
  if (value == "sourcerecordid") return SourceRecordId;
  if (value == "parentrecordid") return ParentRecordId;
  if (value == "primaryrecordid") return PrimaryRecordId;
  return 0;
}

std::array<std::unique_ptr<TXDS>*, 11> TStoreData::Queries() {
  return {&LoadQuery,     &LinkedQuery,  &HistNoQuery, &ApprovalQuery,
          &SequenceQuery, &SeqLockQuery, &WorkQuery,   &HistWriteQuery,
          &SeqWriteQuery, &WriteQuery,   &ProbeQuery};
}

void TStoreData::CloseDatasets() {
  for (auto* q : Queries())
    if (*q) (*q)->Close();
}

void TStoreData::FreeDatasets() {
  CloseDatasets();
  for (auto* q : Queries()) q->reset();
}

}  // namespace v7
