# Automatic tracing of OpenAI clients (and Azure's): chat completions, the
# Responses API and embeddings, streamed or not, each call one span.
from __future__ import annotations

import functools
import json
import json.scanner
import re
import sys
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, TypeVar

from . import _clienthook, _native
from ._clienthook import ClientState
from ._genai import (
    Call, dumps, fault, field, joined_text, media_part, message, text_part, tool_call_part,
    tool_response_part,
)

if TYPE_CHECKING:
    import openai

    from korvanta_python import DURUraTracer

__all__ = ["wrap_openai"]

C = TypeVar("C", bound="openai.OpenAI | openai.AsyncOpenAI")

# Operation names follow the GenAI conventions. A Responses API call takes a
# conversation and answers with a message, so it is a `chat` like a chat
# completion (`generate_content` is the conventions' name for multimodal
# content generation APIs); the tag `gen_ai.openai.api` tells the two apart.
CHAT = "chat"
EMBEDDINGS = "embeddings"
_STREAM_OPTIONS = "stream_options"


def _content_parts(content: Any) -> list[dict[str, Any]]:
    """A chat message's content (text, or a list of typed parts) as GenAI parts."""
    if content is None:
        return []
    if isinstance(content, str):
        return [text_part(content)]
    parts: list[dict[str, Any]] = []
    for part in content:
        kind = field(part, "type")
        if kind in ("text", "input_text", "output_text"):
            parts.append(text_part(field(part, "text") or ""))
        elif kind == "refusal":
            parts.append(text_part(field(part, "refusal") or ""))
        elif kind in ("image_url", "input_image"):
            image = field(part, "image_url")
            url = field(image, "url") if image is not None and not isinstance(image, str) else image
            parts.append(media_part("image", uri=url) if url else {"type": "file", "modality": "image",
                                                                      "file_id": field(part, "file_id")})
        elif kind in ("input_audio",):
            parts.append(media_part("audio", mime_type=f"audio/{field(field(part, 'input_audio'), 'format')}"))
        else:
            parts.append({"type": kind})
    return parts


def chat_messages(messages: Iterable[Any] | None) -> list[dict[str, Any]]:
    """Chat completion messages (system, developer, user, assistant, tool) as GenAI input messages."""
    return [_chat_message(item) for item in messages or ()]


def _message_json(item: Any) -> str:
    return dumps(_chat_message(item))


# chat_prompt(messages) is dumps(chat_messages(messages)): messages of a role and
# text written natively, the others converted. A partial: no Python frame per call.
chat_prompt: Callable[[Iterable[Any] | None], str] = functools.partial(_native.chat_prompt, _message_json)


def _chat_message(item: Any) -> dict[str, Any]:
    role = field(item, "role")
    if role == "tool":
        content = field(item, "content")
        response = content if isinstance(content, str) else joined_text(content or ())
        return message("tool", [tool_response_part(field(item, "tool_call_id"), response)])
    if role == "function":  # the calls' predecessor, answered by name
        return message("tool", [tool_response_part(field(item, "name"), field(item, "content"))])
    parts = _content_parts(field(item, "content"))
    if role == "assistant":
        refusal = field(item, "refusal")
        if refusal:
            parts.append(text_part(refusal))
        for call in field(item, "tool_calls") or ():
            function = field(call, "function")
            if function is not None:
                parts.append(tool_call_part(field(call, "id"), field(function, "name"),
                                            field(function, "arguments")))
        function_call = field(item, "function_call")
        if function_call is not None:
            parts.append(tool_call_part(None, field(function_call, "name"), field(function_call, "arguments")))
    return message(role, parts)


def responses_messages(instructions: Any, items: Any) -> list[dict[str, Any]]:
    """A Responses API request's `instructions` and `input` as GenAI input messages."""
    converted = []
    if instructions:
        converted.append(message("system", [text_part(instructions)]))
    if isinstance(items, str):
        converted.append(message("user", [text_part(items)]))
        return converted
    for item in items or ():
        kind = field(item, "type")
        if kind == "function_call":
            part = tool_call_part(field(item, "call_id"), field(item, "name"), field(item, "arguments"))
            converted.append(message("assistant", [part]))
        elif kind == "function_call_output":
            output = field(item, "output")
            if not isinstance(output, str):
                output = joined_text(output or (), ("input_text", "output_text", "text"))
            converted.append(message("tool", [tool_response_part(field(item, "call_id"), output)]))
        elif kind in (None, "message"):
            converted.append(message(field(item, "role") or "user", _content_parts(field(item, "content"))))
        else:  # reasoning items, item references, built-in tool calls
            converted.append(message(field(item, "role") or "assistant", [{"type": kind}]))
    return converted


def _responses_prompt(body: dict[str, Any]) -> str:
    return dumps(responses_messages(body.get("instructions"), body.get("input")))


def _embeddings_prompt(inputs: Any) -> str:
    return dumps(embedding_messages(inputs))


def embedding_messages(inputs: Any) -> list[dict[str, Any]]:
    if isinstance(inputs, str):
        inputs = [inputs]
    # Token arrays are not text: they are counted, not recorded.
    return [message("user", [text_part(text) for text in inputs or () if isinstance(text, str)])]


def _body(options: Any) -> dict[str, Any]:
    body = options.json_data
    return body if isinstance(body, dict) else {}


def _start(state: ClientState, operation: str, body: dict[str, Any], api: str) -> Call:
    model = body.get("model")
    call = Call(operation, state.provider, model if isinstance(model, str) else "", state.tracer, state.capture)
    call.span.add_tag("gen_ai.openai.api", api)
    return call


def _responses_usage(call: Call, usage: Any) -> None:
    if usage is None:
        return
    prompt = getattr(usage, "input_tokens_details", None)
    output = getattr(usage, "output_tokens_details", None)
    call.usage(input_tokens=getattr(usage, "input_tokens", None),
               output_tokens=getattr(usage, "output_tokens", None),
               cached_tokens=getattr(prompt, "cached_tokens", None) if prompt is not None else None,
               reasoning_tokens=getattr(output, "reasoning_tokens", None) if output is not None else None)


def _refuses_stream_options(call: Call, error: BaseException) -> bool:
    # An OpenAI-compatible server that does not know the option answers 400 and names it.
    return call.hide_usage_chunk and getattr(error, "status_code", None) == 400 and _STREAM_OPTIONS in str(error)


# The json module's scanner (its C one where there is one): scan(text, 0) -> (value, end).
_JSON_SCAN = json.scanner.make_scanner(json.JSONDecoder())  # type: ignore[arg-type]  # the stub names its own class


def _stream_tap(decoder_class: type | None, event_class: type | None) -> Callable[[Any, Call], bool]:
    # The one native step that traces a sync chat stream (see _ChatCompletions);
    # given the client's decoder and event classes, a stream whose decoder is
    # of that class has its events read natively.
    return functools.partial(_native.trace_chat_stream, fault, _JSON_SCAN, decoder_class, event_class)


class _ChatCompletions:
    # Every call is opened from its request and (unless streamed) read from
    # the client's model of the completion: both native, as Route.open and
    # Route.record ask. open asks for stream usage when the caller did not,
    # setting the per-call options' body in place and hiding the usage chunk
    # from the caller.
    open = staticmethod(functools.partial(_native.chat_open, _message_json))
    record = staticmethod(_native.chat_record)
    # A sync stream is traced in one native step: what streaming() below and
    # trace_stream do, set at once. Async streams take the general path.
    # Until a client is wrapped (_read_events_natively), the client's event
    # classes are not known and its decoder reads the events.
    tap_stream = staticmethod(_stream_tap(None, None))
    # Each chunk read natively from the client's model of it.
    chunk = staticmethod(_native.chat_chunk)

    refused = staticmethod(_refuses_stream_options)

    @staticmethod
    def raw_stream(call: Call, raw: Any) -> None:
        # The caller may read the stream's bytes themselves (iter_lines(),
        # read()) rather than parse() them: the usage chunk only tracing
        # asked for is cut from the response's byte stream, under them all.
        if call.hide_usage_chunk:
            _hide_usage_chunk_in_bytes(raw.http_response, call)


    @staticmethod
    def streaming(state: ClientState, call: Call, stream: Any) -> bool:
        # The stream reads its events through its decoder once the caller
        # starts iterating: after this point. Its items are read by chunk.
        if call.hide_usage_chunk:
            vars(stream)["_decoder"] = _UsageHidingDecoder(vars(stream)["_decoder"], call)
        return False


class _Responses:
    def open(self, state: ClientState, options: Any, stream: bool) -> tuple[Call, Any]:
        body = _body(options)
        call = _start(state, CHAT, body, "responses")
        call.record_prompt(_responses_prompt, body, body.get("tools"))
        return call, None

    def record(self, call: Call, response: Any) -> None:
        call.response_model = response.model
        call.response_id = response.id
        texts = []
        for index, item in enumerate(response.output or ()):
            kind = item.type
            if kind == "message":
                for part in item.content or ():
                    text = getattr(part, "text", None) or getattr(part, "refusal", None)
                    if text:
                        texts.append(text)
            elif kind == "function_call":
                call.complete_tool_call(index, item.call_id, item.name, item.arguments)
        # The response's own text stands for the streamed pieces; a failed
        # stream's response holds none, and what arrived stays.
        if texts:
            call.text[:] = texts
        status = getattr(response, "status", None)
        if status:
            call.finish_reasons.append(status)
        _responses_usage(call, response.usage)

    def chunk(self, call: Call, event: Any) -> bool:
        kind = event.type
        if kind == "response.output_text.delta" or kind == "response.refusal.delta":
            call.first_token()
            call.text.append(event.delta)
        elif kind == "response.function_call_arguments.delta":
            call.first_token()
            call.tool_call(event.output_index, None, None, event.delta)
        elif kind == "response.output_item.added" or kind == "response.output_item.done":
            item = event.item
            if item.type == "function_call":
                call.first_token()
                if kind == "response.output_item.done":
                    call.complete_tool_call(event.output_index, item.call_id, item.name, item.arguments)
                else:
                    call.tool_call(event.output_index, item.call_id, item.name, item.arguments)
        elif kind in ("response.completed", "response.incomplete", "response.failed"):
            self.record(call, event.response)
        elif kind == "response.created":
            call.response_model = event.response.model
            call.response_id = event.response.id
        return True

    @staticmethod
    def refused(call: Call, error: BaseException) -> bool:
        return False

    @staticmethod
    def streaming(state: ClientState, call: Call, stream: Any) -> bool:
        return False


class _Embeddings:
    def open(self, state: ClientState, options: Any, stream: bool) -> tuple[Call, Any]:
        body = _body(options)
        call = _start(state, EMBEDDINGS, body, "embeddings")
        call.record_prompt(_embeddings_prompt, body.get("input"))
        return call, None

    def record(self, call: Call, result: Any) -> None:
        call.response_model = result.model
        data = result.data
        if data and isinstance(data[0].embedding, list):
            call.span.add_tag("gen_ai.embeddings.dimension.count", str(len(data[0].embedding)))
        usage = result.usage
        if usage is not None:
            call.usage(input_tokens=usage.prompt_tokens)

    def chunk(self, call: Call, item: Any) -> bool:
        return True

    @staticmethod
    def refused(call: Call, error: BaseException) -> bool:
        return False

    @staticmethod
    def streaming(state: ClientState, call: Call, stream: Any) -> bool:
        return False


class _UsageHidingDecoder:
    """A stream's event decoder that keeps back the usage chunk only tracing asked for.

    The usage chunk is read from its JSON here, so the client never decodes
    it or builds the ChatCompletionChunk nobody would see (that costs more
    than all the rest of tracing a stream) and no per-chunk hook sees it. A
    sync stream has it cut out of the response's bytes, natively; an async
    one has it taken out of the decoded events. Every other event passes as
    the client's own decoder makes it.
    """

    __slots__ = ("decoder", "call")

    def __init__(self, decoder: Any, call: Call) -> None:
        self.decoder = decoder
        self.call = call

    def iter_bytes(self, iterator: Any) -> Any:
        # The chunk is cut out of the response's bytes: the client never decodes it.
        return self.decoder.iter_bytes(_native.without_usage_chunk(iterator, self.call, _JSON_SCAN))

    async def aiter_bytes(self, iterator: Any) -> Any:
        call = self.call
        async for event in self.decoder.aiter_bytes(iterator):
            data = event.data
            # "[]": the usage chunk's empty choices, a cheap test that nearly every text chunk fails.
            if "[]" in data and _read_usage_event(call, data):
                continue
            yield event

    def __getattr__(self, name: str) -> Any:  # anything else the client asks of its decoder
        return getattr(self.decoder, name)


def _read_usage_event(call: Call, data: str) -> bool:
    """Whether an event's data is a usage-only chunk; its counts are recorded on `call` if so."""
    return _native.take_usage_chunk(call, data, _JSON_SCAN)


def _hide_usage_chunk_in_bytes(response: Any, call: Call) -> None:
    """Replaces an HTTP response's byte stream by one without the usage chunk only tracing asked for.

    The stream stays an instance of the client's HTTP library's stream base,
    which the response checks. A response of a library that names no such
    base is left as it is.
    """
    if response.headers.get("content-encoding", "identity").lower() not in ("", "identity"):
        return  # compressed: the stream's bytes are not the events (parse() still hides the chunk)
    library = sys.modules.get(type(response).__module__)
    stream = response.stream
    for base, make in ((getattr(library, "SyncByteStream", None), _sync_usage_filter),
                       (getattr(library, "AsyncByteStream", None), _async_usage_filter)):
        if isinstance(base, type) and isinstance(stream, base):
            response.stream = make(base)(stream, call)
            return


class _UsageFiltered:
    """What the usage-filtering byte streams below hold: the stream they read, and the call."""

    def __init__(self, stream: Any, call: Call) -> None:
        self.stream = stream
        self.call = call


@functools.cache
def _sync_usage_filter(base: type) -> type:
    class UsageFilteredStream(_UsageFiltered, base):  # type: ignore[misc]
        def __iter__(self) -> Any:
            return iter(_native.without_usage_chunk(iter(self.stream), self.call, _JSON_SCAN))

        def close(self) -> None:
            self.stream.close()

    return UsageFilteredStream


@functools.cache
def _async_usage_filter(base: type) -> type:
    class UsageFilteredStream(_UsageFiltered, base):  # type: ignore[misc]
        async def __aiter__(self) -> Any:
            async for piece in _without_usage_chunk_async(self.stream, self.call):
                yield piece

        async def aclose(self) -> None:
            await self.stream.aclose()

    return UsageFilteredStream


# The end of a server-sent event: a blank line, lines ending in CRLF, LF or CR.
_EVENT_END = re.compile(rb"(?:\r\n|\n|\r(?!\n))(?:\r\n|\n|\r(?!\n))")
_LINE_END = re.compile(r"\r\n|\n|\r")
# Past this, held bytes that end no event are passed on: a stream not framed as expected is not held back.
_MAX_HELD = 1 << 20


async def _without_usage_chunk_async(pieces: Any, call: Call) -> Any:
    """As _native.without_usage_chunk, for bytes that arrive asynchronously."""
    held = b""
    async for piece in pieces:
        held += piece
        kept, start = [], 0
        for end in _EVENT_END.finditer(held):
            if end.end() == len(held) and held.endswith(b"\r"):
                break  # a last CR may be the first half of a CRLF
            event = held[start:end.end()]
            start = end.end()
            if b"[]" in event and b'"usage"' in event and _read_usage_event(call, _event_data(event)):
                continue
            kept.append(event)
        held = held[start:]
        if len(held) > _MAX_HELD:
            kept.append(held)
            held = b""
        if kept:
            yield b"".join(kept)
    if held:
        yield held


def _event_data(event: bytes) -> str:
    lines = _LINE_END.split(event.decode("utf-8", "replace"))
    return "\n".join(line[5:].removeprefix(" ") for line in lines if line.startswith("data:"))


def _decoder_replaceable(*stream_types: type) -> bool:
    # Streams read their events through the decoder they hold; a client whose
    # streams do not cannot have the usage chunk kept back, so it is not asked for.
    return all("_decoder" in getattr(kind, "__annotations__", {}) for kind in stream_types)


_ROUTES: dict[str, Any] = {
    "/chat/completions": _ChatCompletions(),
    "/responses": _Responses(),
    "/embeddings": _Embeddings(),
}
# The native request hook opens and records this route's whole answers
# itself, as its open and record above do.
_native.set_chat_route(_ROUTES["/chat/completions"], _message_json)


def wrap_openai(client: C, *, tracer: DURUraTracer | None = None, capture_content: bool | None = None) -> C:
    """Traces the calls of an OpenAI client, in place, and returns the same client.

    Works for ``openai.OpenAI``, ``openai.AsyncOpenAI`` and their Azure
    forms. Each ``chat.completions.create``, ``responses.create`` and
    ``embeddings.create`` call (streamed or not, also through
    ``with_raw_response`` / ``with_streaming_response`` and on clients made
    by ``with_options`` or ``copy``) becomes one span, a child of the current
    ``korvanta.span``. The client keeps its type and every attribute; wrapping
    it again changes nothing.

    Args:
        client: the client to trace.
        tracer: the tracer that starts the spans; the package's default when omitted.
        capture_content: record prompts, answers and tool arguments; when
            ``None``, as set by ``korvanta.setup(capture_content=...)``.

    >>> client = korvanta.wrap_openai(openai.OpenAI())                          # doctest: +SKIP
    >>> with korvanta.span("answer"):                                           # doctest: +SKIP
    ...     client.chat.completions.create(model="gpt-4o-mini", messages=[...])

    Raises:
        TypeError: ``client`` is not an OpenAI client.
    """
    import openai

    if not isinstance(client, (openai.OpenAI, openai.AsyncOpenAI)):
        raise TypeError(f"wrap_openai() takes an openai.OpenAI or openai.AsyncOpenAI client, "
                        f"not {type(client).__qualname__}")
    if _clienthook.is_traced(client):
        return client
    azure = isinstance(client, (openai.AzureOpenAI, openai.AsyncAzureOpenAI))
    streams = (openai.Stream, openai.AsyncStream)
    state = ClientState(_ROUTES, "azure_openai" if azure else "openai", tracer, capture_content, streams)
    state.stream_usage = _decoder_replaceable(*streams)
    _read_events_natively()
    _clienthook.install(client, state)
    return client


def _read_events_natively() -> None:
    # A traced sync chat stream whose decoder is the client's own SSEDecoder
    # has its events made natively, as that decoder makes them (its Python
    # line-by-line reading costs several microseconds an event); any other
    # decoder reads them itself.
    from openai import _streaming

    decoder, event = getattr(_streaming, "SSEDecoder", None), getattr(_streaming, "ServerSentEvent", None)
    if isinstance(decoder, type) and isinstance(event, type):
        _ChatCompletions.tap_stream = staticmethod(_stream_tap(decoder, event))
