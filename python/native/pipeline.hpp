// The package's pipeline as native code sees it: the context variables of
// the current span and the attributes() tags, and the processors that
// finished spans go to. Set from Python (korvanta._pipeline, _context) and
// read on every span's start and end; guarded by the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

struct Pipeline {
  Ref current_var;  // ContextVar of the current span
  Ref tags_var;     // ContextVar of the merged attributes() tags
  Ref report;       // report_once(where, error, action), for processors that raise
  Ref processors;   // tuple
  Ref tracer;       // the tracer of spans that name none
  std::optional<std::uint64_t> sample_below;
  bool scan = true;         // scan spans of tracers with enable_security
  Ref mask;                 // None, "secrets" or a callable (see TextMask)
  bool mask_in_place = false;
};

Pipeline& pipeline();

// Hands a span over (hand_over_record); the first time, scans it when the
// pipeline scans and the span's tracer has enable_security, and masks it in
// place when asked; then, unless its trace is sampled out, calls each
// processor's on_end(span). An Exception from a processor is reported and
// swallowed; any other BaseException propagates.
void deliver_span(PyObject* span);
// Fills the span's findings and score from a scan of its texts, replacing
// earlier ones (security.cpp).
void scan_span_object(PyObject* span);

}  // namespace korvanta::py::native
