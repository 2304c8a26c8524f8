"""Trace an OpenAI tool-calling agent end to end, with no span code of your own.

This example needs no account and no network beyond the loopback interface:
it starts a small OpenAI-compatible chat-completions server on 127.0.0.1
(standard library http.server, answering with server-sent events in the
chat.completion.chunk format), points a real `openai.OpenAI` client at it and
traces it with `korvanta.wrap_openai`. The agent loop runs inside a
`korvanta.span("invoke_agent")` block:

  1. the model streams a short answer and asks for two tool calls;
  2. the agent runs each tool inside a `korvanta.span("execute_tool")` block
     and sends the results back;
  3. the model streams its final answer.

Each model call becomes one span on its own (prompt as GenAI messages, the
streamed answer, time to first token, token usage, cost, the tool calls it
asked for), a child of the agent's span. A pipeline processor appends every
span that ends to a JSON Lines file, one line of compact JSON each: two `chat`
spans, two `execute_tool` spans and the `invoke_agent` span, in that order.
If a call fails, its span records the error and its HTTP status and is
written all the same.

Usage:
    python examples/openai_agent.py [SPANS_FILE] [--model MODEL]

SPANS_FILE defaults to spans.jsonl. The server knows one model,
gpt-4o-mini; naming another (--model gpt-5-nano) shows the error path: the
server answers 404, the spans record it, and the script exits with status 1.
"""

from __future__ import annotations

import argparse
import http.server
import json
import sys
import threading
import time
from collections.abc import Iterator
from typing import Any

import openai
from openai.types.chat import (
    ChatCompletionAssistantMessageParam,
    ChatCompletionMessageParam,
    ChatCompletionToolMessageParam,
    ChatCompletionToolParam,
)

import korvanta
import korvanta_python

MODEL = "gpt-4o-mini"
TENANT_ID = "5d3c1a2b-8e4f-4a6b-9c0d-7e1f2a3b4c5d"
PROMPT = "What is the weather in Paris and in Berlin right now? Should I take an umbrella?"
SYSTEM_PROMPT = "You are a travel assistant. Use the tools to look up live data."
MAX_TURNS = 4

# What the server streams back. First turn: a short answer in pieces, then two
# tool calls whose JSON arguments arrive split over several deltas, as real
# models send them. Second turn, once the tool results are in: the final answer.
ANSWER_PARTS = ["Let me ", "check the ", "current weather ", "in both cities."]
FINAL_PARTS = ["Take an umbrella in Paris (rain, 14 °C); ", "Berlin is clear at 9 °C."]
TOOL_CALLS = [
    {"id": "call_paris_7f3a", "name": "get_weather", "arguments": '{"city": "Paris", "unit": "celsius"}'},
    {"id": "call_berlin_c41d", "name": "get_weather", "arguments": '{"city": "Berlin", "unit": "celsius"}'},
]
USAGE = [  # per turn
    {"prompt_tokens": 57, "completion_tokens": 41, "total_tokens": 98},
    {"prompt_tokens": 131, "completion_tokens": 24, "total_tokens": 155},
]
FIRST_CHUNK_DELAY_S = 0.05  # the model "thinking" before its first token
CHUNK_INTERVAL_S = 0.005

TOOLS: list[ChatCompletionToolParam] = [
    {
        "type": "function",
        "function": {
            "name": "get_weather",
            "description": "Current weather for a city.",
            "parameters": {
                "type": "object",
                "properties": {"city": {"type": "string"}, "unit": {"type": "string"}},
                "required": ["city"],
            },
        },
    }
]

# The agent's side of the tools: what it runs when the model asks.
FORECASTS = {"Paris": {"sky": "rain", "temperature": 14}, "Berlin": {"sky": "clear", "temperature": 9}}


def get_weather(city: str, unit: str = "celsius") -> dict[str, Any]:
    forecast = FORECASTS.get(city)
    if forecast is None:
        raise LookupError(f"no forecast for {city}")
    return {"city": city, "unit": unit, **forecast}


# --------------------------------------------------------------------------
# The OpenAI-compatible server (loopback only)
# --------------------------------------------------------------------------


def _chunk(response_id: str, created: int, model: str, delta: dict[str, Any] | None,
           finish_reason: str | None = None, usage: dict[str, int] | None = None) -> dict[str, Any]:
    choices = [] if delta is None else [
        {"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish_reason}
    ]
    return {
        "id": response_id,
        "object": "chat.completion.chunk",
        "created": created,
        "model": model,
        "system_fingerprint": "fp_korvanta_demo",
        "choices": choices,
        "usage": usage,
    }


def completion_chunks(model: str, turn: int, include_usage: bool) -> Iterator[dict[str, Any]]:
    """The chunks of one streamed answer, in the order OpenAI sends them."""
    response_id = f"chatcmpl-korvanta-demo-{turn + 1:04d}"
    created = int(time.time())
    yield _chunk(response_id, created, model, {"role": "assistant", "content": ""})
    for part in ANSWER_PARTS if turn == 0 else FINAL_PARTS:
        yield _chunk(response_id, created, model, {"content": part})
    if turn == 0:
        for index, call in enumerate(TOOL_CALLS):
            # The first delta of a tool call names it; the arguments follow in
            # fragments that the client concatenates by index.
            yield _chunk(response_id, created, model, {"tool_calls": [{
                "index": index, "id": call["id"], "type": "function",
                "function": {"name": call["name"], "arguments": ""},
            }]})
            arguments = call["arguments"]
            middle = len(arguments) // 2
            for fragment in (arguments[:middle], arguments[middle:]):
                yield _chunk(response_id, created, model,
                             {"tool_calls": [{"index": index, "function": {"arguments": fragment}}]})
    yield _chunk(response_id, created, model, {}, finish_reason="tool_calls" if turn == 0 else "stop")
    if include_usage:
        yield _chunk(response_id, created, model, None, usage=dict(USAGE[turn]))


class ChatCompletionsHandler(http.server.BaseHTTPRequestHandler):
    """POST /v1/chat/completions with "stream": true, answered as SSE."""

    server_version = "korvanta-demo/1.0"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # keep the example's output to the summary

    def _send_json(self, status: int, body: dict[str, Any]) -> None:
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _send_error(self, status: int, message: str, code: str) -> None:
        self._send_json(status, {"error": {"message": message, "type": "invalid_request_error",
                                           "param": None, "code": code}})

    def do_POST(self) -> None:
        if self.path.rstrip("/") != "/v1/chat/completions":
            self._send_error(404, f"Unknown path {self.path}", "unknown_url")
            return
        length = int(self.headers.get("Content-Length", "0"))
        try:
            request = json.loads(self.rfile.read(length))
        except json.JSONDecodeError:
            self._send_error(400, "The body is not valid JSON", "invalid_json")
            return
        messages = request.get("messages")
        if not messages:
            self._send_error(400, "'messages' is required", "missing_messages")
            return
        if request.get("model") != MODEL:
            self._send_error(404, f"The model `{request.get('model')}` does not exist", "model_not_found")
            return
        if not request.get("stream"):
            self._send_error(400, "This server only streams: set stream=true", "stream_required")
            return
        turn = 1 if messages[-1].get("role") == "tool" else 0
        include_usage = bool((request.get("stream_options") or {}).get("include_usage"))

        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        time.sleep(FIRST_CHUNK_DELAY_S)
        for chunk in completion_chunks(MODEL, turn, include_usage):
            self.wfile.write(b"data: " + json.dumps(chunk, separators=(",", ":")).encode() + b"\n\n")
            self.wfile.flush()
            time.sleep(CHUNK_INTERVAL_S)
        self.wfile.write(b"data: [DONE]\n\n")
        self.wfile.flush()
        self.close_connection = True


def start_server() -> http.server.ThreadingHTTPServer:
    """Starts the server on a free loopback port, in a daemon thread."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ChatCompletionsHandler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, name="chat-completions-server", daemon=True).start()
    return server


# --------------------------------------------------------------------------
# The agent
# --------------------------------------------------------------------------


def read_stream(stream: Any) -> tuple[str, list[dict[str, Any]]]:
    """The answer text and the tool calls (id, name, arguments) of a streamed reply."""
    text: list[str] = []
    calls: dict[int, dict[str, Any]] = {}
    for chunk in stream:
        for choice in chunk.choices:
            delta = choice.delta
            text.append(delta.content or "")
            for call in delta.tool_calls or []:
                slot = calls.setdefault(call.index, {"id": "", "name": "", "arguments": ""})
                slot["id"] = call.id or slot["id"]
                if call.function is not None:
                    slot["name"] += call.function.name or ""
                    slot["arguments"] += call.function.arguments or ""
    return "".join(text), [calls[index] for index in sorted(calls)]


def run_tool(call: dict[str, Any]) -> ChatCompletionToolMessageParam:
    """Runs one tool call inside its own span; returns the tool message for the model."""
    with korvanta.span("execute_tool", tags={"gen_ai.tool.name": call["name"],
                                             "gen_ai.tool.call.id": call["id"]}) as span:
        started = time.perf_counter()
        try:
            output = json.dumps(get_weather(**json.loads(call["arguments"])))
            succeeded = True
        except (LookupError, TypeError, ValueError) as error:
            output = f"{type(error).__name__}: {error}"
            succeeded = False
        korvanta.report_action(span, "tool_call", call["name"], arguments=call["arguments"], result=output,
                               duration_ms=int((time.perf_counter() - started) * 1000), success=succeeded,
                               metadata={"gen_ai.tool.call.id": call["id"]})
    return {"role": "tool", "tool_call_id": call["id"], "content": output}


def run_agent(client: openai.OpenAI, model: str) -> str:
    """Asks, runs the tools the model asks for, and asks again until it answers."""
    messages: list[ChatCompletionMessageParam] = [{"role": "system", "content": SYSTEM_PROMPT},
                                                  {"role": "user", "content": PROMPT}]
    with korvanta.span("invoke_agent", provider="openai", model=model, tags={"agent": "travel-assistant"}):
        for _ in range(MAX_TURNS):
            stream = client.chat.completions.create(model=model, messages=messages, tools=TOOLS, stream=True)
            text, calls = read_stream(stream)
            if not calls:
                return text
            turn: ChatCompletionAssistantMessageParam = {"role": "assistant", "content": text or None, "tool_calls": [
                {"id": call["id"], "type": "function",
                 "function": {"name": call["name"], "arguments": call["arguments"]}} for call in calls]}
            messages.append(turn)
            messages.extend(run_tool(call) for call in calls)
    raise RuntimeError(f"no answer after {MAX_TURNS} turns")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("spans_file", nargs="?", default="spans.jsonl",
                        help="JSON Lines file the spans are appended to (default: spans.jsonl)")
    parser.add_argument("--model", default=MODEL, help=f"model to ask for (the server knows {MODEL})")
    parser.add_argument("--tree", action="store_true", help="print the trace as a tree once it is written")
    args = parser.parse_args(argv)

    server = start_server()
    try:
        korvanta.setup(tracer=korvanta_python.DURUraTracer(tenant_id=TENANT_ID),
                       exporter=korvanta.JSONLinesExporter(args.spans_file))
        client = korvanta.wrap_openai(openai.OpenAI(base_url=f"http://127.0.0.1:{server.server_port}/v1",
                                                    api_key="sk-local-demo", max_retries=0))
        try:
            answer = run_agent(client, args.model)
        except openai.APIError as error:
            print(f"call failed ({type(error).__name__}: {error}); spans appended to {args.spans_file}",
                  file=sys.stderr)
            return 1
    finally:
        korvanta.shutdown()  # exports what is queued
        server.shutdown()
        server.server_close()

    print(f"answer: {answer}")
    print(f"spans appended to {args.spans_file}")
    if args.tree:
        print_tree(args.spans_file)
    return 0


def print_tree(path: str) -> None:
    """The last trace in the file, one line per span: operation, model,
    duration, tokens, cost and actions, children under their parent."""
    spans = [json.loads(line) for line in open(path, encoding="utf-8")]
    trace = spans[-1]["trace_id"]
    spans = [s for s in spans if s["trace_id"] == trace]
    children: dict[str | None, list[dict[str, Any]]] = {}
    for span in sorted(spans, key=lambda s: s["start_time"]):
        children.setdefault(span["parent_span_id"], []).append(span)

    def line(span: dict[str, Any]) -> str:
        parts = [span["operation_name"]]
        if span["model_name"]:
            parts.append(span["model_name"])
        parts.append(f"{span['duration_ms']} ms")
        if span["total_tokens"] is not None:
            parts.append(f"{span['prompt_tokens']}+{span['completion_tokens']} tokens")
        if span["estimated_cost_usd"] is not None:
            parts.append(f"${span['estimated_cost_usd']:.6f}")
        actions = [f"{a['action_type']}:{a['name']}" for a in span["agent_actions"]]
        if actions:
            parts.append("actions " + ", ".join(actions))
        if span["error_message"]:
            parts.append(f"error {span['error_message']}")
        return "  ".join(parts)

    def show(parent: str | None, depth: int) -> None:
        for span in children.get(parent, []):
            print(("    " * depth) + ("└─ " if depth else "") + line(span))
            show(span["span_id"], depth + 1)

    print(f"trace {trace}")
    show(None, 0)


if __name__ == "__main__":
    sys.exit(main())
