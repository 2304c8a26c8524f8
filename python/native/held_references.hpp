// The references a GC type of korvanta._native holds, stated once: its
// tp_traverse, tp_clear and tp_dealloc are made from the list of fields.
#pragma once

#include <Python.h>

#include <utility>

#include "error.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

// A new, untracked object of a GC type made when the module started: its
// fields are set, then it is tracked (PyObject_GC_Track).
template <class T>
T* new_object(PyTypeObject* type) {
  if (type == nullptr) raise(PyExc_RuntimeError, "korvanta._native is not initialised");
  T* made = PyObject_GC_New(T, type);
  raise_if(made == nullptr);
  return made;
}

// Replaces a held reference (nullptr: none); the old one is released after
// the swap, as releasing it may run Python code that reads the slot.
inline void replace(PyObject*& slot, PyObject* value) {
  PyObject* old = std::exchange(slot, Py_XNewRef(value));
  Py_XDECREF(old);
}

// Makes a type of korvanta._native once, when the module starts; `made`
// keeps it for the life of the process.
inline void make_type_once(PyTypeObject*& made, PyType_Spec& desc) {
  if (made != nullptr) return;
  PyObject* type = PyType_FromSpec(&desc);
  raise_if(type == nullptr);
  made = reinterpret_cast<PyTypeObject*>(type);
}

template <class T, PyObject* T::*... Fields>
struct HeldReferences {
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    T* obj = reinterpret_cast<T*>(self);
    for (PyObject* held : {(obj->*Fields)...}) Py_VISIT(held);
    Py_VISIT(Py_TYPE(self));
    return 0;
  }

  static int clear(PyObject* self) {
    T* obj = reinterpret_cast<T*>(self);
    const auto drop = [](PyObject*& slot) { Py_CLEAR(slot); };
    (drop(obj->*Fields), ...);
    return 0;
  }

  // Untracked, references dropped (unless this thread may no longer touch
  // objects, see Ref::drop), freed, and the heap type released.
  static void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    const bool touch = may_touch_objects();
    if (touch) clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    if (touch) Py_DECREF(type);
  }
};

}  // namespace korvanta::py::native
