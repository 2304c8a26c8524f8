"""OTLPExporter: sends spans to OTLP/HTTP collectors as protobuf, with the
endpoint and settings taken from its arguments, the standard OTEL_EXPORTER_OTLP_*
variables or the spans' own tracers."""

from __future__ import annotations

import logging
import math
import os
import threading
import urllib.parse
from collections.abc import Mapping, Sequence
from typing import Any

from . import _native, _pipeline
from ._otlp_http import OTLPHTTPTransport, check_settings

__all__ = ["OTLPExporter"]

_logger = logging.getLogger("korvanta")

_TRACES_PATH = "/v1/traces"
_DEFAULT_TIMEOUT = 10.0
_DEFAULT_COMPRESSION = "gzip"
_DEFAULT_SERVICE_NAME = "korvanta"


class OTLPExporter:
    """Exports spans over OTLP/HTTP with protobuf bodies.

    `endpoint` is the collector's URL; `/v1/traces` is appended unless the
    URL already ends with it. Without one, `OTEL_EXPORTER_OTLP_TRACES_ENDPOINT`
    (used as given) or `OTEL_EXPORTER_OTLP_ENDPOINT` (path appended) is used,
    and failing both, the endpoint of each span's tracer: spans of tracers
    with different endpoints go to each in one request per endpoint.

    Settings not given fall back as in the OpenTelemetry SDK:
    `headers` are merged over `OTEL_EXPORTER_OTLP_TRACES_HEADERS` (or
    `OTEL_EXPORTER_OTLP_HEADERS`: comma-separated `key=value`, URL-encoded
    values); `timeout` (seconds, for one export including its retries) from
    `OTEL_EXPORTER_OTLP_TRACES_TIMEOUT` / `OTEL_EXPORTER_OTLP_TIMEOUT`, read
    as seconds as the current SDK reads it (the OTLP documents say
    milliseconds; the SDK's reading wins where both run side by side), else
    10; `compression` ("gzip" or "none") from
    `OTEL_EXPORTER_OTLP_TRACES_COMPRESSION` / `OTEL_EXPORTER_OTLP_COMPRESSION`,
    else gzip; `service_name` from `OTEL_SERVICE_NAME`, else "korvanta".

    >>> processor = BatchProcessor(OTLPExporter("https://collector.example:4318",
    ...                                         headers={"authorization": "Bearer ..."}))
    """

    def __init__(
        self,
        endpoint: str | None = None,
        *,
        headers: Mapping[str, str] | None = None,
        timeout: float | None = None,
        compression: str | None = None,
        service_name: str | None = None,
    ) -> None:
        env = os.environ
        if endpoint is not None:
            self.endpoint: str | None = _traces_url(endpoint)
        elif traces_endpoint := env.get("OTEL_EXPORTER_OTLP_TRACES_ENDPOINT"):
            self.endpoint = traces_endpoint
        elif base_endpoint := env.get("OTEL_EXPORTER_OTLP_ENDPOINT"):
            self.endpoint = _traces_url(base_endpoint)
        else:
            self.endpoint = None
        self.headers = _env_headers(_signal_env(env, "HEADERS") or "")
        self.headers.update({key.lower(): value for key, value in (headers or {}).items()})
        self.timeout = float(timeout) if timeout is not None else _env_timeout(_signal_env(env, "TIMEOUT"))
        self.compression = compression if compression is not None else _env_compression(_signal_env(env, "COMPRESSION"))
        self.service_name = service_name or env.get("OTEL_SERVICE_NAME") or _DEFAULT_SERVICE_NAME
        self._transports: dict[str, OTLPHTTPTransport] = {}
        self._lock = threading.Lock()
        self._shut_down = False
        self._reported_no_endpoint = False
        self._reported_bad_endpoints: set[str] = set()
        check_settings(self.timeout, self.compression)
        if self.endpoint is not None:
            # A malformed URL fails here, not at the first export.
            self._transport(self.endpoint)

    def export(self, spans: Sequence[Any]) -> bool:
        """Sends the spans; True when every span reached its collector."""
        if self._shut_down:
            return False
        if self.endpoint is not None:
            groups: Mapping[str, Sequence[Any]] = {self.endpoint: spans}
            ok = True
        else:
            groups, ok = self._group_by_tracer(spans)
        for url, group in groups.items():
            try:
                transport = self._transport(url)
            except ValueError as error:
                self._report_bad_endpoint(url, len(group), error)
                ok = False
                continue
            ok = transport.send(_native.encode_otlp(group, self.service_name, _pipeline.state().mask)) and ok
        return ok

    def shutdown(self) -> None:
        """Closes every connection; later exports return False."""
        with self._lock:
            self._shut_down = True
            transports = list(self._transports.values())
        for transport in transports:
            transport.close()

    def _transport(self, url: str) -> OTLPHTTPTransport:
        with self._lock:
            transport = self._transports.get(url)
            if transport is None:
                transport = OTLPHTTPTransport(
                    url, headers=self.headers, timeout=self.timeout, compression=self.compression
                )
                if self._shut_down:
                    transport.close()
                self._transports[url] = transport
            return transport

    def _group_by_tracer(self, spans: Sequence[Any]) -> tuple[dict[str, list[Any]], bool]:
        groups: dict[str, list[Any]] = {}
        urls: dict[str, str] = {}
        missing = 0
        tracer_of = _native.tracer_of
        for span in spans:
            tracer = tracer_of(span)
            endpoint = tracer.endpoint if tracer is not None else None
            if endpoint is None:
                missing += 1
                continue
            url = urls.get(endpoint)
            if url is None:
                url = urls[endpoint] = _traces_url(endpoint)
            groups.setdefault(url, []).append(span)
        if missing and not self._reported_no_endpoint:
            self._reported_no_endpoint = True
            _logger.error(
                "korvanta: %d span(s) cannot be exported over OTLP: their tracer has no endpoint, and "
                "neither OTLPExporter(endpoint=...) nor OTEL_EXPORTER_OTLP_TRACES_ENDPOINT or "
                "OTEL_EXPORTER_OTLP_ENDPOINT is set (reported once)",
                missing,
            )
        return groups, missing == 0

    def _report_bad_endpoint(self, url: str, count: int, error: ValueError) -> None:
        if url not in self._reported_bad_endpoints:
            self._reported_bad_endpoints.add(url)
            _logger.error("korvanta: %d span(s) cannot be exported: %s (reported once)", count, error)


def _traces_url(endpoint: str) -> str:
    """The endpoint with /v1/traces appended unless it ends with it already."""
    parts = urllib.parse.urlsplit(endpoint)
    path = parts.path.rstrip("/")
    if path.endswith(_TRACES_PATH):
        return endpoint
    return urllib.parse.urlunsplit(parts._replace(path=path + _TRACES_PATH))


def _signal_env(env: Mapping[str, str], name: str) -> str | None:
    """The traces-specific variable, else the one for every signal."""
    return env.get(f"OTEL_EXPORTER_OTLP_TRACES_{name}") or env.get(f"OTEL_EXPORTER_OTLP_{name}")


def _env_headers(text: str) -> dict[str, str]:
    """Parses `key1=value1,key2=value2` with URL-encoded parts; names lower-cased."""
    headers = {}
    for item in text.split(","):
        if not item.strip():
            continue
        name, equals, value = item.partition("=")
        name = urllib.parse.unquote(name).strip().lower()
        if not equals or not name:
            _logger.warning("korvanta: ignoring the OTLP header %r: expected name=value", item.strip())
            continue
        headers[name] = urllib.parse.unquote(value).strip()
    return headers


def _env_timeout(text: str | None) -> float:
    if text is None:
        return _DEFAULT_TIMEOUT
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (seconds > 0 and math.isfinite(seconds)):
        _logger.warning("korvanta: ignoring the OTLP timeout %r; using %g seconds", text, _DEFAULT_TIMEOUT)
        return _DEFAULT_TIMEOUT
    return seconds


def _env_compression(text: str | None) -> str:
    if text is None:
        return _DEFAULT_COMPRESSION
    value = text.strip().lower()
    if value not in ("gzip", "none"):
        _logger.warning("korvanta: ignoring the OTLP compression %r; using %s", text, _DEFAULT_COMPRESSION)
        return _DEFAULT_COMPRESSION
    return value
