"""What tracing adds to one OpenAI client call, beside the peers.

The client's HTTP layer is answered in memory (its HTTP library's
MockTransport: no sockets), so the figures are the client's own work plus the
tracer's. Each round times a block of untraced calls and a block of traced
calls (the order alternating round by round; korvanta and OpenTelemetry
switch tracing on and off on one client, LangSmith's wrapper stands beside
a twin of the client it wraps) and keeps the
difference per call, in CPU time of the process (all its threads, so a
background sender counts too: the machine is shared, and wall time would
measure the others). The report gives the median over the rounds for a whole
chat completion, a streamed one, and a streamed one whose caller asks for the
usage chunk itself ("streamed_usage": korvanta asks for usage when the caller
does not, and the client's reading of that extra chunk counts in "streamed"),
with:

  - korvanta.wrap_openai (content captured, the default), its spans handed
    to a processor that keeps them in memory, as OpenTelemetry's are (both
    tracers' kept spans are dropped after each traced block, untimed; both
    are switched on for the traced block only);
  - OpenTelemetry's openai-v2 instrumentation, message content captured too,
    spans to an in-memory exporter;
  - LangSmith's wrap_openai, its background sender pointed at a loopback sink.

korvanta reads a traced stream's server-sent events natively, where the
client's own decoder reads them in Python: a streamed call costs less traced
than untraced. "korvanta, client decoding" (streamed kinds only) measures the
tracing with the client's decoder reading the events, what the tracing
itself costs; it is no peer and sets no goal.

Where the interpreter, the client and the tracer land in memory differs from
process to process, and with it the cost of every call by a few microseconds
either way: measure_processes() runs measure() in several fresh processes and
keeps, for each figure, the median of their medians.

    python bench/bench_clients.py [--rounds N] [--calls N] [--processes N]

bench/compare.py calls measure_processes() and format_report().
"""

from __future__ import annotations

import argparse
import contextlib
import http.server
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

ANSWER = "Revenue rose 12% on the quarter; the main risk is supplier concentration. " * 12
MESSAGES = [
    {"role": "system", "content": "You are a careful analyst. " * 8},
    {"role": "user", "content": "Summarise the quarterly report for the board, risks first. " * 10},
]
USAGE = {"prompt_tokens": 230, "completion_tokens": 180, "total_tokens": 410,
         "prompt_tokens_details": {"cached_tokens": 0}, "completion_tokens_details": {"reasoning_tokens": 0}}
STREAM_PIECES = 20


def _completion_body() -> bytes:
    return json.dumps({
        "id": "chatcmpl-bench", "object": "chat.completion", "created": 1, "model": "gpt-4o-mini-2024-07-18",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": ANSWER}, "finish_reason": "stop",
                     "logprobs": None}],
        "usage": USAGE,
    }).encode()


def _stream_body(include_usage: bool) -> bytes:
    def chunk(delta: Any, finish: Any = None, usage: Any = None) -> bytes:
        choices = [] if delta is None else [{"index": 0, "delta": delta, "finish_reason": finish}]
        data = {"id": "chatcmpl-bench", "object": "chat.completion.chunk", "created": 1,
                "model": "gpt-4o-mini-2024-07-18", "choices": choices, "usage": usage}
        return b"data: " + json.dumps(data).encode() + b"\n\n"

    size = len(ANSWER) // STREAM_PIECES + 1
    events = [chunk({"role": "assistant", "content": ""})]
    events += [chunk({"content": ANSWER[i:i + size]}) for i in range(0, len(ANSWER), size)]
    events.append(chunk({}, "stop"))
    if include_usage:
        events.append(chunk(None, usage=USAGE))
    return b"".join(events) + b"data: [DONE]\n\n"


COMPLETION = _completion_body()
STREAMS = {False: _stream_body(False), True: _stream_body(True)}


def _http_client(httpx_module: Any) -> Any:
    def answer(request: Any) -> Any:
        body = json.loads(request.content)
        if body.get("stream"):
            usage = bool((body.get("stream_options") or {}).get("include_usage"))
            return httpx_module.Response(200, content=STREAMS[usage],
                                         headers={"content-type": "text/event-stream"})
        return httpx_module.Response(200, content=COMPLETION, headers={"content-type": "application/json"})

    return httpx_module.Client(transport=httpx_module.MockTransport(answer))


def _client() -> Any:
    import httpx2
    import openai

    return openai.OpenAI(api_key="sk-bench", base_url="http://bench.invalid/v1", max_retries=0,
                         http_client=_http_client(httpx2))


KINDS = ("whole", "streamed", "streamed_usage")
# {tracer: {kind: {"added_us", "call_us", "spread_us"}}}
Results = dict[str, dict[str, dict[str, float]]]
CLIENT_DECODING = "korvanta, client decoding"


def _call(client: Any, kind: str) -> None:
    if kind == "whole":
        client.chat.completions.create(model="gpt-4o-mini", messages=MESSAGES)
        return
    # streamed_usage: the caller asks for the usage chunk itself, so no tracer adds one.
    options = {"stream_options": {"include_usage": True}} if kind == "streamed_usage" else {}
    for _ in client.chat.completions.create(model="gpt-4o-mini", messages=MESSAGES, stream=True, **options):
        pass


# -- the tracers -----------------------------------------------------------------


class _Sink(http.server.BaseHTTPRequestHandler):
    """Accepts whatever LangSmith's background sender posts."""

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass

    def _ok(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"{}")

    do_GET = do_POST = do_PATCH = _ok


class _Kept:
    """Keeps the spans in memory until cleared: the counterpart of OpenTelemetry's in-memory exporter.

    Both are cleared after each traced block, outside its timing, so that
    neither tracer's figure holds the freeing of spans kept from earlier calls.
    """

    def __init__(self) -> None:
        self.spans: list[Any] = []

    def on_end(self, span: Any) -> None:
        self.spans.append(span)

    def force_flush(self, timeout: float | None = None) -> bool:
        return True

    def shutdown(self) -> None:
        self.spans.clear()


def korvanta_tracer() -> tuple[Any, tuple[Callable[[], None], Callable[[], None]]]:
    """A client traced by korvanta.wrap_openai, and the switch around a traced block.

    Like OpenTelemetry's, the switch leaves one client traced or not, so both
    blocks of a round run on the same client object: two clients made alike
    differ by a few microseconds per call on their own, by where they land
    in memory, and the one made second was the cheaper in most processes
    here. wrap_openai hooks the client's `request` in its instance dict;
    switching off takes the hook out (the class's own `request` answers) and
    drops the spans kept.
    """
    import korvanta

    kept = _Kept()
    korvanta.setup(processors=[kept])
    client = korvanta.wrap_openai(_client())
    hook = vars(client)["request"]

    def on() -> None:
        vars(client)["request"] = hook

    def off() -> None:
        del vars(client)["request"]
        kept.spans.clear()

    off()
    return client, (on, off)


@contextlib.contextmanager
def _client_decoding() -> Iterator[None]:
    """Traced streams have the client's own decoder read their events, inside the block."""
    from korvanta import _openai

    native = _openai._ChatCompletions.tap_stream
    _openai._ChatCompletions.tap_stream = staticmethod(_openai._stream_tap(None, None))  # type: ignore[method-assign]
    try:
        yield
    finally:
        _openai._ChatCompletions.tap_stream = native  # type: ignore[method-assign]


class _LangSmith:
    """LangSmith's wrap_openai, its background sender posting to a loopback sink.

    The sink answers each post on a thread of its own, as a server would
    (one thread cannot keep up with the sender's queue). finish() sends what
    the sender still holds and stops both, so nothing is left to post at
    interpreter exit.
    """

    def __init__(self) -> None:
        self.sink = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Sink)
        self.sink.daemon_threads = True
        threading.Thread(target=self.sink.serve_forever, daemon=True).start()
        endpoint = f"http://127.0.0.1:{self.sink.server_port}"
        os.environ.update(LANGSMITH_TRACING="true", LANGSMITH_API_KEY="lsv2-bench", LANGSMITH_ENDPOINT=endpoint)
        import langsmith
        from langsmith.wrappers import wrap_openai

        self.wrap = wrap_openai
        self.sender = langsmith.Client(api_url=endpoint, api_key="lsv2-bench", info={"version": "bench"})

    def traced(self) -> Any:
        return self.wrap(_client(), tracing_extra={"client": self.sender})

    def finish(self) -> None:
        try:
            self.sender.flush()
            self.sender.cleanup()
        finally:
            self.sink.shutdown()
            self.sink.server_close()


class _OpenTelemetry:
    """OpenAIInstrumentor patches the client classes, so it is switched on for the traced block only."""

    def __init__(self) -> None:
        os.environ["OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT"] = "true"
        from opentelemetry.instrumentation.openai_v2 import OpenAIInstrumentor
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor
        from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

        self.exporter = InMemorySpanExporter()
        self.provider = TracerProvider()
        self.provider.add_span_processor(SimpleSpanProcessor(self.exporter))
        self.instrumentor = OpenAIInstrumentor()

    def on(self) -> None:
        self.instrumentor.instrument(tracer_provider=self.provider)

    def off(self) -> None:
        self.instrumentor.uninstrument()
        self.exporter.clear()


# -- measuring ---------------------------------------------------------------------


def _block_ns(client: Any, kind: str, calls: int) -> float:
    # CPU time of the process (every thread, so a peer's background sender
    # counts): the machine is shared, and wall time would measure the others.
    start = time.process_time_ns()
    for _ in range(calls):
        _call(client, kind)
    return (time.process_time_ns() - start) / calls


def _paired(plain: Any, traced: Any, kind: str, rounds: int, calls: int,
            switch: tuple[Callable[[], None], Callable[[], None]] | None = None) -> dict[str, float]:
    """Median over rounds of (traced - untraced) per call, and the untraced call's median."""
    on, off = switch or (lambda: None, lambda: None)
    for _ in range(3):  # warm both paths: imports, caches, pydantic validators
        on()
        _call(traced, kind)
        off()
        _call(plain, kind)
    added, base = [], []
    for round_number in range(rounds):
        if round_number % 2:
            untraced = _block_ns(plain, kind, calls)
            on()
            with_tracing = _block_ns(traced, kind, calls)
            off()
        else:
            on()
            with_tracing = _block_ns(traced, kind, calls)
            off()
            untraced = _block_ns(plain, kind, calls)
        added.append(with_tracing - untraced)
        base.append(untraced)
    return {"added_us": statistics.median(added) / 1000, "call_us": statistics.median(base) / 1000,
            "spread_us": (statistics.quantiles(added, n=4)[2] - statistics.quantiles(added, n=4)[0]) / 1000}


def measure(rounds: int = 500, calls: int = 4) -> Results:
    """{tracer: {kind: {"added_us", "call_us", "spread_us"}}} for each of KINDS; a peer that cannot load is left out."""
    results: dict[str, dict[str, dict[str, float]]] = {}
    client, switch = korvanta_tracer()
    results["korvanta"] = {kind: _paired(client, client, kind, rounds, calls, switch) for kind in KINDS}
    with _client_decoding():
        results[CLIENT_DECODING] = {kind: _paired(client, client, kind, rounds, calls, switch) for kind in KINDS[1:]}
    try:
        otel = _OpenTelemetry()
        plain = _client()
        results["opentelemetry"] = {kind: _paired(plain, plain, kind, rounds, calls, (otel.on, otel.off))
                                    for kind in KINDS}
    except ImportError as error:
        print(f"OpenTelemetry's openai-v2 instrumentation not measured: {error}")
    try:
        langsmith = _LangSmith()
    except ImportError as error:
        print(f"LangSmith not measured: {error}")
    else:
        try:
            plain, traced = _client(), langsmith.traced()
            results["langsmith"] = {kind: _paired(plain, traced, kind, rounds, calls) for kind in KINDS}
        finally:
            langsmith.finish()
    return results


def measure_processes(processes: int = 5, rounds: int = 300, calls: int = 4) -> tuple[Results, list[Results]]:
    """measure() in `processes` fresh interpreters one after another: each figure the median of theirs, and theirs."""
    runs: list[Results] = []
    shown: set[str] = set()
    for _ in range(processes):
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--json", "--rounds", str(rounds),
                                "--calls", str(calls)], capture_output=True, text=True)
        if child.returncode != 0:
            sys.stderr.write(child.stderr)
            raise RuntimeError(f"bench_clients.py --json failed with exit status {child.returncode}")
        *notes, figures = child.stdout.splitlines()
        for note in notes:  # a peer that could not load, once
            if note not in shown:
                shown.add(note)
                print(note)
        runs.append(json.loads(figures))
    merged: Results = {}
    for tracer, kinds in runs[0].items():
        if not all(tracer in run for run in runs):
            continue
        merged[tracer] = {kind: {key: statistics.median(run[tracer][kind][key] for run in runs) for key in values}
                          for kind, values in kinds.items()}
    return merged, runs


def format_report(results: Results) -> str:
    lines = ["added CPU time per call, us: median of paired rounds (interquartile range); untraced call after /",
             f"{'tracer':<15}" + "".join(f"{kind:>28}" for kind in KINDS)]
    for tracer, kinds in results.items():
        cells = [f"{m['added_us']:7.1f} ({m['spread_us']:6.1f}) / {m['call_us']:5.0f}" if m else "-"
                 for m in (kinds.get(kind) for kind in KINDS)]
        lines.append(f"{tracer:<15}" + "".join(f"{cell:>28}" for cell in cells))
    peers = [kinds for name, kinds in results.items() if name not in ("korvanta", CLIENT_DECODING)]
    if "korvanta" in results and peers:
        for kind in KINDS:
            cheaper = min(p[kind]["added_us"] for p in peers)
            ours = results["korvanta"][kind]["added_us"]
            lines.append(f"{kind}: korvanta adds {ours / cheaper:.0%} of the cheaper peer's cost (goal: at most 10%)")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=500)
    parser.add_argument("--calls", type=int, default=4)
    parser.add_argument("--processes", type=int, default=1, help="median of this many fresh processes' figures")
    parser.add_argument("--json", action="store_true", help="print one process's figures as JSON")
    args = parser.parse_args()
    if args.json:
        print(json.dumps(measure(args.rounds, args.calls)))
    elif args.processes > 1:
        print(format_report(measure_processes(args.processes, args.rounds, args.calls)[0]))
    else:
        print(format_report(measure(args.rounds, args.calls)))


if __name__ == "__main__":
    main()
