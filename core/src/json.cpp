// The span document and the finding summaries, written in one pass.
#include "korvanta/json.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace korvanta {
namespace {

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
  out.append_key_value("Custom", provider.custom_name());
  out.end_object();
}

void write_action(JsonWriter& out, const AgentAction& a) {
  out.begin_object();
  out.append_key_value("id", a.id);
  out.append_key_value("action_type", to_string(a.action_type));
  out.append_key_value("name", a.name);
  out.append_key_value("arguments", a.arguments);
  out.append_key_value("result", a.result);
  out.append_key_value("duration_ms", a.duration_ms);
  out.append_key_value("success", a.success);
  out.append_key_value("exit_code", a.exit_code);
  out.append_key_value("http_method", a.http_method);
  out.append_key_value("http_status", a.http_status);
  out.append_key_value("file_operation", a.file_operation);
  out.append_key_value("timestamp", a.timestamp);
  out.field("metadata");
  write_map(out, a.metadata);
  out.end_object();
}

void write_finding(JsonWriter& out, const SecurityFinding& f) {
  out.begin_object();
  out.append_key_value("id", f.id);
  out.append_key_value("severity", to_string(f.severity));
  out.append_key_value("finding_type", f.finding_type);
  out.append_key_value("description", f.description);
  out.append_key_value("detected_at", f.detected_at);
  out.append_key_value("confidence_score", f.confidence_score);
  out.append_key_value("location", f.location);
  out.field("metadata");
  write_map(out, f.metadata);
  out.append_key_value("requires_alert", f.requires_alert);
  out.end_object();
}

void write_event(JsonWriter& out, const SpanEvent& e) {
  out.begin_object();
  out.append_key_value("id", e.id);
  out.append_key_value("timestamp", e.timestamp);
  out.append_key_value("event_type", e.event_type);
  out.append_key_value("description", e.description);
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
  out.append_key_value(kSummaryKeys[0], f.confidence_score);
  out.append_key_value(kSummaryKeys[1], f.description);
  out.append_key_value(kSummaryKeys[2], f.finding_type);
  out.append_key_value(kSummaryKeys[3], f.id);
  out.append_key_value(kSummaryKeys[4], f.location);
  out.append_key_value(kSummaryKeys[5], f.requires_alert);
  out.append_key_value(kSummaryKeys[6], label(f.severity));
  out.end_object();
}

}  // namespace

void write_span(JsonWriter& out, const TraceSpan& s) {
  out.begin_object();
  out.append_key_value("trace_id", s.trace_id);
  out.append_key_value("span_id", s.span_id);
  out.append_key_value("parent_span_id", s.parent_span_id);
  out.append_key_value("tenant_id", s.tenant_id.uuid);
  out.append_key_value("operation_name", s.operation_name);
  out.append_key_value("start_time", s.start_time);
  out.append_key_value("end_time", s.end_time);
  out.field("provider");
  write_provider(out, s.provider);
  out.append_key_value("model_name", s.model_name);
  out.append_key_value("prompt", s.prompt);
  out.append_key_value("response", s.response);
  out.append_key_value("prompt_tokens", s.prompt_tokens);
  out.append_key_value("completion_tokens", s.completion_tokens);
  out.append_key_value("total_tokens", s.total_tokens);
  out.append_key_value("time_to_first_token_ms", s.time_to_first_token_ms);
  out.append_key_value("duration_ms", s.duration_ms);
  out.append_key_value("status_code", s.status_code);
  out.append_key_value("error_message", s.error_message);
  out.append_key_value("estimated_cost_usd", s.estimated_cost_usd);
  out.append_key_value("security_score", s.security_score);
  out.field("security_findings");
  write_list(out, s.security_findings.items(), write_finding);
  out.field("tags");
  write_map(out, s.tags);
  out.field("events");
  write_list(out, s.events.items(), write_event);
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
