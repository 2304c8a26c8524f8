// TraceSpan: properties, the recording methods and the representation.
#include "span.hpp"

#include <utility>

#include "class_builder.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "instance.hpp"
#include "py_values.hpp"
#include "span_methods.hpp"

namespace korvanta::py {
namespace {

using korvanta::TraceSpan;

TypeCell g_span_type;

// ---- recording methods: exclusive borrow, then conversions in order ----

constexpr auto kSetPrompt = describe("TraceSpan", "set_prompt", Receiver::self, {{"prompt"}});
constexpr char kSetPromptDoc[] = "Set the prompt text for this span.";

Ref set_prompt(PyObject* self, const Args<kSetPrompt>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  auto prompt = args.get<0, as_text>();
  span->prompt.assign(prompt);
  return none();
}

constexpr auto kSetResponse = describe("TraceSpan", "set_response", Receiver::self, {{"response"}});
constexpr char kSetResponseDoc[] = "Record a successful response and mark the span as complete.";

Ref set_response(PyObject* self, const Args<kSetResponse>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  auto response = args.get<0, as_text>();
  span->finish_response(std::string(response));
  return none();
}

constexpr auto kSetError =
    describe("TraceSpan", "set_error", Receiver::self, {{"error"}, optional("status_code")});
constexpr char kSetErrorDoc[] = "Record an error and mark the span as complete.";

Ref set_error(PyObject* self, const Args<kSetError>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  auto error = args.get<0, as_text>();
  auto status_code = args.get_optional<1, as_u16>();
  span->finish_error(std::string(error), status_code);
  return none();
}

constexpr auto kSetTokenCounts = describe("TraceSpan", "set_token_counts", Receiver::self,
                                          {keyword_only("prompt_tokens"), keyword_only("completion_tokens")});
constexpr char kSetTokenCountsDoc[] = "Set token counts for this span.";

Ref set_token_counts(PyObject* self, const Args<kSetTokenCounts>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  auto prompt_tokens = args.get_optional<0, as_u32>();
  auto completion_tokens = args.get_optional<1, as_u32>();
  TraceSpan& record = *span;
  record.prompt_tokens = prompt_tokens;
  record.completion_tokens = completion_tokens;
  // The exact sum: two 32-bit counts never overflow 64 bits.
  record.total_tokens = prompt_tokens && completion_tokens
                            ? std::optional(std::uint64_t{*prompt_tokens} + *completion_tokens)
                            : std::nullopt;
  return none();
}

constexpr auto kSetTtftMs = describe("TraceSpan", "set_ttft_ms", Receiver::self, {{"ttft_ms"}});
constexpr char kSetTtftMsDoc[] = "Set the time-to-first-token in milliseconds.";

Ref set_ttft_ms(PyObject* self, const Args<kSetTtftMs>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  auto ttft_ms = args.get<0, as_u64>();
  span->time_to_first_token_ms = ttft_ms;
  return none();
}

constexpr auto kAddTag = describe("TraceSpan", "add_tag", Receiver::self, {{"key"}, {"value"}});
constexpr char kAddTagDoc[] = "Add a custom tag (key-value pair) to this span.";

Ref add_tag(PyObject* self, const Args<kAddTag>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  auto key = args.get<0, as_text>();
  auto value = args.get<1, as_text>();
  span->tags.insert_or_assign(key, value);
  return none();
}

// ---- __repr__ ----

Ref span_repr(PyObject* self) {
  auto span = borrow_shared<SpanClass>(self);
  const TraceSpan& record = *span;
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

PyMethodDef g_methods[] = {
    security_findings_method(),
    fastcall_method<kSetPrompt, set_prompt, kSetPromptDoc>(),
    fastcall_method<kSetResponse, set_response, kSetResponseDoc>(),
    fastcall_method<kSetError, set_error, kSetErrorDoc>(),
    fastcall_method<kSetTokenCounts, set_token_counts, kSetTokenCountsDoc>(),
    fastcall_method<kSetTtftMs, set_ttft_ms, kSetTtftMsDoc>(),
    fastcall_method<kAddTag, add_tag, kAddTagDoc>(),
    report_action_method(),
    to_dict_method(),
    to_json_method(),
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

PyTypeObject* make_span_class() { return g_span_type.get_or_make(kSpanSpec); }

}  // namespace korvanta::py
