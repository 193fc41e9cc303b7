#include <stdexcept>

#include "uValidate.h"

namespace v7 {

void TValidate::OnFireSql(const std::string& name, const std::string& sql) {
  const std::string queryName = "Expr_" + name;
  TXDS* q = FindExprQuery(queryName);
  if (q) {
    q->Close();
  } else {
    auto made = Manager()->NewQuery();
    made->Name = queryName;
    made->SetCached(true);
    q = made.get();
    ExprQueries.push_back(std::move(made));
  }
  CurrentQuery = q;
  q->GetSQL().SetText(sql);
  const bool select = TEVAL::IsSelectStatement(sql);
  if (Eval) Eval->NoteScriptStatement(sql);
  // A statement is executed once, below: opening it first would run it twice.
  RunQuery(*q, 0, select);
  if (!select) {
    q->ExecSQL();
  } else if (!q->GetActive()) {
    q->Open();
  }
}

void TValidate::OnSqlGet(const std::string& name, const std::string& field, std::string& result) {
  TXDS* q = FindExprQuery("Expr_" + name);
  if (!q) return;
  if (!q->FindField(field)) throw std::runtime_error("Unable to Evaluate an expression : SQLGet");
  result = q->IsEmpty() ? "" : q->FieldByName(field).GetAsString();
}

void TValidate::OnFindRecord(const std::string& name, const std::string& field,
                             const std::string& value, std::string& result) {
  TXDS* q = FindExprQuery("Expr_" + name);
  if (!q) return;
  int index = -1;
  const auto& columns = q->GetFields();
  for (size_t k = 0; k < columns.size(); ++k)
    if (SameStrNoCase(columns[k].Name, field)) index = int(k);
  if (index < 0) throw std::runtime_error("Unable to Evaluate an expression : SQLGet" + field);
  const TDbKind kind = columns[size_t(index)].Kind;
  bool found;
  if (kind == TDbKind::Integer || kind == TDbKind::Float) {
    // Read as a record id is read: exactly, so that an id of 16 digits finds its own row.
    long double number = 0;
    found = TryStrToRecordId(value, number) && q->LocateFloat(field, number);
  } else {
    found = q->Locate(field, value, true);
  }
  result.assign(1, found ? 'T' : 'F');
}

void TValidate::OnGetSqlValue(const std::string& sql, const std::string& field,
                              std::string& result) {
  // The current query (a field's list or the last named query) answers when it already
  // runs this statement, on its current row. Another statement runs in a slot of its own:
  // giving a field's list query foreign text would make the field's next fill use it.
  TXDS* q = CurrentQuery;
  const std::string wanted = LowerStr(TrimStr(sql));
  if (Eval) Eval->NoteScriptStatement(sql);
  if (!q || LowerStr(TrimStr(q->GetSQL().Text())) != wanted) {
    if (!QuerySlot2) {
      QuerySlot2 = Manager()->NewQuery();
      QuerySlot2->SetCached(true);
    }
    q = QuerySlot2.get();
    if (LowerStr(TrimStr(q->GetSQL().Text())) != wanted) {
      q->Close();
      q->GetSQL().Clear();
      q->GetSQL().SetText(sql);
    }
  }
  RunQuery(*q, 0, true);
  if (!q->GetActive()) q->Open();
  result = q->IsEmpty() ? "" : q->FieldByName(field).GetAsString();
}

void TValidate::OnSetSequence(const std::string& transType, const std::string& field,
                              const std::string& prefix) {
  if (field.empty()) return;
  TStoreData* store = Eval && Eval->StoreData ? Eval->StoreData : StoreData;
  if (store) store->FindSequence(transType, field, prefix);
}

}  // namespace v7
