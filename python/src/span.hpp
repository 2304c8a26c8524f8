// The TraceSpan class: a Python object owning one span record.
#pragma once

#include <Python.h>

#include <string_view>

#include "error.hpp"
#include "korvanta/trace_span.hpp"
#include "ref.hpp"

namespace korvanta::py {

struct SpanClass {
  using Value = korvanta::TraceSpan;
  static constexpr std::string_view name = "TraceSpan";
  static PyTypeObject* type() noexcept;
};

// Makes the class object (once per process).
PyTypeObject* make_span_class();

}  // namespace korvanta::py
