"""Korvanta side by side with the tracers people use today, in one run.

Each section measures one part, with the cases interleaved round by round
(medians), and prints its figures, the ratios and whether each goal is met:
  binding   a typical span's lifecycle beside the OpenTelemetry SDK doing the
            same, a plain dataclass and its native floor (five getrandom
            requests and five clock reads through the C library); to_json()
            beside orjson.dumps(span.to_dict(), OPT_INDENT_2) for a typical
            span and for one with a 1 MiB prompt; memory per finished span
            beyond its payload, 100,000 kept, in fresh processes;
  package   a korvanta.span with one child beside the same two spans made
            with the module's own calls and beside the SDK's two nested
            start_as_current_span blocks with an in-memory exporter;
  clients   what tracing adds to an OpenAI call (bench_clients.py), the
            median of five fresh processes' figures (300 rounds each);
  pipeline  BatchProcessor.on_end and OTLP export throughput beside the SDK's
            BatchSpanProcessor and OTLPSpanExporter (bench_pipeline.py);
  security  the scan of a typical span and detect-secrets on the same texts
            (bench_security.py).

A typical span: 1 KiB prompt, 2 KiB response, token counts, time to first
token, five tags, three agent actions.

    python bench/compare.py [--sections binding,package,...] [--rounds N]
"""

import argparse
import ctypes
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
BIG_PROMPT = text(PROMPT_BASE, 1 << 20)


# ---- the three tracers, each doing the same recording ----


def korvanta_setup():
    import korvanta_python

    return korvanta_python.DURUraTracer(endpoint="http://localhost:4317")


def korvanta_span(tracer, prompt=PROMPT, response=RESPONSE, actions=ACTIONS):
    span = tracer.start_span("chat_completion", "openai", "gpt-4")
    span.set_prompt(prompt)
    span.set_token_counts(prompt_tokens=230, completion_tokens=512)
    span.set_ttft_ms(180)
    for key, value in TAGS:
        span.add_tag(key, value)
    for kind, name, arguments, result, duration in actions:
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


def otel_span(tracer, prompt=PROMPT, response=RESPONSE, actions=ACTIONS):
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
    for kind, name, arguments, result, duration in actions:
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


def native_floor_ns(iterations=200_000):
    """ns per lifecycle floor, from bench/floor.c built here with cc."""
    here = os.path.dirname(os.path.abspath(__file__))
    library = os.path.join(here, "..", "build", "bench-floor", "floor.so")
    os.makedirs(os.path.dirname(library), exist_ok=True)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", library, os.path.join(here, "floor.c")], check=True)
    floor = ctypes.CDLL(library).floor_ns
    floor.restype, floor.argtypes = ctypes.c_double, [ctypes.c_long]
    return statistics.median(floor(iterations) for _ in range(5))


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
        # Each call gets texts of its own, as real calls do, tool texts too.
        actions = [(kind, name, None if arguments is None else arguments + str(i), result + str(i), duration)
                   for kind, name, arguments, result, duration in ACTIONS]
        keep.append(make(tracer, text(PROMPT_BASE, 1024, str(i)), text(RESPONSE_BASE, 2048, str(i)), actions))
    after = rss_bytes()
    print((after - before) / spans)


def payload_bytes():
    """The texts a typical span holds, which any tracer must keep."""
    tool = sum(len(arguments or "") + len(result) + 2 * 5 for _, _, arguments, result, _ in ACTIONS)
    return len(PROMPT) + len(RESPONSE) + tool


def memory_per_span(kind, spans):
    out = subprocess.run(
        [sys.executable, __file__, "--memory-child", kind, "--spans", str(spans)],
        check=True,
        capture_output=True,
        text=True,
    )
    return float(out.stdout)



# ---- sections: each returns (rows, checks) ----
# A row is (case, value, unit, ratio); a check is (goal, met).


def binding_section(args):
    import orjson

    ktracer = korvanta_setup()
    otracer, exporter = otel_setup()

    def nothing():
        pass

    lifecycle = interleaved(
        {
            "korvanta": (korvanta_span, ktracer, nothing),
            "otel": (otel_span, otracer, exporter.clear),
            "dataclass": (plain_span, None, nothing),
        },
        args.rounds,
        args.count,
    )
    floor = native_floor_ns()
    typical = korvanta_span(ktracer)
    big = korvanta_span(ktracer, BIG_PROMPT)
    typical_dict, big_dict = typical.to_dict(), big.to_dict()
    assert json.loads(typical.to_json()) == typical_dict
    export = interleaved(
        {
            "to_json": (lambda s: s.to_json(), typical, nothing),
            "orjson": (lambda d: orjson.dumps(d, option=orjson.OPT_INDENT_2), typical_dict, nothing),
        },
        args.rounds,
        args.count,
    )
    export_big = interleaved(
        {
            "to_json": (lambda s: s.to_json(), big, nothing),
            "orjson": (lambda d: orjson.dumps(d, option=orjson.OPT_INDENT_2), big_dict, nothing),
        },
        args.rounds,
        max(1, args.count // 200),
    )
    payload = payload_bytes()
    kmem = memory_per_span("korvanta", args.spans) - payload
    omem = memory_per_span("otel", args.spans) - payload
    k, o = lifecycle["korvanta"], lifecycle["otel"]
    rows = [
        ("lifecycle, korvanta_python", k, "us", None),
        ("lifecycle, opentelemetry-sdk", o, "us", o / k),
        ("lifecycle, dataclass", lifecycle["dataclass"], "us", lifecycle["dataclass"] / k),
        ("lifecycle floor (5 getrandom + 5 clock reads, C)", floor, "us", k / floor),
        ("to_json(), typical span", export["to_json"], "us", None),
        ("orjson.dumps(to_dict(), OPT_INDENT_2), typical", export["orjson"], "us",
         export["to_json"] / export["orjson"]),
        ("to_json(), 1 MiB prompt", export_big["to_json"], "us", None),
        ("orjson.dumps(to_dict(), OPT_INDENT_2), 1 MiB", export_big["orjson"], "us",
         export_big["to_json"] / export_big["orjson"]),
        ("memory beyond payload, korvanta_python", kmem, "KiB", None),
        ("memory beyond payload, opentelemetry-sdk", omem, "KiB", kmem / omem),
    ]
    checks = [
        ("lifecycle at least 20x faster than opentelemetry-sdk", o / k >= 20),
        ("lifecycle at most 1.5x its native floor", k <= 1.5 * floor),
        ("to_json() of the 1 MiB span no slower than orjson", export_big["to_json"] <= export_big["orjson"]),
        ("to_json() of the typical span at most 0.7x orjson", export["to_json"] <= 0.7 * export["orjson"]),
        ("memory beyond payload at most a quarter of opentelemetry-sdk's", kmem * 4 <= omem),
    ]
    return rows, checks


def package_section(args):
    import korvanta
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    tracer = korvanta.DURUraTracer()
    korvanta.setup(tracer=tracer)  # an empty pipeline
    provider = TracerProvider()
    exporter = InMemorySpanExporter()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    otracer = provider.get_tracer("bench")

    def module_spans(t):
        root = t.start_span("agent", "", "")
        child = t.start_span("chat", "", "")
        child.set_response("")
        root.set_response("")

    def package_spans(_):
        with korvanta.span("agent"):
            with korvanta.span("chat"):
                pass

    def otel_spans(t):
        with t.start_as_current_span("agent"):
            with t.start_as_current_span("chat"):
                pass

    def nothing():
        pass

    cost = interleaved(
        {
            "module": (module_spans, tracer, nothing),
            "package": (package_spans, None, nothing),
            "otel": (otel_spans, otracer, exporter.clear),
        },
        args.rounds,
        args.count,
    )
    p = cost["package"]
    rows = [
        ("root + child, korvanta.span blocks", p, "us", None),
        ("the same two with start_span + set_response", cost["module"], "us", p / cost["module"]),
        ("the same two, opentelemetry-sdk nested blocks", cost["otel"], "us", cost["otel"] / p),
    ]
    checks = [
        ("korvanta.span at most 2.5x the module's own calls", p <= 2.5 * cost["module"]),
        ("korvanta.span at least 10x cheaper than opentelemetry-sdk", cost["otel"] >= 10 * p),
    ]
    return rows, checks


def clients_section(args):
    import bench_clients

    results, runs = bench_clients.measure_processes(args.client_processes)
    rows, checks = [], []
    for kind in ("whole", "streamed"):
        ours = results["korvanta"][kind]
        rows.append((f"OpenAI call ({kind}), untraced", ours["call_us"] * 1000, "us", None))
        rows.append((f"added by korvanta.wrap_openai ({kind})", ours["added_us"] * 1000, "us", None))
        decoding = results.get(bench_clients.CLIENT_DECODING, {}).get(kind)
        if decoding is not None:  # the tracing alone, the client's decoder reading the events
            rows.append((f"  of which tracing, client decoding ({kind})", decoding["added_us"] * 1000, "us", None))
        peers = {name: kinds[kind]["added_us"] for name, kinds in results.items()
                 if name not in ("korvanta", bench_clients.CLIENT_DECODING)}
        for name, added in peers.items():
            # A traced call cheaper than the untraced one has no ratio to speak of.
            ratio = added / ours["added_us"] if ours["added_us"] > 0 else None
            rows.append((f"added by {name} ({kind})", added * 1000, "us", ratio))
        if peers:
            cheaper = min(peers.values())
            if len(runs) > 1:
                each = [run["korvanta"][kind]["added_us"] / min(run[name][kind]["added_us"] for name in peers)
                        for run in runs]
                print(f"  {kind}: korvanta / the cheaper peer in each process: "
                      + ", ".join(f"{ratio:.3f}" for ratio in each))
            checks.append((f"{kind}: at most a tenth of the cheaper peer's added cost",
                           ours["added_us"] <= cheaper / 10))
    return rows, checks


def pipeline_section(args):
    import bench_pipeline as bp

    rows, checks = [], []
    on_end = bp.on_end_ns()
    k, o = on_end[bp.KORVANTA]["roomy"], on_end[bp.OTEL]["roomy"]
    rows.append(("BatchProcessor.on_end per span", k, "us", None))
    rows.append(("BatchSpanProcessor.on_end per span (sdk)", o, "us", o / k))
    checks.append(("on_end at most 1 us per span", k <= 1000))
    for compression in ("none", "gzip"):
        throughput = bp.export_throughput(compression=compression)
        ks = throughput[bp.KORVANTA]["spans per CPU-second"]
        os_ = throughput[bp.OTEL]["spans per CPU-second"]
        rows.append((f"OTLP export ({compression}), spans per CPU-second", ks, "n", ks / os_))
        rows.append((f"OTLP export ({compression}), sdk spans per CPU-second", os_, "n", None))
        checks.append((f"export throughput ({compression}) at least 10x the sdk's", ks >= 10 * os_))
    return rows, checks


def security_section(args):
    import bench_security

    return bench_security.rows_and_checks(bench_security.measure(args.rounds))


SECTIONS = {
    "binding": binding_section,
    "package": package_section,
    "clients": clients_section,
    "pipeline": pipeline_section,
    "security": security_section,
}


def show(rows):
    print(f"\n| {'case':<52} | {'cost':>12} | {'ratio':>8} |")
    print(f"|{'-' * 54}|{'-' * 14}|{'-' * 10}|")
    for name, value, unit, ratio in rows:
        if unit == "us":
            shown = f"{value / 1000:.2f} us"
        elif unit == "KiB":
            shown = f"{value / 1024:.2f} KiB"
        elif unit == "n":
            shown = f"{value:,.0f}"
        else:
            shown = f"{value:.3g} {unit}"
        ratio_text = f"{ratio:.2f}" if ratio is not None else ""
        print(f"| {name:<52} | {shown:>12} | {ratio_text:>8} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sections", default=",".join(SECTIONS), help="comma-separated, from: " + ", ".join(SECTIONS))
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--count", type=int, default=2000, help="operations per case per round")
    parser.add_argument("--client-processes", type=int, default=5,
                        help="clients: the median of this many fresh processes' figures")
    parser.add_argument("--spans", type=int, default=100_000, help="spans kept alive for the memory figure")
    parser.add_argument("--memory-child", choices=["korvanta", "otel"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child, args.spans)
        return
    from importlib.metadata import version

    print(f"Python {sys.version.split()[0]}, korvanta_python {version('korvanta_python')}, "
          f"opentelemetry-sdk {version('opentelemetry-sdk')}; medians of {args.rounds} interleaved rounds")
    print("ratio: peer / korvanta, or korvanta / its reference where the goal is a ceiling")
    unmet = 0
    for name in args.sections.split(","):
        print(f"\n## {name}")
        try:
            rows, checks = SECTIONS[name](args)
        except ImportError as error:
            print(f"  skipped: {error}")
            continue
        show(rows)
        for goal, met in checks:
            unmet += not met
            print(f"  {'met    ' if met else 'NOT met'}  {goal}")
    print(f"\n{unmet} goal(s) not met")


if __name__ == "__main__":
    main()
