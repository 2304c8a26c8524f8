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
  out.key("Custom");
  out.string(provider.custom_name());
  out.end_object();
}

void write_action(JsonWriter& out, const AgentAction& a) {
  out.begin_object();
  out.key("id");
  out.uuid(a.id);
  out.key("action_type");
  out.string(to_string(a.action_type));
  out.key("name");
  out.string(a.name);
  out.key("arguments");
  write_text(out, a.arguments);
  out.key("result");
  write_text(out, a.result);
  out.key("duration_ms");
  write_uint(out, a.duration_ms);
  out.key("success");
  out.boolean(a.success);
  out.key("exit_code");
  a.exit_code ? out.int64(*a.exit_code) : out.null();
  out.key("http_method");
  write_text(out, a.http_method);
  out.key("http_status");
  write_uint(out, a.http_status);
  out.key("file_operation");
  write_text(out, a.file_operation);
  out.key("timestamp");
  out.timestamp(a.timestamp);
  out.key("metadata");
  write_map(out, a.metadata);
  out.end_object();
}

void write_finding(JsonWriter& out, const SecurityFinding& f) {
  out.begin_object();
  out.key("id");
  out.uuid(f.id);
  out.key("severity");
  out.string(to_string(f.severity));
  out.key("finding_type");
  out.string(f.finding_type);
  out.key("description");
  out.string(f.description);
  out.key("detected_at");
  out.timestamp(f.detected_at);
  out.key("confidence_score");
  out.number(f.confidence_score);
  out.key("location");
  write_text(out, f.location);
  out.key("metadata");
  write_map(out, f.metadata);
  out.key("requires_alert");
  out.boolean(f.requires_alert);
  out.end_object();
}

void write_event(JsonWriter& out, const SpanEvent& e) {
  out.begin_object();
  out.key("id");
  out.uuid(e.id);
  out.key("timestamp");
  out.timestamp(e.timestamp);
  out.key("event_type");
  out.string(e.event_type);
  out.key("description");
  out.string(e.description);
  out.key("data");
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
  out.key(kSummaryKeys[0]);
  out.number(f.confidence_score);
  out.key(kSummaryKeys[1]);
  out.string(f.description);
  out.key(kSummaryKeys[2]);
  out.string(f.finding_type);
  out.key(kSummaryKeys[3]);
  out.uuid(f.id);
  out.key(kSummaryKeys[4]);
  write_text(out, f.location);
  out.key(kSummaryKeys[5]);
  out.boolean(f.requires_alert);
  out.key(kSummaryKeys[6]);
  out.string(label(f.severity));
  out.end_object();
}

}  // namespace

void write_span(JsonWriter& out, const TraceSpan& s) {
  out.begin_object();
  out.key("trace_id");
  out.uuid(s.trace_id);
  out.key("span_id");
  out.uuid(s.span_id);
  out.key("parent_span_id");
  s.parent_span_id ? out.uuid(*s.parent_span_id) : out.null();
  out.key("tenant_id");
  out.uuid(s.tenant_id.uuid);
  out.key("operation_name");
  out.string(s.operation_name);
  out.key("start_time");
  out.timestamp(s.start_time);
  out.key("end_time");
  s.end_time ? out.timestamp(*s.end_time) : out.null();
  out.key("provider");
  write_provider(out, s.provider);
  out.key("model_name");
  out.string(s.model_name);
  out.key("prompt");
  out.string(s.prompt);
  out.key("response");
  write_text(out, s.response);
  out.key("prompt_tokens");
  write_uint(out, s.prompt_tokens);
  out.key("completion_tokens");
  write_uint(out, s.completion_tokens);
  out.key("total_tokens");
  write_uint(out, s.total_tokens);
  out.key("time_to_first_token_ms");
  write_uint(out, s.time_to_first_token_ms);
  out.key("duration_ms");
  write_uint(out, s.duration_ms);
  out.key("status_code");
  write_uint(out, s.status_code);
  out.key("error_message");
  write_text(out, s.error_message);
  out.key("estimated_cost_usd");
  s.estimated_cost_usd ? out.number(*s.estimated_cost_usd) : out.null();
  out.key("security_score");
  write_uint(out, s.security_score);
  out.key("security_findings");
  write_list(out, s.security_findings, write_finding);
  out.key("tags");
  write_map(out, s.tags);
  out.key("events");
  write_list(out, s.events, write_event);
  out.key("agent_actions");
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
