// korvanta._native's span entries: starting spans inside a trace, the
// package's fields of a span, and the record slots the module never fills
// (events, cost, every field of an action).
#include "span_access.hpp"

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "convert.hpp"
#include "entry.hpp"
#include "functions.hpp"
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

Ref new_span(PyObject* tracer_obj, PyObject* const* texts_args, PyObject* parent, PyObject* fallback) {
  if (parent == Py_None) parent = nullptr;
  if (parent != nullptr) check_span(parent, "parent");
  // The tracer given, else the parent's, else the fallback.
  if (tracer_obj == nullptr || tracer_obj == Py_None) {
    tracer_obj = parent != nullptr ? span_instance(parent)->package_tracer : nullptr;
    if (tracer_obj == nullptr) tracer_obj = fallback;
  }
  check_tracer(tracer_obj, "tracer");
  const Ref tracer_held = Ref::borrow(tracer_obj);
  const SpanArgs texts = convert_span_args(texts_args);
  const Shared<TracerClass> tracer = borrow_shared<TracerClass>(tracer_obj);

  // A child takes its trace from the parent and draws only its own span id.
  std::optional<Uuid> trace_id;
  std::optional<Uuid> parent_id;
  if (parent != nullptr) {
    const Shared<SpanClass> parent_span = borrow_shared<SpanClass>(parent);
    trace_id = parent_span->trace_id;
    parent_id = parent_span->span_id;
  }
  Ref made = new_instance_from<SpanClass>(SpanClass::type(), [&] {
    const Uuid trace = trace_id ? *trace_id : Uuid::new_v4();
    TraceSpan span = TraceSpan::create(trace, tracer->tenant_id, std::string(texts.operation_name),
                                       provider_from_name(texts.provider), std::string(texts.model),
                                       std::string());
    span.parent_span_id = parent_id;
    return span;
  });
  span_instance(made.get())->package_tracer = Ref::borrow(tracer_obj).release();
  return made;
}

HandOver hand_over_record(PyObject* obj, std::optional<std::uint64_t> sample_below) {
  const Exclusive<SpanClass> span = borrow_exclusive<SpanClass>(obj);
  if (span_instance(obj)->package_flags.fetch_or(kHandedOver, std::memory_order_acq_rel) & kHandedOver) {
    return HandOver::Before;
  }
  TraceSpan& record = *span;
  if (!record.is_complete()) record.finish();
  const bool kept = !sample_below || trace_head(record.trace_id) < *sample_below;
  return kept ? HandOver::Deliver : HandOver::SampledOut;
}

namespace {

// A span of `tracer` (None: the parent's tracer, else `fallback`), child of
// `parent` (same trace id, parent_span_id set) or, for None, the root of a
// new trace; the tracer is kept as the span's.
constexpr auto kStartSpan =
    function("start_span", {{"tracer"}, {"operation_name"}, {"provider"}, {"model"}, {"parent"}, {"fallback"}});
constexpr char kStartSpanDoc[] =
    "A span of `tracer` (or the parent's, or `fallback`), child of `parent` or the root of a new trace.";

Ref start_span(PyObject*, const Args<kStartSpan>& args) {
  return new_span(args[0], &args[1], args[4], args[5]);
}

constexpr auto kTracerOf = function("tracer_of", {{"span"}});
constexpr char kTracerOfDoc[] = "The span's tracer, or None.";

// The tracer a span was started with or adopted, or None.
Ref tracer_of(PyObject*, const Args<kTracerOf>& args) {
  check_span(args[0], args.name<0>());
  PyObject* tracer = span_instance(args[0])->package_tracer;
  return Ref::borrow(tracer != nullptr ? tracer : Py_None);
}

constexpr auto kAdopt = function("adopt", {{"span"}, {"tracer"}});
constexpr char kAdoptDoc[] = "Keeps `tracer` as the span's unless it has one; returns the span's.";

Ref adopt(PyObject*, const Args<kAdopt>& args) {
  check_span(args[0], args.name<0>());
  check_tracer(args[1], args.name<1>());
  // Under the interpreter lock, so the first tracer given stays.
  auto* inst = span_instance(args[0]);
  if (inst->package_tracer == nullptr) inst->package_tracer = Ref::borrow(args[1]).release();
  return Ref::borrow(inst->package_tracer);
}

constexpr auto kHandOver = function("hand_over", {{"span"}, {"sample_below"}});
constexpr char kHandOverDoc[] =
    "Finishes the span if needed and marks it handed over; True when it goes to the processors.";

// Hands the span over once: finishes it if nothing did, marks it handed
// over and returns whether it goes to the processors (False when handed over
// before, or when its trace is sampled out: the first eight bytes of the
// trace id, big-endian, not below `sample_below`; None keeps every trace).
Ref hand_over(PyObject*, const Args<kHandOver>& args) {
  check_span(args[0], args.name<0>());
  std::optional<std::uint64_t> sample_below;
  if (args[1] != Py_None) sample_below = args.get<1, as_u64>();
  return to_python(hand_over_record(args[0], sample_below) == HandOver::Deliver);
}

constexpr auto kAddEvent = function("add_event", {{"span"}, {"name"}, {"description"}, {"data"}});
constexpr char kAddEventDoc[] = "Appends an event to the span.";

Ref add_event(PyObject*, const Args<kAddEvent>& args) {
  check_span(args[0], args.name<0>());
  auto name = args.get<1, as_text>();
  auto description = args.get<2, as_text>();
  auto data = as_string_map(args[3], args.name<3>());
  auto span = borrow_exclusive<SpanClass>(args[0]);
  SpanEvent event{.id = Uuid::new_v4(),
                  .timestamp = Timestamp::now(),
                  .event_type = std::string(name),
                  .description = std::string(description),
                  .data = std::move(data)};
  span->events.push_back(std::move(event));
  return none();
}

constexpr auto kSetCost = function("set_cost", {{"span"}, {"usd"}});
constexpr char kSetCostDoc[] = "Sets the estimated cost in USD.";

Ref set_cost(PyObject*, const Args<kSetCost>& args) {
  check_span(args[0], args.name<0>());
  auto usd = as_amount(args[1], args.name<1>());
  auto span = borrow_exclusive<SpanClass>(args[0]);
  span->estimated_cost_usd = usd;
  return none();
}

constexpr auto kReportAction = describe(
    "", "report_action", Receiver::module,
    {{"span"}, {"action_type"}, {"name"}, keyword_only("arguments"), keyword_only("result"),
     keyword_only("duration_ms"), keyword_only("success"), keyword_only("exit_code"), keyword_only("http_method"),
     keyword_only("http_status"), keyword_only("file_operation"), keyword_only("metadata")});
constexpr char kReportActionDoc[] = "Appends an agent action with every field; returns its id.";

Ref report_action(PyObject*, const Args<kReportAction>& args) {
  check_span(args[0], args.name<0>());
  const ActionFields fields = action_fields<1>(args);
  std::optional<std::int32_t> exit_code;
  if (args[7] != nullptr && args[7] != Py_None) exit_code = as_i32(args[7], args.name<7>());
  auto http_method = args.get_optional<8, as_text>();
  auto http_status = args.get_optional<9, as_u16>();
  auto file_operation = args.get_optional<10, as_text>();
  auto metadata = as_string_map(args[11], args.name<11>());

  auto span = borrow_exclusive<SpanClass>(args[0]);

  AgentAction action = make_action(fields);
  action.exit_code = exit_code;
  if (http_method) action.http_method.emplace(*http_method);
  action.http_status = http_status;
  if (file_operation) action.file_operation.emplace(*file_operation);
  action.metadata = std::move(metadata);

  Ref id = to_python(action.id);
  span->add_agent_action(std::move(action));
  return id;
}

}  // namespace

PyMethodDef span_functions[] = {
    fastcall_method<kStartSpan, start_span, kStartSpanDoc>(),
    fastcall_method<kTracerOf, tracer_of, kTracerOfDoc>(),
    fastcall_method<kAdopt, adopt, kAdoptDoc>(),
    fastcall_method<kHandOver, hand_over, kHandOverDoc>(),
    fastcall_method<kAddEvent, add_event, kAddEventDoc>(),
    fastcall_method<kSetCost, set_cost, kSetCostDoc>(),
    fastcall_method<kReportAction, report_action, kReportActionDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
