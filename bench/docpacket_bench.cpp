// Document packets of the sample product applied through the client's Postdata to a SQLite
// site: sales invoices (each with its generated approved invoice, receipt and one journal
// voucher per item row), each packet in its own transactions as the receive step applies
// it. Reports documents per second for 10-row invoices, and the cost per row of invoices of
// 10 to 2,000 rows; prints the ratio of the cost per row at 2,000 rows to that at 100.
// Also 150 journal vouchers in one receive step whose aftersave script reads, or writes (a
// writing script makes the step drop the facades it keeps for later packets).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "SampleProduct.h"
#include "TestSupport.h"
#include "uConsoleView.h"
#include "uMain.h"

namespace {

// One sales invoice of n item rows, new (record id 0: the site gives it an id).
std::string Invoice(int rows) {
  static const char* const kItems[] = {"<item id=\"201\">Blue Pen</item>",
                                       "<item id=\"202\">Men's Shirt</item>",
                                       "<item id=\"203\">Notebook</item>"};
  std::string xml =
      "<doc user=\"anita\" siteno=\"3\" transid=\"salesinv\" recordid=\"0\">"
      "<invdate>20/06/2026</invdate><customer id=\"101\">Acme Stores</customer>"
      "<paymode>Cash</paymode>";
  int total = 0;
  for (int r = 0; r < rows; ++r) {
    const int qty = 1 + r % 7;
    total += 10 * qty;
    xml += std::string(kItems[r % 3]) + "<qty>" + std::to_string(qty) + "</qty><amount>" +
           std::to_string(10 * qty) + "</amount>";
  }
  return xml + "<totalamt>" + std::to_string(total) + "</totalamt></doc>";
}

// One journal voucher, new; its aftersave script writes when the narration is "writes".
std::string Voucher(const std::string& narration) {
  return "<doc user=\"anita\" siteno=\"3\" transid=\"jv\" recordid=\"0\"><vchdate>01/07/2026"
         "</vchdate><narration>" +
         narration +
         "</narration><mid id=\"111\">Cash</mid><porm>1</porm><amount>100</amount>"
         "<mid id=\"112\">Bank</mid><porm>2</porm><amount>40</amount></doc>";
}

// The vouchers' script: a count kept in a table of its own, or a read of it.
const char* const kVoucherScript[] = {
    "create table voucherlog (n integer)",
    "insert into voucherlog values (0)",
    "insert into exprset (exprsetid, transid, expression) values (94, 'jv', '{aftersave}\n"
    "x := firesql({log}, iif(narration = {writes}, {update voucherlog set n = n + 1}, "
    "{select n from voucherlog}))')",
};

// A sample site with the client connected to it, as in the receive step.
struct Site {
  v7test::TempDir dir;
  v7test::SiteDb site{dir.path()};
  v7test::WorkingFolder cwd{dir.path()};
  std::ostringstream pane, boxes;
  v7::ConsoleView view{pane, boxes};
  std::unique_ptr<v7::TfmV7Client> client;
  std::map<int, std::string> packets;

  explicit Site(bool voucherScript = false) {
    v7test::ApplySampleProduct(site, false);
    if (voucherScript)
      for (const char* sql : kVoucherScript) site.Exec(sql);
    client = std::make_unique<v7::TfmV7Client>(view);
    std::string err;
    client->ConnectProject("site", err);
    if (!err.empty()) std::fprintf(stderr, "connect: %s\n", err.c_str());
  }
  const std::string& Packet(int rows) {
    auto it = packets.find(rows);
    if (it != packets.end()) return it->second;
    const std::string file = dir.path() + "/invoice" + std::to_string(rows) + ".xml";
    v7test::WriteFile(file, Invoice(rows));
    return packets[rows] = file;
  }
  bool Apply(benchmark::State& state, int rows) { return ApplyFile(state, Packet(rows)); }
  bool ApplyFile(benchmark::State& state, const std::string& file) {
    std::string err;
    client->Postdata(file, err);
    if (err.empty()) return true;
    state.SkipWithError(err.c_str());
    return false;
  }
};

Site& TheSite() {
  static Site site;
  return site;
}

// 150 vouchers in one step: their script reads (0) or writes (1).
void BM_Vouchers150(benchmark::State& state) {
  static Site site(true);
  const bool writes = state.range(0) != 0;
  const std::string file = site.dir.path() + (writes ? "/writes.xml" : "/reads.xml");
  v7test::WriteFile(file, Voucher(writes ? "writes" : "reads"));
  for (auto _ : state)
    for (int n = 0; n < 150; ++n)
      if (!site.ApplyFile(state, file)) return;
}
BENCHMARK(BM_Vouchers150)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

void BM_DocPacket10Rows(benchmark::State& state) {
  Site& site = TheSite();
  site.Apply(state, 10);  // the first packet of a run pays for warming the caches
  for (auto _ : state)
    if (!site.Apply(state, 10)) break;
  state.counters["docs/second"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DocPacket10Rows)->Unit(benchmark::kMillisecond)->MinTime(3)->UseRealTime();

void BM_DocPacketRows(benchmark::State& state) {
  Site& site = TheSite();
  const int rows = static_cast<int>(state.range(0));
  for (auto _ : state)
    if (!site.Apply(state, rows)) break;
  state.counters["us/row"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}
BENCHMARK(BM_DocPacketRows)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(2000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();

// Keeps the time per iteration of each benchmark for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds[run.benchmark_name()] = run.GetAdjustedRealTime() / 1e3;
        cpuSeconds[run.benchmark_name()] = run.GetAdjustedCPUTime() / 1e3;
      }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds, cpuSeconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto findIn = [](const std::map<std::string, double>& times, const std::string& prefix) {
    for (const auto& [name, t] : times)
      if (name.rfind(prefix, 0) == 0) return t;
    return 0.0;
  };
  auto find = [&](const std::string& prefix) { return findIn(reporter.seconds, prefix); };
  // Both clocks: on a machine shared with other work the processor time is the steadier.
  if (double t = find("BM_DocPacket10Rows"); t > 0)
    std::printf("docpacket docs/second (10 rows): %.1f\n", 1 / t);
  if (double t = findIn(reporter.cpuSeconds, "BM_DocPacket10Rows"); t > 0)
    std::printf("docpacket docs/cpu-second (10 rows): %.1f\n", 1 / t);
  for (int rows : {10, 100, 1000, 2000})
    if (double t = find("BM_DocPacketRows/" + std::to_string(rows) + "/"); t > 0)
      std::printf("docpacket us/row at %d rows: %.1f\n", rows, t * 1e6 / rows);
  for (const auto* times : {&reporter.seconds, &reporter.cpuSeconds}) {
    const double reads = findIn(*times, "BM_Vouchers150/0/");
    const double writes = findIn(*times, "BM_Vouchers150/1/");
    if (reads > 0 && writes > 0)
      std::printf("docpacket 150 vouchers%s: script reads %.3f s, writes %.3f s, ratio %.2f\n",
                  times == &reporter.cpuSeconds ? " (cpu)" : "", reads, writes, writes / reads);
  }
  for (const auto* times : {&reporter.seconds, &reporter.cpuSeconds}) {
    const double t100 = findIn(*times, "BM_DocPacketRows/100/");
    const double t2000 = findIn(*times, "BM_DocPacketRows/2000/");
    if (t100 > 0 && t2000 > 0)
      std::printf("ratio cost per row 2000 rows / 100 rows%s: %.2f (target <= 1.5)\n",
                  times == &reporter.cpuSeconds ? " (cpu)" : "", (t2000 / 2000) / (t100 / 100));
  }
  benchmark::Shutdown();
  return 0;
}
