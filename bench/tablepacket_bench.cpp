// Applying table packets of 1,000, 10,000 and 100,000 rows to a SQLite site file through
// Postdata (one commit per row, then the durable point the receive step makes before the
// server's copy goes): rows per second as inserts into an empty table and as updates of the
// rows already there. Beside it, a plain sqlite3 loop: one prepared upsert per row, each its
// own commit, on a file with the same journal and sync settings, and the same sync at the
// end. Prints the ratio project / raw for each size.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "uGeneralFunctions.h"
#include "uPacket.h"
#include "uSqliteBackend.h"
#include "uXDS.h"

namespace {

const char* kCreate =
    "create table item (itemid numeric primary key, itemname varchar(60), "
    "price double precision, stockqty double precision)";

std::string TempFolder() {
  char tmpl[] = "/tmp/v7tablepacket-XXXXXX";
  return mkdtemp(tmpl);
}

struct Site {
  std::string folder = TempFolder();
  std::shared_ptr<v7::TSqliteBackend> db = std::make_shared<v7::TSqliteBackend>();
  std::map<int, std::string> packets;
  v7::TPacketTarget target;

  Site() {
    db->Open(folder + "/site.mdb");
    db->Execute(kCreate);
    v7::DbDateTemplate = "format(':value', 'dd/mm/yyyy hh:nn:ss')";
    target.NewQuery = [this] { return std::make_unique<v7::TXDS>("ado", db, nullptr, "access"); };
  }
  ~Site() {
    db->Close();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  const std::string& Packet(int rows) {
    auto it = packets.find(rows);
    if (it != packets.end()) return it->second;
    const std::string file = folder + "/rows" + std::to_string(rows) + ".xml";
    std::ofstream out(file);
    out << "<?xml version=\"1.0\"?>\n<rows table=\"item\">\n";
    for (int i = 1; i <= rows; ++i)
      out << "<row recordid=\"" << 700010000 + i << "\"><itemid type=\"n\">" << 700010000 + i
          << "</itemid><itemname type=\"c\">Item " << i << "</itemname><price type=\"n\">"
          << i % 997 << ".25</price><stockqty type=\"n\">" << i % 50 << "</stockqty></row>\n";
    out << "</rows>\n";
    return packets[rows] = file;
  }
  void Apply(benchmark::State& state, int rows) {
    std::string err;
    v7::Postdata(Packet(rows), target, err);
    if (!err.empty()) state.SkipWithError(err.c_str());
    db->MakeDurable();
  }
};

Site& TheSite() {
  static Site site;
  return site;
}

void BM_TablePacketInsert(benchmark::State& state) {
  Site& site = TheSite();
  const int rows = static_cast<int>(state.range(0));
  site.Packet(rows);
  for (auto _ : state) {
    state.PauseTiming();
    site.db->Execute("delete from item");
    state.ResumeTiming();
    site.Apply(state, rows);
  }
  state.counters["rows/second"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_TablePacketUpdate(benchmark::State& state) {
  Site& site = TheSite();
  const int rows = static_cast<int>(state.range(0));
  site.Apply(state, rows);  // every row exists from here on
  for (auto _ : state) site.Apply(state, rows);
  state.counters["rows/second"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
}

// The same rows by sqlite3 alone: one prepared upsert of the same four columns (the packet
// writes its key column too), one commit per row.
struct RawSite {
  std::string folder = TempFolder();
  sqlite3* db = nullptr;
  sqlite3_stmt* upsert = nullptr;

  RawSite() {
    sqlite3_open((folder + "/raw.db").c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db,
                       "insert into item (itemid, itemname, price, stockqty) values (?, ?, ?, ?) "
                       "on conflict (itemid) do update set itemid = excluded.itemid, itemname = "
                       "excluded.itemname, "
                       "price = excluded.price, stockqty = excluded.stockqty",
                       -1, &upsert, nullptr);
  }
  ~RawSite() {
    sqlite3_finalize(upsert);
    sqlite3_close(db);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  void Apply(benchmark::State& state, int rows) {
    char name[32];
    for (int i = 1; i <= rows; ++i) {
      std::snprintf(name, sizeof name, "Item %d", i);
      sqlite3_bind_int64(upsert, 1, 700010000 + i);
      sqlite3_bind_text(upsert, 2, name, -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(upsert, 3, i % 997 + 0.25);
      sqlite3_bind_double(upsert, 4, i % 50);
      if (sqlite3_step(upsert) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
      sqlite3_reset(upsert);
    }
    // The same durable point as the project's: a sync of the log.
    sqlite3_file* log = nullptr;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log);
    if (log && log->pMethods) log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
  }
};

RawSite& TheRawSite() {
  static RawSite site;
  return site;
}

void BM_RawInsert(benchmark::State& state) {
  RawSite& site = TheRawSite();
  const int rows = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3_exec(site.db, "delete from item", nullptr, nullptr, nullptr);
    state.ResumeTiming();
    site.Apply(state, rows);
  }
  state.counters["rows/second"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RawUpdate(benchmark::State& state) {
  RawSite& site = TheRawSite();
  const int rows = static_cast<int>(state.range(0));
  site.Apply(state, rows);
  for (auto _ : state) site.Apply(state, rows);
  state.counters["rows/second"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->MinTime(1)->UseRealTime();
}
BENCHMARK(BM_TablePacketInsert)->Apply(Sizes);
BENCHMARK(BM_RawInsert)->Apply(Sizes);
BENCHMARK(BM_TablePacketUpdate)->Apply(Sizes);
BENCHMARK(BM_RawUpdate)->Apply(Sizes);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto find = [&](const std::string& prefix) {
    for (const auto& [name, t] : reporter.times)
      if (name.rfind(prefix, 0) == 0) return t;
    return 0.0;
  };
  for (const char* kind : {"Insert", "Update"})
    for (int rows : {1000, 10000, 100000}) {
      const std::string n = "/" + std::to_string(rows) + "/";
      const double project = find(std::string("BM_TablePacket") + kind + n);
      const double raw = find(std::string("BM_Raw") + kind + n);
      if (project > 0 && raw > 0)
        std::printf(
            "ratio table packet / raw sqlite3 rows per second, %s %d rows: %.2f "
            "(target >= 0.33)\n",
            kind, rows, raw / project);
    }
  benchmark::Shutdown();
  return 0;
}
