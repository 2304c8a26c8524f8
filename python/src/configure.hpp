// The module function configure(config).
#pragma once

#include <Python.h>

namespace korvanta::py {

// Its row for the module's functions (static: the function object keeps it).
extern PyMethodDef configure_method;

}  // namespace korvanta::py
