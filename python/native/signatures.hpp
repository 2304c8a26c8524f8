// The parameters of korvanta._native's entries, one description each.
#pragma once

#include "args.hpp"

namespace korvanta::py::native::signatures {

inline constexpr Params<6, 0> start_span{
    "", "start_span", {"tracer", "operation_name", "provider", "model", "parent", "fallback"}, 6, {}};
inline constexpr Params<1, 0> tracer_of{"", "tracer_of", {"span"}, 1, {}};
inline constexpr Params<2, 0> adopt{"", "adopt", {"span", "tracer"}, 2, {}};
inline constexpr Params<2, 0> hand_over{"", "hand_over", {"span", "sample_below"}, 2, {}};
inline constexpr Params<4, 0> add_event{"", "add_event", {"span", "name", "description", "data"}, 4, {}};
inline constexpr Params<2, 0> set_cost{"", "set_cost", {"span", "usd"}, 2, {}};
inline constexpr Params<3, 9> report_action{
    "",
    "report_action",
    {"span", "action_type", "name"},
    3,
    {"arguments", "result", "duration_ms", "success", "exit_code", "http_method", "http_status", "file_operation",
     "metadata"}};
inline constexpr Params<1, 4> span_block{
    "span", "__new__", {"operation_name"}, 1, {"provider", "model", "tracer", "tags"}};
inline constexpr Params<3, 0> span_block_exit{"span", "__exit__", {"exc_type", "exc", "traceback"}, 3, {}};
inline constexpr Params<3, 0> bind_context{"", "bind_context", {"current", "tags", "report"}, 3, {}};
inline constexpr Params<6, 0> set_pipeline{
    "", "set_pipeline", {"processors", "tracer", "sample_below", "scan", "mask", "mask_in_place"}, 6, {}};
inline constexpr Params<1, 0> deliver{"", "deliver", {"span"}, 1, {}};
inline constexpr Params<2, 0> json_lines{"", "json_lines", {"spans", "mask"}, 1, {}};
inline constexpr Params<1, 0> scan{"", "scan", {"span"}, 1, {}};
inline constexpr Params<3, 0> encode_otlp{"", "encode_otlp", {"spans", "service_name", "mask"}, 2, {}};

}  // namespace korvanta::py::native::signatures
