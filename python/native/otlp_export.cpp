// korvanta._native.encode_otlp and json_lines: a batch of finished spans as
// one OTLP/HTTP request body or as JSON Lines. The records are read under
// the interpreter lock, not under a borrow, so an export never makes the
// application's later call on a span fail with a borrow conflict. With a
// mask, copies of the records are masked and written instead.
#include <string>
#include <utility>
#include <vector>

#include "korvanta/json.hpp"
#include "korvanta/otlp.hpp"
#include "entry.hpp"
#include "functions.hpp"
#include "masking.hpp"
#include "package_access.hpp"
#include "py_values.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {
namespace {

// The records to write: the spans' own, or masked copies kept in `copies`.
std::vector<const TraceSpan*> records_to_write(PyObject* spans_arg, PyObject* mask_arg,
                                                       SpanRecords& spans, std::vector<TraceSpan>& copies) {
  const TextMask mask = TextMask::from(mask_arg, "mask");
  spans = SpanRecords::of(spans_arg);
  if (!mask.active()) return spans.records;
  copies = masked_copies(spans.records, mask);
  std::vector<const TraceSpan*> records;
  records.reserve(copies.size());
  for (const TraceSpan& copy : copies) records.push_back(&copy);
  return records;
}

Ref to_bytes(const std::string& out) {
  return checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

constexpr auto kEncodeOtlp = function("encode_otlp", {{"spans"}, {"service_name"}, optional("mask")});
constexpr char kEncodeOtlpDoc[] =
    "One OTLP/HTTP protobuf request body holding the spans; mask: None, \"secrets\" or (text, field) -> str.";

// bytes: one OTLP ExportTraceServiceRequest holding the spans; `mask` as for
// json_lines.
Ref encode_otlp(PyObject*, const Args<kEncodeOtlp>& args) {
  const std::string_view service_name = args.get<1, as_text>();
  SpanRecords spans;
  std::vector<TraceSpan> copies;
  const auto records = records_to_write(args[0], args[2], spans, copies);
  OtlpResource resource{.service_name = std::string(service_name), .attributes = {}};
  std::string out;
  encode_export_request(records, resource, out);
  return to_bytes(out);
}

constexpr auto kJsonLines = function("json_lines", {{"spans"}, optional("mask")});
constexpr char kJsonLinesDoc[] = "Each span's compact JSON document and a line feed, as bytes.";

// bytes: each span's compact JSON document followed by a line feed. `mask`
// (see TextMask) masks copies of the records first.
Ref json_lines(PyObject*, const Args<kJsonLines>& args) {
  SpanRecords spans;
  std::vector<TraceSpan> copies;
  const auto records = records_to_write(args[0], args[1], spans, copies);
  std::string out;
  for (const TraceSpan* record : records) {
    out += span_to_json(*record, JsonLayout::Compact);
    out += '\n';
  }
  return to_bytes(out);
}

}  // namespace

PyMethodDef export_functions[] = {
    fastcall_method<kJsonLines, json_lines, kJsonLinesDoc>(),
    fastcall_method<kEncodeOtlp, encode_otlp, kEncodeOtlpDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
