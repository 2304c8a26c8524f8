"""What OTLPExporter sends, decoded with the official opentelemetry-proto
classes and checked field by field, and what BatchProcessor counts while the
backend misbehaves."""

import json

import pytest
from misbehaving_otlp import MisbehavingCollector, Reply
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.trace.v1.trace_pb2 import Span, Status

import korvanta
import korvanta_python as k


@pytest.fixture
def collector():
    server = MisbehavingCollector()
    server.start()
    yield server
    server.stop()


def attributes(proto):
    out = {}
    for kv in proto.attributes:
        value = kv.value
        out[kv.key] = getattr(value, value.WhichOneof("value"))
    return out


def folded(span_id_text):
    raw = bytes.fromhex(span_id_text.replace("-", ""))
    return bytes(a ^ b for a, b in zip(raw[:8], raw[8:]))


def decode(collector):
    request = ExportTraceServiceRequest()
    for received in collector.received:
        assert received.path == "/v1/traces"
        assert received.headers["content-type"] == "application/x-protobuf"
        request.MergeFromString(received.body)
    return request


def test_a_traced_agent_run_maps_to_the_genai_conventions(collector):
    tracer = k.DURUraTracer(endpoint=collector.url)
    korvanta.setup(tracer=tracer)
    with korvanta.span("invoke_agent") as root:
        with korvanta.span("chat", provider="openai", model="gpt-4o-mini", tags={"gen_ai.response.model": "gpt-4o-mini-2024"}) as chat:
            chat.set_prompt('[{"role":"user","parts":[{"type":"text","content":"weather?"}]}]')
            chat.set_token_counts(prompt_tokens=12, completion_tokens=34)
            chat.set_ttft_ms(250)
            tool_id = korvanta.report_action(chat, "tool_call", "get_weather", arguments='{"city":"Paris"}',
                                             result='{"sky":"rain"}', duration_ms=40,
                                             metadata={"gen_ai.tool.call.id": "call_1"})
            korvanta.add_event(chat, "retry", {"attempt": 2})
            korvanta.set_cost(chat, 0.25)
            chat.set_response("Take an umbrella.")
        with pytest.raises(ConnectionError), korvanta.span("chat", provider="anthropic", model="claude") as failed:
            raise ConnectionError("reset by peer")
    exporter = korvanta.OTLPExporter(service_name="weather-bot")
    assert exporter.export([root, chat, failed])
    exporter.shutdown()
    korvanta.setup()

    request = decode(collector)
    [resource_spans] = request.resource_spans
    assert attributes(resource_spans.resource) == {"service.name": "weather-bot", "korvanta.tenant_id": tracer.tenant_id}
    [scope] = resource_spans.scope_spans
    assert scope.scope.name == "korvanta"
    spans = {s.name: s for s in scope.spans}
    assert set(spans) == {"invoke_agent", "chat gpt-4o-mini", "execute_tool get_weather", "chat claude"}
    trace_id = bytes.fromhex(root.trace_id.replace("-", ""))
    assert all(s.trace_id == trace_id for s in spans.values())

    agent, llm, tool, bad = (spans[n] for n in ("invoke_agent", "chat gpt-4o-mini", "execute_tool get_weather", "chat claude"))
    assert (agent.span_id, agent.parent_span_id) == (folded(root.span_id), b"")
    assert llm.parent_span_id == agent.span_id == bad.parent_span_id
    assert (llm.span_id, tool.parent_span_id) == (folded(chat.span_id), folded(chat.span_id))
    assert tool.span_id == folded(tool_id)
    assert (llm.kind, tool.kind) == (Span.SPAN_KIND_CLIENT, Span.SPAN_KIND_INTERNAL)

    chat_doc = chat.to_dict()
    a = attributes(llm)
    assert {key: a[key] for key in (
        "gen_ai.operation.name", "gen_ai.provider.name", "gen_ai.request.model", "gen_ai.response.model",
        "gen_ai.usage.input_tokens", "gen_ai.usage.output_tokens", "korvanta.span_id", "korvanta.estimated_cost_usd")} == {
        "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai", "gen_ai.request.model": "gpt-4o-mini",
        "gen_ai.response.model": "gpt-4o-mini-2024", "gen_ai.usage.input_tokens": 12, "gen_ai.usage.output_tokens": 34,
        "korvanta.span_id": chat.span_id, "korvanta.estimated_cost_usd": 0.25}
    assert json.loads(a["gen_ai.input.messages"]) == json.loads(chat.prompt)
    assert json.loads(a["gen_ai.output.messages"])[0]["parts"] == [{"type": "text", "content": "Take an umbrella."}]
    assert llm.start_time_unix_nano < llm.end_time_unix_nano
    assert [e.name for e in llm.events] == ["retry"] and attributes(llm.events[0])["attempt"] == "2"
    assert chat_doc["end_time"] is not None

    t = attributes(tool)
    assert {key: t[key] for key in ("gen_ai.operation.name", "gen_ai.tool.name", "gen_ai.tool.call.id",
                                    "gen_ai.tool.call.arguments", "gen_ai.tool.call.result")} == {
        "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "get_weather", "gen_ai.tool.call.id": "call_1",
        "gen_ai.tool.call.arguments": '{"city":"Paris"}', "gen_ai.tool.call.result": '{"sky":"rain"}'}
    assert tool.end_time_unix_nano - tool.start_time_unix_nano == 40_000_000

    assert (bad.status.code, bad.status.message) == (Status.STATUS_CODE_ERROR, "ConnectionError: reset by peer")
    assert attributes(bad)["error.type"] == "ConnectionError"


def test_spans_are_counted_in_and_out_while_the_backend_misbehaves(collector):
    # 503 and 429 are retried; 500 and 400 fail their batch for good.
    tracer = k.DURUraTracer(endpoint=collector.url)
    processor = korvanta.BatchProcessor(korvanta.OTLPExporter(timeout=5.0), max_batch_size=10, schedule_delay=0.05)
    collector.reply(Reply(503), Reply(429, {"Retry-After": "0"}), Reply(500), Reply(400, body=b"bad span"))
    sent = []
    for index in range(40):
        with korvanta.span("chat", provider="openai", model="m", tracer=tracer) as s:
            s.set_response(str(index))
        sent.append(s)
        processor.on_end(s)
    assert processor.shutdown(timeout=10)
    accepted = ExportTraceServiceRequest()
    for received in collector.received[4:]:
        accepted.MergeFromString(received.body)
    delivered = [attributes(span)["korvanta.span_id"] for rs in accepted.resource_spans
                 for scope in rs.scope_spans for span in scope.spans]
    assert (processor.dropped, processor.exported + processor.failed) == (0, len(sent))
    assert processor.failed >= 2 and len(delivered) == len(set(delivered)) == processor.exported
    assert set(delivered) <= {s.span_id for s in sent}
