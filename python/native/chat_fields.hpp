// The field names of OpenAI chat completions and their chunks, read both as
// attributes of the client's models (chat_completion.cpp) and as keys of a
// chunk's JSON data (chat_stream.cpp).
#pragma once

#include "interned.hpp"

namespace korvanta::py::native {

inline InternedName g_id("id");
inline InternedName g_model("model");
inline InternedName g_choices("choices");
inline InternedName g_index("index");
inline InternedName g_content("content");
inline InternedName g_refusal("refusal");
inline InternedName g_tool_calls("tool_calls");
inline InternedName g_function("function");
inline InternedName g_function_call("function_call");  // the one call of the older `functions` API
inline InternedName g_name("name");
inline InternedName g_arguments("arguments");
inline InternedName g_finish_reason("finish_reason");
inline InternedName g_usage("usage");
inline InternedName g_prompt_tokens("prompt_tokens");
inline InternedName g_completion_tokens("completion_tokens");
inline InternedName g_prompt_details("prompt_tokens_details");
inline InternedName g_completion_details("completion_tokens_details");
inline InternedName g_cached_tokens("cached_tokens");
inline InternedName g_reasoning_tokens("reasoning_tokens");

}  // namespace korvanta::py::native
