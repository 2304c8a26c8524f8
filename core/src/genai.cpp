// The GenAI conventions' message shapes as JSON.
#include "korvanta/genai.hpp"

namespace korvanta {

void write_text_message(JsonWriter& out, std::string_view role, std::string_view content,
                        std::string_view finish_reason) {
  out.begin_object();
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
  out.end_object();
}

}  // namespace korvanta
