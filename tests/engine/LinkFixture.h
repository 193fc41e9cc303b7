// A sample site with a linker on the sales invoice type, for the link tests: link and
// mapping rows are written by the test, then Open() loads the links the way the facade
// does (source store, user name, definition, type, trace).
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "SampleProduct.h"
#include "uProvideLink.h"
#include "uStoreData.h"
#include "uStructDef.h"

namespace v7test {

struct LinkSite {
  // Without the sample product's own links unless asked: a test then sees only its rows.
  explicit LinkSite(const std::string& sourceType = "salesinv", bool sampleLinks = false)
      : type(sourceType) {
    if (sampleLinks) return;
    s.site.Exec("delete from linkentrydoc");
    s.site.Exec("delete from linkentrydocdetail");
  }

  // A LINKENTRYDOC row.
  void Link(int id, const std::string& source, const std::string& target, int basedOnFrame = 0,
            const std::string& selected = "T") const {
    s.site.Exec(
        "insert into linkentrydoc (linkentrydocid, selected, sourcetransid, targettransid, "
        "parentlinkdocid, basedonframe) values (" +
        std::to_string(id) + ", '" + selected + "', '" + source + "', '" + target + "', 0, " +
        std::to_string(basedOnFrame) + ")");
  }

  // A LINKENTRYDOCDETAIL row; ids are numbered by the fixture.
  void Map(int link, const std::string& targetField, int targetRow, const std::string& sourceField,
           int sourceRow = 0, const std::string& value = "", long long valueId = 0,
           const std::string& matchToId = "", const std::string& groupField = "",
           const std::string& controlField = "") {
    ++detailId;
    s.site.Exec(
        "insert into linkentrydocdetail (linkentrydocdetailid, linkentrydocid, roworder, "
        "targetfieldname, targetrowno, sourcefieldname, sourcerowno, fieldvalue, fieldidvalue, "
        "matchtoid, groupfieldname, controlfieldname) values (" +
        std::to_string(detailId) + ", " + std::to_string(link) + ", " + std::to_string(detailId) +
        ", '" + targetField + "', " + std::to_string(targetRow) + ", '" + sourceField + "', " +
        std::to_string(sourceRow) + ", '" + value + "', " + std::to_string(valueId) + ", '" +
        matchToId + "', '" + groupField + "', '" + controlField + "')");
  }

  // Builds the source definition and store and loads the links.
  void Open() {
    def = std::make_unique<v7::TStructDef>(s.mgr.get(), ":" + type);
    store = std::make_unique<v7::TStoreData>(def.get(), type);
    store->SetPrimaryTable(def->PrimaryTable);
    store->SetSiteNo(7);
    link = std::make_unique<v7::TProvideLink>();
    link->SourceStore = store.get();
    link->UserName = "quorex";
    link->SourceDef = def.get();
    link->SetTransId(type);
    link->SetTraceProc([this](const std::string& line) { log.push_back(line); });
  }

  // Makes an entry current as the poster does before mapping into its target.
  v7::TLinkEntry& Current(size_t index, int row = 1) {
    v7::TLinkEntry& e = *link->LinkEntries.at(index);
    link->CurrentEntry = &e;
    link->TargetStore = e.TargetStore.get();
    link->CurrentLinkId = e.LinkId;
    link->CurrentRow = row;
    return e;
  }

  v7::TStoreData& Target(size_t index) { return *link->LinkEntries.at(index)->TargetStore; }

  static std::string Value(const v7::TStoreData& st, const std::string& field, int row) {
    int i = st.IndexOfValue(field, row);
    return i < 0 ? "<none>" : st.Values[static_cast<size_t>(i)].Value;
  }
  static long double Id(const v7::TStoreData& st, const std::string& field, int row) {
    int i = st.IndexOfValue(field, row);
    return i < 0 ? -1 : st.Values[static_cast<size_t>(i)].ValueId;
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }

  std::string type;
  SampleSite s;
  int detailId = 0;
  std::unique_ptr<v7::TStructDef> def;
  std::unique_ptr<v7::TStoreData> store;
  std::unique_ptr<v7::TProvideLink> link;
  std::vector<std::string> log;
};

}  // namespace v7test
