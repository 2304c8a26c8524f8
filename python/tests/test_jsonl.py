"""JSONLinesExporter: whole lines appended per batch, OS errors reported."""

import json
import logging

import korvanta_python

from korvanta import BatchProcessor, JSONLinesExporter


def test_each_span_is_one_line_of_its_json_document(tmp_path):
    path = tmp_path / "spans.jsonl"
    path.write_text('{"kept": true}\n')  # appended to, not replaced
    tracer = korvanta_python.DURUraTracer()
    spans = []
    for index in range(7):
        span = tracer.start_span("chat_completion", "openai", "gpt-4")
        span.set_prompt(f"line one\nline two {index} \u00e9\u6f22\U0001f600")
        span.set_response("ok")
        spans.append(span)
    processor = BatchProcessor(JSONLinesExporter(path), max_batch_size=3)
    for span in spans:
        processor.on_end(span)
    assert processor.shutdown(timeout=10)
    lines = path.read_bytes().split(b"\n")
    assert lines[-1] == b""
    assert [json.loads(line) for line in lines[1:-1]] == [span.to_dict() for span in spans]


def test_os_error_fails_the_export_and_is_logged(caplog):
    exporter = JSONLinesExporter("/dev/full")  # every write fails with ENOSPC
    span = korvanta_python.DURUraTracer().start_span("chat_completion", "openai", "gpt-4")
    with caplog.at_level(logging.WARNING, logger="korvanta"):
        assert not exporter.export([span])
    assert caplog.messages == ["korvanta: could not append 1 span(s) to /dev/full: [Errno 28] No space left on device"]
    exporter.shutdown()
    assert not exporter.export([span])
