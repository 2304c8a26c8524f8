// Reading the usage-only chunk that ends an OpenAI chat completion stream
// when usage is asked for: whether an event's data is that chunk, and its
// counts, model and id, without building the JSON document in memory.
#pragma once

#include <optional>
#include <string_view>

namespace korvanta {

enum class UsageChunkVerdict {
  NotUsage,  // not JSON, not an object, has choices, or no usage object
  Usage,     // the usage chunk; its fields below
  Unsure,    // JSON this reader leaves to a full parser: escaped keys, a
             // model or id that is not plain text, nesting past its depth,
             // an integer of more digits than Python may accept
};

struct UsageChunk {
  UsageChunkVerdict verdict = UsageChunkVerdict::NotUsage;
  // Each count as its integer literal ("-12", "0"), empty when the count is
  // absent or not an integer (a float, a string, true...).
  std::string_view prompt_tokens;
  std::string_view completion_tokens;
  std::string_view cached_tokens;     // usage.prompt_tokens_details.cached_tokens
  std::string_view reasoning_tokens;  // usage.completion_tokens_details.reasoning_tokens
  // The text of the chunk's model and id, free of escapes; nullopt when
  // absent or null.
  std::optional<std::string_view> model;
  std::optional<std::string_view> id;
};

// Reads `data`, an event's data, as Python's json.loads would: the document
// must be valid JSON (NaN, Infinity and -Infinity allowed, whitespace around
// it, a later duplicate key replacing an earlier one) in valid UTF-8. It is
// the usage chunk when it is an object whose "choices" is absent or empty
// (any value Python reads as false) and whose "usage" is an object. Views
// point into `data`.
UsageChunk read_usage_chunk(std::string_view data);

}  // namespace korvanta
