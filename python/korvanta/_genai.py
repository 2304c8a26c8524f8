# One traced LLM call on its span, whichever client made it: the request's
# messages in the GenAI conventions' shape, and what the answer brought so far.
from __future__ import annotations

import json
import logging
import time
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from . import _context, _native, _pipeline, _prices

log = logging.getLogger("korvanta")

_reported: set[str] = set()


def fault(kind: str, error: BaseException) -> None:
    """Logs a fault inside tracing; the traced call itself goes on.

    Each kind is logged once as a warning, with its traceback, then at debug
    level only: a fault that repeats on every call must not flood the log.
    """
    if kind in _reported:
        log.debug("tracing fault again (%s): %r", kind, error)
        return
    _reported.add(kind)
    log.warning("tracing fault while %s; the call goes on, partly traced: %r", kind, error, exc_info=error)


def _plain(value: Any) -> Any:
    # Messages built from the client's own response objects are pydantic models.
    dump = getattr(value, "model_dump", None)
    if dump is not None:
        return dump(mode="json", exclude_none=True)
    if isinstance(value, (bytes, bytearray)):
        return f"<{len(value)} bytes>"
    return str(value)


def _make_encoder() -> Callable[[Any], str]:
    # The C encoder, made once: json.dumps() with options builds an encoder per call,
    # which costs as much as encoding a short prompt. Prompts hold no cycles, so no
    # cycle check (a cycle ends in RecursionError, a tracing fault like any other).
    make = getattr(json.encoder, "c_make_encoder", None)
    if make is None:
        encoder = json.JSONEncoder(separators=(",", ":"), ensure_ascii=False, default=_plain)
        return encoder.encode
    iterate = make(None, _plain, json.encoder.encode_basestring, None, ":", ",", False, False, True)
    return lambda value: "".join(iterate(value, 0))


dumps: Callable[[Any], str] = _make_encoder()
dumps.__doc__ = """Compact JSON, non-ASCII text kept as it is."""

_encode_text: Callable[[str], str] = json.encoder.encode_basestring
# What the encoder escapes: control characters, the quote and the backslash.
_ESCAPED = bytes(range(32)) + b'"\\'


def _quoted(text: str) -> str:
    """How dumps() writes a string (quoted, escaped, non-ASCII kept).

    ASCII text with nothing to escape, most prompts' text, is only quoted:
    checked in two passes of bytes at a time, several times cheaper than the
    encoder's pass character by character.
    """
    if text.isascii():
        raw = text.encode("ascii")
        if len(raw.translate(None, _ESCAPED)) == len(raw):
            return '"' + text + '"'
    return _encode_text(text)


def text_message_json(role: str, content: str) -> str:
    """``dumps(message(role, [text_part(content)]))``, without building the dicts first.

    Most prompts are such messages; written directly they cost a fraction of
    the conversion and encoding of the general path.
    """
    return '{"role":' + _quoted(role) + ',"parts":[{"type":"text","content":' + _quoted(content) + "}]}"


def field(item: Any, key: str) -> Any:
    """A key of a request dict, or the attribute of an object passed in its place."""
    if type(item) is dict:
        return item.get(key)
    if isinstance(item, Mapping):
        return item.get(key)
    return getattr(item, key, None)


def arguments_value(arguments: Any) -> Any:
    """Tool call arguments as the conventions carry them: the parsed object when they are JSON."""
    if isinstance(arguments, str):
        try:
            return json.loads(arguments)
        except ValueError:
            return arguments
    return arguments


def text_part(content: str) -> dict[str, Any]:
    return {"type": "text", "content": content}


def tool_call_part(call_id: Any, name: Any, arguments: Any) -> dict[str, Any]:
    return {"type": "tool_call", "id": call_id, "name": name, "arguments": arguments_value(arguments)}


def tool_response_part(call_id: Any, response: Any) -> dict[str, Any]:
    return {"type": "tool_call_response", "id": call_id, "response": response}


def media_part(modality: str, *, uri: str | None = None, mime_type: str | None = None) -> dict[str, Any]:
    """An image or file part: its address, never its inline bytes (a prompt is no place for megabytes)."""
    if uri is not None and not uri.startswith("data:"):
        return {"type": "uri", "modality": modality, "uri": uri}
    if uri is not None:
        mime_type = uri[5:].partition(";")[0] or None
    part: dict[str, Any] = {"type": "blob", "modality": modality}
    if mime_type:
        part["mime_type"] = mime_type
    return part


def message(role: Any, parts: list[dict[str, Any]]) -> dict[str, Any]:
    return {"role": role, "parts": parts}


def error_status(error: BaseException) -> int | None:
    """The HTTP status of a provider's status error; timeouts and connection errors have none."""
    status = getattr(error, "status_code", None)
    return status if type(status) is int and 0 <= status <= 65535 else None


class _ToolCall:
    __slots__ = ("call_id", "name", "fragments")

    def __init__(self, call_id: str | None, name: str | None) -> None:
        self.call_id = call_id
        self.name = name
        self.fragments: list[str] = []


_start_span = _native.start_span
_record_answer = _native.record_answer
_current = _context.current
_tags = _context.tags


class Call:
    """The span of one call, and what its answer has brought so far.

    Whatever ends the call first (the answer read, an error, the stream
    exhausted, closed or collected) ends the span; later endings do nothing.
    """

    __slots__ = (
        "span", "provider", "request_model", "capture", "started_ns", "first_token_seen", "ended", "failed",
        "text", "tool_calls", "response_model", "response_id", "finish_reasons", "input_tokens",
        "output_tokens", "cached_tokens", "cache_write_tokens", "reasoning_tokens", "hide_usage_chunk",
        "pending", "reader", "prompt_source",
    )

    def __init__(self, operation: str, provider: str, model: str, tracer: Any, capture: bool | None) -> None:
        self.started_ns = time.perf_counter_ns()
        # korvanta.span's start (a child of the current span, with the enclosing attributes' tags), inline:
        # it runs on every call.
        span = self.span = _start_span(tracer, operation, provider, model, _current.get(), _pipeline._state.tracer)
        inherited = _tags.get()
        if inherited:
            for key, value in inherited.items():
                span.add_tag(key, value)
        self.provider = provider
        self.request_model = model
        self.capture = bool(_pipeline._state.capture_content if capture is None else capture)
        self.first_token_seen = False
        self.ended = False
        self.failed = False
        self.text: list[str] = []
        self.tool_calls: dict[Any, _ToolCall] = {}
        self.response_model: str | None = None
        self.response_id: str | None = None
        self.finish_reasons: list[str] = []
        self.input_tokens: int | None = None
        self.output_tokens: int | None = None
        self.cached_tokens: int | None = None
        self.cache_write_tokens: int | None = None
        self.reasoning_tokens: int | None = None
        self.hide_usage_chunk = False
        # Streamed items after the first token, read in batches (see drain).
        self.pending: list[Any] = []
        self.reader: Callable[[Call, list[Any]], None] | None = None
        self.prompt_source: tuple[Callable[[Any], str], Any, Any] | None = None

    # -- the request -------------------------------------------------------

    def record_prompt(self, prompt: Callable[[Any], str], request: Any, tools: Any = None) -> None:
        """Notes how to record the request's messages (`prompt(request)` gives their JSON) and tool
        definitions, when content is captured.

        They are converted when the call ends, with the answer: the request
        body is the client's own copy, and one burst of work after the call
        costs less than two around it.
        """
        if self.capture:
            self.prompt_source = (prompt, request, tools)

    def _record_prompt(self, span: Any) -> None:
        prompt, request, tools = self.prompt_source  # type: ignore[misc]
        self.prompt_source = None
        try:
            span.set_prompt(prompt(request))
            if tools:
                span.add_tag("gen_ai.tool.definitions", dumps(list(tools) if not isinstance(tools, list) else tools))
        except Exception as error:
            fault("recording the prompt", error)

    # -- the answer --------------------------------------------------------

    def first_token(self) -> None:
        if not self.first_token_seen:
            self.first_token_seen = True
            self.span.set_ttft_ms((time.perf_counter_ns() - self.started_ns) // 1_000_000)

    def tool_call(self, key: Any, call_id: str | None, name: str | None, arguments: str | None) -> None:
        """Adds to the tool call at `key`: its id and name when they come, its arguments in fragments."""
        call = self.tool_calls.get(key)
        if call is None:
            call = self.tool_calls[key] = _ToolCall(call_id, name)
        else:
            if call_id:
                call.call_id = call_id
            if name and not call.name:  # some servers repeat the name in every delta
                call.name = name
        if arguments:
            call.fragments.append(arguments)

    def complete_tool_call(self, key: Any, call_id: str | None, name: str | None, arguments: str | None) -> None:
        """Replaces the tool call at `key` with its final form."""
        call = self.tool_calls[key] = _ToolCall(call_id, name)
        if arguments:
            call.fragments.append(arguments)

    def usage(self, *, input_tokens: Any = None, output_tokens: Any = None, cached_tokens: Any = None,
              cache_write_tokens: Any = None, reasoning_tokens: Any = None) -> None:
        """Merges counts: a count that an update lacks (or reports as 0 over a known one) stays as it was."""
        if type(input_tokens) is int and (input_tokens or self.input_tokens is None):
            self.input_tokens = input_tokens
        if type(output_tokens) is int and (output_tokens or self.output_tokens is None):
            self.output_tokens = output_tokens
        if type(cached_tokens) is int and (cached_tokens or self.cached_tokens is None):
            self.cached_tokens = cached_tokens
        if type(cache_write_tokens) is int and (cache_write_tokens or self.cache_write_tokens is None):
            self.cache_write_tokens = cache_write_tokens
        if type(reasoning_tokens) is int and (reasoning_tokens or self.reasoning_tokens is None):
            self.reasoning_tokens = reasoning_tokens

    def drain(self) -> None:
        """Reads the streamed items put aside since the last drain.

        Once the first token is timed, items are only put aside as they pass
        and read here in one go: interleaved with the client's own parsing, the
        reading code would run with cold caches, at several times the cost.
        """
        pending = self.pending
        if pending and self.reader is not None:
            self.pending = []
            try:
                self.reader(self, pending)
            except Exception as error:
                fault("reading a streamed item", error)

    # -- the end -----------------------------------------------------------

    def fail(self, error: BaseException) -> None:
        """Records the error that ended the call, then ends the span."""
        if self.ended:
            return
        try:
            self.failed = True
            if self.prompt_source is not None:
                self._record_prompt(self.span)
            self.span.set_error(f"{type(error).__name__}: {error}", error_status(error))
        except Exception as inner:
            fault("recording an error", inner)
        self.end()

    def end(self) -> None:
        if self.ended:
            return
        if self.pending:
            self.drain()
        self.ended = True
        span = self.span
        if self.prompt_source is not None:
            self._record_prompt(span)
        try:
            input_tokens, output_tokens = self.input_tokens, self.output_tokens
            price = None
            if input_tokens is not None or output_tokens is not None:
                price = _prices.price_for(self.provider, self.response_model, self.request_model)
            _record_answer(span, None if self.failed else self.text, self.response_model, self.response_id,
                           self.finish_reasons, input_tokens, output_tokens, self.cached_tokens,
                           self.cache_write_tokens, self.reasoning_tokens, price, self.tool_calls.values(),
                           self.capture)
        except Exception as error:
            fault("recording the answer", error)
        try:
            _pipeline.hand_over(span)
        except Exception as error:
            fault("ending a span", error)


def joined_text(blocks: Iterable[Any], text_types: tuple[str, ...] = ("text",)) -> str:
    """The text of a list of content blocks, as one string."""
    return "".join(field(block, "text") or "" for block in blocks if field(block, "type") in text_types)
