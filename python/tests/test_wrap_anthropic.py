# korvanta.wrap_anthropic: real anthropic clients, sync and async, against the
# loopback server; messages.create (streamed or not) and messages.stream().
from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import anthropic
import pytest

import korvanta
from llm_servers import Answer, ToolCall
from traced_clients import close, drain, prompt, resolve, run, server, spans, tool_calls  # noqa: F401

CALL = ToolCall("toolu_01", "get_weather", '{"city":"Paris"}')
NO_ARGUMENTS = ToolCall("toolu_02", "get_time", "")  # streamed: no input_json_delta at all
MODEL = "claude-sonnet-4-5"
TOOLS = [{"name": "get_weather", "input_schema": {"type": "object"}}]
MESSAGES = [
    {"role": "user", "content": "Weather in Rome?"},
    {"role": "assistant", "content": [{"type": "text", "text": "Checking."},
                                      {"type": "tool_use", "id": "toolu_00", "name": "get_weather",
                                       "input": {"city": "Rome"}}]},
    {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "toolu_00",
                                  "content": [{"type": "text", "text": "sunny"}]}]},
]
MESSAGES_PARTS = [
    {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]},
    {"role": "user", "parts": [{"type": "text", "content": "Weather in Rome?"}]},
    {"role": "assistant", "parts": [{"type": "text", "content": "Checking."},
                                    {"type": "tool_call", "id": "toolu_00", "name": "get_weather",
                                     "arguments": {"city": "Rome"}}]},
    {"role": "tool", "parts": [{"type": "tool_call_response", "id": "toolu_00", "response": "sunny"}]},
]

both = pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
# messages.create whole, messages.create(stream=True), messages.stream()
ways = pytest.mark.parametrize("way", ["whole", "streamed", "stream_helper"])


def client_for(server, is_async, **options):
    kind = anthropic.AsyncAnthropic if is_async else anthropic.Anthropic
    return kind(base_url=server.anthropic_url, api_key="sk-ant-loopback", max_retries=0, **options)


def traced(server, is_async, **options):
    return korvanta.wrap_anthropic(client_for(server, is_async, **options))


async def ask(client, way, **arguments):
    """The answer's text, however it was asked for."""
    arguments = {"model": MODEL, "max_tokens": 256, "system": "Be brief.", "messages": MESSAGES, **arguments}
    if way == "whole":
        reply = await resolve(client.messages.create(**arguments))
        return "".join(block.text for block in reply.content if block.type == "text")
    if way == "streamed":
        events = await drain(await resolve(client.messages.create(stream=True, **arguments)))
        return "".join(e.delta.text for e in events if e.type == "content_block_delta" and e.delta.type == "text_delta")
    manager = client.messages.stream(**arguments)
    if hasattr(manager, "__aenter__"):
        async with manager as stream:
            return "".join([text async for text in stream.text_stream])
    with manager as stream:
        return "".join(stream.text_stream)


@both
@ways
def test_message_call_is_one_span_with_everything_the_answer_said(server, spans, is_async, way):
    server.script(Answer(text="Looking it up.", tool_calls=(CALL, NO_ARGUMENTS), input_tokens=3000, output_tokens=50,
                         cached_tokens=2000, cache_write_tokens=500, reasoning_tokens=40))
    assert run(ask(traced(server, is_async), way, tools=TOOLS)) == "Looking it up."
    span = spans.one()
    assert (span["operation_name"], span["provider"], span["model_name"]) == ("chat", "Anthropic", MODEL)
    assert span["tags"]["gen_ai.response.model"] == f"{MODEL}-2024-08-06"
    assert prompt(span) == MESSAGES_PARTS
    assert span["tags"]["gen_ai.tool.definitions"] == '[{"name":"get_weather","input_schema":{"type":"object"}}]'
    assert span["response"] == "Looking it up."
    assert tool_calls(span) == [(CALL.name, CALL.arguments, CALL.id), (NO_ARGUMENTS.name, "{}", NO_ARGUMENTS.id)]
    # Streams bring input counts at message_start and output at message_delta: both stay.
    assert (span["prompt_tokens"], span["completion_tokens"]) == (3000, 50)
    assert span["tags"]["gen_ai.usage.cache_read.input_tokens"] == "2000"
    assert span["tags"]["gen_ai.usage.cache_creation.input_tokens"] == "500"
    assert span["tags"]["gen_ai.usage.reasoning.output_tokens"] == "40"
    # claude-sonnet-4-5: 500 plain at 3, 2000 cache reads at 0.3, 500 cache writes at 3.75, 50 output at 15
    assert span["estimated_cost_usd"] == pytest.approx((500 * 3 + 2000 * 0.3 + 500 * 3.75 + 50 * 15) / 1e6)
    assert (span["time_to_first_token_ms"] is not None) == (way != "whole")


@both
@ways
@pytest.mark.parametrize("status, error", [(429, anthropic.RateLimitError), (500, anthropic.InternalServerError)])
def test_status_errors_are_recorded_and_reach_the_caller(server, spans, is_async, way, status, error):
    server.script(Answer(status=status, error="overloaded"))
    with pytest.raises(error) as raised:
        run(ask(traced(server, is_async), way))
    span = spans.one()
    assert (span["status_code"], span["error_message"]) == (status, f"{error.__name__}: {raised.value}")


@both
def test_timeout_broken_stream_and_error_event_have_no_status(server, spans, is_async):
    server.script(Answer(delay=30), Answer(cut_after=4), Answer(error_after=4))
    with pytest.raises(anthropic.APITimeoutError):
        run(ask(traced(server, is_async, timeout=0.2), "whole"))
    with pytest.raises(anthropic.APIConnectionError):
        run(ask(traced(server, is_async), "stream_helper"))
    # The error event comes in a 200 answer: the client's error names that status, no error status.
    with pytest.raises(anthropic.APIStatusError):
        run(ask(traced(server, is_async), "stream_helper"))
    timed_out, broken, errored = spans.take()
    assert timed_out["error_message"].startswith("APITimeoutError: ") and timed_out["status_code"] is None
    assert broken["error_message"].startswith("APIConnectionError: ") and broken["status_code"] is None
    assert errored["error_message"].startswith("APIStatusError: ") and errored["status_code"] is None
    # What arrived before the break: the input count and the first text piece.
    assert broken["prompt_tokens"] == 21 and broken["time_to_first_token_ms"] is not None


@both
def test_stream_left_halfway_ends_its_span_with_what_arrived(server, spans, is_async):
    async def scenario():
        client = traced(server, is_async)
        raw = await resolve(client.messages.create(model=MODEL, max_tokens=9, messages=MESSAGES, stream=True))
        assert len(await drain(raw, limit=4)) == 4  # message_start, block start, first text delta, second
        await close(raw)
        manager = client.messages.stream(model=MODEL, max_tokens=9, messages=MESSAGES)
        if is_async:
            async with manager as stream:
                await drain(stream, limit=1)
        else:
            with manager as stream:
                await drain(stream, limit=1)

    run(scenario())
    closed, left = spans.take()
    assert closed["response"] == "Hello there." and closed["prompt_tokens"] == 21
    assert closed["completion_tokens"] == 1  # message_start's count: message_delta never came
    assert left["response"] == "" and left["end_time"] is not None


@both
def test_client_stays_itself_and_every_way_of_calling_is_traced_once(server, spans, is_async):
    client = client_for(server, is_async)
    assert korvanta.wrap_anthropic(korvanta.wrap_anthropic(client)) is client
    assert type(client) is (anthropic.AsyncAnthropic if is_async else anthropic.Anthropic)

    async def scenario():
        await ask(client.with_options(timeout=5).copy(max_retries=1), "whole")
        raw = await resolve(client.messages.with_raw_response.create(model=MODEL, max_tokens=9, messages=MESSAGES))
        assert (await resolve(raw.parse())).content[0].text == "Hello there."
        manager = client.messages.with_streaming_response.create(model=MODEL, max_tokens=9, messages=MESSAGES)
        if is_async:
            async with manager as response:
                assert (await response.parse()).content[0].text == "Hello there."
        else:
            with manager as response:
                assert response.parse().content[0].text == "Hello there."

    run(scenario())
    assert [span["response"] for span in spans.take()] == ["Hello there."] * 3


def test_content_capture_off_keeps_counts_and_tool_names(server, spans):
    server.script(Answer(tool_calls=(CALL,)))
    run(ask(korvanta.wrap_anthropic(client_for(server, False), capture_content=False), "streamed", tools=TOOLS))
    span = spans.one()
    assert (span["prompt"], span["response"], "gen_ai.tool.definitions" in span["tags"]) == ("", "", False)
    assert tool_calls(span) == [(CALL.name, None, CALL.id)]
    assert (span["prompt_tokens"], span["completion_tokens"]) == (21, 9)


def test_wrapping_something_else_is_a_type_error():
    with pytest.raises(TypeError, match=r"^wrap_anthropic\(\) takes an anthropic.Anthropic or "
                                        r"anthropic.AsyncAnthropic client, not object$"):
        korvanta.wrap_anthropic(object())


def test_agent_example_traces_each_call_under_the_agent_span():
    example = Path(__file__).resolve().parents[2] / "examples" / "anthropic_agent.py"
    result = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    first, tool, answer, agent = [json.loads(line) for line in result.stdout.splitlines()]
    assert [span["operation_name"] for span in (first, tool, answer, agent)] == [
        "chat", "execute_tool", "chat", "invoke_agent"]
    assert {span["parent_span_id"] for span in (first, tool, answer)} == {agent["span_id"]}
    # The streamed turn: 312 uncached + 1024 cache reads in, 58 out (at message_delta).
    assert (first["prompt_tokens"], first["completion_tokens"]) == (1336, 58)
    assert [(a["name"], a["arguments"]) for a in first["agent_actions"]] == [("get_weather", '{"city": "Paris"}')]
    assert json.loads(answer["prompt"])[-1] == {"role": "tool", "parts": [
        {"type": "tool_call_response", "id": "toolu_01paris",
         "response": '{"city": "Paris", "sky": "rain", "temperature": 14}'}]}


@pytest.mark.parametrize("system, messages", [
    ("Be brief.", MESSAGES),
    (None, []),
    ([{"type": "text", "text": "Be "}, {"type": "text", "text": "brief."}],
     [{"role": "user", "content": 'quotes " \\ new\nline \x07 é 漢字 🙂'}, {"role": "assistant", "content": ""}]),
], ids=["conversation", "empty", "escapes"])
def test_prompt_of_text_messages_written_directly_is_the_converted_prompt(system, messages):
    from korvanta._anthropic import anthropic_messages, anthropic_prompt
    from korvanta._genai import dumps
    assert anthropic_prompt(system, messages) == dumps(anthropic_messages(system, messages))


def test_system_blocks_are_parts_of_their_own():
    from korvanta._anthropic import anthropic_messages

    system = [{"type": "text", "text": "Be brief."}, {"type": "text", "text": "Be kind."}]
    assert anthropic_messages(system, [])[0] == {"role": "system", "parts": [
        {"type": "text", "content": "Be brief."}, {"type": "text", "content": "Be kind."}]}
