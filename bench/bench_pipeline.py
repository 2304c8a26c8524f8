"""The export pipeline's costs beside the OpenTelemetry SDK's, for compare.py:

on_end_ns()          BatchProcessor.on_end on the application's thread, per
                     span, against BatchSpanProcessor.on_end;
export_throughput()  typical spans exported per CPU-second of this process
                     (its export thread included): BatchProcessor +
                     OTLPExporter against BatchSpanProcessor +
                     OTLPSpanExporter (HTTP, protobuf), both to one loopback
                     receiver running in a process of its own.

  python bench/bench_pipeline.py [--spans N] [--rounds N]
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import json
import statistics
import subprocess
import sys
import time
import urllib.request
from collections.abc import Callable, Sequence
from typing import Any

from compare import PROMPT_BASE, RESPONSE_BASE, korvanta_setup, korvanta_span, otel_span, text

KORVANTA, OTEL = "korvanta", "opentelemetry-sdk"


# ---- the receiver: a minimal OTLP/HTTP sink in its own process ----


async def _serve_forever() -> None:
    counts = {"requests": 0, "bytes": 0}

    async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                lines = head.decode("latin-1").split("\r\n")
                length = 0
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    if name.strip().lower() == "content-length":
                        length = int(value)
                body = await reader.readexactly(length)
                if lines[0].startswith("GET /stats"):
                    reply = json.dumps(counts).encode()
                    content_type = b"application/json"
                else:
                    counts["requests"] += 1
                    counts["bytes"] += len(body)
                    reply, content_type = b"", b"application/x-protobuf"
                writer.write(
                    b"HTTP/1.1 200 OK\r\nContent-Type: "
                    + content_type
                    + b"\r\nContent-Length: "
                    + str(len(reply)).encode()
                    + b"\r\n\r\n"
                    + reply
                )
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    # Stops when the benchmark closes our stdin (or dies).
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)


class Receiver:
    """Runs the sink in a subprocess; `url` is its /v1/traces."""

    def __enter__(self) -> Receiver:
        self._process = subprocess.Popen(
            [sys.executable, __file__, "--receive"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        assert self._process.stdout is not None
        self.base = f"http://127.0.0.1:{int(self._process.stdout.readline())}"
        self.url = f"{self.base}/v1/traces"
        return self

    def counts(self) -> dict[str, int]:
        with urllib.request.urlopen(f"{self.base}/stats") as response:
            return dict(json.load(response))

    def __exit__(self, *_: object) -> None:
        assert self._process.stdin is not None
        self._process.stdin.close()
        self._process.wait(timeout=10)


# ---- the two pipelines ----


def korvanta_available() -> str | None:
    """None when korvanta's OTLP side can run, else why not."""
    try:
        from korvanta import _native
    except ImportError as error:
        return f"korvanta not importable ({error})"
    if not hasattr(_native, "encode_otlp"):
        return "korvanta._native.encode_otlp not available"
    return None


def _texts(index: int) -> tuple[str, str]:
    # Each span its own prompt and response, as real calls have: identical
    # texts would flatter compression.
    return text(PROMPT_BASE, 1024, str(index)), text(RESPONSE_BASE, 2048, str(index))


def korvanta_spans(count: int) -> list[Any]:
    tracer = korvanta_setup()
    return [korvanta_span(tracer, *_texts(index)) for index in range(count)]


def otel_spans(count: int) -> list[Any]:
    from opentelemetry.sdk.resources import Resource
    from opentelemetry.sdk.trace import TracerProvider

    tracer = TracerProvider(resource=Resource.create({"service.name": "bench"})).get_tracer("bench")
    return [otel_span(tracer, *_texts(index)) for index in range(count)]


class _Accept:
    """The fastest possible exporter: takes the batch, reports success."""

    def export(self, spans: Sequence[Any]) -> Any:
        return True

    def shutdown(self) -> None:
        pass

    def force_flush(self, timeout_millis: int = 0) -> bool:
        return True


def _korvanta_processor(exporter: Any, queue: int) -> Any:
    from korvanta import BatchProcessor

    return BatchProcessor(exporter, max_queue_size=queue, max_batch_size=min(512, queue))


def _otel_processor(exporter: Any, queue: int) -> Any:
    from opentelemetry.sdk.trace.export import BatchSpanProcessor

    return BatchSpanProcessor(exporter, max_queue_size=queue, max_export_batch_size=min(512, queue))


# ---- the measurements ----


def on_end_ns(count: int = 100_000, rounds: int = 7, distinct: int = 1000) -> dict[str, dict[str, float]]:
    """Median ns per on_end call, over `count` calls from a pre-built list
    (`distinct` spans repeated) to a processor whose exporter accepts at
    once. "roomy": the queue holds every span, so this is the enqueue itself;
    "default queue": 2048 spans, as an application's burst meets it (the
    dropped share is reported beside it)."""
    makers: dict[str, tuple[Callable[[int], list[Any]], Callable[[Any, int], Any]]] = {
        OTEL: (otel_spans, _otel_processor)
    }
    if _korvanta_batch_importable():
        makers[KORVANTA] = (korvanta_spans, _korvanta_processor)
    pools = {name: make(distinct) for name, (make, _) in makers.items()}
    results: dict[str, dict[str, float]] = {}
    for queue_name, queue in (("roomy", count), ("default queue", 2048)):
        samples: dict[str, list[float]] = {name: [] for name in makers}
        dropped: dict[str, list[float]] = {name: [] for name in makers}
        for _ in range(rounds):
            for name, (_, processor_for) in makers.items():
                spans = list(itertools.islice(itertools.cycle(pools[name]), count))
                processor = processor_for(_Accept(), queue)
                on_end = processor.on_end
                start = time.perf_counter_ns()
                for span in spans:
                    on_end(span)
                samples[name].append((time.perf_counter_ns() - start) / count)
                processor.shutdown()
                lost = getattr(processor, "dropped", None)
                dropped[name].append(float("nan") if lost is None else lost / count)
        for name in makers:
            results.setdefault(name, {})[queue_name] = statistics.median(samples[name])
            results[name][f"{queue_name} dropped share"] = statistics.median(dropped[name])
    return results


def _korvanta_batch_importable() -> bool:
    try:
        from korvanta import BatchProcessor  # noqa: F401
    except ImportError:
        return False
    return True


def _run_pipeline(processor: Any, spans: Sequence[Any]) -> float:
    """CPU seconds of this process, all threads, to hand over and export `spans`."""
    start = time.process_time()
    on_end = processor.on_end
    for span in spans:
        on_end(span)
    processor.force_flush()
    return time.process_time() - start


def export_throughput(count: int = 5000, rounds: int = 5, compression: str = "none") -> dict[str, Any]:
    """Spans exported per CPU-second (median over rounds) and bytes sent per
    span, for each side that can run; a side that cannot says why."""
    from opentelemetry.exporter.otlp.proto.http import Compression
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter

    results: dict[str, Any] = {}
    with Receiver() as receiver:
        pipelines: dict[str, tuple[list[Any], Callable[[], Any]]] = {
            OTEL: (
                otel_spans(count),
                lambda: _otel_processor(
                    OTLPSpanExporter(
                        endpoint=receiver.url,
                        compression=Compression.Gzip if compression == "gzip" else Compression.NoCompression,
                    ),
                    count,
                ),
            )
        }
        missing = korvanta_available()
        if missing is None:
            from korvanta import OTLPExporter

            pipelines[KORVANTA] = (
                korvanta_spans(count),
                lambda: _korvanta_processor(OTLPExporter(receiver.url, compression=compression), count),
            )
        else:
            results[KORVANTA] = missing
        samples: dict[str, list[float]] = {name: [] for name in pipelines}
        sent: dict[str, list[int]] = {name: [] for name in pipelines}
        # One warm-up round each (imports, first connection), then interleaved rounds.
        for round_number in range(rounds + 1):
            for name, (spans, make) in pipelines.items():
                processor = make()
                before = receiver.counts()["bytes"]
                cpu = _run_pipeline(processor, spans)
                processor.shutdown()
                if round_number:
                    samples[name].append(len(spans) / cpu)
                    sent[name].append(receiver.counts()["bytes"] - before)
        for name in pipelines:
            results[name] = {
                "spans per CPU-second": statistics.median(samples[name]),
                "bytes per span": statistics.median(sent[name]) / count,
            }
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--spans", type=int, default=5000, help="spans per throughput round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--receive", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.receive:
        asyncio.run(_serve_forever())
        return
    for name, figures in on_end_ns(rounds=args.rounds).items():
        shown = ", ".join(
            f"{key} {value:.0f} ns" if "share" not in key else f"{key} {value:.1%}" for key, value in figures.items()
        )
        print(f"on_end, {name}: {shown}")
    for compression in ("none", "gzip"):
        results = export_throughput(args.spans, args.rounds, compression)
        for name, figures in results.items():
            if isinstance(figures, str):
                print(f"export, compression {compression}, {name}: not measured: {figures}")
            else:
                print(
                    f"export, compression {compression}, {name}: "
                    f"{figures['spans per CPU-second']:,.0f} spans per CPU-second, "
                    f"{figures['bytes per span']:,.0f} bytes per span sent"
                )
        if isinstance(results.get(KORVANTA), dict):
            ratio = results[KORVANTA]["spans per CPU-second"] / results[OTEL]["spans per CPU-second"]
            print(f"export, compression {compression}: korvanta {ratio:.1f}x the SDK (goal: 10x)")


if __name__ == "__main__":
    main()
