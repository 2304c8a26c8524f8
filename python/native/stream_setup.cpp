// Tracing an OpenAI chat completion stream in place, in one native step: the
// stream's decoder, item iterator and close() are replaced on the instance
// by the stand-ins that read it (see chat_stream.cpp and stream_tap.cpp).
// Every streamed call takes this step, so it runs no Python.
#include <Python.h>

#include <cstddef>

#include "entry.hpp"
#include "functions.hpp"
#include "held_references.hpp"
#include "interned.hpp"
#include "llm_call.hpp"
#include "py_values.hpp"
#include "stream_tap.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_iterator("_iterator");
InternedName g_decoder("_decoder");
InternedName g_response("response");
InternedName g_close("close");
InternedName g_end("end");
InternedName g_iter_bytes("iter_bytes");
InternedName g_doc("__doc__");
InternedName g_traced("_korvanta_call");

// ---- the decoder: the response's events, without the usage chunk ----

// When the stream's decoder is the client's own kind, its events are read
// natively (sse_events.cpp), as that decoder would make them; otherwise the
// response's bytes reach it without the usage chunk.
struct UsageDecoder {
  PyObject_HEAD
  PyObject* decoder;  // the stream's own
  PyObject* call;
  PyObject* scan;
  PyObject* events;   // the client's ServerSentEvent when its events are read natively, else None
};

UsageDecoder* as_decoder(PyObject* obj) { return reinterpret_cast<UsageDecoder*>(obj); }

PyObject* decoder_iter_bytes(PyObject* self, PyObject* chunks) {
  return guarded([&] {
    UsageDecoder* decoder = as_decoder(self);
    if (decoder->decoder == nullptr) raise(PyExc_ReferenceError, "the stream's decoder is gone");
    if (decoder->events != nullptr && decoder->events != Py_None) {
      PyObject* hiding = usage_chunk_hidden(decoder->call) ? decoder->call : Py_None;
      return new_event_reader(chunks, decoder->events, hiding, decoder->scan);
    }
    Ref filtered = new_usage_filter(chunks, decoder->call, decoder->scan);
    PyObject* args[] = {decoder->decoder, filtered.get()};
    return checked(PyObject_VectorcallMethod(g_iter_bytes.require(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
  });
}

// Anything else the client asks of its decoder is the decoder's own.
PyObject* decoder_getattro(PyObject* self, PyObject* name) {
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  PyObject* decoder = as_decoder(self)->decoder;
  if (decoder == nullptr) {
    PyErr_SetString(PyExc_ReferenceError, "the stream's decoder is gone");
    return nullptr;
  }
  return PyObject_GetAttr(decoder, name);
}

using DecoderReferences = HeldReferences<UsageDecoder, &UsageDecoder::decoder, &UsageDecoder::call,
                                         &UsageDecoder::scan, &UsageDecoder::events>;

PyMethodDef g_decoder_methods[] = {
    {"iter_bytes", decoder_iter_bytes, METH_O,
     "The events of the response's bytes, as the stream's decoder makes them, without the usage chunk."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- close(): the stream closed, then its call ended ----

struct Closer {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* stream;    // a weak reference: the closer does not keep a dropped stream alive
  PyObject* response;  // what is left to close once the stream is gone
  PyObject* kind;      // the stream's class, whose close() closes it
  PyObject* call;
};

Closer* as_closer(PyObject* obj) { return reinterpret_cast<Closer*>(obj); }

// The stream, or None once it is gone.
Ref alive(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* obj = nullptr;
  raise_if(PyWeakref_GetRef(ref, &obj) < 0);
  return obj != nullptr ? Ref::steal(obj) : none();
#else
  PyObject* obj = PyWeakref_GetObject(ref);
  raise_if(obj == nullptr);
  return Ref::borrow(obj);
#endif
}

// In `client...create(stream=True).close()` the stream may be gone before
// close() runs: closing its response is all that is left to do then. The call
// ends either way; an error of the closing goes to the caller.
PyObject* closer_call(PyObject* self, PyObject* const*, std::size_t nargsf, PyObject* kwnames) {
  Closer* closer = as_closer(self);
  if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "close() takes no arguments");
    return nullptr;
  }
  if (closer->call == nullptr || closer->kind == nullptr || closer->response == nullptr) {
    PyErr_SetString(PyExc_ReferenceError, "the stream's call is gone");
    return nullptr;
  }
  PyObject* closed = guarded([&] {
    Ref stream = alive(closer->stream);
    if (stream.get() == Py_None) return checked(PyObject_CallMethodNoArgs(closer->response, g_close.require()));
    const Ref close = checked(PyObject_GetAttr(closer->kind, g_close.require()));
    return checked(PyObject_CallOneArg(close.get(), stream.get()));
  });
  PyObject* error = closed == nullptr ? PyErr_GetRaisedException() : nullptr;
  PyObject* end = g_end.get();
  PyObject* ended = end != nullptr ? PyObject_CallMethodNoArgs(closer->call, end) : nullptr;
  if (ended == nullptr) {
    Py_XDECREF(closed);
    if (error != nullptr) {  // as in a finally block: the new error, the first as its context
      PyObject* later = PyErr_GetRaisedException();
      PyException_SetContext(later, error);
      PyErr_SetRaisedException(later);
    }
    return nullptr;
  }
  Py_DECREF(ended);
  if (error != nullptr) {
    PyErr_SetRaisedException(error);
    return nullptr;
  }
  return closed;
}

// close.__doc__ is the stream class's, and its name is close.
PyObject* closer_doc(PyObject* self, void*) {
  return guarded([self] {
    PyObject* kind = as_closer(self)->kind;
    if (kind == nullptr) return none();
    const Ref close = checked(PyObject_GetAttr(kind, g_close.require()));
    return checked(PyObject_GetAttr(close.get(), g_doc.require()));
  });
}

PyObject* closer_name(PyObject*, void*) { return PyUnicode_FromString("close"); }

// inspect.signature(stream.close): the class's close(), bound (without its
// first parameter), as the untraced stream's bound method shows it.
PyObject* closer_signature(PyObject* self, void*) {
  return guarded([self] {
    PyObject* kind = as_closer(self)->kind;
    if (kind == nullptr) return none();
    const Ref close = checked(PyObject_GetAttr(kind, g_close.require()));
    const Ref inspect = checked(PyImport_ImportModule("inspect"));
    const Ref signature = checked(PyObject_CallMethod(inspect.get(), "signature", "O", close.get()));
    const Ref parameters = checked(PyObject_GetAttrString(signature.get(), "parameters"));
    const Ref values = checked(PyObject_CallMethod(parameters.get(), "values", nullptr));
    const Ref listed = checked(PySequence_List(values.get()));
    const Ref bound = checked(PyList_GetSlice(listed.get(), 1, PY_SSIZE_T_MAX));
    const Ref replace = checked(PyObject_GetAttrString(signature.get(), "replace"));
    const Ref keywords = checked(Py_BuildValue("{s:O}", "parameters", bound.get()));
    const Ref empty = checked(PyTuple_New(0));
    return checked(PyObject_Call(replace.get(), empty.get(), keywords.get()));
  });
}

using CloserReferences =
    HeldReferences<Closer, &Closer::stream, &Closer::response, &Closer::kind, &Closer::call>;

PyMemberDef g_closer_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(Closer, vectorcall)), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef g_closer_getset[] = {
    {"__doc__", closer_doc, nullptr, nullptr, nullptr},
    {"__name__", closer_name, nullptr, nullptr, nullptr},
    {"__qualname__", closer_name, nullptr, nullptr, nullptr},
    {"__signature__", closer_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* g_decoder_type = nullptr;
PyTypeObject* g_closer_type = nullptr;

// ---- the step ----

// dict[key] (borrowed), or nullptr when absent.
PyObject* entry(PyObject* dict, InternedName& key) {
  PyObject* value = PyDict_GetItemWithError(dict, key.require());
  if (value == nullptr) raise_if(PyErr_Occurred() != nullptr);
  return value;
}

constexpr auto kTraceChatStream = function(
    "trace_chat_stream", {{"fault"}, {"scan"}, {"decoder_class"}, {"event_class"}, {"stream"}, {"call"}});
constexpr char kTraceChatStreamDoc[] =
    "Traces a sync OpenAI chat completion stream in place on `call`: its decoder (when it is a decoder_class, "
    "whose events, event_class, are then read natively; else when call.hide_usage_chunk), item iterator and "
    "close() replaced on the instance. False, and the stream unchanged, for a stream not of that shape.";

Ref trace_chat_stream(PyObject*, const Args<kTraceChatStream>& args) {
  PyObject* stream = args[4];
  PyObject* call = args[5];
  if (!is_call(call)) raise(PyExc_TypeError, "argument 'call': expected a korvanta._native.Call");
  // A stream without a dict of its own, or that cannot be held weakly, is not of that shape.
  PyTypeObject* type = Py_TYPE(stream);
  const bool has_dict = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_dictoffset != 0;
  if (!has_dict || !PyType_SUPPORTS_WEAKREFS(type)) return to_python(false);
  const Ref attributes = checked(PyObject_GenericGetDict(stream, nullptr));
  if (!PyDict_Check(attributes.get())) return to_python(false);
  // Held: making the stand-ins runs Python code (attribute lookups).
  const Ref inner = Ref::borrow(entry(attributes.get(), g_iterator));
  const Ref decoder = Ref::borrow(entry(attributes.get(), g_decoder));
  const Ref response = Ref::borrow(entry(attributes.get(), g_response));
  if (!decoder || !response || !inner || !PyGen_CheckExact(inner.get())) return to_python(false);
  const Ref stream_ref = checked(PyWeakref_NewRef(stream, nullptr));

  // Every stand-in is made before any is set: a stream is traced whole or not at all.
  Ref items = new_tap(inner.get(), call, Py_None, args[0], read_chat_chunk);
  Ref usage_decoder;
  const bool native_events = PyType_Check(args[2]) && Py_TYPE(decoder.get()) == reinterpret_cast<PyTypeObject*>(args[2]);
  if (native_events || usage_chunk_hidden(call)) {
    UsageDecoder* made = new_object<UsageDecoder>(g_decoder_type);
    made->decoder = Ref::borrow(decoder.get()).release();
    made->call = Ref::borrow(call).release();
    made->scan = Ref::borrow(args[1]).release();
    made->events = Ref::borrow(native_events ? args[3] : Py_None).release();
    usage_decoder = Ref::steal(reinterpret_cast<PyObject*>(made));
    PyObject_GC_Track(made);
  }
  Closer* made = new_object<Closer>(g_closer_type);
  made->vectorcall = closer_call;
  made->stream = Ref::borrow(stream_ref.get()).release();
  made->response = Ref::borrow(response.get()).release();
  made->kind = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(stream))).release();
  made->call = Ref::borrow(call).release();
  const Ref closer = Ref::steal(reinterpret_cast<PyObject*>(made));
  PyObject_GC_Track(made);

  if (usage_decoder) raise_if(PyDict_SetItem(attributes.get(), g_decoder.require(), usage_decoder.get()) < 0);
  raise_if(PyDict_SetItem(attributes.get(), g_iterator.require(), items.get()) < 0);
  raise_if(PyDict_SetItem(attributes.get(), g_close.require(), closer.get()) < 0);
  raise_if(PyDict_SetItem(attributes.get(), g_traced.require(), Py_True) < 0);
  return to_python(true);
}

}  // namespace

void make_stream_setup_types() {
  PyType_Slot decoder_slots[] = {
      {Py_tp_methods, g_decoder_methods},
      {Py_tp_getattro, reinterpret_cast<void*>(decoder_getattro)},
      {Py_tp_traverse, reinterpret_cast<void*>(DecoderReferences::traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(DecoderReferences::clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(DecoderReferences::dealloc)},
      {0, nullptr},
  };
  PyType_Spec decoder_desc = {"korvanta._native.UsageDecoder", sizeof(UsageDecoder), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              decoder_slots};
  make_type_once(g_decoder_type, decoder_desc);
  PyType_Slot closer_slots[] = {
      {Py_tp_members, g_closer_members},
      {Py_tp_getset, g_closer_getset},
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_traverse, reinterpret_cast<void*>(CloserReferences::traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(CloserReferences::clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(CloserReferences::dealloc)},
      {0, nullptr},
  };
  PyType_Spec closer_desc = {
      "korvanta._native.StreamCloser", sizeof(Closer), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      closer_slots};
  make_type_once(g_closer_type, closer_desc);
}

PyMethodDef stream_setup_functions[] = {
    fastcall_method<kTraceChatStream, trace_chat_stream, kTraceChatStreamDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
