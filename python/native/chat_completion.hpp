// The OpenAI chat completions route's steps as the native request hook takes
// them (chat_completion.cpp): directly, for the route the package registered
// with set_chat_route, rather than through the route's methods.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace korvanta::py::native {

// Whether `route` is the registered chat completions route.
bool is_chat_route(PyObject* route);
// A call opened from a request: the call, and the body as given when
// tracing asked for stream usage (None otherwise).
struct OpenedCall {
  Ref call;
  Ref given;
};

// What its open(state, options, stream) does, the pair as Python's tuple.
OpenedCall open_chat(PyObject* state, PyObject* options, PyObject* stream);
// What its record(call, completion) does.
void record_chat(PyObject* call, PyObject* completion);

}  // namespace korvanta::py::native
