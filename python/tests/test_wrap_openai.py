# korvanta.wrap_openai: real openai clients, sync and async, against the loopback
# server; each call's span checked against what the server was scripted to say.
from __future__ import annotations

import asyncio
import copy
import gc
import inspect
import json
import logging
import random
import weakref

import openai
import pytest

import korvanta
from korvanta import _genai
from llm_servers import Answer, ToolCall
from traced_clients import close, drain, prompt, resolve, run, server, spans, tool_calls  # noqa: F401

CALLS = (ToolCall("call_paris", "get_weather", '{"city":"Paris"}'),
         ToolCall("call_oslo", "get_weather", '{"city":"Oslo"}'))
TOOLS = [{"type": "function", "function": {"name": "get_weather", "parameters": {"type": "object"}}}]
CONVERSATION = [
    {"role": "system", "content": "Be brief."},
    {"role": "user", "content": [{"type": "text", "text": "Weather?"},
                                 {"type": "image_url", "image_url": {"url": "https://x.test/a.png"}}]},
    {"role": "assistant", "content": None, "tool_calls": [
        {"id": "call_0", "type": "function", "function": {"name": "get_weather", "arguments": '{"city":"Rome"}'}}]},
    {"role": "tool", "tool_call_id": "call_0", "content": "sunny"},
]
CONVERSATION_PARTS = [
    {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]},
    {"role": "user", "parts": [{"type": "text", "content": "Weather?"},
                               {"type": "uri", "modality": "image", "uri": "https://x.test/a.png"}]},
    {"role": "assistant", "parts": [{"type": "tool_call", "id": "call_0", "name": "get_weather",
                                     "arguments": {"city": "Rome"}}]},
    {"role": "tool", "parts": [{"type": "tool_call_response", "id": "call_0", "response": "sunny"}]},
]

both = pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
streaming = pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])


def client_for(server, is_async, **options):
    kind = openai.AsyncOpenAI if is_async else openai.OpenAI
    return kind(base_url=server.openai_url, api_key="sk-loopback", max_retries=0, **options)


def traced(server, is_async, **options):
    return korvanta.wrap_openai(client_for(server, is_async, **options))


async def chat(client, stream, **arguments):
    arguments = {"model": "gpt-4o", "messages": CONVERSATION, **arguments}
    result = await resolve(client.chat.completions.create(stream=stream, **arguments))
    return await drain(result) if stream else result


def comparable(items):
    return [json.loads(item.model_dump_json(exclude={"created"})) for item in items]


@both
@streaming
def test_chat_call_is_one_span_with_everything_the_answer_said(server, spans, is_async, stream):
    answer = Answer(text="Checking both.", tool_calls=CALLS, input_tokens=1200, output_tokens=80,
                    cached_tokens=1000, reasoning_tokens=30)
    server.script(answer, answer)
    untraced = run(chat(client_for(server, is_async), stream, tools=TOOLS))
    result = run(chat(traced(server, is_async), stream, tools=TOOLS))

    # The caller gets what the untraced client gives: usage was asked for by
    # tracing only, so its chunk stays hidden.
    if stream:
        assert comparable(result) == comparable(untraced) and all(chunk.choices for chunk in result)
        assert server.requests[-1][1]["stream_options"] == {"include_usage": True}
    else:
        assert result.choices[0].message.content == "Checking both."
    span = spans.one()
    assert (span["operation_name"], span["provider"], span["model_name"]) == ("chat", "OpenAI", "gpt-4o")
    assert span["tags"]["gen_ai.response.model"] == "gpt-4o-2024-08-06"
    assert prompt(span) == CONVERSATION_PARTS
    assert json.loads(span["tags"]["gen_ai.tool.definitions"]) == TOOLS
    assert span["response"] == "Checking both."
    assert tool_calls(span) == [(call.name, call.arguments, call.id) for call in CALLS]
    assert (span["prompt_tokens"], span["completion_tokens"]) == (1200, 80)
    assert span["tags"]["gen_ai.usage.cache_read.input_tokens"] == "1000"
    assert span["tags"]["gen_ai.usage.reasoning.output_tokens"] == "30"
    # gpt-4o: 200 plain input at 2.5, 1000 cached at 1.25, 80 output at 10 (USD per million)
    assert span["estimated_cost_usd"] == pytest.approx((200 * 2.5 + 1000 * 1.25 + 80 * 10) / 1e6)
    assert (span["time_to_first_token_ms"] is not None) == stream
    assert span["error_message"] is None


@both
def test_usage_the_caller_asked_for_reaches_the_caller(server, spans, is_async):
    chunks = run(chat(traced(server, is_async), True, stream_options={"include_usage": True}))
    assert chunks[-1].usage.prompt_tokens == 21 and not chunks[-1].choices
    assert spans.one()["prompt_tokens"] == 21


@both
def test_server_refusing_stream_options_is_asked_again_without(server, spans, is_async):
    server.refuse_stream_options = True
    async def calls():
        # Each call on a client derived for it, as per-call options are given, then one on the client.
        client = traced(server, is_async)
        per_call = [await chat(client.with_options(timeout=5), True) for _ in range(2)]
        return per_call + [await chat(client, True)]

    try:
        for chunks in run(calls()):
            assert [chunk.choices[0].delta.content for chunk in chunks][1:3] == ["Hello ", "there."]
    finally:
        server.refuse_stream_options = False
    # The first call is sent twice, then no client of that server asks again.
    assert ["stream_options" in body for _, body in server.requests] == [True, False, False, False]
    assert [span["response"] for span in spans.take()] == ["Hello there."] * 3


@both
@streaming
def test_responses_api_call(server, spans, is_async, stream):
    server.script(Answer(text="Done.", tool_calls=CALLS[:1], cached_tokens=5, reasoning_tokens=3))
    items = [{"role": "user", "content": "Weather in Paris?"},
             {"type": "function_call", "call_id": "c0", "name": "get_weather", "arguments": "{}"},
             {"type": "function_call_output", "call_id": "c0", "output": "rain"}]

    async def call():
        client = traced(server, is_async)
        result = await resolve(client.responses.create(model="gpt-4.1", instructions="Be brief.", input=items,
                                                       tools=[{"type": "function", "name": "get_weather"}],
                                                       stream=stream))
        return await drain(result) if stream else result

    run(call())
    span = spans.one()
    assert span["operation_name"] == "chat" and span["tags"]["gen_ai.openai.api"] == "responses"
    assert prompt(span) == [
        {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]},
        {"role": "user", "parts": [{"type": "text", "content": "Weather in Paris?"}]},
        {"role": "assistant", "parts": [{"type": "tool_call", "id": "c0", "name": "get_weather", "arguments": {}}]},
        {"role": "tool", "parts": [{"type": "tool_call_response", "id": "c0", "response": "rain"}]},
    ]
    assert span["response"] == "Done."
    assert tool_calls(span) == [("get_weather", '{"city":"Paris"}', "call_paris")]
    assert (span["prompt_tokens"], span["completion_tokens"]) == (21, 9)
    assert span["tags"]["gen_ai.usage.reasoning.output_tokens"] == "3"
    assert (span["time_to_first_token_ms"] is not None) == stream


@both
def test_embeddings_call(server, spans, is_async):
    result = run(resolve(traced(server, is_async).embeddings.create(model="text-embedding-3-small",
                                                                    input=["a", "b"])))
    assert len(result.data) == 2
    span = spans.one()
    assert (span["operation_name"], span["prompt_tokens"], span["completion_tokens"]) == ("embeddings", 21, None)
    assert prompt(span) == [{"role": "user", "parts": [{"type": "text", "content": "a"},
                                                       {"type": "text", "content": "b"}]}]
    assert span["tags"]["gen_ai.embeddings.dimension.count"] == "3"


@both
@streaming
@pytest.mark.parametrize("status, error", [(429, openai.RateLimitError), (500, openai.InternalServerError)])
def test_status_errors_are_recorded_and_reach_the_caller(server, spans, is_async, stream, status, error):
    server.script(Answer(status=status, error="slow down"))
    with pytest.raises(error) as raised:
        run(chat(traced(server, is_async), stream))
    span = spans.one()
    assert span["status_code"] == status
    assert span["error_message"] == f"{error.__name__}: {raised.value}"
    assert "slow down" in span["error_message"] and span["response"] is None


@both
def test_timeout_and_broken_stream_have_no_status(server, spans, is_async):
    server.script(Answer(delay=30))
    with pytest.raises(openai.APITimeoutError):
        run(chat(traced(server, is_async, timeout=0.2), False))
    server.script(Answer(cut_after=3))
    with pytest.raises(openai.APIConnectionError):
        run(chat(traced(server, is_async), True))
    timed_out, broken = spans.take()
    assert timed_out["error_message"].startswith("APITimeoutError: ") and timed_out["status_code"] is None
    assert broken["error_message"].startswith("APIConnectionError: ") and broken["status_code"] is None
    assert broken["response"] is None and broken["time_to_first_token_ms"] is not None


@both
def test_stream_closed_halfway_or_dropped_ends_its_span(server, spans, is_async, caplog):
    async def scenario():
        client = traced(server, is_async)
        halfway = await resolve(client.chat.completions.create(model="m", messages=[], stream=True))
        assert len(await drain(halfway, limit=2)) == 2
        await close(halfway)
        await resolve(client.chat.completions.create(model="m", messages=[], stream=True))  # never read
        left = await resolve(client.chat.completions.create(model="m", messages=[], stream=True))
        assert len(await drain(left, limit=2)) == 2  # then dropped, neither read on nor closed
        del left
        gc.collect()

    run(scenario())
    closed, dropped, left = spans.take()
    assert closed["response"] == "Hello " and closed["end_time"] is not None
    assert dropped["response"] == "" and dropped["end_time"] is not None
    assert left["response"] == "Hello " and left["end_time"] is not None
    assert "asynchronous generator" not in caplog.text  # the event loop closed the dropped one cleanly


@both
def test_client_stays_itself_and_every_way_of_calling_is_traced_once(server, spans, is_async, caplog):
    client = client_for(server, is_async)
    assert korvanta.wrap_openai(korvanta.wrap_openai(client)) is client
    assert type(client) is (openai.AsyncOpenAI if is_async else openai.OpenAI)
    for name in ("with_options", "copy", "request"):  # the hooks show the client's own signatures
        own = getattr(type(client), name).__get__(client)
        assert inspect.signature(getattr(client, name)) == inspect.signature(own)
    hook = client.request  # and read as the client's own method does
    assert (hook.__name__, hook.__doc__) == ("request", type(client).request.__doc__)
    assert copy.copy(hook) is hook and weakref.ref(hook)() is hook and inspect.isroutine(hook)

    async def scenario():
        derived = client.with_options(timeout=5).copy(max_retries=1)
        assert type(derived) is type(client)
        await chat(derived, False)
        raw = await resolve(client.chat.completions.with_raw_response.create(model="m", messages=[]))
        assert raw.parse().choices[0].message.content == "Hello there."
        manager = client.chat.completions.with_streaming_response.create(model="m", messages=[], stream=True)
        if is_async:
            async with manager as response:
                assert len(await drain(await response.parse())) == 4
        else:
            with manager as response:
                assert len(await drain(response.parse())) == 4
        # The body read without parse(): what it said is recorded when the response closes.
        manager = client.chat.completions.with_streaming_response.create(model="m", messages=[])
        if is_async:
            async with manager as response:
                assert (await response.json())["choices"][0]["message"]["content"] == "Hello there."
        else:
            with manager as response:
                assert response.json()["choices"][0]["message"]["content"] == "Hello there."
        # The caller's own type: the span still reads the client's model of the answer.
        manager = client.chat.completions.with_streaming_response.create(model="m", messages=[])
        if is_async:
            async with manager as response:
                assert (await response.parse(to=dict))["choices"][0]["message"]["content"] == "Hello there."
        else:
            with manager as response:
                assert response.parse(to=dict)["choices"][0]["message"]["content"] == "Hello there."
        # A shallow copy sends as itself (with its own key and URL), untraced: the
        # hooks are bound to the original.
        copied = copy.copy(client)
        assert copied.request.__self__ is copied  # its own method, not the original's hook
        # Iterated rather than read: nothing is in memory to record, and nothing fails.
        manager = client.chat.completions.with_streaming_response.create(model="m", messages=[])
        if is_async:
            async with manager as response:
                assert [line async for line in response.iter_lines()]
        else:
            with manager as response:
                assert list(response.iter_lines())
        if is_async:
            async with client as entered:
                assert entered is client
        else:
            with client as entered:
                assert entered is client

    run(scenario())
    assert [span["response"] for span in spans.take()] == ["Hello there."] * 5 + [""]
    assert "tracing fault" not in caplog.text


def test_azure_client_is_traced_as_azure(server, spans):
    client = openai.AzureOpenAI(azure_endpoint=server.anthropic_url, azure_deployment="prod-4o",
                                api_version="2024-10-21", api_key="az-key", max_retries=0)
    korvanta.wrap_openai(client).chat.completions.create(model="gpt-4o", messages=[])
    span = spans.one()
    assert (span["provider"], span["response"]) == ("AzureOpenAI", "Hello there.")
    assert span["estimated_cost_usd"] == pytest.approx((21 * 2.5 + 9 * 10) / 1e6)


@pytest.mark.parametrize("where", ["wrap", "setup"])
def test_content_capture_off_keeps_counts_timings_and_tool_names(server, spans, where):
    client = client_for(server, False)
    korvanta.wrap_openai(client, capture_content=False if where == "wrap" else None)
    if where == "setup":
        korvanta.setup(processors=[spans], capture_content=False)
    server.script(Answer(tool_calls=CALLS))
    run(chat(client, True, tools=TOOLS))
    span = spans.one()
    assert (span["prompt"], span["response"]) == ("", "")
    assert "gen_ai.tool.definitions" not in span["tags"]
    assert tool_calls(span) == [(call.name, None, call.id) for call in CALLS]
    assert span["prompt_tokens"] == 21 and span["time_to_first_token_ms"] is not None


def test_call_inside_a_span_is_its_child(server, spans):
    client = korvanta.wrap_openai(client_for(server, False))
    with korvanta.span("agent") as outer:
        run(chat(client, False))
    inner, parent = spans.take()
    assert inner["parent_span_id"] == parent["span_id"] == outer.span_id
    assert inner["trace_id"] == parent["trace_id"]


def test_fault_inside_tracing_never_fails_the_call(server, spans, caplog, monkeypatch):
    monkeypatch.setattr(_genai, "_reported", set())  # no fault of an earlier test counts as logged
    client = korvanta.wrap_openai(client_for(server, False), tracer=object())  # cannot start spans
    with caplog.at_level(logging.DEBUG, logger="korvanta"):
        for _ in range(2):
            assert run(chat(client, False)).choices[0].message.content == "Hello there."
    assert [record.levelno for record in caplog.records] == [logging.WARNING, logging.DEBUG]
    assert spans.take() == []


def test_a_count_out_of_range_loses_the_counts_only(server, spans, caplog, monkeypatch):
    monkeypatch.setattr(_genai, "_reported", set())
    server.script(Answer(input_tokens=2**40))  # more than a span's 32-bit count holds
    with caplog.at_level(logging.WARNING, logger="korvanta"):
        assert run(chat(traced(server, False), False)).usage.prompt_tokens == 2**40
    span = spans.one()
    assert span["response"] == "Hello there." and span["tags"]["gen_ai.response.model"] == "gpt-4o-2024-08-06"
    assert span["prompt_tokens"] is None and span["end_time"] is not None
    assert ["recording the answer" in record.getMessage() for record in caplog.records] == [True]


class _Message:
    """A message passed as an object, as a client's own response message is."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


@pytest.mark.parametrize("messages", [
    CONVERSATION,
    [],
    [{"role": "user", "content": 'quotes " and \\ back\\slash, new\nline, tab\t, bell\x07, é, 漢字, 🙂'},
     {"role": "developer", "content": "", "name": "ops"}],
    [{"role": "user", "content": 'ASCII only: quote " back\\slash new\nline unit\x1fseparator delete\x7f'},
     {"role": "system", "content": "nothing to escape"}],
    [{"role": "assistant", "content": "partly", "refusal": "no"},
     {"role": "user", "content": "extra keys", "cache_control": {"type": "ephemeral"}},
     {"role": "function", "name": "lookup", "content": "42"},
     {"role": "critic", "content": "an unknown role"},
     _Message(role="user", content="as an object")],
    # Keys made at run time (not the interned literals) and a message list given as a tuple.
    ({"".join(["ro", "le"]): "user", "".join(["con", "tent"]): "made keys", "".join(["na", "me"]): "x"},),
], ids=["conversation", "empty", "escapes", "ascii-escapes", "not-plain-text", "made-keys"])
def test_prompt_of_text_messages_written_directly_is_the_converted_prompt(messages):
    from korvanta._openai import chat_messages, chat_prompt
    assert chat_prompt(messages) == _genai.dumps(chat_messages(messages))
    assert json.loads(chat_prompt(messages)) == chat_messages(messages)


def test_prompt_with_a_lone_surrogate_is_recorded_escaped(server, spans):
    # Not UTF-8, so not recordable as it is: written as its JSON escape, which reads back the same.
    # The client cannot send it either; the span keeps the prompt beside the error.
    messages = [{"role": "user", "content": "half a pair: \ud83d"}]
    with pytest.raises(UnicodeEncodeError):
        korvanta.wrap_openai(client_for(server, False)).chat.completions.create(model="m", messages=messages)
    (span,) = spans.take()
    assert span["error_message"].startswith("UnicodeEncodeError: ")
    assert "\\ud83d" in span["prompt"]
    assert json.loads(span["prompt"]) == [{"role": "user", "parts": [{"type": "text", "content": "half a pair: \ud83d"}]}]


@both
@pytest.mark.parametrize("way", ["create", "with_streaming_response", "events-arriving-cut", "lines-read-raw"])
def test_usage_chunk_only_tracing_asked_for_is_never_made_a_chunk(server, spans, is_async, way):
    if way == "events-arriving-cut":
        server.script(Answer(split=True))
    client = traced(server, is_async)
    built = []
    process = client._process_response_data  # the client's own: it builds each chunk the caller gets
    vars(client)["_process_response_data"] = lambda **kwargs: built.append(process(**kwargs)) or built[-1]

    async def scenario():
        if way not in ("with_streaming_response", "lines-read-raw"):
            return await drain(await resolve(client.chat.completions.create(model="m", messages=[], stream=True)))
        manager = client.chat.completions.with_streaming_response.create(model="m", messages=[], stream=True)
        if is_async:
            async with manager as response:
                if way == "lines-read-raw":
                    return [line async for line in response.iter_lines()]
                return await drain(await response.parse())
        with manager as response:
            return list(response.iter_lines()) if way == "lines-read-raw" else await drain(response.parse())

    chunks = run(scenario())
    assert server.requests[-1][1]["stream_options"] == {"include_usage": True}
    if way == "lines-read-raw":  # the caller reads the bytes: they hold no usage chunk either
        data = [json.loads(line[6:]) for line in chunks if line.startswith("data: {")]
        assert len(data) == 4 and all(item["choices"] for item in data)
    else:
        assert chunks == built and len(chunks) == 4 and all(chunk.choices for chunk in chunks)
    span = spans.one()
    assert (span["prompt_tokens"], span["completion_tokens"]) == (21, 9)


def _event(data):
    return b"data: " + json.dumps(data).encode() + b"\r\n\r\n"


# Some text holds "[]" too: only the usage chunk is kept back.
_TEXT_EVENTS = b"".join(_event({"choices": [{"index": 0, "delta": {"content": f"part {i}{' []' * (i % 2)}\n"}}],
                                "usage": None}) for i in range(5))


def _usage_event(model):
    return _event({"choices": [], "usage": {"prompt_tokens": 21, "completion_tokens": 9}, "model": model, "id": "c"})


def _broken_scan(text, start):
    raise RuntimeError("scanner broken")


# "m\u00e9" (json.dumps escapes the é) is read by the json module's scanner, "m" natively.
@pytest.mark.parametrize("piece, scan, model", [
    (1, "json", "m"), (7, "json", "m"), (4096, "json", "m"), (7, "json", "m\u00e9"), (7, "broken", "m"),
    (7, "broken", "m\u00e9"),
])
def test_usage_filter_passes_every_other_byte_however_the_bytes_are_cut(spans, caplog, piece, scan, model):
    from korvanta import _native, _openai

    usage_event = _usage_event(model)
    events = _TEXT_EVENTS + usage_event + b": keep-alive\n\ndata: [DONE]\n\n"
    call = _native.Call("chat", "openai", "m", None, None)
    pieces = [events[i:i + piece] for i in range(0, len(events), piece)]
    scanner = _openai._JSON_SCAN if scan == "json" else _broken_scan
    passed = b"".join(_native.without_usage_chunk(iter(pieces), call, scanner))
    if scan == "json" or model == "m":
        assert passed == events.replace(usage_event, b"")
        assert (call.input_tokens, call.output_tokens, call.response_model) == (21, 9, model)
    else:  # an event that cannot be read goes on to the client, and the fault is logged
        assert passed == events and call.input_tokens is None
        assert "scanner broken" in caplog.text


# Lines of every kind the client's decoder tells apart, and bytes it cannot decode.
_SSE_ATOMS = [b"data: ", b"data:", b"data", b"event: ", b"event:x", b"id: ", b"id:7", b"id: \x00", b"retry: 12",
              b"retry: x", b"retry: 1_0", b": c", b":", b"x: y", b"\n", b"\r", b"\r\n", b"\n\n", b'{"a": 1}', b" ",
              b"\xc3\xa9", b"\xe2\x80\xa8", b"\xff", b"\xed\xa0\x80"]


@pytest.mark.parametrize("seed", range(4))
def test_native_events_are_the_clients_own_decoders_events(seed):
    # The property behind reading a traced stream's events natively: for any
    # bytes, cut anywhere, the same events (or the same error, at the same
    # point) as openai's SSEDecoder.
    from openai._streaming import ServerSentEvent, SSEDecoder

    from korvanta import _native, _openai

    def events(decoded):
        found = []
        try:
            found += [(type(e), e.event, e.data, e.id, e.retry) for e in decoded]
        except UnicodeDecodeError as error:
            found.append(repr(error))
        return found

    rng = random.Random(seed)
    for _ in range(2000):
        body = b"".join(rng.choice(_SSE_ATOMS) for _ in range(rng.randint(0, 30)))
        cuts = sorted(rng.sample(range(len(body) + 1), min(len(body) + 1, rng.randint(0, 4))))
        pieces = [body[a:b] for a, b in zip([0, *cuts], [*cuts, len(body)])]
        native = _native.server_sent_events(iter(pieces), ServerSentEvent, None, _openai._JSON_SCAN)
        assert events(native) == events(SSEDecoder().iter_bytes(iter(pieces))), pieces


def test_native_events_keep_back_the_usage_chunk_and_its_id():
    from openai._streaming import ServerSentEvent

    from korvanta import _native, _openai

    usage = _usage_event("m").replace(b"data:", b"id: u\ndata:", 1)
    body = b"id: 1\n" + _TEXT_EVENTS + usage + b"data: [DONE]\n\n"
    call = _native.Call("chat", "openai", "m", None, None)
    call.hide_usage_chunk = True
    found = list(_native.server_sent_events(iter([body]), ServerSentEvent, call, _openai._JSON_SCAN))
    assert [e.data for e in found][5:] == ["[DONE]"] and all('"choices": []' not in e.data for e in found)
    assert {e.id for e in found} == {"1"}  # the kept-back event's id never arrived
    assert (call.input_tokens, call.output_tokens) == (21, 9)


@pytest.mark.parametrize("piece", [1, 7, 4096])
@pytest.mark.parametrize("ending", [b"\r\n\r\n", b"\r\r\n", b"\r\r", b"\n\n"])
def test_async_usage_filter_of_raw_bytes_passes_every_other_byte(piece, ending):
    from korvanta import _native, _openai

    model = "m\u2028\x85"  # line separators JSON leaves unescaped are not line ends
    usage_event = _usage_event(model).replace(b"\\u2028\\u0085", "\u2028\x85".encode()).replace(b"\r\n\r\n", ending)
    events = _TEXT_EVENTS + usage_event + b": keep-alive\n\ndata: [DONE]\n\n"
    call = _native.Call("chat", "openai", "m", None, None)

    async def pieces():
        for i in range(0, len(events), piece):
            yield events[i:i + piece]

    async def passed():
        return b"".join([out async for out in _openai._without_usage_chunk_async(pieces(), call)])

    assert run(passed()) == events.replace(usage_event, b"")
    assert (call.input_tokens, call.output_tokens, call.response_model) == (21, 9, model)


@pytest.mark.parametrize("data", [
    '{"choices": [], "usage": {"prompt_tokens": 3, "completion_tokens": 4}, "model": "m", "id": null}',
    ' {"usage": {"prompt_tokens": 3}}\r\n',
    '{"choices": [{"index": 0}], "usage": {"prompt_tokens": 3}}',
    '{"choices": [], "usage": null}',
    '{"choices": [], "usage": {"prompt_tokens": 1}, "usage": {"completion_tokens": 5}}',
    '{"choices": [], "usage": {"prompt_tokens": 1.0, "completion_tokens": 123456789012345678901234567890}}',
    '{"choices": 0, "usage": {"prompt_tokens": -0, "completion_tokens": -7}}',
    '{"choices": 1e-400, "usage": {"prompt_tokens": 2}}',
    '{"choices": "", "usage": {"prompt_tokens": NaN, "completion_tokens": -Infinity}}',
    '{"choices": [], "usage": {"prompt_tokens": 2}, "model": "gpt-\\u00e9\\n", "id": "x\\"y"}',
    '{"choices": [], "usage": {"prompt_tokens": 2}, "model": 5}',
    '{"choices": [], "\\u0075sage": {"prompt_tokens": 2}}',
    '{"choices": [], "usage": {"prompt_tokens": 2}} x',
    '{"choices": [], "usage": {"prompt_tokens": 2},}',
    '{"choices": [], "usage": {"prompt_tokens": 01}}',
    '{"choices": [], "usage": {"prompt_tokens": 2, "note": "a\x01b"}}',
    '{"choices": [], "usage": {"prompt_tokens": 2}, "model": "\\ud800"}',
    '[{"choices": [], "usage": {}}]',
    '{"choices": [], "usage": {"prompt_tokens": 2, "prompt_tokens_details": {"cached_tokens": 1},'
    ' "completion_tokens_details": {"reasoning_tokens": 7, "reasoning_tokens": true}}}',
    '{"choices": [], "usage": {"prompt_tokens": 2}, "deep": ' + "[" * 300 + "]" * 300 + "}",
    '{"choices": [], "usage": {"prompt_tokens": 2}, "long": ' + "1" * 4301 + "}",  # past Python's digit limit
])
def test_usage_chunks_are_read_as_json_loads_reads_them(data):
    from korvanta import _native, _openai

    try:
        chunk = json.loads(data)
    except ValueError:
        chunk = None
    expected = isinstance(chunk, dict) and not chunk.get("choices") and isinstance(chunk.get("usage"), dict)
    call = _native.Call("chat", "openai", "requested", None, None)
    assert _native.take_usage_chunk(call, data, _openai._JSON_SCAN) is expected
    usage = chunk["usage"] if expected else {}

    def count(value):
        return value if type(value) is int else None

    def detail(key, name):
        details = usage.get(key)
        return count(details.get(name)) if isinstance(details, dict) else None

    assert (call.input_tokens, call.output_tokens, call.cached_tokens, call.reasoning_tokens) == (
        count(usage.get("prompt_tokens")), count(usage.get("completion_tokens")),
        detail("prompt_tokens_details", "cached_tokens"), detail("completion_tokens_details", "reasoning_tokens"))
    if expected:
        assert (call.response_model, call.response_id) == (chunk.get("model"), chunk.get("id"))


_DELTA = {"index": 0, "delta": {"content": "hi"}, "finish_reason": "stop"}


@pytest.mark.parametrize("data, text", [
    ({"choices": [_DELTA], "model": "m", "usage": {"prompt_tokens": 3}}, "hi"),
    ({"choices": [_DELTA], "model": "m", "usage": {"prompt_tokens": 3}, **{f"k{i}": i for i in range(12)}}, "hi"),
    ({1: "not a name", "choices": [_DELTA], "model": "m", "usage": {"prompt_tokens": 3}}, "hi"),
    ({"choices": [{**_DELTA, "delta": {"content": "", "refusal": "no"}}], "model": "m",
      "usage": {"prompt_tokens": 3}}, "no"),
])
@pytest.mark.parametrize("as_model", [False, True])
def test_a_chunk_is_read_from_its_model_or_data_whatever_they_hold(data, text, as_model):
    from korvanta import _native

    if as_model:
        # as the client builds its chunk models (a key that is no name is no field)
        data = openai.types.chat.ChatCompletionChunk.construct(**{k: v for k, v in data.items() if isinstance(k, str)})
    call = _native.Call("chat", "openai", "m", None, None)
    assert _native.chat_chunk(call, data) is True
    assert (call.text, call.finish_reasons, call.response_model, call.input_tokens) == ([text], ["stop"], "m", 3)


def test_the_older_functions_api_call_is_a_tool_call():
    from korvanta import _native

    streamed = _native.Call("chat", "openai", "m", None, None)
    for delta in ({"function_call": {"name": "fn", "arguments": ""}}, {"function_call": {"arguments": '{"a":'}},
                  {"function_call": {"arguments": "1}"}}):
        _native.chat_chunk(streamed, {"id": "c", "model": "m", "choices": [{"index": 0, "delta": delta}]})
    whole = _native.Call("chat", "openai", "m", None, None)
    message = {"role": "assistant", "content": None, "function_call": {"name": "fn", "arguments": '{"a":1}'}}
    _native.chat_record(whole, openai.types.chat.ChatCompletion.construct(
        id="c", model="m", object="chat.completion", created=1,
        choices=[{"index": 0, "finish_reason": "function_call", "message": message}]))
    assert streamed.first_token_seen
    assert [(name, "".join(parts) if isinstance(parts, list) else parts) for _, name, parts in
            (*streamed.tool_calls.values(), *whole.tool_calls.values())] == [("fn", '{"a":1}')] * 2


def test_an_empty_model_and_id_name_no_response():
    # Azure starts its streams with a content-filter chunk whose model and id are "".
    from korvanta import _native

    call = _native.Call("chat", "openai", "m", None, None)
    for model, ident in [("", ""), ("gpt-4o-2024-08-06", "chatcmpl-x"), ("later", "later")]:
        _native.chat_chunk(call, {"id": ident, "model": model, "choices": []})
    assert (call.response_model, call.response_id) == ("gpt-4o-2024-08-06", "chatcmpl-x")


def test_a_cancelled_consumer_of_an_async_stream_keeps_what_arrived(spans):
    from korvanta import _clienthook, _native, _openai

    async def scenario():
        async def inner():
            yield {"id": "c", "model": "m", "choices": [{"index": 0, "delta": {"content": "Hel"}}]}
            await asyncio.Event().wait()  # the next chunk never comes

        call = _native.Call("chat", "openai", "m", None, None)
        items = _clienthook._observe_async(inner(), call, _openai._ROUTES["/chat/completions"],
                                           _clienthook._EndWhenCollected(call))

        async def consume():
            async for _ in items:
                pass

        task = asyncio.create_task(consume())
        await asyncio.sleep(0.01)
        task.cancel()  # "stop generating", or a timeout around the stream
        with pytest.raises(asyncio.CancelledError):
            await task
        await items.aclose()

    run(scenario())
    span = spans.one()
    assert (span["response"], span["error_message"], span["end_time"] is not None) == ("Hel", None, True)


@pytest.mark.parametrize("hidden", [False, True])
def test_a_usage_only_chunk_is_kept_from_the_caller_only_when_tracing_asked_for_it(hidden):
    from korvanta import _native

    call = _native.Call("chat", "openai", "m", None, None)
    call.hide_usage_chunk = hidden
    chunk = openai.types.chat.ChatCompletionChunk.construct(id="c", model="m", choices=[],
                                                            usage={"prompt_tokens": 4, "completion_tokens": 2})
    assert _native.chat_chunk(call, chunk) is not hidden
    assert (call.input_tokens, call.output_tokens) == (4, 2)


def test_a_chunk_read_while_python_code_drops_its_parts_keeps_what_it_read():
    from korvanta import _native

    class Key:  # a usage key that collides with completion_tokens and drops prompt_tokens when compared
        def __hash__(self):
            return hash("completion_tokens")

        def __eq__(self, other):
            if armed:
                usage.pop("prompt_tokens", None)
            return False

    class Id:  # a tool call id whose truth test drops the arguments before they are recorded
        def __bool__(self):
            function.pop("arguments", None)
            return True

    prompt_tokens = int("1" * 30)
    armed = False
    usage = {"prompt_tokens": prompt_tokens, Key(): 0, "completion_tokens": 2}
    armed = True
    function = {"name": "get", "arguments": "".join(['{"city": ', '"Paris"}'])}
    call = _native.Call("chat", "openai", "m", None, None)
    first = {"index": 0, "id": "c", "function": {"name": "get", "arguments": ""}}
    _native.chat_chunk(call, {"choices": [{"index": 0, "delta": {"tool_calls": [first]}}], "model": "m"})
    _native.chat_chunk(call, {"choices": [{"index": 0, "delta": {"tool_calls": [
        {"index": 0, "id": Id(), "function": function}]}}], "model": "m", "usage": usage})
    assert (call.input_tokens, call.output_tokens) == (prompt_tokens, 2)
    assert call.tool_calls[(0, 0)][2] == ['{"city": "Paris"}']


def _completion(**fields):
    answer = {"id": "c1", "object": "chat.completion", "created": 1, "model": "gpt-4o-2024-08-06",
              "choices": [{"index": 0, "finish_reason": "stop",
                           "message": {"role": "assistant", "content": "Hi."}}]}
    answer.update(fields)
    return openai.types.chat.ChatCompletion.model_validate(answer)


def _choice(index, finish="stop", **message):
    return {"index": index, "finish_reason": finish, "message": {"role": "assistant", **message}}


@pytest.mark.parametrize("completion, response, calls, reasons, counts", [
    (_completion(), "Hi.", [], ["stop"], (None, None)),
    # only the first choice's text is the response; every choice's tool calls and finish reason count
    (_completion(choices=[_choice(1, content="Second."), _choice(0, content=None, refusal="I can't."),
                          _choice(1, "tool_calls", content=None, tool_calls=[
                              {"id": "t1", "type": "function", "function": {"name": "f", "arguments": "{}"}}])]),
     "I can't.", [("f", "{}", "t1")], ["stop", "stop", "tool_calls"], (None, None)),
    (_completion(choices=[], usage={"prompt_tokens": 5, "completion_tokens": 2, "total_tokens": 7}),
     None, [], [], (5, 2)),
])
def test_whole_completion_is_read_as_the_client_made_it(spans, completion, response, calls, reasons, counts):
    from korvanta import _native, _openai

    call = _native.Call("chat", "openai", "gpt-4o", None, None)
    _openai._ChatCompletions.record(call, completion)
    assert (call.response_model, call.response_id, call.finish_reasons) == ("gpt-4o-2024-08-06", "c1", reasons)
    call.end()
    span = spans.one()
    assert (span["response"] or None, tool_calls(span)) == (response, calls)
    assert (span["prompt_tokens"], span["completion_tokens"]) == counts


def test_a_completion_that_changes_while_read_is_read_safely(spans):
    from korvanta import _native, _openai

    class Choice:
        message = type("Message", (), {"content": "kept", "refusal": None, "tool_calls": None})()
        finish_reason = "stop"

        @property
        def index(self):
            completion.choices.clear()  # the list is emptied while its item is read
            return 0

    completion = type("Completion", (), {"model": "m", "id": "c", "usage": None})()
    completion.choices = [Choice()]
    call = _native.Call("chat", "openai", "m", None, None)
    _openai._ChatCompletions.record(call, completion)
    assert call.text == ["kept"]


class _Shadowed:  # a data descriptor on the class wins over the instance dict
    model = property(lambda self: "from the class")

    def __init__(self):
        self.__dict__.update(model="from the dict", id="c", choices=[], usage=None)


class _Intercepted:  # so does the class's own __getattribute__
    def __init__(self):
        self.__dict__.update(model="from the dict", id="c", choices=[], usage=None)

    def __getattribute__(self, name):
        return "from the class" if name == "model" else object.__getattribute__(self, name)


@pytest.mark.parametrize("kind", [_Shadowed, _Intercepted])
def test_a_completion_is_read_as_python_reads_its_attributes(kind):
    from korvanta import _native, _openai

    call = _native.Call("chat", "openai", "m", None, None)
    _openai._ChatCompletions.record(call, kind())
    assert (call.response_model, call.response_id) == ("from the class", "c")


@pytest.mark.parametrize("changed", ["class", "base", "descriptor"])
def test_a_class_changed_after_its_completions_were_read_is_read_as_it_now_is(changed):
    from korvanta import _native, _openai

    class Base:
        pass

    class Descriptor:  # not a data descriptor until it gains __set__: the instance dict wins
        def __get__(self, obj, owner=None):
            return "from the class"

    class Completion(Base):
        if changed == "descriptor":
            model = Descriptor()

        def __init__(self):
            self.__dict__.update(model="from the dict", id="c", choices=[], usage=None)

    def model_of(completion):
        call = _native.Call("chat", "openai", "m", None, None)
        _openai._ChatCompletions.record(call, completion)
        return call.response_model

    assert model_of(Completion()) == model_of(Completion()) == "from the dict"
    if changed == "descriptor":  # the class itself does not change
        Descriptor.__set__ = lambda self, obj, value: None
    else:
        setattr(Completion if changed == "class" else Base, "model", property(lambda self: "from the class"))
    assert Completion().model == "from the class"  # Python's own read gives the class a new version
    assert model_of(Completion()) == "from the class"


def test_completions_of_more_classes_than_the_reads_remembered_are_each_read_as_python_reads_them():
    from korvanta import _native, _openai

    def init(self):
        self.__dict__.update(model="from the dict", id="c", choices=[], usage=None)

    classes = [type(f"Completion{i}", (), {"__init__": init}) for i in range(400)]
    for round_number in range(3):  # a third of the classes change between rounds
        for cls in classes[round_number::3]:
            cls.model = property(lambda self, n=round_number: f"from the class {n}")
        for cls in classes:
            call = _native.Call("chat", "openai", "m", None, None)
            _openai._ChatCompletions.record(call, cls())
            assert call.response_model == cls().model


def test_close_of_a_traced_stream_is_the_streams_own_and_works_once_the_stream_is_gone(server, spans):
    client = traced(server, False)
    stream = client.chat.completions.create(model="m", messages=[], stream=True)
    close = stream.close
    assert (close.__name__, close.__doc__) == ("close", openai.Stream.close.__doc__)
    assert inspect.signature(close) == inspect.signature(openai.Stream.close.__get__(stream))
    with pytest.raises(TypeError):
        close(1)
    items = iter(stream)
    next(items), next(items)
    del stream, items
    gc.collect()  # the stream is gone, its response is what close() closes
    close()
    close()  # closing again changes nothing
    [span] = [span for span in spans.take() if span["end_time"] is not None]
    assert span["response"] == "Hello "


def test_a_responses_stream_that_fails_keeps_the_text_that_arrived():
    from openai.types.responses import Response, ResponseFailedEvent, ResponseTextDeltaEvent

    from korvanta import _native, _openai

    call = _native.Call("chat", "openai", "m", None, None)
    route = _openai._ROUTES["/responses"]
    route.chunk(call, ResponseTextDeltaEvent.model_construct(type="response.output_text.delta", delta="Hi"))
    failed = Response.model_construct(id="r", model="m", output=[], status="failed", usage=None)
    route.chunk(call, ResponseFailedEvent.model_construct(type="response.failed", response=failed))
    assert (call.text, call.finish_reasons) == (["Hi"], ["failed"])
