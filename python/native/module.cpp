// korvanta._native: the native part of the korvanta package. It loads the
// same shared runtime as korvanta_python and refuses to start unless both
// come from one build and the module's classes are the runtime's.
#include <Python.h>

#include <string>

#include "build_id.hpp"
#include "entry.hpp"
#include "runtime.hpp"
#include "span.hpp"
#include "pipeline.hpp"
#include "span_access.hpp"
#include "span_block.hpp"
#include "tracer.hpp"

namespace korvanta::py::native {
namespace {

template <const auto& Description, auto Body>
constexpr PyMethodDef entry(const char* doc) {
  return {Description.name.data(), as_method(fastcall<Description, Body>), METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef g_functions[] = {
    entry<signatures::start_span, start_span>(
        "start_span($module, tracer, operation_name, provider, model, parent, fallback, /)\n--\n\n"
        "A span of `tracer` (or the parent's, or `fallback`), child of `parent` or the root of a new trace."),
    entry<signatures::tracer_of, tracer_of>("tracer_of($module, span, /)\n--\n\nThe span's tracer, or None."),
    entry<signatures::adopt, adopt>(
        "adopt($module, span, tracer, /)\n--\n\nKeeps `tracer` as the span's unless it has one; returns the span's."),
    entry<signatures::hand_over, hand_over>(
        "hand_over($module, span, sample_below, /)\n--\n\n"
        "Finishes the span if needed and marks it handed over; True when it goes to the processors."),
    entry<signatures::add_event, add_event>(
        "add_event($module, span, name, description, data, /)\n--\n\nAppends an event to the span."),
    entry<signatures::set_cost, set_cost>("set_cost($module, span, usd, /)\n--\n\nSets the estimated cost in USD."),
    entry<signatures::report_action, report_action>(
        "report_action($module, span, action_type, name, *, arguments=None, result=None, duration_ms=None, "
        "success=None, exit_code=None, http_method=None, http_status=None, file_operation=None, metadata=None)\n--\n\n"
        "Appends an agent action with every field; returns its id."),
    entry<signatures::json_lines, json_lines>(
        "json_lines($module, spans, mask=None, /)\n--\n\nEach span's compact JSON document and a line feed, as bytes."),
    entry<signatures::scan, scan>(
        "scan($module, span, /)\n--\n\nChecks the span's texts; fills its findings and score; returns their summaries."),
    entry<signatures::encode_otlp, encode_otlp>(
        "encode_otlp($module, spans, service_name, mask=None, /)\n--\n\n"
        "One OTLP/HTTP protobuf request body holding the spans; mask: None, \"secrets\" or (text, field) -> str."),
    entry<signatures::bind_context, bind_context>(
        "bind_context($module, current, tags, report, /)\n--\n\n"
        "The context variables of the current span and tags, and the reporter of failing processors."),
    entry<signatures::set_pipeline, set_pipeline>(
        "set_pipeline($module, processors, tracer, sample_below, scan, mask, mask_in_place, /)\n--\n\n"
        "Where finished spans go, and what happens to them first."),
    entry<signatures::deliver, deliver>(
        "deliver($module, span, /)\n--\n\nHands the span over once and calls each processor's on_end."),
    {nullptr, nullptr, 0, nullptr},
};

const char kSpanDoc[] =
    "span(operation_name, *, provider='', model='', tracer=None, tags=None)\n--\n\n"
    "A block run inside a new span, the current span while it runs.\n\n"
    "The span is a child of the current span, or the root of a new trace. On\n"
    "leaving the block, an exception is recorded with\n"
    "``set_error(\"<type>: <message>\")`` and goes on; otherwise the span is\n"
    "finished unless something finished it already. Then the span goes to the\n"
    "pipeline (see ``korvanta.setup``). Works with ``with`` and ``async with``\n"
    "and binds the ``korvanta_python.TraceSpan``::\n\n"
    "    with korvanta.span(\"agent\", tags={\"team\": \"search\"}) as root:\n"
    "        with korvanta.span(\"chat\", provider=\"openai\", model=\"gpt-4o\") as call:\n"
    "            call.set_response(\"...\")\n";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "korvanta._native", "Native part of the korvanta package.", 0, g_functions,
    nullptr, nullptr, nullptr, nullptr,
};

Ref init() {
  if (std::string(build_id()) != KORVANTA_BUILD_ID) {
    raise(PyExc_ImportError, std::string("korvanta._native comes from build ") + KORVANTA_BUILD_ID +
                                        " but its runtime from build " + build_id() +
                                        "; reinstall the korvanta_python distribution");
  }
  // The runtime's classes exist once korvanta_python has started.
  Ref imported = checked(PyImport_ImportModule("korvanta_python"));
  Ref span_class = checked(PyObject_GetAttrString(imported.get(), "TraceSpan"));
  if (span_class.get() != reinterpret_cast<PyObject*>(SpanClass::type())) {
    raise(PyExc_ImportError,
                 "korvanta._native and the imported korvanta_python come from different installations");
  }
  Ref made = checked(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
  Ref block_type = make_span_block_type(kSpanDoc);
  raise_if(PyModule_AddObjectRef(made.get(), "span", block_type.get()) < 0);
  Ref build = checked(PyUnicode_FromString(KORVANTA_BUILD_ID));
  raise_if(PyModule_AddObjectRef(made.get(), "BUILD_ID", build.get()) < 0);
  return made;
}

}  // namespace
}  // namespace korvanta::py::native

PyMODINIT_FUNC PyInit__native() { return korvanta::py::guarded(korvanta::py::native::init); }
