// TraceSpan.report_action: one agent action appended to the span.
#include <string>
#include <utility>

#include "convert.hpp"
#include "entry.hpp"
#include "instance.hpp"
#include "py_values.hpp"
#include "span.hpp"
#include "span_methods.hpp"

namespace korvanta::py {
namespace {

constexpr auto kReportAction = describe(
    "TraceSpan", "report_action", Receiver::self,
    {{"action_type"}, {"name"}, keyword_only("arguments"), keyword_only("result"), keyword_only("duration_ms"),
     keyword_only("success")});
constexpr char kReportActionDoc[] =
    "Report an agent action on this span.\n"
    "\n"
    "Args:\n"
    "    action_type: One of ``\"tool_call\"``, ``\"skill_invocation\"``,\n"
    "                 ``\"command_execution\"``, ``\"web_access\"``, ``\"file_access\"``.\n"
    "    name: Name of the tool, skill, command, URL, or file path.\n"
    "    arguments: Optional arguments or parameters.\n"
    "    result: Optional result (truncated to 4KB).\n"
    "    duration_ms: Optional duration in milliseconds.\n"
    "    success: Whether the action succeeded (default ``True``).\n"
    "\n"
    "Returns:\n"
    "    The action ID (UUID string).";

Ref report_action(PyObject* self, const Args<kReportAction>& args) {
  auto span = borrow_exclusive<SpanClass>(self);
  // Every conversion comes before the action-type check.
  AgentAction action = make_action(action_fields<0>(args));
  Ref id = to_python(action.id);
  span->add_agent_action(std::move(action));
  return id;
}

}  // namespace

PyMethodDef report_action_method() { return fastcall_method<kReportAction, report_action, kReportActionDoc>(); }

AgentAction make_action(const ActionFields& fields) {
  const auto type = action_type_from_string(fields.action_type);
  if (!type) {
    std::string msg = "Invalid action_type: '";
    msg.append(fields.action_type);
    msg += "'. Expected one of: tool_call, skill_invocation, command_execution, web_access, file_access";
    raise(PyExc_ValueError, std::move(msg));
  }
  AgentAction action = AgentAction::create(*type, std::string(fields.name));
  if (fields.arguments) action.set_arguments(std::string(*fields.arguments));
  if (fields.result) action.set_result(*fields.result);
  action.duration_ms = fields.duration_ms;
  if (fields.success == false) action.success = false;
  return action;
}

}  // namespace korvanta::py
