// Type checks and conversions of korvanta._native's entries.
#include "package_access.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "convert.hpp"

namespace korvanta::py::native {
namespace {

template <class C>
void check_exact(PyObject* obj, std::string_view param) {
  if (!Py_IS_TYPE(obj, C::type())) raise(rewrap_argument(conversion_error(obj, C::name), param));
  if (!instance_of<C>(obj)->constructed) raise(unconstructed_error(C::name));
}

[[noreturn, gnu::cold]] void raise_type_error(std::string_view param, std::string_view expected) {
  std::string message = "argument '";
  message.append(param);
  message += "': expected ";
  message.append(expected);
  raise(PyExc_TypeError, std::move(message));
}

}  // namespace

void check_span(PyObject* obj, std::string_view param) { check_exact<SpanClass>(obj, param); }

void check_tracer(PyObject* obj, std::string_view param) { check_exact<TracerClass>(obj, param); }

SpanRecords SpanRecords::of(PyObject* sequence) {
  SpanRecords out;
  out.items = checked(PySequence_Fast(sequence, "argument 'spans': expected a sequence of TraceSpan"));
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(out.items.get());
  PyObject** spans = PySequence_Fast_ITEMS(out.items.get());
  out.records.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    check_span(spans[i], "spans");
    out.records.push_back(&instance_of<SpanClass>(spans[i])->value);
  }
  return out;
}

StringMap as_string_map(PyObject* obj, std::string_view param) {
  StringMap map;
  if (obj == nullptr || obj == Py_None) return map;
  if (!PyDict_Check(obj)) raise_type_error(param, "a dict of str to str");
  // Keys and values are read while the dict is iterated; nothing here runs
  // Python code, so the dict cannot change underneath.
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) raise_type_error(param, "a dict of str to str");
    map.insert_or_assign(as_text(key), as_text(value));
  }
  return map;
}

double as_amount(PyObject* obj, std::string_view param) {
  if (!PyFloat_Check(obj) && !PyLong_Check(obj)) raise_type_error(param, "a float");
  const double value = PyFloat_AsDouble(obj);
  raise_if(value == -1.0 && PyErr_Occurred());
  return checked_amount(value, param);
}

double checked_amount(double value, std::string_view param) {
  if (!std::isfinite(value) || value < 0) {
    std::string message = "argument '";
    message.append(param);
    message += "': expected a finite amount no less than zero";
    raise(PyExc_ValueError, std::move(message));
  }
  return value;
}

std::int32_t as_i32(PyObject* obj, std::string_view param) {
  if (!PyLong_Check(obj)) raise_type_error(param, "an int");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  raise_if(value == -1 && PyErr_Occurred());
  if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace korvanta::py::native
