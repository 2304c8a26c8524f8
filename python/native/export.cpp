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
  auto spans = SpanRecords::of(args[0]);
  if (!spans) return std::move(spans).error();
  std::string out;
  for (const TraceSpan* record : spans->records) {
    out += span_to_json(*record, JsonLayout::Compact);
    out += '\n';
  }
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  if (!bytes) return Error::fetch();
  return bytes;
}

}  // namespace korvanta::py::native
