// SpanBlock: the native base of korvanta.span, the block that runs inside a
// new span. Entering starts the span under the current one and makes it
// current; leaving restores the context, records an exception, and delivers
// the span to the pipeline. Written natively because every traced block
// takes this path.
#include "span_block.hpp"

#include <string>
#include <utility>

#include "convert.hpp"
#include "entry.hpp"
#include "held_references.hpp"
#include "instance.hpp"
#include "package_access.hpp"
#include "pipeline.hpp"
#include "py_values.hpp"
#include "span_access.hpp"

namespace korvanta::py::native {

void add_tags(PyObject* span, PyObject* tags) {
  Ref items = checked(PyDict_Check(tags) ? PyDict_Items(tags) : PyMapping_Items(tags));
  const Exclusive<SpanClass> record = borrow_exclusive<SpanClass>(span);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) raise(PyExc_TypeError, "tags: expected pairs");
    const std::string_view key = argument<as_text>(PyTuple_GET_ITEM(pair, 0), "key");
    const std::string_view value = argument<as_text>(PyTuple_GET_ITEM(pair, 1), "value");
    record->tags.insert_or_assign(key, value);
  }
}

std::string error_text(PyObject* error) {
  Ref type_name = checked(PyType_GetName(Py_TYPE(error)));
  Ref message = checked(PyObject_Str(error));
  const std::string_view name_text = as_text(type_name.get());
  const std::string_view message_text = as_text(message.get());
  std::string text(name_text);
  text += ": ";
  text.append(message_text);
  return text;
}

namespace {

struct Block {
  PyObject_HEAD
  PyObject* texts[3];  // operation_name, provider, model
  PyObject* tracer;    // or nullptr
  PyObject* tags;      // or nullptr
  PyObject* span;      // once entered
  PyObject* token;     // once entered, until left
};

Block* as_block(PyObject* obj) { return reinterpret_cast<Block*>(obj); }

Ref g_empty;  // ""

constexpr auto kBlock = describe("span", "__new__", Receiver::none,
                                 {{"operation_name"}, keyword_only("provider", "''"), keyword_only("model", "''"),
                                  keyword_only("tracer"), keyword_only("tags")});
constexpr char kBlockDoc[] =
    "A block run inside a new span, the current span while it runs.\n\n"
    "The span is a child of the current span, or the root of a new trace. On\n"
    "leaving the block, an exception is recorded with\n"
    "``set_error(\"<type>: <message>\")`` and goes on; otherwise the span is\n"
    "finished unless something finished it already. Then the span goes to the\n"
    "pipeline (see ``korvanta.setup``). Works with ``with`` and ``async with``\n"
    "and binds the ``korvanta_python.TraceSpan``::\n\n"
    "    with korvanta.span(\"agent\", tags={\"team\": \"search\"}) as root:\n"
    "        with korvanta.span(\"chat\", provider=\"openai\", model=\"gpt-4o\") as call:\n"
    "            call.set_response(\"...\")\n";

Ref block_new(PyTypeObject* type, const Args<kBlock>& args) {
  if (!PyUnicode_Check(args[0])) raise(rewrap_argument(conversion_error(args[0], "PyString"), args.name<0>()));
  if (!g_empty) g_empty = checked(PyUnicode_FromStringAndSize("", 0));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj = checked(alloc(type, 0));
  Block* block = as_block(obj.get());
  block->texts[0] = Ref::borrow(args[0]).release();
  block->texts[1] = Ref::borrow(args[1] != nullptr ? args[1] : g_empty.get()).release();
  block->texts[2] = Ref::borrow(args[2] != nullptr ? args[2] : g_empty.get()).release();
  block->tracer = args[3] != nullptr && args[3] != Py_None ? Ref::borrow(args[3]).release() : nullptr;
  block->tags = args[4] != nullptr && args[4] != Py_None ? Ref::borrow(args[4]).release() : nullptr;
  return obj;
}

// Asks once whether objects may be touched (see Ref::drop), not once per
// reference: every traced block ends here.
void block_dealloc(PyObject* obj) {
  Block* block = as_block(obj);
  const bool touch = may_touch_objects();
  for (PyObject* held : {block->texts[0], block->texts[1], block->texts[2], block->tracer, block->tags,
                         block->span, block->token}) {
    if (held != nullptr && touch) Py_DECREF(held);
  }
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  if (touch) Py_DECREF(type);
}

Ref block_enter(PyObject* self) {
  Block* block = as_block(self);
  if (block->span != nullptr) raise(PyExc_RuntimeError, "a korvanta.span block cannot be entered twice");
  Pipeline& state = pipeline();
  if (!state.current_var || !state.tracer) raise(PyExc_RuntimeError, "the korvanta package is not set up");
  PyObject* parent_raw = nullptr;
  raise_if(PyContextVar_Get(state.current_var.get(), Py_None, &parent_raw) < 0);
  Ref parent = Ref::steal(parent_raw);
  Ref span = new_span(block->tracer, block->texts, parent.get(), state.tracer.get());
  PyObject* inherited_raw = nullptr;
  raise_if(PyContextVar_Get(state.tags_var.get(), Py_None, &inherited_raw) < 0);
  Ref inherited = Ref::steal(inherited_raw);
  if (inherited.get() != Py_None) add_tags(span.get(), inherited.get());
  if (block->tags != nullptr) add_tags(span.get(), block->tags);
  Ref token = checked(PyContextVar_Set(state.current_var.get(), span.get()));
  block->span = Ref(span).release();
  block->token = token.release();
  return span;
}

constexpr auto kExit = describe("span", "__exit__", Receiver::self, {{"exc_type"}, {"exc"}, {"traceback"}});

Ref block_exit(PyObject* self, const Args<kExit>& args) {
  Block* block = as_block(self);
  if (block->token == nullptr) raise(PyExc_RuntimeError, "a korvanta.span block left without being entered");
  Ref token = Ref::steal(std::exchange(block->token, nullptr));
  raise_if(PyContextVar_Reset(pipeline().current_var.get(), token.get()) < 0);
  PyObject* error = args[1];
  if (error != Py_None) {
    std::string text = error_text(error);
    const Exclusive<SpanClass> span = borrow_exclusive<SpanClass>(block->span);
    span->finish_error(std::move(text), std::nullopt);
  }
  deliver_span(block->span);
  return none();
}

// ---- async with: awaitables that are done at once ----

// What __aenter__ and __aexit__ return: awaiting it gives `value` without
// suspending (the block's work needs no waiting).
struct Ready {
  PyObject_HEAD
  PyObject* value;
};

PyTypeObject* g_ready_type = nullptr;

Ref ready(Ref value) {
  Ref obj = checked(PyType_GenericAlloc(g_ready_type, 0));
  reinterpret_cast<Ready*>(obj.get())->value = value.release();
  return obj;
}

void ready_dealloc(PyObject* obj) {
  if (PyObject* value = reinterpret_cast<Ready*>(obj)->value) Ref::drop(value);
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Ref::drop(reinterpret_cast<PyObject*>(type));
}

PyObject* ready_self(PyObject* self) { return Py_NewRef(self); }

// The first step finishes the await: StopIteration carrying the value.
PyObject* ready_next(PyObject* self) {
  Ready* ready = reinterpret_cast<Ready*>(self);
  PyObject* value = std::exchange(ready->value, nullptr);
  if (value == nullptr) return nullptr;
  if (value != Py_None) {
    Ref exception = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (exception) PyErr_SetObject(PyExc_StopIteration, exception.get());
  }
  Ref::drop(value);
  return nullptr;
}

PyType_Slot g_ready_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ready_dealloc)},
    {Py_am_await, reinterpret_cast<void*>(ready_self)},
    {Py_tp_iter, reinterpret_cast<void*>(ready_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_next)},
    {0, nullptr},
};

PyType_Spec g_ready_desc = {"korvanta._native.ready", sizeof(Ready), 0, Py_TPFLAGS_DEFAULT, g_ready_slots};

Ref block_aenter(PyObject* self) { return ready(block_enter(self)); }

Ref block_aexit(PyObject* self, const Args<kExit>& args) {
  return ready(block_exit(self, args));
}

// ---- the class ----

PyObject* block_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return guarded([&] {
    Args<kBlock> slots;
    parse_args<kBlock>(args, PyVectorcall_NARGS(nargsf), kwnames, slots);
    return block_new(reinterpret_cast<PyTypeObject*>(type), slots);
  });
}

constexpr const char* kExitDoc = "Restores the context, records an exception and delivers the span.";

PyMethodDef g_methods[] = {
    {"__enter__", as_method(noargs<block_enter>), METH_NOARGS, "Starts the span and makes it current."},
    {"__exit__", as_method(fastcall<kExit, block_exit>), METH_FASTCALL | METH_KEYWORDS,
     kExitDoc},
    {"__aenter__", as_method(noargs<block_aenter>), METH_NOARGS, "Starts the span and makes it current."},
    {"__aexit__", as_method(fastcall<kExit, block_aexit>), METH_FASTCALL | METH_KEYWORDS,
     kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref make_span_block_type() {
  make_type_once(g_ready_type, g_ready_desc);
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(constructor<kBlock, block_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
      {Py_tp_methods, g_methods},
      {Py_tp_doc, const_cast<char*>(class_docstring<kBlock, kBlockDoc>.c_str())},
      {0, nullptr},
  };
  PyType_Spec type_desc = {"korvanta.span", sizeof(Block), 0, Py_TPFLAGS_DEFAULT, slots};
  Ref type = checked(PyType_FromSpec(&type_desc));
  // Called with the vectorcall protocol: no argument tuple or keyword dict
  // is built for a block, which every traced block would pay for.
  reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = block_vectorcall;
  return type;
}

}  // namespace korvanta::py::native
