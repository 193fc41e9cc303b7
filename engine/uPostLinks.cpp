// Posting and removing the documents generated from a source document: each target is
// cleared, reloaded when its source existed, mapped (uLinkMap.cpp), validated by its own
// validator and saved through its own store; removal loads it by (link, source record) and
// deletes or cancels it.
#include <algorithm>

#include "uDbBackend.h"
#include "uProvideLink.h"

namespace v7 {

namespace {

bool IsTrueFlag(const std::string& text) { return LowerStr(TrimStr(text)) == "t"; }

}  // namespace

bool TProvideLink::PostLinks(long double /*recordId*/) {
  Trace("#savelevel#");
  try {
    ResetTargets();
    for (auto& owned : LinkEntries) {
      TLinkEntry& entry = *owned;
      MakeCurrent(entry);
      // A link of a type this linker cannot store is passed over.
      if (!TargetStore) continue;
      if (entry.SourceType != SourceTransId) {
        int i = IndexOfTarget(entry.SourceType);
        if (i < 0) continue;
        const TLinkEntry& source = *LinkEntries[static_cast<size_t>(i)];
        // A row link's targets post their dependents row by row (PostDependents).
        if (!source.Posted || source.FrameIndex >= 0) continue;
      }
      TStoreData* src = SourceStoreOf(entry);
      if (!src) continue;
      SourceHeaderRecordId = src->DocumentRecordId;
      if (entry.FrameIndex >= 0) {
        int frame = entry.FrameIndex + 1;
        int rows = src->GetMaxRow(frame);
        for (int row = 1; row <= rows; ++row) {
          Trace("# 1#Posting from " + entry.SourceType + " to " + entry.TargetType + " from row " +
                std::to_string(row));
          RowRecordId = GetRowRecordId(*src, frame, row);
          TargetStore->ParentRecordId = GetLinkedRowId(*src, frame, row);
          PostEntry(row);
          PostDependents(row);
        }
        if (!DeleteRemovedRows()) {
          Trace("#resetlevel#");
          return false;
        }
      } else {
        Trace("# 1#Posting from " + entry.SourceType + " to " + entry.TargetType);
        RowRecordId = SourceHeaderRecordId;
        TargetStore->ParentRecordId = 0;
        PostEntry(1);
      }
    }
    ResetTargets();
  } catch (...) {
    Trace("#resetlevel#");
    throw;
  }
  Trace("#resetlevel#");
  return true;
}

bool TProvideLink::PostEntry(int row) {
  TLinkEntry& entry = *CurrentEntry;
  // A load clears the store's ParentRecordId; the save needs the one set for this row.
  RowParentRecordId = TargetStore->ParentRecordId;
  if (!entry.CompanyFieldName.empty()) {
    std::string company = GetSourceValue(entry.CompanyFieldName, row);
    if (company.empty()) company = GetSourceValue(entry.CompanyFieldName, 1);
    std::string oldCompany = OldValue;
    if (!oldCompany.empty() && oldCompany != company) {
      SwitchCompany(oldCompany);
      if (!DeleteTarget()) return false;
    }
    SwitchCompany(company);
  }
  if (entry.ControlFieldName.empty()) return PostTarget(row);
  std::string control = GetSourceValue(entry.ControlFieldName, row);
  if (control.empty()) control = GetSourceValue(entry.ControlFieldName, 1);
  if (IsTrueFlag(control)) return PostTarget(row);
  if (IsTrueFlag(OldValue)) return DeleteTarget();
  return true;
}

bool TProvideLink::PostTarget(int row) {
  TLinkEntry& entry = *CurrentEntry;
  TQuorexEVAL& eval = *entry.Validator->Eval;
  CurrentRow = row;
  CurrentLinkId = entry.LinkId;
  TargetStore->ClearValues();
  long double storedLinkId = StoredLinkId();
  if (EditMode) {
    TargetStore->LoadBySource = true;
    TargetStore->LoadFromRecord(storedLinkId, RowRecordId);
    MarkPosted(storedLinkId, RowRecordId);
  }
  Trace("# 2#Mapping");
  MapFields();
  eval.SetVar("onsave", 'c', "s");
  Trace("#level=2#");
  RunEvent("onpostgenmap");
  TargetStore->SourceRecordId = RowRecordId;
  // A generated document that fails validation is never saved, with or without a message.
  if (!entry.Validator->Validate(true))
    throw EDatabaseError(entry.Validator->ErrorText.empty()
                             ? "Generated document " + TrimStr(entry.TargetType) + " is not valid"
                             : entry.Validator->ErrorText);
  // The sub-form hook of a type listed in showsubform has nothing to show here.
  eval.SetVar("onsave", 'c', "f");
  TargetStore->ParentRecordId = RowParentRecordId;
  TargetStore->SaveLinked(storedLinkId, RowRecordId, SourceHeaderRecordId);
  entry.Posted = true;
  RunEvent("aftersave");
  return true;
}

void TProvideLink::PostDependents(int /*row*/) {
  TLinkEntry* current = CurrentEntry;
  for (auto& owned : LinkEntries) {
    TLinkEntry& entry = *owned;
    if (&entry == current || !entry.TargetStore) continue;
    if (!SameStrNoCase(entry.SourceType, TrimStr(current->TargetType))) continue;
    MakeCurrent(entry);
    if (entry.SourceType != SourceTransId) {
      int i = IndexOfTarget(entry.SourceType);
      if (i < 0 || !LinkEntries[static_cast<size_t>(i)]->Posted) continue;
    }
    TStoreData* src = SourceStoreOf(entry);
    if (!src) continue;
    RowRecordId = src->DocumentRecordId;
    PostEntry(1);
  }
  MakeCurrent(*current);
}

void TProvideLink::MarkPosted(long double linkId, long double recordId) {
  if (CurrentEntry->PostedTable != "t") return;
  const std::string table = UpperStr(TrimStr(CurrentEntry->SourceType)) + "POSTED";
  TXDS& q = ReuseQuery(PostedMarks);
  q.GetSQL().SetText("select * from " + table + " where linkentrydocid=" +
                     TStoreData::IdText(linkId) + " and recordid=" + TStoreData::IdText(recordId));
  q.Open();
  if (q.IsEmpty()) {
    q.AppendRecord(table);
    q.SetValue("linkentrydocid", TStoreData::IdText(linkId), "n");
    q.SetValue("recordid", TStoreData::IdText(recordId), "n");
    q.PostRecord();
  }
  q.Close();
  q.GetSQL().Clear();
}

// ---------------------------------------------------------------- removal

bool TProvideLink::DeleteLinks(long double /*recordId*/) {
  for (auto& owned : LinkEntries) {
    TLinkEntry& entry = *owned;
    MakeCurrent(entry);
    if (!TargetStore) continue;
    if (entry.SourceType != SourceTransId) {
      int i = IndexOfTarget(entry.SourceType);
      // The documents made from a row link's targets go with them (DeleteDependents).
      if (i < 0 || LinkEntries[static_cast<size_t>(i)]->FrameIndex >= 0) continue;
    }
    TStoreData* src = SourceStoreOf(entry);
    if (!src) continue;
    SourceHeaderRecordId = src->DocumentRecordId;
    bool ok = true;
    if (entry.FrameIndex < 0) {
      if (!entry.CompanyFieldName.empty()) {
        GetSourceValue(entry.CompanyFieldName, 1);
        SwitchCompany(OldValue);
      }
      RowRecordId = src->DocumentRecordId;
      ok = DeleteTarget();
    } else {
      int frame = entry.FrameIndex + 1;
      int rows = src->GetMaxRow(frame);
      for (int row = 1; row <= rows; ++row) {
        if (!entry.CompanyFieldName.empty()) {
          GetSourceValue(entry.CompanyFieldName, row);
          std::string company = OldValue;
          if (company.empty()) {
            GetSourceValue(entry.CompanyFieldName, 1);
            company = OldValue;
          }
          SwitchCompany(company);
        }
        RowRecordId = GetRowRecordId(*src, frame, row);
        if (!DeleteTarget() || !DeleteDependents()) return false;
      }
      ok = DeleteRemovedRows();
    }
    if (!ok) return false;
  }
  for (auto& e : LinkEntries)
    if (e->TargetStore) e->TargetStore->MarkLoaded();
  return true;
}

bool TProvideLink::DeleteTarget() {
  TLinkEntry& entry = *CurrentEntry;
  TValidate& validator = *entry.Validator;
  TargetStore->LoadBySource = true;
  TargetStore->LoadFromRecord(StoredLinkId(), RowRecordId);
  if (!TargetStore->Found) return true;
  // A target cancelled on its own was taken out of the masters then: cancelling it again
  // would take it out twice.
  if (CancelMode && TargetStore->Cancelled) return true;
  validator.Eval->SetVar("onsave", 'c', "s");
  validator.ChecksOn = false;
  try {
    validator.Validate(false);
  } catch (...) {
    validator.ChecksOn = true;
    throw;
  }
  validator.ChecksOn = true;
  validator.Eval->SetVar("onsave", 'c', "f");
  if (CancelMode)
    TargetStore->CancelTransaction();
  else
    TargetStore->DeleteTransaction();
  RunEvent(CancelMode ? "aftercancel" : "afterdelete");
  return true;
}

bool TProvideLink::DeleteDependents() {
  Trace("#savelevel#");
  TLinkEntry* current = CurrentEntry;
  bool ok = true;
  for (auto& owned : LinkEntries) {
    TLinkEntry& entry = *owned;
    if (&entry == current || !entry.TargetStore) continue;
    if (!SameStrNoCase(entry.SourceType, TrimStr(current->TargetType))) continue;
    MakeCurrent(entry);
    TStoreData* src = SourceStoreOf(entry);
    if (!src) continue;
    if (!entry.CompanyFieldName.empty()) {
      GetSourceValue(entry.CompanyFieldName, 1);
      SwitchCompany(OldValue);
    }
    RowRecordId = src->DocumentRecordId;
    if (!DeleteTarget()) {
      ok = false;
      break;
    }
  }
  Trace("#resetlevel#");
  MakeCurrent(*current);
  return ok;
}

bool TProvideLink::DeleteRemovedRows() {
  TLinkEntry& entry = *CurrentEntry;
  TStoreData* src = SourceStoreOf(entry);
  if (!src || entry.FrameIndex < 0) return true;
  int frame = entry.FrameIndex + 1;
  // The ids first: removing a target reloads other stores, never the source, but the walk
  // must not depend on that.
  std::vector<long double> removed;
  for (const TFieldRec& v : src->Values)
    if (v.Frame == frame && v.Row == -1 && v.RecordId != 0 &&
        std::find(removed.begin(), removed.end(), v.RecordId) == removed.end())
      removed.push_back(v.RecordId);
  for (long double id : removed) {
    RowRecordId = id;
    if (!DeleteTarget() || !DeleteDependents()) return false;
  }
  return true;
}

}  // namespace v7
