"""Korvanta's spans through a real OTLP backend (Phoenix) and back.

Needs the package's native encoder (korvanta._native.encode_otlp and
tracer_of); the first run installs Phoenix with tools/phoenix.sh."""

import logging

import korvanta_python
import pytest
from phoenix_backend import phoenix  # noqa: F401  (the fixture)

from korvanta import BatchProcessor, OTLPExporter


@pytest.fixture(autouse=True)
def no_otlp_environment(monkeypatch):
    for name in ("OTEL_EXPORTER_OTLP_ENDPOINT", "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT"):
        monkeypatch.delenv(name, raising=False)


def finished_spans(tracer, count):
    # Started through the package, so each span knows its tracer (and so its
    # endpoint); the process-wide pipeline they end into has no processors.
    import korvanta

    spans = []
    for index in range(count):
        with korvanta.span("chat_completion", provider="openai", model="gpt-4o-mini", tracer=tracer) as span:
            span.set_prompt(f"question {index}")
            span.set_token_counts(prompt_tokens=12, completion_tokens=34)
            span.set_response(f"answer {index}")
        spans.append(span)
    return spans


@pytest.mark.parametrize("endpoint_from", ["exporter", "tracer"])
@pytest.mark.parametrize("compression", ["gzip", "none"])
def test_spans_arrive_and_read_back(phoenix, endpoint_from, compression):  # noqa: F811
    tracer = korvanta_python.DURUraTracer(endpoint=phoenix.url if endpoint_from == "tracer" else None)
    exporter = OTLPExporter(phoenix.url if endpoint_from == "exporter" else None, compression=compression)
    processor = BatchProcessor(exporter, max_batch_size=4)
    spans = finished_spans(tracer, 10)
    for span in spans:
        processor.on_end(span)
    assert processor.shutdown(timeout=30)
    assert (processor.exported, processor.dropped, processor.failed) == (10, 0, 0)
    sent = {span.trace_id.replace("-", "") for span in spans}
    stored = phoenix.spans_of_traces(sent)
    assert {s["context"]["trace_id"] for s in stored} == sent
    assert {s["name"] for s in stored} == {"chat_completion gpt-4o-mini"}


def test_span_whose_tracer_has_no_endpoint_fails_and_is_reported_once(phoenix, caplog):  # noqa: F811
    routed = finished_spans(korvanta_python.DURUraTracer(endpoint=phoenix.url), 3)
    nowhere = finished_spans(korvanta_python.DURUraTracer(), 3)
    processor = BatchProcessor(OTLPExporter(), max_batch_size=2)
    with caplog.at_level(logging.WARNING, logger="korvanta"):
        for pair in zip(routed, nowhere, strict=True):
            for span in pair:
                processor.on_end(span)
        assert processor.shutdown(timeout=30)
    assert processor.failed == 6  # each batch held a span that could go nowhere
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1 and "their tracer has no endpoint" in errors[0]
    sent = {span.trace_id.replace("-", "") for span in routed}
    assert {s["context"]["trace_id"] for s in phoenix.spans_of_traces(sent)} == sent


def test_a_nested_agent_run_reads_back_with_parents_models_usage_and_tools(phoenix):  # noqa: F811
    import korvanta

    korvanta.setup(tracer=korvanta_python.DURUraTracer(), endpoint=phoenix.url)
    try:
        with korvanta.span("invoke_agent") as root:
            with korvanta.span("chat", provider="openai", model="gpt-4o-mini") as call:
                call.set_token_counts(prompt_tokens=12, completion_tokens=34)
                korvanta.report_action(call, "tool_call", "get_weather", arguments='{"city":"Paris"}',
                                       result='{"sky":"rain"}', duration_ms=5,
                                       metadata={"gen_ai.tool.call.id": "call_1"})
            with pytest.raises(TimeoutError), korvanta.span("chat", provider="openai", model="gpt-4o") as failed:
                raise TimeoutError("upstream")
    finally:
        assert korvanta.flush(30)
        korvanta.setup()
    stored = phoenix.spans_of_traces({root.trace_id.replace("-", "")})
    by_name = {s["name"]: s for s in stored}
    assert set(by_name) == {"invoke_agent", "chat gpt-4o-mini", "chat gpt-4o", "execute_tool get_weather"}
    root_id = by_name["invoke_agent"]["context"]["span_id"]
    assert by_name["invoke_agent"]["parent_id"] is None
    assert by_name["chat gpt-4o-mini"]["parent_id"] == root_id == by_name["chat gpt-4o"]["parent_id"]
    chat = by_name["chat gpt-4o-mini"]
    assert by_name["execute_tool get_weather"]["parent_id"] == chat["context"]["span_id"]
    attributes = chat["attributes"]
    assert (attributes["gen_ai.request.model"], attributes["gen_ai.usage.input_tokens"],
            attributes["gen_ai.usage.output_tokens"]) == ("gpt-4o-mini", 12, 34)
    assert by_name["execute_tool get_weather"]["attributes"]["gen_ai.tool.call.id"] == "call_1"
    assert by_name["chat gpt-4o"]["status_code"] == "ERROR"
    assert failed.error_message == "TimeoutError: upstream"
