// The steps of korvanta._native's span entries (span_access.cpp) that
// korvanta.span blocks and the pipeline share.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

// A new span: `texts_args` are the operation name, provider and model.
Ref new_span(PyObject* tracer, PyObject* const* texts_args, PyObject* parent, PyObject* fallback);
// See hand_over (span_access.cpp); `obj` is a checked span.
enum class HandOver { Before, SampledOut, Deliver };
HandOver hand_over_record(PyObject* obj, std::optional<std::uint64_t> sample_below);

}  // namespace korvanta::py::native
