// DURUraTracer: construction, properties, start_span and the representation.
#include "tracer.hpp"

#include <array>
#include <utility>

#include "class_builder.hpp"
#include "convert.hpp"
#include "entry.hpp"
#include "instance.hpp"
#include "korvanta/code_points.hpp"
#include "py_values.hpp"
#include "span.hpp"
#include "unicode_data.hpp"

namespace korvanta::py {
namespace {

TypeCell g_tracer_type;

constexpr std::array<std::pair<std::string_view, LLMProvider::Kind>, 10> kProviderNames = {{
    {"openai", LLMProvider::Kind::OpenAI},
    {"anthropic", LLMProvider::Kind::Anthropic},
    {"vllm", LLMProvider::Kind::VLLm},
    {"sglang", LLMProvider::Kind::SGLang},
    {"tgi", LLMProvider::Kind::TGI},
    {"ollama", LLMProvider::Kind::Ollama},
    {"azure_openai", LLMProvider::Kind::AzureOpenAI},
    {"azure-openai", LLMProvider::Kind::AzureOpenAI},
    {"azureopenai", LLMProvider::Kind::AzureOpenAI},
    {"bedrock", LLMProvider::Kind::Bedrock},
}};

// ---- __new__ ----

constexpr auto kNew = describe("DURUraTracer", "__new__", Receiver::none,
                               {keyword_only("tenant_id"), keyword_only("endpoint"), keyword_only("enable_security")});

Ref tracer_new(PyTypeObject* type, const Args<kNew>& args) {
  auto tenant_id = args.get_optional<0, as_text>();
  auto endpoint = args.get_optional<1, as_text>();
  auto enable_security = args.get_optional<2, as_bool>();

  auto record = build_tracer(tenant_id, endpoint, enable_security);
  return new_instance<TracerClass>(type, std::move(record));
}

// ---- start_span ----

constexpr auto kStartSpan = describe("DURUraTracer", "start_span", Receiver::self, kSpanTextParams);
constexpr char kStartSpanDoc[] =
    "Start a new trace span.\n\n"
    "Args:\n"
    "    operation_name: Name of the operation (e.g. ``\"chat_completion\"``).\n"
    "    provider: LLM provider string (``\"openai\"``, ``\"anthropic\"``, etc.).\n"
    "    model: Model name (e.g. ``\"gpt-4\"``).\n\n"
    "Returns:\n"
    "    A new :class:`TraceSpan` ready for recording.";

Ref tracer_start_span(PyObject* self, const Args<kStartSpan>& args) {
  auto tracer = borrow_shared<TracerClass>(self);
  auto texts = convert_span_args(args.data());
  return start_span_object(*tracer, texts);
}

// ---- __repr__ ----

// The endpoint inside Some("..."): backslash, double quote, \t \r \n \0 get
// a backslash escape; other controls, formats, separators (but the space),
// surrogates, private-use and unassigned code points and Grapheme_Extend
// characters are written \u{hex}; everything else stands as itself. The text
// comes from a Python str, so it is valid UTF-8.
void append_escaped(std::string& out, std::string_view text) {
  utf8::for_each_codepoint(text, [&out](char32_t cp, std::string_view bytes) {
    switch (cp) {
      case '\\': out += "\\\\"; return;
      case '"': out += "\\\""; return;
      case '\t': out += "\\t"; return;
      case '\r': out += "\\r"; return;
      case '\n': out += "\\n"; return;
      case '\0': out += "\\0"; return;
      default: break;
    }
    if (unicode::needs_debug_escape(cp)) {
      char hex[16];
      const int n = std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
      out.append(hex, static_cast<std::size_t>(n));
    } else {
      out.append(bytes);
    }
  });
}

Ref tracer_repr(PyObject* self) {
  auto tracer = borrow_shared<TracerClass>(self);
  const TracerRecord& record = *tracer;
  std::string text = "DURUraTracer(tenant_id='";
  text += record.tenant_id.to_string();
  text += "', endpoint=";
  if (record.endpoint) {
    text += "Some(\"";
    append_escaped(text, *record.endpoint);
    text += "\")";
  } else {
    text += "None";
  }
  text += record.enable_security ? ", security=true)" : ", security=false)";
  return to_python(text);
}

// ---- class ----

PyGetSetDef g_getset[] = {
    {"tenant_id", property_getter<property<TracerClass, +[](const TracerRecord& t) { return t.tenant_id.uuid; }>>,
     nullptr, "Tenant identifier (UUID string).", nullptr},
    {"endpoint", property_getter<property<TracerClass, &TracerRecord::endpoint>>,
     nullptr, "Collector endpoint URL, or ``None``.", nullptr},
    {"enable_security", property_getter<property<TracerClass, &TracerRecord::enable_security>>,
     nullptr, "Whether security analysis is enabled.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    fastcall_method<kStartSpan, tracer_start_span, kStartSpanDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kTracerSpec{
    .qualified_name = "builtins.DURUraTracer",
    .name = TracerClass::name,
    .text_signature = class_signature<kNew>.view(),
    .doc = "Security-aware LLM tracer.\n\n"
           "Create one per application (or per tenant) and use it to start trace\n"
           "spans for each LLM call.",
    .basicsize = sizeof(Instance<TracerRecord>),
    .dealloc = dealloc<TracerClass>,
    .getset = g_getset,
    .methods = g_methods,
    .constructor = constructor<kNew, tracer_new>,
    .repr = repr_slot<tracer_repr>,
};

}  // namespace

PyTypeObject* TracerClass::type() noexcept { return g_tracer_type.get(); }

PyTypeObject* make_tracer_class() { return g_tracer_type.get_or_make(kTracerSpec); }

TracerRecord build_tracer(std::optional<std::string_view> tenant_id,
                                  std::optional<std::string_view> endpoint,
                                  std::optional<bool> enable_security) {
  TracerRecord record;
  if (tenant_id) {
    std::string error;
    const auto parsed = Uuid::parse_str(*tenant_id, &error);
    if (!parsed) raise(PyExc_ValueError, "Invalid tenant_id UUID: " + error);
    record.tenant_id = TenantId{*parsed};
  } else {
    record.tenant_id = TenantId::generate();
  }
  if (endpoint) record.endpoint.emplace(*endpoint);
  record.enable_security = enable_security.value_or(true);
  return record;
}

Ref new_tracer_object(TracerRecord record) {
  return new_instance<TracerClass>(TracerClass::type(), std::move(record));
}

SpanArgs convert_span_args(PyObject* const* texts) {
  SpanArgs out;
  out.operation_name = argument<as_text>(texts[0], kSpanTextParams[0].name);
  out.provider = argument<as_text>(texts[1], kSpanTextParams[1].name);
  out.model = argument<as_text>(texts[2], kSpanTextParams[2].name);
  return out;
}

LLMProvider provider_from_name(std::string_view name) {
  // A known name in lower case already, as the package gives them, is found
  // without a lowered copy.
  for (const auto& [known, kind] : kProviderNames) {
    if (name == known) return kind;
  }
  std::string lowered;
  unicode::append_lowercase(lowered, name);
  for (const auto& [known, kind] : kProviderNames) {
    if (lowered == known) return kind;
  }
  return LLMProvider::custom(std::move(lowered));
}

Ref start_span_object(const TracerRecord& tracer, const SpanArgs& args) {
  return new_instance_from<SpanClass>(SpanClass::type(), [&] {
    LLMProvider provider = provider_from_name(args.provider);
    const Uuid trace_id = Uuid::new_v4();
    return korvanta::TraceSpan::create(trace_id, tracer.tenant_id, std::string(args.operation_name),
                                       std::move(provider), std::string(args.model), std::string());
  });
}

}  // namespace korvanta::py
