"""Trace a streaming OpenAI chat completion with tool calls, end to end.

This example needs no account and no network beyond the loopback interface:
it starts a small OpenAI-compatible chat-completions server on 127.0.0.1
(standard library http.server, answering with server-sent events in the
chat.completion.chunk format), points a real `openai.OpenAI` client at it,
wraps the client with `korvanta_python.instrument`, and traces one streaming
call:

  - the prompt, before the request is sent;
  - the time to first token, when the first chunk arrives;
  - the response text, completing the span when the stream ends;
  - the token usage from the final usage chunk (stream_options include_usage);
  - the two tool calls the model asked for, as agent actions, each with its
    arguments and, once the agent has run the tool, its result and duration.

The span is appended as one line of compact JSON to a JSON Lines file, ready
for a log shipper to pick up. If the call fails, the span records the error
and its HTTP status and is written all the same.

Usage:
    python examples/openai_agent.py [SPANS_FILE] [--model MODEL]

SPANS_FILE defaults to spans.jsonl. The server knows one model,
gpt-4o-mini; naming another (--model gpt-5-nano) shows the error path: the
server answers 404, the span records it, and the script exits with status 1.
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

import korvanta_python

MODEL = "gpt-4o-mini"
TENANT_ID = "5d3c1a2b-8e4f-4a6b-9c0d-7e1f2a3b4c5d"
PROMPT = "What is the weather in Paris and in Berlin right now? Should I take an umbrella?"
SYSTEM_PROMPT = "You are a travel assistant. Use the tools to look up live data."

# What the server streams back: the answer text in pieces, then two tool
# calls whose JSON arguments arrive split over several deltas, as real models
# send them.
ANSWER_PARTS = ["Let me ", "check the ", "current weather ", "in both cities."]
TOOL_CALLS = [
    {"id": "call_paris_7f3a", "name": "get_weather", "arguments": '{"city": "Paris", "unit": "celsius"}'},
    {"id": "call_berlin_c41d", "name": "get_weather", "arguments": '{"city": "Berlin", "unit": "celsius"}'},
]
USAGE = {"prompt_tokens": 57, "completion_tokens": 41, "total_tokens": 98}
FIRST_CHUNK_DELAY_S = 0.05  # the model "thinking" before its first token
CHUNK_INTERVAL_S = 0.005

TOOLS = [
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


def completion_chunks(model: str, include_usage: bool) -> Iterator[dict[str, Any]]:
    """The chunks of one streamed answer, in the order OpenAI sends them."""
    response_id = "chatcmpl-korvanta-demo-0001"
    created = int(time.time())
    yield _chunk(response_id, created, model, {"role": "assistant", "content": ""})
    for part in ANSWER_PARTS:
        yield _chunk(response_id, created, model, {"content": part})
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
    yield _chunk(response_id, created, model, {}, finish_reason="tool_calls")
    if include_usage:
        yield _chunk(response_id, created, model, None, usage=dict(USAGE))


class ChatCompletionsHandler(http.server.BaseHTTPRequestHandler):
    """POST /v1/chat/completions with "stream": true, answered as SSE."""

    server_version = "korvanta-demo/1.0"

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # keep the example's output to the span summary

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
        if not request.get("messages"):
            self._send_error(400, "'messages' is required", "missing_messages")
            return
        if request.get("model") != MODEL:
            self._send_error(404, f"The model `{request.get('model')}` does not exist", "model_not_found")
            return
        if not request.get("stream"):
            self._send_error(400, "This server only streams: set stream=true", "stream_required")
            return
        include_usage = bool((request.get("stream_options") or {}).get("include_usage"))

        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("Connection", "close")
        self.end_headers()
        time.sleep(FIRST_CHUNK_DELAY_S)
        for chunk in completion_chunks(MODEL, include_usage):
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
# The traced agent call
# --------------------------------------------------------------------------


def run_agent(client: korvanta_python.InstrumentedClient, span: korvanta_python.TraceSpan, model: str) -> None:
    """Makes one streaming call through the instrumented client, recording it on `span`.

    If the OpenAI client raises, the error and its HTTP status are recorded on
    the span (completing it) and the exception propagates.
    """
    span.set_prompt(PROMPT)
    span.add_tag("agent", "travel-assistant")
    span.add_tag("stream", "true")

    started = time.perf_counter()
    try:
        # `chat` is not an attribute of the wrapper: the wrapper hands the
        # lookup to the openai.OpenAI client, so this is the client's own call.
        stream = client.chat.completions.create(
            model=model,
            messages=[{"role": "system", "content": SYSTEM_PROMPT}, {"role": "user", "content": PROMPT}],
            tools=TOOLS,
            stream=True,
            stream_options={"include_usage": True},
        )
        text: list[str] = []
        calls: dict[int, dict[str, str]] = {}
        first_chunk = True
        finish_reason = None
        for chunk in stream:
            if first_chunk:
                span.set_ttft_ms(int((time.perf_counter() - started) * 1000))
                span.add_tag("openai.response_id", chunk.id)
                first_chunk = False
            if chunk.usage is not None:
                span.set_token_counts(prompt_tokens=chunk.usage.prompt_tokens,
                                      completion_tokens=chunk.usage.completion_tokens)
            for choice in chunk.choices:
                delta = choice.delta
                if delta.content:
                    text.append(delta.content)
                for call in delta.tool_calls or []:
                    slot = calls.setdefault(call.index, {"name": "", "arguments": ""})
                    if call.function is not None:
                        slot["name"] += call.function.name or ""
                        slot["arguments"] += call.function.arguments or ""
                if choice.finish_reason is not None:
                    finish_reason = choice.finish_reason
    except openai.APIError as error:
        span.set_error(f"{type(error).__name__}: {error.message}", getattr(error, "status_code", None))
        raise

    if finish_reason is not None:
        span.add_tag("openai.finish_reason", finish_reason)
    # The call is over when the stream ends: this fixes the span's end time
    # and duration. Actions can still be reported on a completed span.
    span.set_response("".join(text))

    # The agent runs each tool the model asked for and reports it on the span.
    for index in sorted(calls):
        call = calls[index]
        tool_started = time.perf_counter()
        try:
            output = json.dumps(get_weather(**json.loads(call["arguments"])))
            succeeded = True
        except (LookupError, TypeError, ValueError) as error:
            output = f"{type(error).__name__}: {error}"
            succeeded = False
        span.report_action(
            "tool_call",
            call["name"],
            arguments=call["arguments"],
            result=output,
            duration_ms=int((time.perf_counter() - tool_started) * 1000),
            success=succeeded,
        )


def append_jsonl(path: str, span: korvanta_python.TraceSpan) -> None:
    """Appends the span as one line of compact JSON."""
    line = json.dumps(span.to_dict(), separators=(",", ":"), ensure_ascii=False)
    with open(path, "a", encoding="utf-8") as out:
        out.write(line + "\n")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("spans_file", nargs="?", default="spans.jsonl",
                        help="JSON Lines file the span is appended to (default: spans.jsonl)")
    parser.add_argument("--model", default=MODEL, help=f"model to ask for (the server knows {MODEL})")
    args = parser.parse_args(argv)

    server = start_server()
    base_url = f"http://127.0.0.1:{server.server_port}/v1"
    try:
        tracer = korvanta_python.DURUraTracer(tenant_id=TENANT_ID)
        client = korvanta_python.instrument(
            openai.OpenAI(base_url=base_url, api_key="sk-local-demo", max_retries=0),
            tracer=tracer,
        )
        span = client.start_span("chat_completion", "openai", args.model)
        try:
            run_agent(client, span, args.model)
        except openai.APIError:
            append_jsonl(args.spans_file, span)
            print(f"call failed ({span.error_message}); span {span.span_id} appended to {args.spans_file}",
                  file=sys.stderr)
            return 1
        append_jsonl(args.spans_file, span)
    finally:
        server.shutdown()
        server.server_close()

    print(f"response: {span.response}")
    print(f"tokens: {span.prompt_tokens} prompt + {span.completion_tokens} completion = {span.total_tokens}")
    print(f"agent actions: {span.agent_actions_count}; duration: {span.duration_ms} ms")
    print(f"span {span.span_id} appended to {args.spans_file}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
