// The span document and the finding summaries, written in one pass.
#include "korvanta/json.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

namespace korvanta {
namespace {

void write_text(JsonWriter& out, const std::optional<std::string>& text) {
  text ? out.string(*text) : out.null();
}

template <class T>
void write_uint(JsonWriter& out, const std::optional<T>& value) {
  value ? out.uint(*value) : out.null();
}

void write_map(JsonWriter& out, const StringMap& map) {
  out.begin_object();
  for (const auto& entry : map) {
    out.key(entry.key);
    out.string(entry.value);
  }
  out.end_object();
}

void write_provider(JsonWriter& out, const LLMProvider& provider) {
  if (!provider.is_custom()) {
    out.string(provider.name());
    return;
  }
  out.begin_object();
  out.field("Custom");
  out.string(provider.custom_name());
  out.end_object();
}

void write_action(JsonWriter& out, const AgentAction& a) {
  out.begin_object();
  out.field("id");
  out.uuid(a.id);
  out.field("action_type");
  out.string(to_string(a.action_type));
  out.field("name");
  out.string(a.name);
  out.field("arguments");
  write_text(out, a.arguments);
  out.field("result");
  write_text(out, a.result);
  out.field("duration_ms");
  write_uint(out, a.duration_ms);
  out.field("success");
  out.boolean(a.success);
  out.field("exit_code");
  a.exit_code ? out.int64(*a.exit_code) : out.null();
  out.field("http_method");
  write_text(out, a.http_method);
  out.field("http_status");
  write_uint(out, a.http_status);
  out.field("file_operation");
  write_text(out, a.file_operation);
  out.field("timestamp");
  out.timestamp(a.timestamp);
  out.field("metadata");
  write_map(out, a.metadata);
  out.end_object();
}

void write_finding(JsonWriter& out, const SecurityFinding& f) {
  out.begin_object();
  out.field("id");
  out.uuid(f.id);
  out.field("severity");
  out.string(to_string(f.severity));
  out.field("finding_type");
  out.string(f.finding_type);
  out.field("description");
  out.string(f.description);
  out.field("detected_at");
  out.timestamp(f.detected_at);
  out.field("confidence_score");
  out.number(f.confidence_score);
  out.field("location");
  write_text(out, f.location);
  out.field("metadata");
  write_map(out, f.metadata);
  out.field("requires_alert");
  out.boolean(f.requires_alert);
  out.end_object();
}

void write_event(JsonWriter& out, const SpanEvent& e) {
  out.begin_object();
  out.field("id");
  out.uuid(e.id);
  out.field("timestamp");
  out.timestamp(e.timestamp);
  out.field("event_type");
  out.string(e.event_type);
  out.field("description");
  out.string(e.description);
  out.field("data");
  write_map(out, e.data);
  out.end_object();
}

template <class T, class WriteOne>
void write_list(JsonWriter& out, const std::vector<T>& items, WriteOne write_one) {
  out.begin_array();
  for (const T& item : items) {
    out.element();
    write_one(out, item);
  }
  out.end_array();
}

// The summary keys, written in ascending byte order.
constexpr std::array<std::string_view, 7> kSummaryKeys = {
    "confidence_score", "description", "finding_type", "id", "location", "requires_alert", "severity",
};
static_assert(std::is_sorted(kSummaryKeys.begin(), kSummaryKeys.end()));

void write_summary(JsonWriter& out, const SecurityFinding& f) {
  out.begin_object();
  out.field(kSummaryKeys[0]);
  out.number(f.confidence_score);
  out.field(kSummaryKeys[1]);
  out.string(f.description);
  out.field(kSummaryKeys[2]);
  out.string(f.finding_type);
  out.field(kSummaryKeys[3]);
  out.uuid(f.id);
  out.field(kSummaryKeys[4]);
  write_text(out, f.location);
  out.field(kSummaryKeys[5]);
  out.boolean(f.requires_alert);
  out.field(kSummaryKeys[6]);
  out.string(label(f.severity));
  out.end_object();
}

}  // namespace

void write_span(JsonWriter& out, const TraceSpan& s) {
  out.begin_object();
  out.field("trace_id");
  out.uuid(s.trace_id);
  out.field("span_id");
  out.uuid(s.span_id);
  out.field("parent_span_id");
  s.parent_span_id ? out.uuid(*s.parent_span_id) : out.null();
  out.field("tenant_id");
  out.uuid(s.tenant_id.uuid);
  out.field("operation_name");
  out.string(s.operation_name);
  out.field("start_time");
  out.timestamp(s.start_time);
  out.field("end_time");
  s.end_time ? out.timestamp(*s.end_time) : out.null();
  out.field("provider");
  write_provider(out, s.provider);
  out.field("model_name");
  out.string(s.model_name);
  out.field("prompt");
  out.string(s.prompt);
  out.field("response");
  write_text(out, s.response);
  out.field("prompt_tokens");
  write_uint(out, s.prompt_tokens);
  out.field("completion_tokens");
  write_uint(out, s.completion_tokens);
  out.field("total_tokens");
  write_uint(out, s.total_tokens);
  out.field("time_to_first_token_ms");
  write_uint(out, s.time_to_first_token_ms);
  out.field("duration_ms");
  write_uint(out, s.duration_ms);
  out.field("status_code");
  write_uint(out, s.status_code);
  out.field("error_message");
  write_text(out, s.error_message);
  out.field("estimated_cost_usd");
  s.estimated_cost_usd ? out.number(*s.estimated_cost_usd) : out.null();
  out.field("security_score");
  write_uint(out, s.security_score);
  out.field("security_findings");
  write_list(out, s.security_findings, write_finding);
  out.field("tags");
  write_map(out, s.tags);
  out.field("events");
  write_list(out, s.events, write_event);
  out.field("agent_actions");
  write_list(out, s.agent_actions, write_action);
  out.end_object();
}

void write_finding_summaries(JsonWriter& out, const std::vector<SecurityFinding>& findings) {
  write_list(out, findings, write_summary);
}

std::string span_to_json(const TraceSpan& span, JsonLayout layout) {
  JsonWriter out(layout);
  write_span(out, span);
  return std::string(out.view());
}

}  // namespace korvanta
