// The SpanBlock class of korvanta._native (span_block.cpp).
#pragma once

#include "error.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

// A new class object (korvanta.span) for the module being made.
Ref make_span_block_type();

}  // namespace korvanta::py::native
