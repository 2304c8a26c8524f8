// Scanning a whole span: which text of the record is scanned as what, and
// how a text match becomes a SecurityFinding with its location, description
// and metadata.
#include <string>

#include "clean_texts.hpp"
#include "korvanta/scanner.hpp"

namespace korvanta {
namespace {

// Where a text lives in the span; its name is built only for a finding.
struct Field {
  std::string_view part;             // "prompt", "tags", "events", "agent_actions"
  std::size_t index = 0;             // of the event or action
  std::string_view member;           // "description", "data", "name", "arguments", "result"
  const ShortText* key = nullptr;  // of a tag or an event data entry

  static Field top(std::string_view part) { return {part, 0, {}, nullptr}; }

  std::string name() const {
    std::string out(part);
    if (part == "events" || part == "agent_actions") {
      out += '[';
      out += std::to_string(index);
      out += "].";
      out += member;
    }
    if (key != nullptr) {
      out += '[';
      out += *key;
      out += ']';
    }
    return out;
  }
};

// What a credential in this text means for the action it belongs to.
enum class Flow { None, Outgoing, Incoming };

SecurityFinding make_finding(const TextMatch& m, const Field& field, Flow flow) {
  const Rule& found = rule_info(m.rule);
  const bool through_action = flow != Flow::None && found.type == FindingType::Credential;
  const Rule& rule = through_action ? rule_info(flow == Flow::Outgoing ? RuleId::CredentialInActionArguments
                                                                       : RuleId::CredentialInActionResult)
                                    : found;
  SecurityFinding f;
  f.id = Uuid::new_v4();
  f.detected_at = Timestamp::now();
  f.severity = rule.severity;
  f.finding_type = std::string(to_string(rule.type));
  f.confidence_score = found.confidence;
  f.requires_alert = rule.severity >= SecuritySeverity::High;
  const std::string field_name = field.name();
  std::string location = field_name;
  location += '[';
  location += std::to_string(m.begin);
  location += ':';
  location += std::to_string(m.end);
  location += ']';
  f.description = std::string(found.title);
  if (through_action) {
    f.description += flow == Flow::Outgoing ? " passed to an agent action" : " returned by an agent action";
  }
  f.description += " in ";
  f.description += location;
  f.location = std::move(location);
  f.metadata.insert_or_assign("rule_id", std::string(rule.name));
  f.metadata.insert_or_assign("field", field_name);
  if (through_action) f.metadata.insert_or_assign("credential_rule", std::string(found.name));
  return f;
}

void scan_field(std::vector<SecurityFinding>& out, std::string_view text, TextKind kind, const Field& field,
                Flow flow = Flow::None) {
  if (text.empty()) return;
  scanner_detail::CleanTexts& clean = scanner_detail::clean_texts();
  if (clean.known(text, kind)) return;
  const std::size_t found = out.size();
  scan_text(text, [&](const TextMatch& m) { out.push_back(make_finding(m, field, flow)); }, kind);
  if (out.size() == found) clean.remember(text, kind);
}

// How an action's name and arguments are read, by the action's type.
struct ActionKinds {
  TextKind name;
  TextKind arguments;
};
ActionKinds kinds_of(AgentActionType type) {
  switch (type) {
    case AgentActionType::WebAccess:
      return {TextKind::Url, TextKind::Content};
    case AgentActionType::FileAccess:
      return {TextKind::Path, TextKind::Content};
    case AgentActionType::ToolCall:
    case AgentActionType::SkillInvocation:
    case AgentActionType::CommandExecution:
      break;
  }
  return {TextKind::Command, TextKind::Command};
}

}  // namespace

std::vector<SecurityFinding> scan_span(const TraceSpan& span) {
  std::vector<SecurityFinding> out;
  scan_field(out, span.prompt, TextKind::Content, Field::top("prompt"));
  if (span.response) scan_field(out, *span.response, TextKind::Content, Field::top("response"));
  if (span.error_message) scan_field(out, *span.error_message, TextKind::Content, Field::top("error_message"));
  for (const StringMap::Entry& tag : span.tags) {
    scan_field(out, tag.value, TextKind::Content, {"tags", 0, {}, &tag.key});
  }
  for (std::size_t i = 0; i < span.events.size(); ++i) {
    const SpanEvent& event = span.events[i];
    scan_field(out, event.description, TextKind::Content, {"events", i, "description", nullptr});
    for (const StringMap::Entry& data : event.data) {
      scan_field(out, data.value, TextKind::Content, {"events", i, "data", &data.key});
    }
  }
  for (std::size_t i = 0; i < span.agent_actions.size(); ++i) {
    const AgentAction& action = span.agent_actions[i];
    const ActionKinds kinds = kinds_of(action.action_type);
    scan_field(out, action.name, kinds.name, {"agent_actions", i, "name", nullptr}, Flow::Outgoing);
    if (action.arguments) {
      scan_field(out, *action.arguments, kinds.arguments, {"agent_actions", i, "arguments", nullptr}, Flow::Outgoing);
    }
    if (action.result) scan_field(out, *action.result, TextKind::Content, {"agent_actions", i, "result", nullptr}, Flow::Incoming);
  }
  return out;
}

void scan_into(TraceSpan& span) {
  std::vector<SecurityFinding> found = scan_span(span);
  span.security_findings.insert(span.security_findings.end(), std::make_move_iterator(found.begin()),
                                std::make_move_iterator(found.end()));
  span.security_score = security_score(span.security_findings);
}

}  // namespace korvanta
