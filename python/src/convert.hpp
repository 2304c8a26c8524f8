// Conversions of Python objects to the values the records hold (each returns
// the value or raises), and the rewrapping that names the parameter in an
// argument's TypeError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "error.hpp"

namespace korvanta::py {

// TypeError "'<type qualname>' object cannot be converted to '<target>'".
[[gnu::cold]] Error conversion_error(PyObject* obj, std::string_view target);

std::string_view as_text_slow(PyObject* obj);

// A str or str subclass, read through the interpreter's cached UTF-8 view
// (valid while `obj` lives; nothing is copied). A lone surrogate raises the
// interpreter's UnicodeEncodeError.
inline std::string_view as_text(PyObject* obj) {
  // A compact ASCII str is its own UTF-8: read it in place, no call needed.
  if (PyUnicode_Check(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
  }
  return as_text_slow(obj);
}
// Exactly bool, or a numpy boolean scalar through its truth value.
bool as_bool(PyObject* obj);
// Through PyLong_AsLong (int, bool, __index__); out of range raises
// OverflowError "out of range integral type conversion attempted".
std::uint16_t as_u16(PyObject* obj);
std::uint32_t as_u32(PyObject* obj);
// int directly, anything else through __index__; the interpreter's own
// OverflowError for negative or too large values.
std::uint64_t as_u64(PyObject* obj);

// An argument's conversion error: an exact TypeError becomes
// "argument '<param>': <message>" (keeping __cause__); others pass unchanged.
Error rewrap_argument(Error error, std::string_view param);

// Raises the Python error being handled (a PythonError or ErrorAlreadySet)
// rewrapped for `param`; other exceptions pass unchanged. Call only from a
// catch block.
[[noreturn, gnu::cold]] void rethrow_for_argument(std::string_view param);

// Converts a required argument with `convert`, naming `param` on failure.
template <auto Convert>
auto argument(PyObject* obj, std::string_view param) -> decltype(Convert(obj)) {
  try {
    return Convert(obj);
  } catch (...) {
    rethrow_for_argument(param);
  }
}

// Converts an optional argument: not given or None is nullopt.
template <auto Convert>
auto optional_argument(PyObject* obj, std::string_view param) -> std::optional<decltype(Convert(obj))> {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return argument<Convert>(obj, param);
}

}  // namespace korvanta::py
