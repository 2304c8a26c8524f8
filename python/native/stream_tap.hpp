// korvanta._native.tap's iterator type, made when the module starts.
#pragma once

namespace korvanta::py::native {

void make_tap_type();

}  // namespace korvanta::py::native
