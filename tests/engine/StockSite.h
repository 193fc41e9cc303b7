// A movement table STOCKVALUE of the tests' own on a connected site (of any database kind),
// and the sample site with a definition to which a valuer can be linked.
#pragma once

#include <memory>
#include <string>

#include "PgSite.h"
#include "SampleProduct.h"
#include "uDBManager.h"
#include "uDbDates.h"
#include "uStructDef.h"

namespace v7test {

inline double Day(int year, int month, int day) { return Date(year, month, day); }

class StockTable {
 public:
  explicit StockTable(v7::TDBManager* mgr) : mgr_(mgr) { MakeTable(true); }

  // Makes STOCKVALUE afresh, with or without its CANCEL column.
  void MakeTable(bool withCancel) {
    Run("drop table if exists stockvalue");
    Run(std::string("create table stockvalue (stockvalueid numeric primary key, itemid numeric, "
                    "locid numeric, docdate date, doctime varchar(8), plusorminus varchar(1), "
                    "qty numeric, stockvalue numeric, t1sourceid numeric") +
        (withCancel ? ", cancel varchar(1))" : ")"));
    withCancel_ = withCancel;
  }

  void Add(long long id, long long item, long long loc, double date, const std::string& pm,
           const std::string& qty, const std::string& value, int source = 0,
           const std::string& cancel = "", const std::string& time = "") {
    auto q = mgr_->NewQuery();
    q->GetSQL().SetText("insert into stockvalue values (:id, :item, :loc, :d, :t, :pm, :q, :v, :s" +
                        std::string(withCancel_ ? ", :c)" : ")"));
    for (auto [name, v] : {std::pair{"id", id}, {"item", item}, {"loc", loc}, {"s", source}})
      q->ParamByName(name).SetAsInteger(v);
    for (auto [name, v] : {std::pair{"t", time}, {"pm", pm}, {"q", qty}, {"v", value}})
      q->ParamByName(name).SetAsString(v);
    q->ParamByName("d").SetAsDateTime(date);
    if (withCancel_) q->ParamByName("c").SetAsString(cancel);
    q->ExecSQL();
  }

  void Run(const std::string& sql) {
    auto q = mgr_->NewQuery();
    q->GetSQL().SetText(sql);
    q->ExecSQL();
  }

 private:
  v7::TDBManager* mgr_;
  bool withCancel_ = true;
};

struct SampleSiteHolder {
  SampleSite s{false};
};

// The sample site without documents, its sales invoice definition and a STOCKVALUE (the
// site comes first, as the first base).
struct StockSite : SampleSiteHolder, StockTable {
  StockSite() : StockTable(s.mgr.get()), def(s.mgr.get(), ":salesinv") {}
  v7::TStructDef def;
};

// The sample product without documents on a throwaway PostgreSQL cluster, connected as
// the project "pgsite" of kind "postgre". Skip() / Failure() as those of the site.
struct PgSampleSite {
  PgSampleSite() {
    if (!pg.Ready()) return;
    mgr = pg.Site().NewManager();
    connected = mgr->Connect(PgSite::kProject);
  }
  const std::string& Skip() const { return pg.Skip(); }
  const std::string& Failure() const { return pg.Failure(); }
  PgSite pg{PgSite::Content::Product};
  std::unique_ptr<v7::TDBManager> mgr;
  bool connected = false;
};

}  // namespace v7test
