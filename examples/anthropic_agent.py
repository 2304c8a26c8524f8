"""Trace an Anthropic tool-using agent end to end, with no span code of your own.

This example needs no account and no network beyond the loopback interface:
it starts a small Anthropic-compatible Messages API server on 127.0.0.1
(standard library http.server, answering with server-sent events in the
Messages streaming format), points a real `anthropic.Anthropic` client at it
and traces it with `korvanta.wrap_anthropic`. Inside a
`korvanta.span("invoke_agent")` block the agent:

  1. streams the model's first turn with `client.messages.stream(...)`: a
     short text block, then a tool_use block asking for the weather;
  2. runs the tool inside a `korvanta.span("execute_tool")` block;
  3. sends the tool_result back with `client.messages.create(...)` and gets
     the final answer whole.

Each model call is one span, a child of the agent's: the prompt as GenAI
messages (the system prompt, the turns, the tool_use and tool_result blocks),
the answer, the tool call, time to first token, cost, and the token usage
that Anthropic streams in two halves (input at message_start, output at
message_delta), merged. The spans are printed as compact JSON, one a line.

Usage:
    python examples/anthropic_agent.py
"""

from __future__ import annotations

import http.server
import json
import sys
import threading
import time
from typing import Any

import anthropic

import korvanta
import korvanta_python

MODEL = "claude-sonnet-4-5"
PROMPT = "Should I take an umbrella in Paris today?"
SYSTEM_PROMPT = "You are a travel assistant. Use the tools to look up live data."
TOOLS = [{"name": "get_weather", "description": "Current weather for a city.",
          "input_schema": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}]
TOOL_USE = {"id": "toolu_01paris", "name": "get_weather", "input": {"city": "Paris"}}
FIRST_TEXT = "I'll check the forecast."
FINAL_TEXT = "Yes: rain is expected in Paris (14 °C), so take an umbrella."
# Anthropic counts cache reads apart from input_tokens.
USAGE = [{"input_tokens": 312, "cache_read_input_tokens": 1024, "output_tokens": 58},
         {"input_tokens": 402, "cache_read_input_tokens": 1024, "output_tokens": 21}]
FORECASTS = {"Paris": {"sky": "rain", "temperature": 14}}


def get_weather(city: str) -> dict[str, Any]:
    return {"city": city, **FORECASTS[city]}


# --------------------------------------------------------------------------
# The Anthropic-compatible server (loopback only)
# --------------------------------------------------------------------------


def message_events(turn: int) -> list[dict[str, Any]]:
    """The events of one streamed message, in the order the Messages API sends them."""
    usage = USAGE[turn]
    events: list[dict[str, Any]] = [
        {"type": "message_start", "message": {
            "id": f"msg_demo_{turn}", "type": "message", "role": "assistant", "model": MODEL, "content": [],
            "stop_reason": None, "stop_sequence": None,
            "usage": {"input_tokens": usage["input_tokens"], "output_tokens": 1,
                      "cache_read_input_tokens": usage["cache_read_input_tokens"],
                      "cache_creation_input_tokens": 0}}},
        {"type": "content_block_start", "index": 0, "content_block": {"type": "text", "text": ""}},
        {"type": "content_block_delta", "index": 0, "delta": {"type": "text_delta", "text": FIRST_TEXT}},
        {"type": "content_block_stop", "index": 0},
        {"type": "content_block_start", "index": 1,
         "content_block": {"type": "tool_use", "id": TOOL_USE["id"], "name": TOOL_USE["name"], "input": {}}},
    ]
    arguments = json.dumps(TOOL_USE["input"])
    for fragment in (arguments[:5], arguments[5:]):
        events.append({"type": "content_block_delta", "index": 1,
                       "delta": {"type": "input_json_delta", "partial_json": fragment}})
    events += [
        {"type": "content_block_stop", "index": 1},
        {"type": "message_delta", "delta": {"stop_reason": "tool_use", "stop_sequence": None},
         "usage": {"output_tokens": usage["output_tokens"]}},
        {"type": "message_stop"},
    ]
    return events


def final_message() -> dict[str, Any]:
    usage = USAGE[1]
    return {"id": "msg_demo_1", "type": "message", "role": "assistant", "model": MODEL,
            "content": [{"type": "text", "text": FINAL_TEXT}], "stop_reason": "end_turn", "stop_sequence": None,
            "usage": {**usage, "cache_creation_input_tokens": 0}}


class MessagesHandler(http.server.BaseHTTPRequestHandler):
    """POST /v1/messages: the first turn streamed, the answer to a tool_result whole."""

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass

    def do_POST(self) -> None:
        request = json.loads(self.rfile.read(int(self.headers.get("Content-Length", "0"))))
        if request.get("stream"):
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Connection", "close")
            self.end_headers()
            for event in message_events(0):
                self.wfile.write(f"event: {event['type']}\ndata: {json.dumps(event)}\n\n".encode())
                self.wfile.flush()
                time.sleep(0.005)
            self.close_connection = True
            return
        data = json.dumps(final_message()).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


# --------------------------------------------------------------------------
# The agent
# --------------------------------------------------------------------------


class PrintSpans:
    """A pipeline processor: prints each span that ends as one line of compact JSON."""

    def on_end(self, span: korvanta_python.TraceSpan) -> None:
        print(json.dumps(span.to_dict(), separators=(",", ":"), ensure_ascii=False))


def run_agent(client: anthropic.Anthropic) -> str:
    messages: list[dict[str, Any]] = [{"role": "user", "content": PROMPT}]
    with korvanta.span("invoke_agent", provider="anthropic", model=MODEL, tags={"agent": "travel-assistant"}):
        with client.messages.stream(model=MODEL, max_tokens=1024, system=SYSTEM_PROMPT, tools=TOOLS,
                                    messages=messages) as stream:
            reply = stream.get_final_message()
        messages.append({"role": "assistant", "content": reply.content})
        results = []
        for block in reply.content:
            if block.type == "tool_use":
                with korvanta.span("execute_tool", tags={"gen_ai.tool.name": block.name,
                                                         "gen_ai.tool.call.id": block.id}):
                    output = json.dumps(get_weather(**block.input))
                results.append({"type": "tool_result", "tool_use_id": block.id, "content": output})
        messages.append({"role": "user", "content": results})
        answer = client.messages.create(model=MODEL, max_tokens=1024, system=SYSTEM_PROMPT, tools=TOOLS,
                                        messages=messages)
        return "".join(block.text for block in answer.content if block.type == "text")


def main() -> int:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), MessagesHandler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        korvanta.setup(processors=[PrintSpans()])
        client = korvanta.wrap_anthropic(anthropic.Anthropic(base_url=f"http://127.0.0.1:{server.server_port}",
                                                             api_key="sk-ant-local-demo", max_retries=0))
        answer = run_agent(client)
    finally:
        server.shutdown()
        server.server_close()
    print(f"answer: {answer}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
