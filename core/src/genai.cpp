// The GenAI conventions' message shapes as JSON.
#include "korvanta/genai.hpp"

namespace korvanta {

void write_text_message(JsonWriter& out, std::string_view role, std::string_view content,
                        std::string_view finish_reason) {
  out.begin_object();
  if (out.indented()) {
    out.field("role");
    out.string(role);
    out.field("parts");
    out.begin_array();
    out.element();
    out.begin_object();
    out.field("type");
    out.string("text");
    out.field("content");
    out.string(content);
    out.end_object();
    out.end_array();
    if (!finish_reason.empty()) {
      out.field("finish_reason");
      out.string(finish_reason);
    }
  } else {
    // Compact: the fixed parts as they are written, without the writer's
    // steps for each key and bracket. A compact object closes alike with or
    // without members.
    out.verbatim(R"("role":)");
    out.string(role);
    out.verbatim(R"(,"parts":[{"type":"text","content":)");
    out.string(content);
    out.verbatim("}]");
    if (!finish_reason.empty()) {
      out.verbatim(R"(,"finish_reason":)");
      out.string(finish_reason);
    }
  }
  out.end_object();
}

}  // namespace korvanta
