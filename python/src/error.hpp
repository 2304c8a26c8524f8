// Errors carried as values inside an entry until the entry wrapper raises
// them, the Result type that carries them, and the fetch rule.
#pragma once

#include <Python.h>

#include <string>
#include <utility>
#include <variant>

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

struct Unit {};

// The outcome of a step inside an entry: a value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  explicit operator bool() const noexcept { return v_.index() == 0; }
  T& operator*() & { return std::get<0>(v_); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  Error& error() & { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

using Status = Result<Unit>;
inline constexpr Unit ok{};

}  // namespace korvanta::py
