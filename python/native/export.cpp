// korvanta._native's exports of finished spans, for the package's exporters.
// Records are read under the interpreter lock, not under a borrow: an
// exporter must never make the application's own later call on a span fail
// with a borrow conflict.
#include <string>
#include <utility>

#include "instance.hpp"
#include "korvanta/json.hpp"
#include "package_access.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {

Result<Ref> json_lines(PyObject*, const Args<signatures::json_lines>& args) {
  Ref items = Ref::steal(PySequence_Fast(args[0], "argument 'spans': expected a sequence of TraceSpan"));
  if (!items) return Error::fetch();
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  PyObject** spans = PySequence_Fast_ITEMS(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (Status s = check_span(spans[i], "spans"); !s) return std::move(s).error();
  }
  std::string out;
  for (Py_ssize_t i = 0; i < count; ++i) {
    out += span_to_json(instance_of<SpanClass>(spans[i])->value, JsonLayout::Compact);
    out += '\n';
  }
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  if (!bytes) return Error::fetch();
  return bytes;
}

}  // namespace korvanta::py::native
