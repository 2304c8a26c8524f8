// Interned attribute-name strings, made on first use and kept for the process.
#pragma once

#include <Python.h>

#include <atomic>

#include "error.hpp"

namespace korvanta::py {

class InternedName {
 public:
  explicit constexpr InternedName(const char* text) : text_(text) {}

  // The interned str (a borrowed reference), or nullptr with the
  // interpreter's exception set. Two threads making it at once keep the
  // first one stored.
  PyObject* get() {
    if (PyObject* name = cell_.load(std::memory_order_acquire)) return name;
    PyObject* name = PyUnicode_InternFromString(text_);
    if (name == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!cell_.compare_exchange_strong(expected, name, std::memory_order_acq_rel)) {
      Py_DECREF(name);
      return expected;
    }
    return name;
  }

  // The interned str, or ErrorAlreadySet thrown (inside an entry).
  PyObject* require() {
    PyObject* name = get();
    if (name == nullptr) throw ErrorAlreadySet{};
    return name;
  }

 private:
  const char* text_;
  std::atomic<PyObject*> cell_{nullptr};
};

}  // namespace korvanta::py
