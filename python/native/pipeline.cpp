// The native side of the package's pipeline: where finished spans go.
#include "pipeline.hpp"

#include <utility>

#include "convert.hpp"
#include "entry.hpp"
#include "functions.hpp"
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

void deliver_span(PyObject* span) {
  Pipeline& state = pipeline();
  const HandOver handed = hand_over_record(span, state.sample_below);
  if (handed == HandOver::Before) return;
  if (state.scan && tracer_wants_security(span)) scan_span_object(span);
  if (state.mask_in_place && state.mask) {
    Ref mask_obj = state.mask;
    const TextMask mask = TextMask::from(mask_obj.get(), "mask");
    const Exclusive<SpanClass> record = borrow_exclusive<SpanClass>(span);
    mask.apply(*record);
  }
  if (handed != HandOver::Deliver || !state.processors) return;
  // Held: a processor may call setup() and replace the tuple meanwhile.
  Ref processors = state.processors;
  PyObject* name = g_on_end.get();
  raise_if(name == nullptr);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(processors.get()); ++i) {
    PyObject* processor = PyTuple_GET_ITEM(processors.get(), i);
    PyObject* call_args[] = {processor, span};
    Ref result = Ref::steal(PyObject_VectorcallMethod(name, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (result) continue;
    raise_if(!PyErr_ExceptionMatches(PyExc_Exception));
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
}

namespace {

constexpr auto kBindContext = function("bind_context", {{"current"}, {"tags"}, {"report"}});
constexpr char kBindContextDoc[] =
    "The context variables of the current span and tags, and the reporter of failing processors.";

Ref bind_context(PyObject*, const Args<kBindContext>& args) {
  for (int i = 0; i < 2; ++i) {
    if (!PyContextVar_CheckExact(args[i])) raise(PyExc_TypeError, "expected two contextvars.ContextVar");
  }
  Pipeline& state = pipeline();
  state.current_var = Ref::borrow(args[0]);
  state.tags_var = Ref::borrow(args[1]);
  state.report = Ref::borrow(args[2]);
  return none();
}

constexpr auto kSetPipeline = function(
    "set_pipeline", {{"processors"}, {"tracer"}, {"sample_below"}, {"scan"}, {"mask"}, {"mask_in_place"}});
constexpr char kSetPipelineDoc[] = "Where finished spans go, and what happens to them first.";

Ref set_pipeline(PyObject*, const Args<kSetPipeline>& args) {
  if (!PyTuple_CheckExact(args[0])) raise(PyExc_TypeError, "argument 'processors': expected a tuple");
  check_tracer(args[1], args.name<1>());
  std::optional<std::uint64_t> sample_below;
  if (args[2] != Py_None) sample_below = args.get<2, as_u64>();
  const bool scan = args.get<3, as_bool>();
  TextMask::from(args[4], args.name<4>());  // checked now, made again where used
  const bool mask_in_place = args.get<5, as_bool>();
  Pipeline& state = pipeline();
  state.processors = Ref::borrow(args[0]);
  state.tracer = Ref::borrow(args[1]);
  state.sample_below = sample_below;
  state.scan = scan;
  state.mask = args[4] == Py_None ? Ref() : Ref::borrow(args[4]);
  state.mask_in_place = mask_in_place;
  return none();
}

constexpr auto kDeliver = function("deliver", {{"span"}});
constexpr char kDeliverDoc[] = "Hands the span over once and calls each processor's on_end.";

Ref deliver(PyObject*, const Args<kDeliver>& args) {
  check_span(args[0], args.name<0>());
  deliver_span(args[0]);
  return none();
}

}  // namespace

PyMethodDef pipeline_functions[] = {
    fastcall_method<kBindContext, bind_context, kBindContextDoc>(),
    fastcall_method<kSetPipeline, set_pipeline, kSetPipelineDoc>(),
    fastcall_method<kDeliver, deliver, kDeliverDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
