// The native side of the package's pipeline: where finished spans go.
#include "pipeline.hpp"

#include <utility>

#include "convert.hpp"
#include "interned.hpp"
#include "package_access.hpp"
#include "py_values.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_on_end("on_end");

}  // namespace

Pipeline& pipeline() {
  static Pipeline state;
  return state;
}

Status deliver_span(PyObject* span) {
  Pipeline& state = pipeline();
  Result<bool> goes_on = hand_over_record(span, state.sample_below);
  if (!goes_on) return std::move(goes_on).error();
  if (!*goes_on || !state.processors) return ok;
  // Held: a processor may call setup() and replace the tuple meanwhile.
  Ref processors = state.processors;
  PyObject* name = g_on_end.get();
  if (name == nullptr) return Error::fetch();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(processors.get()); ++i) {
    PyObject* processor = PyTuple_GET_ITEM(processors.get(), i);
    PyObject* call_args[] = {processor, span};
    Ref result = Ref::steal(PyObject_VectorcallMethod(name, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (result) continue;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Error::fetch();
    // A processor never breaks the application's call: reported once per
    // kind by report_once, then the next processor.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref report = state.report;
    if (report) {
      PyObject* report_args[] = {processor, error.get(), name};
      Ref reported = Ref::steal(PyObject_Vectorcall(report.get(), report_args, 3, nullptr));
      if (!reported) PyErr_WriteUnraisable(report.get());
    }
  }
  return ok;
}

Result<Ref> bind_context(PyObject*, const Args<signatures::bind_context>& args) {
  for (int i = 0; i < 2; ++i) {
    if (!PyContextVar_CheckExact(args[i])) return Error(PyExc_TypeError, "expected two contextvars.ContextVar");
  }
  Pipeline& state = pipeline();
  state.current_var = Ref::borrow(args[0]);
  state.tags_var = Ref::borrow(args[1]);
  state.report = Ref::borrow(args[2]);
  return none();
}

Result<Ref> set_pipeline(PyObject*, const Args<signatures::set_pipeline>& args) {
  if (!PyTuple_CheckExact(args[0])) return Error(PyExc_TypeError, "argument 'processors': expected a tuple");
  if (Status s = check_tracer(args[1], "tracer"); !s) return std::move(s).error();
  std::optional<std::uint64_t> sample_below;
  if (args[2] != Py_None) {
    auto below = argument<as_u64>(args[2], "sample_below");
    if (!below) return std::move(below).error();
    sample_below = *below;
  }
  Pipeline& state = pipeline();
  state.processors = Ref::borrow(args[0]);
  state.tracer = Ref::borrow(args[1]);
  state.sample_below = sample_below;
  return none();
}

Result<Ref> deliver(PyObject*, const Args<signatures::deliver>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  if (Status s = deliver_span(args[0]); !s) return std::move(s).error();
  return none();
}

}  // namespace korvanta::py::native
