// How korvanta._native's module functions are stated, and the tables in
// which each file lists its own for the module to add.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "args.hpp"

namespace korvanta::py::native {

// A function of the module taking its arguments by position.
template <std::size_t N>
constexpr auto function(std::string_view name, const Param (&params)[N]) {
  return describe("", name, Receiver::module, params, /*positional_only=*/true);
}

// Null-terminated; static, as the function objects keep their rows.
extern PyMethodDef span_functions[];      // span_access.cpp
extern PyMethodDef export_functions[];    // otlp_export.cpp
extern PyMethodDef scan_functions[];      // security.cpp
extern PyMethodDef pipeline_functions[];  // pipeline.cpp
extern PyMethodDef genai_functions[];     // genai_record.cpp
extern PyMethodDef stream_functions[];    // stream_tap.cpp
extern PyMethodDef call_functions[];      // llm_call.cpp
extern PyMethodDef chat_stream_functions[];  // chat_stream.cpp
extern PyMethodDef chat_completion_functions[];  // chat_completion.cpp
extern PyMethodDef stream_setup_functions[];  // stream_setup.cpp
extern PyMethodDef sse_event_functions[];  // sse_events.cpp
extern PyMethodDef request_hook_functions[];  // request_hook.cpp

}  // namespace korvanta::py::native
