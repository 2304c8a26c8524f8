// The module function configure(config).
#pragma once

#include <Python.h>

#include "args.hpp"
#include "error.hpp"
#include "ref.hpp"
#include "signatures.hpp"

namespace korvanta::py {

extern const char kConfigureDoc[];
Ref configure(PyObject* module, const Args<signatures::configure>& args);

}  // namespace korvanta::py
