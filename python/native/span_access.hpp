// korvanta._native's entries on spans (span_access.cpp) and on batches of
// finished spans (export.cpp).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "ref.hpp"
#include "signatures.hpp"

namespace korvanta::py::native {

// The shared steps of the entries below and of korvanta.span blocks.
// A new span: `texts_args` are the operation name, provider and model.
Ref new_span(PyObject* tracer, PyObject* const* texts_args, PyObject* parent, PyObject* fallback);
// See hand_over(); `obj` is a checked span.
enum class HandOver { Before, SampledOut, Deliver };
HandOver hand_over_record(PyObject* obj, std::optional<std::uint64_t> sample_below);

// A span of `tracer` (None: the parent's tracer, else `fallback`), child of
// `parent` (same trace id, parent_span_id set) or, for None, the root of a
// new trace; the tracer is kept as the span's.
Ref start_span(PyObject* module, const Args<signatures::start_span>& args);
// The tracer a span was started with or adopted, or None.
Ref tracer_of(PyObject* module, const Args<signatures::tracer_of>& args);
// Keeps `tracer` as the span's tracer unless it has one; returns the span's.
Ref adopt(PyObject* module, const Args<signatures::adopt>& args);
// Hands the span over once: finishes it if nothing did, marks it handed
// over and returns whether it goes to the processors (False when handed over
// before, or when its trace is sampled out: the first eight bytes of the
// trace id, big-endian, not below `sample_below`; None keeps every trace).
Ref hand_over(PyObject* module, const Args<signatures::hand_over>& args);
Ref add_event(PyObject* module, const Args<signatures::add_event>& args);
Ref set_cost(PyObject* module, const Args<signatures::set_cost>& args);
Ref report_action(PyObject* module, const Args<signatures::report_action>& args);
// bytes: each span's compact JSON document followed by a line feed. `mask`
// (see TextMask) masks copies of the records first.
Ref json_lines(PyObject* module, const Args<signatures::json_lines>& args);
// bytes: one OTLP ExportTraceServiceRequest holding the spans; `mask` as for
// json_lines.
Ref encode_otlp(PyObject* module, const Args<signatures::encode_otlp>& args);
// Scans the span (security.cpp): fills its findings and score, replacing
// earlier ones; returns span.security_findings().
Ref scan(PyObject* module, const Args<signatures::scan>& args);

}  // namespace korvanta::py::native
