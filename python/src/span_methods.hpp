// TraceSpan methods that live in files of their own: agent action reporting
// and the exports. span.cpp puts them in the class's method table.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "korvanta/agent_action.hpp"
#include "error.hpp"

namespace korvanta::py {

// The rows of TraceSpan's method table that these files define.
PyMethodDef report_action_method();
PyMethodDef to_dict_method();
PyMethodDef to_json_method();
PyMethodDef security_findings_method();

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

}  // namespace korvanta::py
