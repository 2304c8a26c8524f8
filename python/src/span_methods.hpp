// TraceSpan methods that live in files of their own: agent action reporting
// and the exports. span.cpp puts them in the class's method table.
#pragma once

#include <Python.h>

#include "args.hpp"
#include "error.hpp"
#include "ref.hpp"
#include "signatures.hpp"

namespace korvanta::py {

extern const char kReportActionDoc[];
Result<Ref> report_action(PyObject* self, const Args<signatures::span_report_action>& args);

Result<Ref> to_json(PyObject* self);
Result<Ref> to_dict(PyObject* self);
Result<Ref> security_findings(PyObject* self);

}  // namespace korvanta::py
