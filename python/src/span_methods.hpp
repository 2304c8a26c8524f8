// TraceSpan methods that live in files of their own: agent action reporting
// and the exports. span.cpp puts them in the class's method table.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "args.hpp"
#include "convert.hpp"
#include "korvanta/agent_action.hpp"

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
// The fields from the call's slots First to First + 5 (action_type, name,
// arguments, result, duration_ms, success), converted in that order.
template <std::size_t First, const auto& Description>
ActionFields action_fields(const Args<Description>& args) {
  return {args.template get<First, as_text>(),           args.template get<First + 1, as_text>(),
          args.template get_optional<First + 2, as_text>(), args.template get_optional<First + 3, as_text>(),
          args.template get_optional<First + 4, as_u64>(),  args.template get_optional<First + 5, as_bool>()};
}
// The action they describe, with a fresh id and the current time; ValueError
// "Invalid action_type: '<text>'. Expected one of: ..." for an unknown type.
AgentAction make_action(const ActionFields& fields);

}  // namespace korvanta::py
