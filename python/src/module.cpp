// Making the module: one per process, refused in any interpreter other than
// the first, and the registration of its attributes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "build_id.hpp"
#include "client.hpp"
#include "configure.hpp"
#include "entry.hpp"
#include "error.hpp"
#include "interned.hpp"
#include "korvanta/fault.hpp"
#include "convert.hpp"
#include "ref.hpp"
#include "runtime.hpp"
#include "span.hpp"
#include "tracer.hpp"

namespace korvanta::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "korvanta_python",
    "Korvanta Python bindings.",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first initialised the module; -1 until then.
std::atomic<std::int64_t> g_interpreter{-1};
// The module, kept for the life of the process.
std::atomic<PyObject*> g_module{nullptr};


InternedName g_all_name("__all__");
InternedName g_name_name("__name__");

// The module's __all__ list, created empty when the module has none yet.
Ref all_list(PyObject* module) {
  PyObject* all_name = g_all_name.get();
  raise_if(all_name == nullptr);
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    Error error = Error::fetch();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) raise(std::move(error));
    all = Ref::steal(PyList_New(0));
    raise_if(!all || PyObject_SetAttr(module, all_name, all.get()) < 0);
  }
  if (!PyList_Check(all.get())) raise(conversion_error(all.get(), "PyList"));
  return all;
}

// Appends `name` to __all__ and sets the module attribute.
void add_value(PyObject* module, const char* name, PyObject* value) {
  Ref all = all_list(module);
  Ref name_obj = checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), name_obj.get()) < 0) {
    PyErr_Clear();
    throw Fault("could not append __name__ to __all__");
  }
  raise_if(PyObject_SetAttr(module, name_obj.get(), value) < 0);
}

// Adds a class object (made once per process) under its name.
void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  add_value(module, name, reinterpret_cast<PyObject*>(type));
}

// Adds a built-in function bound to the module, under its own __name__.
void add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = checked(PyModule_GetNameObject(module));
  Ref function = checked(PyCMethod_New(def, module, module_name.get(), nullptr));
  PyObject* name_attr = g_name_name.get();
  raise_if(name_attr == nullptr);
  Ref name = checked(PyObject_GetAttr(function.get(), name_attr));
  add_value(module, std::string(as_text(name.get())).c_str(), function.get());
}

// The registration sequence; stops at the first failing step.
void initialise(PyObject* module) {
  Ref version = checked(PyUnicode_FromString(KORVANTA_VERSION));
  add_value(module, "__version__", version.get());
  add_class(module, "DURUraTracer", make_tracer_class());
  add_class(module, "TraceSpan", make_span_class());
  add_class(module, "InstrumentedClient", make_client_class());
  add_function(module, &configure_method);
  add_function(module, &instrument_method);
}

#if PY_VERSION_HEX < 0x030D0000
// Exported by CPython 3.12 but declared only in its internal headers: the
// check with which the import system refuses a single-phase module in an
// isolated sub-interpreter. 3.12 makes it only after the initialisation
// function has run, so that function makes it first itself.
extern "C" int _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

}  // namespace

Ref init_module() {
#if PY_VERSION_HEX < 0x030D0000
  // An interpreter that is about to refuse the module must not become its
  // owner: the owner is the first interpreter whose import succeeds.
  if (_PyImport_CheckSubinterpIncompatibleExtensionAllowed("korvanta_python") < 0) raise_pending();
#endif
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  raise_if(id == -1);
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    raise(PyExc_ImportError,
                 "korvanta_python does not support sub-interpreters: it is already "
                 "initialised in another interpreter of this process");
  }
  if (PyObject* module = g_module.load(std::memory_order_acquire)) return Ref::borrow(module);

  Ref module = checked(PyModule_Create2(&g_module_def, 1013));
  initialise(module.get());
  PyObject* stored = nullptr;
  if (!g_module.compare_exchange_strong(stored, module.get(), std::memory_order_acq_rel)) {
    return Ref::borrow(stored);
  }
  Py_INCREF(module.get());  // the cell's own reference
  return module;
}

const char* build_id() noexcept { return KORVANTA_BUILD_ID; }

}  // namespace korvanta::py
