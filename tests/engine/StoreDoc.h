// A document store of the sample product on a real SQLite site, as the facade prepares it,
// and the message of a step that fails.
#pragma once

#include <functional>
#include <string>

#include "SampleProduct.h"
#include "uStoreData.h"

namespace v7test {

template <class Store = v7::TStoreData>
struct StoreDoc {
  explicit StoreDoc(const std::string& type) : def(s.mgr.get(), ":" + type), store(&def, type) {
    Prepare(store);
  }
  void Prepare(v7::TStoreData& st) {
    st.SetPrimaryTable(def.PrimaryTable);
    st.SetSiteNo(v7::SiteNo);
    st.UserName = "tester";
  }
  std::string Sql(const std::string& sql) const { return s.site.Scalar(sql); }
  SampleSite s;
  v7::TStructDef def;
  Store store;
};

inline std::string Error(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace v7test
