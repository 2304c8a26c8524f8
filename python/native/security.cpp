// korvanta._native.scan and the scan at a span's end: the core's scanner
// over a span record, its findings and score written into the record.
#include <utility>

#include "instance.hpp"
#include "korvanta/scanner.hpp"
#include "package_access.hpp"
#include "pipeline.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {

Status scan_span_object(PyObject* span) {
  auto record = borrow_exclusive<SpanClass>(span);
  if (!record) return std::move(record).error();
  // Findings are made (ids drawn, time read) before the record changes, so
  // a fault of the random source or the clock leaves it as it was.
  std::vector<SecurityFinding> findings = scan_span(**record);
  const std::uint8_t score = security_score(findings);
  (*record)->security_findings = std::move(findings);
  (*record)->security_score = score;
  return ok;
}

Result<Ref> scan(PyObject*, const Args<signatures::scan>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  if (Status s = scan_span_object(args[0]); !s) return std::move(s).error();
  Ref summaries = Ref::steal(PyObject_CallMethod(args[0], "security_findings", nullptr));
  if (!summaries) return Error::fetch();
  return summaries;
}

}  // namespace korvanta::py::native
