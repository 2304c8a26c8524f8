// Speed of the JSON writer against memcpy of the same bytes, in one run.
// Prints, after Google Benchmark's table, each writer case's throughput as a
// fraction of memcpy's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "korvanta/json.hpp"

namespace {

using korvanta::JsonLayout;
using korvanta::JsonWriter;

constexpr std::size_t kMiB = 1 << 20;

std::string ascii_prompt() {
  std::string text;
  text.reserve(kMiB);
  while (text.size() < kMiB) text += "The quick brown fox jumps over the lazy dog; ";
  text.resize(kMiB);
  return text;
}

// Prose with a line feed about every 80 bytes.
std::string lined_prompt() {
  std::string text = ascii_prompt();
  for (std::size_t i = 79; i < text.size(); i += 80) text[i] = '\n';
  return text;
}

void BM_Memcpy1MiB(benchmark::State& state) {
  const std::string text = ascii_prompt();
  std::vector<char> out(text.size() + 2);
  for (auto _ : state) {
    std::memcpy(out.data() + 1, text.data(), text.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Memcpy1MiB);

void write_string(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    JsonWriter out(JsonLayout::Compact);
    out.string(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_WriteString1MiBAscii(benchmark::State& state) { write_string(state, ascii_prompt()); }
BENCHMARK(BM_WriteString1MiBAscii);

void BM_WriteString1MiBLineFeedEvery80(benchmark::State& state) { write_string(state, lined_prompt()); }
BENCHMARK(BM_WriteString1MiBLineFeedEvery80);

// Collects bytes per second by benchmark name while printing the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto bytes = run.counters.find("bytes_per_second");
      if (bytes != run.counters.end()) rates_[run.benchmark_name()] = bytes->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    const auto base = rates_.find("BM_Memcpy1MiB");
    if (base == rates_.end()) return;
    std::printf("\nthroughput as a fraction of memcpy of the same 1 MiB:\n");
    for (const auto& [name, rate] : rates_) {
      if (name != base->first) std::printf("  %-40s %.2f\n", name.c_str(), rate / base->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
