// korvanta._native's readers of OpenAI chat completion streams.
//
// chat_chunk: one chunk of a stream read natively, from the client's model of
// it (its fields are plain instance attributes) or from its JSON data. The
// stream's tap reads every item with it as it passes: nothing runs per chunk
// in Python, and the client's own steps keep their fast paths.
//
// without_usage_chunk: the response's bytes without the usage chunk that only
// tracing asked for.
#include <Python.h>

#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "chat_fields.hpp"
#include "entry.hpp"
#include "functions.hpp"
#include "held_references.hpp"
#include "interned.hpp"
#include "korvanta/sse.hpp"
#include "korvanta/usage_chunk.hpp"
#include "llm_call.hpp"
#include "py_values.hpp"
#include "stream_tap.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_delta("delta");

// The fields of a part of a chunk: its JSON data's dict, or the instance
// dict of the client's model of it. nullptr for anything else.
PyObject* fields_of(PyObject* part) {
  if (PyDict_Check(part)) return part;
  if (part == Py_None || PyUnicode_Check(part) || PyLong_Check(part) || PyList_Check(part)) return nullptr;
  PyObject** slot = _PyObject_GetDictPtr(part);
  return slot != nullptr && *slot != nullptr && PyDict_Check(*slot) ? *slot : nullptr;
}

// fields[key] (borrowed: the chunk is held while it is read), or None when
// absent or there are no fields.
PyObject* field(PyObject* fields, InternedName& key) {
  if (fields == nullptr) return Py_None;
  PyObject* value = PyDict_GetItemWithError(fields, key.require());
  if (value == nullptr) {
    raise_if(PyErr_Occurred() != nullptr);
    return Py_None;
  }
  return value;
}

// part.key, read as field() does.
PyObject* get(PyObject* part, InternedName& key) { return field(fields_of(part), key); }

// The counts of a chunk's usage data, merged on the call. Each is held: a
// lookup may run Python code (a key's __eq__) that drops what it read before.
void merge_usage_data(PyObject* call, PyObject* usage) {
  const Ref fields = Ref::borrow(fields_of(usage));
  const Ref prompt = Ref::borrow(fields_of(field(fields.get(), g_prompt_details)));
  const Ref completion = Ref::borrow(fields_of(field(fields.get(), g_completion_details)));
  const Ref input = Ref::borrow(field(fields.get(), g_prompt_tokens));
  const Ref output = Ref::borrow(field(fields.get(), g_completion_tokens));
  const Ref cached = Ref::borrow(field(prompt.get(), g_cached_tokens));
  const Ref reasoning = Ref::borrow(field(completion.get(), g_reasoning_tokens));
  merge_usage(call, {input.get(), output.get(), cached.get(), nullptr, reasoning.get()});
}

// A non-empty str, as Python's truth test of a text field.
bool has_text(PyObject* value) { return PyUnicode_Check(value) && PyUnicode_GET_LENGTH(value) > 0; }

bool is_zero(PyObject* value) {
  if (!PyLong_CheckExact(value)) return false;
  int overflow = 0;
  return PyLong_AsLongAndOverflow(value, &overflow) == 0 && overflow == 0;
}

}  // namespace

// What one chunk says: text of the first choice, refusals, tool call
// fragments, finish reasons, the model and id, and usage. The parts read are
// held: a lookup may run Python code (a key's __eq__) that drops them.
bool read_chat_chunk(PyObject* call, PyObject* chunk) {
  PyObject* fields = fields_of(chunk);
  if (fields == nullptr) return true;
  const Ref held = Ref::borrow(fields);
  const Ref choices = Ref::borrow(field(fields, g_choices));
  const bool has_choices = PyList_Check(choices.get()) && PyList_GET_SIZE(choices.get()) > 0;
  for (Py_ssize_t i = 0; has_choices && i < PyList_GET_SIZE(choices.get()); ++i) {
    const Ref choice = Ref::borrow(fields_of(PyList_GET_ITEM(choices.get(), i)));
    const Ref delta = Ref::borrow(fields_of(field(choice.get(), g_delta)));
    const Ref index = Ref::borrow(field(choice.get(), g_index));
    PyObject* content = field(delta.get(), g_content);
    PyObject* text = has_text(content) ? content : field(delta.get(), g_refusal);
    if (has_text(text)) {
      note_first_token(call);
      if (is_zero(index.get())) add_text(call, text);
    }
    const Ref tool_calls = Ref::borrow(field(delta.get(), g_tool_calls));
    if (PyList_Check(tool_calls.get()) && PyList_GET_SIZE(tool_calls.get()) > 0) {
      note_first_token(call);
      for (Py_ssize_t j = 0; j < PyList_GET_SIZE(tool_calls.get()); ++j) {
        const Ref tool_call = Ref::borrow(fields_of(PyList_GET_ITEM(tool_calls.get(), j)));
        const Ref function = Ref::borrow(fields_of(field(tool_call.get(), g_function)));
        const Ref key = checked(PyTuple_Pack(2, index.get(), field(tool_call.get(), g_index)));
        const Ref call_id = Ref::borrow(field(tool_call.get(), g_id));
        const Ref name = Ref::borrow(field(function.get(), g_name));
        const Ref arguments = Ref::borrow(field(function.get(), g_arguments));
        add_tool_call(call, key.get(), call_id.get(), name.get(), arguments.get());
      }
    }
    // The older `functions` API: one call, its name first, then its arguments in fragments.
    const Ref function_call = Ref::borrow(fields_of(field(delta.get(), g_function_call)));
    if (function_call) {
      note_first_token(call);
      const Ref key = checked(PyTuple_Pack(2, index.get(), Py_None));
      const Ref name = Ref::borrow(field(function_call.get(), g_name));
      const Ref arguments = Ref::borrow(field(function_call.get(), g_arguments));
      add_tool_call(call, key.get(), Py_None, name.get(), arguments.get());
    }
    PyObject* finish = field(choice.get(), g_finish_reason);
    if (has_text(finish)) add_finish_reason(call, finish);
  }
  // Every chunk names the model and id; the first that does is read.
  if (!response_noted(call)) {
    const Ref model = Ref::borrow(field(fields, g_model));
    note_response(call, model.get(), field(fields, g_id));
  }
  const Ref usage = Ref::borrow(field(fields, g_usage));
  if (fields_of(usage.get()) == nullptr) return true;
  merge_usage_data(call, usage.get());
  // A usage-only chunk that only tracing asked for stays from the caller.
  return has_choices || !usage_chunk_hidden(call);
}

namespace {

// ---- the usage chunk that only tracing asked for ----

// The response's bytes without the usage-only chunk tracing asked for, cut
// out before the client's event decoder sees it: the client spends nothing
// on it. Bytes are passed on in whole events; the start of an event not
// complete yet is held until the rest arrives (the decoder could not hand
// it on earlier either). An event that mentions "usage" and holds "[]" (the
// chunk's empty choices) is read, and dropped when it is the usage chunk.
struct UsageFilter {
  PyObject_HEAD
  PyObject* chunks;      // the response's byte iterator
  PyObject* call;
  PyObject* scan;        // the json module's scanner
  std::string held;      // made with placement new, ended in dealloc
  std::size_t scanned;   // where framing the held bytes goes on
  bool done;
};

// Past this, held bytes that still end no event are passed on as they are:
// a stream that is not framed as expected is never held back for long.
constexpr std::size_t kMaxHeld = std::size_t{1} << 20;

UsageFilter* as_filter(PyObject* obj) { return reinterpret_cast<UsageFilter*>(obj); }

bool mentions(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Whether `data` (an event's data, as a str) is a usage-only chunk, read
// with `scan` (the json module's scanner: scan(text, 0) -> (value, end));
// its counts, model and id are recorded on `call` if so. Data that is not
// JSON is no usage chunk: the client reports it as it would.
bool take_usage_chunk_by_scan(PyObject* call, PyObject* data, PyObject* scan) {
  // As json.loads: whitespace may come before the value and after it.
  const auto is_space = [](Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  Py_ssize_t begin = 0;
  while (begin < PyUnicode_GET_LENGTH(data) && is_space(PyUnicode_READ_CHAR(data, begin))) ++begin;
  Ref start = checked(PyLong_FromSsize_t(begin));
  PyObject* args[] = {data, start.get()};
  Ref scanned = Ref::steal(PyObject_Vectorcall(scan, args, 2, nullptr));
  if (!scanned) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_StopIteration)) raise_pending();
    PyErr_Clear();
    return false;
  }
  if (!PyTuple_Check(scanned.get()) || PyTuple_GET_SIZE(scanned.get()) != 2) return false;
  PyObject* chunk = PyTuple_GET_ITEM(scanned.get(), 0);
  const Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(scanned.get(), 1));
  raise_if(end == -1 && PyErr_Occurred() != nullptr);
  for (Py_ssize_t i = end; i < PyUnicode_GET_LENGTH(data); ++i) {
    if (!is_space(PyUnicode_READ_CHAR(data, i))) return false;
  }
  if (!PyDict_CheckExact(chunk)) return false;
  PyObject* choices = get(chunk, g_choices);
  const int any_choice = PyObject_IsTrue(choices);
  raise_if(any_choice < 0);
  PyObject* usage = get(chunk, g_usage);
  if (any_choice != 0 || !PyDict_CheckExact(usage)) return false;
  as_tracing_fault("reading a streamed item", [&] {
    merge_usage_data(call, usage);
    note_response(call, get(chunk, g_model), get(chunk, g_id));
  });
  return true;
}

// An integer literal as a Python int; nullptr (not reported) for none.
Ref integer_of(std::string_view literal) {
  if (literal.empty()) return Ref();
  long long value = 0;
  const auto [end, error] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
  if (error == std::errc() && end == literal.data() + literal.size()) return checked(PyLong_FromLongLong(value));
  const std::string digits(literal);  // past 64 bits
  return checked(PyLong_FromString(digits.c_str(), nullptr, 10));
}

Ref text_or_none(const std::optional<std::string_view>& text) {
  if (!text) return none();
  return checked(PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict"));
}

// As take_usage_chunk_by_scan, for the data's UTF-8 bytes: read natively,
// and by the json module only where the native reader is unsure.
bool take_usage_chunk(PyObject* call, std::string_view data, PyObject* scan) {
  const UsageChunk read = read_usage_chunk(data);
  if (read.verdict == UsageChunkVerdict::NotUsage) return false;
  if (read.verdict == UsageChunkVerdict::Unsure) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
    if (!text) {
      PyErr_Clear();  // not text: the client reports it as it would
      return false;
    }
    return take_usage_chunk_by_scan(call, text.get(), scan);
  }
  as_tracing_fault("reading a streamed item", [&] {
    const Ref input = integer_of(read.prompt_tokens);
    const Ref output = integer_of(read.completion_tokens);
    const Ref cached = integer_of(read.cached_tokens);
    const Ref reasoning = integer_of(read.reasoning_tokens);
    merge_usage(call, {input.get(), output.get(), cached.get(), nullptr, reasoning.get()});
    note_response(call, text_or_none(read.model).get(), text_or_none(read.id).get());
  });
  return true;
}

// Whether the event is the usage chunk (its counts then taken).
bool is_usage_chunk(UsageFilter* filter, std::string_view event) {
  return read_usage_event(filter->call, event_data(event), filter->scan);
}

Ref bytes_of(std::string_view bytes) {
  return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// `complete` (whole events) without the events at `dropped`, as bytes: the
// piece itself when it is all of `complete` and nothing is dropped.
Ref without(std::string_view complete, const std::vector<SseEvent>& dropped, PyObject* piece) {
  if (dropped.empty() && piece != nullptr && static_cast<std::size_t>(PyBytes_GET_SIZE(piece)) == complete.size()) {
    return Ref::borrow(piece);
  }
  std::size_t size = complete.size();
  for (const SseEvent& event : dropped) size -= event.end - event.begin;
  Ref out = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  char* to = PyBytes_AS_STRING(out.get());
  std::size_t from = 0;
  for (const SseEvent& event : dropped) {
    std::memcpy(to, complete.data() + from, event.begin - from);
    to += event.begin - from;
    from = event.end;
  }
  std::memcpy(to, complete.data() + from, complete.size() - from);
  return out;
}

Ref next_bytes(UsageFilter* filter) {
  std::string& held = filter->held;
  while (!filter->done) {
    Ref chunk = Ref::steal(PyIter_Next(filter->chunks));
    if (!chunk) {
      raise_if(PyErr_Occurred() != nullptr);
      filter->done = true;
      if (held.empty()) break;
      Ref rest = bytes_of(held);
      held.clear();
      return rest;
    }
    if (!PyBytes_Check(chunk.get())) raise(PyExc_TypeError, "a response's bytes: expected bytes");
    const std::string_view piece(PyBytes_AS_STRING(chunk.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(chunk.get())));
    // Usually nothing is held and a piece is whole events: it is framed where
    // it lies, and passed on as it is unless the usage chunk is in it.
    const bool in_place = held.empty();
    if (!in_place) held.append(piece);
    const std::string_view buffer = in_place ? piece : std::string_view(held);
    const SseFraming framing = frame_events(buffer, filter->scanned);
    std::size_t passed = framing.consumed;
    if (passed == 0 && buffer.size() > kMaxHeld) passed = buffer.size();
    // The filter's state moves past the complete events before they are
    // read: reading them runs Python code.
    std::string taken;
    std::string_view complete;
    if (in_place) {
      complete = piece.substr(0, passed);
      held.assign(piece.substr(passed));
    } else {
      taken.assign(held, 0, passed);
      held.erase(0, passed);
      complete = taken;
    }
    filter->scanned = framing.scanned > passed ? framing.scanned - passed : 0;
    if (passed == 0) continue;
    std::vector<SseEvent> dropped;
    // Only the events holding a "[]" are read: one search over the bytes
    // instead of one per event.
    const auto events_end = framing.events.end();
    auto event = framing.events.begin();
    for (std::size_t at = complete.find("[]"); at != std::string_view::npos;) {
      while (event != events_end && event->end <= at) ++event;
      if (event == events_end) break;
      if (event->begin <= at) {
        bool usage = false;
        // An event that cannot be read goes on to the client, as it would untraced.
        as_tracing_fault("reading a streamed item", [&] {
          usage = is_usage_chunk(filter, complete.substr(event->begin, event->end - event->begin));
        });
        if (usage) dropped.push_back(*event);
        if (++event == events_end) break;
      }
      at = complete.find("[]", std::max(at + 1, event->begin));
    }
    Ref out = without(complete, dropped, in_place ? chunk.get() : nullptr);
    if (PyBytes_GET_SIZE(out.get()) > 0) return out;
  }
  return Ref();
}

PyObject* filter_next(PyObject* self) {
  return guarded([self] { return next_bytes(as_filter(self)); });
}

PyObject* filter_self(PyObject* self) { return Py_NewRef(self); }

using FilterReferences = HeldReferences<UsageFilter, &UsageFilter::chunks, &UsageFilter::call, &UsageFilter::scan>;

void filter_dealloc(PyObject* self) {
  as_filter(self)->held.~basic_string();
  FilterReferences::dealloc(self);
}

PyTypeObject* g_filter_type = nullptr;

PyType_Slot g_filter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(filter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(filter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(FilterReferences::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(FilterReferences::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(filter_dealloc)},
    {0, nullptr},
};

constexpr auto kWithoutUsageChunk = function("without_usage_chunk", {{"chunks"}, {"call"}, {"scan"}});
constexpr char kWithoutUsageChunkDoc[] =
    "A response's bytes in whole server-sent events, without the usage-only chunk, whose counts are recorded "
    "on `call` (see take_usage_chunk).";

constexpr auto kTakeUsageChunk = function("take_usage_chunk", {{"call"}, {"data"}, {"scan"}});
constexpr char kTakeUsageChunkDoc[] =
    "Whether an event's data is a usage-only chunk, read natively, or with scan (the json module's scanner) "
    "where the native reader is unsure; its counts, model and id are recorded on `call` if so.";

Ref take_usage_chunk_entry(PyObject*, const Args<kTakeUsageChunk>& args) {
  if (!is_call(args[0])) raise(PyExc_TypeError, "argument 'call': expected a korvanta._native.Call");
  if (!PyUnicode_Check(args[1])) raise(PyExc_TypeError, "argument 'data': expected a str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(args[1], &size);
  if (utf8 == nullptr) {  // lone surrogates: no bytes on the wire spell them
    PyErr_Clear();
    return to_python(take_usage_chunk_by_scan(args[0], args[1], args[2]));
  }
  return to_python(take_usage_chunk(args[0], std::string_view(utf8, static_cast<std::size_t>(size)), args[2]));
}

Ref without_usage_chunk(PyObject*, const Args<kWithoutUsageChunk>& args) {
  if (!is_call(args[1])) raise(PyExc_TypeError, "argument 'call': expected a korvanta._native.Call");
  return new_usage_filter(args[0], args[1], args[2]);
}

constexpr auto kChatChunk = function("chat_chunk", {{"call"}, {"chunk"}});
constexpr char kChatChunkDoc[] =
    "Reads a chat completion chunk (the client's model of it, or its JSON data) on `call`; False for a usage-only "
    "chunk that only tracing asked for, which the caller is not shown.";

Ref chat_chunk(PyObject*, const Args<kChatChunk>& args) {
  if (!is_call(args[0])) raise(PyExc_TypeError, "argument 'call': expected a korvanta._native.Call");
  return to_python(read_chat_chunk(args[0], args[1]));
}

}  // namespace

bool read_usage_event(PyObject* call, std::string_view data, PyObject* scan) {
  // "[]" first: a bracket is rare in a chunk, while every chunk may name "usage".
  if (!mentions(data, "[]") || !mentions(data, "\"usage\"")) return false;
  return take_usage_chunk(call, data, scan);
}

void make_usage_filter_type() {
  PyType_Spec filter_desc = {"korvanta._native.UsageFilter", sizeof(UsageFilter), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             g_filter_slots};
  make_type_once(g_filter_type, filter_desc);
}

Ref new_usage_filter(PyObject* chunks, PyObject* call, PyObject* scan) {
  Ref iterator = checked(PyObject_GetIter(chunks));
  UsageFilter* filter = new_object<UsageFilter>(g_filter_type);
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(filter));
  filter->chunks = iterator.release();
  filter->call = Ref::borrow(call).release();
  filter->scan = Ref::borrow(scan).release();
  new (&filter->held) std::string();
  filter->scanned = 0;
  filter->done = false;
  PyObject_GC_Track(obj.get());
  return obj;
}

PyMethodDef chat_stream_functions[] = {
    fastcall_method<kChatChunk, chat_chunk, kChatChunkDoc>(),
    fastcall_method<kWithoutUsageChunk, without_usage_chunk, kWithoutUsageChunkDoc>(),
    fastcall_method<kTakeUsageChunk, take_usage_chunk_entry, kTakeUsageChunkDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
