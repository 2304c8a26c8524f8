// The parameters of korvanta._native's entries, one statement each; the
// parser's tables and the text signatures are derived from them.
#pragma once

#include "args.hpp"

namespace korvanta::py::native::signatures {

// A function of the module taking its arguments by position.
template <std::size_t N>
constexpr auto function(std::string_view name, const Param (&params)[N]) {
  return describe("", name, Receiver::module, params, /*positional_only=*/true);
}

inline constexpr auto start_span =
    function("start_span", {{"tracer"}, {"operation_name"}, {"provider"}, {"model"}, {"parent"}, {"fallback"}});
inline constexpr auto tracer_of = function("tracer_of", {{"span"}});
inline constexpr auto adopt = function("adopt", {{"span"}, {"tracer"}});
inline constexpr auto hand_over = function("hand_over", {{"span"}, {"sample_below"}});
inline constexpr auto add_event = function("add_event", {{"span"}, {"name"}, {"description"}, {"data"}});
inline constexpr auto set_cost = function("set_cost", {{"span"}, {"usd"}});
inline constexpr auto report_action = describe(
    "", "report_action", Receiver::module,
    {{"span"}, {"action_type"}, {"name"}, keyword_only("arguments"), keyword_only("result"),
     keyword_only("duration_ms"), keyword_only("success"), keyword_only("exit_code"), keyword_only("http_method"),
     keyword_only("http_status"), keyword_only("file_operation"), keyword_only("metadata")});
inline constexpr auto span_block =
    describe("span", "__new__", Receiver::none,
             {{"operation_name"}, keyword_only("provider", "''"), keyword_only("model", "''"),
              keyword_only("tracer"), keyword_only("tags")});
inline constexpr auto span_block_exit =
    describe("span", "__exit__", Receiver::self, {{"exc_type"}, {"exc"}, {"traceback"}});
inline constexpr auto bind_context = function("bind_context", {{"current"}, {"tags"}, {"report"}});
inline constexpr auto set_pipeline = function(
    "set_pipeline", {{"processors"}, {"tracer"}, {"sample_below"}, {"scan"}, {"mask"}, {"mask_in_place"}});
inline constexpr auto deliver = function("deliver", {{"span"}});
inline constexpr auto json_lines = function("json_lines", {{"spans"}, optional("mask")});
inline constexpr auto scan = function("scan", {{"span"}});
inline constexpr auto encode_otlp = function("encode_otlp", {{"spans"}, {"service_name"}, optional("mask")});

}  // namespace korvanta::py::native::signatures
