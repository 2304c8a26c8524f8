// Python errors inside an entry: the Error value, the exceptions that carry
// it to the entry wrapper, and the fetch rule.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "ref.hpp"

namespace korvanta::py {

// Either a module-made error (an exception type and a message, turned into
// an exception object only when raised, so a replaced or dropped error costs
// no object) or an exception taken from the interpreter, raised again as the
// same object.
class Error {
 public:
  Error(PyObject* type, std::string message, Ref cause = {})
      : type_(type), message_(std::move(message)), cause_(std::move(cause)) {}
  // A module-made error whose message is already a str (one that UTF-8
  // cannot carry, such as a name holding a lone surrogate).
  Error(PyObject* type, Ref message) : type_(type), message_obj_(std::move(message)) {}

  // The fetch rule: takes the pending exception; SystemError "attempted to
  // fetch exception but none was set" when there is none. A PanicException
  // coming back from Python code is reported to stderr and rethrown as an
  // internal fault (korvanta::Fault) carrying its str().
  [[nodiscard]] static Error fetch();

  // The exception's type, without creating an object for module-made errors.
  PyObject* type() const noexcept;
  // The exception's str(): the message of a module-made error.
  std::string text() const;
  // The exception's __cause__ (empty when none).
  Ref cause() const;

  // Sets the interpreter's error indicator from this error.
  void restore() &&;

 private:
  explicit Error(Ref exception) : exception_(std::move(exception)) {}

  PyObject* type_ = nullptr;
  std::string message_;
  Ref message_obj_;
  Ref cause_;
  Ref exception_;
};

// Thrown inside an entry to end it with a Python error: guarded() raises
// it on the way out. Not a std::exception, so that nothing meant for
// internal faults catches it.
class PythonError {
 public:
  explicit PythonError(Error error) : error_(std::move(error)) {}
  Error& error() noexcept { return error_; }

 private:
  Error error_;
};

// Thrown when a call into the interpreter failed and left its error
// indicator set: guarded() takes it as it is (through the fetch rule).
struct ErrorAlreadySet {};

// Ends the entry with `error`.
[[noreturn, gnu::cold]] void raise(Error error);
[[noreturn, gnu::cold]] void raise(PyObject* type, std::string message);
// Ends the entry with the interpreter's pending error.
[[noreturn, gnu::cold]] void raise_pending();

// The result of an API call that returns a new reference or nullptr with
// the error indicator set.
inline Ref checked(PyObject* result) {
  if (result == nullptr) [[unlikely]] raise_pending();
  return Ref::steal(result);
}
// For API calls that report failure by a status (-1) or a flag.
inline void raise_if(bool failed) {
  if (failed) [[unlikely]] raise_pending();
}

// Sets the interpreter's error for the exception being handled: a
// PythonError is raised, ErrorAlreadySet goes through the fetch rule, and
// anything else becomes PanicException. Call only from a catch block, never
// for abi::__forced_unwind.
void raise_current_exception() noexcept;

}  // namespace korvanta::py
