// The fetch rule, and raising the errors that end an entry.
#include "error.hpp"

#include <cstdio>

#include "korvanta/fault.hpp"
#include "panic.hpp"

namespace korvanta::py {
namespace {

// str() of an exception object, as UTF-8.
std::string str_of(PyObject* exception, const char* fallback) {
  Ref text = Ref::steal(PyObject_Str(exception));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

Error Error::fetch() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) {
    return Error(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyObject* panic_type = panic_exception_type_if_made();
  if (panic_type != nullptr && PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
    // A panic that went out through Python code and came back: it is not an
    // ordinary error, so it ends this entry as a fresh internal fault.
    std::fputs("korvanta_python: a PanicException raised in Python code called from native code "
               "is resumed as a panic\n",
               stderr);
    std::fflush(stderr);
    PyErr_DisplayException(exception.get());
    throw Fault(str_of(exception.get(), "Unwrapped panic from Python code"));
  }
  return Error(std::move(exception));
}

PyObject* Error::type() const noexcept {
  return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : type_;
}

std::string Error::text() const {
  if (exception_) return str_of(exception_.get(), "<exception str() failed>");
  return message_obj_ ? str_of(message_obj_.get(), "<exception str() failed>") : message_;
}

Ref Error::cause() const {
  return exception_ ? Ref::steal(PyException_GetCause(exception_.get())) : cause_;
}

void Error::restore() && {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  Ref message = message_obj_ ? message_obj_
                             : Ref::steal(PyUnicode_FromStringAndSize(
                                   message_.data(), static_cast<Py_ssize_t>(message_.size())));
  if (!message) return;  // the interpreter's MemoryError is now set
  if (!cause_) {
    PyErr_SetObject(type_, message.get());
    return;
  }
  Ref exception = Ref::steal(PyObject_CallOneArg(type_, message.get()));
  if (!exception) return;
  PyException_SetCause(exception.get(), cause_.release());
  PyErr_SetRaisedException(exception.release());
}

void raise(Error error) { throw PythonError(std::move(error)); }

void raise(PyObject* type, std::string message) { throw PythonError(Error(type, std::move(message))); }

void raise_pending() { throw ErrorAlreadySet{}; }

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (PythonError& e) {
    std::move(e.error()).restore();
  } catch (const ErrorAlreadySet&) {
    // Taken and set again, so that the fetch rule (a missing error, a panic
    // coming back from Python code) applies as to any other fetch.
    try {
      Error::fetch().restore();
    } catch (...) {
      raise_current_fault();
    }
  } catch (...) {
    raise_current_fault();
  }
}

}  // namespace korvanta::py
