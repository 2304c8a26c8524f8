// korvanta._native's stream taps: their types, made when the module starts,
// and how native code makes them. tap's iterator (stream_tap.cpp), the chat
// chunk reader and the usage filter (chat_stream.cpp), and the stand-ins a
// traced chat stream gets (stream_setup.cpp).
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace korvanta::py::native {

void make_tap_type();
void make_usage_filter_type();
void make_stream_setup_types();

// Reads a streamed item on `call` natively; false keeps it from the caller.
using NativeRead = bool (*)(PyObject* call, PyObject* item);

// tap(items, call, read, fault); with `native_read` (and `call` a Call),
// every item is read with it as it passes, and `read` is not used.
Ref new_tap(PyObject* items, PyObject* call, PyObject* read, PyObject* fault, NativeRead native_read = nullptr);
// chat_chunk(call, chunk): a chat completion chunk, the client's model or its JSON data.
bool read_chat_chunk(PyObject* call, PyObject* chunk);
// without_usage_chunk(chunks, call, scan).
Ref new_usage_filter(PyObject* chunks, PyObject* call, PyObject* scan);

}  // namespace korvanta::py::native
