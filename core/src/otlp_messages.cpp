// GenAI chat messages for the OTLP encoder: recognising a prompt that is
// already a message list, and wrapping plain texts as one text message.
#include "otlp_messages.hpp"

#include "korvanta/genai.hpp"

#include <cstddef>

namespace korvanta::otlp {
namespace {

// A strict JSON syntax check that also tells whether every element of the
// top-level array is an object with a string "role". Nesting is bounded, so
// hostile input cannot exhaust the stack.
class MessageListScanner {
 public:
  explicit MessageListScanner(std::string_view text) : s_(text) {}

  bool scan() {
    skip_ws();
    if (!eat('[')) return false;
    skip_ws();
    if (peek() == ']') return false;  // no messages: leave the text as text
    do {
      skip_ws();
      bool has_role = false;
      if (peek() != '{' || !object(1, &has_role) || !has_role) return false;
      skip_ws();
    } while (eat(','));
    if (!eat(']')) return false;
    skip_ws();
    return i_ == s_.size();
  }

 private:
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool eat(char c) {
    if (peek() != c || i_ >= s_.size()) return false;
    ++i_;
    return true;
  }
  void skip_ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }

  bool value(std::size_t depth) {
    switch (peek()) {
      case '{': return object(depth + 1, nullptr);
      case '[': return array(depth + 1);
      case '"': return string(nullptr);
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return number();
    }
  }

  // `has_role`, when given, is set when the object has "role": "...".
  bool object(std::size_t depth, bool* has_role) {
    if (depth > JsonWriter::kMaxDepth || !eat('{')) return false;
    skip_ws();
    if (eat('}')) return true;
    do {
      skip_ws();
      std::string_view key;
      if (!string(&key)) return false;
      skip_ws();
      if (!eat(':')) return false;
      skip_ws();
      const bool string_value = peek() == '"';
      if (!value(depth)) return false;
      if (has_role != nullptr && key == "role" && string_value) *has_role = true;
      skip_ws();
    } while (eat(','));
    return eat('}');
  }

  bool array(std::size_t depth) {
    if (depth > JsonWriter::kMaxDepth || !eat('[')) return false;
    skip_ws();
    if (eat(']')) return true;
    do {
      skip_ws();
      if (!value(depth)) return false;
      skip_ws();
    } while (eat(','));
    return eat(']');
  }

  // `raw`, when given, receives the bytes between the quotes, escapes as
  // written.
  bool string(std::string_view* raw) {
    if (!eat('"')) return false;
    const std::size_t start = i_;
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        if (raw != nullptr) *raw = s_.substr(start, i_ - start);
        ++i_;
        return true;
      }
      if (c < 0x20) return false;
      ++i_;
      if (c != '\\') continue;
      const char e = peek();
      ++i_;
      if (e == 'u') {
        for (int k = 0; k < 4; ++k, ++i_) {
          if (!is_hex(peek())) return false;
        }
      } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' &&
                 e != 't') {
        return false;
      }
    }
    return false;
  }

  bool number() {
    eat('-');
    if (!eat('0')) {
      if (!digits()) return false;
    }
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }

  bool digits() {
    const std::size_t start = i_;
    while (peek() >= '0' && peek() <= '9') ++i_;
    return i_ > start;
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  static bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

  std::string_view s_;
  std::size_t i_ = 0;
};

// A list of one text message, as the conventions' message attributes hold it.
void write_message_list(JsonWriter& out, std::string_view role, std::string_view content,
                        std::string_view finish_reason) {
  out.begin_array();
  out.element();
  write_text_message(out, role, content, finish_reason);
  out.end_array();
}

}  // namespace

bool is_message_list(std::string_view text) noexcept { return MessageListScanner(text).scan(); }

void write_user_message(JsonWriter& out, std::string_view prompt) { write_message_list(out, "user", prompt, {}); }

void write_assistant_message(JsonWriter& out, std::string_view response) {
  write_message_list(out, "assistant", response, "stop");
}

}  // namespace korvanta::otlp
