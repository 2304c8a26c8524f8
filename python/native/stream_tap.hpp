// The types of korvanta._native's stream taps, made when the module starts:
// tap's iterator (stream_tap.cpp) and chat_data_tap's stand-in client
// (chat_stream.cpp).
#pragma once

namespace korvanta::py::native {

void make_tap_type();
void make_data_tap_type();

}  // namespace korvanta::py::native
