// Loading a stored document into the store: the header and every frame table, the display
// texts of linked values, parent rows of sub-frame rows, and the values that are not stored.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "uAtExit.h"
#include "uGeneralFunctions.h"
#include "uNumbers.h"
#include "uStoreData.h"

namespace v7 {

namespace {

// A stored id as a statement may take it: a number in plain or exponent form, nothing else.
bool IsNumberText(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  double v = 0;
  return TryParseNumber(text, v) && std::isfinite(v);
}

}  // namespace

int TStoreData::FrameRowCount(int frame) const {
  if (frame < 1 || static_cast<size_t>(frame) > FrameRowCounts.size()) return 0;
  return std::max(0, FrameRowCounts[static_cast<size_t>(frame) - 1]);
}

void TStoreData::RaiseFrameRowCount(int frame, int rows) {
  if (frame < 1) return;
  if (FrameRowCounts.size() < static_cast<size_t>(frame))
    FrameRowCounts.resize(static_cast<size_t>(frame), -1);
  int& entry = FrameRowCounts[static_cast<size_t>(frame) - 1];
  entry = std::max(entry, rows);
}

void TStoreData::LoadFromRecord(long double linkEntryId, long double sourceRecordId) {
  LinkTemplateId = linkEntryId;
  SourceRecordId = sourceRecordId;
  AtExit reset([this] {
    LinkTemplateId = 0;
    SourceRecordId = 0;
    ParentRecordId = 0;
    ChildDoc = "F";
  });
  LoadTransaction(sourceRecordId);
}

void TStoreData::LoadTransaction(long double recordId) {
  Log("#savelevel#");
  AtExit endLevel([this] { Log("#resetlevel#"); });
  Log("# 1#Loading transaction " + TransType + " record " + IdText(recordId));
  ClearValues();
  FrameRowCounts.clear();
  RowIds.clear();
  ReindexValues();
  HeaderRecordId = recordId;
  RecordId = recordId;
  CurrentTable.clear();
  FirstTable.clear();
  Found = false;
  Cancelled = false;

  // A private order over the definition's fields: the definition is shared by every
  // document of the type and keeps its own order whatever happens here.
  LoadOrder.clear();
  for (const auto& f : StructDef->Fields) LoadOrder.push_back(f.get());
  std::stable_sort(LoadOrder.begin(), LoadOrder.end(), [](const TFld* a, const TFld* b) {
    if (a->frameno != b->frameno) return a->frameno < b->frameno;
    if (a->savetablename != b->savetablename) return a->savetablename < b->savetablename;
    return a->orders < b->orders;
  });

  Loading = true;
  AtExit endLoading([this] {
    Loading = false;
    LoadFieldOrder = 0;
  });

  size_t i = 0;
  while (i < LoadOrder.size()) {
    const std::string& table = LoadOrder[i]->savetablename;
    if (table.empty()) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < LoadOrder.size() && LoadOrder[end]->savetablename == table) ++end;
    LoadGroup(i, end);
    i = end;
  }

  Log("# 2#Loading no-save fields");
  LoadNoSaveFields();
  LoadQuery->Close();
  LinkedQuery->Close();
  SortValues();
  DocumentRecordId = RecordId;
  HeaderRecordId = RecordId;
  // The state of the loaded document, also for a store reused after saving a new one.
  IsNew = !Found;
}

void TStoreData::LoadGroup(size_t first, size_t end) {
  CurrentField = LoadOrder[first];
  CurrentTable = CurrentField->savetablename;
  if (FirstTable.empty()) FirstTable = CurrentTable;
  const bool firstTable = CurrentTable == FirstTable;
  const int groupFrame = CurrentField->frameno;

  BuildLoadSQL(static_cast<int>(first));
  TXDS& q = *LoadQuery;
  const bool empty = q.IsEmpty();
  Found = Found || !empty;
  // Loading by source: the header found gives the document's id. When none was generated,
  // the store must not answer the source's id as its own.
  if (LoadBySource && firstTable)
    RecordId = empty ? 0 : TextToId(q.FieldByName(CurrentTable + "id").Value);
  if (firstTable && !empty) {
    if (HasApprovalDef) {
      Approval = TextToInt(q.FieldByName("Approval").Value);
      ApprovalStatus = q.FieldByName("ApprovalStatus").Value;
      MaxApproved = TextToInt(q.FieldByName("MaxApproved").Value);
    }
    ChildDoc = TextToId(q.FieldByName("t1sourceid").Value) > 0 ? "T" : "F";
  }
  if (empty) {
    for (size_t k = first; k < end; ++k) RaiseFrameRowCount(LoadOrder[k]->frameno, 0);
    return;
  }

  const bool hasParentRowColumn = q.FindField("parentrow") != nullptr;
  const int baseFrame = BaseFrameOf(groupFrame);
  const bool subFrame = SubFrameIndex(groupFrame) >= 0;
  int previousParent = 0;
  int r = 0;
  for (q.First(); !q.Eof(); q.Next()) {
    ++r;
    long double rowId = TextToId(q.FieldByName(CurrentTable + "id").Value);
    RowIds.push_back(TRowId{groupFrame, r, rowId, CurrentTable});
    Log("# 2#Loading from " + IdText(rowId) + " into frame " + std::to_string(groupFrame) +
        ", row " + std::to_string(r));
    int parent = 0;
    if (hasParentRowColumn) {
      parent = TextToInt(q.FieldByName("parentrow").Value);
    } else if (subFrame) {
      parent = FindLoadedParent(baseFrame, TextToId(q.FieldByName("ParentRecordid").Value));
      if (parent < previousParent)
        throw EDatabaseError("Improper RowOrder in Sub form, Frame No " +
                             std::to_string(groupFrame));
      previousParent = parent;
    }
    for (size_t k = first; k < end; ++k) {
      TFld* f = LoadOrder[k];
      CurrentField = f;
      RaiseFrameRowCount(f->frameno, r);
      std::string text;
      long double id = 0;
      if (f->sourcekey) {
        LoadLinkedValue(r, text);
        id = TextToId(q.FieldByName(f->name).Value);
      } else {
        text = q.FieldByName(f->name).Value;
      }
      Log("# 3#" + f->name + " = " + text);
      if (id > 0) Log("# 3#IdValue = " + IdText(id));
      LoadFieldOrder = f->orders;
      AddFieldValue(f->name, f->type, f->savetablename, text, text, r, id, id, f->frameno, rowId,
                    f->sourcekey);
      if (hasParentRowColumn || subFrame) SetParentRow(f->name, r, parent);
    }
  }
}

std::string TStoreData::LoadSQLText(int fieldIndex) const {
  const std::string& T = CurrentTable;
  const std::string& P = PrimaryTable;
  const std::string& X = TablePrefix;
  const bool access = DbKind == "access";
  const bool firstTable = T == FirstTable;
  const int frame = LoadOrder[static_cast<size_t>(fieldIndex)]->frameno;

  std::string S, F, W, O;
  if (firstTable) {
    S = "Select a." + T + "id, a.Approval, a.T1SourceId";
    if (HasCancelColumn) S += ", a.cancel ";
    if (HasApprovalDef) S += ", a.ApprovalStatus, a.MaxApproved";
  } else {
    S = "Select a." + T + "id";
  }
  int sub = SubFrameIndex(frame);
  if (sub >= 0) {
    if (static_cast<size_t>(sub) < ParentRowFlags.size() &&
        ParentRowFlags[static_cast<size_t>(sub)] == 't') {
      S += ", a.ParentRow";
      O = " order by a.ParentRow";
    } else {
      S += ", a.ParentRecordId";
    }
  }
  std::string groupTable =
      access ? UpperStr(X + "\"" + T + "\"") + " as a" : UpperStr(X + T) + " a";
  if (P.empty() || SameStrNoCase(P, FirstTable)) {
    F = " from " + groupTable;
    if (LoadBySource && firstTable)
      W = " where a.T1Sourceid = " + IdText(HeaderRecordId) +
          " and a.LATemplateId = " + IdText(LinkTemplateId);
    else
      W = " where a." + FirstTable + "id = " + IdText(RecordId);
  } else {
    F = " from " + groupTable + ", " + UpperStr(X + P) + " b";
    W = " where b." + FirstTable + "id = " + IdText(RecordId) + " and a." + P + "id = b." + P +
        "id";
  }
  for (size_t k = static_cast<size_t>(fieldIndex);
       k < LoadOrder.size() && LoadOrder[k]->savetablename == T; ++k)
    S += ", a." + LoadOrder[k]->name;
  std::string rowColumn = LowerStr(T) + "row";
  if (LowerStr(S).find(rowColumn) != std::string::npos)
    O = O.empty() ? " Order by " + rowColumn : O + ", " + rowColumn;
  return S + F + W + O;
}

void TStoreData::BuildLoadSQL(int fieldIndex) {
  std::string sql = LoadSQLText(fieldIndex);
  TXDS& q = *LoadQuery;
  q.Close();
  q.GetSQL().SetText(sql);
  if (q.Trace) q.Trace("# 2#Firing SQL : " + sql);
  try {
    q.Open();
  } catch (const std::exception&) {
    throw EDatabaseError("Unable to load. SQL : " + sql);
  }
  if (HasCancelColumn && CurrentTable == FirstTable && !q.IsEmpty())
    Cancelled = q.FieldByName("cancel").GetAsBoolean();
  if (SameStrNoCase(CurrentTable, PrimaryTable) && q.IsEmpty() && !LoadBySource)
    throw EDatabaseError("Data stored in " + CurrentTable +
                         " is improper. Cannot load transaction");
}

void TStoreData::LoadLinkedValue(int row, std::string& text) {
  text.clear();
  LinkedQuery->Close();
  const std::string F = UpperStr(CurrentField->sourcefield);
  const std::string S = UpperStr(CurrentField->sourcetable);
  // An empty stored id links to nothing: the value is empty, and no statement is built
  // from it (it would not parse and would fail the whole load).
  std::string idText = TrimStr(LoadQuery->FieldByName(CurrentField->name).Value);
  if (idText.empty()) return;

  std::string table = S;
  if (!CurrentField->compnamefield.empty()) {
    int i = IndexOfValue(CurrentField->compnamefield, row);
    if (i < 0) i = IndexOfValue(CurrentField->compnamefield, 1);
    // An empty company value names no company: the table stays unprefixed.
    if (i >= 0 && !TrimStr(Values[static_cast<size_t>(i)].Value).empty())
      table = TrimStr(Values[static_cast<size_t>(i)].Value) + "." + S;
  }
  if (DbKind == "access") table = "\"" + table + "\"";
  std::string sql = "Select " + F + " from " + table + " Where " + S + "id = " + idText;
  // The id goes into the statement as it is stored: only a number may, anything else
  // would be SQL text of the stored data.
  if (!IsNumberText(idText)) throw EDatabaseError("Unable to load. SQL : " + sql);
  Log("# 3#Firing SQL : " + sql);
  TXDS& q = *LinkedQuery;
  q.GetSQL().SetText(sql);
  try {
    q.Open();
  } catch (const std::exception&) {
    throw EDatabaseError("Unable to load. SQL : " + sql);
  }
  if (!q.IsEmpty() && !q.GetFields().empty()) text = q.FieldByName(q.GetFields()[0].Name).Value;
}

void TStoreData::LoadNoSaveFields() {
  for (const auto& fp : StructDef->Fields) {
    const TFld& f = *fp;
    if (!TrimStr(f.savetablename).empty()) continue;
    const int rows = FrameRowCount(f.frameno);
    const bool subFrame = SubFrameIndex(f.frameno) >= 0;
    for (int r = 1; r <= rows; ++r) {
      std::string text;
      // oldprice takes the loaded price of its row: the base an expression compares with.
      if (f.name.size() > 3 && LowerStr(f.name.substr(0, 3)) == "old") {
        GetValue(f.name.substr(3), r, text);
        Log("# 3#" + f.name + " row = " + std::to_string(r) + " Value = " + text);
      }
      LoadFieldOrder = f.orders;
      AddFieldValue(f.name, f.type, "", text, text, r, 0, 0, f.frameno, 0, f.sourcekey);
      if (subFrame) {
        int p = GetParentRow(f.frameno, r);
        SetParentRow(f.name, r, p);
        Log("# 3#Parent row = " + std::to_string(p));
      }
    }
  }
}

}  // namespace v7
