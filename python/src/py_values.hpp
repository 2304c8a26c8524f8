// Python objects built from record values: what property getters return.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "korvanta/uuid.hpp"
#include "ref.hpp"

namespace korvanta::py {

// Whether every byte is below 0x80, eight at a time.
inline bool is_ascii(std::string_view text) noexcept {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    seen |= word;
  }
  for (; i < text.size(); ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & 0x8080808080808080ULL) == 0;
}

// A str from UTF-8 text already known to be ASCII or not. ASCII text is
// copied straight into a compact ASCII str, skipping the decoder.
inline Ref new_str(std::string_view text, bool ascii) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  Ref obj;
  if (ascii) {
    obj = Ref::steal(PyUnicode_New(size, 127));
    if (obj) std::memcpy(PyUnicode_DATA(obj.get()), text.data(), text.size());
  } else {
    obj = Ref::steal(PyUnicode_FromStringAndSize(text.data(), size));
  }
  raise_if(!obj);
  return obj;
}

inline Ref to_python(std::string_view text) { return new_str(text, is_ascii(text)); }

inline Ref to_python(const std::string& text) { return to_python(std::string_view(text)); }

// The 36-character lower-case hyphenated text form, written straight into
// a new ASCII str.
inline Ref to_python(const Uuid& id) {
  Ref obj = checked(PyUnicode_New(Uuid::kTextSize, 127));
  id.write_text(static_cast<char*>(PyUnicode_DATA(obj.get())));
  return obj;
}

inline Ref to_python(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

inline Ref to_python(std::uint64_t value) {
  return checked(PyLong_FromUnsignedLongLong(value));
}

inline Ref to_python(std::uint32_t value) { return to_python(std::uint64_t{value}); }
inline Ref to_python(std::uint16_t value) { return to_python(std::uint64_t{value}); }
inline Ref to_python(std::uint8_t value) { return to_python(std::uint64_t{value}); }

inline Ref none() { return Ref::borrow(Py_None); }

// A held object itself (a new reference to the same object).
inline Ref to_python(const Ref& obj) { return obj; }

// An absent value reads as None.
template <class T>
Ref to_python(const std::optional<T>& value) {
  if (!value) return none();
  return to_python(*value);
}

}  // namespace korvanta::py
