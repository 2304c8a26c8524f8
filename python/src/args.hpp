// Argument descriptions and the parser that matches a call's positional and
// keyword arguments to parameter slots, with the interpreter-style TypeErrors.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "error.hpp"

namespace korvanta::py {

// What the parser needs of a description, independent of its sizes.
struct ParamsView {
  std::string_view owner;  // class name in messages; empty for module functions
  std::string_view name;
  std::span<const std::string_view> positional;
  std::size_t required;  // the first `required` positional parameters
  std::span<const std::string_view> keyword_only;  // all optional
};

// The fixed description of one entry's parameters.
template <std::size_t P, std::size_t K>
struct Params {
  std::string_view owner;
  std::string_view name;
  std::array<std::string_view, P> positional;
  std::size_t required;
  std::array<std::string_view, K> keyword_only;

  static constexpr std::size_t kSlots = P + K;
  constexpr ParamsView view() const { return {owner, name, positional, required, keyword_only}; }
};

// One borrowed reference (or nullptr for "not given") per parameter:
// positional parameters first, then keyword-only ones, in description order.
template <const auto& Description>
using Args = std::array<PyObject*, std::remove_cvref_t<decltype(Description)>::kSlots>;

// A vectorcall: `nargs` positional arguments in `args`, followed by the values
// of the keywords named in the tuple `kwnames` (may be nullptr).
Status parse_args(const ParamsView& params, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** slots);

// A classic call: a tuple of positional arguments and a dict of keywords
// (may be nullptr), visited in the dict's order.
Status parse_args(const ParamsView& params, PyObject* args, PyObject* kwargs, PyObject** slots);

template <const auto& Description>
Status parse_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args<Description>& slots) {
  return parse_args(Description.view(), args, nargs, kwnames, slots.data());
}

template <const auto& Description>
Status parse_args(PyObject* args, PyObject* kwargs, Args<Description>& slots) {
  return parse_args(Description.view(), args, kwargs, slots.data());
}

}  // namespace korvanta::py
