// The SpanBlock class of korvanta._native (span_block.cpp).
#pragma once

#include <Python.h>

#include <string>

#include "error.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

// A new class object (korvanta.span) for the module being made.
Ref make_span_block_type();

// Adds each str -> str pair of a dict (or any mapping) as a tag of `span`.
void add_tags(PyObject* span, PyObject* tags);

// "<type name>: <str(error)>", as f"{type(e).__name__}: {e}" gives it.
std::string error_text(PyObject* error);

}  // namespace korvanta::py::native
