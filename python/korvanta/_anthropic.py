# Automatic tracing of Anthropic clients: messages.create, streamed or not,
# and messages.stream(), each call one span.
from __future__ import annotations

from typing import TYPE_CHECKING, Any, TypeVar

from . import _clienthook
from ._clienthook import ClientState
from ._genai import (
    Call, dumps, field, joined_text, media_part, message, text_message_json, text_part, tool_call_part,
    tool_response_part,
)

if TYPE_CHECKING:
    import anthropic

    from korvanta_python import DURUraTracer

__all__ = ["wrap_anthropic"]

A = TypeVar("A", bound="anthropic.Anthropic | anthropic.AsyncAnthropic")

CHAT = "chat"
_TOOL_USES = ("tool_use", "server_tool_use")


def _parts(content: Any) -> list[dict[str, Any]]:
    """A message's content (text, or a list of content blocks) as GenAI parts."""
    if isinstance(content, str):
        return [text_part(content)]
    parts: list[dict[str, Any]] = []
    for block in content or ():
        kind = field(block, "type")
        if kind == "text":
            parts.append(text_part(field(block, "text") or ""))
        elif kind in _TOOL_USES:
            parts.append(tool_call_part(field(block, "id"), field(block, "name"), field(block, "input")))
        elif kind == "tool_result":
            result = field(block, "content")
            response = result if isinstance(result, str) or result is None else joined_text(result)
            parts.append(tool_response_part(field(block, "tool_use_id"), response))
        elif kind == "thinking":
            parts.append({"type": "reasoning", "content": field(block, "thinking") or ""})
        elif kind in ("image", "document"):
            source = field(block, "source")
            modality = "image" if kind == "image" else "document"
            if field(source, "type") == "url":
                parts.append(media_part(modality, uri=field(source, "url")))
            else:
                parts.append(media_part(modality, mime_type=field(source, "media_type")))
        else:
            parts.append({"type": kind})
    return parts


def anthropic_messages(system: Any, messages: Any) -> list[dict[str, Any]]:
    """A Messages API request's `system` and `messages` as GenAI input messages.

    A user turn that only answers tool calls is a `tool` message, as the
    conventions name it for every provider.
    """
    converted = [_system_message(system)] if system else []
    converted.extend(_message(item) for item in messages or ())
    return converted


def anthropic_prompt(system: Any, messages: Any) -> str:
    """``dumps(anthropic_messages(system, messages))``, messages of plain text written without the conversion."""
    pieces = []
    if system:
        pieces.append(text_message_json("system", system) if type(system) is str else dumps(_system_message(system)))
    for item in messages or ():
        if type(item) is dict:
            role = item.get("role")
            content = item.get("content")
            if type(content) is str and type(role) is str:
                pieces.append(text_message_json(role, content))
                continue
        pieces.append(dumps(_message(item)))
    return "[" + ",".join(pieces) + "]"


def _system_message(system: Any) -> dict[str, Any]:
    # A list of blocks keeps each block a part of its own, as a message's content does.
    return message("system", [text_part(system)] if isinstance(system, str) else _parts(system))


def _message(item: Any) -> dict[str, Any]:
    parts = _parts(field(item, "content"))
    role = field(item, "role")
    if role == "user" and parts and all(part["type"] == "tool_call_response" for part in parts):
        role = "tool"
    return message(role, parts)


def _usage(call: Call, usage: Any) -> None:
    if usage is None:
        return
    uncached = getattr(usage, "input_tokens", None)
    cached = getattr(usage, "cache_read_input_tokens", None)
    written = getattr(usage, "cache_creation_input_tokens", None)
    details = getattr(usage, "output_tokens_details", None)
    thinking = getattr(details, "thinking_tokens", None) if details is not None else None
    # Anthropic counts cache reads and writes apart from input_tokens; the
    # span's prompt tokens are all the input, as the conventions count it. A
    # stream's later usage may repeat input_tokens without the cache counts
    # its start gave: those still count.
    total = None
    if type(uncached) is int:
        if type(cached) is not int and type(call.cached_tokens) is int:
            cached = call.cached_tokens
        if type(written) is not int and type(call.cache_write_tokens) is int:
            written = call.cache_write_tokens
        total = uncached + (cached if type(cached) is int else 0) + (written if type(written) is int else 0)
    call.usage(input_tokens=total, output_tokens=getattr(usage, "output_tokens", None), cached_tokens=cached,
               cache_write_tokens=written, reasoning_tokens=thinking)


def _arguments(value: Any) -> str:
    return value if isinstance(value, str) else dumps(value if value is not None else {})


def _prompt_of(body: dict[str, Any]) -> str:
    return anthropic_prompt(body.get("system"), body.get("messages"))


class _Messages:
    def open(self, state: ClientState, options: Any, stream: bool) -> tuple[Call, Any]:
        body = options.json_data if isinstance(options.json_data, dict) else {}
        model = body.get("model")
        call = Call(CHAT, state.provider, model if isinstance(model, str) else "", state.tracer, state.capture)
        call.record_prompt(_prompt_of, body, body.get("tools"))
        return call, None

    def record(self, call: Call, reply: Any) -> None:
        call.response_model = reply.model
        call.response_id = reply.id
        for index, block in enumerate(reply.content or ()):
            kind = block.type
            if kind == "text":
                call.text.append(block.text)
            elif kind in _TOOL_USES:
                call.complete_tool_call(index, block.id, block.name, _arguments(block.input))
        if reply.stop_reason:
            call.finish_reasons.append(reply.stop_reason)
        _usage(call, reply.usage)

    def chunk(self, call: Call, event: Any) -> bool:
        kind = event.type
        if kind == "content_block_delta":
            delta = event.delta
            delta_kind = delta.type
            if delta_kind == "text_delta":
                call.first_token()
                call.text.append(delta.text)
            elif delta_kind == "input_json_delta":
                call.first_token()
                call.tool_call(event.index, None, None, delta.partial_json)
            elif delta_kind == "thinking_delta":
                call.first_token()
        elif kind == "content_block_start":
            block = event.content_block
            if block.type in _TOOL_USES:
                call.first_token()
                given = getattr(block, "input", None)  # usually empty: the deltas bring it
                call.tool_call(event.index, block.id, block.name, _arguments(given) if given else None)
            elif block.type == "text" and block.text:
                call.first_token()
                call.text.append(block.text)
        elif kind == "content_block_stop":
            # A tool call that no delta gave arguments: the client's input is
            # then the empty object it started with.
            entry = call.tool_calls.get(event.index)
            if entry is not None and not entry[2]:
                entry[2].append("{}")
        elif kind == "message_start":
            started = event.message
            call.response_model = started.model
            call.response_id = started.id
            _usage(call, started.usage)
        elif kind == "message_delta":
            # Output tokens arrive here, input tokens came with message_start:
            # merged, so neither count overwrites the other.
            if event.delta.stop_reason:
                call.finish_reasons.append(event.delta.stop_reason)
            _usage(call, event.usage)
        return True

    @staticmethod
    def refused(call: Call, error: BaseException) -> bool:
        return False

    @staticmethod
    def streaming(state: ClientState, call: Call, stream: Any) -> bool:
        return False


_ROUTES: dict[str, Any] = {"/v1/messages": _Messages()}


def wrap_anthropic(client: A, *, tracer: DURUraTracer | None = None, capture_content: bool | None = None) -> A:
    """Traces the calls of an Anthropic client, in place, and returns the same client.

    Works for ``anthropic.Anthropic`` and ``anthropic.AsyncAnthropic``. Each
    ``messages.create`` call (streamed or not) and each ``messages.stream()``
    (also through ``with_raw_response`` / ``with_streaming_response`` and on
    clients made by ``with_options`` or ``copy``) becomes one span, a child
    of the current ``korvanta.span``. The client keeps its type and every
    attribute; wrapping it again changes nothing.

    Args:
        client: the client to trace.
        tracer: the tracer that starts the spans; the package's default when omitted.
        capture_content: record prompts, answers and tool arguments; when
            ``None``, as set by ``korvanta.setup(capture_content=...)``.

    >>> client = korvanta.wrap_anthropic(anthropic.Anthropic())                 # doctest: +SKIP
    >>> with client.messages.stream(model="claude-sonnet-4-5", max_tokens=512,
    ...                             messages=[...]) as stream:                   # doctest: +SKIP
    ...     print(stream.get_final_text())

    Raises:
        TypeError: ``client`` is not an Anthropic client.
    """
    import anthropic

    if not isinstance(client, (anthropic.Anthropic, anthropic.AsyncAnthropic)):
        raise TypeError(f"wrap_anthropic() takes an anthropic.Anthropic or anthropic.AsyncAnthropic client, "
                        f"not {type(client).__qualname__}")
    if _clienthook.is_traced(client):
        return client
    state = ClientState(_ROUTES, "anthropic", tracer, capture_content, (anthropic.Stream, anthropic.AsyncStream))
    _clienthook.install(client, state)
    return client
