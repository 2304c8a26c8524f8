// The OTLP encoder on the typical span of the JSON writer's benchmark (1 KiB
// prompt, 2 KiB response, 5 tags, 3 tool calls): one span per request, and
// batches of 512, against memcpy of the same number of bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "korvanta/otlp.hpp"
#include "korvanta/trace_span.hpp"

namespace {

using namespace korvanta;

std::string text_of(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "The quick brown fox jumps over the lazy dog; ";
  text.resize(size);
  for (std::size_t i = 79; i < text.size(); i += 80) text[i] = '\n';
  return text;
}

// As core_benchmark.cpp's typical span, under the given trace and tenant.
TraceSpan typical_span(const Uuid& trace, const TenantId& tenant) {
  TraceSpan span =
      TraceSpan::create(trace, tenant, "chat_completion", LLMProvider::Kind::OpenAI, "gpt-4", text_of(1024));
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
  span.finish_response(text_of(2048));
  return span;
}

// `tenants` tenants take turns over the batch.
std::vector<TraceSpan> batch(std::size_t size, std::size_t tenants) {
  std::vector<TenantId> ids;
  for (std::size_t i = 0; i < tenants; ++i) ids.push_back(TenantId::generate());
  std::vector<TraceSpan> spans;
  for (std::size_t i = 0; i < size; ++i) spans.push_back(typical_span(Uuid::new_v4(), ids[i % tenants]));
  return spans;
}

const OtlpResource kResource{"checkout-assistant", {}};

// A fresh string per request, as an exporter posting each body hands it off.
void encode_case(benchmark::State& state, std::size_t size, std::size_t tenants, const TextFilter* filter) {
  const std::vector<TraceSpan> spans = batch(size, tenants);
  std::vector<const TraceSpan*> pointers;
  for (const TraceSpan& s : spans) pointers.push_back(&s);
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string out;
    encode_export_request(pointers, kResource, out, filter);
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["request_bytes"] = static_cast<double>(bytes);
}

void BM_OtlpTypicalSpan(benchmark::State& state) { encode_case(state, 1, 1, nullptr); }
BENCHMARK(BM_OtlpTypicalSpan);

void BM_OtlpBatch512(benchmark::State& state) { encode_case(state, 512, 1, nullptr); }
BENCHMARK(BM_OtlpBatch512);

void BM_OtlpBatch512Of8Tenants(benchmark::State& state) { encode_case(state, 512, 8, nullptr); }
BENCHMARK(BM_OtlpBatch512Of8Tenants);

// A filter that passes every text through: what the hook itself costs.
void BM_OtlpBatch512PassThroughFilter(benchmark::State& state) {
  const TextFilter keep = [](std::string_view text, OtlpText, std::string&) { return text; };
  encode_case(state, 512, 1, &keep);
}
BENCHMARK(BM_OtlpBatch512PassThroughFilter);

// The floor: copying a request's worth of bytes into a fresh string.
void BM_MemcpyOfBatch512Request(benchmark::State& state) {
  std::string request;
  const std::vector<TraceSpan> spans = batch(512, 1);
  std::vector<const TraceSpan*> pointers;
  for (const TraceSpan& s : spans) pointers.push_back(&s);
  encode_export_request(pointers, kResource, request);
  for (auto _ : state) {
    std::string out(request.data(), request.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 512));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request.size()));
}
BENCHMARK(BM_MemcpyOfBatch512Request);

}  // namespace

BENCHMARK_MAIN();
