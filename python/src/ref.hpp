// Ref: the owning reference to a Python object used throughout the module.
#pragma once

#include <Python.h>

#include <utility>

namespace korvanta::py {

// Owns one strong reference (or none). Moving transfers it; copying takes a
// new one. Build with steal() for a new reference an API call returned and
// with borrow() for a borrowed one.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(const Ref& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (for returning it to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace korvanta::py
