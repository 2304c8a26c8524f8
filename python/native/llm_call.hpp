// korvanta._native.Call, the span of one traced LLM call (llm_call.cpp).
#pragma once

#include "error.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

// A new class object (korvanta._native.Call) for the module being made.
Ref make_call_type();

}  // namespace korvanta::py::native
