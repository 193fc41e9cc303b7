#include "uValidate.h"

#include <cmath>
#include <map>
#include <stdexcept>

#include "uDbBackend.h"
#include "uExprRoutines.h"
#include "uExprSql.h"

namespace v7 {

namespace {

char TypeLetter(const std::string& type) { return type.empty() ? 'c' : type[0]; }

std::string QuoteText(const std::string& text) { return "'" + ReplaceAll(text, "'", "''") + "'"; }

// The text of column k of the query's current row; empty for a missing column or no row.
std::string ColumnText(TXDS& q, size_t k) {
  if (q.IsEmpty()) return "";
  const auto& fields = q.GetFields();
  if (k >= fields.size()) return "";
  return q.FieldByName(fields[k].Name).GetAsString();
}

std::string ColumnName(TXDS& q, size_t k) {
  const auto& fields = q.GetFields();
  return k < fields.size() ? fields[k].Name : std::string();
}

bool IsPlaceholderText(const std::string& value) {
  return TStoreData::IsPlaceholder(LowerStr(value));
}

// A value placed into a list-query template: inside a quoted literal of the template its
// quotes are doubled, so that it stays one literal whatever it holds; outside, a number
// field's value that is no number becomes a literal of its own rather than SQL text, and
// any other value stands as the template's author placed it.
std::string TemplateValue(const std::string& value, bool insideLiteral, bool numberField) {
  if (insideLiteral) return DoubleSqlQuotes(value);
  if (numberField && !value.empty()) {
    TExactNumber n;
    if (!ParseExactNumber(value, n)) return QuoteText(value);
  }
  return value;
}

}  // namespace

TValidate::TValidate() {
  OwnedEval = std::make_unique<TQuorexEVAL>();
  Eval = OwnedEval.get();
  Eval->UseStoreData = 1;
  InstallHandlers(*Eval);
}

TValidate::~TValidate() {
  // An owner's evaluator outlives this validator: its hooks must not point here any more.
  if (Eval && !OwnsEval) {
    Eval->OnGetSQLValue = nullptr;
    Eval->OnSetSequence = nullptr;
    Eval->OnSqlGet = nullptr;
    Eval->OnFireSql = nullptr;
    Eval->OnFindRecord = nullptr;
  }
  try {
    CloseDatasets();
  } catch (...) {
    // Closing only drops results; nothing to report from a destructor.
  }
}

TDBManager* TValidate::Manager() const {
  if (StructDef && StructDef->DBManager) return StructDef->DBManager;
  return StoreData ? StoreData->DBManager : nullptr;
}

void TValidate::Trace(const std::string& text) const {
  if (OnTrace) OnTrace(text);
}

void TValidate::SetStoreData(TStoreData* store) {
  StoreData = store;
  if (OwnsEval && Eval) {
    Eval->SetStoreData(store);
    Eval->DBManager = Manager();
  }
  OnTrace = nullptr;
}

void TValidate::UseEvaluator(TQuorexEVAL* eval) {
  OwnedEval.reset();
  Eval = eval;
  OwnsEval = false;
  if (Eval) InstallHandlers(*Eval);
}

void TValidate::InstallHandlers(TQuorexEVAL& eval) {
  eval.OnGetSQLValue = [this](const std::string& sql, const std::string& field, std::string& r) {
    OnGetSqlValue(sql, field, r);
  };
  eval.OnSetSequence = [this](const std::string& transType, const std::string& field,
                              const std::string& prefix) {
    OnSetSequence(transType, field, prefix);
  };
  eval.OnSqlGet = [this](const std::string& name, const std::string& field, std::string& r) {
    OnSqlGet(name, field, r);
  };
  eval.OnFireSql = [this](const std::string& name, const std::string& sql) {
    OnFireSql(name, sql);
  };
  eval.OnFindRecord = [this](const std::string& name, const std::string& field,
                             const std::string& value,
                             std::string& r) { OnFindRecord(name, field, value, r); };
}

// ---------------------------------------------------------------- the whole document

bool TValidate::Validate(bool removeRows) {
  OnTrace = StoreData->OnLog;
  Trace("#savelevel#");
  Trace("# 1#Validating " + StoreData->TransType);
  Trace("# 2#Frame No 1");
  ErrorText.clear();
  RemoveRows = removeRows;
  const int useStoreData = Eval->UseStoreData;
  Eval->UseStoreData = 1;
  Eval->SetStoreData(StoreData);
  std::string onsave;
  Eval->GetVar("onsave", onsave);
  Saving = onsave == "s";
  CurrentValueId = 0;

  auto finish = [&](bool ok) {
    if (ok) SyncSubframeParentRows();
    Eval->UseStoreData = useStoreData;
    Trace("#resetlevel#");
    return ok;
  };
  // The later rows move up into the removed row's number; a removal that leaves the row
  // count as it was would revisit the row for ever, so the walk then moves on.
  auto removeRow = [&](int frame, int& row, int& maxRow) {
    StoreData->DeleteRow(frame, row);
    const int before = maxRow;
    maxRow = StoreData->GetMaxRow(frame);
    if (maxRow >= before) ++row;
  };
  try {
    const auto& fields = StructDef->Fields;
    const size_t n = fields.size();
    // The header comes first in the walk, so a header value calculated from the rows (a
    // total) would see them before they are filled and checked. When the document has rows,
    // such a header value is filled on the way (grid expressions may read it) but checked
    // only after the rows stand, when it is filled again: what is stored matches the rows.
    bool rowsFollow = false;
    for (const auto& fp : fields)
      if (fp->asgrid && StoreData->GetMaxRow(fp->frameno) >= 1) rowsFollow = true;
    size_t i = 0;
    while (i < n) {
      TFld* f = fields[i].get();
      CurrentField = f;
      StoreData->ShowProgress("Filling dependent : " + f->name);
      Eval->SetVar("ActiveFrame", 'n', std::to_string(f->frameno));
      Eval->SetVar("ActiveRow", 'n', "1");
      Eval->SetVar("activefield", 'c', f->name);
      if (!f->asgrid) {
        const bool later = rowsFollow && f->modeofentry == "to be calculated";
        if (!WalkField(f, 1, false, !later)) return finish(false);
        ++i;
        continue;
      }
      const int frame = f->frameno;
      int maxRow = StoreData->GetMaxRow(frame);
      if (maxRow < 1) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < n && fields[end]->frameno == frame) ++end;
      PublishedParentRow = 0;
      const std::string validRowName = "validrow" + std::to_string(frame);
      int row = 1;
      while (row <= maxRow) {
        Trace("# 2#Frame No " + std::to_string(frame) + ", Row " + std::to_string(row));
        ValidRowIndex = StoreData->IndexOfValue(validRowName, row);
        if (RemoveRows && RowIsEmpty(frame, row)) {
          removeRow(frame, row, maxRow);
          continue;
        }
        for (size_t j = i; j < end; ++j) {
          CurrentField = fields[j].get();
          Eval->SetVar("ActiveRow", 'n', std::to_string(row));
          if (!WalkField(fields[j].get(), row, true)) return finish(false);
        }
        if (RemoveRows && ValidRowIndex >= 0) {
          int k = StoreData->IndexOfValue(validRowName, row);
          std::string flag = k < 0 ? "" : UpperStr(StoreData->Values[size_t(k)].Value);
          if (flag == "F" || flag.empty()) {
            removeRow(frame, row, maxRow);
            continue;
          }
        }
        ++row;
      }
      i = end;
    }
    if (rowsFollow) {
      for (const auto& fp : fields) {
        TFld* f = fp.get();
        if (f->asgrid || f->modeofentry != "to be calculated") continue;
        CurrentField = f;
        Eval->SetVar("ActiveFrame", 'n', std::to_string(f->frameno));
        Eval->SetVar("ActiveRow", 'n', "1");
        Eval->SetVar("activefield", 'c', f->name);
        if (!WalkField(f, 1, false)) return finish(false);
      }
    }
  } catch (...) {
    Eval->UseStoreData = useStoreData;
    Trace("#resetlevel#");
    throw;
  }
  return finish(true);
}

bool TValidate::WalkField(TFld* f, int row, bool gridRow, bool check) {
  if (gridRow)
    StoreData->ShowProgress("Filling dependent : " + f->name + " Row No. " + std::to_string(row));
  LoadField(f->name, row);
  // A placeholder of link mapping becomes a record id when the store saves.
  if (IsPlaceholderText(CurrentValue)) return true;
  if (gridRow && ParentRow > 0) {
    Trace("# 3#Parent Row = " + std::to_string(ParentRow));
    SetParentVars();
  }
  const char type = TypeLetter(f->type);
  Eval->SetVar(f->name, type, CurrentValue);
  const std::string shown = CurrentValue;
  if (gridRow) {
    Trace("# 3#" + f->name + " = " + CurrentValue);
    if (CurrentValueId > 0) Trace("# 3#Id = " + TStoreData::IdText(CurrentValueId));
  } else {
    Trace("# 3#" + f->name + " = " + CurrentValue +
          (CurrentValueId > 0 ? " Id = " + TStoreData::IdText(CurrentValueId) : ""));
  }
  if (!FillField(f->name, row)) {
    Trace("# 3#" + ErrorText);
    return false;
  }
  const std::string value = CurrentValue;
  const long double id = CurrentValueId;
  if (check && !ValidateField(f->name, row, id, value)) {
    Trace("# 3#" + ErrorText);
    return false;
  }
  if (CurrentValue != shown)
    Trace("# 3#" + f->name + " after validation = " + CurrentValue +
          (CurrentValueId > 0 ? " Id = " + TStoreData::IdText(CurrentValueId) : ""));
  Eval->SetVar(f->name, type, CurrentValue);
  return true;
}

bool TValidate::RowIsEmpty(int frame, int row) const {
  std::string onsave;
  Eval->GetVar("onsave", onsave);
  if (onsave == "l") return false;
  for (const TFieldRec& v : StoreData->Values) {
    if (v.Frame != frame || v.Row != row) continue;
    if (!StructDef->GetField(v.FieldName)) continue;
    std::string text = TrimStr(v.Value);
    if (text.empty()) continue;
    if (LowerStr(v.FieldType) == "n" && NumberOrNaN(text) == 0) continue;
    return false;
  }
  return true;
}

void TValidate::LoadField(const std::string& name, int row) {
  CurrentValue.clear();
  CurrentValueId = 0;
  CurrentHasValue = true;
  int i = StoreData->IndexOfValue(name, row);
  if (i < 0) return;
  const TFieldRec& v = StoreData->Values[size_t(i)];
  CurrentValue = v.Value;
  CurrentValueId = v.ValueId;
  CurrentHasValue = v.HasValue;
  ParentRow = v.ParentRow;
  CurrentFrame = v.Frame;
  // The parent frame of a sub-frame value stays known while the value is filled, so that
  // its list templates read the parent row's values, not those of the same row number.
  const int k = StoreData->SubFrameIndex(CurrentFrame);
  ParentFrame =
      k >= 0 && size_t(k) < StoreData->BaseFrames.size() ? StoreData->BaseFrames[size_t(k)] : 0;
}

void TValidate::SetParentVars() {
  int k = StoreData->SubFrameIndex(CurrentFrame);
  if (k < 0 || size_t(k) >= StoreData->BaseFrames.size())
    throw std::runtime_error("No Parent Frame is available for subframe " +
                             std::to_string(CurrentFrame));
  ParentFrame = StoreData->BaseFrames[size_t(k)];
  if (ParentRow == PublishedParentRow) return;
  for (const TFieldRec& v : StoreData->Values) {
    if (v.Frame != ParentFrame || v.Row != ParentRow) continue;
    Eval->SetVar(v.FieldName, TypeLetter(v.FieldType),
                 v.HasId ? TStoreData::IdText(v.ValueId) : v.Value);
  }
  PublishedParentRow = ParentRow;
}

void TValidate::SyncSubframeParentRows() {
  for (int frame : StoreData->SubFrames) {
    std::map<int, int> parentOf;  // row -> parent row of its first value that has one
    for (const TFieldRec& v : StoreData->Values)
      if (v.Frame == frame && v.Row >= 1 && v.ParentRow >= 1) parentOf.emplace(v.Row, v.ParentRow);
    for (TFieldRec& v : StoreData->Values) {
      auto p = v.Frame == frame ? parentOf.find(v.Row) : parentOf.end();
      if (p != parentOf.end()) v.ParentRow = p->second;
    }
  }
}

// ---------------------------------------------------------------- one value

std::string TValidate::GetFieldValue(const std::string& name, int row) {
  if (IsReservedVariable(name)) {
    std::string value;
    Eval->GetVar(name, value);
    return value;
  }
  if (LowerStr(name) == "comp_name") return StoreData->TablePrefix;
  // Row -1 asks for the list form of the header value; it never means a removed row.
  const bool listForm = row == -1;
  int i = listForm ? -1 : StoreData->IndexOfValue(name, row);
  if (i < 0) i = StoreData->IndexOfValue(name, 1);
  if (i < 0) return "";
  // The list form quotes texts and dates: a date outside quotes would read as a division.
  auto form = [&](const TFieldRec& v) {
    const std::string type = LowerStr(v.FieldType);
    return listForm && (type == "c" || type == "d") ? QuoteText(v.Value) : v.Value;
  };
  const TFieldRec& v = StoreData->Values[size_t(i)];
  if (ParentRow >= 1 && v.Frame == ParentFrame) {
    int p = StoreData->IndexOfValue(name, ParentRow);
    return p < 0 ? "" : form(StoreData->Values[size_t(p)]);
  }
  return form(v);
}

bool TValidate::FillField(const std::string& name, int row) {
  ErrorText.clear();
  TFld* f = StructDef->GetField(name);
  if (!f) return false;
  CurrentField = f;
  LoadField(name, row);
  const char type = TypeLetter(f->type);
  Eval->SetVar("activerow", 'n', std::to_string(row));
  Eval->SetVar(f->name, type, CurrentValue);
  if (f->sourcekey) Eval->SetVar("id_" + f->name, 'n', TStoreData::IdText(CurrentValueId));

  const std::string& mode = f->modeofentry;
  const std::string label = f->caption + " [" + f->name + "]";
  auto fail = [&](const std::string& message) {
    ErrorText = message;
    return false;
  };
  auto invalidSelection = [&](const std::string& value) {
    return fail("Invalid selection \"" + value + "\" in field " + label);
  };
  auto evalExprn = [&] {
    if (Eval->EvalCompiled(f->ExprnId)) CurrentValue = Eval->ResultValue;
  };
  // Runs the list query, fills an empty value from the expression and takes the only row
  // when the field selects it by itself.
  auto runList = [&](TXDS& q) {
    CurrentQuery = &q;
    RunFieldSQL(q, row);
    if (CurrentValue.empty() && f->ExprnId >= 0) evalExprn();
    if (f->autoselect && RowCount(q) == 1) CurrentValue = ColumnText(q, 1);
  };
  auto locateText = [&](TXDS& q) {
    if (LowerStr(ColumnText(q, 1)) != LowerStr(CurrentValue))
      q.Locate(ColumnName(q, 1), CurrentValue, true);
    return LowerStr(ColumnText(q, 1)) == LowerStr(CurrentValue);
  };

  if (mode == "autogenerate") {
    if (CurrentValue.size() < 5) {
      if (!CurrentValue.empty()) StoreData->FindSequence("", f->name, CurrentValue);
      std::string number;
      StoreData->GetNextNumber(f->name, true, number);
      CurrentValue = number;
    } else if (AutoMark) {
      StoreData->AddAutoField(f->name);
    }
  } else if (mode == "to be entered") {
    if (f->ListQuery && (!f->suggestive || CurrentValue.empty())) {
      TXDS& q = *f->ListQuery;
      CurrentQuery = &q;
      RunFieldSQL(q, row);
      CurrentValue.clear();
      if (!q.IsEmpty() && !q.GetFields().empty()) {
        // A date column's text is already its date-time text.
        CurrentValue = q.FieldByName(ColumnName(q, 0)).GetAsString();
      }
      StoreData->AddValueByName(name, row, CurrentValue, "", 0);
    }
    if (CurrentValue.empty() || !CurrentHasValue) {
      if (Eval->EvalCompiled(f->ExprnId)) {
        CurrentValue = Eval->ResultValue;
        if (type == 'n') CurrentValue = RoundToDecimals(CurrentValue);
      }
    }
  } else if (mode.rfind("from ", 0) == 0 && f->sourcekey) {
    if (!f->ListQuery) return fail("SQL not defined for field " + label);
    TXDS& q = *f->ListQuery;
    runList(q);
    if (CurrentValueId == 0 && !CurrentValue.empty()) {
      if (!locateText(q)) return invalidSelection(CurrentValue);
      CurrentValueId = TStoreData::TextToId(ColumnText(q, 0));
    } else if (CurrentValueId != 0 && CurrentValue.empty()) {
      // Compared as ids, not as doubles: ids of 16 digits differ beyond a double's precision.
      if (TStoreData::TextToId(ColumnText(q, 0)) != CurrentValueId)
        for (q.First(); !q.Eof() && TStoreData::TextToId(ColumnText(q, 0)) != CurrentValueId;)
          q.Next();
      if (TStoreData::TextToId(ColumnText(q, 0)) != CurrentValueId) return invalidSelection("");
      CurrentValue = ColumnText(q, 1);
    }
  } else if (mode == "from list") {
    if (f->ListQuery) {
      TXDS& q = *f->ListQuery;
      runList(q);
      if (!CurrentValue.empty() && !locateText(q)) return invalidSelection(CurrentValue);
    }
  } else if (mode.rfind("from ", 0) == 0) {
    if (CurrentValue.empty() || !f->suggestive) {
      TFld* link = StructDef->GetField(f->LinkField);
      if (!link) return fail("Unable to find LinkField for " + label);
      if (link->ListQuery) {
        TXDS& q = *link->ListQuery;
        // The link field's list is normally still open from filling the link field; run it
        // for this row when it is not, rather than leaving the value unfilled.
        if (!q.GetActive()) RunFieldSQL(q, row);
        CurrentQuery = &q;
        std::string linkValue = GetFieldValue(f->LinkField, row);
        if (!linkValue.empty()) {
          if (LowerStr(ColumnText(q, 1)) != LowerStr(linkValue))
            q.Locate(ColumnName(q, 1), linkValue, true);
          if (LowerStr(ColumnText(q, 1)) != LowerStr(linkValue))
            return fail("Invalid Selection \"" + CurrentValue + "\" in " + link->caption + " [" +
                        link->name + "]");
          CurrentValue = q.IsEmpty() ? "" : q.FieldByName(f->sourcefield).GetAsString();
        }
      }
    }
  } else if (mode == "to be calculated") {
    if (Eval->EvalCompiled(f->ExprnId)) {
      CurrentValue = Eval->ResultValue;
      if (type == 'n') CurrentValue = RoundToDecimals(CurrentValue);
    }
  }
  StoreData->AddValueByName(name, row, CurrentValue, "", CurrentValueId);
  return true;
}

bool TValidate::ValidateField(const std::string& name, int row, long double valueId,
                              const std::string& value) {
  ErrorText.clear();
  TFld* f = StructDef->GetField(name);
  if (!f) return false;
  CurrentField = f;
  // A number is checked and stored as the variable sees it: rounded to the field's
  // decimals, so that the checks judge what is stored.
  const std::string incoming = value;  // value may be CurrentValue itself
  CurrentValue = LowerStr(f->type) == "n" ? RoundToDecimals(incoming) : incoming;
  CurrentValueId = valueId;
  Eval->SetVar(f->name, TypeLetter(f->type), CurrentValue);
  if (f->sourcekey) Eval->SetVar("id_" + f->name, 'n', TStoreData::IdText(valueId));
  if (!CheckField(row)) return false;
  StoreData->AddValueByName(name, row, CurrentValue, "", CurrentValueId);
  return true;
}

std::string TValidate::RoundToDecimals(const std::string& text) const {
  if (text.empty()) return text;
  // Worked on the decimal digits themselves, never through a double and its number text: a
  // number keeps its value however many digits it has, and is written in plain digits.
  // A number text as the evaluator writes it (exponent form included) is taken as it is;
  // any other text keeps only its sign, point and digits ("1,234.50 Dr").
  TExactNumber n;
  const std::string bare = StripCommas(text);
  const bool exponentForm =
      ParseExactNumber(bare, n) && bare.find_first_of("eE") != std::string::npos;
  bool isNumber = true;
  if (!exponentForm) {
    const std::string clean = TEVAL::KeepNumericChars(bare);
    isNumber = ParseExactNumber(clean.empty() ? "0" : clean, n);
  }
  const int decimals = CurrentField ? CurrentField->Decimals : 0;
  if (decimals == 0) return exponentForm ? PlainNumberText(n) : text;
  if (!isNumber) n = TExactNumber();  // no number at all counts as 0
  return RoundedNumberText(n, decimals);
}

double TValidate::NumberOrNaN(const std::string& text) {
  try {
    return ToFloat(text);
  } catch (const EConvertError&) {
    return std::nan("");
  }
}

// ---------------------------------------------------------------- queries

int TValidate::RowCount(TXDS& query) {
  if (query.Cached && query.ClientDataSet) return query.ClientDataSet->RecordCount();
  int n = 0;
  for (query.First(); !query.Eof(); query.Next()) ++n;
  query.First();
  return n;
}

std::string TValidate::TemplateOf(const TXDS& query) const {
  if (!StructDef) return "";
  for (const auto& f : StructDef->Fields)
    if (f->ListQuery.get() == &query) return f->DependentSQL;
  for (const auto& g : StructDef->GridMaps)
    if (g->ListQuery.get() == &query) return g->DependentSQL;
  return "";
}

void TValidate::RunFieldSQL(TXDS& query, int row) { RunQuery(query, row, true); }

void TValidate::RunQuery(TXDS& query, int row, bool open) {
  const std::string tmpl = TemplateOf(query);
  if (tmpl.find('{') != std::string::npos || tmpl.find("(:") != std::string::npos) {
    const std::string s = ExpandTemplate(tmpl, row);
    if (UpperStr(TrimStr(s)) != UpperStr(TrimStr(query.GetSQL().Text()))) {
      query.Close();
      query.GetSQL().SetText(s);
    }
  }
  Trace("#savelevel#");
  Trace("#startcache#");
  Trace("# 1#Firing SQL : " + query.GetSQL().Text());
  try {
    std::vector<std::string> names = query.GetParamNames();
    for (size_t k = 0; k < names.size(); ++k) {
      const std::string& param = names[k];
      if (LowerStr(param).rfind("id__", 0) == 0) {
        // "id__" asks for the record id that a look-up value stands for; a plain number
        // field gives its value.
        const std::string field = param.substr(4);
        int i = StoreData->IndexOfValue(field, row);
        if (i < 0) i = StoreData->IndexOfValue(field, 1);
        const bool hasId = i >= 0 && StoreData->Values[size_t(i)].HasId;
        query.SetParamValue(int(k),
                            hasId ? TStoreData::IdText(StoreData->Values[size_t(i)].ValueId)
                                  : GetFieldValue(field, row),
                            "n");
        continue;
      }
      int i = StoreData->IndexOfValue(param, row);
      if (i < 0) i = StoreData->IndexOfValue(param, 1);
      std::string type = i < 0 ? "c" : LowerStr(StoreData->Values[size_t(i)].FieldType);
      query.SetParamValue(int(k), GetFieldValue(param, row), type);
    }
    if (query.GetActive()) {
      Trace("#clearcache#");
    } else {
      if (open) query.Open();
      Trace("#endcache#");
    }
  } catch (...) {
    Trace("#endcache#");
    Trace("#resetlevel#");
    throw;
  }
  Trace("#resetlevel#");
}

std::string TValidate::ExpandTemplate(const std::string& tmpl, int row) {
  auto isNumberField = [&](const std::string& name) {
    TFld* f = StructDef->GetField(name);
    return f && UpperStr(f->type) == "N";
  };
  // One walk over the template: whether a place lies inside a quoted literal is read from
  // the template alone ('' inside a literal toggles twice), and a value, once placed, is
  // never read again as a name or a group.
  std::string s;
  bool inside = false;
  size_t i = 0;
  while (i < tmpl.size()) {
    const char c = tmpl[i];
    if (c == '{') {
      const size_t e = tmpl.find('}', i);
      if (e == std::string::npos) throw EDatabaseError("Invalid SQL", tmpl);
      const std::string name = tmpl.substr(i + 1, e - i - 1);
      std::string value = GetFieldValue(name, row);
      const bool number = isNumberField(name);
      if (number) {
        value = StripCommas(value);
        if (value.empty()) value = "0";
      }
      Trace("# 4#" + name + " = " + value);
      s += TemplateValue(value, inside, number);
      i = e + 1;
      continue;
    }
    if (c == '(' && tmpl.compare(i, 2, "(:") == 0) {
      const size_t e = tmpl.find(')', i);
      if (e != std::string::npos) {
        const std::string name = tmpl.substr(i + 2, e - i - 2);
        const std::string value = GetFieldValue(name, -1);
        // An empty group holds one blank text.
        const std::string inner = value.empty() ? "' '" : value;
        const bool number = !value.empty() && isNumberField(name);
        const std::string replacement = "(" + TemplateValue(inner, inside, number) + ")";
        Trace("# 4#" + name + " = " + replacement);
        s += replacement;
        i = e + 1;
        continue;
      }
    }
    if (c == '\'') inside = !inside;
    s += c;
    ++i;
  }
  return s;
}

TXDS* TValidate::FindExprQuery(const std::string& name) const {
  for (const auto& q : ExprQueries)
    if (q->Name == name) return q.get();
  return nullptr;
}

void TValidate::CloseDatasets() {
  for (auto& q : ExprQueries)
    if (q) q->Close();
  for (auto* slot : {&UniqueQuery, &QuerySlot2, &QuerySlot3, &QuerySlot4})
    if (*slot) (*slot)->Close();
}

void TValidate::Renew() {
  CloseDatasets();
  // A list query stays open from one field and run to the next within a document, which
  // RunFieldSQL relies on; across documents it would answer with rows that earlier
  // documents have changed since (a list of stored invoices, a customer's balance).
  if (StructDef) {
    for (const auto& f : StructDef->Fields)
      if (f->ListQuery) f->ListQuery->Close();
    for (const auto& g : StructDef->GridMaps)
      if (g->ListQuery) g->ListQuery->Close();
  }
  // A named query belongs to the document that fired it: sqlget and findrecord of the next
  // document find none until it fires its own.
  ExprQueries.clear();
  CurrentQuery = nullptr;
  CurrentField = nullptr;
  CurrentValue.clear();
  CurrentValueId = 0;
  CurrentHasValue = true;
  CurrentFrame = ParentRow = ParentFrame = PublishedParentRow = 0;
  ValidRowIndex = -1;
  ErrorText.clear();
}

}  // namespace v7
