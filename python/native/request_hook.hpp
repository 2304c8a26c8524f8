// korvanta._native.RequestHook, a traced sync client's request method
// (request_hook.cpp): its type, made when the module starts.
#pragma once

namespace korvanta::py::native {

void make_request_hook_type();

}  // namespace korvanta::py::native
