// Cost of writing rows through the query object's row buffer (SetValue, PostInsert: one
// generated literal statement per row) against a plain prepared SQLite insert of the same
// rows, in the same run. Prints the ratio row buffer / raw at the end (and against the same
// literal statements run by SQLite alone).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "uDbDates.h"
#include "uGeneralFunctions.h"
#include "uSqliteBackend.h"
#include "uXDS.h"

namespace {

constexpr int kRows = 1000;
const char* kCreate =
    "create table item (code varchar(20), name varchar(40), qty numeric, price numeric, "
    "docdate date)";

std::string TempFile(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string(name) + "-" + std::to_string(getpid()) + ".db"))
      .string();
}

void RemoveDb(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

// A fresh file at path holding the empty item table, opened by SQLite alone as the site
// opens it (write-ahead log).
sqlite3* OpenRawDb(const std::string& path) {
  RemoveDb(path);
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
  return db;
}

// The rows' date, 31/12/2005, as the Julian day the site file stores.
double RowJulianDate() {
  double date = 0;
  v7::DateTimeFromParts(2005, 12, 31, 0, 0, 0, date);
  return v7::JulianFromDateTime(date);
}

void BM_RowBufferInsert(benchmark::State& state) {
  v7::DbDateTemplate = "format(':value', 'dd/mm/yyyy hh:nn:ss')";
  const std::string path = TempFile("rowbuffer-bench");
  RemoveDb(path);
  auto db = std::make_shared<v7::TSqliteBackend>();
  db->Open(path);
  db->Execute(kCreate);
  v7::TXDS q("dbx", db);
  for (auto _ : state) {
    db->StartTransaction();
    for (int i = 0; i < kRows; ++i) {
      q.SetValue("code", "C" + std::to_string(i), "c");
      q.SetValue("name", "Item number " + std::to_string(i), "c");
      q.SetValue("qty", std::to_string(i % 50), "n");
      q.SetValue("price", "12.75", "n");
      q.SetValue("docdate", "31/12/2005", "d");
      q.PostInsert("item");
    }
    db->Commit();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  db->Close();
  RemoveDb(path);
}

void BM_RawPreparedInsert(benchmark::State& state) {
  const std::string path = TempFile("raw-bench");
  sqlite3* db = OpenRawDb(path);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "insert into item values (?, ?, ?, ?, ?)", -1, &st, nullptr);
  const double julian = RowJulianDate();
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < kRows; ++i) {
      std::string code = "C" + std::to_string(i);
      std::string name = "Item number " + std::to_string(i);
      sqlite3_bind_text(st, 1, code.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(st, 3, i % 50);
      sqlite3_bind_double(st, 4, 12.75);
      sqlite3_bind_double(st, 5, julian);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  sqlite3_finalize(st);
  sqlite3_close(db);
  RemoveDb(path);
}

// The same rows as one literal statement each, prepared and run by SQLite alone: the part of
// the row buffer's cost that comes from carrying values as literals.
void BM_RawLiteralInsert(benchmark::State& state) {
  const std::string path = TempFile("literal-bench");
  sqlite3* db = OpenRawDb(path);
  const std::string julian = std::to_string(RowJulianDate());
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < kRows; ++i) {
      std::string sql = "insert into item (code,name,qty,price,docdate) values ('C" +
                        std::to_string(i) + "','Item number " + std::to_string(i) + "','" +
                        std::to_string(i % 50) + "','12.75'," + julian + ")";
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr);
      sqlite3_step(st);
      sqlite3_finalize(st);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  sqlite3_close(db);
  RemoveDb(path);
}

BENCHMARK(BM_RowBufferInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawLiteralInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawPreparedInsert)->Unit(benchmark::kMillisecond);

// Keeps the time per iteration of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        times[run.benchmark_name()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, std::pair<double, double>> times;  // real, CPU
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // Wall time includes the commit's sync to disk, which weighs most on the raw insert;
  // CPU time shows the work of each path alone.
  auto ratio = [&](const char* base, const char* label) {
    auto b = reporter.times.find("BM_RowBufferInsert");
    auto r = reporter.times.find(base);
    if (b == reporter.times.end() || r == reporter.times.end()) return;
    std::printf("ratio row buffer / %s: %.2f wall, %.2f CPU (%d rows per iteration)\n", label,
                b->second.first / r->second.first, b->second.second / r->second.second, kRows);
  };
  ratio("BM_RawPreparedInsert", "raw");
  ratio("BM_RawLiteralInsert", "raw literal statements");
  benchmark::Shutdown();
  return 0;
}
