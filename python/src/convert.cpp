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
T as_small_unsigned(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  raise_if(value == -1 && PyErr_Occurred());
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<T>::max()) raise(out_of_range());
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
std::string_view as_text_slow(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise(conversion_error(obj, "PyString"));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  raise_if(utf8 == nullptr);
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

bool as_bool(PyObject* obj) {
  if (Py_IS_TYPE(obj, &PyBool_Type)) return obj == Py_True;
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_numpy_bool_type(type)) raise(conversion_error(obj, "PyBool"));
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (nb_bool == nullptr) {
    PyErr_Clear();
    Ref type_text = checked(PyObject_Str(reinterpret_cast<PyObject*>(type)));
    raise(PyExc_TypeError, "object of type '" + utf8_of(type_text.get()) + "' does not define a '__bool__' conversion");
  }
  const int truth = nb_bool(obj);
  raise_if(truth < 0);
  return truth == 1;
}

std::uint16_t as_u16(PyObject* obj) { return as_small_unsigned<std::uint16_t>(obj); }
std::uint32_t as_u32(PyObject* obj) { return as_small_unsigned<std::uint32_t>(obj); }

std::uint64_t as_u64(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = checked(PyNumber_Index(obj));
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  raise_if(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
  return static_cast<std::uint64_t>(value);
}

Error rewrap_argument(Error error, std::string_view param) {
  if (error.type() != PyExc_TypeError) return error;
  std::string msg = "argument '";
  msg.append(param);
  msg += "': ";
  msg += error.text();
  return Error(PyExc_TypeError, std::move(msg), error.cause());
}

void rethrow_for_argument(std::string_view param) {
  try {
    throw;
  } catch (PythonError& e) {
    raise(rewrap_argument(std::move(e.error()), param));
  } catch (const ErrorAlreadySet&) {
    raise(rewrap_argument(Error::fetch(), param));
  }
}

}  // namespace korvanta::py
