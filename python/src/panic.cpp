// PanicException and the conversion of internal faults into it.
#include "panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "korvanta/fault.hpp"
#include "ref.hpp"

namespace korvanta::py {
namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

std::string current_fault_message() {
  try {
    throw;
  } catch (const Fault& fault) {
    return fault.message();
  } catch (const std::bad_alloc&) {
    return "memory allocation failed";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "native code failed without a message";
  }
}

}  // namespace

PyObject* panic_exception_type_if_made() noexcept {
  return g_panic_type.load(std::memory_order_acquire);
}

PyObject* panic_exception_type() {
  if (PyObject* type = panic_exception_type_if_made()) return type;
  PyObject* made = PyErr_NewExceptionWithDoc("ostrel_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  if (made == nullptr) {
    PyErr_Clear();
    throw Fault("Failed to initialize new exception type.");
  }
  // Another thread may have stored one meanwhile; the first one stays.
  PyObject* expected = nullptr;
  if (!g_panic_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

void raise_current_fault() noexcept {
  try {
    const std::string message = current_fault_message();
    PyObject* type = panic_exception_type();
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(),
                                                      static_cast<Py_ssize_t>(message.size())));
    if (!text) throw Fault("could not make the panic message");
    PyErr_SetObject(type, text.get());
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace korvanta::py
