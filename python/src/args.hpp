// Argument descriptions and the parser that matches a call's positional and
// keyword arguments to parameter slots, with the interpreter-style TypeErrors.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <span>
#include <string_view>
#include <type_traits>

#include "convert.hpp"
#include "error.hpp"

namespace korvanta::py {

// One parameter, as the entry's text signature shows it.
enum class Kind : unsigned char { positional, keyword_only };

struct Param {
  std::string_view name;
  std::string_view default_text = {};  // empty: required
  Kind kind = Kind::positional;
};

// A parameter that may be left out, shown with its default (None unless
// said otherwise).
constexpr Param optional(std::string_view name, std::string_view default_text = "None") {
  return {name, default_text, Kind::positional};
}
// A parameter only given by keyword; always optional.
constexpr Param keyword_only(std::string_view name, std::string_view default_text = "None") {
  return {name, default_text, Kind::keyword_only};
}

// How the text signature names what the entry is bound to.
enum class Receiver : unsigned char { none, self, module };

// What the parser needs of a description, independent of its size.
struct ParamsView {
  std::string_view owner;  // class name in messages; empty for module functions
  std::string_view name;
  std::span<const Param> params;  // positional ones first
  std::size_t positional;         // how many of them are positional
  std::size_t required;           // the first `required` positional parameters
  // The names as interned strs (an entry nullptr if it could not be made),
  // or nullptr: the keywords of a call site are interned by the compiler, so
  // comparing pointers first usually finds the parameter.
  PyObject* const* interned = nullptr;
};

// The one statement of an entry's parameters. The parser's tables, the
// names in argument errors and the text signature handed to the
// interpreter are all derived from it.
template <std::size_t N>
struct Params {
  std::string_view owner;
  std::string_view name;
  std::array<Param, N> params;
  Receiver receiver = Receiver::none;
  bool positional_only = false;  // shown as a trailing "/" in the signature

  static constexpr std::size_t kSlots = N;

  constexpr std::size_t positional_count() const {
    std::size_t n = 0;
    while (n < N && params[n].kind == Kind::positional) ++n;
    return n;
  }
  constexpr std::size_t required_count() const {
    std::size_t n = 0;
    while (n < N && params[n].kind == Kind::positional && params[n].default_text.empty()) ++n;
    return n;
  }
  // Positional parameters come first, required ones before optional ones.
  constexpr bool well_formed() const {
    for (std::size_t i = positional_count(); i < N; ++i) {
      if (params[i].kind != Kind::keyword_only || params[i].default_text.empty()) return false;
    }
    for (std::size_t i = required_count(); i < positional_count(); ++i) {
      if (params[i].default_text.empty()) return false;
    }
    return true;
  }
  constexpr ParamsView view() const { return {owner, name, params, positional_count(), required_count()}; }
};

// Describes an entry: describe("TraceSpan", "set_error", Receiver::self,
// {Param{"error"}, optional("status_code")}).
template <std::size_t N>
constexpr Params<N> describe(std::string_view owner, std::string_view name, Receiver receiver,
                             const Param (&params)[N], bool positional_only = false) {
  Params<N> d{owner, name, {}, receiver, positional_only};
  for (std::size_t i = 0; i < N; ++i) d.params[i] = params[i];
  return d;
}
constexpr Params<0> describe(std::string_view owner, std::string_view name, Receiver receiver) {
  return {owner, name, {}, receiver, false};
}

// The text signature, "(a, b=None, *, c=None)", as the interpreter reads it
// from a docstring's "name(sig)\n--\n\n" header.
template <std::size_t N>
constexpr std::string text_signature(const Params<N>& d) {
  std::string out = "(";
  bool first = true;
  const auto next = [&] {
    if (!first) out += ", ";
    first = false;
  };
  if (d.receiver == Receiver::self) {
    next();
    out += "$self";
  } else if (d.receiver == Receiver::module) {
    next();
    out += "$module";
  }
  bool star = false;
  for (const Param& p : d.params) {
    if (p.kind == Kind::keyword_only && !star) {
      next();
      out += "*";
      star = true;
    }
    next();
    out += p.name;
    if (!p.default_text.empty()) {
      out += "=";
      out += p.default_text;
    }
  }
  if (d.positional_only) {
    next();
    out += "/";
  }
  out += ")";
  return out;
}

// A fixed string made at compile time, NUL-terminated.
template <std::size_t Size>
struct FixedText {
  std::array<char, Size + 1> chars{};
  constexpr const char* c_str() const { return chars.data(); }
  constexpr std::string_view view() const { return {chars.data(), Size}; }
};

// Copies constexpr-made text into a FixedText of its exact size.
template <auto Make>
consteval auto fixed_text() {
  constexpr std::size_t size = Make().size();
  FixedText<size> out;
  const std::string text = Make();
  for (std::size_t i = 0; i < size; ++i) out.chars[i] = text[i];
  return out;
}

// "<name>(sig)\n--\n\n" followed by `doc`: the header from which the
// interpreter reads a text signature.
template <std::size_t N>
constexpr std::string signed_doc(std::string_view name, const Params<N>& d, std::string_view doc) {
  std::string text(name);
  text += text_signature(d);
  text += "\n--\n\n";
  text += doc;
  return text;
}

// The docstring of an entry, headed by its own name, made at compile time.
template <const auto& Description, const auto& Doc>
inline constexpr auto docstring =
    fixed_text<[] { return signed_doc(Description.name, Description, std::string_view(Doc)); }>();

// The docstring of a class whose constructor `Description` states, headed
// by the class name (the description's owner).
template <const auto& Description, const auto& Doc>
inline constexpr auto class_docstring =
    fixed_text<[] { return signed_doc(Description.owner, Description, std::string_view(Doc)); }>();

// A class's text signature, "(sig)", for its docstring header.
template <const auto& Description>
inline constexpr auto class_signature = fixed_text<[] { return text_signature(Description); }>();

// One borrowed reference (or nullptr for "not given") per parameter, in
// description order, and their conversions, each naming its parameter as
// the description states it.
template <const auto& Description>
struct Args : std::array<PyObject*, std::remove_cvref_t<decltype(Description)>::kSlots> {
  static_assert(Description.well_formed());

  // The name of parameter I, for messages that name it.
  template <std::size_t I>
  static constexpr std::string_view name() {
    return Description.params[I].name;
  }
  // The converted value of a required parameter, or of an optional one
  // whose absence the body handles itself.
  template <std::size_t I, auto Convert>
  auto get() const {
    return argument<Convert>((*this)[I], Description.params[I].name);
  }
  // An optional parameter: not given or None is nullopt.
  template <std::size_t I, auto Convert>
  auto get_optional() const {
    return optional_argument<Convert>((*this)[I], Description.params[I].name);
  }
};

// A vectorcall: `nargs` positional arguments in `args`, followed by the values
// of the keywords named in the tuple `kwnames` (may be nullptr).
void parse_args(const ParamsView& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots);

// A classic call: a tuple of positional arguments and a dict of keywords
// (may be nullptr), visited in the dict's order.
void parse_args(const ParamsView& params, PyObject* args, PyObject* kwargs, PyObject** slots);

// The interned names of a description's parameters, made on the first call
// that needs them (under the interpreter lock) and kept for the process.
template <const auto& Description>
PyObject* const* interned_names() {
  static std::array<PyObject*, std::remove_cvref_t<decltype(Description)>::kSlots + 1> names{};
  static bool made = false;
  if (!made) {
    for (std::size_t i = 0; i < Description.params.size(); ++i) {
      // Each name is a whole string literal, so NUL-terminated.
      names[i] = PyUnicode_InternFromString(Description.params[i].name.data());
      if (names[i] == nullptr) PyErr_Clear();
    }
    made = true;
  }
  return names.data();
}

template <const auto& Description>
ParamsView keyword_view() {
  ParamsView view = Description.view();
  view.interned = interned_names<Description>();
  return view;
}

template <const auto& Description>
void parse_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args<Description>& slots) {
  // The usual call gives its arguments by position only: they go straight
  // to their slots, without the general matching.
  constexpr auto required = static_cast<Py_ssize_t>(Description.required_count());
  constexpr auto positional = static_cast<Py_ssize_t>(Description.positional_count());
  if (kwnames == nullptr && nargs >= required && nargs <= positional) [[likely]] {
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    return;
  }
  parse_args(keyword_view<Description>(), args, nargs, kwnames, slots.data());
}

template <const auto& Description>
void parse_args(PyObject* args, PyObject* kwargs, Args<Description>& slots) {
  parse_args(keyword_view<Description>(), args, kwargs, slots.data());
}

}  // namespace korvanta::py
