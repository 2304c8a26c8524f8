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
void for_each_text(TraceSpan& span, Each&& each) {
  const auto map_values = [&](StringMap& map, const char* field) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& entry : map) entries.emplace_back(entry.key, entry.value);
    for (auto& [key, value] : entries) {
      each(value, field);
      map.insert_or_assign(std::move(key), std::move(value));
    }
  };
  const auto optional_text = [&](auto& text, const char* field) {
    if (text) each(*text, field);
  };
  each(span.prompt, "prompt");
  optional_text(span.response, "response");
  optional_text(span.error_message, "error_message");
  map_values(span.tags, "tag");
  for (SpanEvent& event : span.events) {
    each(event.description, "event_description");
    map_values(event.data, "event_data");
  }
  for (AgentAction& action : span.agent_actions) {
    each(action.name, "action_name");
    optional_text(action.arguments, "action_arguments");
    optional_text(action.result, "action_result");
    map_values(action.metadata, "action_metadata");
  }
}

}  // namespace

TextMask TextMask::from(PyObject* mask, std::string_view param) {
  TextMask out;
  if (mask == nullptr || mask == Py_None) return out;
  if (PyUnicode_Check(mask)) {
    if (as_text(mask) != "secrets") {
      std::string message = "argument '";
      message.append(param);
      message += "': expected \"secrets\" or a callable (text, field) -> str";
      raise(PyExc_ValueError, std::move(message));
    }
    out.kind_ = Kind::Secrets;
    return out;
  }
  if (!PyCallable_Check(mask)) {
    std::string message = "argument '";
    message.append(param);
    message += "': expected \"secrets\" or a callable (text, field) -> str";
    raise(PyExc_TypeError, std::move(message));
  }
  out.kind_ = Kind::Callable;
  out.callable_ = mask;
  return out;
}

void TextMask::apply(TraceSpan& span) const {
  switch (kind_) {
    case Kind::None:
      return;
    case Kind::Secrets:
      return for_each_text(span, [](std::string& text, const char*) { text = mask_text(text); });
    case Kind::Callable:
      return for_each_text(span, [this](std::string& text, const char* field) {
        Ref text_obj = to_python(text);
        Ref field_obj = checked(PyUnicode_FromString(field));
        PyObject* call_args[] = {text_obj.get(), field_obj.get()};
        Ref masked = checked(PyObject_Vectorcall(callable_, call_args, 2, nullptr));
        if (!PyUnicode_Check(masked.get())) raise(PyExc_TypeError, "a mask must return a str");
        text.assign(as_text(masked.get()));
      });
  }
}

std::vector<TraceSpan> masked_copies(const std::vector<const TraceSpan*>& records, const TextMask& mask) {
  // Copied first, then masked: a callable mask is Python code, free to
  // change the spans it is given while it runs.
  std::vector<TraceSpan> copies;
  copies.reserve(records.size());
  for (const TraceSpan* record : records) copies.push_back(*record);
  for (TraceSpan& copy : copies) mask.apply(copy);
  return copies;
}

}  // namespace korvanta::py::native
