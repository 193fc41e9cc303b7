// Saving a document: numbering, record ids, control columns, writing the rows of every
// frame and queueing the update maps. The caller owns the database transaction: whatever
// was written before a failure stays in it, and the caller rolls it back.
#include <algorithm>
#include <utility>

#include "uAtExit.h"
#include "uDbDates.h"
#include "uGeneralFunctions.h"
#include "uMDMap.h"
#include "uStoreData.h"

namespace v7 {

namespace {

std::string Quoted(const std::string& text) { return "'" + ReplaceAll(text, "'", "''") + "'"; }

// The column of the probe's result (the table being written), or nullptr.
const TDbColumn* ProbedColumn(TXDS& probe, const std::string& name) {
  for (const TDbColumn& c : probe.GetFields())
    if (SameStrNoCase(c.Name, name)) return &c;
  return nullptr;
}

bool HasColumn(TXDS& probe, const std::string& name) {
  return ProbedColumn(probe, name) != nullptr;
}

// Runs a statement that changes rows on the query object's connection, traced as the query
// object traces a statement it executes, and answers the number of rows it changed.
long long ExecCounting(TXDS& q, const std::string& sql) {
  q.Close();
  q.GetSQL().SetText(sql);
  if (q.Trace) {
    q.Trace("#savelevel#");
    q.Trace("# 1#" + sql);
    q.Trace("#resetlevel#");
  }
  if (!q.Connection()) throw EDatabaseError("No database connection", sql);
  return q.Connection()->Execute(sql);
}

void ExecStatement(TXDS& q, const std::string& sql) {
  q.Close();
  q.GetSQL().SetText(sql);
  q.ExecSQL();
}

}  // namespace

// ---------------------------------------------------------------- Save

void TStoreData::SaveLinked(long double linkEntryId, long double sourceRecordId,
                            long double primaryRecordId) {
  LinkTemplateId = linkEntryId;
  SourceRecordId = sourceRecordId;
  PrimaryRecordId = primaryRecordId;
  // A generated document's ids must not leak into the next save of this store, also when
  // this one fails.
  AtExit reset([this] {
    LinkTemplateId = 0;
    SourceRecordId = 0;
    PrimaryRecordId = 0;
    ParentRecordId = 0;
  });
  Save();
}

void TStoreData::Save() {
  Log("#savelevel#");
  AtExit endLevel([this] {
    RecordPending = false;
    if (ProbeQuery) ProbeQuery->Close();
    Log("#resetlevel#");
  });
  Log("# 1#Writing to tables " + TransType);

  if (ChecksOn) {
    if (Approval > ApprovalLevel && LowerStr(ApprovalStatus) != "e")
      throw EDatabaseError("Transaction has been approved by higher authority. Cannot change");
    if (!SaveControlField.empty()) {
      Log("# 2#Evaluating save control " + SaveControlField);
      int i = IndexOfValue(SaveControlField, 1);
      if (i < 0) throw EDatabaseError("Invalid control field");
      if (LowerStr(Values[static_cast<size_t>(i)].Value) != "t")
        throw EDatabaseError(
            "Saving this document is not allowed. May be due to insufficiant details.");
    }
  }

  FirstRecord = true;
  // The header first, so that its record id is known before any other row is written;
  // sub-frame tables last, after the rows their parents hang on.
  std::stable_sort(Values.begin(), Values.end(), [](const TFieldRec& a, const TFieldRec& b) {
    if (a.TableKind != b.TableKind) return a.TableKind < b.TableKind;
    if (a.Table != b.Table) return a.Table < b.Table;
    if (a.Row != b.Row) return a.Row < b.Row;
    return a.RecordId < b.RecordId;
  });
  CurrentTable.clear();
  LastRow = 0;
  RowIds.clear();
  ReindexValues();
  RecordPending = false;
  WriteQuery->ClearValues();

  DeleteRemovedRows();

  auto postPending = [this] {
    if (!RecordPending) return;
    Log("# 3#Posting record");
    WriteQuery->OnBeforePost = [this](TXDS&) { CheckUniqueNumbers(); };
    // Only the "ado" layer calls the hook before its attempts; on the other layers the
    // numbers are checked once here, so that no layer writes a number already taken.
    if (WriteQuery->Driver() != "ado") CheckUniqueNumbers();
    WriteQuery->PostRecord();
    RecordPending = false;
  };

  for (size_t i = 0; i < Values.size(); ++i) {
    if (Values[i].Table.empty() || Values[i].Row < 0) continue;
    const int index = static_cast<int>(i);
    if (!SameStrNoCase(Values[i].Table, CurrentTable)) {
      postPending();
      CurrentTable = Values[i].Table;
      Log("# 2#Saving to table " + CurrentTable);
      LastRow = Values[i].Row;
      PrepareRecord(index);
      RecordPending = true;
      FirstRecord = false;
    } else if (Values[i].Row != LastRow) {
      postPending();
      LastRow = Values[i].Row;
      PrepareRecord(index);
      RecordPending = true;
    }

    TFieldRec& v = Values[i];
    const std::string& name = v.FieldName;
    if (IsAutoField(name)) {
      if (v.RecordId <= 0 &&
          LowerStr(NumberedFields).find(";" + LowerStr(name) + ";") == std::string::npos) {
        GetNextNumber(name, false, v.Value);
      }
      Log("# 4#" + name + " = " + v.Value);
      WriteQuery->SetValue(name, v.Value, "c");
    } else if (v.Value == "primaryrecordid" || v.Value == "sourcerecordid") {
      const long double id = v.Value == "primaryrecordid" ? PrimaryRecordId : SourceRecordId;
      WriteQuery->SetValue(name, IdText(id), "n");
      if (v.HasId)
        v.ValueId = id;
      else
        v.Value = IdText(id);
    } else if (v.Value == "parentrecordid") {
      WriteQuery->SetValue(name, IdText(ParentRecordId), "n");
    } else if (v.HasId) {
      Log("# 4#" + name + " = " + IdText(v.ValueId));
      WriteQuery->SetValue(name, IdText(v.ValueId), "n");
    } else if (LowerStr(name) == LowerStr(CurrentTable) + "row") {
      Log("# 4#" + name + " = " + std::to_string(v.Row));
      WriteQuery->SetValue(name, std::to_string(v.Row), "n");
    } else {
      Log("# 4#" + name + " = " + v.Value);
      WriteQuery->SetValue(name, v.Value, v.FieldType);
    }
    if (FindRowRecordId(v.Frame, v.Row) == 0) RegisterRowRecordId(v.Table, v.Frame);
  }
  postPending();

  SaveHistory(false);

  if (MDMap && !Cancelled) {
    WireMDMap(IsNew);
    MDMap->ProcessDocument(TransType, false);
  }
}

// ---------------------------------------------------------------- records

void TStoreData::PrepareRecord(int index) {
  const TFieldRec v = Values[static_cast<size_t>(index)];
  const bool primary = SameStrNoCase(CurrentTable, PrimaryTable);
  const std::string tableId = LowerStr(CurrentTable) + "id";
  if (!ProbeQuery) ProbeQuery = DBManager->NewQuery();
  TXDS& probe = *ProbeQuery;
  DBManager->PrepareSelectWhere(probe, TablePrefix + CurrentTable,
                                CurrentTable + "id=" + IdText(v.RecordId));
  probe.Open();

  const std::string where = "Frame " + std::to_string(v.Frame) + ", Row " + std::to_string(v.Row) +
                            " Parent Row " + std::to_string(v.ParentRow);
  if (v.RecordId != 0) {
    Log("# 3#Modifying Record " + IdText(v.RecordId) + "To store data from " + where);
    WriteQuery->EditRecord(TablePrefix + CurrentTable, tableId + "=" + IdText(v.RecordId));
    if (FirstRecord && HasColumn(probe, "approval"))
      WriteQuery->SetValue("approval", std::to_string(ApprovalLevel), "n");
    CurrentRecordId = v.RecordId;
    if (primary) IsNew = false;
  } else {
    const int idValue = IndexOfValue(tableId, v.Row);
    CurrentRecordId = idValue < 0 ? 0 : TextToId(Values[static_cast<size_t>(idValue)].Value);
    Log("# 3#Adding new record to store data from " + where);
    InitNewRecord();
    if (primary) IsNew = true;
  }
  if (primary) {
    HeaderRecordId = CurrentRecordId;
    RecordId = CurrentRecordId;
    DocumentRecordId = CurrentRecordId;
  }
  RowIds.push_back(TRowId{v.Frame, v.Row, CurrentRecordId, CurrentTable});

  if (FirstRecord && HasApprovalDef) {
    if (LowerStr(ApprovalStatus) == "e") ApprovalStatus = "W";
    WriteQuery->SetValue("approvalstatus", ApprovalStatus, "c");
    WriteQuery->SetValue("maxapproved", std::to_string(MaxApproved), "n");
  }
  if (HasColumn(probe, "username")) WriteQuery->SetValue("username", UserName, "c");
  if (HasColumn(probe, "modifiedon"))
    WriteQuery->SetValue("modifiedon", DateTimeToText(DBManager->ServerDate()), "d");
  if (v.ParentRow != 0) ResolveParentRecordId(index);
  if (SubFrameIndex(v.Frame) >= 0) {
    const int p = IndexOfValue("parentrecordid", v.Row);
    if (p >= 0 && !Values[static_cast<size_t>(p)].Value.empty()) {
      const std::string& text = Values[static_cast<size_t>(p)].Value;
      WriteQuery->SetValue("parentrecordid",
                           IsPlaceholder(text) ? IdText(PlaceholderRecordId(text)) : text, "n");
    }
  }
  if (HasColumn(probe, "parentrow"))
    WriteQuery->SetValue("parentrow", std::to_string(v.ParentRow), "n");
  if (HasColumn(probe, "siteno")) {
    WriteQuery->SetValue("siteno", std::to_string(SiteNo), "n");
    Log("# 4#SiteNo " + std::to_string(SiteNo));
  }
}

void TStoreData::InitNewRecord() {
  TXDS& probe = *ProbeQuery;
  WriteQuery->AppendRecord(TablePrefix + CurrentTable);
  for (const TDbColumn& c : probe.GetFields())
    if (c.Kind == TDbKind::Integer || c.Kind == TDbKind::Float)
      WriteQuery->SetValue(c.Name, "0", "n");
  if (CurrentRecordId == 0) CurrentRecordId = DBManager->NewRecordId(*DBManager->Current);
  WriteQuery->SetValue(LowerStr(CurrentTable) + "id", IdText(CurrentRecordId), "n");
  Log("# 4#RecordId = " + IdText(CurrentRecordId));
  if (FirstRecord && HasColumn(probe, "approval"))
    WriteQuery->SetValue("approval", std::to_string(ApprovalLevel), "n");
  if (!SameStrNoCase(CurrentTable, PrimaryTable))
    WriteQuery->SetValue(LowerStr(PrimaryTable) + "id", IdText(HeaderRecordId), "n");
  if (HasColumn(probe, "latemplateid")) {
    WriteQuery->SetValue("latemplateid", IdText(LinkTemplateId), "n");
    WriteQuery->SetValue("t1sourceid", IdText(SourceRecordId), "n");
    Log("# 4#LATemplateId " + IdText(LinkTemplateId));
    Log("# 4#T1SourceId " + IdText(SourceRecordId));
  }
  if (HasColumn(probe, "cancel")) WriteQuery->SetValue("cancel", "F", "c");
}

void TStoreData::ResolveParentRecordId(int index) {
  const TFieldRec& v = Values[static_cast<size_t>(index)];
  if (SubFrameIndex(v.Frame) < 0) return;
  const long double id = FindRowRecordId(BaseFrameOf(v.Frame), v.ParentRow);
  Log("# 3#Parent RecordId for Frame No " + std::to_string(v.Frame) + ", Row " +
      std::to_string(v.Row) + " Parent Row " + std::to_string(v.ParentRow) + " is " + IdText(id));
  if (id == 0) throw EDatabaseError("ParentRecordId improper");
  WriteQuery->SetValue("parentrecordid", IdText(id), "n");
}

void TStoreData::DeleteRemovedRows() {
  long double lastDeleted = 0;
  for (const TFieldRec& v : Values) {
    if (v.Row != -1 || v.RecordId <= 0 || v.RecordId == lastDeleted || v.Table.empty()) continue;
    Log("# 2#Deleting from " + v.Table + ", Record " + IdText(v.RecordId) + ", Frame No " +
        std::to_string(v.Frame) + ", Row No " + std::to_string(v.Row));
    WorkQuery->DeleteRecords(TablePrefix + v.Table, v.Table + "id=" + IdText(v.RecordId));
    lastDeleted = v.RecordId;
  }
}

// ---------------------------------------------------------------- numbering

void TStoreData::GetNextNumber(const std::string& fieldName, bool peek, std::string& number) {
  number.clear();
  std::string type = TransType;
  std::string prefix;
  for (size_t k = 0; k < AutoFields.size(); ++k) {
    if (!SameStrNoCase(AutoFields[k], fieldName)) continue;
    type = AutoFieldTypes[k];
    prefix = AutoPrefixes[k];
    break;
  }
  const std::string table = UpperStr(TablePrefix) + "SEQUENCE";
  const std::string lower = DbKind == "access" ? "LCASE" : "LOWER";
  std::string select = "Select * FROM " + table + " WHERE TRANSTYPE = :t and " + lower +
                       "(FIELDNAME) = :f " +
                       (prefix.empty() ? "and ACTIVESEQUENCE = 'T'" : "and PREFIX = :p");
  const std::string field = LowerStr(fieldName);
  const std::string where =
      "TRANSTYPE = " + Quoted(type) + " and " + lower + "(FIELDNAME) = " + Quoted(field) + " " +
      (prefix.empty() ? "and ACTIVESEQUENCE = 'T'" : "and PREFIX = " + Quoted(prefix));
  auto bind = [&](TXDS& q) {
    q.ParamByName("t").SetAsString(type);
    q.ParamByName("f").SetAsString(field);
    if (!prefix.empty()) q.ParamByName("p").SetAsString(prefix);
  };

  TXDS& lock = *SeqLockQuery;
  TXDS& read = *SequenceQuery;
  AtExit closeBoth([&] {
    lock.Close();
    read.Close();
  });
  // Several sites' clients share the series: the row stays locked until the caller's
  // transaction ends, so no two saves hand out the same number.
  if (!peek && DbKind != "access") {
    lock.Close();
    lock.GetSQL().SetText(select + " for update");
    bind(lock);
    lock.Open();
  }
  read.Close();
  read.GetSQL().SetText(select);
  bind(read);
  read.Open();
  if (read.IsEmpty()) return;
  const std::string lastNo = IdText(TextToId(read.FieldByName("lastno").Value));
  number = read.FieldByName("Prefix").Value;
  if (lastNo.size() < 6) number += std::string(6 - lastNo.size(), '0');
  number += lastNo;
  if (peek) return;
  const long long changed =
      ExecCounting(*SeqWriteQuery, "update " + UpperStr(TablePrefix) + "sequence set lastno=" +
                                       IdText(TextToId(lastNo) + 1) + " where " + where);
  Log("# 1#NumRows affected " + std::to_string(changed));
}

void TStoreData::FindSequence(const std::string& transType, const std::string& fieldName,
                              const std::string& prefix) {
  size_t k = 0;
  while (k < AutoFields.size() && !SameStrNoCase(AutoFields[k], fieldName)) ++k;
  if (k == AutoFields.size()) return;
  AutoPrefixes[k] = prefix;
  if (!transType.empty()) AutoFieldTypes[k] = transType;

  const std::string table = UpperStr(TablePrefix) + "SEQUENCE";
  // An empty type (the validator choosing a series for one document) changes no stored
  // series: only this store numbers from the chosen one.
  const std::string condition =
      "TRANSTYPE = " + Quoted(transType) + " and FIELDNAME = " + Quoted(fieldName);
  auto setActive = [&](const std::string& where, const std::string& flag) {
    if (DbKind != "access") {
      TXDS& lock = *SeqLockQuery;
      lock.Close();
      lock.GetSQL().SetText("Select * FROM " + table + " WHERE " + where + " for update");
      lock.Open();
      lock.Close();
    }
    ExecStatement(*SeqWriteQuery,
                  "update " + table + " set activesequence = '" + flag + "' where " + where);
  };
  setActive(condition + " and ACTIVESEQUENCE = 'T'", "F");
  setActive(condition + " and PREFIX = " + Quoted(prefix), "T");
}

void TStoreData::CheckUniqueNumbers() {
  if (!IsNew) return;
  TXDS& q = *WorkQuery;
  for (int passesLeft = 50;; --passesLeft) {
    bool renumbered = false;
    for (const std::string& f : AutoFields) {
      const int i = IndexOfValue(f, 1);
      if (i < 0) continue;
      TFieldRec& v = Values[static_cast<size_t>(i)];
      // An empty number is none: the series gave nothing that could be taken twice.
      if (!SameStrNoCase(v.Table, CurrentTable) || v.Value.empty()) continue;
      const std::string table = TablePrefix + v.Table;
      q.Close();
      q.GetSQL().SetText("select " + f + " from " + table + " where " + f + " = " +
                         Quoted(v.Value) + " and " + v.Table + "id <> :t");
      q.ParamByName("t").SetAsString(IdText(CurrentRecordId));
      q.Open();
      const bool taken = !q.IsEmpty();
      q.Close();
      if (!taken) continue;
      Log("# 3#Changed value of " + f);
      GetNextNumber(f, false, v.Value);
      WriteQuery->SetValue(f, v.Value, "c");
      Log("# 3#to " + v.Value);
      renumbered = true;
    }
    // The 50th pass ends the search whatever it found.
    if (passesLeft == 1) throw EDatabaseError("Unable to get unique number. Please Save again");
    if (!renumbered) return;
  }
}

// ---------------------------------------------------------------- update maps

void TStoreData::ReverseMapRow(int frame, int row) {
  // A cancelled document's rows were taken out of the masters when it was cancelled.
  if (!MDMap || Cancelled) return;
  WireMDMap(IsNew);
  MDMap->ProcessRow(TransType, frame, row);
}

void TStoreData::WireMDMap(bool newDocument) {
  if (!MDMap) return;
  MDMap->TablePrefix = TablePrefix;
  MDMap->OnGetValue = [this](const std::string& fieldName, int row, TFieldData& valueRec) {
    MDMapGetValue(fieldName, row, valueRec);
  };
  MDMap->OnGetRowCount = [this](int frame) { return GetMaxRow(frame); };
  MDMap->NewDocument = newDocument;
}

void TStoreData::MDMapGetValue(const std::string& fieldName, int row, TFieldData& valueRec) {
  valueRec = TFieldData{};
  if (fieldName == "__autoinc" || fieldName == "__autodec") {
    const std::string one = fieldName == "__autoinc" ? "1" : "-1";
    valueRec.Value = one;
    // Each row counts once: a row without a record id is not stored yet, whatever the
    // document is (a row added to a stored document is new, and a stored one is not).
    const int frame = MDMap ? MDMap->RowFrame : 1;
    valueRec.OldValue = GetRowRecordId(frame, row) > 0 ? one : "0";
    valueRec.FieldType = "n";
    return;
  }
  if (SameStrNoCase(fieldName, PrimaryTable + "id")) {
    valueRec.Value = IdText(HeaderRecordId);
    valueRec.OldValue = IsNew ? "0" : valueRec.Value;
    valueRec.FieldType = "n";
    valueRec.DetailTable = TablePrefix + PrimaryTable;
    return;
  }
  int i = IndexOfValue(fieldName, row);
  if (i < 0 && row > 1) i = IndexOfValue(fieldName, 1);
  if (i < 0) return;
  const TFieldRec& v = Values[static_cast<size_t>(i)];
  valueRec.Value = v.Value;
  valueRec.OldValue = v.OldValue;
  valueRec.FieldType = v.FieldType;
  valueRec.ValueId = v.ValueId;
  valueRec.OldValueId = v.OldValueId;
  valueRec.DetailTable = TablePrefix + v.Table;
}

}  // namespace v7
