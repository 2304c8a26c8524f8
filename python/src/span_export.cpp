// TraceSpan.to_json, to_dict and security_findings. The dictionary forms are
// what the interpreter's json.loads makes of the compact text.
#include "entry.hpp"
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
Ref text_of(const JsonWriter& out) { return new_str(out.view(), out.is_ascii()); }

InternedName g_loads_name("loads");

// json.loads(text), with "json" imported afresh through the import system (so
// a module replaced in sys.modules is the one used) and loads called as a
// method of it.
Ref json_loads(const JsonWriter& out) {
  Ref module_name = checked(PyUnicode_FromString("json"));
  Ref json = checked(PyImport_Import(module_name.get()));
  Ref text = text_of(out);
  PyObject* loads = g_loads_name.get();
  if (loads == nullptr) raise_pending();
  PyObject* call_args[] = {json.get(), text.get()};
  Ref parsed = checked(
      PyObject_VectorcallMethod(loads, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return parsed;
}

constexpr auto kToJson = describe("TraceSpan", "to_json", Receiver::self);
constexpr char kToJsonDoc[] = "Serialise the span to a JSON string.";

Ref to_json(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  StrStorage storage;
  JsonWriter out(JsonLayout::Indented, storage);
  write_span(out, *span);
  return storage.take(out);
}

constexpr auto kToDict = describe("TraceSpan", "to_dict", Receiver::self);
constexpr char kToDictDoc[] = "Serialise the span to a Python dictionary.";

// The shared borrow is held until loads returns: a loads that reaches back
// into a setter of this span meets "Already borrowed".
Ref to_dict(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  JsonWriter out(JsonLayout::Compact);
  write_span(out, *span);
  return json_loads(out);
}

constexpr auto kSecurityFindings = describe("TraceSpan", "security_findings", Receiver::self);
constexpr char kSecurityFindingsDoc[] = "Security findings as a list of dicts.";

Ref security_findings(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  JsonWriter out(JsonLayout::Compact);
  write_finding_summaries(out, span->security_findings);
  return json_loads(out);
}

}  // namespace

PyMethodDef to_json_method() { return noargs_method<kToJson, to_json, kToJsonDoc>(); }
PyMethodDef to_dict_method() { return noargs_method<kToDict, to_dict, kToDictDoc>(); }
PyMethodDef security_findings_method() {
  return noargs_method<kSecurityFindings, security_findings, kSecurityFindingsDoc>();
}

}  // namespace korvanta::py
