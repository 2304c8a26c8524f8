// libFuzzer target for the JSON writer over span records built from the
// fuzzer's bytes: every field, findings, events, agent actions and maps.
//
// Checks, for every record:
//  - the compact and the indented document are each valid JSON to an
//    independent strict parser (nlohmann::json: UTF-8 validated, controls
//    must be escaped, no leading zeros), and so is the summary array;
//  - both parse to the same value, and the indented text with the whitespace
//    between tokens removed is byte for byte the compact text;
//  - the indented layout: line feeds only, two spaces per level, no trailing
//    spaces, no line break after the closing brace;
//  - keys come in the documented order, and every string, integer, float,
//    identifier and timestamp reads back to exactly the value in the record
//    (floats bit for bit, -0.0 included; NaN and infinities as null).
// Each record is written with one of the escape scans (portable, SSE2,
// AVX2), picked by the input, so all of them run under the sanitizers.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "json_readback.hpp"
#include "korvanta/json.hpp"
#include "korvanta/json_writer.hpp"
#include "korvanta/trace_span.hpp"

namespace {

using namespace korvanta;

// Writes the UTF-8 form of `cp` at `out`; returns the byte count (1 to 4).
std::size_t put_utf8(char* out, std::uint32_t cp) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

constexpr std::size_t kMaxChars = 48;

// Valid UTF-8 (every text in a record came from a Python str), weighted
// towards the bytes that need escaping and towards multi-byte characters.
// Built in a local buffer: the string is made once, at the end.
std::string text(FuzzedDataProvider& in) {
  char buf[kMaxChars * 4];
  std::size_t size = 0;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, kMaxChars);
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    const auto kind = in.ConsumeIntegralInRange<int>(0, 7);
    std::uint32_t cp = 0;
    switch (kind) {
      case 0: cp = in.ConsumeIntegralInRange<std::uint32_t>(0, 0x1F); break;
      case 1: cp = in.PickValueInArray({0x22u, 0x5Cu, 0x2Fu, 0x7Fu, 0x20u}); break;
      case 2: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x80, 0x7FF); break;
      case 3: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x800, 0xFFFF); break;
      case 4: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x10000, 0x10FFFF); break;
      default: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x20, 0x7E); break;
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // no surrogates in UTF-8
    size += put_utf8(buf + size, cp);
  }
  return std::string(buf, size);
}

std::optional<std::string> optional_text(FuzzedDataProvider& in) {
  if (!in.ConsumeBool()) return std::nullopt;
  return text(in);
}

template <class T>
std::optional<T> optional_int(FuzzedDataProvider& in) {
  if (!in.ConsumeBool()) return std::nullopt;
  return in.ConsumeIntegral<T>();
}

// Any bit pattern: NaNs, infinities, subnormals, -0.0 all come up.
double any_double(FuzzedDataProvider& in) {
  const auto bits = in.ConsumeIntegral<std::uint64_t>();
  return std::bit_cast<double>(bits);
}

Uuid uuid(FuzzedDataProvider& in) {
  Uuid id;
  for (auto& b : id.bytes) b = in.ConsumeIntegral<std::uint8_t>();
  return id;
}

Timestamp timestamp(FuzzedDataProvider& in) {
  Timestamp ts;
  ts.seconds = in.ConsumeIntegral<std::int64_t>();
  ts.nanos = in.ConsumeIntegralInRange<std::uint32_t>(0, 999'999'999);
  return ts;
}

// Keys from a small alphabet, so that repeated keys (replacing a value) come
// up often.
void fill_map(FuzzedDataProvider& in, StringMap& map) {
  const auto count = in.ConsumeIntegralInRange<int>(0, 6);
  for (int i = 0; i < count; ++i) {
    std::string key = in.ConsumeBool() ? std::string(1, static_cast<char>('a' + in.ConsumeIntegralInRange<int>(0, 3)))
                                       : text(in);
    map.insert_or_assign(std::move(key), text(in));
  }
}

LLMProvider provider(FuzzedDataProvider& in) {
  const auto kind = in.ConsumeIntegralInRange<int>(0, 8);
  if (kind == 8) return LLMProvider::custom(text(in));
  return LLMProvider(static_cast<LLMProvider::Kind>(kind));
}

AgentAction action(FuzzedDataProvider& in) {
  AgentAction a;
  a.id = uuid(in);
  a.action_type = static_cast<AgentActionType>(in.ConsumeIntegralInRange<int>(0, 4));
  a.name = text(in);
  a.arguments = optional_text(in);
  a.result = optional_text(in);
  a.duration_ms = optional_int<std::uint64_t>(in);
  a.success = in.ConsumeBool();
  a.exit_code = optional_int<std::int32_t>(in);
  a.http_method = optional_text(in);
  a.http_status = optional_int<std::uint16_t>(in);
  a.file_operation = optional_text(in);
  a.timestamp = timestamp(in);
  fill_map(in, a.metadata);
  return a;
}

SecurityFinding finding(FuzzedDataProvider& in) {
  SecurityFinding f;
  f.id = uuid(in);
  f.severity = static_cast<SecuritySeverity>(in.ConsumeIntegralInRange<int>(0, 4));
  f.finding_type = text(in);
  f.description = text(in);
  f.detected_at = timestamp(in);
  f.confidence_score = any_double(in);
  f.location = optional_text(in);
  fill_map(in, f.metadata);
  f.requires_alert = in.ConsumeBool();
  return f;
}

SpanEvent event(FuzzedDataProvider& in) {
  SpanEvent e;
  e.id = uuid(in);
  e.timestamp = timestamp(in);
  e.event_type = text(in);
  e.description = text(in);
  fill_map(in, e.data);
  return e;
}

TraceSpan span(FuzzedDataProvider& in) {
  TraceSpan s;
  s.trace_id = uuid(in);
  s.span_id = uuid(in);
  if (in.ConsumeBool()) s.parent_span_id = uuid(in);
  s.tenant_id = TenantId{uuid(in)};
  s.operation_name = text(in);
  s.start_time = timestamp(in);
  if (in.ConsumeBool()) s.end_time = timestamp(in);
  s.provider = provider(in);
  s.model_name = text(in);
  s.prompt = text(in);
  s.response = optional_text(in);
  s.prompt_tokens = optional_int<std::uint32_t>(in);
  s.completion_tokens = optional_int<std::uint32_t>(in);
  s.total_tokens = optional_int<std::uint64_t>(in);
  s.time_to_first_token_ms = optional_int<std::uint64_t>(in);
  s.duration_ms = optional_int<std::uint64_t>(in);
  s.status_code = optional_int<std::uint16_t>(in);
  s.error_message = optional_text(in);
  if (in.ConsumeBool()) s.estimated_cost_usd = any_double(in);
  s.security_score = optional_int<std::uint8_t>(in);
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) s.security_findings.push_back(finding(in));
  fill_map(in, s.tags);
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) s.events.push_back(event(in));
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) s.agent_actions.push_back(action(in));
  return s;
}

std::string render(const TraceSpan& s, JsonLayout layout) {
  JsonWriter out(layout);
  write_span(out, s);
  return std::string(out.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // One the CPU lacks leaves the scan as it was.
  use_escape_scan(in.PickValueInArray({EscapeScan::Portable, EscapeScan::Sse2, EscapeScan::Avx2}));
  const TraceSpan s = span(in);

  const std::string compact = render(s, JsonLayout::Compact);
  JsonWriter summaries(JsonLayout::Compact);
  write_finding_summaries(summaries, s.security_findings);
  fuzz::check_documents(s, compact, render(s, JsonLayout::Indented), summaries.view());

  // A copy writes the same text (maps keep their order).
  const TraceSpan copy = s;
  if (render(copy, JsonLayout::Compact) != compact) {
    std::fputs("json_writer_fuzzer: a copy of the span writes another text\n", stderr);
    std::abort();
  }
  return 0;
}
