// TraceSpan.to_json, to_dict and security_findings. The dictionary forms are
// what the interpreter's json.loads makes of the compact text.
#include "entry.hpp"
#include "instance.hpp"
#include "interned.hpp"
#include "korvanta/json.hpp"
#include "span.hpp"
#include "span_methods.hpp"
#include "str_storage.hpp"

namespace korvanta::py {
namespace {

// The document `write` makes, written straight into the str returned.
template <class Write>
Ref json_text(JsonLayout layout, Write&& write) {
  StrStorage storage;
  JsonWriter out(layout, storage);
  write(out);
  return storage.take(out);
}

InternedName g_loads_name("loads");

// json.loads(text), with "json" imported afresh through the import system (so
// a module replaced in sys.modules is the one used) and loads called as a
// method of it.
Ref json_loads(const Ref& text) {
  Ref module_name = checked(PyUnicode_FromString("json"));
  Ref json = checked(PyImport_Import(module_name.get()));
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
  return json_text(JsonLayout::Indented, [&](JsonWriter& out) { write_span(out, *span); });
}

constexpr auto kToDict = describe("TraceSpan", "to_dict", Receiver::self);
constexpr char kToDictDoc[] = "Serialise the span to a Python dictionary.";

// The shared borrow is held until loads returns: a loads that reaches back
// into a setter of this span meets "Already borrowed".
Ref to_dict(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  return json_loads(json_text(JsonLayout::Compact, [&](JsonWriter& out) { write_span(out, *span); }));
}

constexpr auto kSecurityFindings = describe("TraceSpan", "security_findings", Receiver::self);
constexpr char kSecurityFindingsDoc[] = "Security findings as a list of dicts.";

Ref security_findings(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  return json_loads(
      json_text(JsonLayout::Compact, [&](JsonWriter& out) { write_finding_summaries(out, span->security_findings); }));
}

}  // namespace

PyMethodDef to_json_method() { return noargs_method<kToJson, to_json, kToJsonDoc>(); }
PyMethodDef to_dict_method() { return noargs_method<kToDict, to_dict, kToDictDoc>(); }
PyMethodDef security_findings_method() {
  return noargs_method<kSecurityFindings, security_findings, kSecurityFindingsDoc>();
}

}  // namespace korvanta::py
