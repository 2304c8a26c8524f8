// The korvanta_python extension's initialisation entry. Everything else lives
// in the shared runtime, which korvanta._native loads too, so that both see
// one set of classes and one internal-fault exception class per process.
#include <Python.h>

#include "entry.hpp"
#include "runtime.hpp"

PyMODINIT_FUNC PyInit_korvanta_python() { return korvanta::py::guarded(korvanta::py::init_module); }
