"""The OTLP/HTTP transport against a collector that misbehaves on purpose, and
how OTLPExporter resolves its endpoint and settings."""

import email.utils
import http
import logging
import threading
import time

import pytest
from korvanta._otlp import OTLPExporter
from korvanta._otlp_http import OTLPHTTPTransport
from misbehaving_otlp import HANG, MisbehavingCollector, Reply

BODY = b"\x0a\x03not really a request, the transport does not look" * 40


@pytest.fixture
def collector():
    server = MisbehavingCollector()
    server.start()
    yield server
    server.stop()


@pytest.fixture
def transport(collector):
    made = []

    def make(**options):
        options.setdefault("backoff", 0.01)
        made.append(OTLPHTTPTransport(collector.url, **options))
        return made[-1]

    yield make
    for each in made:
        each.close()


def later(seconds, action):
    timer = threading.Timer(seconds, action)
    timer.start()
    return timer


@pytest.mark.parametrize("compression", ["gzip", "none"])
def test_body_arrives_whole_with_the_protocol_headers(collector, transport, compression):
    sender = transport(compression=compression, headers={"Authorization": "Bearer s3cret"})
    assert sender.send(BODY) and sender.send(BODY[:7])
    assert [r.body for r in collector.received] == [BODY, BODY[:7]]
    first = collector.received[0]
    assert first.path == "/v1/traces"
    assert first.headers["content-type"] == "application/x-protobuf"
    assert first.headers["authorization"] == "Bearer s3cret"
    assert first.headers.get("content-encoding") == ("gzip" if compression == "gzip" else None)


def google_rpc_status(code, message):
    text = message.encode()
    detail = b"\x0a\x05type/\x12\x02\x08\x01"  # a google.protobuf.Any in field 3, to be skipped
    return b"\x08" + bytes([code]) + b"\x12" + bytes([len(text)]) + text + b"\x1a" + bytes([len(detail)]) + detail


@pytest.mark.parametrize(
    "reply, logged",
    [
        (Reply(500, {"Content-Type": "text/plain"}, b"boom\n"), "HTTP 500 Internal Server Error: boom (not retried)"),
        (
            Reply(400, {"Content-Type": "application/x-protobuf"}, google_rpc_status(3, "span id must be 8 bytes")),
            "HTTP 400 Bad Request: span id must be 8 bytes (not retried)",
        ),
        (
            Reply(413, {"Content-Type": "application/x-protobuf"}, b"\x12\x7fcut"),
            f"HTTP 413 {http.HTTPStatus(413).phrase}: \x12\x7fcut (not retried)",  # the phrase differs by version
        ),
    ],
)
def test_permanent_error_is_logged_with_the_backends_message_then_recovers(collector, transport, caplog, reply, logged):
    collector.reply(reply)
    sender = transport()
    with caplog.at_level(logging.WARNING, logger="korvanta"):
        assert not sender.send(BODY)
    assert len(collector.received) == 1
    assert caplog.messages == [f"korvanta: could not export to {collector.url}: {logged}"]
    assert sender.send(BODY)
    assert len(collector.received) == 2


def http_date(offset):
    return email.utils.formatdate(time.time() + offset, usegmt=True)


@pytest.mark.parametrize(
    "status, headers, delivered",
    [
        (429, {"Retry-After": "0"}, True),
        (502, {}, True),
        (504, {"Retry-After": http_date(-3600)}, True),
        (503, {"Retry-After": "3600"}, False),  # the wait would outlast the timeout: give up now
        (429, {"Retry-After": http_date(3600)}, False),
    ],
)
def test_transient_error_is_retried_honouring_retry_after(collector, transport, caplog, status, headers, delivered):
    collector.reply(Reply(status, headers))
    with caplog.at_level(logging.WARNING, logger="korvanta"):
        assert transport(timeout=5.0).send(BODY) is delivered
    assert len(collector.received) == (2 if delivered else 1)
    assert bool(caplog.messages) is not delivered
    assert all("the next retry would come after the timeout of 5 s" in m for m in caplog.messages)


def test_collector_down_at_start_is_retried_until_it_opens(collector, transport):
    collector.stop()
    opening = later(0.3, collector.start)
    assert transport(timeout=10.0).send(BODY)
    opening.join()
    assert [r.body for r in collector.received] == [BODY]


def test_restart_mid_run_reconnects(collector, transport):
    sender = transport(timeout=10.0)
    assert sender.send(BODY)
    collector.stop()  # the kept-alive connection dies with it
    collector.start()
    assert sender.send(BODY)
    collector.stop()
    reopening = later(0.3, collector.start)
    assert sender.send(BODY)
    reopening.join()
    assert len(collector.received) == 3


def test_reply_that_never_comes_fails_within_the_timeout(collector, transport, caplog):
    collector.reply(HANG)
    sender = transport(timeout=1.0)
    started = time.monotonic()
    with caplog.at_level(logging.WARNING, logger="korvanta"):
        assert not sender.send(BODY)
    assert time.monotonic() - started < 1.0 + 1.0
    assert caplog.messages == [
        f"korvanta: could not export to {collector.url}: TimeoutError: timed out; no answer within the timeout of 1 s"
    ]


def test_close_interrupts_a_send_and_fails_later_ones(collector, transport):
    collector.reply(HANG)
    sender = transport(timeout=30.0)
    closing = later(0.2, sender.close)
    assert not sender.send(BODY)
    closing.join()
    assert not sender.send(BODY)
    assert len(collector.received) == 1


ENDPOINT, TRACES_ENDPOINT = "OTEL_EXPORTER_OTLP_ENDPOINT", "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT"
HEADERS, TRACES_HEADERS = "OTEL_EXPORTER_OTLP_HEADERS", "OTEL_EXPORTER_OTLP_TRACES_HEADERS"


@pytest.mark.parametrize(
    "env, arguments, setting, expected",
    [
        ({}, {"endpoint": "https://h/otel/"}, "endpoint", "https://h/otel/v1/traces"),
        ({}, {"endpoint": "http://h:4318/v1/traces"}, "endpoint", "http://h:4318/v1/traces"),
        ({TRACES_ENDPOINT: "http://a:1/custom"}, {}, "endpoint", "http://a:1/custom"),
        ({ENDPOINT: "http://b:2/"}, {}, "endpoint", "http://b:2/v1/traces"),
        ({ENDPOINT: "http://b:2", TRACES_ENDPOINT: "http://a:1/x"}, {}, "endpoint", "http://a:1/x"),
        ({ENDPOINT: "http://b:2"}, {"endpoint": "http://c:3"}, "endpoint", "http://c:3/v1/traces"),
        ({}, {}, "endpoint", None),  # each span's tracer says where
        (
            {HEADERS: "Authorization=Bearer%20t0k,x-tenant = acme"},
            {},
            "headers",
            {"authorization": "Bearer t0k", "x-tenant": "acme"},
        ),
        ({HEADERS: "a=1", TRACES_HEADERS: "b=2"}, {}, "headers", {"b": "2"}),
        ({HEADERS: "a=1,b=2"}, {"headers": {"B": "3"}}, "headers", {"a": "1", "b": "3"}),
        ({HEADERS: "novalue,a=x=y"}, {}, "headers", {"a": "x=y"}),
        ({"OTEL_EXPORTER_OTLP_TIMEOUT": "2.5"}, {}, "timeout", 2.5),  # seconds, as the SDK reads it
        ({"OTEL_EXPORTER_OTLP_TIMEOUT": "2", "OTEL_EXPORTER_OTLP_TRACES_TIMEOUT": "3"}, {}, "timeout", 3.0),
        ({"OTEL_EXPORTER_OTLP_TIMEOUT": "soon"}, {}, "timeout", 10.0),
        ({"OTEL_EXPORTER_OTLP_TIMEOUT": "2"}, {"timeout": 7}, "timeout", 7.0),
        ({"OTEL_EXPORTER_OTLP_COMPRESSION": "none"}, {}, "compression", "none"),
        ({"OTEL_EXPORTER_OTLP_TRACES_COMPRESSION": " GZIP "}, {}, "compression", "gzip"),
        ({"OTEL_SERVICE_NAME": "billing"}, {}, "service_name", "billing"),
        ({"OTEL_SERVICE_NAME": "billing"}, {"service_name": "api"}, "service_name", "api"),
    ],
)
def test_settings_come_from_arguments_then_environment(monkeypatch, env, arguments, setting, expected):
    for name in (ENDPOINT, TRACES_ENDPOINT, HEADERS, TRACES_HEADERS, "OTEL_SERVICE_NAME"):
        monkeypatch.delenv(name, raising=False)
    for signal in ("", "TRACES_"):
        for name in ("TIMEOUT", "COMPRESSION"):
            monkeypatch.delenv(f"OTEL_EXPORTER_OTLP_{signal}{name}", raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    exporter = OTLPExporter(**arguments)
    assert getattr(exporter, setting) == expected
    exporter.shutdown()


@pytest.mark.parametrize(
    "arguments, message",
    [
        (
            {"endpoint": "localhost:4318"},
            "an OTLP endpoint must be an http:// or https:// URL, not 'localhost:4318/v1/traces'",
        ),
        ({"endpoint": "http://h", "compression": "zstd"}, "compression must be 'gzip' or 'none', not 'zstd'"),
        ({"endpoint": "http://h", "timeout": 0}, "timeout must be a positive number of seconds, not 0.0"),
    ],
)
def test_unusable_settings_fail_at_construction(arguments, message):
    with pytest.raises(ValueError) as raised:
        OTLPExporter(**arguments)
    assert str(raised.value) == message
