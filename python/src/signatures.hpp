// The parameters of every entry that takes arguments, one statement each.
// Owner and entry name appear in the argument-error messages, e.g.
// "TraceSpan.set_error() takes from 1 to 2 positional arguments but 3 were given";
// the parser's tables and the text signatures are derived from the same lines.
#pragma once

#include "args.hpp"

namespace korvanta::py::signatures {

inline constexpr auto tracer_new = describe(
    "DURUraTracer", "__new__", Receiver::none,
    {keyword_only("tenant_id"), keyword_only("endpoint"), keyword_only("enable_security")});
inline constexpr auto tracer_start_span = describe("DURUraTracer", "start_span", Receiver::self,
                                                   {{"operation_name"}, {"provider"}, {"model"}});
inline constexpr auto span_add_tag = describe("TraceSpan", "add_tag", Receiver::self, {{"key"}, {"value"}});
inline constexpr auto span_set_error =
    describe("TraceSpan", "set_error", Receiver::self, {{"error"}, optional("status_code")});
inline constexpr auto span_set_prompt = describe("TraceSpan", "set_prompt", Receiver::self, {{"prompt"}});
inline constexpr auto span_set_ttft_ms = describe("TraceSpan", "set_ttft_ms", Receiver::self, {{"ttft_ms"}});
inline constexpr auto span_set_response = describe("TraceSpan", "set_response", Receiver::self, {{"response"}});
inline constexpr auto span_report_action = describe(
    "TraceSpan", "report_action", Receiver::self,
    {{"action_type"}, {"name"}, keyword_only("arguments"), keyword_only("result"), keyword_only("duration_ms"),
     keyword_only("success")});
inline constexpr auto span_set_token_counts = describe("TraceSpan", "set_token_counts", Receiver::self,
                                                       {keyword_only("prompt_tokens"), keyword_only("completion_tokens")});
inline constexpr auto client_start_span = describe("InstrumentedClient", "start_span", Receiver::self,
                                                   {{"operation_name"}, {"provider"}, {"model"}});
inline constexpr auto configure = describe("", "configure", Receiver::none, {{"config"}});
inline constexpr auto instrument = describe("", "instrument", Receiver::none, {{"client"}, keyword_only("tracer")});

}  // namespace korvanta::py::signatures
