// TraceSpan methods that live in files of their own: agent action reporting
// and the exports. span.cpp puts them in the class's method table.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "args.hpp"
#include "korvanta/agent_action.hpp"
#include "error.hpp"
#include "ref.hpp"
#include "signatures.hpp"

namespace korvanta::py {

extern const char kReportActionDoc[];
Ref report_action(PyObject* self, const Args<signatures::span_report_action>& args);

// The fields every report_action call gives (the module's and the
// package's), converted.
struct ActionFields {
  std::string_view action_type;
  std::string_view name;
  std::optional<std::string_view> arguments;
  std::optional<std::string_view> result;
  std::optional<std::uint64_t> duration_ms;
  std::optional<bool> success;
};
// The action they describe, with a fresh id and the current time; ValueError
// "Invalid action_type: '<text>'. Expected one of: ..." for an unknown type.
AgentAction make_action(const ActionFields& fields);

Ref to_json(PyObject* self);
Ref to_dict(PyObject* self);
Ref security_findings(PyObject* self);

}  // namespace korvanta::py
