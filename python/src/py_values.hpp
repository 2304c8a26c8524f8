// Python objects built from record values: what property getters return.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "korvanta/uuid.hpp"
#include "ref.hpp"

namespace korvanta::py {

inline Result<Ref> to_python(std::string_view text) {
  Ref obj = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!obj) return Error::fetch();
  return obj;
}

inline Result<Ref> to_python(const std::string& text) { return to_python(std::string_view(text)); }

// The 36-character lower-case hyphenated text form.
inline Result<Ref> to_python(const Uuid& id) {
  char text[Uuid::kTextSize];
  id.write_text(text);
  return to_python(std::string_view(text, sizeof text));
}

inline Result<Ref> to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

inline Result<Ref> to_python(std::uint64_t value) {
  Ref obj = Ref::steal(PyLong_FromUnsignedLongLong(value));
  if (!obj) return Error::fetch();
  return obj;
}

inline Result<Ref> to_python(std::uint32_t value) { return to_python(std::uint64_t{value}); }
inline Result<Ref> to_python(std::uint16_t value) { return to_python(std::uint64_t{value}); }
inline Result<Ref> to_python(std::uint8_t value) { return to_python(std::uint64_t{value}); }

inline Result<Ref> none() { return Ref::borrow(Py_None); }

// A held object itself (a new reference to the same object).
inline Result<Ref> to_python(const Ref& obj) { return obj; }

// An absent value reads as None.
template <class T>
Result<Ref> to_python(const std::optional<T>& value) {
  if (!value) return none();
  return to_python(*value);
}

}  // namespace korvanta::py
