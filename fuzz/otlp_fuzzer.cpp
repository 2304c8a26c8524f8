// libFuzzer target for the OTLP encoder over span records built from the
// fuzzer's bytes: any bytes in every text (malformed UTF-8 included), every
// optional field, actions, events, findings, several tenants, and a filter
// that substitutes texts of its own.
//
// Checks, for every batch:
//  - the bytes decode as protobuf down to every message the encoder writes,
//    with one ResourceSpans per tenant and one span per record and action;
//  - every string field and attribute key and value is valid UTF-8 (checked
//    by nlohmann::json, an independent validator), and no attribute key is
//    empty or repeated in its list;
//  - gen_ai.input.messages and gen_ai.output.messages parse as strict JSON
//    arrays of objects with a string "role";
//  - without a filter, a valid UTF-8 response reads back as the content of
//    the output message, and a valid tag value as its attribute (or its int);
//  - encoding the same batch twice gives the same bytes, after what `out`
//    held before.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "korvanta/otlp.hpp"
#include "korvanta/trace_span.hpp"
#include "proto_reader.hpp"

namespace {

using namespace korvanta;
using testing::ProtoMessage;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "otlp_fuzzer: %s\n", what.c_str());
  std::abort();
}

void check(bool ok, const std::string& what) {
  if (!ok) fail(what);
}

bool is_utf8(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text)).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

// Short texts of any bytes, now and then a JSON message list, so that both
// ways of sending a prompt come up.
std::string text(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    return R"([{"role":")" + in.ConsumeRandomLengthString(8) + R"(","content":[1,{"a":null}]}])";
  }
  return in.ConsumeRandomLengthString(40);
}

template <class T>
std::optional<T> maybe(FuzzedDataProvider& in) {
  if (!in.ConsumeBool()) return std::nullopt;
  return in.ConsumeIntegral<T>();
}

Uuid uuid(FuzzedDataProvider& in) {
  Uuid id;
  for (auto& b : id.bytes) b = in.ConsumeIntegral<std::uint8_t>();
  return id;
}

Timestamp timestamp(FuzzedDataProvider& in) {
  return Timestamp{in.ConsumeIntegral<std::int64_t>(), in.ConsumeIntegral<std::uint32_t>()};
}

// Keys from a small set of known names and any bytes, so that tags meet the
// names the encoder sets itself and the integer gen_ai names.
void fill_map(FuzzedDataProvider& in, StringMap& map) {
  const auto count = in.ConsumeIntegralInRange<int>(0, 5);
  for (int i = 0; i < count; ++i) {
    std::string key = in.ConsumeBool() ? std::string(in.PickValueInArray<std::string_view>(
                                             {"gen_ai.usage.input_tokens", "gen_ai.request.model", "",
                                              "gen_ai.tool.call.id", "korvanta.event.id", "gen_ai.request.seed"}))
                                       : in.ConsumeRandomLengthString(12);
    std::string value = in.ConsumeBool() ? std::to_string(in.ConsumeIntegral<std::int64_t>()) : text(in);
    map.insert_or_assign(std::move(key), std::move(value));
  }
}

TraceSpan span(FuzzedDataProvider& in, const std::vector<TenantId>& tenants) {
  TraceSpan s;
  s.trace_id = uuid(in);
  s.span_id = uuid(in);
  if (in.ConsumeBool()) s.parent_span_id = uuid(in);
  s.tenant_id = tenants[in.ConsumeIntegralInRange<std::size_t>(0, tenants.size() - 1)];
  s.operation_name = in.ConsumeRandomLengthString(12);
  const auto kind = in.ConsumeIntegralInRange<int>(0, 8);
  s.provider = kind == 8 ? LLMProvider::custom(in.ConsumeRandomLengthString(8))
                         : LLMProvider(static_cast<LLMProvider::Kind>(kind));
  s.model_name = in.ConsumeRandomLengthString(12);
  s.prompt = text(in);
  s.start_time = timestamp(in);
  if (in.ConsumeBool()) s.end_time = timestamp(in);
  if (in.ConsumeBool()) s.response = text(in);
  s.prompt_tokens = maybe<std::uint32_t>(in);
  s.completion_tokens = maybe<std::uint32_t>(in);
  s.total_tokens = maybe<std::uint64_t>(in);
  s.time_to_first_token_ms = maybe<std::uint64_t>(in);
  s.duration_ms = maybe<std::uint64_t>(in);
  s.status_code = maybe<std::uint16_t>(in);
  if (in.ConsumeBool()) s.error_message = text(in);
  if (in.ConsumeBool()) s.estimated_cost_usd = std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
  s.security_score = maybe<std::uint8_t>(in);
  fill_map(in, s.tags);
  for (int n = in.ConsumeIntegralInRange<int>(0, 2); n > 0; --n) {
    SpanEvent e{uuid(in), timestamp(in), in.ConsumeRandomLengthString(12), text(in), {}};
    fill_map(in, e.data);
    s.events.push_back(std::move(e));
  }
  for (int n = in.ConsumeIntegralInRange<int>(0, 2); n > 0; --n) {
    SecurityFinding f;
    f.id = uuid(in);
    f.severity = static_cast<SecuritySeverity>(in.ConsumeIntegralInRange<int>(0, 4));
    f.finding_type = in.ConsumeRandomLengthString(12);
    f.description = text(in);
    f.detected_at = timestamp(in);
    f.confidence_score = in.ConsumeFloatingPoint<double>();
    if (in.ConsumeBool()) f.location = text(in);
    fill_map(in, f.metadata);
    f.requires_alert = in.ConsumeBool();
    s.security_findings.push_back(std::move(f));
  }
  for (int n = in.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) {
    AgentAction a;
    a.id = uuid(in);
    a.action_type = static_cast<AgentActionType>(in.ConsumeIntegralInRange<int>(0, 4));
    a.name = in.ConsumeRandomLengthString(16);
    if (in.ConsumeBool()) a.arguments = text(in);
    if (in.ConsumeBool()) a.result = text(in);
    a.duration_ms = maybe<std::uint64_t>(in);
    a.success = in.ConsumeBool();
    a.exit_code = maybe<std::int32_t>(in);
    if (in.ConsumeBool()) a.http_method = in.ConsumeRandomLengthString(6);
    a.http_status = maybe<std::uint16_t>(in);
    if (in.ConsumeBool()) a.file_operation = in.ConsumeRandomLengthString(6);
    a.timestamp = timestamp(in);
    fill_map(in, a.metadata);
    s.agent_actions.push_back(std::move(a));
  }
  return s;
}

void check_string(std::string_view s, const char* where) { check(is_utf8(s), std::string(where) + " not UTF-8"); }

std::map<std::string, std::string_view> check_attributes(const ProtoMessage& m, std::uint32_t field) {
  std::map<std::string, std::string_view> strings;
  std::set<std::string_view> keys;
  for (const ProtoMessage& kv : m.messages(field)) {
    const std::string_view key = kv.bytes(1);
    check(!key.empty(), "empty attribute key");
    check_string(key, "attribute key");
    check(keys.insert(key).second, "repeated attribute key " + std::string(key));
    const ProtoMessage any = kv.message(2);
    check(any.fields().size() == 1, "AnyValue without exactly one member");
    if (any.fields().front().number == 1) {
      check_string(any.fields().front().bytes, "attribute value");
      strings.emplace(key, any.fields().front().bytes);
    }
  }
  return strings;
}

void check_messages_json(std::string_view text) {
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  check(!doc.is_discarded() && doc.is_array() && !doc.empty(), "messages not a JSON array");
  for (const auto& m : doc) {
    check(m.is_object() && m.contains("role") && m["role"].is_string(), "message without a role");
  }
}

// Checks one encoded span against its record (`s`, null for an action span).
void check_span(const ProtoMessage& span, const TraceSpan* s, bool filtered) {
  check(span.bytes(1).size() == 16 && span.bytes(2).size() == 8, "id sizes");
  if (span.has(5)) check_string(span.bytes(5), "span name");
  const auto attrs = check_attributes(span, 9);
  for (const ProtoMessage& event : span.messages(11)) {
    if (event.has(2)) check_string(event.bytes(2), "event name");
    check_attributes(event, 3);
  }
  if (span.has(15) && span.message(15).has(2)) check_string(span.message(15).bytes(2), "status message");
  if (s == nullptr) return;
  for (const char* key : {"gen_ai.input.messages", "gen_ai.output.messages"}) {
    if (const auto it = attrs.find(key); it != attrs.end()) check_messages_json(it->second);
  }
  if (filtered) return;
  if (s->response && is_utf8(*s->response)) {
    const auto doc = nlohmann::json::parse(attrs.at("gen_ai.output.messages"));
    check(doc[0]["parts"][0]["content"] == *s->response, "response content");
  }
  // Tags under names the encoder sets itself may be left out or sent as ints.
  for (const auto& tag : s->tags) {
    if (tag.key.empty() || !is_utf8(tag.key) || !is_utf8(tag.value)) continue;
    if (tag.key.starts_with("gen_ai.") || tag.key.starts_with("korvanta.") || tag.key.starts_with("error.") ||
        tag.key.starts_with("http.")) {
      continue;
    }
    check(attrs.count(tag.key) && attrs.at(tag.key) == tag.value, "tag value " + tag.key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<TenantId> tenants;
  for (int n = in.ConsumeIntegralInRange<int>(1, 3); n > 0; --n) tenants.push_back(TenantId{uuid(in)});
  OtlpResource resource{in.ConsumeRandomLengthString(12), {}};
  fill_map(in, resource.attributes);
  const bool use_filter = in.ConsumeBool();
  const std::string substitute = in.ConsumeRandomLengthString(16);
  std::vector<TraceSpan> records;
  for (int n = in.ConsumeIntegralInRange<int>(0, 4); n > 0 && in.remaining_bytes() > 0; --n) {
    records.push_back(span(in, tenants));
  }
  std::vector<const TraceSpan*> pointers;
  std::size_t expected_spans = 0;
  std::set<std::array<std::uint8_t, 16>> used_tenants;
  for (const TraceSpan& r : records) {
    pointers.push_back(&r);
    expected_spans += 1 + r.agent_actions.size();
    used_tenants.insert(r.tenant_id.uuid.bytes);
  }
  // The documented order: groups by tenant bytes, records in given order.
  std::vector<const TraceSpan*> order = pointers;
  std::stable_sort(order.begin(), order.end(), [](const TraceSpan* a, const TraceSpan* b) {
    return a->tenant_id.uuid.bytes < b->tenant_id.uuid.bytes;
  });

  // Returns a part of the text, or bytes of its own through the scratch.
  const TextFilter filter = [&](std::string_view text, OtlpText field, std::string& scratch) {
    if ((static_cast<std::size_t>(field) + text.size()) % 3 == 0) return text.substr(text.size() / 2);
    scratch.assign(substitute).append(text.substr(0, 4));
    return std::string_view(scratch);
  };
  const TextFilter* chosen = use_filter ? &filter : nullptr;

  std::string out = "head";
  encode_export_request(pointers, resource, out, chosen);
  std::string again = "head";
  encode_export_request(pointers, resource, again, chosen);
  check(out == again, "encoding is not deterministic");
  check(out.starts_with("head"), "earlier contents of out changed");

  const ProtoMessage request(std::string_view(out).substr(4));
  const auto groups = request.messages(1);
  check(request.fields().size() == groups.size(), "unknown request field");
  check(groups.size() == used_tenants.size(), "not one group per tenant");
  std::size_t spans_seen = 0;
  std::size_t next = 0;  // in `order`
  for (const ProtoMessage& group : groups) {
    check_attributes(group.message(1), 1);
    const ProtoMessage scope_spans = group.message(2);
    check(scope_spans.message(1).bytes(1) == "korvanta", "scope name");
    // Each record, then its actions.
    const auto spans = scope_spans.messages(2);
    for (std::size_t i = 0; i < spans.size(); ++next) {
      check(next < order.size(), "more spans than records");
      const TraceSpan& record = *order[next];
      check(check_attributes(spans[i], 9).at("korvanta.span_id") == record.span_id.to_string(), "span order");
      check_span(spans[i], &record, use_filter);
      const std::size_t parent = i++;
      for (std::size_t k = 0; k < record.agent_actions.size(); ++k, ++i) {
        check(i < spans.size(), "action span missing");
        check(spans[i].bytes(4) == spans[parent].bytes(2), "action parent link");
        check_span(spans[i], nullptr, use_filter);
      }
      spans_seen += 1 + record.agent_actions.size();
    }
  }
  check(spans_seen == expected_spans, "span count");
  return 0;
}
