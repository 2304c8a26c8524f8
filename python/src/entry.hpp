// The entry wrapper through which every call from the interpreter passes, and
// the adapters that give an entry body the C signature of its slot.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <array>

#include "args.hpp"
#include "error.hpp"
#include "panic.hpp"
#include "ref.hpp"

namespace korvanta::py {

// Runs `body` (returning Ref) with the interpreter lock held by the caller:
// its value is returned as a new reference; a PythonError or an error the
// interpreter already holds is raised, and an internal fault (any other C++
// exception) becomes PanicException. Returns nullptr on the failure paths.
//
// Entries are deliberately not noexcept: at interpreter exit CPython ends a
// daemon thread that waits for the lock with pthread_exit, which unwinds the
// thread's frames with abi::__forced_unwind. That unwind must pass through
// untouched (a noexcept frame on its way aborts the process), and what the
// frames release on the way leaves the interpreter alone (see Ref).
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body().release();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_current_exception();
  }
  return nullptr;
}

// Bodies by kind; each adapter is instantiated once per body.
using ReceiverBody = Ref (*)(PyObject* self);

// METH_FASTCALL | METH_KEYWORDS method or module function: the arguments are
// parsed against `Description` before the body runs.
template <const auto& Description, Ref (*Body)(PyObject* self, const Args<Description>& args)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    Args<Description> slots;
    parse_args<Description>(args, nargs, kwnames, slots);
    return Body(self, slots);
  });
}

// tp_new with keyword parameters only or positional ones, parsed likewise.
// The keywords of a classic call arrive in a dict that Python code run by a
// conversion can reach and clear, so every argument is held for the whole
// entry: no view the body takes of an argument can outlive its object.
template <const auto& Description, Ref (*Body)(PyTypeObject* type, const Args<Description>& args)>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Args<Description> slots;
    parse_args<Description>(args, kwargs, slots);
    std::array<Ref, Description.kSlots> held;
    for (std::size_t i = 0; i < slots.size(); ++i) held[i] = Ref::borrow(slots[i]);
    return Body(type, slots);
  });
}

template <ReceiverBody Body>
PyObject* noargs(PyObject* self, PyObject*) {
  return guarded([self] { return Body(self); });
}

template <ReceiverBody Body>
PyObject* property_getter(PyObject* self, void*) {
  return guarded([self] { return Body(self); });
}

template <ReceiverBody Body>
PyObject* repr_slot(PyObject* self) {
  return guarded([self] { return Body(self); });
}

template <Ref (*Body)(PyObject* self, PyObject* name)>
PyObject* getattro_slot(PyObject* self, PyObject* name) {
  return guarded([self, name] { return Body(self, name); });
}

// The PyMethodDef form of an adapter (the interpreter casts it back by flag).
template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The method-table row of an entry, its docstring ("name(sig)\n--\n\n"
// and `Doc`) made at compile time from the same description as its parser.
template <const auto& Description, auto Body, const auto& Doc>
PyMethodDef fastcall_method() {
  return {Description.name.data(), as_method(fastcall<Description, Body>), METH_FASTCALL | METH_KEYWORDS,
          docstring<Description, Doc>.c_str()};
}

template <const auto& Description, ReceiverBody Body, const auto& Doc>
PyMethodDef noargs_method() {
  static_assert(Description.kSlots == 0);
  return {Description.name.data(), as_method(noargs<Body>), METH_NOARGS, docstring<Description, Doc>.c_str()};
}

}  // namespace korvanta::py
