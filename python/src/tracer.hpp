// The DURUraTracer class: the tracer record, its construction, span start,
// and the operations that configure() and instrument() use without Python.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "error.hpp"
#include "korvanta/trace_span.hpp"
#include "korvanta/uuid.hpp"
#include "ref.hpp"

namespace korvanta::py {

// Never changes after creation.
struct TracerRecord {
  TenantId tenant_id;
  std::optional<std::string> endpoint;  // stored as given, unvalidated
  bool enable_security = true;
};

struct TracerClass {
  using Value = TracerRecord;
  static constexpr std::string_view name = "DURUraTracer";
  static PyTypeObject* type() noexcept;
};

// Makes the class object (once per process).
PyTypeObject* make_tracer_class();

// From the caller's optional settings: the tenant text parsed as a UUID (a
// fresh random tenant when absent), the switch true when absent. ValueError
// "Invalid tenant_id UUID: <parser message>" for a bad tenant text.
TracerRecord build_tracer(std::optional<std::string_view> tenant_id,
                                  std::optional<std::string_view> endpoint,
                                  std::optional<bool> enable_security);

// A new DURUraTracer object holding `record`.
Ref new_tracer_object(TracerRecord record);


// The text parameters of every start_span, named as DURUraTracer.start_span
// names them.
inline constexpr Param kSpanTextParams[] = {{"operation_name"}, {"provider"}, {"model"}};

// The three text arguments of a start_span call (borrowed views, valid
// while the call's arguments live), converted in order with the failing
// parameter named in the error.
struct SpanArgs {
  std::string_view operation_name;
  std::string_view provider;
  std::string_view model;
};
// `texts` are the operation_name, provider and model arguments of any
// start_span, named as DURUraTracer.start_span names them.
SpanArgs convert_span_args(PyObject* const* texts);

// A new TraceSpan object holding a new span record for the tracer's tenant,
// with a fresh trace id and the provider looked up from the lowercased
// provider text.
Ref start_span_object(const TracerRecord& tracer, const SpanArgs& args);

// The provider a provider text names: lowercased (full Unicode mapping),
// then looked up; any other text gives Custom carrying the lowercased text.
LLMProvider provider_from_name(std::string_view name);

}  // namespace korvanta::py
