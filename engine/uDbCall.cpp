#include "uDbCall.h"

#include <algorithm>
#include <stdexcept>

#include "uAtExit.h"
#include "uDbBackend.h"
#include "uStoreVoucher.h"
#include "uValueStock.h"

namespace v7 {

namespace {

std::string ColumnText(TXDS& q, const std::string& name) {
  if (q.IsEmpty()) return "";
  TXField* f = q.FindField(name);
  return f ? f->GetAsString() : "";
}

}  // namespace

TDbCall::TDbCall() = default;

TDbCall::~TDbCall() { FreeObjects(); }

void TDbCall::Trace(const std::string& text) const {
  if (OnTrace) OnTrace(text);
}

void TDbCall::SetTransType(const std::string& name) {
  if (name.empty() || name == TransType) return;
  TransType = name;
  try {
    Prepare();
  } catch (...) {
    // Half-built objects are no type: the same name given again prepares afresh.
    FreeObjects();
    TransType.clear();
    throw;
  }
}

void TDbCall::FreeObjects() {
  // Each object points at those made before it (the validator at the evaluator, the store at
  // the definition and the maps, the linker at the store): the last made goes first.
  ImageDB.reset();
  ProvideLink.reset();
  Validator.reset();
  StoreData.reset();
  MDMap.reset();
  StructDef.reset();
  Eval.reset();
  RowsBefore.clear();
  RowsAfter.clear();
}

void TDbCall::Prepare() {
  FreeObjects();
  Eval = std::make_unique<TQuorexEVAL>();
  Eval->UseStoreData = 1;
  Eval->DBManager = DBManager;
  Eval->SetVar("recordid", 'n', "0");
  Eval->SetVar("username", 'c', v7::UserName);

  StructDef = std::make_unique<TStructDef>(DBManager, ":" + TransType);
  for (const auto& f : StructDef->Fields) {
    f->ExprnId = f->ExprnText.empty() ? -1 : Eval->Compile(f->ExprnText);
    f->ValidateExprId = f->ValidateExprText.empty() ? -1 : Eval->Compile(f->ValidateExprText);
  }

  TXDS& defRow = *StructDef->TransDefRow;
  if (LowerStr(TrimStr(ColumnText(defRow, "storeclass"))) == "voucher")
    StoreData = std::make_unique<TStoreVoucher>(StructDef.get(), TransType);
  else
    StoreData = std::make_unique<TStoreData>(StructDef.get(), TransType);
  TStoreData& store = *StoreData;
  store.History = LowerStr(ColumnText(defRow, "trackchanges")) == "t";
  store.SaveControlField = ColumnText(defRow, "savecontrolfield");
  store.DeleteControlField = ColumnText(defRow, "deletecontrolfield");
  std::string user;
  Eval->GetVar("UserName", user);
  store.UserName = user;
  store.AsGrids = ColumnText(defRow, "asgrids");
  std::string tables = ColumnText(defRow, "tablename");
  size_t comma = tables.find(',');
  store.SetPrimaryTable(comma == std::string::npos ? tables : tables.substr(0, comma));
  Eval->SetVar("ApprovalNo", 'n', std::to_string(store.ApprovalLevel));
  store.SetSiteNo(v7::SiteNo);
  Eval->SetStoreData(&store);
  store.OnLog = OnTrace;

  Validator = std::make_unique<TValidate>();
  Validator->StructDef = StructDef.get();
  Validator->UseEvaluator(Eval.get());
  Validator->SetStoreData(&store);

  MDMap = std::make_unique<TMDMap>();
  MDMap->LoadUpdateDetails(TransType, StructDef.get());
  MDMap->LoadScriptMaps(StructDef->ExprSet);
  store.MDMap = MDMap.get();

  ProvideLink = std::make_unique<TProvideLink>();
  ProvideLink->SourceStore = &store;
  ProvideLink->UserName = user;
  ProvideLink->SourceDef = StructDef.get();
  ProvideLink->SetTraceProc(OnTrace);
  ProvideLink->SetTransId(TransType);
  std::string showSubForm;
  Eval->GetVar("showsubform", showSubForm);
  ProvideLink->ShowSubForm = "," + LowerStr(showSubForm) + ",";
  const auto& entries = ProvideLink->LinkEntries;
  for (size_t k = 0; k < entries.size(); ++k) {
    TLinkEntry& entry = *entries[k];
    if (entry.TargetStore) entry.TargetStore->MDMap = MDMap.get();
    bool loaded = false;
    for (size_t j = 0; j < k && !loaded; ++j)
      loaded = SameStrNoCase(TrimStr(entries[j]->TargetType), TrimStr(entry.TargetType));
    if (loaded || !entry.TargetDef) continue;
    MDMap->LoadUpdateDetails(entry.TargetDef->TransId, entry.TargetDef.get());
    MDMap->LoadScriptMaps(entry.TargetDef->ExprSet);
  }

  MDMap->OnTrace = OnTrace;
  ImageDB = std::make_unique<TImageDB>(DBManager, TransType);
  KeepPreparedVars();
}

namespace {

// The process-wide values that evaluators copy into variables when they are made, apart
// from the user name and the site number, which change with every packet.
std::string EvaluatorSettings() {
  std::string s;
  for (const std::string* t : {&CompanyName, &UserCategory, &UserDepartment, &DbRep, &CrRep,
                               &QuorexPath, &MainCurr, &SubCurr})
    s += *t + '\x1f';
  for (double d : {FinYrSt, FinYrEd, AFinYrSt, AFinYrEd, static_cast<double>(BaseCurrencyId)})
    s += std::to_string(d) + '\x1f';
  s += std::to_string(CurrDecimal) + (Millions ? "T" : "F") + std::to_string(ConnectNo);
  return s;
}

}  // namespace

void TDbCall::KeepPreparedVars() {
  preparedVars_.clear();
  std::vector<TEVAL*> evals = {Eval.get()};
  if (ProvideLink)
    for (const auto& entry : ProvideLink->LinkEntries)
      if (entry->Validator && entry->Validator->Eval) evals.push_back(entry->Validator->Eval);
  for (TEVAL* e : evals) preparedVars_.push_back({e, e->VarValues, e->VarTypes, e->VarFlags});
  preparedSettings_ = EvaluatorSettings();
}

bool TDbCall::Renew() {
  if (!StoreData || preparedSettings_ != EvaluatorSettings()) return false;
  for (TPreparedVars& kept : preparedVars_) {
    TEVAL& e = *kept.Eval;
    const size_t n = kept.Values.size();
    if (e.VarValues.size() < n) return false;
    std::copy(kept.Values.begin(), kept.Values.end(), e.VarValues.begin());
    e.VarTypes.replace(0, n, kept.Types);
    e.VarFlags.replace(0, n, kept.Flags);
    // Variables cannot be removed once expressions are bound to them: those that earlier
    // documents made read empty.
    for (size_t k = n; k < e.VarValues.size(); ++k) {
      e.VarValues[k] = e.VarTypes[k] == 'n' ? "0" : "";
      e.VarFlags[k] = e.VarTypes[k] == 'n' ? 'F' : 'T';
    }
    // Result sets of firesql belong to the document that fired them.
    e.ExprQueries.clear();
    e.SetVar("UserName", 'c', v7::UserName);
  }
  Eval->SetVar("username", 'c', v7::UserName);
  Reset();
  ForgetReadings();
  Eval->ScriptWrote = false;
  for (const auto& entry : ProvideLink->LinkEntries)
    if (entry->Validator && entry->Validator->Eval) entry->Validator->Eval->ScriptWrote = false;
  ValidationMessage.clear();
  ErrorReport.clear();
  StoreData->UserName = v7::UserName;
  StoreData->SetSiteNo(v7::SiteNo);
  StoreData->IsNew = false;
  ProvideLink->UserName = v7::UserName;
  for (const auto& entry : ProvideLink->LinkEntries) {
    if (!entry->TargetStore) continue;
    entry->TargetStore->UserName = v7::UserName;
    entry->TargetStore->SetSiteNo(v7::SiteNo);
    entry->TargetStore->ClearValues();
  }
  return true;
}

// ---------------------------------------------------------------- events and validation

void TDbCall::RunEvent(const std::string& arg, const std::string& name) {
  if (!StructDef || StructDef->ExprSet.empty()) return;
  const std::string a = LowerStr(TrimStr(arg));
  const std::string n = LowerStr(TrimStr(name));
  const std::string header = a.empty() ? "{" + n + "}" : "{" + n + " " + a + "}";
  const auto& lines = StructDef->ExprSet;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (!SameStrNoCase(TrimStr(lines[k]), header)) continue;
    Trace("#savelevel#");
    Trace("# 1#Executing " + header);
    Eval->Script = &StructDef->ExprSet;
    try {
      Eval->RunScript(int(k) + 1);
    } catch (...) {
      Trace("#resetlevel#");
      throw;
    }
    Trace("#resetlevel#");
    return;
  }
}

void TDbCall::Validate(const std::string& mode, bool checks) {
  ErrorReport.clear();
  RunEvent("", "onpostgenmap");
  Validator->ChecksOn = checks;
  Eval->SetVar("onsave", 'c', mode);
  bool valid;
  try {
    valid = Validator->Validate(mode == "s");
  } catch (...) {
    Eval->SetVar("onsave", 'c', "f");
    throw;
  }
  if (!valid) ValidationMessage = Validator->ErrorText;
  Eval->SetVar("onsave", 'c', "f");
  for (const auto& f : StructDef->Fields) {
    if (f->frameno != 1 || f->hidden) continue;
    const std::string& m = f->modeofentry;
    if (m != "to be entered" && m != "autogenerate" && m != "from list" && !f->sourcekey) continue;
    ErrorReport.push_back(f->name + " = " + StoreData->GetValue(f->name, 1));
  }
  ErrorReport.push_back(ValidationMessage);
}

bool TDbCall::ScriptsWrote() const {
  if (Eval && Eval->ScriptWrote) return true;
  if (ProvideLink)
    for (const auto& entry : ProvideLink->LinkEntries)
      if (entry->Validator && entry->Validator->Eval && entry->Validator->Eval->ScriptWrote)
        return true;
  return false;
}

std::string TDbCall::ErrorReportText() const {
  std::string text;
  for (const std::string& line : ErrorReport) text += line + "\r\n";
  return text;
}

void TDbCall::TraceFrameRows() {
  for (size_t i = 0; i < RowsBefore.size(); ++i) {
    if (RowsBefore[i] == "*") continue;
    std::string after = i < RowsAfter.size() ? RowsAfter[i] : "0";
    Trace("# 1#Frame " + std::to_string(i + 1) + " No of Rows Before =" + RowsBefore[i] +
          " After = " + std::to_string(TStoreData::TextToInt(after)));
  }
}

void TDbCall::CheckStatus(const std::string& variable, bool keepMessage, std::string& result) {
  std::string status;
  Eval->GetVar(variable, status);
  if (status.empty() || LowerStr(status) == "t") return;
  if (status[0] == '_') {
    if (keepMessage) result = status.substr(1);
    return;
  }
  throw EDatabaseError(status);
}

// ---------------------------------------------------------------- the document

void TDbCall::ForgetReadings() {
  auto forget = [](TValidate* validator) {
    if (!validator) return;
    validator->Renew();
    if (!validator->Eval) return;
    validator->Eval->ExprQueries.clear();
    // A stock walk goes on from the rows its last call read.
    validator->Eval->ValueStock = std::make_unique<TValueStock>();
  };
  forget(Validator.get());
  if (ProvideLink)
    for (const auto& entry : ProvideLink->LinkEntries) forget(entry->Validator.get());
}

void TDbCall::ClearSeriesChoice() {
  auto clear = [](TStoreData* store) {
    if (!store) return;
    for (std::string& prefix : store->AutoPrefixes) prefix.clear();
    for (std::string& type : store->AutoFieldTypes) type = store->TransType;
  };
  clear(StoreData.get());
  if (ProvideLink)
    for (const auto& entry : ProvideLink->LinkEntries) clear(entry->TargetStore.get());
}

void TDbCall::Save(std::string& result) {
  // Whatever the outcome, the series chosen for this document and what it read end with it.
  AtExit endOfDocument([this] {
    ClearSeriesChoice();
    ForgetReadings();
  });
  ValidationMessage.clear();
  SavedRecordId = 0;
  result.clear();
  TraceFrameRows();
  Validate("s", true);
  if (!ValidationMessage.empty()) {
    result = ErrorReportText();
    Reset();
    return;
  }
  DoSave(result);
}

void TDbCall::DoSave(std::string& result) {
  result.clear();
  TraceFrameRows();
  const bool existed = StoreData->DocumentRecordId != 0;
  StoreData->Save();
  SavedRecordId = StoreData->HeaderRecordId;
  ImageDB->SaveImages(StoreData->HeaderRecordId);
  ProvideLink->EditMode = existed;
  ProvideLink->PostLinks(StoreData->HeaderRecordId);
  MDMap->Flush();
  RunEvent("", "aftersave");
  CheckStatus("aftersavestatus", true, result);
  std::string displayField;
  Eval->GetVar("displayfieldname", displayField);
  if (!displayField.empty()) result = StoreData->GetValue(displayField, 1);
  StoreData->MarkLoaded();
  StoreData->ClearValues();
  MDMap->Clear();
}

void TDbCall::LoadRecord(long double recordId) {
  ClearSeriesChoice();
  ForgetReadings();
  StoreData->LoadTransaction(recordId);
  ImageDB->LoadImages(recordId);
  Eval->SetVar("ChildDoc", 'c', StoreData->ChildDoc == "T" ? "T" : "F");
  Eval->SetVar("recordid", 'n', TStoreData::IdText(recordId));
  Validate("l", false);
  RowsBefore.clear();
  RowsAfter.clear();
  const std::string grids = LowerStr(StoreData->AsGrids);
  for (int k = 1;; ++k) {
    std::string flag = TrimStr(GetField(grids, k));
    if (flag.empty()) break;
    std::string entry = flag == "t" ? std::to_string(StoreData->GetMaxRow(k)) : "*";
    RowsBefore.push_back(entry);
    RowsAfter.push_back(entry);
  }
}

void TDbCall::Delete(long double recordId) {
  AtExit endOfDocument([this] { ForgetReadings(); });
  Trace("# 1#Deleting transaction");
  StoreData->LoadTransaction(recordId);
  StoreData->DeleteTransaction();
  if (ProvideLink) {
    ProvideLink->CancelMode = false;
    Trace("# 1#Deleting generated transactions");
    ProvideLink->DeleteLinks(recordId);
  }
  Trace("# 1#Reversing MDMap");
  MDMap->Flush();
  RunEvent("", "afterdelete");
  std::string ignored;
  CheckStatus("afterdeletestatus", false, ignored);
  Trace("# 1#Deleting Images");
  ImageDB->DeleteImages(recordId);
  Trace("# 1#Completed Deletion");
}

void TDbCall::Cancel(long double recordId) {
  AtExit endOfDocument([this] { ForgetReadings(); });
  StoreData->LoadTransaction(recordId);
  if (StoreData->Cancelled) return;
  StoreData->CancelTransaction();
  if (ProvideLink) {
    ProvideLink->CancelMode = true;
    bool removed;
    try {
      removed = ProvideLink->DeleteLinks(recordId);
    } catch (...) {
      ProvideLink->CancelMode = false;
      throw;
    }
    ProvideLink->CancelMode = false;
    if (!removed) throw EDatabaseError("Could not delete link document(s)");
  }
  MDMap->Flush();
  RunEvent("", "aftercancel");
  std::string ignored;
  CheckStatus("aftercancelstatus", false, ignored);
}

bool TDbCall::RecordExists(long double recordId) {
  if (recordId == 0) return false;
  if (!LookupQuery) LookupQuery = DBManager->NewQuery();
  TXDS& q = *LookupQuery;
  const std::string& t = StoreData->PrimaryTable;
  q.Close();
  q.GetSQL().SetText("select " + t + "id from " + t + " where " + t +
                     "id=" + TStoreData::IdText(recordId));
  q.Open();
  bool found = !q.IsEmpty();
  q.Close();
  return found;
}

void TDbCall::Reset() {
  if (Eval) Eval->CloseExprQueries();
  if (StoreData) {
    StoreData->CloseDatasets();
    StoreData->ClearValues();
  }
  ClearSeriesChoice();
  if (Validator) Validator->CloseDatasets();
  if (MDMap) {
    MDMap->CloseQueries();
    MDMap->Clear();
  }
  RowsBefore.clear();
  RowsAfter.clear();
}

}  // namespace v7
