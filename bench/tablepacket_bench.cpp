// Applying a 10,000-row table packet to a SQLite site file: rows per second, first as
// inserts into an empty table, then as updates of the rows already there.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "uGeneralFunctions.h"
#include "uPacket.h"
#include "uSqliteBackend.h"
#include "uXDS.h"

namespace {

constexpr int kRows = 10000;

struct Site {
  std::string folder;
  std::shared_ptr<v7::TSqliteBackend> db = std::make_shared<v7::TSqliteBackend>();
  std::string packet;
  v7::TPacketTarget target;

  Site() {
    char tmpl[] = "/tmp/v7tablepacket-XXXXXX";
    folder = mkdtemp(tmpl);
    db->Open(folder + "/site.mdb");
    db->Execute(
        "create table item (itemid numeric primary key, itemname varchar(60), "
        "price double precision, stockqty double precision)");
    v7::DbDateTemplate = "format(':value', 'dd/mm/yyyy hh:nn:ss')";
    target.NewQuery = [this] { return std::make_unique<v7::TXDS>("ado", db, nullptr, "access"); };
    packet = folder + "/rows.xml";
    std::ofstream out(packet);
    out << "<?xml version=\"1.0\"?>\n<rows table=\"item\">\n";
    for (int i = 1; i <= kRows; ++i)
      out << "<row recordid=\"" << 700010000 + i << "\"><itemid type=\"n\">" << 700010000 + i
          << "</itemid><itemname type=\"c\">Item " << i << "</itemname><price type=\"n\">"
          << i % 997 << ".25</price><stockqty type=\"n\">" << i % 50 << "</stockqty></row>\n";
    out << "</rows>\n";
  }
  ~Site() {
    db->Close();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }

  void Apply(benchmark::State& state) {
    std::string err;
    v7::Postdata(packet, target, err);
    if (!err.empty()) state.SkipWithError(err.c_str());
  }
};

Site& TheSite() {
  static Site site;
  return site;
}

void BM_TablePacketInsert(benchmark::State& state) {
  Site& site = TheSite();
  for (auto _ : state) {
    state.PauseTiming();
    site.db->Execute("delete from item");
    state.ResumeTiming();
    site.Apply(state);
  }
  state.counters["rows/second"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_TablePacketUpdate(benchmark::State& state) {
  Site& site = TheSite();
  site.Apply(state);  // every row exists from here on
  for (auto _ : state) site.Apply(state);
  state.counters["rows/second"] =
      benchmark::Counter(static_cast<double>(kRows), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_TablePacketInsert)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_TablePacketUpdate)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
