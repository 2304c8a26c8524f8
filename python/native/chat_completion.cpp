// The steps of the OpenAI chat completions route that every call takes:
// the call opened from the request the client is about to send, and a whole
// (not streamed) completion read from the client's model of it. Native for
// the reason genai_record.cpp is: between the client's own work, a Python
// frame per step runs from cold caches.
#include <Python.h>

#include <utility>

#include "chat_completion.hpp"
#include "chat_fields.hpp"
#include "entry.hpp"
#include "functions.hpp"
#include "interned.hpp"
#include "llm_call.hpp"
#include "py_reading.hpp"
#include "py_values.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_chat("chat");
InternedName g_json_data("json_data");
InternedName g_extra_json("extra_json");
InternedName g_dict("__dict__");
InternedName g_messages("messages");
InternedName g_tools("tools");
InternedName g_functions("functions");
InternedName g_stream_options("stream_options");
InternedName g_include_usage("include_usage");
InternedName g_provider("provider");
InternedName g_tracer("tracer");
InternedName g_capture("capture");
InternedName g_stream_usage("stream_usage");
InternedName g_message("message");

// obj.name, or None when obj is None or has no such attribute (as
// getattr(obj, name, None)).
Ref attribute_or_none(PyObject* obj, InternedName& name) {
  if (obj == Py_None) return none();
  Ref value = optional_field_attribute(obj, name);
  return value ? value : none();
}

// dict[key] (borrowed), or None when absent.
PyObject* item_or_none(PyObject* dict, InternedName& key) {
  PyObject* value = PyDict_GetItemWithError(dict, key.require());
  if (value == nullptr) raise_if(PyErr_Occurred() != nullptr);
  return value != nullptr ? value : Py_None;
}

bool contains(PyObject* container, InternedName& key) {
  const int found = PySequence_Contains(container, key.require());
  raise_if(found < 0);
  return found == 1;
}

// Sets the body of the client's per-call request options, past the model's
// validating __setattr__ (as _clienthook.set_body).
void set_body(PyObject* options, PyObject* body) {
  const Ref attributes = optional_attribute(options, g_dict);
  if (attributes && PyDict_Check(attributes.get())) {
    raise_if(PyDict_SetItem(attributes.get(), g_json_data.require(), body) < 0);
    return;
  }
  raise_if(PyObject_SetAttr(options, g_json_data.require(), body) < 0);
}

// Streams report usage only when asked to. When the caller did not ask,
// tracing asks (the call then keeps the extra usage chunk to itself) and
// returns the body as given: what a server that refuses the option gets
// again. Else None.
Ref ask_for_usage(PyObject* call, PyObject* state, PyObject* options, PyObject* body) {
  if (!truthy(attribute(state, g_stream_usage).get()) || contains(body, g_stream_options)) return none();
  const Ref extra = field_attribute(options, g_extra_json);
  if (truthy(extra.get()) && contains(extra.get(), g_stream_options)) return none();
  Ref asked = checked(PyDict_Copy(body));
  Ref usage = checked(PyDict_New());
  raise_if(PyDict_SetItem(usage.get(), g_include_usage.require(), Py_True) < 0);
  raise_if(PyDict_SetItem(asked.get(), g_stream_options.require(), usage.get()) < 0);
  set_body(options, asked.get());
  hide_usage_chunk(call);
  return Ref::borrow(body);
}

constexpr auto kChatOpen = function("chat_open", {{"convert"}, {"state"}, {"options"}, {"stream"}});
constexpr char kChatOpenDoc[] =
    "Starts a chat completion call's span from the request options; returns (call, body as given) when "
    "tracing asked for stream usage, else (call, None). The messages are recorded as chat_prompt(convert, "
    "messages) gives them.";

OpenedCall open_with(PyObject* convert, PyObject* state, PyObject* options, PyObject* stream) {
  Ref body = field_attribute(options, g_json_data);
  if (!PyDict_Check(body.get())) body = checked(PyDict_New());
  // Held: the attribute reads and the span's start below may run Python code
  // that changes the body.
  const Ref model = Ref::borrow(item_or_none(body.get(), g_model));
  const Ref messages = Ref::borrow(item_or_none(body.get(), g_messages));
  // The tools, or the older API's `functions`.
  Ref tools = Ref::borrow(item_or_none(body.get(), g_tools));
  if (tools.get() == Py_None) tools = Ref::borrow(item_or_none(body.get(), g_functions));
  const Ref requested = PyUnicode_CheckExact(model.get()) ? model : checked(PyUnicode_FromStringAndSize(nullptr, 0));
  const Ref provider = attribute(state, g_provider);
  const Ref tracer = attribute(state, g_tracer);
  const Ref capture = attribute(state, g_capture);
  Ref call = new_call(g_chat.require(), provider.get(), requested.get(), tracer.get(), capture.get());
  add_call_tag(call.get(), "gen_ai.openai.api", "chat.completions");
  note_chat_prompt(call.get(), convert, messages.get(), tools.get());
  Ref given = truthy(stream) ? ask_for_usage(call.get(), state, options, body.get()) : none();
  return {std::move(call), std::move(given)};
}

Ref chat_open(PyObject*, const Args<kChatOpen>& args) {
  const OpenedCall opened = open_with(args[0], args[1], args[2], args[3]);
  return checked(PyTuple_Pack(2, opened.call.get(), opened.given.get()));
}

// ---- a whole completion ----

void read_usage(PyObject* call, PyObject* usage) {
  const Ref prompt = attribute_or_none(usage, g_prompt_details);
  const Ref completion = attribute_or_none(usage, g_completion_details);
  const Ref input = attribute_or_none(usage, g_prompt_tokens);
  const Ref output = attribute_or_none(usage, g_completion_tokens);
  const Ref cached = attribute_or_none(prompt.get(), g_cached_tokens);
  const Ref reasoning = attribute_or_none(completion.get(), g_reasoning_tokens);
  merge_usage(call, {input.get(), output.get(), cached.get(), nullptr, reasoning.get()});
}

// choice.index == 0, as Python compares.
bool is_first(PyObject* index) {
  if (PyLong_CheckExact(index)) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index, &overflow);
    return value == 0 && overflow == 0;
  }
  const Ref zero = checked(PyLong_FromLong(0));
  const int equal = PyObject_RichCompareBool(index, zero.get(), Py_EQ);
  raise_if(equal < 0);
  return equal == 1;
}

// A sequence's items, each held while Python code (attribute reads) runs:
// that code may empty the sequence meanwhile.
template <class Read>
void for_each_item(PyObject* sequence, const char* what, Read&& read) {
  const Ref items = checked(PySequence_Fast(sequence, what));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    const Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
    read(item.get());
  }
}

void read_choice(PyObject* call, PyObject* choice) {
  const Ref answer = field_attribute(choice, g_message);
  if (is_first(field_attribute(choice, g_index).get())) {
    Ref text = field_attribute(answer.get(), g_content);
    if (!truthy(text.get())) text = field_attribute(answer.get(), g_refusal);
    if (truthy(text.get())) add_text(call, text.get());
  }
  const Ref tool_calls = field_attribute(answer.get(), g_tool_calls);
  if (truthy(tool_calls.get())) {
    for_each_item(tool_calls.get(), "tool_calls: expected a sequence", [&](PyObject* tool_call) {
      const Ref function = attribute_or_none(tool_call, g_function);
      if (function.get() == Py_None) return;
      const Ref index = field_attribute(choice, g_index);
      const Ref id = field_attribute(tool_call, g_id);
      const Ref name = field_attribute(function.get(), g_name);
      const Ref arguments = field_attribute(function.get(), g_arguments);
      // As Call.complete_tool_call: the entry at (choice, id) is replaced.
      Ref key = checked(PyTuple_Pack(2, index.get(), id.get()));
      replace_tool_call(call, key.get(), id.get(), name.get(), arguments.get());
    });
  }
  // The older `functions` API: one call, without an id.
  const Ref function_call = attribute_or_none(answer.get(), g_function_call);
  if (function_call.get() != Py_None) {
    const Ref index = field_attribute(choice, g_index);
    const Ref name = field_attribute(function_call.get(), g_name);
    const Ref arguments = field_attribute(function_call.get(), g_arguments);
    Ref key = checked(PyTuple_Pack(2, index.get(), Py_None));
    replace_tool_call(call, key.get(), Py_None, name.get(), arguments.get());
  }
  const Ref finish = field_attribute(choice, g_finish_reason);
  if (truthy(finish.get())) add_finish_reason(call, finish.get());
}

}  // namespace

void record_chat(PyObject* call, PyObject* completion) {
  if (!is_call(call)) raise(PyExc_TypeError, "argument 'call': expected a korvanta._native.Call");
  set_response_model(call, field_attribute(completion, g_model).get());
  set_response_id(call, field_attribute(completion, g_id).get());
  const Ref choices = field_attribute(completion, g_choices);
  if (truthy(choices.get())) {
    for_each_item(choices.get(), "choices: expected a sequence", [&](PyObject* choice) { read_choice(call, choice); });
  }
  const Ref usage = field_attribute(completion, g_usage);
  if (usage.get() != Py_None) read_usage(call, usage.get());
}

namespace {

constexpr auto kChatRecord = function("chat_record", {{"call"}, {"completion"}});
constexpr char kChatRecordDoc[] =
    "Records a whole chat completion (the client's model of it) on `call`: text, refusal, tool calls, finish "
    "reasons, model, id and usage.";

Ref chat_record(PyObject*, const Args<kChatRecord>& args) {
  record_chat(args[0], args[1]);
  return none();
}

// The route the package registered, and the converter its open() is bound
// to; held for the process.
struct ChatRoute {
  Ref route;
  Ref convert;
};

ChatRoute& chat_route() {
  static auto* registered = new ChatRoute();  // never destroyed: it holds Python objects past finalization
  return *registered;
}

constexpr auto kSetChatRoute = function("set_chat_route", {{"route"}, {"convert"}});
constexpr char kSetChatRouteDoc[] =
    "Registers the chat completions route, whose open() is chat_open(convert, ...) and record() chat_record: "
    "the native request hook then opens and records its calls directly.";

Ref set_chat_route(PyObject*, const Args<kSetChatRoute>& args) {
  ChatRoute& registered = chat_route();
  registered.convert = Ref::borrow(args[1]);
  registered.route = Ref::borrow(args[0]);
  return none();
}

}  // namespace

bool is_chat_route(PyObject* route) { return route == chat_route().route.get(); }

OpenedCall open_chat(PyObject* state, PyObject* options, PyObject* stream) {
  // Held: opening runs Python code, which may register another route.
  const Ref convert = chat_route().convert;
  return open_with(convert.get(), state, options, stream);
}

PyMethodDef chat_completion_functions[] = {
    fastcall_method<kChatOpen, chat_open, kChatOpenDoc>(),
    fastcall_method<kChatRecord, chat_record, kChatRecordDoc>(),
    fastcall_method<kSetChatRoute, set_chat_route, kSetChatRouteDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
