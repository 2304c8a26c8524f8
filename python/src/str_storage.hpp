// JSON written straight into a new str: the writer's bytes live in the
// string object itself, so a large document is neither copied nor held twice.
#pragma once

#include <Python.h>

#include <new>

#include "error.hpp"
#include "korvanta/json_writer.hpp"
#include "ref.hpp"

namespace korvanta::py {

// The block is a compact ASCII str whose length is the writer's capacity;
// take() trims it to the text. A document with bytes >= 0x80 is decoded into
// a str of its own kind instead (its bytes are valid UTF-8: every text in a
// record came from a str).
class StrStorage final : public JsonStorage {
 public:
  char* resize(std::size_t, std::size_t capacity) override {
    PyObject* obj = str_.release();
    if (obj == nullptr) {
      obj = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
    } else if (PyUnicode_Resize(&obj, static_cast<Py_ssize_t>(capacity)) < 0) {
      // A failed resize leaves the str as it was: keep it for the writer.
      str_ = Ref::steal(obj);
      obj = nullptr;
    }
    if (obj == nullptr) {
      // The same failure as the writer's own allocation reports.
      PyErr_Clear();
      throw std::bad_alloc();
    }
    str_ = Ref::steal(obj);
    return static_cast<char*>(PyUnicode_DATA(obj));
  }

  // The writer's text as a str.
  Ref take(const JsonWriter& out) {
    const auto size = static_cast<Py_ssize_t>(out.size());
    if (!out.is_ascii()) return checked(PyUnicode_DecodeUTF8(out.data(), size, "strict"));
    PyObject* obj = str_.release();
    if (PyUnicode_Resize(&obj, size) < 0) {
      str_ = Ref::steal(obj);
      raise_pending();
    }
    return Ref::steal(obj);
  }

 private:
  Ref str_;
};

}  // namespace korvanta::py
