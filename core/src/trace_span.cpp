// TraceSpan creation and completion.
#include "korvanta/trace_span.hpp"

#include <limits>
#include <utility>

namespace korvanta {

TraceSpan TraceSpan::create(Uuid trace_id, TenantId tenant_id, std::string operation_name,
                            LLMProvider provider, std::string model_name, std::string prompt) {
  const Uuid span_id = Uuid::new_v4();
  StringMap::prepare_seed();
  const Timestamp start_time = Timestamp::now();
  TraceSpan span{
      .trace_id = trace_id,
      .span_id = span_id,
      .parent_span_id = std::nullopt,
      .tenant_id = tenant_id,
      .operation_name = std::move(operation_name),
      .start_time = start_time,
      .end_time = std::nullopt,
      .provider = std::move(provider),
      .model_name = std::move(model_name),
      .prompt = std::move(prompt),
      .response = std::nullopt,
      .prompt_tokens = std::nullopt,
      .completion_tokens = std::nullopt,
      .total_tokens = std::nullopt,
      .time_to_first_token_ms = std::nullopt,
      .duration_ms = std::nullopt,
      .status_code = std::nullopt,
      .security_score = std::nullopt,
      .error_message = std::nullopt,
      .estimated_cost_usd = std::nullopt,
      .security_findings = {},
      .tags = StringMap(),
      .events = {},
      .agent_actions = {},
  };
  return span;
}

void TraceSpan::shrink_to_fit() noexcept {
  // Both only ask: a failed allocation keeps the larger block.
  agent_actions.shrink_to_fit();
  tags.shrink_to_fit();
}

void TraceSpan::set_end(Timestamp end) {
  shrink_to_fit();
  end_time = end;
  // A wall clock stepped back between start and end gives a negative
  // difference; an unsigned duration cannot hold it, so it is recorded as 0.
  const std::int64_t ms = millis_between(start_time, end);
  duration_ms = ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

// The clock is read before anything changes, so a clock fault leaves the
// record as it was.
void TraceSpan::finish_response(std::string text) {
  const Timestamp end = Timestamp::now();
  response = std::move(text);
  set_end(end);
}

void TraceSpan::finish_error(std::string error, std::optional<std::uint16_t> code) {
  const Timestamp end = Timestamp::now();
  error_message = std::move(error);
  status_code = code;
  set_end(end);
}

void TraceSpan::finish() { set_end(Timestamp::now()); }

TraceSpan TraceSpan::finish_with_response(std::string text) && {
  finish_response(std::move(text));
  return std::move(*this);
}

TraceSpan TraceSpan::finish_with_error(std::string error, std::optional<std::uint16_t> code) && {
  finish_error(std::move(error), code);
  return std::move(*this);
}

std::int64_t millis_between(Timestamp start, Timestamp end) noexcept {
  // Seconds anywhere in the 64-bit range: differences whose milliseconds do
  // not fit saturate instead of overflowing.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t s = 0;
  if (__builtin_sub_overflow(end.seconds, start.seconds, &s)) return end.seconds < start.seconds ? kMin : kMax;
  if (s >= kMax / 1000) return kMax;
  if (s <= kMin / 1000) return kMin;
  std::int64_t n = static_cast<std::int64_t>(end.nanos) - static_cast<std::int64_t>(start.nanos);
  if (n < 0) {
    n += 1'000'000'000;
    s -= 1;
  }
  // s whole seconds plus n nanoseconds, 0 <= n < 1e9; truncate toward zero.
  if (s >= 0 || n == 0) return s * 1000 + n / 1'000'000;
  return (s + 1) * 1000 + (n - 1'000'000'000) / 1'000'000;
}

}  // namespace korvanta
