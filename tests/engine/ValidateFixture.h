// A validator on a new document of a sample type, wired as the document facade wires it,
// for the validator's tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "SampleProduct.h"
#include "uValidate.h"

namespace v7test {

// Expressions and event texts of the sample product as the expression language reads them:
// texts in braces, a validation expression answering "T" (a bare comparison answers "1").
// Rows still in their old form (quoted texts, bare comparisons) are rewritten; rows already
// written this way are left as they are.
inline void UseValidatorExpressions(const SiteDb& site) {
  site.Exec(
      "update repexpr set expression = 'iif(qty > 0, {T}, {F})' where exprid in (3, 8, 9) and "
      "expression not like '%{T}%'");
  site.Exec(
      "update repexpr set expression = 'iif(batchqty > 0, {T}, {F})' where exprid = 4 and "
      "expression not like '%{T}%'");
  site.Exec(
      "update repexpr set expression = 'Total({amount})' where exprid in (2, 6) and "
      "expression not like '%{amount}%'");
  site.Exec(
      "update repexpr set expression = 'iif(GetLength(remarks) < 21, {T}, {too long})' "
      "where exprid = 7 and expression not like '%{T}%'");
  site.Exec(
      "update exprset set expression = '{AfterSave}\naftersavestatus := {T}' "
      "where exprsetid = 1 and expression not like '%{T}%'");
  site.Exec(
      "update exprset set expression = '{onpostgenmap}\nremarks := {mapped}\n{aftersave}\n"
      "aftersavestatus := {_Saved}\ndisplayfieldname := {ordno}\n{afterdelete}\n"
      "deletedstatus := {D}\n{aftercancel}\ncancelledstatus := {C}' where exprsetid = 3 and "
      "expression not like '%{_Saved}%'");
}

struct ValidatorSite {
  explicit ValidatorSite(const std::string& type, const std::string& onsave = "s",
                         const std::string& setupSql = "")
      : s(true), def((Setup(s.site, setupSql), s.mgr.get()), ":" + type), store(&def, type) {
    store.SetPrimaryTable(def.PrimaryTable);
    store.OnLog = [this](const std::string& line) { log.push_back(line); };
    v.StructDef = &def;
    v.SetStoreData(&store);
    v.Eval->DBManager = s.mgr.get();
    for (const auto& f : def.Fields) {
      f->ExprnId = f->ExprnText.empty() ? -1 : v.Eval->Compile(f->ExprnText);
      f->ValidateExprId = f->ValidateExprText.empty() ? -1 : v.Eval->Compile(f->ValidateExprText);
    }
    v.Eval->SetVar("onsave", 'c', onsave);
  }
  static void Setup(const SiteDb& site, const std::string& setupSql) {
    UseValidatorExpressions(site);
    if (!setupSql.empty()) site.Exec(setupSql);
  }
  void Set(const std::string& name, int row, const std::string& value, long double id = 0) {
    store.AddValueByName(name, row, value, "", id);
  }
  std::string Value(const std::string& name, int row) const { return store.GetValue(name, row); }
  long double Id(const std::string& name, int row) const {
    int i = store.IndexOfValue(name, row);
    return i < 0 ? -1 : store.Values[size_t(i)].ValueId;
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  SampleSite s;
  v7::TStructDef def;
  v7::TStoreData store;
  v7::TValidate v;
  std::vector<std::string> log;
};

}  // namespace v7test
