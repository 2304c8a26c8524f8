// korvanta._native's stream taps: their types, made when the module starts,
// and how native code makes them. tap's iterator (stream_tap.cpp),
// chat_data_tap's stand-in client and the usage filter (chat_stream.cpp),
// and the stand-ins a traced chat stream gets (stream_setup.cpp).
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace korvanta::py::native {

void make_tap_type();
void make_data_tap_type();
void make_stream_setup_types();

// tap(items, call, read, fault).
Ref new_tap(PyObject* items, PyObject* call, PyObject* read, PyObject* fault);
// chat_data_tap(client, call).
Ref new_chat_data_tap(PyObject* client, PyObject* call);
// without_usage_chunk(chunks, call, scan).
Ref new_usage_filter(PyObject* chunks, PyObject* call, PyObject* scan);

}  // namespace korvanta::py::native
