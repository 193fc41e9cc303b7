// Unpacking a large packet through TZDecompressionStream (in the pieces of the packet
// unpacker) against zlib's one-call uncompress; prints the ratio of their times. Each is
// measured several times and its fastest run counts: on a busy machine the mean measures the
// neighbours as much as the code.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <stdexcept>

#include "uZStream.h"

namespace {

struct Packet {
  std::string xml;
  std::string z;  // the zlib stream alone
};

const Packet& LargePacket() {
  static const Packet packet = [] {
    Packet p;
    p.xml = "<rows table=\"item\">";
    for (int i = 0; p.xml.size() < 24u * 1024 * 1024; ++i)
      p.xml += "<row recordid=\"" + std::to_string(700010000 + i) +
               "\"><itemname type=\"c\">Item " + std::to_string(i * 7919 % 100003) +
               "</itemname><price type=\"n\">" + std::to_string(i % 997) + ".5</price></row>";
    p.xml += "</rows>";
    uLongf size = compressBound(static_cast<uLong>(p.xml.size()));
    p.z.resize(size);
    compress2(reinterpret_cast<Bytef*>(p.z.data()), &size,
              reinterpret_cast<const Bytef*>(p.xml.data()), static_cast<uLong>(p.xml.size()),
              Z_DEFAULT_COMPRESSION);
    p.z.resize(size);
    return p;
  }();
  return packet;
}

void BM_ZDecompressionStream(benchmark::State& state) {
  const Packet& p = LargePacket();
  std::string out(p.xml.size(), '\0');
  for (auto _ : state) {
    v7::TMemoryStream source(p.z);
    v7::TZDecompressionStream inflater(source);
    // Straight into the output, in the unpacker's pieces of 61440 bytes.
    for (size_t done = 0; done < out.size(); done += 61440)
      inflater.ReadBuffer(out.data() + done,
                          static_cast<int64_t>(std::min<size_t>(61440, out.size() - done)));
    benchmark::DoNotOptimize(out.data());
  }
  if (out != p.xml) throw std::runtime_error("TZDecompressionStream gave other bytes");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.xml.size()));
}

void BM_ZlibUncompress(benchmark::State& state) {
  const Packet& p = LargePacket();
  std::string out(p.xml.size(), '\0');
  for (auto _ : state) {
    uLongf size = static_cast<uLongf>(out.size());
    uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
               reinterpret_cast<const Bytef*>(p.z.data()), static_cast<uLong>(p.z.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.xml.size()));
}

// Several runs of each; the fastest counts.
void Repeated(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)
      ->MinTime(0.3)
      ->Repetitions(8)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& times) {
                            return *std::min_element(times.begin(), times.end());
                          })
      ->ReportAggregatesOnly();
}

BENCHMARK(BM_ZDecompressionStream)->Apply(Repeated);
BENCHMARK(BM_ZlibUncompress)->Apply(Repeated);

// Keeps each benchmark's fastest time per iteration for the ratio printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min")
        seconds[run.run_name.function_name] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double stream = reporter.seconds["BM_ZDecompressionStream"];
  const double plain = reporter.seconds["BM_ZlibUncompress"];
  if (stream > 0 && plain > 0)
    std::cout << "TZDecompressionStream / uncompress time ratio (fastest runs): " << stream / plain
              << " (goal: at most 1.2)\n";
  benchmark::Shutdown();
  return 0;
}
