// korvanta._native's span entries: starting spans inside a trace, the
// package's fields of a span, and the record slots the module never fills
// (events, cost, every field of an action).
#include "span_access.hpp"

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "convert.hpp"
#include "instance.hpp"
#include "korvanta/agent_action.hpp"
#include "korvanta/span_event.hpp"
#include "package_access.hpp"
#include "py_values.hpp"
#include "span_methods.hpp"

namespace korvanta::py::native {
namespace {

using korvanta::TraceSpan;

Instance<TraceSpan>* span_instance(PyObject* obj) { return instance_of<SpanClass>(obj); }

// The first eight bytes of a trace id, read big-endian: what sampling
// compares, so that every span of a trace gets the same answer.
std::uint64_t trace_head(const Uuid& id) {
  std::uint64_t head = 0;
  for (int i = 0; i < 8; ++i) head = head << 8 | id.bytes[static_cast<std::size_t>(i)];
  return head;
}

}  // namespace

Result<Ref> new_span(PyObject* tracer_obj, PyObject* const* texts_args, PyObject* parent, PyObject* fallback) {
  if (parent == Py_None) parent = nullptr;
  if (parent != nullptr) {
    if (Status s = check_span(parent, "parent"); !s) return std::move(s).error();
  }
  // The tracer given, else the parent's, else the fallback.
  if (tracer_obj == nullptr || tracer_obj == Py_None) {
    tracer_obj = parent != nullptr ? span_instance(parent)->package_tracer : nullptr;
    if (tracer_obj == nullptr) tracer_obj = fallback;
  }
  if (Status s = check_tracer(tracer_obj, "tracer"); !s) return std::move(s).error();
  const Ref tracer_held = Ref::borrow(tracer_obj);
  auto texts = convert_span_args(texts_args);
  if (!texts) return std::move(texts).error();
  auto tracer = borrow_shared<TracerClass>(tracer_obj);
  if (!tracer) return std::move(tracer).error();

  // A child takes its trace from the parent and draws only its own span id.
  std::optional<Uuid> trace_id;
  std::optional<Uuid> parent_id;
  if (parent != nullptr) {
    auto parent_span = borrow_shared<SpanClass>(parent);
    if (!parent_span) return std::move(parent_span).error();
    trace_id = (*parent_span)->trace_id;
    parent_id = (*parent_span)->span_id;
  }
  Result<Ref> made = new_instance_from<SpanClass>(SpanClass::type(), [&] {
    const Uuid trace = trace_id ? *trace_id : Uuid::new_v4();
    TraceSpan span = TraceSpan::create(trace, (*tracer)->tenant_id, std::string(texts->operation_name),
                                       provider_from_name(texts->provider), std::string(texts->model),
                                       std::string());
    span.parent_span_id = parent_id;
    return span;
  });
  if (!made) return made;
  span_instance((*made).get())->package_tracer = Ref::borrow(tracer_obj).release();
  return made;
}

Result<HandOver> hand_over_record(PyObject* obj, std::optional<std::uint64_t> sample_below) {
  auto span = borrow_exclusive<SpanClass>(obj);
  if (!span) return std::move(span).error();
  if (span_instance(obj)->package_flags.fetch_or(kHandedOver, std::memory_order_acq_rel) & kHandedOver) {
    return HandOver::Before;
  }
  TraceSpan& record = **span;
  if (!record.is_complete()) record.finish();
  const bool kept = !sample_below || trace_head(record.trace_id) < *sample_below;
  return kept ? HandOver::Deliver : HandOver::SampledOut;
}

Result<Ref> start_span(PyObject*, const Args<signatures::start_span>& args) {
  return new_span(args[0], &args[1], args[4], args[5]);
}

Result<Ref> tracer_of(PyObject*, const Args<signatures::tracer_of>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  PyObject* tracer = span_instance(args[0])->package_tracer;
  return Ref::borrow(tracer != nullptr ? tracer : Py_None);
}

Result<Ref> adopt(PyObject*, const Args<signatures::adopt>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  if (Status s = check_tracer(args[1], "tracer"); !s) return std::move(s).error();
  // Under the interpreter lock, so the first tracer given stays.
  auto* inst = span_instance(args[0]);
  if (inst->package_tracer == nullptr) inst->package_tracer = Ref::borrow(args[1]).release();
  return Ref::borrow(inst->package_tracer);
}

Result<Ref> hand_over(PyObject*, const Args<signatures::hand_over>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  std::optional<std::uint64_t> sample_below;
  if (args[1] != Py_None) {
    auto below = args.get<1, as_u64>();
    if (!below) return std::move(below).error();
    sample_below = *below;
  }
  Result<HandOver> handed = hand_over_record(args[0], sample_below);
  if (!handed) return std::move(handed).error();
  return to_python(*handed == HandOver::Deliver);
}

Result<Ref> add_event(PyObject*, const Args<signatures::add_event>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  auto name = args.get<1, as_text>();
  if (!name) return std::move(name).error();
  auto description = args.get<2, as_text>();
  if (!description) return std::move(description).error();
  auto data = as_string_map(args[3], "data");
  if (!data) return std::move(data).error();
  auto span = borrow_exclusive<SpanClass>(args[0]);
  if (!span) return std::move(span).error();
  SpanEvent event{.id = Uuid::new_v4(),
                  .timestamp = Timestamp::now(),
                  .event_type = std::string(*name),
                  .description = std::string(*description),
                  .data = std::move(*data)};
  (*span)->events.push_back(std::move(event));
  return none();
}

Result<Ref> set_cost(PyObject*, const Args<signatures::set_cost>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  auto usd = as_amount(args[1], "usd");
  if (!usd) return std::move(usd).error();
  auto span = borrow_exclusive<SpanClass>(args[0]);
  if (!span) return std::move(span).error();
  (*span)->estimated_cost_usd = *usd;
  return none();
}

Result<Ref> report_action(PyObject*, const Args<signatures::report_action>& args) {
  if (Status s = check_span(args[0], "span"); !s) return std::move(s).error();
  auto action_type = args.get<1, as_text>();
  if (!action_type) return std::move(action_type).error();
  auto name = args.get<2, as_text>();
  if (!name) return std::move(name).error();
  auto arguments = args.get_optional<3, as_text>();
  if (!arguments) return std::move(arguments).error();
  auto result = args.get_optional<4, as_text>();
  if (!result) return std::move(result).error();
  auto duration_ms = args.get_optional<5, as_u64>();
  if (!duration_ms) return std::move(duration_ms).error();
  auto success = args.get_optional<6, as_bool>();
  if (!success) return std::move(success).error();
  std::optional<std::int32_t> exit_code;
  if (args[7] != nullptr && args[7] != Py_None) {
    auto code = as_i32(args[7], "exit_code");
    if (!code) return std::move(code).error();
    exit_code = *code;
  }
  auto http_method = args.get_optional<8, as_text>();
  if (!http_method) return std::move(http_method).error();
  auto http_status = args.get_optional<9, as_u16>();
  if (!http_status) return std::move(http_status).error();
  auto file_operation = args.get_optional<10, as_text>();
  if (!file_operation) return std::move(file_operation).error();
  auto metadata = as_string_map(args[11], "metadata");
  if (!metadata) return std::move(metadata).error();

  auto span = borrow_exclusive<SpanClass>(args[0]);
  if (!span) return std::move(span).error();

  Result<AgentAction> made = make_action({*action_type, *name, *arguments, *result, *duration_ms, *success});
  if (!made) return std::move(made).error();
  AgentAction& action = *made;
  action.exit_code = exit_code;
  if (*http_method) action.http_method.emplace(**http_method);
  action.http_status = *http_status;
  if (*file_operation) action.file_operation.emplace(**file_operation);
  action.metadata = std::move(*metadata);

  Result<Ref> id = to_python(action.id);
  if (!id) return id;
  (*span)->add_agent_action(std::move(action));
  return id;
}

}  // namespace korvanta::py::native
