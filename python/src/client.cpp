// InstrumentedClient: a wrapper that serves its own members (tracer,
// wrapped_client, start_span) and reads every other attribute from the
// wrapped client.
#include "client.hpp"

#include <utility>

#include "class_builder.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "instance.hpp"
#include "interned.hpp"
#include "py_values.hpp"
#include "span.hpp"
#include "tracer.hpp"

namespace korvanta::py {
namespace {

TypeCell g_client_type;

// The attribute-lookup slot: the wrapper's own attributes first; for an
// AttributeError, the client's attribute of that name (its errors unchanged);
// any other error passes through without asking the client.
Ref client_getattr(PyObject* self, PyObject* name) {
  Ref own = Ref::steal(PyObject_GenericGetAttr(self, name));
  if (own) return own;
  raise_if(!PyErr_ExceptionMatches(PyExc_AttributeError));
  PyErr_Clear();

  const Shared<ClientClass> wrapper = borrow_shared<ClientClass>(self);
  const Ref name_str = to_python(argument<as_text>(name, "name"));
  // Wrappers may wrap wrappers to any depth: the lookup recurses through
  // each, so it is bounded as the interpreter bounds its own recursion.
  RecursionGuard guard(" while getting an attribute of the wrapped client");
  raise_if(!guard);
  return checked(PyObject_GetAttr(wrapper->client.get(), name_str.get()));
}

InternedName g_repr_name("__repr__");

// The client's representation: its "__repr__" called as a method, so an
// instance attribute of that name is honoured. A client that is a class gets
// the interpreter's repr of it: its own __repr__ is unbound and would fail.
Ref client_repr_text(PyObject* client) {
  if (PyType_Check(client)) {
    return checked(PyObject_Repr(client));
  }
  PyObject* name = g_repr_name.get();
  raise_if(name == nullptr);
  PyObject* call_args[] = {client};
  Ref text = checked(PyObject_VectorcallMethod(name, call_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return text;
}

Ref client_repr(PyObject* self) {
  auto wrapper = borrow_shared<ClientClass>(self);
  RecursionGuard guard(" while getting the repr of an object");
  raise_if(!guard);
  Ref inner = client_repr_text(wrapper->client.get());
  auto text = as_text(inner.get());
  std::string out = "InstrumentedClient(";
  out.append(text);
  out += ')';
  return to_python(out);
}

// Runs the attached tracer's span start directly (not through a Python
// attribute lookup on the tracer).
constexpr auto kStartSpan = describe("InstrumentedClient", "start_span", Receiver::self, kSpanTextParams);
constexpr char kStartSpanDoc[] = "Start a trace span via the attached tracer (convenience shortcut).";

Ref client_start_span(PyObject* self, const Args<kStartSpan>& args) {
  auto wrapper = borrow_shared<ClientClass>(self);
  auto texts = convert_span_args(args.data());
  auto tracer = borrow_shared<TracerClass>(wrapper->tracer.get());
  return start_span_object(*tracer, texts);
}

PyGetSetDef g_getset[] = {
    {"tracer", property_getter<property<ClientClass, +[](const ClientRecord& c) -> const Ref& { return c.tracer; }>>,
     nullptr, "The attached :class:`DURUraTracer`.", nullptr},
    {"wrapped_client",
     property_getter<property<ClientClass, +[](const ClientRecord& c) -> const Ref& { return c.client; }>>, nullptr,
     "The original (unwrapped) client object.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    fastcall_method<kStartSpan, client_start_span, kStartSpanDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kClientSpec{
    .qualified_name = "builtins.InstrumentedClient",
    .name = ClientClass::name,
    .text_signature = {},
    .doc = "A wrapper around a Python LLM client that attaches an [`DURUraTracer`].\n\n"
           "Attribute access is delegated to the wrapped client, so it can be used\n"
           "as a drop-in replacement. The attached tracer is accessible via the\n"
           "``tracer`` property.",
    .basicsize = sizeof(Instance<ClientRecord>),
    .dealloc = dealloc<ClientClass>,
    .getset = g_getset,
    .methods = g_methods,
    .repr = repr_slot<client_repr>,
    .getattro = getattro_slot<client_getattr>,
};

constexpr auto kInstrument = describe("", "instrument", Receiver::none, {{"client"}, keyword_only("tracer")});
constexpr char kInstrumentDoc[] =
    "Instrument a Python LLM client with automatic tracing.\n\n"
    "Wraps the client in an :class:`InstrumentedClient` that delegates\n"
    "attribute access to the original while attaching a tracer.\n\n"
    "Args:\n"
    "    client: Any Python LLM client object (e.g. ``openai.OpenAI(...)``).\n"
    "    tracer: Optional pre-configured :class:`DURUraTracer`. A default\n"
    "            tracer is created if omitted.\n\n"
    "Returns:\n"
    "    An :class:`InstrumentedClient` wrapping the original client.";

Ref instrument(PyObject*, const Args<kInstrument>& args) {
  Ref client = Ref::borrow(args[0]);
  Ref tracer;
  if (args[1] == nullptr || args[1] == Py_None) {
    // Every call gets a tracer of its own with a fresh tenant.
    tracer = new_tracer_object(build_tracer(std::nullopt, std::nullopt, std::nullopt));
  } else {
    if (!PyType_IsSubtype(Py_TYPE(args[1]), TracerClass::type())) {
      raise(rewrap_argument(conversion_error(args[1], TracerClass::name), args.name<1>()));
    }
    tracer = Ref::borrow(args[1]);  // shared with the caller, not copied
  }
  return new_instance<ClientClass>(ClientClass::type(), ClientRecord{std::move(tracer), std::move(client)});
}

}  // namespace

PyTypeObject* ClientClass::type() noexcept { return g_client_type.get(); }

PyTypeObject* make_client_class() { return g_client_type.get_or_make(kClientSpec); }

PyMethodDef instrument_method = fastcall_method<kInstrument, instrument, kInstrumentDoc>();

}  // namespace korvanta::py
