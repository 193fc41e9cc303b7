// The field mapping of a generated document from its source: the LINKENTRYDOCDETAIL rows of
// the link fill fixed target rows, one target row per source row, or one target row per
// group of source rows; then surplus grid rows go and sub-form rows find their parent rows.
#include <algorithm>
#include <string>

#include "uDbBackend.h"
#include "uNumbers.h"
#include "uProvideLink.h"

namespace v7 {

namespace {

// A skipped target row: the frame and the row, each in two characters.
std::string SkipKey(int frame, int row) {
  return PadRight(std::to_string(frame), 2, ' ') + PadRight(std::to_string(row), 2, ' ');
}

}  // namespace

void TProvideLink::MapFields() {
  TLinkEntry& entry = *CurrentEntry;
  TXDS& q = ReuseQuery(DetailQuery);
  q.GetSQL().SetText("Select * from LINKENTRYDOCDETAIL where LinkEntryDocId = " +
                     TStoreData::IdText(entry.LinkId) + " order by ROWORDER");
  q.Open();
  MappingRows.clear();
  for (q.First(); !q.Eof(); q.Next()) {
    TMapRow m;
    m.TargetFieldName = TrimStr(ColumnText(q, "targetfieldname"));
    m.TargetRowNo = TStoreData::TextToInt(ColumnText(q, "targetrowno"));
    m.SourceFieldName = TrimStr(ColumnText(q, "sourcefieldname"));
    m.SourceRowNo = TStoreData::TextToInt(ColumnText(q, "sourcerowno"));
    m.FieldValue = ColumnText(q, "fieldvalue");
    m.FieldIdValue = TStoreData::TextToId(ColumnText(q, "fieldidvalue"));
    m.MatchToId = TrimStr(ColumnText(q, "matchtoid"));
    m.GroupFieldName = TrimStr(ColumnText(q, "groupfieldname"));
    m.ControlFieldName = TrimStr(ColumnText(q, "controlfieldname"));
    MappingRows.push_back(std::move(m));
  }
  q.Close();

  FieldNames.clear();
  FieldLastRows.clear();
  SkippedRows.clear();
  // The counts start from nothing, not from the rows a reloaded target had: a grid frame
  // that the mapping writes into ends with exactly the mapped rows, so a source row removed
  // since the last save does not live on in the target.
  std::fill(entry.RowCounts.begin(), entry.RowCounts.end(), "0");
  MappedFrames.assign(entry.RowCounts.size(), false);

  for (MapIndex = 0; MapIndex < MappingRows.size(); ++MapIndex) {
    const TMapRow& m = MapRow();
    TargetField = entry.TargetDef->GetField(m.TargetFieldName);
    if (!TargetField)
      throw EDatabaseError("Invalid field " + m.TargetFieldName + " in link to " +
                           entry.TargetType);
    int frame = TargetField->frameno;
    if (frame >= 1 && static_cast<size_t>(frame) <= MappedFrames.size())
      MappedFrames[static_cast<size_t>(frame - 1)] = true;
    if (m.TargetRowNo >= 1)
      MapFixedRow();
    else if (!m.GroupFieldName.empty())
      MapGroupedRows();
    else
      MapRows();
  }

  // AsGrids holds one letter per frame (the definition's).
  const std::string& grids = TargetStore->AsGrids;
  for (size_t i = 0; i < entry.RowCounts.size() && i < grids.size(); ++i) {
    if ((grids[i] != 't' && grids[i] != 'T') || !MappedFrames[i]) continue;
    int frame = static_cast<int>(i) + 1;
    TrimGridRows(frame, TStoreData::TextToInt(entry.RowCounts[i]), TargetStore->GetMaxRow(frame));
  }
  LinkSubRows();
}

void TProvideLink::GetMappedValue(const std::string& targetField, int row) {
  const TMapRow& m = MapRow();
  const std::string source = LowerStr(m.SourceFieldName);
  if (source == "primaryrecordid") {
    MappedValue = TStoreData::IdText(SourceHeaderRecordId);
    MappedValueId = 0;
  } else if (source == "sourcerecordid") {
    // A reloaded target keeps the id it was saved with; a new one gets the placeholder that
    // the store replaces when it saves.
    MappedValue = "sourcerecordid";
    int i = TargetStore->IndexOfValue(targetField, row);
    if (i >= 0) {
      const std::string& old = TargetStore->Values[static_cast<size_t>(i)].OldValue;
      if (TStoreData::TextToId(old) != 0) MappedValue = old;
    }
    MappedValueId = 0;
  } else if (source == "parentrecordid") {
    MappedValue = "parentrecordid";
    MappedValueId = 0;
  } else if (source.empty()) {
    MappedValue = m.FieldValue;
    MappedValueId = m.FieldIdValue;
  } else {
    GetSourceValue(m.SourceFieldName, row);
  }
}

void TProvideLink::AdjustMappedValue(bool idToText) {
  if (idToText && TargetField->type == "n" && MappedValueId > 0) {
    MappedValue = TStoreData::IdText(MappedValueId);
    MappedValueId = 0;
  }
  if (!TargetField->sourcekey) {
    MappedValueId = 0;
  } else if (LowerStr(MapRow().MatchToId) == "t") {
    MappedValueId = TStoreData::TextToId(MappedValue);
    MappedValue.clear();
  }
}

bool TProvideLink::RowPassesControl(int row) {
  const std::string& control = MapRow().ControlFieldName;
  if (control.empty()) return true;
  // Read straight from the source store: the mapped value and its id stay as they are.
  TStoreData* src = CurrentEntry ? SourceStoreOf(*CurrentEntry) : SourceStore;
  if (!src) return false;
  if (src->IndexOfValue(control, row) < 0) row = 1;
  return LowerStr(TrimStr(src->GetValue(control, row))) == "t";
}

size_t TProvideLink::FieldRowIndex(const std::string& field) {
  for (size_t i = 0; i < FieldNames.size(); ++i)
    if (SameStrNoCase(FieldNames[i], field)) return i;
  FieldNames.push_back(field);
  FieldLastRows.push_back("0");
  return FieldNames.size() - 1;
}

void TProvideLink::RaiseRowCount(int frame, int row) {
  if (frame < 1) return;
  std::vector<std::string>& counts = CurrentEntry->RowCounts;
  if (counts.size() < static_cast<size_t>(frame)) counts.resize(static_cast<size_t>(frame), "0");
  std::string& count = counts[static_cast<size_t>(frame - 1)];
  if (TStoreData::TextToInt(count) < row) count = std::to_string(row);
}

void TProvideLink::TraceMapped(int row) const {
  Trace("# 3#Mapped " + MapRow().TargetFieldName + " Row = " + std::to_string(row) +
        " value = " + MappedValue + " idvalue " + TStoreData::IdText(MappedValueId));
}

void TProvideLink::WriteMappedValue(int row) {
  const TFld& f = *TargetField;
  TargetStore->AddFieldValue(f.name, f.type, f.savetablename, MappedValue, "", row, MappedValueId,
                             0, f.frameno, 0, f.sourcekey);
}

void TProvideLink::MapFixedRow() {
  const TMapRow& m = MapRow();
  const TFld& f = *TargetField;
  int sourceRow = m.SourceRowNo == 0 ? CurrentRow : m.SourceRowNo;
  bool passes = RowPassesControl(sourceRow);
  GetMappedValue(m.TargetFieldName, sourceRow);
  AdjustMappedValue(true);

  // Fixed rows of the frame whose control failed leave no gap: later rows move up.
  int targetRow = m.TargetRowNo;
  for (int r = 1; r < m.TargetRowNo; ++r)
    if (std::find(SkippedRows.begin(), SkippedRows.end(), SkipKey(f.frameno, r)) !=
        SkippedRows.end())
      --targetRow;
  size_t k = FieldRowIndex(m.TargetFieldName);
  if (!passes) {
    SkippedRows.push_back(SkipKey(f.frameno, m.TargetRowNo));
    return;
  }
  RaiseRowCount(f.frameno, targetRow);
  FieldLastRows[k] = std::to_string(targetRow);
  if (f.modeofentry == "autogenerate") {
    // The number the target was given when it was first saved stays.
    std::string given = TargetStore->GetValue(f.name, 1);
    if (!TrimStr(given).empty()) MappedValue = given;
  }
  WriteMappedValue(targetRow);
  TraceMapped(targetRow);
}

int TProvideLink::SourceFrameForDetail() {
  // The frame comes from the first mapping row numbered 0 into the same target frame that
  // names a field of the source definition (a pseudo field names none). Failing that, the
  // first such row numbered below 0; failing that 0: there are no source rows to follow.
  size_t remembered = MapIndex;
  int answer = 0;
  TStoreData* src = CurrentEntry ? SourceStoreOf(*CurrentEntry) : SourceStore;
  // A chained link maps from another target: its own definition names the frames.
  TStructDef* sourceDef = src ? src->StructDef : SourceDef;
  for (MapIndex = 0; sourceDef && MapIndex < MappingRows.size(); ++MapIndex) {
    const TMapRow& m = MapRow();
    if (m.SourceFieldName.empty() || m.TargetRowNo >= 1 || (answer != 0 && m.TargetRowNo < 0))
      continue;
    TFld* target = CurrentEntry->TargetDef->GetField(m.TargetFieldName);
    if (!target || target->frameno != TargetField->frameno) continue;
    TFld* source = sourceDef->GetField(m.SourceFieldName);
    if (!source) continue;
    answer = source->frameno;
    if (m.TargetRowNo == 0) break;
  }
  MapIndex = remembered;
  return answer;
}

void TProvideLink::MapRows() {
  const TMapRow& m = MapRow();
  const TFld& f = *TargetField;
  TStoreData* src = SourceStoreOf(*CurrentEntry);
  int frame = SourceFrameForDetail();
  size_t k = FieldRowIndex(m.TargetFieldName);
  int counter = TStoreData::TextToInt(FieldLastRows[k]);
  int rows = src && frame >= 1 ? src->GetMaxRow(frame) : 0;
  for (int row = 1; row <= rows; ++row) {
    if (!RowPassesControl(row)) continue;
    GetMappedValue(m.TargetFieldName, row);
    AdjustMappedValue(true);
    ++counter;
    WriteMappedValue(counter);
    TraceMapped(counter);
    RaiseRowCount(f.frameno, counter);
  }
  FieldLastRows[k] = std::to_string(counter);
}

void TProvideLink::MapGroupedRows() {
  const TMapRow& m = MapRow();
  const TFld& f = *TargetField;
  const bool number = f.type == "n";
  TStoreData* src = SourceStoreOf(*CurrentEntry);
  int frame = SourceFrameForDetail();
  GroupValues.clear();
  GroupSums.clear();
  GroupIds.clear();
  int rows = src && frame >= 1 ? src->GetMaxRow(frame) : 0;
  for (int row = 1; row <= rows; ++row) {
    if (!RowPassesControl(row)) continue;
    GetMappedValue(m.TargetFieldName, row);
    std::string group = src->GetValue(m.GroupFieldName, row);
    auto it = std::find(GroupValues.begin(), GroupValues.end(), group);
    size_t g = static_cast<size_t>(it - GroupValues.begin());
    if (it == GroupValues.end()) {
      GroupValues.push_back(group);
      GroupSums.push_back(number ? "0" : "");
      GroupIds.push_back("0");
    }
    AdjustMappedValue(false);
    if (number && !MappedValue.empty())
      // Summed on the digits: an amount of 16 digits keeps its cents.
      GroupSums[g] = PlainNumberText(AddExact(ExactAmount(GroupSums[g]), ExactAmount(MappedValue)));
    else if (!number && GroupSums[g].empty())
      GroupSums[g] = MappedValue;
    GroupIds[g] = TStoreData::IdText(MappedValueId);
  }
  size_t k = FieldRowIndex(m.TargetFieldName);
  int counter = TStoreData::TextToInt(FieldLastRows[k]);
  for (size_t g = 0; g < GroupValues.size(); ++g) {
    ++counter;
    MappedValue = GroupSums[g];
    MappedValueId = TStoreData::TextToId(GroupIds[g]);
    WriteMappedValue(counter);
    TraceMapped(counter);
  }
  FieldLastRows[k] = std::to_string(counter);
  RaiseRowCount(f.frameno, counter);
}

void TProvideLink::TrimGridRows(int frame, int before, int after) {
  if (TargetStore->SubFrameIndex(frame) >= 0 &&
      LowerStr(ShowSubForm).find("," + LowerStr(TrimStr(CurrentEntry->TargetType)) + ",") !=
          std::string::npos)
    return;
  for (int row = after; row > before; --row) TargetStore->DeleteRow(frame, row);
}

int TProvideLink::FindTargetRow(const std::string& field, const std::string& value, int frame) {
  int found = 0;
  for (const TFieldRec& v : TargetStore->Values)
    if (v.Frame == frame && v.Row > 0 && (found == 0 || v.Row < found) && v.Value == value &&
        SameStrNoCase(v.FieldName, field))
      found = v.Row;
  return found;
}

void TProvideLink::LinkSubRows() {
  TStoreData* src = SourceStoreOf(*CurrentEntry);
  if (!src) return;
  for (size_t i = 0; i < TargetStore->SubFrames.size(); ++i) {
    int subFrame = TargetStore->SubFrames[i];
    int parentFrame = TargetStore->BaseFrames[i];
    const std::string& key = TargetStore->SubFrameKeys[i];
    const std::string sourceField = "sub_" + key;
    bool known = (src->StructDef && src->StructDef->GetField(sourceField)) ||
                 src->IndexOfField(sourceField) >= 0;
    if (!known) continue;
    int rows = TargetStore->GetMaxRow(subFrame);
    for (int row = 1; row <= rows; ++row) {
      int parentRow = FindTargetRow(key, src->GetValue(sourceField, row), parentFrame);
      for (TFieldRec& v : TargetStore->Values)
        if (v.Frame == subFrame && v.Row == row) v.ParentRow = parentRow;
    }
  }
}

}  // namespace v7
