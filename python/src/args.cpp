// Matching arguments to parameters. A successful parse allocates nothing:
// slots hold borrowed references; only the failure messages build text.
#include "args.hpp"

#include <string>
#include <vector>

namespace korvanta::py {
namespace {

std::string function_name(const ParamsView& p) {
  std::string name;
  if (!p.owner.empty()) {
    name.append(p.owner);
    name += '.';
  }
  name.append(p.name);
  name += "()";
  return name;
}

[[gnu::cold]] Error too_many_positional(const ParamsView& p, Py_ssize_t given) {
  std::string msg = function_name(p);
  const std::size_t n = p.positional;
  if (p.required == n) {
    msg += " takes " + std::to_string(n);
  } else {
    msg += " takes from " + std::to_string(p.required) + " to " + std::to_string(n);
  }
  msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return Error(PyExc_TypeError, std::move(msg));
}

// Built as a str, so that a keyword UTF-8 cannot carry (a lone surrogate)
// is still named in the message.
[[gnu::cold]] Error unexpected_keyword(const ParamsView& p, PyObject* keyword) {
  Ref text = checked(PyObject_Str(keyword));
  const std::string name = function_name(p);
  return Error(PyExc_TypeError,
               checked(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", name.c_str(), text.get())));
}

[[gnu::cold]] Error multiple_values(const ParamsView& p, std::string_view param) {
  std::string msg = function_name(p) + " got multiple values for argument '";
  msg.append(param);
  msg += '\'';
  return Error(PyExc_TypeError, std::move(msg));
}

[[gnu::cold]] Error missing_required(const ParamsView& p, PyObject* const* slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < p.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(p.params[i].name);
  }
  std::string msg = function_name(p) + " missing " + std::to_string(missing.size()) +
                    " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        msg += " and ";
      } else {
        msg += i + 1 == missing.size() ? ", and " : ", ";
      }
    }
    msg += '\'';
    msg.append(missing[i]);
    msg += '\'';
  }
  return Error(PyExc_TypeError, std::move(msg));
}

// Index of the parameter named `keyword`: keyword-only parameters are
// searched first, then positional ones; -1 when none matches (a keyword that
// is not a str, or cannot be read as UTF-8, matches none).
std::ptrdiff_t find_parameter(const ParamsView& p, PyObject* keyword) {
  if (p.interned != nullptr) {
    for (std::size_t i = 0; i < p.params.size(); ++i) {
      if (p.interned[i] == keyword) return static_cast<std::ptrdiff_t>(i);
    }
  }
  if (!PyUnicode_Check(keyword)) return -1;
  std::string_view name;
  if (PyUnicode_IS_COMPACT_ASCII(keyword)) {
    // Keyword names are nearly always ASCII: read them in place.
    name = std::string_view(static_cast<const char*>(PyUnicode_DATA(keyword)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(keyword)));
  } else {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return -1;
    }
    name = std::string_view(utf8, static_cast<std::size_t>(size));
  }
  for (std::size_t i = p.positional; i < p.params.size(); ++i) {
    if (p.params[i].name == name) return static_cast<std::ptrdiff_t>(i);
  }
  for (std::size_t i = 0; i < p.positional; ++i) {
    if (p.params[i].name == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

void assign_keyword(const ParamsView& p, PyObject* keyword, PyObject* value, PyObject** slots) {
  const std::ptrdiff_t index = find_parameter(p, keyword);
  if (index < 0) raise(unexpected_keyword(p, keyword));
  const auto i = static_cast<std::size_t>(index);
  if (slots[i] != nullptr) raise(multiple_values(p, p.params[i].name));
  slots[i] = value;
}

void start(const ParamsView& p, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
  if (static_cast<std::size_t>(nargs) > p.positional) raise(too_many_positional(p, nargs));
  const std::size_t total = p.params.size();
  for (std::size_t i = 0; i < total; ++i) slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
}

void finish(const ParamsView& p, PyObject* const* slots) {
  for (std::size_t i = 0; i < p.required; ++i) {
    if (slots[i] == nullptr) raise(missing_required(p, slots));
  }
}

}  // namespace

void parse_args(const ParamsView& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  start(p, args, nargs, slots);
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) assign_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
  finish(p, slots);
}

void parse_args(const ParamsView& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
  start(p, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) assign_keyword(p, key, value, slots);
  }
  finish(p, slots);
}

}  // namespace korvanta::py
