// How korvanta._native's steps read Python values they are handed: truth as
// Python sees it, and attributes, required or optional (the fields of the
// clients' models straight from their instance dicts). An error ends the
// entry (ErrorAlreadySet), as everywhere in the native part.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

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

// obj.name(args...).
template <class... Args>
Ref call_method(PyObject* obj, InternedName& name, Args... args) {
  PyObject* argv[] = {obj, args...};
  return checked(PyObject_VectorcallMethod(name.require(), argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
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

inline InternedName g_getattribute("__getattribute__");

// A (type, name) found to be read from the instance dict, with the type's
// version tag then: the interpreter gives a type a new tag whenever it or a
// base class changes (0 while it has none), and never gives an old tag again.
struct InstanceDictRead {
  PyTypeObject* type = nullptr;
  PyObject* name = nullptr;
  unsigned int version = 0;
};

// The reads remembered, in sets of four by (type, name): a call reads some
// twenty fields of half a dozen types, and where the heap puts those decides
// which share a set. With one entry per slot, two that met would push each
// other out on every call, in some processes and not in others.
class InstanceDictReads {
 public:
  static constexpr std::size_t kWays = 4;

  bool known(PyTypeObject* type, PyObject* key) const {
    const unsigned int version = type->tp_version_tag;
    if (version == 0) return false;
    for (const InstanceDictRead& read : sets_[set_of(type, key)]) {
      if (read.type == type && read.name == key && read.version == version) return true;
    }
    return false;
  }

  // Remembers a read, in place of the same (type, name) at an older version,
  // else of the set's least recently remembered entry.
  void remember(PyTypeObject* type, PyObject* key, unsigned int version) {
    std::array<InstanceDictRead, kWays>& set = sets_[set_of(type, key)];
    std::size_t way = 0;
    while (way + 1 < kWays && !(set[way].type == type && set[way].name == key)) ++way;
    for (; way > 0; --way) set[way] = set[way - 1];
    set[0] = {type, key, version};
  }

 private:
  static constexpr std::size_t kSets = 64;

  static std::size_t set_of(PyTypeObject* type, PyObject* key) {
    // Both are aligned heap addresses: their product with a large odd
    // constant spreads them over the sets.
    const std::uint64_t mixed =
        (reinterpret_cast<std::uintptr_t>(type) ^ (reinterpret_cast<std::uintptr_t>(key) << 1)) * 0x9E3779B97F4A7C15ULL;
    static_assert(kSets == 64);
    return static_cast<std::size_t>(mixed >> 58);  // the top 6 bits
  }

  std::array<std::array<InstanceDictRead, kWays>, kSets> sets_{};
};
inline InstanceDictReads g_instance_dict_reads;  // under the GIL

// Whether Python reads `key` of a `type` instance from its instance dict
// first: the class's __getattribute__ is object's and it has no data
// descriptor of that name. Both lookups are remembered per type version
// when the class has no attribute of that name (a pydantic model's fields).
inline bool reads_instance_dict(PyTypeObject* type, PyObject* key, PyObject* getattribute) {
  if (g_instance_dict_reads.known(type, key)) return true;
  // object.__getattribute__, held for the life of the process.
  static PyObject* const generic = Py_XNewRef(_PyType_Lookup(&PyBaseObject_Type, getattribute));
  if (generic == nullptr || _PyType_Lookup(type, getattribute) != generic) return false;
  PyObject* descriptor = _PyType_Lookup(type, key);
  if (descriptor != nullptr && Py_TYPE(descriptor)->tp_descr_set != nullptr) return false;
  // Only a name the class has no attribute of is remembered: whether an
  // attribute is a data descriptor can change without the class's tag (its
  // own class may gain __set__). The tag is read after the lookups, which
  // give the type one if it had none.
  if (descriptor == nullptr && type->tp_version_tag != 0) g_instance_dict_reads.remember(type, key, type->tp_version_tag);
  return true;
}

// obj.name when Python would read it from obj's instance dict, without the
// generic lookup's steps (as for a pydantic model's fields). Borrowed;
// nullptr when the generic lookup must decide.
inline PyObject* instance_field(PyObject* obj, InternedName& name) {
  PyObject* getattribute = g_getattribute.get();
  PyObject* key = name.get();
  if (getattribute == nullptr || key == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (!reads_instance_dict(Py_TYPE(obj), key, getattribute)) return nullptr;
  PyObject** slot = _PyObject_GetDictPtr(obj);
  if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot)) return nullptr;
  PyObject* value = PyDict_GetItemWithError(*slot, key);
  if (value == nullptr) PyErr_Clear();  // the generic lookup says what is missing or failing
  return value;
}

// obj.name, a model's field read from its instance dict where it can be.
inline Ref field_attribute(PyObject* obj, InternedName& name) {
  if (PyObject* value = instance_field(obj, name)) return Ref::borrow(value);
  return attribute(obj, name);
}

// obj.name, or an empty Ref when obj has no such attribute; as field_attribute.
inline Ref optional_field_attribute(PyObject* obj, InternedName& name) {
  if (PyObject* value = instance_field(obj, name)) return Ref::borrow(value);
  return optional_attribute(obj, name);
}

}  // namespace korvanta::py::native
