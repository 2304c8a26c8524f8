// The InstrumentedClient class and the module function instrument(client,
// *, tracer=None) that makes its instances.
#pragma once

#include <Python.h>

#include <string_view>

#include "ref.hpp"

namespace korvanta::py {

// Never changes after creation. The client is released before the tracer
// (members are destroyed in reverse order).
struct ClientRecord {
  Ref tracer;  // a DURUraTracer object
  Ref client;  // any object, None included
};

struct ClientClass {
  using Value = ClientRecord;
  static constexpr std::string_view name = "InstrumentedClient";
  static PyTypeObject* type() noexcept;
};

// Makes the class object (once per process).
PyTypeObject* make_client_class();

// instrument's row for the module's functions (static: the function object
// keeps it).
extern PyMethodDef instrument_method;

}  // namespace korvanta::py
