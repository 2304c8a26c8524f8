// korvanta._native.Call: the span of one traced LLM call, and what its
// answer has brought so far. The client routes (korvanta._openai,
// _anthropic) fill it as the answer arrives; whatever ends the call first
// (the answer read, an error, the stream exhausted, closed or collected)
// records it on the span and hands the span over; later endings do nothing.
// Native because every traced call makes one and ends it.
#include <Python.h>

#include <array>
#include <chrono>
#include <cxxabi.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "convert.hpp"
#include "entry.hpp"
#include "functions.hpp"
#include "held_references.hpp"
#include "instance.hpp"
#include "interned.hpp"
#include "llm_call.hpp"
#include "genai_record.hpp"
#include "korvanta/json_writer.hpp"
#include "package_access.hpp"
#include "pipeline.hpp"
#include "py_reading.hpp"
#include "py_values.hpp"
#include "span_access.hpp"
#include "span_block.hpp"

namespace korvanta::py::native {
namespace {

// What Call needs of the Python package, bound once by korvanta._genai.
struct Helpers {
  Ref fault;      // fault(kind, error): logs a fault inside tracing once
  Ref price_for;  // price_for(provider, response_model, request_model) -> Price | None
  Ref dumps;      // compact JSON of a value
  bool capture_content = true;
};

Helpers& helpers() {
  static Helpers bound;
  return bound;
}

// The last prices looked up, by provider, response model and request model,
// with their rates: a traced program calls few models, and most calls then
// skip the package's lookup and the reading of the price (prices are
// frozen). Only str keys (and None for the response model) are kept,
// compared without running Python code; the table forgets them whenever
// prices change.
class PriceMemo {
 public:
  struct Found {
    Ref price;  // a Price, or None
    std::optional<PriceRates> rates;  // when read already
  };

  Found find(PyObject* provider, PyObject* response_model, PyObject* request_model) {
    if (!keyable(provider, response_model, request_model)) return {look_up(provider, response_model, request_model), {}};
    for (const Entry& entry : entries_) {
      if (entry.provider && same(entry.provider.get(), provider) && same(entry.response_model.get(), response_model) &&
          same(entry.request_model.get(), request_model)) {
        return {entry.price, entry.rates};
      }
    }
    // The lookup and the reading of the rates run Python code, during which
    // the prices may change: what they found is then of the old table and is
    // not kept.
    const std::uint64_t generation = generation_;
    Ref price = look_up(provider, response_model, request_model);
    const std::optional<PriceRates> rates = rates_if_readable(price.get());
    if (generation != generation_) return {price, rates};
    entries_[next_] = {Ref::borrow(provider), Ref::borrow(response_model), Ref::borrow(request_model), price, rates};
    next_ = (next_ + 1) % entries_.size();
    return {price, rates};
  }

  void forget() {
    ++generation_;
    for (Entry& entry : entries_) entry = Entry{};
  }

 private:
  struct Entry {
    Ref provider;
    Ref response_model;
    Ref request_model;
    Ref price;
    std::optional<PriceRates> rates;
  };

  static bool keyable(PyObject* provider, PyObject* response_model, PyObject* request_model) {
    return PyUnicode_CheckExact(provider) && PyUnicode_CheckExact(request_model) &&
           (response_model == Py_None || PyUnicode_CheckExact(response_model));
  }

  // Exact str or None on both sides. Model names are ASCII: compared as
  // bytes, a response's model (a new str each call) reads no more than its text.
  static bool same(PyObject* kept, PyObject* given) {
    if (kept == given) return true;
    if (kept == Py_None || given == Py_None) return false;
    if (PyUnicode_GET_LENGTH(kept) != PyUnicode_GET_LENGTH(given)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(kept) && PyUnicode_IS_COMPACT_ASCII(given)) {
      return std::memcmp(PyUnicode_DATA(kept), PyUnicode_DATA(given), static_cast<std::size_t>(PyUnicode_GET_LENGTH(kept))) == 0;
    }
    return PyUnicode_Compare(kept, given) == 0;
  }

  static Ref look_up(PyObject* provider, PyObject* response_model, PyObject* request_model) {
    PyObject* args[] = {provider, response_model, request_model};
    return checked(PyObject_Vectorcall(helpers().price_for.get(), args, 3, nullptr));
  }

  // A price whose rates cannot be read is kept without them: the recording
  // reads them again, and fails there, after what comes before the cost.
  static std::optional<PriceRates> rates_if_readable(PyObject* price) {
    if (price == Py_None) return std::nullopt;
    try {
      return price_rates(price);
    } catch (const ErrorAlreadySet&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like go on
      PyErr_Clear();
      return std::nullopt;
    }
  }

  std::array<Entry, 8> entries_{};
  std::size_t next_ = 0;
  std::uint64_t generation_ = 0;
};

PriceMemo& price_memo() {
  static auto* memo = new PriceMemo();  // never destroyed: it holds Python objects past finalization
  return *memo;
}

InternedName g_status_code("status_code");

struct Call {
  PyObject_HEAD
  PyObject* span;
  PyObject* provider;
  PyObject* request_model;
  PyObject* text;        // list of str
  PyObject* tool_calls;  // dict: key -> [call_id, name, fragments]
  PyObject* response_model;
  PyObject* response_id;
  PyObject* finish_reasons;  // list
  PyObject* input_tokens;
  PyObject* output_tokens;
  PyObject* cached_tokens;
  PyObject* cache_write_tokens;
  PyObject* reasoning_tokens;
  PyObject* pending;        // streamed items put aside since the last drain
  PyObject* reader;         // reader(call, items) reads a batch of them, or None
  PyObject* prompt_source;  // (prompt, request, tools) until recorded, or None
  std::int64_t started_ns;
  bool capture;
  bool first_token_seen;
  bool ended;
  bool failed;
  bool hide_usage_chunk;
  bool chat_prompt;  // prompt_source holds (convert, messages, tools): written by write_chat_prompt
};

Call* as_call(PyObject* obj) { return reinterpret_cast<Call*>(obj); }

// A settable member deleted from Python reads as None here.
PyObject* or_none(PyObject* obj) { return obj != nullptr ? obj : Py_None; }

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

PyTypeObject* g_call_type = nullptr;

// Reports the pending error as a fault inside tracing (logged, the call
// goes on): an Exception, or with `internal` any error (an internal fault
// made into PanicException). Any other BaseException stays pending and is
// thrown.
void report_fault(const char* kind, bool internal = false) {
  if (!internal && !PyErr_ExceptionMatches(PyExc_Exception)) raise_pending();
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Ref fault = helpers().fault;
  if (!fault) return;
  Ref text = checked(PyUnicode_FromString(kind));
  PyObject* args[] = {text.get(), error.get()};
  checked(PyObject_Vectorcall(fault.get(), args, 2, nullptr));
}

// Runs `step`; an Exception it raises, or an internal fault (a C++
// exception such as bad_alloc), is reported as a fault of `kind`.
template <class Step>
void as_fault(const char* kind, Step&& step) {
  try {
    step();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (PythonError& error) {
    std::move(error.error()).restore();
    report_fault(kind);
  } catch (ErrorAlreadySet&) {
    report_fault(kind);
  } catch (...) {
    raise_current_exception();
    report_fault(kind, /*internal=*/true);
  }
}

constexpr auto kCall = describe("Call", "__new__", Receiver::none,
                                {{"operation_name"}, {"provider"}, {"model"}, {"tracer"}, {"capture"}});
constexpr char kCallDoc[] =
    "The span of one traced LLM call, a child of the current span, and what its answer has brought so far.\n\n"
    "``capture`` None follows korvanta.setup(capture_content=...).";

constexpr std::size_t kCallTags = 8;

Ref call_new(PyTypeObject* type, const Args<kCall>& args) {
  Pipeline& state = pipeline();
  if (!state.current_var || !state.tracer) raise(PyExc_RuntimeError, "the korvanta package is not set up");
  const std::int64_t started = now_ns();
  PyObject* parent_raw = nullptr;
  raise_if(PyContextVar_Get(state.current_var.get(), Py_None, &parent_raw) < 0);
  Ref parent = Ref::steal(parent_raw);
  PyObject* texts[] = {args[0], args[1], args[2]};
  Ref span = new_span(args[3], texts, parent.get(), state.tracer.get());
  // Room at once for the tags a call's span mostly gets: the API, the
  // response's model, id and finish reasons, the cache and reasoning counts.
  borrow_exclusive<SpanClass>(span.get())->tags.reserve(kCallTags);
  PyObject* inherited_raw = nullptr;
  raise_if(PyContextVar_Get(state.tags_var.get(), Py_None, &inherited_raw) < 0);
  Ref inherited = Ref::steal(inherited_raw);
  if (inherited.get() != Py_None && truthy(inherited.get())) add_tags(span.get(), inherited.get());
  const bool capture = args[4] == Py_None ? helpers().capture_content : truthy(args[4]);
  Ref text = checked(PyList_New(0));
  Ref tool_calls = checked(PyDict_New());
  Ref reasons = checked(PyList_New(0));
  Ref pending = checked(PyList_New(0));

  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Call, type)));
  raise_if(!obj);
  Call* call = as_call(obj.get());
  call->span = span.release();
  call->provider = Ref::borrow(args[1]).release();
  call->request_model = Ref::borrow(args[2]).release();
  call->text = text.release();
  call->tool_calls = tool_calls.release();
  call->response_model = Py_NewRef(Py_None);
  call->response_id = Py_NewRef(Py_None);
  call->finish_reasons = reasons.release();
  call->input_tokens = Py_NewRef(Py_None);
  call->output_tokens = Py_NewRef(Py_None);
  call->cached_tokens = Py_NewRef(Py_None);
  call->cache_write_tokens = Py_NewRef(Py_None);
  call->reasoning_tokens = Py_NewRef(Py_None);
  call->pending = pending.release();
  call->reader = Py_NewRef(Py_None);
  call->prompt_source = Py_NewRef(Py_None);
  call->started_ns = started;
  call->capture = capture;
  call->first_token_seen = false;
  call->ended = false;
  call->failed = false;
  call->hide_usage_chunk = false;
  call->chat_prompt = false;
  PyObject_GC_Track(obj.get());
  return obj;
}

// [call_id, name, fragments] for a new tool call.
Ref new_tool_call(PyObject* call_id, PyObject* name, PyObject* arguments) {
  Ref fragments = checked(PyList_New(0));
  if (truthy(arguments)) raise_if(PyList_Append(fragments.get(), arguments) < 0);
  Ref entry = checked(PyList_New(3));
  PyList_SET_ITEM(entry.get(), 0, Py_NewRef(call_id));
  PyList_SET_ITEM(entry.get(), 1, Py_NewRef(name));
  PyList_SET_ITEM(entry.get(), 2, fragments.release());
  return entry;
}

}  // namespace

// ---- filling a call (llm_call.hpp) ----

bool is_call(PyObject* obj) { return Py_TYPE(obj) == g_call_type; }

Ref new_call(PyObject* operation, PyObject* provider, PyObject* model, PyObject* tracer, PyObject* capture) {
  if (g_call_type == nullptr) raise(PyExc_RuntimeError, "korvanta._native is not initialised");
  Args<kCall> args{};
  args[0] = operation;
  args[1] = provider;
  args[2] = model;
  args[3] = tracer;
  args[4] = capture;
  return call_new(g_call_type, args);
}

void note_prompt(PyObject* obj, PyObject* prompt, PyObject* request, PyObject* tools) {
  Call* call = as_call(obj);
  if (!call->capture) return;
  Ref source = checked(PyTuple_Pack(3, prompt, request, tools));
  replace(call->prompt_source, source.get());
  call->chat_prompt = false;
}

void note_chat_prompt(PyObject* obj, PyObject* convert, PyObject* messages, PyObject* tools) {
  note_prompt(obj, convert, messages, tools);
  as_call(obj)->chat_prompt = as_call(obj)->capture;
}

void add_call_tag(PyObject* call, ShortText::Literal key, ShortText::Literal value) {
  borrow_exclusive<SpanClass>(as_call(call)->span)->tags.insert_or_assign(ShortText::of_static(key), ShortText::of_static(value));
}

void hide_usage_chunk(PyObject* call) { as_call(call)->hide_usage_chunk = true; }

bool usage_chunk_hidden(PyObject* call) { return as_call(call)->hide_usage_chunk; }

bool first_token_seen(PyObject* call) { return as_call(call)->first_token_seen; }

void note_first_token(PyObject* obj) {
  Call* call = as_call(obj);
  if (call->first_token_seen) return;
  call->first_token_seen = true;
  const auto elapsed_ms = static_cast<std::uint64_t>((now_ns() - call->started_ns) / 1'000'000);
  borrow_exclusive<SpanClass>(call->span)->time_to_first_token_ms = elapsed_ms;
}

void add_text(PyObject* call, PyObject* text) { raise_if(PyList_Append(as_call(call)->text, text) < 0); }

void add_finish_reason(PyObject* call, PyObject* reason) {
  raise_if(PyList_Append(as_call(call)->finish_reasons, reason) < 0);
}

// An empty model is none: Azure starts its streams with a content-filter
// chunk whose model and id are "", and the answer's own come after it.
bool response_noted(PyObject* obj) {
  const PyObject* model = as_call(obj)->response_model;
  return model != nullptr && model != Py_None && !(PyUnicode_Check(model) && PyUnicode_GET_LENGTH(model) == 0);
}

void note_response(PyObject* obj, PyObject* model, PyObject* id) {
  Call* call = as_call(obj);
  if (response_noted(obj)) return;
  replace(call->response_model, model);
  replace(call->response_id, id);
}

void set_response_model(PyObject* call, PyObject* model) { replace(as_call(call)->response_model, model); }

void set_response_id(PyObject* call, PyObject* id) { replace(as_call(call)->response_id, id); }

void add_tool_call(PyObject* obj, PyObject* key, PyObject* call_id, PyObject* name, PyObject* arguments) {
  Call* call = as_call(obj);
  PyObject* entry = PyDict_GetItemWithError(call->tool_calls, key);
  if (entry == nullptr) {
    raise_if(PyErr_Occurred() != nullptr);
    Ref made = new_tool_call(call_id, name, arguments);
    raise_if(PyDict_SetItem(call->tool_calls, key, made.get()) < 0);
    return;
  }
  const Ref held = Ref::borrow(entry);
  if (!PyList_CheckExact(entry) || PyList_GET_SIZE(entry) != 3 || !PyList_CheckExact(PyList_GET_ITEM(entry, 2))) {
    raise(PyExc_TypeError, "a tool call entry must be [call_id, name, fragments]");
  }
  if (truthy(call_id)) raise_if(PyList_SetItem(entry, 0, Py_NewRef(call_id)) < 0);
  // Some servers repeat the name in every delta: the first one stays.
  if (truthy(name) && !truthy(PyList_GET_ITEM(entry, 1))) raise_if(PyList_SetItem(entry, 1, Py_NewRef(name)) < 0);
  if (truthy(arguments)) raise_if(PyList_Append(PyList_GET_ITEM(entry, 2), arguments) < 0);
}

void replace_tool_call(PyObject* call, PyObject* key, PyObject* call_id, PyObject* name, PyObject* arguments) {
  Ref made = new_tool_call(call_id, name, arguments);
  raise_if(PyDict_SetItem(as_call(call)->tool_calls, key, made.get()) < 0);
}

void merge_usage(PyObject* obj, const std::array<PyObject*, 5>& counts) {
  Call* call = as_call(obj);
  PyObject** slots[] = {&call->input_tokens, &call->output_tokens, &call->cached_tokens, &call->cache_write_tokens,
                        &call->reasoning_tokens};
  for (std::size_t i = 0; i < counts.size(); ++i) {
    PyObject* value = counts[i];
    if (value == nullptr || !PyLong_CheckExact(value)) continue;
    PyObject*& slot = *slots[i];
    const bool zero = PyLong_AsLong(value) == 0 && !PyErr_Occurred();
    PyErr_Clear();
    if (!zero || slot == nullptr || slot == Py_None) replace(slot, value);
  }
}

void report_tracing_fault(const char* kind) { report_fault(kind); }

void as_tracing_fault(const char* kind, StepRef step) { as_fault(kind, step); }

namespace {

// ---- the request ----

constexpr auto kRecordPrompt =
    describe("Call", "record_prompt", Receiver::self, {{"prompt"}, {"request"}, optional("tools")});
constexpr char kRecordPromptDoc[] =
    "Notes how to record the request's messages (prompt(request) gives their JSON) and tool definitions, when "
    "content is captured; they are converted when the call ends.";

Ref record_prompt(PyObject* self, const Args<kRecordPrompt>& args) {
  note_prompt(self, args[0], args[1], args[2] != nullptr ? args[2] : Py_None);
  return none();
}

// Records the noted prompt and tool definitions; a fault is reported and
// the call goes on.
void write_prompt(Call* call) {
  Ref source = Ref::steal(std::exchange(call->prompt_source, Py_NewRef(Py_None)));
  if (source.get() == Py_None || !PyTuple_CheckExact(source.get()) || PyTuple_GET_SIZE(source.get()) != 3) return;
  as_fault("recording the prompt", [&] {
    PyObject* request = PyTuple_GET_ITEM(source.get(), 1);
    if (call->chat_prompt) {
      // Written in a string of its own, which the span then takes.
      StringStorage storage;
      JsonWriter out(JsonLayout::Compact, storage, 1024);
      write_chat_prompt(out, PyTuple_GET_ITEM(source.get(), 0), request);
      borrow_exclusive<SpanClass>(call->span)->prompt = storage.take(out);
    } else {
      Ref prompt = checked(PyObject_CallOneArg(PyTuple_GET_ITEM(source.get(), 0), request));
      const std::string_view text = argument<as_text>(prompt.get(), "prompt");
      borrow_exclusive<SpanClass>(call->span)->prompt.assign(text);
    }
    PyObject* tools = PyTuple_GET_ITEM(source.get(), 2);
    if (!truthy(tools)) return;
    Ref listed = PyList_CheckExact(tools) ? Ref::borrow(tools) : checked(PySequence_List(tools));
    Ref json = checked(PyObject_CallOneArg(helpers().dumps.get(), listed.get()));
    const std::string_view definitions = argument<as_text>(json.get(), "tool definitions");
    borrow_exclusive<SpanClass>(call->span)->tags.insert_or_assign(ShortText::of_static("gen_ai.tool.definitions"), ShortText(definitions));
  });
}

// ---- the answer ----

Ref first_token(PyObject* self) {
  note_first_token(self);
  return none();
}

constexpr auto kToolCall =
    describe("Call", "tool_call", Receiver::self, {{"key"}, {"call_id"}, {"name"}, {"arguments"}});
constexpr char kToolCallDoc[] =
    "Adds to the tool call at `key`: its id and name when they come, its arguments in fragments.";

Ref tool_call(PyObject* self, const Args<kToolCall>& args) {
  add_tool_call(self, args[0], args[1], args[2], args[3]);
  return none();
}

constexpr auto kCompleteToolCall =
    describe("Call", "complete_tool_call", Receiver::self, {{"key"}, {"call_id"}, {"name"}, {"arguments"}});
constexpr char kCompleteToolCallDoc[] = "Replaces the tool call at `key` with its final form.";

Ref complete_tool_call(PyObject* self, const Args<kCompleteToolCall>& args) {
  replace_tool_call(self, args[0], args[1], args[2], args[3]);
  return none();
}

constexpr auto kUsage = describe("Call", "usage", Receiver::self,
                                 {keyword_only("input_tokens"), keyword_only("output_tokens"),
                                  keyword_only("cached_tokens"), keyword_only("cache_write_tokens"),
                                  keyword_only("reasoning_tokens")});
constexpr char kUsageDoc[] =
    "Merges counts: a count that an update lacks (or reports as 0 over a known one) stays as it was.";

Ref usage(PyObject* self, const Args<kUsage>& args) {
  merge_usage(self, {args[0], args[1], args[2], args[3], args[4]});
  return none();
}

// Reads the streamed items put aside since the last drain.
void drain_pending(Call* call) {
  if (call->pending == nullptr || !PyList_Check(call->pending) || PyList_GET_SIZE(call->pending) == 0) return;
  if (call->reader == nullptr || call->reader == Py_None) return;
  Ref items = Ref::steal(std::exchange(call->pending, nullptr));
  call->pending = checked(PyList_New(0)).release();
  Ref reader = Ref::borrow(call->reader);
  as_fault("reading a streamed item", [&] {
    PyObject* args[] = {reinterpret_cast<PyObject*>(call), items.get()};
    checked(PyObject_Vectorcall(reader.get(), args, 2, nullptr));
  });
}

Ref drain(PyObject* self) {
  drain_pending(as_call(self));
  return none();
}

// ---- the end ----

Ref end_call(Call* call) {
  if (call->ended) return none();
  drain_pending(call);
  if (call->ended) return none();  // the reader may end it
  call->ended = true;
  Ref self = Ref::borrow(reinterpret_cast<PyObject*>(call));
  write_prompt(call);
  as_fault("recording the answer", [&] {
    // Held: the price lookup and the recording run Python code, which may
    // let another thread change the call meanwhile.
    const Ref input = Ref::borrow(or_none(call->input_tokens));
    const Ref output = Ref::borrow(or_none(call->output_tokens));
    const Ref model = Ref::borrow(or_none(call->response_model));
    PriceMemo::Found price{none(), std::nullopt};
    if (input.get() != Py_None || output.get() != Py_None) {
      const Ref provider = Ref::borrow(call->provider);
      const Ref requested = Ref::borrow(call->request_model);
      price = price_memo().find(provider.get(), model.get(), requested.get());
    }
    // Most answers ask for no tool: no list is made for them.
    const bool no_calls = call->tool_calls != nullptr && PyDict_CheckExact(call->tool_calls) &&
                          PyDict_GET_SIZE(call->tool_calls) == 0;
    const Ref calls = no_calls ? none() : checked(PyDict_Values(call->tool_calls));
    const Ref text = Ref::borrow(call->text);
    const Ref reasons = Ref::borrow(call->finish_reasons);
    const Ref response_id = Ref::borrow(or_none(call->response_id));
    const Ref cached = Ref::borrow(or_none(call->cached_tokens));
    const Ref written = Ref::borrow(or_none(call->cache_write_tokens));
    const Ref reasoning = Ref::borrow(or_none(call->reasoning_tokens));
    const Answer answer{call->failed ? Py_None : text.get(),
                        model.get(),
                        response_id.get(),
                        reasons.get(),
                        input.get(),
                        output.get(),
                        cached.get(),
                        written.get(),
                        reasoning.get(),
                        price.price.get(),
                        price.rates ? &*price.rates : nullptr,
                        calls.get(),
                        call->capture};
    record_answer(call->span, answer);
  });
  as_fault("ending a span", [&] { deliver_span(call->span); });
  return none();
}

Ref end(PyObject* self) { return end_call(as_call(self)); }

}  // namespace

void end_traced_call(PyObject* call) { end_call(as_call(call)); }

namespace {

// The HTTP status of a provider's status error; timeouts and connection
// errors have none, and neither has an error event inside a stream the
// server answered with success (the client's error names that status).
std::optional<std::uint16_t> error_status(PyObject* error) {
  const Ref held = optional_attribute(error, g_status_code);
  PyObject* status = held.get();
  if (status == nullptr || !PyLong_CheckExact(status)) return std::nullopt;
  const long value = PyLong_AsLong(status);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (value < 400 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

constexpr auto kFail = describe("Call", "fail", Receiver::self, {{"error"}});
constexpr char kFailDoc[] = "Records the error that ended the call, then ends the span.";

Ref fail(PyObject* self, const Args<kFail>& args) {
  Call* call = as_call(self);
  if (call->ended) return none();
  call->failed = true;
  write_prompt(call);
  as_fault("recording an error", [&] {
    std::string text = error_text(args[0]);
    const auto status = error_status(args[0]);
    borrow_exclusive<SpanClass>(call->span)->finish_error(std::move(text), status);
  });
  return end_call(call);
}

// ---- the class ----

using CallReferences =
    HeldReferences<Call, &Call::span, &Call::provider, &Call::request_model, &Call::text, &Call::tool_calls,
                   &Call::response_model, &Call::response_id, &Call::finish_reasons, &Call::input_tokens,
                   &Call::output_tokens, &Call::cached_tokens, &Call::cache_write_tokens, &Call::reasoning_tokens,
                   &Call::pending, &Call::reader, &Call::prompt_source>;

PyObject* call_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return guarded([&] {
    Args<kCall> slots;
    parse_args<kCall>(args, PyVectorcall_NARGS(nargsf), kwnames, slots);
    return call_new(reinterpret_cast<PyTypeObject*>(type), slots);
  });
}

constexpr auto kFirstToken = describe("Call", "first_token", Receiver::self);
constexpr char kFirstTokenDoc[] = "Takes the time to first token, the first time only.";
constexpr auto kDrain = describe("Call", "drain", Receiver::self);
constexpr char kDrainDoc[] = "Reads the streamed items put aside since the last drain (reader(call, items)).";
constexpr auto kEnd = describe("Call", "end", Receiver::self);
constexpr char kEndDoc[] =
    "Records the prompt and what the answer brought on the span and hands it over, the first time only.";

PyMethodDef g_methods[] = {
    fastcall_method<kRecordPrompt, record_prompt, kRecordPromptDoc>(),
    noargs_method<kFirstToken, first_token, kFirstTokenDoc>(),
    fastcall_method<kToolCall, tool_call, kToolCallDoc>(),
    fastcall_method<kCompleteToolCall, complete_tool_call, kCompleteToolCallDoc>(),
    fastcall_method<kUsage, usage, kUsageDoc>(),
    noargs_method<kDrain, drain, kDrainDoc>(),
    fastcall_method<kFail, fail, kFailDoc>(),
    noargs_method<kEnd, end, kEndDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

// One member row: Python reads (and, unless read-only, sets) the field at `offset`.
constexpr PyMemberDef member(const char* name, int type, std::size_t offset, int flags) {
  return {name, type, static_cast<Py_ssize_t>(offset), flags, nullptr};
}

PyMemberDef g_members[] = {
    member("span", Py_T_OBJECT_EX, offsetof(Call, span), Py_READONLY),
    member("provider", Py_T_OBJECT_EX, offsetof(Call, provider), Py_READONLY),
    member("request_model", Py_T_OBJECT_EX, offsetof(Call, request_model), Py_READONLY),
    member("text", Py_T_OBJECT_EX, offsetof(Call, text), Py_READONLY),
    member("tool_calls", Py_T_OBJECT_EX, offsetof(Call, tool_calls), Py_READONLY),
    member("response_model", Py_T_OBJECT_EX, offsetof(Call, response_model), 0),
    member("response_id", Py_T_OBJECT_EX, offsetof(Call, response_id), 0),
    member("finish_reasons", Py_T_OBJECT_EX, offsetof(Call, finish_reasons), Py_READONLY),
    member("input_tokens", Py_T_OBJECT_EX, offsetof(Call, input_tokens), Py_READONLY),
    member("output_tokens", Py_T_OBJECT_EX, offsetof(Call, output_tokens), Py_READONLY),
    member("cached_tokens", Py_T_OBJECT_EX, offsetof(Call, cached_tokens), Py_READONLY),
    member("cache_write_tokens", Py_T_OBJECT_EX, offsetof(Call, cache_write_tokens), Py_READONLY),
    member("reasoning_tokens", Py_T_OBJECT_EX, offsetof(Call, reasoning_tokens), Py_READONLY),
    member("pending", Py_T_OBJECT_EX, offsetof(Call, pending), 0),
    member("reader", Py_T_OBJECT_EX, offsetof(Call, reader), 0),
    member("capture", Py_T_BOOL, offsetof(Call, capture), Py_READONLY),
    member("first_token_seen", Py_T_BOOL, offsetof(Call, first_token_seen), Py_READONLY),
    member("ended", Py_T_BOOL, offsetof(Call, ended), Py_READONLY),
    member("failed", Py_T_BOOL, offsetof(Call, failed), Py_READONLY),
    member("hide_usage_chunk", Py_T_BOOL, offsetof(Call, hide_usage_chunk), 0),
    {nullptr, 0, 0, 0, nullptr},
};

// Binds what Call needs of the package.
constexpr auto kBindCalls = function("bind_calls", {{"fault"}, {"price_for"}, {"dumps"}});
constexpr char kBindCallsDoc[] = "What Call needs of the package: its fault logger, price lookup and JSON encoder.";

Ref bind_calls(PyObject*, const Args<kBindCalls>& args) {
  Helpers& bound = helpers();
  bound.fault = Ref::borrow(args[0]);
  bound.price_for = Ref::borrow(args[1]);
  bound.dumps = Ref::borrow(args[2]);
  price_memo().forget();
  return none();
}

constexpr auto kForgetPrices = describe("", "forget_prices", Receiver::module);
constexpr char kForgetPricesDoc[] = "Drops the prices calls remember: the price table has changed.";

Ref forget_prices(PyObject*, const Args<kForgetPrices>&) {
  price_memo().forget();
  return none();
}

constexpr auto kSetCaptureContent = function("set_capture_content", {{"capture"}});
constexpr char kSetCaptureContentDoc[] = "Whether calls record prompts, answers and tool arguments by default.";

Ref set_capture_content(PyObject*, const Args<kSetCaptureContent>& args) {
  helpers().capture_content = args.get<0, as_bool>();
  return none();
}

}  // namespace

Ref make_call_type() {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(constructor<kCall, call_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(CallReferences::dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(CallReferences::traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(CallReferences::clear)},
      {Py_tp_methods, g_methods},
      {Py_tp_members, g_members},
      {Py_tp_doc, const_cast<char*>(class_docstring<kCall, kCallDoc>.c_str())},
      {0, nullptr},
  };
  PyType_Spec type_desc = {"korvanta._native.Call", sizeof(Call), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                           slots};
  Ref type = checked(PyType_FromSpec(&type_desc));
  // Made on every traced call: no argument tuple is built for it.
  reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = call_vectorcall;
  g_call_type = reinterpret_cast<PyTypeObject*>(type.get());  // the module holds it for the process
  return type;
}

PyMethodDef call_functions[] = {
    fastcall_method<kBindCalls, bind_calls, kBindCallsDoc>(),
    fastcall_method<kSetCaptureContent, set_capture_content, kSetCaptureContentDoc>(),
    fastcall_method<kForgetPrices, forget_prices, kForgetPricesDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
