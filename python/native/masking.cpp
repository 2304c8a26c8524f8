// TextMask: the scanner's secret masking or a Python callable over a span's
// free texts.
#include "masking.hpp"

#include <string>
#include <utility>

#include "convert.hpp"
#include "korvanta/scanner.hpp"
#include "py_values.hpp"

namespace korvanta::py::native {
namespace {

// Calls `each(text, field)` for every free text of the record.
template <class Each>
Status for_each_text(TraceSpan& span, Each&& each) {
  const auto map_values = [&](StringMap& map, const char* field) -> Status {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& entry : map) entries.emplace_back(entry.key, entry.value);
    for (auto& [key, value] : entries) {
      if (Status s = each(value, field); !s) return s;
      map.insert_or_assign(std::move(key), std::move(value));
    }
    return ok;
  };
  const auto optional_text = [&](auto& text, const char* field) -> Status {
    if (!text) return ok;
    return each(*text, field);
  };
  if (Status s = each(span.prompt, "prompt"); !s) return s;
  if (Status s = optional_text(span.response, "response"); !s) return s;
  if (Status s = optional_text(span.error_message, "error_message"); !s) return s;
  if (Status s = map_values(span.tags, "tag"); !s) return s;
  for (SpanEvent& event : span.events) {
    if (Status s = each(event.description, "event_description"); !s) return s;
    if (Status s = map_values(event.data, "event_data"); !s) return s;
  }
  for (AgentAction& action : span.agent_actions) {
    if (Status s = each(action.name, "action_name"); !s) return s;
    if (Status s = optional_text(action.arguments, "action_arguments"); !s) return s;
    if (Status s = optional_text(action.result, "action_result"); !s) return s;
    if (Status s = map_values(action.metadata, "action_metadata"); !s) return s;
  }
  return ok;
}

}  // namespace

Result<TextMask> TextMask::from(PyObject* mask, std::string_view param) {
  TextMask out;
  if (mask == nullptr || mask == Py_None) return out;
  if (PyUnicode_Check(mask)) {
    auto text = as_text(mask);
    if (!text) return std::move(text).error();
    if (*text != "secrets") {
      std::string message = "argument '";
      message.append(param);
      message += "': expected \"secrets\" or a callable (text, field) -> str";
      return Error(PyExc_ValueError, std::move(message));
    }
    out.kind_ = Kind::Secrets;
    return out;
  }
  if (!PyCallable_Check(mask)) {
    std::string message = "argument '";
    message.append(param);
    message += "': expected \"secrets\" or a callable (text, field) -> str";
    return Error(PyExc_TypeError, std::move(message));
  }
  out.kind_ = Kind::Callable;
  out.callable_ = mask;
  return out;
}

Status TextMask::apply(TraceSpan& span) const {
  switch (kind_) {
    case Kind::None:
      return ok;
    case Kind::Secrets:
      return for_each_text(span, [](std::string& text, const char*) -> Status {
        text = mask_text(text);
        return ok;
      });
    case Kind::Callable:
      return for_each_text(span, [this](std::string& text, const char* field) -> Status {
        Result<Ref> text_obj = to_python(text);
        if (!text_obj) return std::move(text_obj).error();
        Ref field_obj = Ref::steal(PyUnicode_FromString(field));
        if (!field_obj) return Error::fetch();
        PyObject* call_args[] = {(*text_obj).get(), field_obj.get()};
        Ref masked = Ref::steal(PyObject_Vectorcall(callable_, call_args, 2, nullptr));
        if (!masked) return Error::fetch();
        if (!PyUnicode_Check(masked.get())) return Error(PyExc_TypeError, "a mask must return a str");
        auto view = as_text(masked.get());
        if (!view) return std::move(view).error();
        text.assign(*view);
        return ok;
      });
  }
  return ok;
}

Result<std::vector<TraceSpan>> masked_copies(const std::vector<const TraceSpan*>& records, const TextMask& mask) {
  // Copied first, then masked: a callable mask is Python code, free to
  // change the spans it is given while it runs.
  std::vector<TraceSpan> copies;
  copies.reserve(records.size());
  for (const TraceSpan* record : records) copies.push_back(*record);
  for (TraceSpan& copy : copies) {
    if (Status s = mask.apply(copy); !s) return std::move(s).error();
  }
  return copies;
}

}  // namespace korvanta::py::native
