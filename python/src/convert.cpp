// Value conversions and argument-error rewrapping.
#include "convert.hpp"

#include <limits>
#include <string>

#include "ref.hpp"

namespace korvanta::py {
namespace {

// A str's UTF-8 text; empty on failure (error cleared).
std::string utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = str != nullptr ? PyUnicode_AsUTF8AndSize(str, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

[[gnu::cold]] Error out_of_range() {
  return Error(PyExc_OverflowError, "out of range integral type conversion attempted");
}

template <class T>
Result<T> as_small_unsigned(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return Error::fetch();
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<T>::max()) return out_of_range();
  return static_cast<T>(value);
}

bool is_numpy_bool_type(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetName(type));
  const std::string type_name = utf8_of(name.get());
  if (type_name != "bool_" && type_name != "bool") return false;
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  return utf8_of(module.get()) == "numpy";
}

}  // namespace

Error conversion_error(PyObject* obj, std::string_view target) {
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  std::string type_name;
  if (qualname) {
    type_name = utf8_of(qualname.get());
  } else {
    PyErr_Clear();
    type_name = "<failed to extract type name>";
  }
  std::string msg = "'" + type_name + "' object cannot be converted to '";
  msg.append(target);
  msg += '\'';
  return Error(PyExc_TypeError, std::move(msg));
}

// Everything but a compact ASCII str: other strs through the UTF-8 cache,
// anything else rejected.
Result<std::string_view> as_text_slow(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return conversion_error(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return Error::fetch();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<bool> as_bool(PyObject* obj) {
  if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == Py_True;
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool_type(type)) return conversion_error(obj, "PyBool");
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (nb_bool == nullptr) {
    PyErr_Clear();
    Ref type_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
    if (!type_text) return Error::fetch();
    return Error(PyExc_TypeError, "object of type '" + utf8_of(type_text.get()) +
                                      "' does not define a '__bool__' conversion");
  }
  const int truth = nb_bool(obj);
  if (truth < 0) return Error::fetch();
  return truth == 1;
}

Result<std::uint16_t> as_u16(PyObject* obj) { return as_small_unsigned<std::uint16_t>(obj); }
Result<std::uint32_t> as_u32(PyObject* obj) { return as_small_unsigned<std::uint32_t>(obj); }

Result<std::uint64_t> as_u64(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::steal(PyNumber_Index(obj));
    if (!index) return Error::fetch();
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
  return static_cast<std::uint64_t>(value);
}

Result<PyObject*> as_instance(PyObject* obj, PyTypeObject* type, std::string_view target) {
  if (!PyType_IsSubtype(Py_TYPE(obj), type)) return conversion_error(obj, target);
  return obj;
}

Error rewrap_argument(Error error, std::string_view param) {
  if (error.type() != PyExc_TypeError) return error;
  std::string msg = "argument '";
  msg.append(param);
  msg += "': ";
  msg += error.text();
  return Error(PyExc_TypeError, std::move(msg), error.cause());
}

}  // namespace korvanta::py
