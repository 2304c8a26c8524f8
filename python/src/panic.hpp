// PanicException: how an internal fault (korvanta::Fault, a failed
// allocation) inside an entry reaches Python.
#pragma once

#include <Python.h>

namespace korvanta::py {

// The PanicException class, made on first need and kept for the process;
// nullptr until then. Throws korvanta::Fault when it cannot be made.
PyObject* panic_exception_type_if_made() noexcept;
PyObject* panic_exception_type();

// Raises PanicException for the C++ exception being handled. A fault while
// doing so terminates the process with "uncaught panic at ffi boundary".
// Call only from a catch block.
void raise_current_fault() noexcept;

}  // namespace korvanta::py
