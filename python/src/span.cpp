// TraceSpan: properties, the recording methods and the representation.
#include "span.hpp"

#include <utility>

#include "class_builder.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "instance.hpp"
#include "py_values.hpp"
#include "signatures.hpp"
#include "span_methods.hpp"

namespace korvanta::py {
namespace {

using korvanta::TraceSpan;

TypeCell g_span_type;

// ---- recording methods: exclusive borrow, then conversions in order ----

Result<Ref> set_prompt(PyObject* self, const Args<signatures::span_set_prompt>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  if (!span) return std::move(span).error();
  auto prompt = args.get<0, as_text>();
  if (!prompt) return std::move(prompt).error();
  (*span)->prompt.assign(*prompt);
  return none();
}

Result<Ref> set_response(PyObject* self, const Args<signatures::span_set_response>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  if (!span) return std::move(span).error();
  auto response = args.get<0, as_text>();
  if (!response) return std::move(response).error();
  (*span)->finish_response(std::string(*response));
  return none();
}

Result<Ref> set_error(PyObject* self, const Args<signatures::span_set_error>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  if (!span) return std::move(span).error();
  auto error = args.get<0, as_text>();
  if (!error) return std::move(error).error();
  auto status_code = args.get_optional<1, as_u16>();
  if (!status_code) return std::move(status_code).error();
  (*span)->finish_error(std::string(*error), *status_code);
  return none();
}

Result<Ref> set_token_counts(PyObject* self, const Args<signatures::span_set_token_counts>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  if (!span) return std::move(span).error();
  auto prompt_tokens = args.get_optional<0, as_u32>();
  if (!prompt_tokens) return std::move(prompt_tokens).error();
  auto completion_tokens = args.get_optional<1, as_u32>();
  if (!completion_tokens) return std::move(completion_tokens).error();
  TraceSpan& record = **span;
  record.prompt_tokens = *prompt_tokens;
  record.completion_tokens = *completion_tokens;
  // The exact sum: two 32-bit counts never overflow 64 bits.
  record.total_tokens = *prompt_tokens && *completion_tokens
                            ? std::optional(std::uint64_t{**prompt_tokens} + **completion_tokens)
                            : std::nullopt;
  return none();
}

Result<Ref> set_ttft_ms(PyObject* self, const Args<signatures::span_set_ttft_ms>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  if (!span) return std::move(span).error();
  auto ttft_ms = args.get<0, as_u64>();
  if (!ttft_ms) return std::move(ttft_ms).error();
  (*span)->time_to_first_token_ms = *ttft_ms;
  return none();
}

Result<Ref> add_tag(PyObject* self, const Args<signatures::span_add_tag>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  if (!span) return std::move(span).error();
  auto key = args.get<0, as_text>();
  if (!key) return std::move(key).error();
  auto value = args.get<1, as_text>();
  if (!value) return std::move(value).error();
  (*span)->tags.insert_or_assign(*key, *value);
  return none();
}

// ---- __repr__ ----

Result<Ref> span_repr(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  if (!span) return std::move(span).error();
  const TraceSpan& record = **span;
  std::string text = "TraceSpan(trace_id='";
  text += record.trace_id.to_string();
  text += "', op='";
  text += record.operation_name;
  text += "', model='";
  text += record.model_name;
  text += record.is_complete() ? "', complete=true)" : "', complete=false)";
  return to_python(text);
}

// ---- class ----

// A field or accessor of the record (a member pointer), or a function of it.
template <auto Read>
constexpr getter span_property = property_getter<property<SpanClass, Read>>;

PyGetSetDef g_getset[] = {
    {"trace_id", span_property<&TraceSpan::trace_id>, nullptr,
     "Unique trace identifier (UUID string).", nullptr},
    {"span_id", span_property<&TraceSpan::span_id>, nullptr,
     "Unique span identifier (UUID string).", nullptr},
    {"operation_name", span_property<&TraceSpan::operation_name>, nullptr,
     "Operation name (e.g. ``\"chat_completion\"``).", nullptr},
    {"model_name", span_property<&TraceSpan::model_name>, nullptr,
     "Model name (e.g. ``\"gpt-4\"``).", nullptr},
    {"prompt", span_property<&TraceSpan::prompt>, nullptr,
     "The prompt text recorded for this span.", nullptr},
    {"response", span_property<&TraceSpan::response>, nullptr,
     "The response text, or ``None`` if not yet recorded.", nullptr},
    {"is_complete", span_property<&TraceSpan::is_complete>, nullptr,
     "Whether the span has been completed (response or error recorded).", nullptr},
    {"is_failed", span_property<&TraceSpan::is_failed>, nullptr,
     "Whether the span ended with an error.", nullptr},
    {"duration_ms", span_property<&TraceSpan::duration_ms>, nullptr,
     "Duration in milliseconds, or ``None`` if still in progress.", nullptr},
    {"prompt_tokens", span_property<&TraceSpan::prompt_tokens>, nullptr,
     "Prompt token count, or ``None`` if not set.", nullptr},
    {"completion_tokens", span_property<&TraceSpan::completion_tokens>, nullptr,
     "Completion token count, or ``None`` if not set.", nullptr},
    {"total_tokens", span_property<&TraceSpan::total_tokens>, nullptr,
     "Total token count, or ``None`` if not set.", nullptr},
    {"security_score", span_property<&TraceSpan::security_score>, nullptr,
     "Overall security score (0\u2013100), or ``None`` if not analysed.", nullptr},
    {"error_message", span_property<+[](const TraceSpan& s) { return s.error_message.get(); }>, nullptr,
     "Error message if the span failed, or ``None``.", nullptr},
    {"status_code", span_property<&TraceSpan::status_code>, nullptr,
     "HTTP status code of the response, or ``None``.", nullptr},
    {"security_findings_count",
     span_property<+[](const TraceSpan& s) { return std::uint64_t{s.security_findings.size()}; }>, nullptr,
     "Number of security findings attached to this span.", nullptr},
    {"agent_actions_count", span_property<+[](const TraceSpan& s) { return std::uint64_t{s.agent_actions.size()}; }>,
     nullptr, "Number of agent actions recorded on this span.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"security_findings", as_method(noargs<security_findings>), METH_NOARGS,
     "security_findings($self)\n--\n\nSecurity findings as a list of dicts."},
    {"set_prompt", as_method(fastcall<signatures::span_set_prompt, set_prompt>), kArgs,
     "set_prompt($self, prompt)\n--\n\nSet the prompt text for this span."},
    {"set_response", as_method(fastcall<signatures::span_set_response, set_response>), kArgs,
     "set_response($self, response)\n--\n\nRecord a successful response and mark the span as complete."},
    {"set_error", as_method(fastcall<signatures::span_set_error, set_error>), kArgs,
     "set_error($self, error, status_code=None)\n--\n\nRecord an error and mark the span as complete."},
    {"set_token_counts", as_method(fastcall<signatures::span_set_token_counts, set_token_counts>), kArgs,
     "set_token_counts($self, *, prompt_tokens=None, completion_tokens=None)\n--\n\nSet token counts for this span."},
    {"set_ttft_ms", as_method(fastcall<signatures::span_set_ttft_ms, set_ttft_ms>), kArgs,
     "set_ttft_ms($self, ttft_ms)\n--\n\nSet the time-to-first-token in milliseconds."},
    {"add_tag", as_method(fastcall<signatures::span_add_tag, add_tag>), kArgs,
     "add_tag($self, key, value)\n--\n\nAdd a custom tag (key-value pair) to this span."},
    {"report_action", as_method(fastcall<signatures::span_report_action, report_action>), kArgs, kReportActionDoc},
    {"to_dict", as_method(noargs<to_dict>), METH_NOARGS,
     "to_dict($self)\n--\n\nSerialise the span to a Python dictionary."},
    {"to_json", as_method(noargs<to_json>), METH_NOARGS, "to_json($self)\n--\n\nSerialise the span to a JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kSpanSpec{
    .qualified_name = "builtins.TraceSpan",
    .name = SpanClass::name,
    .text_signature = {},
    .doc = "A single trace span representing one LLM interaction.\n\n"
           "Created via [`DURUraTracer.start_span`]. Use setters to record the\n"
           "prompt, response, token counts, and completion status.",
    .basicsize = sizeof(Instance<TraceSpan>),
    .dealloc = dealloc<SpanClass>,
    .getset = g_getset,
    .methods = g_methods,
    .repr = repr_slot<span_repr>,
};

}  // namespace

PyTypeObject* SpanClass::type() noexcept { return g_span_type.get(); }

Result<PyTypeObject*> make_span_class() { return g_span_type.get_or_make(kSpanSpec); }

}  // namespace korvanta::py
