// Reading the usage-only chunk of a chat completion stream: a validating
// JSON reader that keeps only where each value lies, and the few members
// of the chunk and its usage object that tracing records.
#include "korvanta/usage_chunk.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "otlp_utf8.hpp"

namespace korvanta {
namespace {

// Python's json module recurses once per level; past this depth the
// document is left to it.
constexpr int kMaxDepth = 200;

// Python refuses integers of more digits than its limit (4300 by default,
// never below 640): longer ones are left to it.
constexpr std::size_t kMaxIntDigits = 640;

enum class Kind { Null, False, True, Int, Float, String, Array, Object };

// Where a value lies: a number's literal, a string's raw contents (between
// its quotes), an array's or object's whole text.
struct Value {
  Kind kind = Kind::Null;
  std::string_view text;
  bool empty = false;    // an array or object without members, a string without contents
  bool escaped = false;  // a string with a backslash escape
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Where the run of a string's plain characters from `pos` ends: at the
// first '"', '\\' or control character, or near the end of the text (the
// caller reads the rest one by one). Eight bytes at a time: the lowest byte
// each test flags is exact, so the lowest of the three is the first stop.
std::size_t plain_run(std::string_view s, std::size_t pos) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  while (pos + 8 <= s.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, s.data() + pos, 8);
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    const std::uint64_t stops = (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                 ((word - kOnes * 0x20) & ~word)) &
                                kHighs;
    if (stops != 0) {
      if constexpr (std::endian::native == std::endian::little) return pos + std::countr_zero(stops) / 8;
      return pos;  // elsewhere the bytes are read one by one from here
    }
    pos += 8;
  }
  return pos;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  // Whether the text holds what only Python's own parser settles: nesting
  // past the depth read here, or an integer past Python's digit limit.
  bool unsure() const { return too_deep_ || unsure_; }

  void skip_blanks() {
    while (pos_ < s_.size() && is_blank(s_[pos_])) ++pos_;
  }
  bool at_end() const { return pos_ == s_.size(); }
  bool next_is(char c) const { return pos_ < s_.size() && s_[pos_] == c; }

  std::optional<Value> value(int depth) {
    skip_blanks();
    if (pos_ >= s_.size()) return std::nullopt;
    switch (s_[pos_]) {
      case '{':
        return container(depth, '}');
      case '[':
        return container(depth, ']');
      case '"':
        return string();
      case 'n':
        return word("null", Kind::Null);
      case 't':
        return word("true", Kind::True);
      case 'f':
        return word("false", Kind::False);
      case 'N':
        return word("NaN", Kind::Float);
      case 'I':
        return word("Infinity", Kind::Float);
      default:
        return number();
    }
  }

  // The members of the object at the reader's position, each handed to
  // on_member(key, value) with the key's raw text; false when the text is
  // no valid object. A key with an escape stops the reading as unsure.
  template <class OnMember>
  bool members(int depth, OnMember&& on_member) {
    skip_blanks();
    if (pos_ >= s_.size() || s_[pos_] != '{') return false;
    ++pos_;
    skip_blanks();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      skip_blanks();
      const std::optional<Value> key = string();
      if (!key) return false;
      skip_blanks();
      if (pos_ >= s_.size() || s_[pos_] != ':') return false;
      ++pos_;
      const std::optional<Value> member = value(depth + 1);
      if (!member) return false;
      on_member(*key, *member);
      skip_blanks();
      if (pos_ >= s_.size()) return false;
      if (s_[pos_] == '}') {
        ++pos_;
        return true;
      }
      if (s_[pos_] != ',') return false;
      ++pos_;
    }
  }

 private:
  std::optional<Value> word(std::string_view literal, Kind kind) {
    if (s_.substr(pos_, literal.size()) != literal) return std::nullopt;
    Value v{kind, s_.substr(pos_, literal.size())};
    pos_ += literal.size();
    return v;
  }

  // JSON's grammar, and Python's -Infinity.
  std::optional<Value> number() {
    const std::size_t begin = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') {
      ++pos_;
      if (s_.substr(pos_, 8) == "Infinity") {
        pos_ += 8;
        return Value{Kind::Float, s_.substr(begin, pos_ - begin)};
      }
    }
    if (pos_ >= s_.size() || !is_digit(s_[pos_])) return std::nullopt;
    if (s_[pos_] == '0') {
      ++pos_;
    } else {
      while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
    }
    Kind kind = Kind::Int;
    if (pos_ + 1 < s_.size() && s_[pos_] == '.' && is_digit(s_[pos_ + 1])) {
      kind = Kind::Float;
      pos_ += 2;
      while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      std::size_t e = pos_ + 1;
      if (e < s_.size() && (s_[e] == '+' || s_[e] == '-')) ++e;
      if (e < s_.size() && is_digit(s_[e])) {
        kind = Kind::Float;
        pos_ = e;
        while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
      }
    }
    const std::string_view literal = s_.substr(begin, pos_ - begin);
    if (kind == Kind::Int && literal.size() - (literal.front() == '-' ? 1 : 0) > kMaxIntDigits) unsure_ = true;
    return Value{kind, literal};
  }

  std::optional<Value> string() {
    if (pos_ >= s_.size() || s_[pos_] != '"') return std::nullopt;
    const std::size_t begin = ++pos_;
    bool escaped = false;
    while (pos_ < s_.size()) {
      pos_ = plain_run(s_, pos_);
      if (pos_ >= s_.size()) break;
      const char c = s_[pos_];
      if (c == '"') {
        Value v{Kind::String, s_.substr(begin, pos_ - begin), pos_ == begin, escaped};
        ++pos_;
        return v;
      }
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;  // control characters are escaped in JSON
      if (c == '\\') {
        escaped = true;
        if (pos_ + 1 >= s_.size()) return std::nullopt;
        const char e = s_[pos_ + 1];
        if (e == 'u') {
          if (pos_ + 6 > s_.size()) return std::nullopt;
          for (std::size_t k = pos_ + 2; k < pos_ + 6; ++k) {
            if (!is_hex(s_[k])) return std::nullopt;
          }
          pos_ += 6;
          continue;
        }
        if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) return std::nullopt;
        pos_ += 2;
        continue;
      }
      ++pos_;
    }
    return std::nullopt;
  }

  std::optional<Value> container(int depth, char close) {
    if (depth >= kMaxDepth) {
      too_deep_ = true;
      return std::nullopt;
    }
    const std::size_t begin = pos_;
    bool empty = true;
    if (close == '}') {
      if (!members(depth, [&](const Value&, const Value&) { empty = false; })) return std::nullopt;
    } else {
      ++pos_;
      skip_blanks();
      if (pos_ < s_.size() && s_[pos_] == ']') {
        ++pos_;
      } else {
        empty = false;
        while (true) {
          if (!value(depth + 1)) return std::nullopt;
          skip_blanks();
          if (pos_ >= s_.size()) return std::nullopt;
          if (s_[pos_] == ']') {
            ++pos_;
            break;
          }
          if (s_[pos_] != ',') return std::nullopt;
          ++pos_;
        }
      }
    }
    return Value{close == '}' ? Kind::Object : Kind::Array, s_.substr(begin, pos_ - begin), empty};
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  bool too_deep_ = false;
  bool unsure_ = false;
};

// Whether Python reads the value as true; nullopt for a float, whose
// truth (1e-400 is false) is left to a full parser.
std::optional<bool> truth(const Value& v) {
  switch (v.kind) {
    case Kind::Null:
    case Kind::False:
      return false;
    case Kind::True:
      return true;
    case Kind::Int:
      return v.text.find_first_not_of("-0") != std::string_view::npos;
    case Kind::Float:
      return std::nullopt;
    case Kind::String:
    case Kind::Array:
    case Kind::Object:
      return !v.empty;
  }
  return std::nullopt;
}

// Walks the members of an object already read whole (so valid); false when
// a key has an escape, which could spell any name.
template <class OnMember>
bool plain_members(std::string_view object, OnMember&& on_member) {
  bool plain = true;
  Reader reader(object);
  reader.members(0, [&](const Value& key, const Value& member) {
    if (key.escaped) plain = false;
    if (plain) on_member(key.text, member);
  });
  return plain;
}

std::string_view integer(const Value& v) { return v.kind == Kind::Int ? v.text : std::string_view(); }

}  // namespace

UsageChunk read_usage_chunk(std::string_view data) {
  UsageChunk out;
  Reader reader(data);
  reader.skip_blanks();
  // The document's members are kept as it is read: an object is walked once.
  std::optional<Value> choices, usage, model, id;
  bool escaped_key = false;
  const bool object = reader.next_is('{');
  bool valid = object ? reader.members(0,
                                       [&](const Value& key, const Value& v) {
                                         if (key.escaped) escaped_key = true;
                                         if (key.text == "choices") choices = v;
                                         if (key.text == "usage") usage = v;
                                         if (key.text == "model") model = v;
                                         if (key.text == "id") id = v;
                                       })
                      : reader.value(0).has_value();
  reader.skip_blanks();
  valid = valid && reader.at_end();
  if (!valid || reader.unsure()) {
    if (reader.unsure()) out.verdict = UsageChunkVerdict::Unsure;
    return out;
  }
  if (otlp::utf8_repaired_size(data) != data.size()) return out;  // not text: json.loads never sees it
  if (!object) return out;
  if (escaped_key) {  // any of them could spell a name read here
    out.verdict = UsageChunkVerdict::Unsure;
    return out;
  }
  if (!usage || usage->kind != Kind::Object) return out;
  if (choices) {
    const std::optional<bool> any = truth(*choices);
    if (!any) {
      out.verdict = UsageChunkVerdict::Unsure;
      return out;
    }
    if (*any) return out;
  }

  // The chunk's model and id, as text free of escapes (or absent, or null).
  bool plain = true;
  const auto text_of = [&](const std::optional<Value>& v) -> std::optional<std::string_view> {
    if (!v || v->kind == Kind::Null) return std::nullopt;
    if (v->kind != Kind::String || v->escaped) plain = false;
    return v->text;
  };
  out.model = text_of(model);
  out.id = text_of(id);

  std::optional<Value> prompt_details, completion_details;
  plain = plain && plain_members(usage->text, [&](std::string_view key, const Value& v) {
            if (key == "prompt_tokens") out.prompt_tokens = integer(v);
            if (key == "completion_tokens") out.completion_tokens = integer(v);
            if (key == "prompt_tokens_details") prompt_details = v;
            if (key == "completion_tokens_details") completion_details = v;
          });
  const auto count_in = [&](const std::optional<Value>& details, std::string_view name, std::string_view& count) {
    if (!details || details->kind != Kind::Object) return;
    plain = plain && plain_members(details->text, [&](std::string_view key, const Value& v) {
              if (key == name) count = integer(v);
            });
  };
  count_in(prompt_details, "cached_tokens", out.cached_tokens);
  count_in(completion_details, "reasoning_tokens", out.reasoning_tokens);
  if (!plain) {
    out = UsageChunk{};
    out.verdict = UsageChunkVerdict::Unsure;
    return out;
  }
  out.verdict = UsageChunkVerdict::Usage;
  return out;
}

}  // namespace korvanta
