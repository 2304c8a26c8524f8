// korvanta._native.RequestHook: a traced sync client's `request` for the
// call traced clients make most, a whole (not streamed) answer. It opens the
// span from the request, sends the client's own request with the arguments
// it was given, records the parsed answer and ends the span, with no Python
// frame of tracing's own between the client's. Every other call (streamed,
// an endpoint without a route, arguments the client does not give for a
// whole answer) goes to the general hook, the Python function it stands in
// front of, which does the same for a whole answer.
#include <Python.h>

#include <cstddef>
#include <utility>

#include "chat_completion.hpp"
#include "entry.hpp"
#include "functions.hpp"
#include "held_references.hpp"
#include "interned.hpp"
#include "llm_call.hpp"
#include "py_reading.hpp"
#include "request_hook.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_method("method");
InternedName g_url("url");
InternedName g_stream("stream");
InternedName g_stream_cls("stream_cls");
InternedName g_open("open");
InternedName g_record("record");
InternedName g_end("end");
InternedName g_fail("fail");

struct RequestHook {
  PyObject_HEAD
  PyObject* send;         // the client's own request, bound
  PyObject* routes;       // {url: route}, a dict
  PyObject* state;        // the client's ClientState
  PyObject* general;      // the general hook: every other call
  PyObject* deliver;      // _deliver(state, route, call, result, stream), for answers that are not parsed models
  PyObject* plain_types;  // a set: the types of answers known to be parsed models
  PyObject* resend;       // _resend(state, route, call, given, options, error): True to send once more
  vectorcallfunc vectorcall;
  PyObject* weak_references;
};

RequestHook* as_hook(PyObject* obj) { return reinterpret_cast<RequestHook*>(obj); }

bool is_name(PyObject* name, InternedName& expected) {
  PyObject* interned = expected.get();
  if (interned == nullptr) {
    PyErr_Clear();
    return false;
  }
  return name == interned || (PyUnicode_Check(name) && PyUnicode_Compare(name, interned) == 0);
}

// request(cast_to, options), with at most stream=False and stream_cls by
// keyword: how the client asks for a whole answer.
bool whole_answer(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 2) return false;
  if (kwnames == nullptr) return true;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (is_name(name, g_stream)) {
      if (args[nargs + i] != Py_False) return false;
    } else if (!is_name(name, g_stream_cls)) {
      return false;
    }
  }
  return true;
}

// The route of a POST to an exact URL of a traced endpoint (borrowed from
// the routes), else nullptr. What it cannot read is the general hook's to
// read again and report.
PyObject* route_of(PyObject* routes, PyObject* options) {
  // The options are the client's model: its fields are read from its
  // instance dict where they can be.
  const auto read = [options](InternedName& name) {
    if (PyObject* value = instance_field(options, name)) return Ref::borrow(value);
    return Ref::steal(PyObject_GetAttr(options, name.require()));
  };
  const Ref method = read(g_method);
  if (!method || !PyUnicode_Check(method.get()) || PyUnicode_CompareWithASCIIString(method.get(), "post") != 0) {
    PyErr_Clear();
    return nullptr;
  }
  const Ref url = read(g_url);
  PyObject* route = url && PyUnicode_CheckExact(url.get()) ? PyDict_GetItemWithError(routes, url.get()) : nullptr;
  if (route == nullptr) PyErr_Clear();
  return route;
}

Ref forward(PyObject* target, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return Ref::steal(PyObject_Vectorcall(target, args, nargsf, kwnames));
}

// call.fail(error), then `error` raised again as it was.
[[noreturn]] void fail_with(PyObject* call, Ref error) {
  call_method(call, g_fail, error.get());
  PyErr_SetRaisedException(error.release());
  throw ErrorAlreadySet{};
}

Ref traced_request(RequestHook* hook, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  // Held: the route and the client's code run Python code, which may change the hook.
  const Ref send = Ref::borrow(hook->send);
  const Ref state = Ref::borrow(hook->state);
  PyObject* options = args[1];
  PyObject* found = route_of(hook->routes, options);
  if (found == nullptr) return forward(hook->general, args, nargsf, kwnames);
  const Ref route = Ref::borrow(found);
  OpenedCall opened;
  as_tracing_fault("starting a span", [&] {
    if (is_chat_route(route.get())) {
      opened = open_chat(state.get(), options, Py_False);
      return;
    }
    const Ref made = call_method(route.get(), g_open, state.get(), options, Py_False);
    if (!PyTuple_CheckExact(made.get()) || PyTuple_GET_SIZE(made.get()) != 2) {
      raise(PyExc_TypeError, "a route's open() must return (call, body)");
    }
    opened = {Ref::borrow(PyTuple_GET_ITEM(made.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(made.get(), 1))};
  });
  if (!opened.call) return forward(send.get(), args, nargsf, kwnames);
  PyObject* call = opened.call.get();
  PyObject* given = opened.given.get();
  Ref result = forward(send.get(), args, nargsf, kwnames);
  if (!result) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (given != Py_None && PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
      PyObject* resend_args[] = {state.get(), route.get(), call, given, options, error.get()};
      const Ref again = checked(PyObject_Vectorcall(hook->resend, resend_args, 6, nullptr));
      if (again.get() == Py_True) {
        result = forward(send.get(), args, nargsf, kwnames);
        if (!result) {
          // Raised while the first was being handled, as in Python.
          Ref again_error = Ref::steal(PyErr_GetRaisedException());
          PyException_SetContext(again_error.get(), error.release());
          fail_with(call, std::move(again_error));
        }
      }
    }
    if (!result) fail_with(call, std::move(error));
  }
  const int plain = PySet_Contains(hook->plain_types, reinterpret_cast<PyObject*>(Py_TYPE(result.get())));
  raise_if(plain < 0);
  if (plain == 0) {
    PyObject* deliver_args[] = {state.get(), route.get(), call, result.get(), Py_False};
    return checked(PyObject_Vectorcall(hook->deliver, deliver_args, 5, nullptr));
  }
  as_tracing_fault("reading a response", [&] {
    if (is_chat_route(route.get())) {
      record_chat(call, result.get());
    } else {
      call_method(route.get(), g_record, call, result.get());
    }
  });
  if (is_call(call)) {
    end_traced_call(call);
  } else {
    call_method(call, g_end);
  }
  return result;
}

PyObject* hook_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  RequestHook* hook = as_hook(self);
  if (!whole_answer(args, PyVectorcall_NARGS(nargsf), kwnames)) {
    return PyObject_Vectorcall(hook->general, args, nargsf, kwnames);
  }
  return guarded([&] { return traced_request(hook, args, nargsf, kwnames); });
}

using HookReferences = HeldReferences<RequestHook, &RequestHook::send, &RequestHook::routes, &RequestHook::state,
                                      &RequestHook::general, &RequestHook::deliver, &RequestHook::plain_types,
                                      &RequestHook::resend>;

// What the function it stands in for showed: its name, and the client's own
// request's docstring.
PyObject* hook_name(PyObject*, void*) { return PyUnicode_FromString("request"); }

PyObject* hook_doc(PyObject* self, void*) {
  static InternedName doc("__doc__");
  PyObject* name = doc.get();
  return name != nullptr ? PyObject_GetAttr(as_hook(self)->send, name) : nullptr;
}

PyGetSetDef g_hook_getset[] = {
    {"__name__", hook_name, nullptr, nullptr, nullptr},
    {"__qualname__", hook_name, nullptr, nullptr, nullptr},
    {"__doc__", hook_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Copies are the hook itself, as a function's are; and, a function's
// binding aside, it reads as a routine (inspect.isroutine).
PyObject* hook_self(PyObject* self, PyObject*) { return Py_NewRef(self); }
PyObject* hook_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyMethodDef g_hook_methods[] = {
    {"__copy__", hook_self, METH_NOARGS, nullptr},
    {"__deepcopy__", hook_self, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void hook_dealloc(PyObject* self) {
  if (as_hook(self)->weak_references != nullptr) PyObject_ClearWeakRefs(self);
  HookReferences::dealloc(self);
}

PyMemberDef g_hook_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(RequestHook, vectorcall), Py_READONLY, nullptr},
    // inspect.signature() and functools.wraps readers see the client's own request.
    {"__wrapped__", Py_T_OBJECT_EX, offsetof(RequestHook, send), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(RequestHook, weak_references), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot g_hook_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, g_hook_members},
    {Py_tp_getset, g_hook_getset},
    {Py_tp_methods, g_hook_methods},
    {Py_tp_descr_get, reinterpret_cast<void*>(hook_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(HookReferences::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(HookReferences::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hook_dealloc)},
    {0, nullptr},
};

PyTypeObject* g_hook_type = nullptr;

constexpr auto kRequestHook =
    function("request_hook", {{"send"}, {"routes"}, {"state"}, {"general"}, {"deliver"}, {"plain_types"}, {"resend"}});
constexpr char kRequestHookDoc[] =
    "A traced sync client's request: whole answers of routed endpoints traced natively, every other call passed "
    "to general(cast_to, options, *, stream, stream_cls, **extra).";

Ref request_hook(PyObject*, const Args<kRequestHook>& args) {
  if (!PyDict_CheckExact(args[1])) raise(PyExc_TypeError, "argument 'routes': expected a dict");
  if (!PySet_CheckExact(args[5])) raise(PyExc_TypeError, "argument 'plain_types': expected a set");
  for (int i : {0, 3, 4, 6}) {
    if (!PyCallable_Check(args[i])) raise(PyExc_TypeError, "request_hook: expected callables for send, general, deliver and resend");
  }
  RequestHook* hook = new_object<RequestHook>(g_hook_type);
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(hook));
  hook->send = Py_NewRef(args[0]);
  hook->routes = Py_NewRef(args[1]);
  hook->state = Py_NewRef(args[2]);
  hook->general = Py_NewRef(args[3]);
  hook->deliver = Py_NewRef(args[4]);
  hook->plain_types = Py_NewRef(args[5]);
  hook->resend = Py_NewRef(args[6]);
  hook->vectorcall = hook_vectorcall;
  hook->weak_references = nullptr;
  PyObject_GC_Track(obj.get());
  return obj;
}

}  // namespace

void make_request_hook_type() {
  PyType_Spec hook_desc = {"korvanta._native.RequestHook", sizeof(RequestHook), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           g_hook_slots};
  make_type_once(g_hook_type, hook_desc);
}

PyMethodDef request_hook_functions[] = {
    fastcall_method<kRequestHook, request_hook, kRequestHookDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
