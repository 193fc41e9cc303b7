// Deleting and cancelling a loaded document, and the amendment history of every change.
// Refusals come before anything is written; database errors pass to the caller, who owns
// the transaction and rolls it back.
#include <algorithm>
#include <utility>
#include <vector>

#include "uAtExit.h"
#include "uDbDates.h"
#include "uExprRoutines.h"
#include "uGeneralFunctions.h"
#include "uMDMap.h"
#include "uStoreData.h"

namespace v7 {

namespace {

// A history column takes the text, or "******" when the text does not fit (a width of 0:
// the width is unknown and the text is kept). Widths count characters, not bytes.
std::string Fitted(const std::string& text, int width) {
  return width > 0 && GetLength(text) > width ? "******" : text;
}

bool NumbersDiffer(const std::string& a, const std::string& b) {
  return TStoreData::TextToId(a) != TStoreData::TextToId(b);
}

}  // namespace

void TStoreData::CheckDeleteAllowed(std::string& message) {
  message.clear();
  if (Approval > ApprovalLevel)
    message = "EntryDoc has been approved by higher authority. Cannot delete";
  if (DeleteControlField.empty()) return;
  const int i = IndexOfValue(DeleteControlField, 1);
  if (i < 0) {
    message = "Invalid control field";
    return;
  }
  const std::string& value = Values[static_cast<size_t>(i)].Value;
  if (LowerStr(value) == "f")
    message = "Deleting this document is not allowed.";
  else if (LowerStr(value) != "t")
    message = value;
}

void TStoreData::DeleteTransaction() {
  IsNew = false;
  Log("#savelevel#");
  AtExit endLevel([this] { Log("#resetlevel#"); });
  Log("# 1#Deleting transaction " + TransType + " Record " + IdText(HeaderRecordId));

  if (ChecksOn) {
    if (Approval > ApprovalLevel)
      throw EDatabaseError("EntryDoc has been approved by higher authority. Cannot delete");
    if (!DeleteControlField.empty()) {
      Log("# 2#Validating Delete Control " + DeleteControlField);
      const int i = IndexOfValue(DeleteControlField, 1);
      if (i < 0) throw EDatabaseError("Invalid control field");
      const std::string& value = Values[static_cast<size_t>(i)].Value;
      if (LowerStr(value) == "f") throw EDatabaseError("Deleting this document is not allowed.");
      if (LowerStr(value) != "t") throw EDatabaseError(value);
    }
  }

  // Every frame table once (frames may share a table), the header table last.
  const std::string condition = PrimaryTable + "id=" + IdText(HeaderRecordId);
  std::string done = "," + LowerStr(PrimaryTable) + ",";
  CurrentTable.clear();
  for (auto f = StructDef->Fields.rbegin(); f != StructDef->Fields.rend(); ++f) {
    const std::string& table = (*f)->savetablename;
    if (table.empty() || table == CurrentTable) continue;
    CurrentTable = table;
    if (done.find("," + LowerStr(table) + ",") != std::string::npos) continue;
    WorkQuery->DeleteRecords(TablePrefix + table, condition);
    done += "," + LowerStr(table) + ",";
  }
  // The header is the primary table, also for a type whose first stored field lies in
  // another table: those rows went above, the header's must not stay behind.
  WorkQuery->DeleteRecords(TablePrefix + PrimaryTable, condition);

  SaveHistory(true);

  if (MDMap && !Cancelled) {
    WireMDMap(false);
    MDMap->ProcessDocument(TransType, true);
  }
}

void TStoreData::CancelTransaction() {
  Log("#savelevel#");
  AtExit endLevel([this] { Log("#resetlevel#"); });
  Log("# 1#Writing to database tables " + TransType + " record " + IdText(HeaderRecordId));
  IsNew = false;

  if (ChecksOn && !DeleteControlField.empty()) {
    const int i = IndexOfValue(DeleteControlField, 1);
    if (i < 0) throw EDatabaseError("Invalid control field");
    if (LowerStr(Values[static_cast<size_t>(i)].Value) != "t")
      throw EDatabaseError("Cancelling this document is not allowed.");
  }

  const std::string condition = StructDef->PrimaryTable + "id=" + IdText(HeaderRecordId);
  for (int i = 1;; ++i) {
    const std::string table = TrimStr(GetField(StructDef->TableNames, i));
    if (table.empty()) break;
    Log("# 2#Cancelling in " + table);
    // A table without a cancel column keeps its rows as they are. The columns are probed
    // rather than a failing select tried: on a server database a failed statement would
    // spoil the open transaction for everything after it.
    std::vector<std::string> columns;
    try {
      columns = ProbeTable(table);
    } catch (const EDatabaseError&) {
      continue;  // no such table: nothing of the document is in it
    }
    if (std::find(columns.begin(), columns.end(), "cancel") == columns.end()) continue;
    Log("# 2#update " + table + " where " + condition);
    WorkQuery->ClearValues();
    WorkQuery->SetValue("cancel", "T", "c");
    WorkQuery->PostUpdate(TablePrefix + table, condition);
  }

  if (MDMap) {
    WireMDMap(false);
    MDMap->ProcessDocument(TransType, true);
  }
}

// ---------------------------------------------------------------- history

void TStoreData::SaveHistory(bool transDeleted) {
  if (!History || IsNew) return;
  Log("# 2#Saving to history table.");
  TXDS& probe = *HistNoQuery;
  probe.Close();
  probe.GetSQL().SetText("select * from " + TablePrefix + TransType + "history where recordid=0");
  probe.Open();
  NewValueWidth = 0;
  OldValueWidth = 0;
  for (const TDbColumn& c : probe.GetFields()) {
    if (SameStrNoCase(c.Name, "newvalue")) NewValueWidth = c.Size;
    if (SameStrNoCase(c.Name, "oldvalue")) OldValueWidth = c.Size;
  }
  probe.Close();

  const int amended = IndexOfValue("TransAmended", 1);
  if (amended >= 0) {
    const std::string flag = LowerStr(Values[static_cast<size_t>(amended)].Value);
    if (flag != "t" && flag != "yes") return;
  }

  const int modNo = GetNextModNo(DocumentRecordId);
  for (size_t i = 0; i < Values.size(); ++i) {
    const TFieldRec& v = Values[i];
    if (v.Table.empty()) continue;
    bool write;
    if (transDeleted)
      write = true;
    else if (v.Row == -1)
      write = !v.OldValue.empty() && !(v.FieldType == "n" && TextToId(v.OldValue) == 0);
    else if (v.FieldType == "n")
      write = NumbersDiffer(v.Value, v.OldValue);
    else
      write = v.Value != v.OldValue;
    if (write) WriteHistoryRow(static_cast<int>(i), modNo, transDeleted);
  }
}

void TStoreData::WriteHistoryRow(int index, int modNo, bool transDeleted) {
  const TFieldRec& v = Values[static_cast<size_t>(index)];
  if (LowerStr(v.FieldName) == LowerStr(v.Table) + "row") return;
  const bool removed = v.Row == -1;
  // A value of a row added by this change has no record id yet; its row was just stored.
  long double tableRecId = v.RecordId;
  if (tableRecId == 0 && !removed) tableRecId = FindRowRecordId(v.Frame, v.Row);
  const int parentRow = removed && v.ParentRow < 0 ? v.OldParentRow : v.ParentRow;

  TXDS& q = *HistWriteQuery;
  q.AppendRecord(TablePrefix + TransType + "history");
  q.SetValue("MODIFIEDDATE", DateTimeToText(DBManager->ServerDate()), "d");
  q.SetValue("recordid", IdText(DocumentRecordId), "n");
  q.SetValue("USERNAME", UserName, "c");
  q.SetValue("fieldname", v.FieldName, "c");
  q.SetValue("modno", std::to_string(modNo + 1), "c");
  q.SetValue("frameno", std::to_string(v.Frame), "n");
  q.SetValue("parentrow", std::to_string(parentRow), "n");
  q.SetValue("tablerecid", IdText(tableRecId), "n");
  q.SetValue("idvalue", IdText(v.ValueId), "n");
  q.SetValue("oldidvalue", IdText(v.OldValueId), "n");
  q.SetValue("rowno", std::to_string(removed ? v.OldRow : v.Row), "n");
  q.SetValue("newvalue", removed ? "" : Fitted(v.Value, NewValueWidth), "c");
  q.SetValue("delflag", removed ? "t" : "f", "c");
  q.SetValue("oldvalue", Fitted(v.OldValue, OldValueWidth), "c");
  q.SetValue("transdeleted", transDeleted ? "t" : "f", "c");
  q.PostRecord();
}

int TStoreData::GetNextModNo(long double recordId) {
  TXDS& q = *HistNoQuery;
  q.Close();
  q.GetSQL().SetText("select max(modno) as cnt from " + TablePrefix + TransType +
                     "history where recordid=" + IdText(recordId));
  q.Open();
  const int modNo = q.IsEmpty() ? 0 : TextToInt(q.FieldByName("cnt").Value);
  q.Close();
  return modNo;
}

}  // namespace v7
