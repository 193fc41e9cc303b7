// A validator on a new document of a sample type, wired as the document facade wires it,
// for the validator's tests.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "SampleProduct.h"
#include "uValidate.h"

namespace v7test {

struct ValidatorSite {
  explicit ValidatorSite(const std::string& type, const std::string& onsave = "s",
                         const std::string& setupSql = "")
      : s(true), def((Setup(s.site, setupSql), s.mgr.get()), ":" + type), store(&def, type) {
    store.SetPrimaryTable(def.PrimaryTable);
    store.OnLog = [this](const std::string& line) { log.push_back(line); };
    v.StructDef = &def;
    v.SetStoreData(&store);
    v.OnTrace = store.OnLog;  // as Validate() does, for steps run on their own
    v.Eval->DBManager = s.mgr.get();
    for (const auto& f : def.Fields) {
      f->ExprnId = f->ExprnText.empty() ? -1 : v.Eval->Compile(f->ExprnText);
      f->ValidateExprId = f->ValidateExprText.empty() ? -1 : v.Eval->Compile(f->ValidateExprText);
    }
    v.Eval->SetVar("onsave", 'c', onsave);
  }
  static void Setup(const SiteDb& site, const std::string& setupSql) {
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
