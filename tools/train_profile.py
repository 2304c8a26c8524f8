"""The run whose execution counts ./dev.sh profile keeps for the build.

Mostly traced chat calls of the OpenAI client as the benchmark makes them
(its HTTP layer answered in memory): whole answers, streams read by korvanta,
streams whose caller asks for the usage chunk, half of them inside a
korvanta.span block. Then, fewer, what an agent does beside them, against
the tests' loopback server: answers with tool calls, the async client, the
Responses API and Anthropic's messages, whole and streamed. Whatever this
run never reaches is built as without counts; what it reaches rarely is
kept out of the way of what it reaches often.

Run against a package built with KORVANTA_PROFILE_GENERATE; the counts land
where that build says.
"""

from __future__ import annotations

import asyncio
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "python" / "tests")]

import anthropic  # noqa: E402
import bench_clients  # noqa: E402
import openai  # noqa: E402
from llm_servers import Answer, LLMServer, ToolCall  # noqa: E402

import korvanta  # noqa: E402

CHAT_ROUNDS = 400
AGENT_ROUNDS = 40
MESSAGES = [{"role": "system", "content": "You answer from the tools' results."},
            {"role": "user", "content": "What is the weather in Lisbon?"}]
TOOLS = [{"type": "function", "function": {"name": "weather", "parameters": {"type": "object", "properties": {
    "city": {"type": "string"}}}}}]
TOOL_ANSWER = Answer(text="", tool_calls=(ToolCall("call_1", "weather", '{"city": "Lisbon"}'),))


def chat_calls() -> None:
    client, (on, off) = bench_clients.korvanta_tracer()
    on()
    for i in range(CHAT_ROUNDS):
        for kind in ("whole", "whole", "streamed", "streamed_usage"):
            if i % 2:
                with korvanta.span("agent step"):
                    bench_clients._call(client, kind)
            else:
                bench_clients._call(client, kind)
        if i % 4 == 3:
            off()  # drops the spans kept, as the benchmark does between blocks
            on()
    off()


def agent_calls(server: LLMServer) -> None:
    chat = korvanta.wrap_openai(openai.OpenAI(api_key="sk-train", base_url=server.openai_url, max_retries=0))
    messages = korvanta.wrap_anthropic(anthropic.Anthropic(api_key="sk-train", base_url=server.anthropic_url,
                                                           max_retries=0))
    for _ in range(AGENT_ROUNDS):
        with korvanta.span("agent"):
            for stream in (False, True):
                server.script(TOOL_ANSWER, Answer())
                for _ in range(2):
                    answer = chat.chat.completions.create(model="gpt-4o", messages=MESSAGES, tools=TOOLS,
                                                          stream=stream)
                    if stream:
                        for _ in answer:
                            pass
                server.script(TOOL_ANSWER)
                answer = messages.messages.create(model="claude-sonnet-4-5", max_tokens=64, messages=MESSAGES[1:],
                                                  tools=[{"name": "weather", "input_schema": {"type": "object"}}],
                                                  stream=stream)
                if stream:
                    for _ in answer:
                        pass
            chat.responses.create(model="gpt-4o", input="Say hello.")


async def async_calls(server: LLMServer) -> None:
    client = korvanta.wrap_openai(openai.AsyncOpenAI(api_key="sk-train", base_url=server.openai_url, max_retries=0))
    for _ in range(AGENT_ROUNDS):
        await client.chat.completions.create(model="gpt-4o", messages=MESSAGES)
        async for _ in await client.chat.completions.create(model="gpt-4o", messages=MESSAGES, stream=True):
            pass


def main() -> None:
    chat_calls()
    with LLMServer() as server:
        agent_calls(server)
        asyncio.run(async_calls(server))


if __name__ == "__main__":
    main()
