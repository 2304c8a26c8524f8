// Prompt-injection rules: requests to ignore earlier instructions (English,
// Spanish, French, German, Portuguese, Italian, Russian, Chinese), chat
// template tokens, system and instruction headers, jailbreak personas, and
// text hidden in invisible Unicode characters.
#include <array>
#include <string_view>

#include "scanner_scan.hpp"

namespace korvanta::scanner_detail {
namespace {

// ---- instruction overrides ----
//
// A verb ("ignore", "disregard", "forget" and their translations) followed,
// within the same sentence and a few words, by a word for the instructions
// together with either a word for "earlier" or a second-person possessive:
// "ignore all previous instructions", "ignora las instrucciones
// anteriores", "vergiss deine Anweisungen", "игнорируй все предыдущие
// инструкции". "ignore the system prompt" counts as well.

struct Verb {
  std::string_view stem;      // lower case, UTF-8
  std::size_t anchor;         // byte offset in the stem of the prefilter's bigram
};
constexpr std::array<Verb, 11> kVerbs = {{
    {"ignor", 1},           // ignore, ignora, ignorez, ignoriere, ignorar
    {"disregard", 2},
    {"forget", 2},
    {"vergiss", 2},
    {"vergesst", 2},
    {"vergessen", 2},
    {"oubli", 1},           // oublie, oubliez
    {"olvid", 1},           // olvida, olvide
    {"esque", 1},           // esqueça, esqueca
    {"игнор", 2},
    {"забуд", 4},
}};
// Chinese verbs: no word boundaries, the phrase follows directly.
constexpr std::array<std::string_view, 4> kCjkVerbs = {"忽略", "忘记", "忘掉", "无视"};

constexpr std::array<std::string_view, 27> kEarlier = {
    "previous", "prior",     "above",    "earlier",   "preceding", "former",      "foregoing", "anterior", "previa",
    "previo",   "precedent", "précédent", "antérieur", "anterieur", "vorherig",   "vorig",     "bisherig", "obig",
    "früher",   "frueher",   "vorangegangen", "prévi", "предыдущ", "прежн",       "выше",      "ранее",    "предшеству",
};
constexpr std::array<std::string_view, 23> kInstructions = {
    "instruc", "instruç", "istruz",   "anweisung", "instruktion", "regel",    "rule",     "regla",
    "règle",   "regle",   "regra",    "regol",     "prompt",      "directive", "guideline", "consigne",
    "indicaci", "direttiv", "vorgabe", "инструкц",  "указани",     "правил",   "промпт",
};
constexpr std::array<std::string_view, 16> kYour = {
    "your", "tus", "tes", "vos", "votre", "deine", "dein", "ihre",
    "tuas", "suas", "teus", "tue", "tuoi", "твои", "ваши", "свои",
};
constexpr std::array<std::string_view, 6> kCjkEarlier = {"之前", "以上", "先前", "上面", "前面", "以前"};
constexpr std::array<std::string_view, 5> kCjkInstructions = {"指令", "指示", "说明", "规则", "提示"};

constexpr std::size_t kMaxWords = 8;
constexpr std::size_t kWindow = 160;

bool letter(unsigned char c) { return in_class(c, kAlpha | kHigh); }

// A word lower-cased into `buf`: ASCII by the usual rule, the Cyrillic
// capitals А to Я (U+0410 to U+042F) to their small letters; other bytes as
// they are.
std::string_view fold(std::string_view word, std::array<char, 48>& buf) {
  std::size_t n = 0;
  for (std::size_t k = 0; k < word.size() && n < buf.size(); ++k) {
    const auto c = static_cast<unsigned char>(word[k]);
    if (c == 0xD0 && k + 1 < word.size() && n + 1 < buf.size()) {
      const auto d = static_cast<unsigned char>(word[k + 1]);
      if (d >= 0x90 && d <= 0x9F) {
        buf[n++] = static_cast<char>(0xD0);
        buf[n++] = static_cast<char>(d + 0x20);
      } else if (d >= 0xA0 && d <= 0xAF) {
        buf[n++] = static_cast<char>(0xD1);
        buf[n++] = static_cast<char>(d - 0x20);
      } else {
        buf[n++] = static_cast<char>(c);
        buf[n++] = static_cast<char>(d);
      }
      ++k;
    } else {
      buf[n++] = ascii_lower(static_cast<char>(c));
    }
  }
  return {buf.data(), n};
}

template <std::size_t N>
bool starts_with_any(std::string_view word, const std::array<std::string_view, N>& stems) {
  for (std::string_view stem : stems) {
    if (!stem.empty() && word.size() >= stem.size() && word[0] == stem[0] && word.starts_with(stem)) return true;
  }
  return false;
}

template <std::size_t N>
bool equals_any(std::string_view word, const std::array<std::string_view, N>& words) {
  for (std::string_view w : words) {
    if (word == w) return true;
  }
  return false;
}

bool sentence_end(Scan& s, std::size_t q) {
  const unsigned char c = s.at(q);
  if (c == '.' || c == '!' || c == '?' || c == ';' || c == '\n') return true;
  return s.lit(q, "。") || s.lit(q, "！") || s.lit(q, "？");
}

// The words after a Latin or Cyrillic verb; returns the end of the phrase
// when it is an override.
std::size_t phrase_after(Scan& s, std::size_t q) {
  const std::size_t limit = std::min(s.size(), q + kWindow);
  bool earlier = false, instructions = false, your = false, system = false;
  for (std::size_t words = 0; words < kMaxWords && q < limit; ++words) {
    while (q < limit && !letter(s.at(q))) {
      if (sentence_end(s, q)) return 0;
      ++q;
    }
    const std::size_t we = s.span_fwd(q, kAlpha | kHigh, limit - q);
    if (we == q) return 0;
    std::array<char, 48> buf;
    const std::string_view w = fold(s.text.substr(q, we - q), buf);
    s.work += w.size() * 2;
    if (system && w.starts_with("prompt")) return we;
    system = w == "system";
    earlier = earlier || starts_with_any(w, kEarlier);
    your = your || equals_any(w, kYour);
    if (starts_with_any(w, kInstructions)) instructions = true;
    if (instructions && (earlier || your)) return we;
    q = we;
  }
  return 0;
}

// The characters after a Chinese verb: a word for "earlier" and one for the
// instructions, in either order; returns the end of the phrase or 0.
std::size_t cjk_phrase_after(Scan& s, std::size_t q) {
  const std::size_t limit = std::min(s.size(), q + 48);
  bool earlier = false, instructions = false;
  while (q < limit && !sentence_end(s, q)) {
    std::size_t word = 0;
    for (std::string_view w : kCjkEarlier) {
      if (s.lit(q, w)) {
        earlier = true;
        word = w.size();
      }
    }
    for (std::string_view w : kCjkInstructions) {
      if (s.lit(q, w)) {
        instructions = true;
        word = w.size();
      }
    }
    if (earlier && instructions) return q + word;
    // On by one UTF-8 character.
    ++q;
    while (q < limit && (s.at(q) & 0xC0) == 0x80) ++q;
  }
  return 0;
}

// ---- role headers ----

constexpr std::array<std::string_view, 7> kHeaderPhrases = {
    "new system prompt", "system prompt", "system message", "new instructions", "instructions", "instruction", "system",
};
constexpr std::array<std::string_view, 6> kColonPhrases = {
    "new instructions", "new instruction", "updated instructions", "new system prompt", "system override", "new rules",
};

bool zero_width(Scan& s, std::size_t q) {
  const unsigned char a = s.at(q), b = s.at(q + 1), c = s.at(q + 2);
  return (a == 0xE2 && b == 0x80 && c >= 0x8B && c <= 0x8D) || (a == 0xE2 && b == 0x81 && c == 0xA0) ||
         (a == 0xEF && b == 0xBB && c == 0xBF);
}
bool bidi(Scan& s, std::size_t q) {
  const unsigned char a = s.at(q), b = s.at(q + 1), c = s.at(q + 2);
  return a == 0xE2 && ((b == 0x80 && c >= 0xAA && c <= 0xAE) || (b == 0x81 && c >= 0xA6 && c <= 0xA9));
}
bool tag(Scan& s, std::size_t q) {
  return s.at(q) == 0xF3 && s.at(q + 1) == 0xA0 && (s.at(q + 2) == 0x80 || s.at(q + 2) == 0x81) &&
         (s.at(q + 3) & 0xC0) == 0x80;
}

}  // namespace

void on_injection_verb(Scan& s, std::size_t i) {
  const unsigned char c = s.at(i);
  if (c == 0xE5 || c == 0xE6) {
    for (std::string_view verb : kCjkVerbs) {
      if (s.lit(i, verb)) {
        const std::size_t end = cjk_phrase_after(s, i + verb.size());
        if (end != 0) {
          s.emit(RuleId::InstructionOverride, i, end);
          s.resume = std::max(s.resume, end);
        }
        return;
      }
    }
    return;
  }
  for (const Verb& v : kVerbs) {
    if (v.anchor > i) continue;
    const std::size_t b = i - v.anchor;
    // The anchor bigram must be the stem's own bytes at that offset.
    if (ascii_lower(static_cast<char>(c)) != v.stem[v.anchor] &&
        !(c == 0xD0 && static_cast<unsigned char>(v.stem[v.anchor]) == 0xD0)) {
      continue;
    }
    const unsigned char before = s.at(b - 1);
    if (in_class(before, kAlpha) || (before >= 0x80 && before <= 0xBF)) continue;
    std::array<char, 48> buf;
    const std::size_t word_end = s.span_fwd(b, kAlpha | kHigh, 24);
    const std::string_view w = fold(s.text.substr(b, word_end - b), buf);
    if (!w.starts_with(v.stem)) continue;
    const std::size_t end = phrase_after(s, word_end);
    if (end != 0) {
      s.emit(RuleId::InstructionOverride, b, end);
      s.resume = std::max(s.resume, end);
    }
    return;
  }
}

void on_angle(Scan& s, std::size_t i) {
  if (s.lit(i, "<<SYS>>") || s.lit(i, "<</SYS>>")) {
    const std::size_t end = i + (s.at(i + 2) == '/' ? 8 : 7);
    s.emit(RuleId::ChatTemplateToken, i, end);
    s.resume = std::max(s.resume, end);
    return;
  }
  // <|im_start|>, <|system|>, <|start_header_id|>, <|eot_id|>, ...
  if (s.at(i + 1) != '|') return;
  const std::size_t name_end = s.span_fwd(i + 2, kLower | kUnderscore, 32);
  if (name_end - i - 2 < 2 || !s.lit(name_end, "|>")) return;
  s.emit(RuleId::ChatTemplateToken, i, name_end + 2);
  s.resume = std::max(s.resume, name_end + 2);
}

void on_bracket(Scan& s, std::size_t i) {
  const unsigned char next = s.at(i + 1);
  if (next != 'I' && next != '/' && next != 'S') return;
  for (std::string_view t : {"[INST]", "[/INST]", "[SYSTEM_PROMPT]", "[/SYSTEM_PROMPT]"}) {
    if (s.lit(i, t)) {
      s.emit(RuleId::ChatTemplateToken, i, i + t.size());
      s.resume = std::max(s.resume, i + t.size());
      return;
    }
  }
}

// "## System", "### Instruction:", "### New instructions:" alone on the
// start of a line: the headers of Alpaca-style and Markdown prompts.
void on_hash(Scan& s, std::size_t i) {
  if (s.at(i - 1) == '#') return;
  std::size_t line = i;
  while (line > 0 && i - line < 8 && (s.at(line - 1) == ' ' || s.at(line - 1) == '\t')) --line;
  if (line > 0 && s.at(line - 1) != '\n') return;
  std::size_t q = i;
  while (q < s.size() && s.at(q) == '#' && q - i < 5) ++q;
  if (q - i < 2 || q - i > 4) return;
  while (s.at(q) == ' ' && q - i < 8) ++q;
  for (std::string_view phrase : kHeaderPhrases) {
    if (!s.ilit(q, phrase)) continue;
    std::size_t end = q + phrase.size();
    std::size_t r = end;
    while (s.at(r) == ' ' && r - end < 8) ++r;
    if (s.at(r) == ':') end = r + 1;
    else if (!(r == s.size() || s.at(r) == '\n' || s.at(r) == '\r')) return;
    s.emit(RuleId::RoleOverrideHeader, i, end);
    s.resume = std::max(s.resume, end);
    return;
  }
}

namespace {

// The phrase ending at `e`, alone at the start of its line, before the colon at `i`.
[[gnu::noinline]] bool colon_phrase(Scan& s, std::size_t i, std::size_t e) {
  std::size_t line = e;
  while (line > 0 && e - line < 40 && s.at(line - 1) != '\n') --line;
  s.work += e - line + 1;
  if (line > 0 && s.at(line - 1) != '\n') return false;
  std::size_t b = line;
  while (b < e && (s.at(b) == ' ' || s.at(b) == '\t' || s.at(b) == '*' || s.at(b) == '>' || s.at(b) == '-' ||
                   s.at(b) == '#' || s.at(b) == '_')) {
    ++b;
  }
  for (std::string_view phrase : kColonPhrases) {
    if (e - b == phrase.size() && s.ilit(b, phrase)) {
      s.emit(RuleId::RoleOverrideHeader, b, i + 1);
      s.resume = std::max(s.resume, i + 1);
      return true;
    }
  }
  return false;
}

}  // namespace

bool line_marker_before_colon(Scan& s, std::size_t i) {
  // Cheap refusal first: each phrase ends in 's', 'n', 't', 'e'.
  std::size_t e = i;
  while (e > 0 && i - e < 4 && (s.at(e - 1) == ' ' || s.at(e - 1) == '*')) --e;
  const char last = ascii_lower(static_cast<char>(s.at(e - 1)));
  if (last != 's' && last != 'n' && last != 't' && last != 'e') return false;
  return colon_phrase(s, i, e);
}

// "DAN" as a word, with a persona context on its line: "you are now DAN",
// "act as DAN", "DAN mode", "DAN, which stands for Do Anything Now".
void on_persona(Scan& s, std::size_t i) {
  if (s.at(i + 2) != 'N' || s.is(i + 3, kAlpha) || s.is(i - 1, kAlpha)) return;
  const std::size_t from = i > 48 ? i - 48 : 0;
  std::array<char, 48> buf;
  const std::string_view before = fold(s.text.substr(from, i - from), buf);
  std::array<char, 48> buf2;
  const std::string_view after = fold(s.text.substr(i + 3, std::min<std::size_t>(48, s.size() - i - 3)), buf2);
  s.work += before.size() + after.size();
  bool hit = false;
  for (std::string_view cue : {"you are", "act as", "pretend to be", "become", "roleplay as"}) {
    hit = hit || before.find(cue) != std::string_view::npos;
  }
  for (std::string_view cue : {" mode", "do anything now"}) {
    hit = hit || after.find(cue) != std::string_view::npos;
  }
  if (!hit) return;
  s.emit(RuleId::JailbreakPersona, i, i + 3);
  s.resume = std::max(s.resume, i + 3);
}

// Runs of invisible characters: Unicode tag characters U+E0000-E007F (text
// that models read and people do not; the subdivision flags, black flag
// U+1F3F4 then tags ending in U+E007F, are emoji and excepted),
// bidirectional overrides U+202A-202E and U+2066-2069, and four or more
// zero-width characters U+200B-200D, U+2060, U+FEFF in a row.
void on_hidden_char(Scan& s, std::size_t i) {
  std::size_t q = i;
  if (tag(s, i)) {
    std::size_t count = 0;
    while (tag(s, q) && q - i < (1u << 20)) {
      q += 4;
      ++count;
    }
    s.work += q - i;
    s.resume = std::max(s.resume, q);
    const bool flag = s.lit(i - 4, "\xF0\x9F\x8F\xB4") && s.lit(q - 4, "\xF3\xA0\x81\xBF") && count <= 7;
    if (!flag) s.emit(RuleId::UnicodeTagText, i, q);
  } else if (bidi(s, i)) {
    while (bidi(s, q)) q += 3;
    s.work += q - i;
    s.emit(RuleId::BidiOverride, i, q);
    s.resume = std::max(s.resume, q);
  } else if (zero_width(s, i)) {
    std::size_t count = 0;
    while (zero_width(s, q)) {
      q += 3;
      ++count;
    }
    s.work += q - i;
    if (count >= 4) s.emit(RuleId::ZeroWidthRun, i, q);
    s.resume = std::max(s.resume, q);
  }
}

}  // namespace korvanta::scanner_detail
