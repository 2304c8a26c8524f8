// korvanta._native.Call, the span of one traced LLM call (llm_call.cpp).
#pragma once

#include <Python.h>

#include <array>
#include <string_view>
#include <type_traits>

#include "error.hpp"
#include "korvanta/short_text.hpp"
#include "ref.hpp"

namespace korvanta::py::native {

// A new class object (korvanta._native.Call) for the module being made.
Ref make_call_type();

// Filling a call from native readers of an answer, as its methods do from
// Python. `call` is a korvanta._native.Call (is_call).
bool is_call(PyObject* obj);
// A new call, as Call(operation_name, provider, model, tracer, capture).
Ref new_call(PyObject* operation, PyObject* provider, PyObject* model, PyObject* tracer, PyObject* capture);
// Call.record_prompt(prompt, request, tools).
void note_prompt(PyObject* call, PyObject* prompt, PyObject* request, PyObject* tools);
// The same for chat messages, recorded as write_chat_prompt writes them.
void note_chat_prompt(PyObject* call, PyObject* convert, PyObject* messages, PyObject* tools);
// A tag of literal texts on the call's span.
void add_call_tag(PyObject* call, ShortText::Literal key, ShortText::Literal value);
// Call.hide_usage_chunk = True: the usage chunk was asked for by tracing only.
void hide_usage_chunk(PyObject* call);
bool usage_chunk_hidden(PyObject* call);
bool first_token_seen(PyObject* call);
// Takes the time to first token, the first time only.
void note_first_token(PyObject* call);
// Appends a piece of the response text.
void add_text(PyObject* call, PyObject* text);
void add_finish_reason(PyObject* call, PyObject* reason);
// The response's model and id, unless a model is known already.
void note_response(PyObject* call, PyObject* model, PyObject* id);
// Whether the call has the response's model already (note_response then does nothing).
bool response_noted(PyObject* call);
// Call.response_model = model / Call.response_id = id.
void set_response_model(PyObject* call, PyObject* model);
void set_response_id(PyObject* call, PyObject* id);
// Call.tool_call: the call at `key` gets its id and name when they come and its
// arguments in fragments.
void add_tool_call(PyObject* call, PyObject* key, PyObject* call_id, PyObject* name, PyObject* arguments);
// Call.complete_tool_call: the call at `key` replaced with its final form.
void replace_tool_call(PyObject* call, PyObject* key, PyObject* call_id, PyObject* name, PyObject* arguments);
// Call.usage: input, output, cached, cache-write and reasoning counts (nullptr
// or a non-int: not reported), merged.
void merge_usage(PyObject* call, const std::array<PyObject*, 5>& counts);
// As Call.end(): records the prompt and what the answer brought on the span
// and hands it over, the first time only.
void end_traced_call(PyObject* call);
// Logs the pending Exception as a fault inside tracing (the package's
// fault()); any other BaseException stays pending and is thrown.
void report_tracing_fault(const char* kind);
// A step to run now, held by reference: unlike std::function, taking a
// lambda costs no allocation (these steps run once per streamed event).
class StepRef {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, StepRef>)
  StepRef(F&& step)  // NOLINT: made from lambdas at the call
      : step_(const_cast<void*>(static_cast<const void*>(&step))),
        run_([](void* held) { (*static_cast<std::remove_reference_t<F>*>(held))(); }) {}
  void operator()() const { run_(step_); }

 private:
  void* step_;
  void (*run_)(void*);
};

// Runs `step`; an Exception it raises, or an internal fault, is logged as a
// fault inside tracing of `kind` and the caller goes on.
void as_tracing_fault(const char* kind, StepRef step);

}  // namespace korvanta::py::native
