# A loopback server that speaks OpenAI's and Anthropic's HTTP APIs (JSON and
# server-sent events), answering from a script, so real clients can be traced in tests.
from __future__ import annotations

import collections
import http.server
import json
import threading
import time
from dataclasses import dataclass, field
from typing import Any

# Paths served: OpenAI's under base_url http://127.0.0.1:PORT/v1, Anthropic's
# under http://127.0.0.1:PORT (its client adds /v1 itself).
CHAT, RESPONSES, EMBEDDINGS, MESSAGES = "/v1/chat/completions", "/v1/responses", "/v1/embeddings", "/v1/messages"


@dataclass(frozen=True)
class ToolCall:
    id: str
    name: str
    arguments: str  # JSON text, streamed in two fragments


@dataclass(frozen=True)
class Answer:
    """One scripted answer: what the model says, or how the server misbehaves."""

    text: str = "Hello there."  # streamed in two pieces
    tool_calls: tuple[ToolCall, ...] = ()
    input_tokens: int = 21  # all input, cached included
    output_tokens: int = 9
    cached_tokens: int = 0
    cache_write_tokens: int = 0  # Anthropic only
    reasoning_tokens: int = 0
    model: str | None = None  # the model the answer names; the requested one with a date suffix if None
    status: int = 200  # any other: an error answer in the API's shape
    error: str = "scripted failure"
    delay: float = 0.0  # seconds before the answer starts
    cut_after: int | None = None  # streams: drop the connection after this many events
    error_after: int | None = None  # Anthropic streams: an error event in place of the rest after this many events
    split: bool = False  # streams: each event sent in two pieces, apart, so that it arrives cut

    def answer_model(self, requested: str) -> str:
        return self.model if self.model is not None else f"{requested}-2024-08-06"


@dataclass
class LLMServer:
    """Answers each request with the next scripted Answer (a default one when the script is empty).

    `requests` keeps every (path, JSON body) received. With
    `refuse_stream_options`, chat requests naming stream_options get the 400
    that some OpenAI-compatible servers give.
    """

    refuse_stream_options: bool = False
    requests: list[tuple[str, dict[str, Any]]] = field(default_factory=list)

    def __post_init__(self) -> None:
        self._script: collections.deque[Answer] = collections.deque()
        self._lock = threading.Lock()
        self.stopping = threading.Event()
        self._http = _Server(("127.0.0.1", 0), _Handler)
        self._http.daemon_threads = True
        self._http.llm = self  # type: ignore[attr-defined]
        self._thread = threading.Thread(target=self._http.serve_forever, name="llm-server", daemon=True)
        self._thread.start()

    @property
    def openai_url(self) -> str:
        return f"http://127.0.0.1:{self._http.server_port}/v1"

    @property
    def anthropic_url(self) -> str:
        return f"http://127.0.0.1:{self._http.server_port}"

    def script(self, *answers: Answer) -> None:
        with self._lock:
            self._script.extend(answers)

    def next_answer(self, path: str, body: dict[str, Any]) -> Answer:
        with self._lock:
            self.requests.append((path, body))
            return self._script.popleft() if self._script else Answer()

    def close(self) -> None:
        self.stopping.set()
        self._http.shutdown()
        self._http.server_close()

    def __enter__(self) -> LLMServer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _halves(text: str) -> list[str]:
    middle = len(text) // 2
    return [piece for piece in (text[:middle], text[middle:]) if piece]


# -- OpenAI -------------------------------------------------------------------


def _openai_error(status: int, message: str) -> dict[str, Any]:
    kind = {400: "invalid_request_error", 429: "rate_limit_exceeded"}.get(status, "server_error")
    return {"error": {"message": message, "type": kind, "param": None, "code": kind}}


def _chat_usage(answer: Answer) -> dict[str, Any]:
    return {
        "prompt_tokens": answer.input_tokens, "completion_tokens": answer.output_tokens,
        "total_tokens": answer.input_tokens + answer.output_tokens,
        "prompt_tokens_details": {"cached_tokens": answer.cached_tokens},
        "completion_tokens_details": {"reasoning_tokens": answer.reasoning_tokens},
    }


def _chat_json(answer: Answer, model: str) -> dict[str, Any]:
    reply: dict[str, Any] = {"role": "assistant", "content": answer.text or None, "refusal": None}
    if answer.tool_calls:
        reply["tool_calls"] = [{"id": call.id, "type": "function",
                                "function": {"name": call.name, "arguments": call.arguments}}
                               for call in answer.tool_calls]
    return {
        "id": "chatcmpl-loopback", "object": "chat.completion", "created": int(time.time()), "model": model,
        "choices": [{"index": 0, "message": reply, "logprobs": None,
                     "finish_reason": "tool_calls" if answer.tool_calls else "stop"}],
        "usage": _chat_usage(answer),
    }


def _chat_events(answer: Answer, model: str, include_usage: bool) -> list[tuple[str | None, Any]]:
    def chunk(delta: dict[str, Any] | None, finish: str | None = None, usage: Any = None) -> tuple[None, Any]:
        choices = [] if delta is None else [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish}]
        return None, {"id": "chatcmpl-loopback", "object": "chat.completion.chunk", "created": int(time.time()),
                      "model": model, "choices": choices, "usage": usage}

    events = [chunk({"role": "assistant", "content": ""})]
    events += [chunk({"content": piece}) for piece in _halves(answer.text)]
    for index, call in enumerate(answer.tool_calls):
        events.append(chunk({"tool_calls": [{"index": index, "id": call.id, "type": "function",
                                             "function": {"name": call.name, "arguments": ""}}]}))
        events += [chunk({"tool_calls": [{"index": index, "function": {"arguments": piece}}]})
                   for piece in _halves(call.arguments)]
    events.append(chunk({}, "tool_calls" if answer.tool_calls else "stop"))
    if include_usage:
        events.append(chunk(None, usage=_chat_usage(answer)))
    events.append((None, "[DONE]"))
    return events


def _responses_json(answer: Answer, model: str, status: str = "completed") -> dict[str, Any]:
    output: list[dict[str, Any]] = []
    if answer.text:
        output.append({"type": "message", "id": "msg_loopback", "role": "assistant", "status": "completed",
                       "content": [{"type": "output_text", "text": answer.text, "annotations": []}]})
    output += [{"type": "function_call", "id": f"fc_{call.id}", "call_id": call.id, "name": call.name,
                "arguments": call.arguments, "status": "completed"} for call in answer.tool_calls]
    return {
        "id": "resp_loopback", "object": "response", "created_at": int(time.time()), "model": model,
        "status": status, "output": output if status == "completed" else [],
        "usage": {"input_tokens": answer.input_tokens, "output_tokens": answer.output_tokens,
                  "total_tokens": answer.input_tokens + answer.output_tokens,
                  "input_tokens_details": {"cached_tokens": answer.cached_tokens},
                  "output_tokens_details": {"reasoning_tokens": answer.reasoning_tokens}},
    }


def _responses_events(answer: Answer, model: str) -> list[tuple[str | None, Any]]:
    def event(kind: str, **data: Any) -> tuple[str, Any]:
        return kind, {"type": kind, **data}

    events = [event("response.created", response=_responses_json(answer, model, "in_progress"))]
    index = 0
    if answer.text:
        events.append(event("response.output_item.added", output_index=0,
                            item={"type": "message", "id": "msg_loopback", "role": "assistant", "content": []}))
        events += [event("response.output_text.delta", output_index=0, content_index=0, item_id="msg_loopback",
                         delta=piece) for piece in _halves(answer.text)]
        index = 1
    for offset, call in enumerate(answer.tool_calls):
        item = {"type": "function_call", "id": f"fc_{call.id}", "call_id": call.id, "name": call.name,
                "arguments": "", "status": "in_progress"}
        events.append(event("response.output_item.added", output_index=index + offset, item=item))
        events += [event("response.function_call_arguments.delta", output_index=index + offset,
                         item_id=item["id"], delta=piece) for piece in _halves(call.arguments)]
        events.append(event("response.output_item.done", output_index=index + offset,
                            item={**item, "arguments": call.arguments, "status": "completed"}))
    events.append(event("response.completed", response=_responses_json(answer, model)))
    return events


def _embeddings_json(answer: Answer, model: str, inputs: Any) -> dict[str, Any]:
    count = 1 if isinstance(inputs, str) else len(inputs)
    return {"object": "list", "model": model,
            "data": [{"object": "embedding", "index": i, "embedding": [0.25, -0.5, 0.125]} for i in range(count)],
            "usage": {"prompt_tokens": answer.input_tokens, "total_tokens": answer.input_tokens}}


# -- Anthropic ----------------------------------------------------------------


def _anthropic_error(status: int, message: str) -> dict[str, Any]:
    kind = {400: "invalid_request_error", 429: "rate_limit_error", 529: "overloaded_error"}.get(status, "api_error")
    return {"type": "error", "error": {"type": kind, "message": message}}


def _anthropic_usage(answer: Answer, output_tokens: int) -> dict[str, Any]:
    return {"input_tokens": answer.input_tokens - answer.cached_tokens - answer.cache_write_tokens,
            "output_tokens": output_tokens, "cache_read_input_tokens": answer.cached_tokens,
            "cache_creation_input_tokens": answer.cache_write_tokens,
            "output_tokens_details": {"thinking_tokens": answer.reasoning_tokens}}


def _message_json(answer: Answer, model: str, streamed: bool = False) -> dict[str, Any]:
    content: list[dict[str, Any]] = []
    if answer.text and not streamed:
        content.append({"type": "text", "text": answer.text})
    if not streamed:
        content += [{"type": "tool_use", "id": call.id, "name": call.name, "input": json.loads(call.arguments or "{}")}
                    for call in answer.tool_calls]
    return {"id": "msg_loopback", "type": "message", "role": "assistant", "model": model, "content": content,
            "stop_reason": None if streamed else ("tool_use" if answer.tool_calls else "end_turn"),
            "stop_sequence": None, "usage": _anthropic_usage(answer, 1 if streamed else answer.output_tokens)}


def _message_events(answer: Answer, model: str) -> list[tuple[str | None, Any]]:
    def event(kind: str, **data: Any) -> tuple[str, Any]:
        return kind, {"type": kind, **data}

    events = [event("message_start", message=_message_json(answer, model, streamed=True)), event("ping")]
    index = 0
    if answer.text:
        events.append(event("content_block_start", index=0, content_block={"type": "text", "text": ""}))
        events += [event("content_block_delta", index=0, delta={"type": "text_delta", "text": piece})
                   for piece in _halves(answer.text)]
        events.append(event("content_block_stop", index=0))
        index = 1
    for offset, call in enumerate(answer.tool_calls):
        events.append(event("content_block_start", index=index + offset,
                            content_block={"type": "tool_use", "id": call.id, "name": call.name, "input": {}}))
        events += [event("content_block_delta", index=index + offset,
                         delta={"type": "input_json_delta", "partial_json": piece})
                   for piece in _halves(call.arguments)]
        events.append(event("content_block_stop", index=index + offset))
    # The output count, and input_tokens again without the cache counts that came with message_start.
    usage = {key: value for key, value in _anthropic_usage(answer, answer.output_tokens).items()
             if not key.startswith("cache_")}
    events.append(event("message_delta", delta={"stop_reason": "tool_use" if answer.tool_calls else "end_turn",
                                                "stop_sequence": None}, usage=usage))
    events.append(event("message_stop"))
    return events


# -- HTTP -----------------------------------------------------------------------


class _Server(http.server.ThreadingHTTPServer):
    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # a client that stops reading a stream early drops the connection: not a server fault


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # chunked bodies, so a dropped connection is a broken stream
    disable_nagle_algorithm = True  # each event leaves at once, as from a real API

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass

    def _json(self, status: int, body: Any) -> None:
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if status == 429:
            self.send_header("Retry-After", "0")
        self.end_headers()
        self.wfile.write(data)

    def _sse(self, events: list[tuple[str | None, Any]], cut_after: int | None, split: bool = False) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for number, (name, data) in enumerate(events):
            if cut_after is not None and number == cut_after:
                self.wfile.write(b"40\r\ndata: {\"partial")  # a chunk that never ends
                self.wfile.flush()
                self.close_connection = True
                return
            text = (f"event: {name}\n" if name else "") + "data: " + (
                data if isinstance(data, str) else json.dumps(data, separators=(",", ":"))) + "\n\n"
            payload = text.encode()
            for piece in (payload[:len(payload) // 2], payload[len(payload) // 2:]) if split else (payload,):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                self.wfile.flush()
                if split:
                    time.sleep(0.002)  # the client reads the first piece on its own
        self.wfile.write(b"0\r\n\r\n")

    def do_POST(self) -> None:
        llm: LLMServer = self.server.llm  # type: ignore[attr-defined]
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", "0"))) or b"{}")
        path = self.path.partition("?")[0]
        if path.startswith("/openai/deployments/"):  # Azure: /openai/deployments/NAME/chat/completions
            path = "/v1/" + path.split("/", 4)[4]
        answer = llm.next_answer(path, body)
        anthropic = path == MESSAGES
        error = _anthropic_error if anthropic else _openai_error
        if answer.delay and llm.stopping.wait(answer.delay):
            return
        if path == CHAT and llm.refuse_stream_options and "stream_options" in body:
            self._json(400, error(400, "Unrecognized request argument supplied: stream_options"))
            return
        if answer.status != 200:
            self._json(answer.status, error(answer.status, answer.error))
            return
        model = answer.answer_model(body.get("model", ""))
        stream = bool(body.get("stream"))
        if path == CHAT and stream:
            usage = bool((body.get("stream_options") or {}).get("include_usage"))
            self._sse(_chat_events(answer, model, usage), answer.cut_after, answer.split)
        elif path == CHAT:
            self._json(200, _chat_json(answer, model))
        elif path == RESPONSES and stream:
            self._sse(_responses_events(answer, model), answer.cut_after)
        elif path == RESPONSES:
            self._json(200, _responses_json(answer, model))
        elif path == EMBEDDINGS:
            self._json(200, _embeddings_json(answer, model, body.get("input", "")))
        elif anthropic and stream:
            events = _message_events(answer, model)
            if answer.error_after is not None:
                events = events[:answer.error_after] + [("error", _anthropic_error(529, answer.error))]
            self._sse(events, answer.cut_after)
        elif anthropic:
            self._json(200, _message_json(answer, model))
        else:
            self._json(404, error(404, f"no route {path}"))
