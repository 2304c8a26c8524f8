// What a traced LLM call's answer brought, written to its span (genai_record.cpp).
#pragma once

#include <Python.h>

#include "korvanta/json_writer.hpp"

namespace korvanta::py::native {

// The GenAI JSON of chat messages (None: an empty list), as the package's
// chat_prompt(convert, messages) gives it: a message of a role and text is
// written here, convert(message) gives the JSON of any other.
void write_chat_prompt(JsonWriter& out, PyObject* convert, PyObject* messages);

// A price's rates in USD per million tokens; cached input and cache writes
// at the input rate where the price has none of their own.
struct PriceRates {
  double input;
  double output;
  double cached_input;
  double cache_write;
};

// A Price's rates, read from its attributes; an error ends the entry.
PriceRates price_rates(PyObject* price);

// Borrowed references; None where the answer said nothing.
struct Answer {
  PyObject* response;  // the text in parts (a list of str); None for a failed call
  PyObject* response_model;
  PyObject* response_id;
  PyObject* finish_reasons;  // a list
  PyObject* input_tokens;
  PyObject* output_tokens;
  PyObject* cached_tokens;
  PyObject* cache_write_tokens;
  PyObject* reasoning_tokens;
  PyObject* price;       // a Price, or None: no cost
  const PriceRates* rates;  // the price's rates when known already, else nullptr: read from it
  PyObject* tool_calls;  // an iterable of [call_id, name, fragments]
  bool capture;
};

// Sets the response (finishing the span), the response's model and id, the
// finish reasons, the token counts and their cost, the cache and reasoning
// counts as tags, and the tool calls as actions, in that order. Each part is
// read whole before it is written: a value that fails loses its part and
// the ones after it, never those before.
void record_answer(PyObject* span, const Answer& answer);

}  // namespace korvanta::py::native
