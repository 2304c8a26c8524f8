// The parameters of every entry that takes arguments, in one table. Owner and
// entry name appear in the argument-error messages, e.g.
// "TraceSpan.set_error() takes from 1 to 2 positional arguments but 3 were given".
#pragma once

#include "args.hpp"

namespace korvanta::py::signatures {

inline constexpr Params<0, 3> tracer_new{
    "DURUraTracer", "__new__", {}, 0, {"tenant_id", "endpoint", "enable_security"}};
inline constexpr Params<3, 0> tracer_start_span{
    "DURUraTracer", "start_span", {"operation_name", "provider", "model"}, 3, {}};
inline constexpr Params<2, 0> span_add_tag{"TraceSpan", "add_tag", {"key", "value"}, 2, {}};
inline constexpr Params<2, 0> span_set_error{"TraceSpan", "set_error", {"error", "status_code"}, 1, {}};
inline constexpr Params<1, 0> span_set_prompt{"TraceSpan", "set_prompt", {"prompt"}, 1, {}};
inline constexpr Params<1, 0> span_set_ttft_ms{"TraceSpan", "set_ttft_ms", {"ttft_ms"}, 1, {}};
inline constexpr Params<1, 0> span_set_response{"TraceSpan", "set_response", {"response"}, 1, {}};
inline constexpr Params<2, 4> span_report_action{
    "TraceSpan", "report_action", {"action_type", "name"}, 2,
    {"arguments", "result", "duration_ms", "success"}};
inline constexpr Params<0, 2> span_set_token_counts{
    "TraceSpan", "set_token_counts", {}, 0, {"prompt_tokens", "completion_tokens"}};
inline constexpr Params<3, 0> client_start_span{
    "InstrumentedClient", "start_span", {"operation_name", "provider", "model"}, 3, {}};
inline constexpr Params<1, 0> configure{"", "configure", {"config"}, 1, {}};
inline constexpr Params<1, 1> instrument{"", "instrument", {"client"}, 1, {"tracer"}};

}  // namespace korvanta::py::signatures
