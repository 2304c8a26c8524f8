// korvanta._native's stream taps: their types, made when the module starts,
// and how native code makes them. tap's iterator (stream_tap.cpp), the chat
// chunk reader and the usage filter (chat_stream.cpp), and the stand-ins a
// traced chat stream gets (stream_setup.cpp).
#pragma once

#include <Python.h>

#include <string_view>

#include "ref.hpp"

namespace korvanta::py::native {

void make_tap_type();
void make_usage_filter_type();
void make_stream_setup_types();
void make_event_reader_type();

// Reads a streamed item on `call` natively; false keeps it from the caller.
using NativeRead = bool (*)(PyObject* call, PyObject* item);

// tap(items, call, read, fault); with `native_read` (and `call` a Call),
// every item is read with it as it passes, and `read` is not used.
Ref new_tap(PyObject* items, PyObject* call, PyObject* read, PyObject* fault, NativeRead native_read = nullptr);
// chat_chunk(call, chunk): a chat completion chunk, the client's model or its JSON data.
bool read_chat_chunk(PyObject* call, PyObject* chunk);
// without_usage_chunk(chunks, call, scan).
Ref new_usage_filter(PyObject* chunks, PyObject* call, PyObject* scan);
// Whether an event's data (UTF-8) is the usage-only chunk; its counts, model
// and id are then recorded on `call`. Only data holding "[]" (the chunk's
// empty choices) and naming "usage" is read: natively, and with `scan` (the
// json module's scanner) where the native reader is unsure.
bool read_usage_event(PyObject* call, std::string_view data, PyObject* scan);
// server_sent_events(chunks, event_class, call, scan) (sse_events.cpp).
Ref new_event_reader(PyObject* chunks, PyObject* event_class, PyObject* call, PyObject* scan);

}  // namespace korvanta::py::native
