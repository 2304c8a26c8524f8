// korvanta._native.encode_otlp: a batch of finished spans as one OTLP/HTTP
// request body. The records are read under the interpreter lock, not under a
// borrow, so the export never makes the application's later call on a span
// fail with a borrow conflict; the optional mask runs in Python on the
// exporting thread, text by text, before each text is encoded.
#include <string>
#include <utility>
#include <vector>

#include "korvanta/otlp.hpp"
#include "package_access.hpp"
#include "py_values.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {
namespace {

const char* field_name(OtlpText field) {
  switch (field) {
    case OtlpText::Prompt: return "prompt";
    case OtlpText::Response: return "response";
    case OtlpText::ErrorMessage: return "error_message";
    case OtlpText::TagValue: return "tag";
    case OtlpText::ActionName: return "action_name";
    case OtlpText::ActionArguments: return "action_arguments";
    case OtlpText::ActionResult: return "action_result";
    case OtlpText::ActionMetadataValue: return "action_metadata";
    case OtlpText::EventDescription: return "event_description";
    case OtlpText::EventDataValue: return "event_data";
    case OtlpText::FindingDescription: return "finding_description";
    case OtlpText::FindingLocation: return "finding_location";
    case OtlpText::FindingMetadataValue: return "finding_metadata";
  }
  return "text";
}

// Thrown through the encoder when the mask raised; the Python error stays
// pending and is fetched once the encoder has unwound.
struct MaskFailed {};

}  // namespace

Result<Ref> encode_otlp(PyObject*, const Args<signatures::encode_otlp>& args) {
  auto service_name = argument<as_text>(args[1], "service_name");
  if (!service_name) return std::move(service_name).error();
  PyObject* mask = args[2] == nullptr || args[2] == Py_None ? nullptr : args[2];
  if (mask != nullptr && !PyCallable_Check(mask)) {
    return Error(PyExc_TypeError, "argument 'mask': expected a callable (text, field) -> str");
  }
  auto spans = SpanRecords::of(args[0]);
  if (!spans) return std::move(spans).error();
  // The mask is Python code, free to change or drop the spans while they are
  // encoded: with one, the records are encoded from copies.
  std::vector<TraceSpan> copies;
  std::vector<const TraceSpan*> records = spans->records;
  if (mask != nullptr) {
    copies.reserve(records.size());
    for (const TraceSpan* record : records) copies.push_back(*record);
    for (std::size_t i = 0; i < copies.size(); ++i) records[i] = &copies[i];
  }

  OtlpResource resource{.service_name = std::string(*service_name), .attributes = {}};
  std::string out;
  TextFilter filter = [&](std::string_view text, OtlpText field, std::string& scratch) -> std::string_view {
    Result<Ref> text_obj = to_python(text);
    if (!text_obj) {
      std::move(text_obj).error().restore();
      throw MaskFailed{};
    }
    Ref field_obj = Ref::steal(PyUnicode_FromString(field_name(field)));
    if (!field_obj) throw MaskFailed{};
    PyObject* call_args[] = {(*text_obj).get(), field_obj.get()};
    Ref masked = Ref::steal(PyObject_Vectorcall(mask, call_args, 2, nullptr));
    if (!masked) throw MaskFailed{};
    auto view = as_text(masked.get());
    if (!view) {
      std::move(view).error().restore();
      throw MaskFailed{};
    }
    scratch.assign(*view);
    return scratch;
  };
  try {
    encode_export_request(records, resource, out, mask != nullptr ? &filter : nullptr);
  } catch (const MaskFailed&) {
    return Error::fetch();
  }
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  if (!bytes) return Error::fetch();
  return bytes;
}

}  // namespace korvanta::py::native
