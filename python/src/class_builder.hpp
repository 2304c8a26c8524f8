// Making the module's class objects from a description: heap types through
// PyType_FromSpec, named builtins.<Name>, not subclassable, no instance dict,
// no weak references, no cyclic GC.
#pragma once

#include <Python.h>

#include <atomic>
#include <string_view>

#include "error.hpp"

namespace korvanta::py {

struct ClassSpec {
  const char* qualified_name;       // "builtins.DURUraTracer"; must outlive the class
  std::string_view name;            // "DURUraTracer"
  std::string_view text_signature;  // "(*, tenant_id=None, ...)", or empty
  std::string_view doc;
  int basicsize;
  destructor dealloc;
  PyGetSetDef* getset = nullptr;    // static tables, null-terminated
  PyMethodDef* methods = nullptr;
  newfunc constructor = nullptr;    // nullptr: calling the class always fails
  reprfunc repr = nullptr;
  getattrofunc getattro = nullptr;
};

// Holds one class object for the life of the process. If two threads make it
// at once, the first one stored is kept and used by both.
class TypeCell {
 public:
  PyTypeObject* get() const noexcept { return type_.load(std::memory_order_acquire); }
  PyTypeObject* get_or_make(const ClassSpec& desc);

 private:
  std::atomic<PyTypeObject*> type_{nullptr};
};

}  // namespace korvanta::py
