// korvanta_core against its floors: the random source and the clock for
// identifiers, timestamps and span creation; memcpy of the same bytes for the
// JSON writer. The random source's floor is its cheapest request: the
// kernel's vDSO getrandom where it has one, else the system call. After
// Google Benchmark's table it prints each case's cost as a multiple of its
// floor (or its throughput as a fraction of memcpy's).
#include <benchmark/benchmark.h>
#include <sys/random.h>
#include <time.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../core/src/os_random.hpp"
#include "../core/src/vdso_getrandom.hpp"
#include "korvanta/json.hpp"
#include "korvanta/trace_span.hpp"

namespace {

using namespace korvanta;

constexpr std::size_t kMiB = 1 << 20;

void fill_by_syscall(std::uint8_t* buf, std::size_t len) {
  if (getrandom(buf, len, 0) != static_cast<ssize_t>(len)) std::abort();
}

void fill_by_vdso(std::uint8_t* buf, std::size_t len) {
  static detail::VdsoGetrandom* const vdso = detail::VdsoGetrandom::find();
  if (vdso->read(buf, len) != static_cast<ssize_t>(len)) std::abort();
}

// The cheapest request to the OS random source.
void fill_random(std::uint8_t* buf, std::size_t len) {
  static const bool has_vdso = detail::VdsoGetrandom::find() != nullptr;
  if (has_vdso) {
    fill_by_vdso(buf, len);
  } else {
    fill_by_syscall(buf, len);
  }
}

// ---- floors ----

// 16 bytes, as an identifier takes them: through the C library (a system
// call with glibc 2.36) ...
void BM_Getrandom16(benchmark::State& state) {
  std::uint8_t buf[16];
  for (auto _ : state) {
    fill_by_syscall(buf, sizeof buf);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_Getrandom16);

// ... and through the kernel's vDSO entry with this thread's state.
void BM_VdsoGetrandom16(benchmark::State& state) {
  if (detail::VdsoGetrandom::find() == nullptr) {
    state.SkipWithError("the kernel offers no vDSO getrandom");
    return;
  }
  std::uint8_t buf[16];
  for (auto _ : state) {
    fill_by_vdso(buf, sizeof buf);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_VdsoGetrandom16);

void BM_ClockGettime(benchmark::State& state) {
  timespec ts;
  for (auto _ : state) {
    clock_gettime(CLOCK_REALTIME, &ts);
    benchmark::DoNotOptimize(ts);
  }
}
BENCHMARK(BM_ClockGettime);

// What creating a span cannot avoid: the trace id, the span id, the start time.
void BM_SpanFloor(benchmark::State& state) {
  std::uint8_t trace[16];
  std::uint8_t span[16];
  timespec ts;
  for (auto _ : state) {
    fill_random(trace, sizeof trace);
    fill_random(span, sizeof span);
    clock_gettime(CLOCK_REALTIME, &ts);
    benchmark::DoNotOptimize(trace);
    benchmark::DoNotOptimize(span);
    benchmark::DoNotOptimize(ts);
  }
}
BENCHMARK(BM_SpanFloor);

// ---- value types ----

void BM_UuidNewV4(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Uuid::new_v4());
}
BENCHMARK(BM_UuidNewV4);

void BM_UuidParse(benchmark::State& state) {
  const std::string text = "67E55044-10B1-426F-9247-BB680E5FE0C8";
  for (auto _ : state) benchmark::DoNotOptimize(Uuid::parse_str(text));
}
BENCHMARK(BM_UuidParse);

void BM_UuidFormat(benchmark::State& state) {
  const Uuid id = Uuid::new_v4();
  char text[Uuid::kTextSize];
  for (auto _ : state) {
    id.write_text(text);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_UuidFormat);

void BM_TimestampFormat(benchmark::State& state) {
  const Timestamp ts{1740819907, 123456789};
  char text[Timestamp::kMaxTextSize];
  for (auto _ : state) benchmark::DoNotOptimize(ts.write_text(text));
}
BENCHMARK(BM_TimestampFormat);

// ---- spans ----

void BM_TraceSpanNew(benchmark::State& state) {
  const TenantId tenant = TenantId::generate();
  for (auto _ : state) {
    TraceSpan span = TraceSpan::create(Uuid::new_v4(), tenant, "chat_completion", LLMProvider::Kind::OpenAI,
                                       "gpt-4", std::string());
    benchmark::DoNotOptimize(span);
  }
}
BENCHMARK(BM_TraceSpanNew);

std::string text_of(std::size_t size, bool line_feeds) {
  std::string text;
  text.reserve(size);
  while (text.size() < size) text += "The quick brown fox jumps over the lazy dog; ";
  text.resize(size);
  if (line_feeds) {
    for (std::size_t i = 79; i < text.size(); i += 80) text[i] = '\n';
  }
  return text;
}

// 1 KiB prompt, 2 KiB response, 5 tags, 3 agent actions.
TraceSpan typical_span() {
  TraceSpan span = TraceSpan::create(Uuid::new_v4(), TenantId::generate(), "chat_completion",
                                     LLMProvider::Kind::OpenAI, "gpt-4", text_of(1024, true));
  span.prompt_tokens = 230;
  span.completion_tokens = 512;
  span.total_tokens = 742;
  span.time_to_first_token_ms = 180;
  for (const char* key : {"environment", "user_tier", "region", "feature", "request_id"}) {
    span.tags.insert_or_assign(key, std::string(key) + "-value");
  }
  for (const char* name : {"search_docs", "get_weather", "send_email"}) {
    span.add_agent_action(AgentAction::create(AgentActionType::ToolCall, name)
                              .with_arguments("{\"query\": \"forecast for Paris\", \"limit\": 5}")
                              .with_result("{\"status\": \"ok\", \"items\": 3}"));
  }
  span.finish_response(text_of(2048, true));
  return span;
}

void write_span_case(benchmark::State& state, const TraceSpan& span, JsonLayout layout) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    JsonWriter out(layout);
    write_span(out, span);
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_WriteTypicalSpanCompact(benchmark::State& state) {
  write_span_case(state, typical_span(), JsonLayout::Compact);
}
BENCHMARK(BM_WriteTypicalSpanCompact);

void BM_WriteTypicalSpanIndented(benchmark::State& state) {
  write_span_case(state, typical_span(), JsonLayout::Indented);
}
BENCHMARK(BM_WriteTypicalSpanIndented);

// Short texts, the bulk of a typical span (names, tag values, identifiers of
// tools): 1024 of one length in one array, so the per-call cost shows.
void BM_WriteShortStrings(benchmark::State& state) {
  const std::string text = text_of(static_cast<std::size_t>(state.range(0)), false);
  for (auto _ : state) {
    JsonWriter out(JsonLayout::Compact, 1024 * (text.size() + 8));
    out.begin_array();
    for (int i = 0; i < 1024; ++i) {
      out.element();
      out.string(text);
    }
    out.end_array();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 1024 * text.size()));
}
BENCHMARK(BM_WriteShortStrings)->Arg(5)->Arg(16)->Arg(40)->Arg(100);

// ---- 1 MiB prompts against memcpy ----

void BM_Memcpy1MiB(benchmark::State& state) {
  const std::string text = text_of(kMiB, false);
  std::vector<char> out(text.size() + 2);
  for (auto _ : state) {
    std::memcpy(out.data() + 1, text.data(), text.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Memcpy1MiB);

void write_prompt_case(benchmark::State& state, bool line_feeds) {
  TraceSpan span = TraceSpan::create(Uuid::new_v4(), TenantId::generate(), "chat_completion",
                                     LLMProvider::Kind::OpenAI, "gpt-4", text_of(kMiB, line_feeds));
  for (auto _ : state) {
    JsonWriter out(JsonLayout::Compact);
    write_span(out, span);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kMiB));
}

void BM_WriteSpan1MiBPromptAscii(benchmark::State& state) { write_prompt_case(state, false); }
BENCHMARK(BM_WriteSpan1MiBPromptAscii);

void BM_WriteSpan1MiBPromptLineFeedEvery80(benchmark::State& state) { write_prompt_case(state, true); }
BENCHMARK(BM_WriteSpan1MiBPromptLineFeedEvery80);

// ---- ratios ----

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      ns_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      const auto bytes = run.counters.find("bytes_per_second");
      if (bytes != run.counters.end()) rate_[run.benchmark_name()] = bytes->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() {
    std::printf("\n%-42s %-22s %s\n", "case", "against", "ratio");
    cost("BM_VdsoGetrandom16", "BM_Getrandom16");
    cost("BM_UuidNewV4", detail::os_random_source() == detail::RandomSource::Vdso ? "BM_VdsoGetrandom16"
                                                                                 : "BM_Getrandom16");
    cost("BM_TraceSpanNew", "BM_SpanFloor");
    speed("BM_WriteSpan1MiBPromptAscii", "BM_Memcpy1MiB");
    speed("BM_WriteSpan1MiBPromptLineFeedEvery80", "BM_Memcpy1MiB");
  }

 private:
  // Time as a multiple of the floor's (lower is better, 1.0 is the floor).
  void cost(const std::string& name, const std::string& floor) {
    if (ns_.count(name) && ns_.count(floor)) {
      std::printf("%-42s %-22s %.2fx the time\n", name.c_str(), floor.c_str(), ns_[name] / ns_[floor]);
    }
  }
  // Throughput as a fraction of the baseline's (higher is better).
  void speed(const std::string& name, const std::string& base) {
    if (rate_.count(name) && rate_.count(base)) {
      std::printf("%-42s %-22s %.2f of the speed\n", name.c_str(), base.c_str(), rate_[name] / rate_[base]);
    }
  }

  std::map<std::string, double> ns_;
  std::map<std::string, double> rate_;
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
