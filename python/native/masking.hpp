// Masking what leaves the process: the scanner's own masking of detected
// credentials and personal data ("secrets"), or a Python callable
// (text, field) -> str, applied to every free text of a span record.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "error.hpp"
#include "korvanta/trace_span.hpp"

namespace korvanta::py::native {

class TextMask {
 public:
  // None (or not given): no masking; "secrets"; or a callable, which the
  // caller keeps alive for as long as the mask is used.
  static TextMask from(PyObject* mask, std::string_view param);

  bool active() const noexcept { return kind_ != Kind::None; }
  // Replaces each free text of `span` (prompt, response, error, tag values,
  // event descriptions and data, each action's name, arguments, result and
  // metadata values) with its masked form. Ids, names of fields and map keys
  // are left alone. A callable that raises, or returns a non-str, leaves the
  // span partly masked and the error raised.
  void apply(TraceSpan& span) const;

 private:
  enum class Kind { None, Secrets, Callable };
  Kind kind_ = Kind::None;
  PyObject* callable_ = nullptr;
};

// Copies of `records` with `mask` applied (the records themselves untouched).
std::vector<TraceSpan> masked_copies(const std::vector<const TraceSpan*>& records, const TextMask& mask);

}  // namespace korvanta::py::native
