"""Tracing a typical LLM call, side by side.

Measures, in one run with the cases interleaved round by round (medians):
  a. a typical span's lifecycle: korvanta_python, the OpenTelemetry SDK doing
     the same (GenAI attribute names, actions as events, an in-memory
     exporter) and a plain Python dataclass;
  b. exporting that span: to_json() against the OpenTelemetry span's
     to_json(), orjson.dumps(d, option=OPT_INDENT_2) and json.dumps(d,
     indent=2) with d = span.to_dict();
  c. memory per finished span, 100,000 kept alive, as resident-set growth in
     a fresh process per tracer;
  d. the Python-level floor: two os.urandom(16) and one time.time_ns().

A typical span: 1 KiB prompt, 2 KiB response, token counts, time to first
token, five tags, three agent actions.

    python bench/compare.py [--rounds N] [--spans N]
"""

import argparse
import dataclasses
import json
import os
import statistics
import subprocess
import sys
import time
import uuid

PROMPT_BASE = "Summarise the quarterly report for the board, with risks first.\n"
RESPONSE_BASE = "Revenue rose 12% on the quarter; the main risk is supplier concentration.\n"
TAGS = [
    ("environment", "production"),
    ("user_tier", "premium"),
    ("region", "eu-west-1"),
    ("feature", "report-summary"),
    ("request_id", "req-7f3a9c"),
]
ACTIONS = [
    ("tool_call", "search_docs", '{"query": "Q3 report", "limit": 5}', '{"hits": 3}', 42),
    ("tool_call", "get_figures", '{"quarter": "Q3"}', '{"revenue": 1.12}', 18),
    ("web_access", "https://example.com/suppliers", None, '{"status": 200}', 230),
]


def text(base, size, salt=""):
    body = (salt + base) * (size // len(base) + 1)
    return body[:size]


PROMPT = text(PROMPT_BASE, 1024)
RESPONSE = text(RESPONSE_BASE, 2048)


# ---- the three tracers, each doing the same recording ----


def korvanta_setup():
    import korvanta_python

    return korvanta_python.DURUraTracer(endpoint="http://localhost:4317")


def korvanta_span(tracer, prompt=PROMPT, response=RESPONSE):
    span = tracer.start_span("chat_completion", "openai", "gpt-4")
    span.set_prompt(prompt)
    span.set_token_counts(prompt_tokens=230, completion_tokens=512)
    span.set_ttft_ms(180)
    for key, value in TAGS:
        span.add_tag(key, value)
    for kind, name, arguments, result, duration in ACTIONS:
        span.report_action(kind, name, arguments=arguments, result=result, duration_ms=duration)
    span.set_response(response)
    return span


def otel_setup():
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    provider = TracerProvider()
    exporter = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    return provider.get_tracer("bench"), exporter


def otel_span(tracer, prompt=PROMPT, response=RESPONSE):
    span = tracer.start_span(
        "chat gpt-4",
        attributes={
            "gen_ai.operation.name": "chat",
            "gen_ai.system": "openai",
            "gen_ai.request.model": "gpt-4",
        },
    )
    span.set_attribute("gen_ai.prompt", prompt)
    span.set_attribute("gen_ai.usage.input_tokens", 230)
    span.set_attribute("gen_ai.usage.output_tokens", 512)
    span.set_attribute("gen_ai.response.time_to_first_token_ms", 180)
    for key, value in TAGS:
        span.set_attribute(key, value)
    for kind, name, arguments, result, duration in ACTIONS:
        attributes = {"gen_ai.tool.type": kind, "gen_ai.tool.name": name, "duration_ms": duration}
        if arguments is not None:
            attributes["gen_ai.tool.call.arguments"] = arguments
        attributes["gen_ai.tool.call.result"] = result
        span.add_event("gen_ai.tool.call", attributes=attributes)
    span.set_attribute("gen_ai.completion", response)
    span.end()
    return span


@dataclasses.dataclass(slots=True)
class PlainAction:
    id: str
    action_type: str
    name: str
    arguments: object
    result: object
    duration_ms: object
    success: bool
    timestamp: int


@dataclasses.dataclass(slots=True)
class PlainSpan:
    trace_id: str
    span_id: str
    operation_name: str
    provider: str
    model_name: str
    start_time: int
    prompt: str = ""
    response: object = None
    prompt_tokens: object = None
    completion_tokens: object = None
    total_tokens: object = None
    ttft_ms: object = None
    end_time: object = None
    duration_ms: object = None
    tags: dict = dataclasses.field(default_factory=dict)
    agent_actions: list = dataclasses.field(default_factory=list)


def plain_span(_tracer, prompt=PROMPT, response=RESPONSE):
    span = PlainSpan(str(uuid.uuid4()), str(uuid.uuid4()), "chat_completion", "openai", "gpt-4", time.time_ns())
    span.prompt = prompt
    span.prompt_tokens, span.completion_tokens = 230, 512
    span.total_tokens = 742
    span.ttft_ms = 180
    for key, value in TAGS:
        span.tags[key] = value
    for kind, name, arguments, result, duration in ACTIONS:
        span.agent_actions.append(
            PlainAction(str(uuid.uuid4()), kind, name, arguments, result[:4096], duration, True, time.time_ns())
        )
    span.response = response
    span.end_time = time.time_ns()
    span.duration_ms = (span.end_time - span.start_time) // 1_000_000
    return span


def floor(_tracer):
    os.urandom(16)
    os.urandom(16)
    time.time_ns()


# ---- timing ----


def per_op_ns(fn, arg, count):
    start = time.perf_counter_ns()
    for _ in range(count):
        fn(arg)
    return (time.perf_counter_ns() - start) / count


def interleaved(cases, rounds, count):
    """cases: name -> (fn, arg, reset); returns name -> median ns per op."""
    samples = {name: [] for name in cases}
    for _ in range(rounds):
        for name, (fn, arg, reset) in cases.items():
            samples[name].append(per_op_ns(fn, arg, count))
            reset()
    return {name: statistics.median(values) for name, values in samples.items()}


# ---- memory, in a fresh process per tracer ----


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(kind, spans):
    if kind == "korvanta":
        tracer = korvanta_setup()
        make = korvanta_span
    else:
        tracer, _exporter = otel_setup()
        make = otel_span
    # Warm up allocators and imports, then measure the growth for `spans` more.
    keep = [make(tracer, text(PROMPT_BASE, 1024, "w")) for _ in range(100)]
    before = rss_bytes()
    for i in range(spans):
        # Each call gets texts of its own, as real calls do.
        keep.append(make(tracer, text(PROMPT_BASE, 1024, str(i)), text(RESPONSE_BASE, 2048, str(i))))
    after = rss_bytes()
    print((after - before) / spans)


def memory_per_span(kind, spans):
    out = subprocess.run(
        [sys.executable, __file__, "--memory-child", kind, "--spans", str(spans)],
        check=True,
        capture_output=True,
        text=True,
    )
    return float(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--count", type=int, default=2000, help="operations per case per round")
    parser.add_argument("--spans", type=int, default=100_000, help="spans kept alive for the memory figure")
    parser.add_argument("--memory-child", choices=["korvanta", "otel"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child, args.spans)
        return

    import korvanta_python
    import opentelemetry.sdk
    import orjson
    from importlib.metadata import version

    ktracer = korvanta_setup()
    otracer, exporter = otel_setup()

    def nothing():
        pass

    lifecycle = interleaved(
        {
            "korvanta_python": (korvanta_span, ktracer, nothing),
            "opentelemetry-sdk": (otel_span, otracer, exporter.clear),
            "dataclass": (plain_span, None, nothing),
            "floor": (floor, None, nothing),
        },
        args.rounds,
        args.count,
    )

    kspan = korvanta_span(ktracer)
    ospan = otel_span(otracer)
    d = kspan.to_dict()
    assert json.loads(kspan.to_json()) == d == orjson.loads(orjson.dumps(d, option=orjson.OPT_INDENT_2))
    export = interleaved(
        {
            "to_json()": (lambda s: s.to_json(), kspan, nothing),
            "otel span.to_json()": (lambda s: s.to_json(), ospan, nothing),
            "orjson.dumps(d, OPT_INDENT_2)": (lambda d: orjson.dumps(d, option=orjson.OPT_INDENT_2), d, nothing),
            "json.dumps(d, indent=2)": (lambda d: json.dumps(d, indent=2), d, nothing),
            "to_dict()": (lambda s: s.to_dict(), kspan, nothing),
        },
        args.rounds,
        args.count,
    )

    kmem = memory_per_span("korvanta", args.spans)
    omem = memory_per_span("otel", args.spans)

    print(
        f"Python {sys.version.split()[0]}, korvanta_python {korvanta_python.__version__}, "
        f"opentelemetry-sdk {version('opentelemetry-sdk')}, orjson {orjson.__version__}; "
        f"medians of {args.rounds} interleaved rounds x {args.count} operations"
    )
    del opentelemetry
    rows = [
        ("a. span lifecycle, korvanta_python", lifecycle["korvanta_python"], "us", None),
        ("a. span lifecycle, opentelemetry-sdk", lifecycle["opentelemetry-sdk"], "us",
         lifecycle["opentelemetry-sdk"] / lifecycle["korvanta_python"]),
        ("a. span lifecycle, dataclass", lifecycle["dataclass"], "us",
         lifecycle["dataclass"] / lifecycle["korvanta_python"]),
        ("b. to_json()", export["to_json()"], "us", None),
        ("b. otel span.to_json()", export["otel span.to_json()"], "us",
         export["otel span.to_json()"] / export["to_json()"]),
        ("b. orjson.dumps(d, OPT_INDENT_2)", export["orjson.dumps(d, OPT_INDENT_2)"], "us",
         export["orjson.dumps(d, OPT_INDENT_2)"] / export["to_json()"]),
        ("b. json.dumps(d, indent=2)", export["json.dumps(d, indent=2)"], "us",
         export["json.dumps(d, indent=2)"] / export["to_json()"]),
        ("b. to_dict() (for reference)", export["to_dict()"], "us", None),
        ("c. memory per span, korvanta_python", kmem, "KiB", None),
        ("c. memory per span, opentelemetry-sdk", omem, "KiB", omem / kmem),
        ("d. floor: 2 x os.urandom(16) + time.time_ns()", lifecycle["floor"], "us",
         lifecycle["floor"] / lifecycle["korvanta_python"]),
    ]
    print(f"\n| {'case':<48} | {'cost':>10} | {'peer / korvanta':>15} |")
    print(f"|{'-' * 50}|{'-' * 12}|{'-' * 17}|")
    for name, value, unit, ratio in rows:
        shown = f"{value / 1000:.2f} {unit}" if unit == "us" else f"{value / 1024:.2f} {unit}"
        ratio_text = f"{ratio:.2f}" if ratio is not None else ""
        print(f"| {name:<48} | {shown:>10} | {ratio_text:>15} |")

    print("\ntargets:")
    checks = [
        ("lifecycle at least 10x faster than opentelemetry-sdk",
         lifecycle["opentelemetry-sdk"] / lifecycle["korvanta_python"] >= 10),
        ("to_json() no slower than orjson.dumps(to_dict(), OPT_INDENT_2)",
         export["to_json()"] <= export["orjson.dumps(d, OPT_INDENT_2)"]),
        ("memory per span at most a quarter of opentelemetry-sdk's", kmem * 4 <= omem),
    ]
    for name, met in checks:
        print(f"  {'met    ' if met else 'NOT met'}  {name}")


if __name__ == "__main__":
    main()
