// The linker's link definitions: loading the links of a source type breadth first, with a
// ready definition, store, validator and evaluator per link, and the value look-ups that
// posting (uPostLinks.cpp) and mapping (uLinkMap.cpp) share.
#include "uProvideLink.h"

#include <algorithm>

#include "uDbBackend.h"
#include "uStoreVoucher.h"
#include "uValues.h"

namespace v7 {

TProvideLink::TProvideLink() = default;

TProvideLink::~TProvideLink() {
  ClearLinkEntries();
  for (std::unique_ptr<TXDS>* q : {&LinkQuery, &DetailQuery, &PostedProbe, &PostedMarks})
    if (*q) (*q)->Close();
}

TDBManager* TProvideLink::Manager() const {
  if (SourceDef && SourceDef->DBManager) return SourceDef->DBManager;
  return SourceStore ? SourceStore->DBManager : nullptr;
}

void TProvideLink::Trace(const std::string& text) const {
  if (OnTrace) OnTrace(text);
}

std::string TProvideLink::ColumnText(TXDS& q, const std::string& name) {
  TXField* f = q.FindField(name);
  return f ? f->Value : std::string();
}

TXDS& TProvideLink::ReuseQuery(std::unique_ptr<TXDS>& slot) {
  if (!slot)
    slot = Manager()->NewQuery();
  else
    Manager()->NewQuery(*slot);
  slot->Close();
  return *slot;
}

// ---------------------------------------------------------------- loading

void TProvideLink::SetTransId(const std::string& transId) {
  SourceTransId = LowerStr(transId);
  LoadAllLinks();
}

void TProvideLink::SetTraceProc(TTraceProc proc) {
  OnTrace = std::move(proc);
  for (auto& e : LinkEntries)
    if (e->TargetStore) e->TargetStore->OnLog = OnTrace;
}

void TProvideLink::LoadAllLinks() {
  ClearLinkEntries();
  LoadLinkDocs(SourceTransId);
  // Level by level: the links leaving each target type the previous level added. A link
  // loaded once is never added again, so cycles of types end here.
  size_t levelStart = 0;
  while (levelStart < LinkEntries.size()) {
    size_t levelEnd = LinkEntries.size();
    for (size_t i = levelStart; i < levelEnd; ++i) LoadLinkDocs(LinkEntries[i]->TargetType);
    levelStart = levelEnd;
  }
}

void TProvideLink::LoadLinkDocs(const std::string& transId) {
  TXDS& q = ReuseQuery(LinkQuery);
  q.GetSQL().Clear();
  q.GetSQL().SetText("Select * from linkentrydoc where " + DbLowerFunc + "(sourcetransid) = :s");
  q.ParamByName("s").SetAsString(LowerStr(transId));
  q.Open();
  for (q.First(); !q.Eof(); q.Next()) AddLinkEntry(q);
  q.Close();
}

void TProvideLink::AddLinkEntry(TXDS& row) {
  if (LowerStr(TrimStr(ColumnText(row, "selected"))) != "t") return;
  long double linkId = TStoreData::TextToId(ColumnText(row, "linkentrydocid"));
  if (HasLinkEntry(linkId)) return;

  auto entry = std::make_unique<TLinkEntry>();
  entry->LinkId = linkId;
  entry->SourceType = LowerStr(TrimStr(ColumnText(row, "sourcetransid")));
  entry->TargetType = ColumnText(row, "targettransid");
  entry->FrameIndex = TStoreData::TextToInt(ColumnText(row, "basedonframe")) - 1;
  entry->ControlFieldName = TrimStr(ColumnText(row, "controlfieldname"));
  entry->CompanyFieldName = TrimStr(ColumnText(row, "companyfieldname"));
  entry->ParentLinkId = TStoreData::TextToId(ColumnText(row, "parentlinkdocid"));
  entry->TargetDef = std::make_unique<TStructDef>(Manager(), ":" + TrimStr(entry->TargetType));
  TStructDef& def = *entry->TargetDef;
  TXDS& defRow = *def.TransDefRow;

  std::string storeClass = LowerStr(TrimStr(ColumnText(defRow, "storeclass")));
  if (storeClass.empty() || storeClass == "default")
    entry->TargetStore = std::make_unique<TStoreData>(&def, entry->TargetType);
  else if (storeClass == "voucher")
    entry->TargetStore = std::make_unique<TStoreVoucher>(&def, entry->TargetType);

  if (TStoreData* store = entry->TargetStore.get()) {
    store->AsGrids = def.AsGrids;
    store->OnLog = OnTrace;
    store->SaveControlField = TrimStr(ColumnText(defRow, "savecontrolfield"));
    store->SetPrimaryTable(v7::GetField(ColumnText(defRow, "tablename"), 1));
    store->UserName = UserName;
    store->SetSiteNo(v7::SiteNo);
  }

  // One row count per frame: the frame count of the type, or its tables and fields when
  // the count is missing.
  int frames = TStoreData::TextToInt(ColumnText(defRow, "framecount"));
  frames = std::max(frames, def.TableCount);
  for (const auto& f : def.Fields) frames = std::max(frames, f->frameno);
  entry->RowCounts.assign(static_cast<size_t>(frames), "0");

  entry->Validator = std::make_unique<TValidate>();
  TValidate& validator = *entry->Validator;
  validator.AutoMark = true;
  validator.StructDef = &def;
  if (entry->TargetStore) validator.SetStoreData(entry->TargetStore.get());
  TQuorexEVAL& eval = *validator.Eval;
  eval.SetVar("ApprovalNo", 'n',
              std::to_string(entry->TargetStore ? entry->TargetStore->ApprovalLevel : 0));
  eval.SetVar("UserName", 'c', UserName);
  eval.SetVar("UserCategory", 'c', v7::UserCategory);
  eval.SetVar("UserDepartment", 'c', v7::UserDepartment);
  eval.SetVar("finyrst", 'd', FormatDateSerial(FinYrSt));
  eval.SetVar("finyred", 'd', FormatDateSerial(FinYrEd));
  eval.SetVar("afinyrst", 'd', FormatDateSerial(AFinYrSt));
  eval.SetVar("afinyred", 'd', FormatDateSerial(AFinYrEd));
  eval.SetVar("recordid", 'n', "0");
  eval.SetVar("dbrep", 'c', DbRep);
  eval.SetVar("crrep", 'c', CrRep);

  OpenPostedTable(*entry);
  CompileFieldExprs(*entry);
  LinkEntries.push_back(std::move(entry));
}

void TProvideLink::OpenPostedTable(TLinkEntry& entry) {
  TXDS& q = ReuseQuery(PostedProbe);
  entry.PostedTable = " ";
  const std::string table = UpperStr(TrimStr(entry.SourceType)) + "POSTED";
  try {
    if (DbKind == "postgre") {
      // The server logs every failed statement: its catalogue answers without one, finding
      // the table as the statements that use it would (unquoted name, search path).
      q.GetSQL().SetText("select to_regclass(:name) is not null as found");
      q.ParamByName("name").SetAsString(table);
      q.Open();
      if (LowerStr(q.FieldByName("found").Value) == "t") entry.PostedTable = "t";
    } else {
      q.GetSQL().SetText("select * from " + table + " where linkentrydocid=0");
      q.Open();
      entry.PostedTable = "t";
    }
  } catch (const std::exception&) {
    // The POSTED table is optional: without it nothing records what was posted.
  }
  q.Close();
  q.GetSQL().Clear();
}

void TProvideLink::CompileFieldExprs(TLinkEntry& entry) {
  TQuorexEVAL& eval = *entry.Validator->Eval;
  for (const auto& f : entry.TargetDef->Fields) {
    if (!f->ExprnText.empty()) f->ExprnId = eval.Compile(f->ExprnText);
    if (!f->ValidateExprText.empty()) f->ValidateExprId = eval.Compile(f->ValidateExprText);
  }
}

// ---------------------------------------------------------------- entries

int TProvideLink::IndexOfTarget(const std::string& transId) const {
  for (size_t i = 0; i < LinkEntries.size(); ++i)
    if (SameStrNoCase(TrimStr(LinkEntries[i]->TargetType), TrimStr(transId)))
      return static_cast<int>(i);
  return -1;
}

bool TProvideLink::HasLinkEntry(long double linkId) const {
  return std::any_of(LinkEntries.begin(), LinkEntries.end(),
                     [linkId](const auto& e) { return e->LinkId == linkId; });
}

void TProvideLink::ResetTargets() {
  for (auto& e : LinkEntries) {
    e->Posted = false;
    if (!e->TargetStore) continue;
    e->TargetStore->CloseDatasets();
    e->Validator->CloseDatasets();
    e->Validator->Eval->CloseExprQueries();
    e->TargetStore->MarkLoaded();
    e->TargetStore->ClearValues();
  }
}

void TProvideLink::ClearLinkEntries() {
  CurrentEntry = nullptr;
  TargetStore = nullptr;
  LinkEntries.clear();
}

TStoreData* TProvideLink::SourceStoreOf(const TLinkEntry& entry) const {
  if (entry.SourceType == SourceTransId) return SourceStore;
  int i = IndexOfTarget(entry.SourceType);
  return i < 0 ? nullptr : LinkEntries[static_cast<size_t>(i)]->TargetStore.get();
}

void TProvideLink::MakeCurrent(TLinkEntry& entry) {
  CurrentEntry = &entry;
  TargetStore = entry.TargetStore.get();
  CurrentLinkId = entry.LinkId;
}

long double TProvideLink::StoredLinkId() const {
  return CurrentEntry->ParentLinkId >= 1 ? CurrentEntry->ParentLinkId : CurrentEntry->LinkId;
}

void TProvideLink::SwitchCompany(const std::string& prefix) { TargetStore->SetTablePrefix(prefix); }

// ---------------------------------------------------------------- events and values

void TProvideLink::RunEvent(const std::string& name) {
  if (!CurrentEntry) return;
  const std::vector<std::string>& lines = CurrentEntry->TargetDef->ExprSet;
  // The definition keeps its script lines trimmed and their "{...}" headers lower-cased.
  auto it = std::find(lines.begin(), lines.end(), "{" + LowerStr(TrimStr(name)) + "}");
  if (it == lines.end()) return;
  TQuorexEVAL& eval = *CurrentEntry->Validator->Eval;
  eval.Script = &lines;
  Trace("#savelevel#");
  Trace("# 1#Evaluating " + *it);
  try {
    eval.RunScript(static_cast<int>(it - lines.begin()) + 1);
  } catch (...) {
    Trace("#resetlevel#");
    throw;
  }
  Trace("#resetlevel#");
}

std::string TProvideLink::GetSourceValue(const std::string& field, int row) {
  TStoreData* store = CurrentEntry ? SourceStoreOf(*CurrentEntry) : SourceStore;
  MappedValue.clear();
  MappedValueId = 0;
  OldValue.clear();
  OldValueId = 0;
  if (!store) return MappedValue;
  int i = store->IndexOfValue(field, row);
  if (i < 0) return MappedValue;
  const TFieldRec& v = store->Values[static_cast<size_t>(i)];
  MappedValue = v.Value;
  MappedValueId = v.ValueId;
  OldValue = v.OldValue;
  OldValueId = v.OldValueId;
  return MappedValue;
}

bool TProvideLink::SourceHasValue(const std::string& field, int row) {
  TStoreData* store = CurrentEntry ? SourceStoreOf(*CurrentEntry) : SourceStore;
  return store && store->IndexOfValue(field, row) >= 0;
}

long double TProvideLink::GetRowRecordId(const TStoreData& store, int frame, int row) {
  for (const TRowId& r : store.RowIds)
    if (r.Frame == frame && r.Row == row) return r.RecordId;
  return 0;
}

long double TProvideLink::GetLinkedRowId(const TStoreData& store, int frame, int row) {
  int i = store.SubFrameIndex(frame);
  if (i < 0) return 0;
  int parentFrame = store.BaseFrames[static_cast<size_t>(i)];
  for (const TFieldRec& v : store.Values) {
    if (v.Frame != frame || v.Row != row || v.Table.empty()) continue;
    return v.ParentRow != 0 ? GetRowRecordId(store, parentFrame, v.ParentRow) : 0;
  }
  return 0;
}

}  // namespace v7
