// Class object creation.
#include "class_builder.hpp"

#include <string>
#include <vector>

#include "entry.hpp"

namespace korvanta::py {
namespace {

Ref no_constructor_body(PyTypeObject* type) {
  std::string msg = "No constructor defined for ";
  Ref name = Ref::steal(PyType_GetName(type));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 != nullptr) {
    msg.append(utf8, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();
    msg += "<unknown>";
  }
  raise(PyExc_TypeError, std::move(msg));
}

// The constructor slot of classes that Python code cannot instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return guarded([type] { return no_constructor_body(type); });
}

PyTypeObject* make_class(const ClassSpec& desc) {
  // "Name(signature)\n--\n\n" lets the interpreter expose __text_signature__.
  std::string doc;
  if (!desc.text_signature.empty()) {
    doc.append(desc.name).append(desc.text_signature).append("\n--\n\n");
  }
  doc.append(desc.doc);

  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(desc.dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(desc.constructor != nullptr ? desc.constructor : no_constructor)},
  };
  if (desc.getset != nullptr) slots.push_back({Py_tp_getset, desc.getset});
  if (desc.methods != nullptr) slots.push_back({Py_tp_methods, desc.methods});
  if (desc.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(desc.repr)});
  if (desc.getattro != nullptr) slots.push_back({Py_tp_getattro, reinterpret_cast<void*>(desc.getattro)});
  slots.push_back({0, nullptr});

  PyType_Spec type_desc{
      desc.qualified_name,
      desc.basicsize,
      0,
      Py_TPFLAGS_DEFAULT,  // no BASETYPE: not subclassable; no HAVE_GC
      slots.data(),
  };
  PyObject* type = PyType_FromSpec(&type_desc);  // copies the docstring
  raise_if(type == nullptr);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* TypeCell::get_or_make(const ClassSpec& desc) {
  if (PyTypeObject* type = get()) return type;
  PyTypeObject* made = make_class(desc);
  PyTypeObject* expected = nullptr;
  if (!type_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

}  // namespace korvanta::py
