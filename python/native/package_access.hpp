// How korvanta._native reaches the module's objects: exact type checks, the
// package's own fields of a span instance, and the conversions its entries
// share. The instance layout itself is the module's (instance.hpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "instance.hpp"
#include "korvanta/string_map.hpp"
#include "korvanta/trace_span.hpp"
#include "span.hpp"
#include "tracer.hpp"

namespace korvanta::py::native {

// Bits of Instance::package_flags.
inline constexpr std::uint8_t kHandedOver = 1;  // korvanta.end or a span block ran

// A korvanta_python.TraceSpan (exactly that class) built by the module, or
// TypeError naming `param`.
void check_span(PyObject* obj, std::string_view param);
// The same for a korvanta_python.DURUraTracer.
void check_tracer(PyObject* obj, std::string_view param);

// The records of a sequence of spans, each checked as by check_span. The
// sequence is held (as a list or tuple) for as long as this lives.
struct SpanRecords {
  static SpanRecords of(PyObject* sequence);
  Ref items;
  std::vector<const TraceSpan*> records;
};

// A str -> str mapping: a dict whose keys and values are str; None or not
// given is empty. TypeError naming `param` otherwise.
StringMap as_string_map(PyObject* obj, std::string_view param);
// A finite float (int accepted) no less than zero.
double as_amount(PyObject* obj, std::string_view param);
// The same check of an amount computed here.
double checked_amount(double value, std::string_view param);
// An int that fits a signed 32-bit value.
std::int32_t as_i32(PyObject* obj, std::string_view param);

}  // namespace korvanta::py::native
