// korvanta._native.scan and the scan at a span's end: the core's scanner
// over a span record, its findings and score written into the record.
#include <utility>

#include "entry.hpp"
#include "functions.hpp"
#include "instance.hpp"
#include "korvanta/scanner.hpp"
#include "package_access.hpp"
#include "pipeline.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {

void scan_span_object(PyObject* span) {
  const Exclusive<SpanClass> record = borrow_exclusive<SpanClass>(span);
  // Findings are made (ids drawn, time read) before the record changes, so
  // a fault of the random source or the clock leaves it as it was.
  std::vector<SecurityFinding> findings = scan_span(*record);
  const std::uint8_t score = security_score(findings);
  record->security_findings = std::move(findings);
  record->security_score = score;
}

namespace {

constexpr auto kScan = function("scan", {{"span"}});
constexpr char kScanDoc[] = "Checks the span's texts; fills its findings and score; returns their summaries.";

// Scans the span: fills its findings and score, replacing earlier ones;
// returns span.security_findings().
Ref scan(PyObject*, const Args<kScan>& args) {
  check_span(args[0], args.name<0>());
  scan_span_object(args[0]);
  return checked(PyObject_CallMethod(args[0], "security_findings", nullptr));
}

}  // namespace

PyMethodDef scan_functions[] = {
    fastcall_method<kScan, scan, kScanDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
