// The native side of the package's pipeline: where finished spans go.
#include "pipeline.hpp"

#include <utility>

#include "convert.hpp"
#include "instance.hpp"
#include "interned.hpp"
#include "masking.hpp"
#include "package_access.hpp"
#include "py_values.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_on_end("on_end");

// The span's tracer (the package's, else the pipeline's) has enable_security.
bool tracer_wants_security(PyObject* span) {
  PyObject* tracer = instance_of<SpanClass>(span)->package_tracer;
  if (tracer == nullptr) tracer = pipeline().tracer.get();
  if (tracer == nullptr) return false;
  return instance_of<TracerClass>(tracer)->value.enable_security;
}

}  // namespace

Pipeline& pipeline() {
  static Pipeline state;
  return state;
}

Status deliver_span(PyObject* span) {
  Pipeline& state = pipeline();
  Result<HandOver> handed = hand_over_record(span, state.sample_below);
  if (!handed) return std::move(handed).error();
  if (*handed == HandOver::Before) return ok;
  if (state.scan && tracer_wants_security(span)) {
    if (Status s = scan_span_object(span); !s) return s;
  }
  if (state.mask_in_place && state.mask) {
    Ref mask_obj = state.mask;
    auto mask = TextMask::from(mask_obj.get(), "mask");
    if (!mask) return std::move(mask).error();
    auto record = borrow_exclusive<SpanClass>(span);
    if (!record) return std::move(record).error();
    if (Status s = mask->apply(**record); !s) return s;
  }
  if (*handed != HandOver::Deliver || !state.processors) return ok;
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
    auto below = args.get<2, as_u64>();
    if (!below) return std::move(below).error();
    sample_below = *below;
  }
  auto scan = args.get<3, as_bool>();
  if (!scan) return std::move(scan).error();
  auto mask = TextMask::from(args[4], "mask");
  if (!mask) return std::move(mask).error();
  auto mask_in_place = args.get<5, as_bool>();
  if (!mask_in_place) return std::move(mask_in_place).error();
  Pipeline& state = pipeline();
  state.processors = Ref::borrow(args[0]);
  state.tracer = Ref::borrow(args[1]);
  state.sample_below = sample_below;
  state.scan = *scan;
  state.mask = args[4] == Py_None ? Ref() : Ref::borrow(args[4]);
  state.mask_in_place = *mask_in_place;
  return none();
}

Result<Ref> deliver(PyObject*, const Args<signatures::deliver>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  if (Status s = deliver_span(args[0]); !s) return std::move(s).error();
  return none();
}

}  // namespace korvanta::py::native
