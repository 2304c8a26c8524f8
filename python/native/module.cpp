// korvanta._native: the native part of the korvanta package. It loads the
// same shared runtime as korvanta_python and refuses to start unless both
// come from one build and the module's classes are the runtime's.
#include <Python.h>

#include <string>

#include "build_id.hpp"
#include "entry.hpp"
#include "functions.hpp"
#include "llm_call.hpp"
#include "runtime.hpp"
#include "span.hpp"
#include "request_hook.hpp"
#include "span_block.hpp"
#include "stream_tap.hpp"
#include "tracer.hpp"

namespace korvanta::py::native {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "korvanta._native", "Native part of the korvanta package.", 0, nullptr,
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
  for (PyMethodDef* functions : {span_functions, export_functions, scan_functions, pipeline_functions, genai_functions,
                                    stream_functions, call_functions, chat_stream_functions,
                                    chat_completion_functions, stream_setup_functions, sse_event_functions,
                                    request_hook_functions}) {
    raise_if(PyModule_AddFunctions(made.get(), functions) < 0);
  }
  make_tap_type();
  make_usage_filter_type();
  make_stream_setup_types();
  make_event_reader_type();
  make_request_hook_type();
  Ref call_type = make_call_type();
  raise_if(PyModule_AddObjectRef(made.get(), "Call", call_type.get()) < 0);
  Ref block_type = make_span_block_type();
  raise_if(PyModule_AddObjectRef(made.get(), "span", block_type.get()) < 0);
  Ref build = checked(PyUnicode_FromString(KORVANTA_BUILD_ID));
  raise_if(PyModule_AddObjectRef(made.get(), "BUILD_ID", build.get()) < 0);
  return made;
}

}  // namespace
}  // namespace korvanta::py::native

PyMODINIT_FUNC PyInit__native() { return korvanta::py::guarded(korvanta::py::native::init); }
