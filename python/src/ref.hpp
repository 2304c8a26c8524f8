// Ref: the owning reference to a Python object used throughout the module.
#pragma once

#include <Python.h>

#include <utility>

namespace korvanta::py {

// The calling thread's thread state, or nullptr when it holds none.
inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

// Whether the interpreter is finalising: a plain read of process state, where
// asking for the thread state costs a thread-local lookup through
// __tls_get_addr in an interpreter built as a shared library.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Whether this thread may touch objects. Only a daemon thread that the
// interpreter ends at exit unwinds without a thread state, and that happens
// only once finalisation has begun, so the thread state is asked for then
// only.
inline bool may_touch_objects() noexcept {
  return !interpreter_finalizing() || current_thread_state() != nullptr;
}

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
  // Not noexcept: Python code run by the release may be where the
  // interpreter ends this thread (see guarded()).
  ~Ref() noexcept(false) {
    if (obj_ != nullptr) drop(obj_);
  }

  // Releases one reference, unless this thread no longer has a thread state:
  // a daemon thread that the interpreter ends at exit unwinds its frames
  // without the lock, and touching objects then would race the finalising
  // thread, so the reference is left to the process's end instead.
  static void drop(PyObject* obj) noexcept(false) {
    if (may_touch_objects()) [[likely]] Py_DECREF(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (for returning it to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Py_EnterRecursiveCall for the life of a scope; false when the recursion
// limit is reached (RecursionError is then pending).
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (entered_ && may_touch_objects()) Py_LeaveRecursiveCall();
  }
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_;
};

}  // namespace korvanta::py
