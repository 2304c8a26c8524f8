// TraceSpan.to_json, to_dict and security_findings. The dictionary forms are
// what the interpreter's json.loads makes of the compact text.
#include "instance.hpp"
#include "interned.hpp"
#include "korvanta/json.hpp"
#include "py_values.hpp"
#include "span.hpp"
#include "span_methods.hpp"
#include "str_storage.hpp"

namespace korvanta::py {
namespace {

// A new str from the writer's buffer (valid UTF-8: every text in a record
// came from a Python str).
Result<Ref> text_of(const JsonWriter& out) { return new_str(out.view(), out.is_ascii()); }

InternedName g_loads_name("loads");

// json.loads(text), with "json" imported afresh through the import system (so
// a module replaced in sys.modules is the one used) and loads called as a
// method of it.
Result<Ref> json_loads(const JsonWriter& out) {
  Ref module_name = Ref::steal(PyUnicode_FromString("json"));
  if (!module_name) return Error::fetch();
  Ref json = Ref::steal(PyImport_Import(module_name.get()));
  if (!json) return Error::fetch();
  Result<Ref> text = text_of(out);
  if (!text) return text;
  PyObject* loads = g_loads_name.get();
  if (loads == nullptr) return Error::fetch();
  PyObject* call_args[] = {json.get(), (*text).get()};
  Ref parsed = Ref::steal(
      PyObject_VectorcallMethod(loads, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!parsed) return Error::fetch();
  return parsed;
}

}  // namespace

Result<Ref> to_json(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  if (!span) return std::move(span).error();
  StrStorage storage;
  JsonWriter out(JsonLayout::Indented, storage);
  write_span(out, **span);
  Ref text = storage.take(out);
  if (!text) return Error::fetch();
  return text;
}

// The shared borrow is held until loads returns: a loads that reaches back
// into a setter of this span meets "Already borrowed".
Result<Ref> to_dict(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  if (!span) return std::move(span).error();
  JsonWriter out(JsonLayout::Compact);
  write_span(out, **span);
  return json_loads(out);
}

Result<Ref> security_findings(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  if (!span) return std::move(span).error();
  JsonWriter out(JsonLayout::Compact);
  write_finding_summaries(out, (*span)->security_findings);
  return json_loads(out);
}

}  // namespace korvanta::py
