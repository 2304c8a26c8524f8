// korvanta._native's reader of a traced OpenAI stream's server-sent events:
// the events the client's own decoder (openai's SSEDecoder.iter_bytes) makes
// of the response's bytes, made natively, one at a time as the client asks
// for them, without the usage chunk when only tracing asked for it.
//
// It follows that decoder step by step: lines end in "\r\n", "\n" or "\r"
// and may span pieces; every line is decoded as strict UTF-8 (a bad line
// raises the error the client's decoding raises, where it would); ":" starts
// a comment; "event", "data", "id" (unless it holds a NUL) and "retry" (when
// int() reads it) set the event's fields; a blank line hands the event out
// when it has any, keeping the last id for the events after it. The events
// are the client's own ServerSentEvent objects, made by their class.
#include <Python.h>

#include <new>
#include <optional>
#include <string_view>

#include "entry.hpp"
#include "functions.hpp"
#include "held_references.hpp"
#include "interned.hpp"
#include "korvanta/sse.hpp"
#include "llm_call.hpp"
#include "stream_tap.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_event("event");
InternedName g_data("data");
InternedName g_id("id");
InternedName g_retry("retry");

struct EventReader {
  PyObject_HEAD
  PyObject* chunks;       // the response's byte iterator
  PyObject* event_class;  // the client's ServerSentEvent
  PyObject* call;         // the call whose usage chunk is kept back, or None
  PyObject* scan;         // the json module's scanner, for usage chunks the native reader is unsure of
  PyObject* piece;        // the bytes `lines` reads
  PyObject* event;        // the fields of the event being read: a str, or nullptr
  PyObject* data;         // a list of str
  PyObject* retry;        // an int, or nullptr
  PyObject* id;           // the last event id (it outlives events): a str, or nullptr
  PyObject* id_before;    // the last event id when this event began
  SseLines lines;         // made with placement new, ended in dealloc
  bool out_of_bytes;      // the byte iterator ran out: the held line is read last
  bool done;
  bool running;           // inside next: reading the bytes or making an event may let another thread in
};

EventReader* as_reader(PyObject* obj) { return reinterpret_cast<EventReader*>(obj); }

bool non_empty(PyObject* text) { return text != nullptr && PyUnicode_GET_LENGTH(text) > 0; }

Ref joined_data(PyObject* lines) {
  const Py_ssize_t n = PyList_GET_SIZE(lines);
  if (n == 1) return Ref::borrow(PyList_GET_ITEM(lines, 0));
  if (n == 0) return checked(PyUnicode_FromStringAndSize("", 0));
  const Ref separator = checked(PyUnicode_FromStringAndSize("\n", 1));
  return checked(PyUnicode_Join(separator.get(), lines));
}

// Whether `data` is the usage chunk that only tracing asked for (its counts
// then taken on the call). A chunk that cannot be read goes on to the client.
bool hidden_usage_chunk(EventReader* reader, PyObject* data) {
  if (reader->call == Py_None) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
  if (utf8 == nullptr) {  // lone surrogates cannot come from decoded bytes
    PyErr_Clear();
    return false;
  }
  bool usage = false;
  as_tracing_fault("reading a streamed item", [&] {
    usage = read_usage_event(reader->call, std::string_view(utf8, static_cast<std::size_t>(size)), reader->scan);
  });
  return usage;
}

// A blank line: the event read so far, if it has anything, or nothing.
Ref dispatch(EventReader* reader) {
  if (!non_empty(reader->event) && PyList_GET_SIZE(reader->data) == 0 && !non_empty(reader->id) &&
      reader->retry == nullptr) {
    return Ref();
  }
  const Ref data = joined_data(reader->data);
  Ref made;
  if (hidden_usage_chunk(reader, data.get())) {
    // Kept back as if its bytes had never come: its id does not stay either.
    replace(reader->id, reader->id_before);
  } else {
    static PyObject* names = nullptr;
    if (names == nullptr) {
      names = checked(PyTuple_Pack(4, g_event.require(), g_data.require(), g_id.require(), g_retry.require())).release();
    }
    PyObject* args[] = {nullptr, non_empty(reader->event) ? reader->event : Py_None, data.get(),
                        reader->id != nullptr ? reader->id : Py_None, reader->retry != nullptr ? reader->retry : Py_None};
    made = checked(PyObject_Vectorcall(reader->event_class, args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names));
  }
  Py_CLEAR(reader->event);
  Py_CLEAR(reader->retry);
  raise_if(PyList_SetSlice(reader->data, 0, PyList_GET_SIZE(reader->data), nullptr) < 0);
  replace(reader->id_before, reader->id);
  return made;
}

// Reads one line; the event it ends, if any.
Ref take_line(EventReader* reader, std::string_view line) {
  const Ref text = checked(PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "strict"));
  if (line.empty()) return dispatch(reader);
  if (line.front() == ':') return Ref();
  const std::size_t colon = line.find(':');
  const std::string_view field = line.substr(0, colon);
  if (field != "event" && field != "data" && field != "id" && field != "retry") return Ref();
  // The field's name is ASCII: up to the colon, bytes and characters agree.
  std::size_t start = colon == std::string_view::npos ? line.size() : colon + 1;
  if (start < line.size() && line[start] == ' ') ++start;
  const Ref value = checked(PyUnicode_Substring(text.get(), static_cast<Py_ssize_t>(start), PyUnicode_GET_LENGTH(text.get())));
  if (field == "event") {
    replace(reader->event, value.get());
  } else if (field == "data") {
    raise_if(PyList_Append(reader->data, value.get()) < 0);
  } else if (field == "id") {
    if (line.find('\0', start) == std::string_view::npos) replace(reader->id, value.get());
  } else {
    Ref number = Ref::steal(PyLong_FromUnicodeObject(value.get(), 10));
    if (!number) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending();
      PyErr_Clear();
    } else {
      replace(reader->retry, number.get());
    }
  }
  return Ref();
}

Ref next_event(EventReader* reader) {
  while (!reader->done) {
    std::optional<std::string_view> line = reader->lines.next();
    if (!line) {
      if (reader->out_of_bytes) break;
      Ref piece = Ref::steal(PyIter_Next(reader->chunks));
      if (!piece) {
        raise_if(PyErr_Occurred() != nullptr);
        reader->out_of_bytes = true;
        line = reader->lines.finish();
        if (!line) break;
      } else {
        if (!PyBytes_Check(piece.get())) raise(PyExc_TypeError, "a response's bytes: expected bytes");
        replace(reader->piece, piece.get());
        reader->lines.feed(std::string_view(PyBytes_AS_STRING(piece.get()),
                                            static_cast<std::size_t>(PyBytes_GET_SIZE(piece.get()))));
        continue;
      }
    }
    Ref made = take_line(reader, *line);
    if (made) return made;
  }
  reader->done = true;
  return Ref();
}

PyObject* reader_next(PyObject* self) {
  EventReader* reader = as_reader(self);
  // As a generator: one thread reads at a time (the lines read are views
  // into bytes another step would replace), and nothing comes after an error.
  if (reader->running) {
    PyErr_SetString(PyExc_ValueError, "the stream's events are already being read");
    return nullptr;
  }
  reader->running = true;
  PyObject* made = guarded([reader] { return next_event(reader); });
  reader->running = false;
  if (made == nullptr && PyErr_Occurred() != nullptr) reader->done = true;
  return made;
}

PyObject* reader_self(PyObject* self) { return Py_NewRef(self); }

using ReaderReferences =
    HeldReferences<EventReader, &EventReader::chunks, &EventReader::event_class, &EventReader::call,
                   &EventReader::scan, &EventReader::piece, &EventReader::event, &EventReader::data,
                   &EventReader::retry, &EventReader::id, &EventReader::id_before>;

void reader_dealloc(PyObject* self) {
  as_reader(self)->lines.~SseLines();
  ReaderReferences::dealloc(self);
}

PyTypeObject* g_reader_type = nullptr;

PyType_Slot g_reader_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(reader_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(ReaderReferences::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ReaderReferences::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {0, nullptr},
};

constexpr auto kServerSentEvents =
    function("server_sent_events", {{"chunks"}, {"event_class"}, {"call"}, {"scan"}});
constexpr char kServerSentEventsDoc[] =
    "The server-sent events of a response's bytes, as openai's SSEDecoder.iter_bytes makes them (event_class is "
    "its ServerSentEvent); with a Call, without the usage chunk only tracing asked for, whose counts are "
    "recorded on it.";

Ref server_sent_events(PyObject*, const Args<kServerSentEvents>& args) {
  if (args[2] != Py_None && !is_call(args[2])) raise(PyExc_TypeError, "argument 'call': expected a korvanta._native.Call or None");
  return new_event_reader(args[0], args[1], args[2], args[3]);
}

}  // namespace

void make_event_reader_type() {
  PyType_Spec reader_desc = {"korvanta._native.EventReader", sizeof(EventReader), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             g_reader_slots};
  make_type_once(g_reader_type, reader_desc);
}

Ref new_event_reader(PyObject* chunks, PyObject* event_class, PyObject* call, PyObject* scan) {
  Ref iterator = checked(PyObject_GetIter(chunks));
  Ref data = checked(PyList_New(0));
  EventReader* reader = new_object<EventReader>(g_reader_type);
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(reader));
  reader->chunks = iterator.release();
  reader->event_class = Py_NewRef(event_class);
  reader->call = Py_NewRef(call);
  reader->scan = Py_NewRef(scan);
  reader->piece = nullptr;
  reader->event = nullptr;
  reader->data = data.release();
  reader->retry = nullptr;
  reader->id = nullptr;
  reader->id_before = nullptr;
  new (&reader->lines) SseLines();
  reader->out_of_bytes = false;
  reader->done = false;
  reader->running = false;
  PyObject_GC_Track(obj.get());
  return obj;
}

PyMethodDef sse_event_functions[] = {
    fastcall_method<kServerSentEvents, server_sent_events, kServerSentEventsDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
