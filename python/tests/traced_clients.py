# Fixtures and helpers shared by the client tracing tests: the loopback server,
# the spans the pipeline ends, and one way to drive sync and async clients alike.
from __future__ import annotations

import asyncio
import gc
import inspect
import json
import os
from typing import Any

import pytest

import korvanta
from llm_servers import LLMServer

# No request may leave the machine: proxies from the environment stay unused.
for _name in [name for name in os.environ if name.lower().endswith("_proxy")]:
    del os.environ[_name]


class Collector:
    """A pipeline processor that keeps the document of every span that ends."""

    def __init__(self) -> None:
        self.spans: list[dict[str, Any]] = []

    def on_end(self, span: Any) -> None:
        self.spans.append(span.to_dict())

    def take(self) -> list[dict[str, Any]]:
        gc.collect()  # streams dropped by a test end their spans when collected
        spans, self.spans = self.spans, []
        return spans

    def one(self) -> dict[str, Any]:
        [span] = self.take()
        return span


@pytest.fixture(scope="module")
def server():
    with LLMServer() as running:
        yield running


@pytest.fixture
def spans(server):
    collector = Collector()
    korvanta.setup(processors=[collector])
    server.requests.clear()
    yield collector
    korvanta.setup()


async def resolve(value: Any) -> Any:
    """The value a sync client returned, or what an async client's awaitable gives."""
    return await value if inspect.isawaitable(value) else value


async def drain(stream: Any, limit: int | None = None) -> list[Any]:
    """The items of a sync or async stream (at most `limit` of them)."""
    items: list[Any] = []
    if hasattr(stream, "__aiter__"):
        async for item in stream:
            items.append(item)
            if limit is not None and len(items) == limit:
                break
    else:
        for item in stream:
            items.append(item)
            if limit is not None and len(items) == limit:
                break
    return items


async def close(stream: Any) -> None:
    await resolve(stream.close())


def run(scenario: Any) -> Any:
    return asyncio.run(scenario)


def prompt(span: dict[str, Any]) -> list[dict[str, Any]]:
    return json.loads(span["prompt"])


def tool_calls(span: dict[str, Any]) -> list[tuple[str, str | None, str | None]]:
    """(name, arguments, call id) of each tool call the span recorded."""
    return [(action["name"], action["arguments"], action["metadata"].get("gen_ai.tool.call.id"))
            for action in span["agent_actions"] if action["action_type"] == "tool_call"]
