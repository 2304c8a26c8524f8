"""Every public name of the korvanta package in typed use: checked by
`mypy --strict` in the tests, and runnable (no network: the exporters write
to a temporary directory, the OTLP one is constructed but never sent to)."""

from __future__ import annotations

import asyncio
import tempfile
from collections.abc import AsyncIterator, Iterator
from pathlib import Path

import korvanta
from korvanta import TraceSpan


class Printer:
    """A processor: each span that ends, as one line."""

    def on_end(self, span: TraceSpan) -> None:
        print(f"{span.operation_name}: complete={span.is_complete} failed={span.is_failed}")

    def force_flush(self, timeout: float | None = None) -> bool:
        return True

    def shutdown(self) -> None:
        pass


@korvanta.observe
def retrieve(query: str, limit: int = 3) -> list[str]:
    return [query] * limit


@korvanta.observe("plan", capture_output=False)
async def plan(goal: str) -> str:
    await asyncio.sleep(0)
    return f"plan for {goal}"


@korvanta.observe
def tokens(text: str) -> Iterator[str]:
    yield from text.split()


@korvanta.observe
async def chunks(text: str) -> AsyncIterator[str]:
    for word in text.split():
        yield word


async def agent(tracer: korvanta.DURUraTracer) -> None:
    async with korvanta.span("agent", tracer=tracer, tags={"team": "search"}) as root:
        assert korvanta.current_span() is root
        print(await plan("weather"))
        print([c async for c in chunks("rain in Paris")])


def main() -> None:
    directory = Path(tempfile.mkdtemp())
    tracer = korvanta.configure({"tenant_id": "0b8f4c1e-5a3d-4e2f-9c61-2d7a8b9c0d1e"})
    otlp = korvanta.OTLPExporter("http://127.0.0.1:4318", timeout=2.0, compression="gzip")
    batch = korvanta.BatchProcessor(korvanta.JSONLinesExporter(directory / "spans.jsonl"), schedule_delay=0.1)
    processor: korvanta.SpanProcessor = Printer()
    korvanta.setup(tracer=tracer, processors=[processor, batch], sample_rate=1.0, mask="secrets")
    korvanta.set_price("openai", "my-model", input=1.0, output=2.0, cached_input=0.5)
    price: korvanta.Price | None = korvanta.get_price("openai", "my-model")
    print(price, korvanta.estimate_cost("openai", "my-model", input_tokens=1000, output_tokens=500))

    with korvanta.attributes(session_id="s-1"), korvanta.span("chat", provider="openai", model="my-model") as s:
        korvanta.report_action(s, "web_access", "https://example.com", http_method="GET", http_status=200)
        korvanta.add_event(s, "retry", {"attempt": 2})
        korvanta.set_cost(s, 0.001)
        s.set_response("ok")
        findings = korvanta.scan(s)
        print(retrieve("rain"), list(tokens("a b")), len(findings))
    asyncio.run(agent(tracer))

    with korvanta.ContextThreadPoolExecutor(2) as pool:
        print(list(pool.map(retrieve, ["x", "y"])))
    module_span = tracer.start_span("legacy", "openai", "my-model")
    korvanta.end(module_span, tracer=tracer)
    client = korvanta.instrument(object(), tracer=tracer)
    print(type(client).__name__, korvanta.InstrumentedClient.__name__, isinstance(module_span, korvanta.TraceSpan))
    print(korvanta.flush(5.0), batch.exported, batch.dropped, batch.failed)
    korvanta.shutdown()
    otlp.shutdown()
    exporter: korvanta.SpanExporter = korvanta.JSONLinesExporter(directory / "other.jsonl")
    exporter.shutdown()
    print(korvanta.__version__, korvanta.wrap_openai.__name__, korvanta.wrap_anthropic.__name__,
          korvanta.load_prices.__name__)


if __name__ == "__main__":
    main()
