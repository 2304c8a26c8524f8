// korvanta._native.tap: the items of a traced client's stream, passed to the
// caller as they come and recorded on the call. Native because it runs once
// per streamed item, between the client's own parsing of each.
//
// With a native reader, every item is read as it passes. With a Python one:
// until the call's first token, each item is read at once (`read(call,
// item)`, False keeps an item only tracing asked for from the caller);
// after it, items are only put aside on `call.pending` and read in batches
// by `call.drain()`. The call ends when the items run out, fails with the
// error that stopped them, and ends when the tap is collected unfinished.
#include <Python.h>

#include <utility>

#include "entry.hpp"
#include "functions.hpp"
#include "held_references.hpp"
#include "interned.hpp"
#include "llm_call.hpp"
#include "py_reading.hpp"
#include "stream_tap.hpp"

namespace korvanta::py::native {
namespace {

constexpr Py_ssize_t kBatch = 64;  // items put aside before they are read

InternedName g_first_token_seen("first_token_seen");
InternedName g_pending("pending");
InternedName g_drain("drain");
InternedName g_end("end");
InternedName g_fail("fail");
InternedName g_close("close");

struct Tap {
  PyObject_HEAD
  PyObject* inner;  // the client's iterator; nullptr once it is done
  PyObject* call;
  PyObject* read;   // read(call, item) -> bool; None: items are read elsewhere
  PyObject* fault;  // fault(kind, error): a fault inside tracing, logged
  NativeRead native_read;  // when set, reads every item in place of read
  bool reading;     // before the first token
};

Tap* as_tap(PyObject* obj) { return reinterpret_cast<Tap*>(obj); }

// Reports the pending Exception through fault(kind, error); any other
// BaseException stays pending and is thrown.
void report_fault(Tap* tap, const char* kind) {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_pending();
  Ref error = Ref::steal(PyErr_GetRaisedException());
  Ref text = checked(PyUnicode_FromString(kind));
  PyObject* args[] = {text.get(), error.get()};
  checked(PyObject_Vectorcall(tap->fault, args, 2, nullptr));
}

// The stream is over: the inner iterator is dropped, then the call ended.
void finish(Tap* tap) {
  Ref inner = Ref::steal(std::exchange(tap->inner, nullptr));
  call_method(tap->call, g_end);
}

// Whether the call has seen its first token.
bool first_token_seen(Tap* tap) {
  Ref seen = checked(PyObject_GetAttr(tap->call, g_first_token_seen.require()));
  return seen.get() == Py_True;
}

Ref next_item(Tap* tap) {
  while (tap->inner != nullptr) {
    Ref held = Ref::borrow(tap->inner);
    Ref item = Ref::steal(PyIter_Next(held.get()));
    if (!item) {
      if (PyErr_Occurred()) {
        // The error goes to the caller as it is, after the call records it.
        Ref error = Ref::steal(PyErr_GetRaisedException());
        Ref inner = Ref::steal(std::exchange(tap->inner, nullptr));
        call_method(tap->call, g_fail, error.get());
        PyErr_SetRaisedException(error.release());
        throw ErrorAlreadySet{};
      }
      finish(tap);
      return Ref();
    }
    if (tap->native_read != nullptr) {
      bool shown = true;
      as_tracing_fault("reading a streamed item", [&] { shown = tap->native_read(tap->call, item.get()); });
      if (shown) return item;
      continue;
    }
    if (tap->read == Py_None) return item;
    if (!tap->reading) {
      Ref pending = checked(PyObject_GetAttr(tap->call, g_pending.require()));
      if (!PyList_Check(pending.get())) raise(PyExc_TypeError, "call.pending: expected a list");
      raise_if(PyList_Append(pending.get(), item.get()) < 0);
      if (PyList_GET_SIZE(pending.get()) >= kBatch) call_method(tap->call, g_drain);
      return item;
    }
    bool shown = true;
    PyObject* args[] = {tap->call, item.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(tap->read, args, 2, nullptr));
    if (!result) {
      report_fault(tap, "reading a streamed item");
    } else {
      const int truth = PyObject_IsTrue(result.get());
      if (truth < 0) report_fault(tap, "reading a streamed item");
      shown = truth != 0;
    }
    if (first_token_seen(tap)) tap->reading = false;
    if (shown) return item;
  }
  return Ref();
}

PyObject* tap_iternext(PyObject* self) {
  return guarded([self] { return next_item(as_tap(self)); });
}

PyObject* tap_self(PyObject* self) { return Py_NewRef(self); }

// Collected before its items ran out: the client's iterator is closed (a
// generator would otherwise run no cleanup until it is collected itself)
// and the call ended with what arrived. At interpreter exit there is no
// one left to hand the span to.
void tap_finalize(PyObject* self) {
  Tap* tap = as_tap(self);
  if (tap->inner == nullptr || tap->call == nullptr || interpreter_finalizing()) return;
  PyObject* saved = PyErr_GetRaisedException();
  PyObject* inner = std::exchange(tap->inner, nullptr);
  PyObject* close = g_close.get();
  PyObject* result = nullptr;
  if (close != nullptr) {
    PyObject* close_args[] = {inner};
    result = PyObject_VectorcallMethod(close, close_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  }
  if (result == nullptr) PyErr_Clear();  // an iterator without close() has nothing to release
  Py_XDECREF(result);
  Py_DECREF(inner);
  PyObject* end = g_end.get();
  result = nullptr;
  if (end != nullptr) {
    PyObject* end_args[] = {tap->call};
    result = PyObject_VectorcallMethod(end, end_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  }
  if (result == nullptr) PyErr_WriteUnraisable(self);
  Py_XDECREF(result);
  PyErr_SetRaisedException(saved);
}

using TapReferences = HeldReferences<Tap, &Tap::inner, &Tap::call, &Tap::read, &Tap::fault>;

void tap_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  TapReferences::dealloc(self);
}

PyTypeObject* g_tap_type = nullptr;

}  // namespace

Ref new_tap(PyObject* items, PyObject* call, PyObject* read, PyObject* fault, NativeRead native_read) {
  if (native_read != nullptr && !is_call(call)) raise(PyExc_TypeError, "argument 'call': expected a korvanta._native.Call");
  Ref inner = checked(PyObject_GetIter(items));
  Tap* made = new_object<Tap>(g_tap_type);
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(made));
  made->inner = inner.release();
  made->call = Ref::borrow(call).release();
  made->read = Ref::borrow(read).release();
  made->fault = Ref::borrow(fault).release();
  made->native_read = native_read;
  made->reading = true;
  PyObject_GC_Track(obj.get());
  return obj;
}

namespace {

constexpr auto kTap = function("tap", {{"inner"}, {"call"}, {"read"}, {"fault"}});
constexpr char kTapDoc[] =
    "An iterator of `inner`'s items that records them on `call`: read(call, item) until the first token, "
    "then put aside on call.pending (read None: items are read elsewhere); ends or fails the call with the "
    "items, or when collected unfinished.";

Ref tap(PyObject*, const Args<kTap>& args) { return new_tap(args[0], args[1], args[2], args[3]); }

PyType_Slot g_tap_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(tap_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(tap_iternext)},
    {Py_tp_finalize, reinterpret_cast<void*>(tap_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(TapReferences::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(TapReferences::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tap_dealloc)},
    {0, nullptr},
};

PyType_Spec g_tap_desc = {"korvanta._native.Tap", sizeof(Tap), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_tap_slots};

}  // namespace

void make_tap_type() {
  make_type_once(g_tap_type, g_tap_desc);
}

PyMethodDef stream_functions[] = {
    fastcall_method<kTap, tap, kTapDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
