// What a traced LLM call records in the GenAI conventions' shapes: the
// prompt of chat messages as JSON, and the answer written to the span.
// Native because every traced call takes these steps, between the client's
// own work, where a dozen small Python functions would run from cold caches.
#include <Python.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "entry.hpp"
#include "functions.hpp"
#include "instance.hpp"
#include "interned.hpp"
#include "korvanta/genai.hpp"
#include "genai_record.hpp"
#include "package_access.hpp"
#include "py_reading.hpp"
#include "py_values.hpp"
#include "span_methods.hpp"
#include "str_storage.hpp"

namespace korvanta::py::native {
namespace {

InternedName g_role("role");
InternedName g_content("content");
InternedName g_name("name");
InternedName g_input("input");
InternedName g_output("output");
InternedName g_cached_input("cached_input");
InternedName g_cache_write("cache_write");

// ---- the prompt ----

// The role of a message that is only a role and text (keys among role,
// content and name; a role of the four that speak in text; str content), or
// nullptr for any other message.
PyObject* text_message_role(PyObject* item, PyObject*& content) {
  if (!PyDict_CheckExact(item)) return nullptr;
  PyObject* role = nullptr;
  content = nullptr;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(item, &pos, &key, &value)) {
    if (key == g_role.require()) {
      role = value;
    } else if (key == g_content.require()) {
      content = value;
    } else if (key != g_name.require()) {
      // Keys are usually the interned literals of the caller's code; any
      // other str equal to one of the three is still one of them.
      if (!PyUnicode_CheckExact(key)) return nullptr;
      const std::string_view text = as_text(key);
      if (text == "role") {
        role = value;
      } else if (text == "content") {
        content = value;
      } else if (text != "name") {
        return nullptr;
      }
    }
  }
  if (role == nullptr || content == nullptr || !PyUnicode_CheckExact(role) || !PyUnicode_CheckExact(content)) {
    return nullptr;
  }
  const std::string_view role_text = as_text(role);
  if (role_text != "system" && role_text != "developer" && role_text != "user" && role_text != "assistant") {
    return nullptr;
  }
  return role;
}

// A str's UTF-8 form, or nullopt when it has none (a lone surrogate).
std::optional<std::string_view> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace

void write_chat_prompt(JsonWriter& out, PyObject* convert, PyObject* messages) {
  out.begin_array();
  if (messages == Py_None) return out.end_array();
  // Held as a list or tuple: convert() may run any code, the caller's list
  // included, and this keeps the items it hands out alive.
  Ref items = checked(PySequence_Fast(messages, "messages: expected an iterable"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
    out.element();
    PyObject* content = nullptr;
    if (PyObject* role = text_message_role(item.get(), content)) {
      // Text that is not UTF-8 (a lone surrogate) is the converter's to write.
      const std::optional<std::string_view> role_text = utf8_of(role);
      const std::optional<std::string_view> content_text = utf8_of(content);
      if (role_text && content_text) {
        write_text_message(out, *role_text, *content_text);
        continue;
      }
    }
    Ref json = checked(PyObject_CallOneArg(convert, item.get()));
    if (!PyUnicode_Check(json.get())) raise(PyExc_TypeError, "convert() must return the JSON of one message as a str");
    if (const std::optional<std::string_view> text = utf8_of(json.get())) {
      out.verbatim(*text);
    } else {
      // A lone surrogate can only stand in a JSON string, where its escape
      // (\udXXX, as backslashreplace writes it) reads back as the same str.
      Ref escaped = checked(PyUnicode_AsEncodedString(json.get(), "utf-8", "backslashreplace"));
      out.verbatim(std::string_view(PyBytes_AS_STRING(escaped.get()),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get()))));
    }
  }
  out.end_array();
}

namespace {

constexpr auto kChatPrompt = function("chat_prompt", {{"convert"}, {"messages"}});
constexpr char kChatPromptDoc[] =
    "The GenAI JSON of chat messages (None: none); convert(message) gives the JSON of one that is not a role "
    "and text.";

Ref chat_prompt(PyObject*, const Args<kChatPrompt>& args) {
  StrStorage storage;
  JsonWriter out(JsonLayout::Compact, storage, 256);
  write_chat_prompt(out, args[0], args[1]);
  return storage.take(out);
}

// ---- the answer ----

// "".join(parts) of a list of str, as UTF-8.
std::string joined(PyObject* parts) {
  if (!PyList_CheckExact(parts)) raise(PyExc_TypeError, "argument 'response': expected a list of str");
  const Ref held = Ref::borrow(parts);
  std::string text;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
    PyObject* part = PyList_GET_ITEM(parts, i);
    if (!PyUnicode_Check(part)) raise(PyExc_TypeError, "argument 'response': expected a list of str");
    text.append(as_text(part));
  }
  return text;
}

// The tag value of finish reasons: a JSON array of their texts.
std::string reasons_json(PyObject* reasons) {
  Ref items = checked(PySequence_Fast(reasons, "finish_reasons: expected a list"));
  JsonWriter out(JsonLayout::Compact, 32);
  out.begin_array();
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    const Ref text = PyUnicode_CheckExact(item) ? Ref::borrow(item) : checked(PyObject_Str(item));
    out.element();
    out.string(as_text(text.get()));
  }
  out.end_array();
  return std::string(out.view());
}

// A price's field in USD per million tokens, or `fallback` for None.
double price_field(PyObject* price, InternedName& name, double fallback) {
  Ref value = attribute(price, name);
  if (value.get() == Py_None) return fallback;
  const double number = PyFloat_AsDouble(value.get());
  if (number == -1.0 && PyErr_Occurred()) raise_pending();
  return number;
}

// round(value, 12) as Python computes it: the decimal correctly rounded
// (ties to even) to 12 places, read back as the nearest double.
//
// A double is m * 2^-k exactly (m below 2^53), so value * 10^12 is m * 10^12
// / 2^k, held exactly in 128 bits: its nearest integer n (ties to even) is
// that decimal's digits, and n / 10^12, n and 10^12 both exact doubles, is
// rounded once, to the double nearest the decimal, as reading it back is.
// Any cost below 9000 dollars goes so; larger values are printed and read.
__extension__ typedef unsigned __int128 Wide;  // GCC's and Clang's 128-bit integer

double round_to_12_places(double value) {
  if (!std::isfinite(value) || value == 0.0) return value;
  int exponent = 0;
  const double fraction = std::frexp(std::fabs(value), &exponent);  // in [0.5, 1)
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = 53 - exponent;  // |value| = mantissa / 2^shift
  if (shift >= 94) return std::copysign(0.0, value);  // below half of 10^-12: mantissa * 10^12 < 2^93
  constexpr std::uint64_t kScale = 1'000'000'000'000;
  const Wide scaled = static_cast<Wide>(mantissa) * kScale;
  if (shift > 0 && (scaled >> shift) < (static_cast<Wide>(1) << 53)) {
    std::uint64_t decimal = static_cast<std::uint64_t>(scaled >> shift);
    const Wide rest = scaled - (static_cast<Wide>(decimal) << shift);
    const Wide half = static_cast<Wide>(1) << (shift - 1);
    if (rest > half || (rest == half && (decimal & 1) != 0)) ++decimal;  // at most 2^53: exact
    return std::copysign(static_cast<double>(decimal) / static_cast<double>(kScale), value);
  }
  char digits[512];
  const auto written = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 12);
  if (written.ec != std::errc()) return value;
  double rounded = value;
  std::from_chars(digits, written.ptr, rounded);
  return rounded;
}

}  // namespace

PriceRates price_rates(PyObject* price) {
  const double input = price_field(price, g_input, 0.0);
  const double output = price_field(price, g_output, 0.0);
  const double cached_input = price_field(price, g_cached_input, input);
  const double cache_write = price_field(price, g_cache_write, input);
  return {input, output, cached_input, cache_write};
}

namespace {

// What Price.cost gives for these counts: the same sums in the same order,
// rounded to 12 places.
double cost_of(const PriceRates& rates, std::uint64_t input, std::uint64_t output, std::uint64_t cached,
               std::uint64_t written) {
  const std::uint64_t plain = input > cached + written ? input - cached - written : 0;
  const double usd = (static_cast<double>(plain) * rates.input + static_cast<double>(cached) * rates.cached_input +
                      static_cast<double>(written) * rates.cache_write + static_cast<double>(output) * rates.output) /
                     1'000'000;
  return checked_amount(round_to_12_places(usd), "cost");
}

// A token count as the span holds it (None: not reported).
std::optional<std::uint32_t> token_count(PyObject* obj, std::string_view param) {
  return optional_argument<as_u32>(obj, param);
}

// The tool calls the model asked for, as tool_call actions: each entry is a
// list [call_id, name, fragments] (the arguments in pieces).
void add_tool_calls(PyObject* span_obj, PyObject* tool_calls, bool capture) {
  Ref items = checked(PySequence_Fast(tool_calls, "tool_calls: expected an iterable"));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* entry = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyList_CheckExact(entry) || PyList_GET_SIZE(entry) != 3) raise(PyExc_TypeError, "tool call entry: expected [call_id, name, fragments]");
    Ref call_id = Ref::borrow(PyList_GET_ITEM(entry, 0));
    Ref name = Ref::borrow(PyList_GET_ITEM(entry, 1));
    std::optional<std::string> arguments;
    if (capture) arguments = joined(PyList_GET_ITEM(entry, 2));
    const std::string_view name_text = truthy(name.get()) ? as_text(name.get()) : std::string_view();
    const ActionFields fields{"tool_call",  name_text,    std::optional<std::string_view>(arguments),
                              std::nullopt, std::nullopt, std::nullopt};
    AgentAction action = make_action(fields);
    if (truthy(call_id.get())) action.metadata.insert_or_assign("gen_ai.tool.call.id", as_text(call_id.get()));
    borrow_exclusive<SpanClass>(span_obj)->add_agent_action(std::move(action));
  }
}

}  // namespace

void record_answer(PyObject* span_obj, const Answer& answer) {
  const bool capture = answer.capture;
  // In the order the answer's parts matter, each part read whole (what can
  // fail or run Python code first) before it is written: a value that fails
  // loses its part and those after it, never what came before.
  std::optional<std::string> response;
  if (answer.response != Py_None) response = capture ? joined(answer.response) : std::string();
  std::optional<std::string_view> model;
  if (truthy(answer.response_model)) model = argument<as_text>(answer.response_model, "response_model");
  std::optional<std::string_view> response_id;
  if (truthy(answer.response_id)) response_id = argument<as_text>(answer.response_id, "response_id");
  std::optional<std::string> reasons;
  if (truthy(answer.finish_reasons)) reasons = reasons_json(answer.finish_reasons);
  {
    const Exclusive<SpanClass> span = borrow_exclusive<SpanClass>(span_obj);
    TraceSpan& record = *span;
    if (response) record.finish_response(std::move(*response));
    if (model) record.tags.insert_or_assign(ShortText::of_static("gen_ai.response.model"), ShortText(*model));
    if (response_id) record.tags.insert_or_assign(ShortText::of_static("gen_ai.response.id"), ShortText(*response_id));
    if (reasons) record.tags.insert_or_assign(ShortText::of_static("gen_ai.response.finish_reasons"), ShortText(*reasons));
  }
  const auto input = token_count(answer.input_tokens, "input_tokens");
  const auto output = token_count(answer.output_tokens, "output_tokens");
  std::optional<double> cost;
  if ((input || output) && answer.price != Py_None) {
    const auto extra = [&](PyObject* obj, std::string_view param) {
      return obj == Py_None ? 0 : argument<as_u64>(obj, param);
    };
    const std::uint64_t cached = extra(answer.cached_tokens, "cached_tokens");
    const std::uint64_t written = extra(answer.cache_write_tokens, "cache_write_tokens");
    const PriceRates rates = answer.rates != nullptr ? *answer.rates : price_rates(answer.price);
    cost = cost_of(rates, input.value_or(0), output.value_or(0), cached, written);
  }
  if (input || output) {
    const Exclusive<SpanClass> span = borrow_exclusive<SpanClass>(span_obj);
    TraceSpan& record = *span;
    record.prompt_tokens = input;
    record.completion_tokens = output;
    record.total_tokens = input && output ? std::optional(std::uint64_t{*input} + *output) : std::nullopt;
    if (cost) record.estimated_cost_usd = *cost;
  }
  {
    // str() of an int runs no Python code, but the borrow is not held across it.
    Ref cached = Ref::borrow(answer.cached_tokens);
    Ref written = Ref::borrow(answer.cache_write_tokens);
    Ref reasoning = Ref::borrow(answer.reasoning_tokens);
    struct Count {
      ShortText::Literal key;
      PyObject* value;
    };
    const Count counts[] = {{"gen_ai.usage.cache_read.input_tokens", cached.get()},
                            {"gen_ai.usage.cache_creation.input_tokens", written.get()},
                            {"gen_ai.usage.reasoning.output_tokens", reasoning.get()}};
    for (const auto& [key, value] : counts) {
      if (value == Py_None) continue;
      // An exact int that fits is written here, as str() would write it.
      if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
          char digits[24];
          const char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
          borrow_exclusive<SpanClass>(span_obj)->tags.insert_or_assign(
              ShortText::of_static(key), ShortText(std::string_view(digits, static_cast<std::size_t>(end - digits))));
          continue;
        }
      }
      Ref text = checked(PyObject_Str(value));
      borrow_exclusive<SpanClass>(span_obj)->tags.insert_or_assign(ShortText::of_static(key), ShortText(as_text(text.get())));
    }
  }
  if (truthy(answer.tool_calls)) add_tool_calls(span_obj, answer.tool_calls, capture);
}

PyMethodDef genai_functions[] = {
    fastcall_method<kChatPrompt, chat_prompt, kChatPromptDoc>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvanta::py::native
