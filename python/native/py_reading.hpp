// How korvanta._native's steps read Python values they are handed: truth as
// Python sees it, and attributes, required or optional. An error ends the
// entry (ErrorAlreadySet), as everywhere in the native part.
#pragma once

#include <Python.h>

#include "error.hpp"
#include "interned.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

// Truth as Python sees it; an error in __bool__ ends the entry.
inline bool truthy(PyObject* obj) {
  const int result = PyObject_IsTrue(obj);
  raise_if(result < 0);
  return result == 1;
}

// obj.name.
inline Ref attribute(PyObject* obj, InternedName& name) {
  return checked(PyObject_GetAttr(obj, name.require()));
}

// obj.name, or an empty Ref when obj has no such attribute.
inline Ref optional_attribute(PyObject* obj, InternedName& name) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  raise_if(PyObject_GetOptionalAttr(obj, name.require(), &value) < 0);
#else
  raise_if(_PyObject_LookupAttr(obj, name.require(), &value) < 0);
#endif
  return Ref::steal(value);
}

}  // namespace korvanta::py::native
