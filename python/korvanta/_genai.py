# One traced LLM call on its span, whichever client made it: the request's
# messages in the GenAI conventions' shape, and what the answer brought so far.
from __future__ import annotations

import json
import logging
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from . import _native, _prices

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


# The span of one call and what its answer has brought so far (see korvanta._native.Call):
# Call(operation, provider, model, tracer, capture) starts the span as a child of
# the current one; the routes fill it; end() or fail(error) records and hands it over.
Call = _native.Call
_native.bind_calls(fault, _prices.price_for, dumps)


def joined_text(blocks: Iterable[Any], text_types: tuple[str, ...] = ("text",)) -> str:
    """The text of a list of content blocks, as one string."""
    return "".join(field(block, "text") or "" for block in blocks if field(block, "type") in text_types)
