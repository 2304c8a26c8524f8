// What the module's shared runtime offers the two extensions that load it
// (korvanta_python and korvanta._native): the module itself and the build
// they must both come from.
#pragma once

#include <Python.h>

#include "error.hpp"
#include "ref.hpp"

namespace korvanta::py {

// The korvanta_python module: made on the first call, the same object after.
Ref init_module();

// Identifies the build this runtime comes from; an extension compiled in the
// same build carries the same text in KORVANTA_BUILD_ID.
const char* build_id() noexcept;

}  // namespace korvanta::py
