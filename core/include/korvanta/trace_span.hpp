// TraceSpan: the record of one traced LLM call, its creation, the two ways of
// finishing it and appending agent actions. Fields are in the order of the
// span's JSON document, but for a few small ones moved together for packing;
// the fields of a failed or analysed span are out of line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvanta/agent_action.hpp"
#include "korvanta/enums.hpp"
#include "korvanta/out_of_line.hpp"
#include "korvanta/security_finding.hpp"
#include "korvanta/span_event.hpp"
#include "korvanta/string_map.hpp"
#include "korvanta/timestamp.hpp"
#include "korvanta/uuid.hpp"

namespace korvanta {

struct TraceSpan {
  Uuid trace_id;
  Uuid span_id;
  std::optional<Uuid> parent_span_id;
  TenantId tenant_id;
  std::string operation_name;
  Timestamp start_time;
  std::optional<Timestamp> end_time;
  LLMProvider provider;
  std::string model_name;
  std::string prompt;
  std::optional<std::string> response;
  std::optional<std::uint32_t> prompt_tokens;
  std::optional<std::uint32_t> completion_tokens;
  // The exact sum of the two counts: 64 bits, so it cannot wrap.
  std::optional<std::uint64_t> total_tokens;
  std::optional<std::uint64_t> time_to_first_token_ms;
  std::optional<std::uint64_t> duration_ms;
  std::optional<std::uint16_t> status_code;
  std::optional<std::uint8_t> security_score;
  OutOfLine<std::string> error_message;
  OutOfLine<double> estimated_cost_usd;
  OutOfLineVector<SecurityFinding> security_findings;
  StringMap tags;
  OutOfLineVector<SpanEvent> events;
  std::vector<AgentAction> agent_actions;

  // A fresh span id (one random-source request), then the current time, then
  // an empty tags map; everything else absent or empty. Throws korvanta::Fault
  // when the random source or the clock fails.
  static TraceSpan create(Uuid trace_id, TenantId tenant_id, std::string operation_name,
                          LLMProvider provider, std::string model_name, std::string prompt);

  // Sets `response`, then end_time (clock read) and duration_ms; the error
  // fields are left as they are.
  TraceSpan finish_with_response(std::string response) &&;
  // Sets `error_message` and `status_code` (absent clears an earlier code),
  // then end_time and duration_ms; `response` is left as it is.
  TraceSpan finish_with_error(std::string error, std::optional<std::uint16_t> status_code) &&;
  // In place, variants of the two above for callers that own the record.
  void finish_response(std::string response);
  void finish_error(std::string error, std::optional<std::uint16_t> status_code);

  // Sets end_time (clock read) and duration_ms only: a span that ends
  // without a response or an error.
  void finish();
  // Each finish gives back the room the action list and the tags kept for
  // more entries: a finished span is kept, and rarely grows again.
  void add_agent_action(AgentAction action) { agent_actions.push_back(std::move(action)); }

  bool is_complete() const noexcept { return end_time.has_value(); }
  bool is_failed() const noexcept { return error_message.has_value(); }

 private:
  void set_end(Timestamp end);
  void shrink_to_fit() noexcept;
};

// Milliseconds from `start` to `end`, the exact difference truncated toward
// zero (negative when `end` lies before `start`).
std::int64_t millis_between(Timestamp start, Timestamp end) noexcept;

}  // namespace korvanta
