"""The OTLP/HTTP transport: POSTs one already-encoded protobuf body to one
collector URL over a persistent connection, retrying transient failures until
a deadline."""

from __future__ import annotations

import datetime
import http.client
import logging
import math
import os
import random
import socket
import ssl
import threading
import time
import urllib.parse
import weakref
import zlib
from collections.abc import Callable, Mapping
from email.utils import parsedate_to_datetime

__all__ = ["OTLPHTTPTransport", "check_settings"]

_logger = logging.getLogger("korvanta")

# The statuses the OTLP/HTTP protocol calls transient; every other error
# status is permanent and retrying it would only repeat the refusal.
_RETRYABLE_STATUSES = frozenset({429, 502, 503, 504})

# Enough of an error body to show the backend's message; the rest is not read
# (the connection is dropped instead of draining a huge body).
_MAX_RESPONSE_BODY = 64 * 1024

_JITTER = 0.2
# The same failure is logged at WARNING once per this many seconds, then at
# DEBUG: a collector that is down must not write a line per batch.
_REPEAT_WARNING_INTERVAL = 60.0
# Compression runs on the application's CPU: level 1 costs a seventh of
# zlib's default level on prompt-like text for bodies about a fifth larger.
_GZIP_LEVEL = 1


class OTLPHTTPTransport:
    """Sends encoded OTLP requests to one URL, with retries.

    `send(body)` compresses the body (gzip unless `compression="none"`) and
    POSTs it with `Content-Type: application/x-protobuf`. Connection errors,
    timeouts of one attempt and the statuses 429, 502, 503 and 504 are retried
    with exponential backoff (`backoff` seconds doubled per attempt, ±20 %
    jitter) or after the server's `Retry-After`, as long as the retry can
    start before `timeout` seconds have passed since the call. Other error
    statuses fail at once and are logged with the backend's message.

    One connection is kept open between sends and made again after a
    failure; HTTPS uses the system's certificate store through
    `ssl.create_default_context()` unless `ssl_context` is given.
    """

    def __init__(
        self,
        url: str,
        *,
        headers: Mapping[str, str] | None = None,
        timeout: float = 10.0,
        compression: str = "gzip",
        backoff: float = 1.0,
        ssl_context: ssl.SSLContext | None = None,
    ) -> None:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"an OTLP endpoint must be an http:// or https:// URL, not {url!r}")
        check_settings(timeout, compression)
        self.url = url
        self._host = parts.hostname
        self._port = parts.port  # a bad port raises ValueError here, not at the first send
        self._target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        self._ssl_context = (ssl_context or ssl.create_default_context()) if parts.scheme == "https" else None
        self._timeout = float(timeout)
        self._gzip = compression == "gzip"
        self._backoff = backoff
        self._headers = {"Content-Type": "application/x-protobuf", "User-Agent": "korvanta"}
        if self._gzip:
            self._headers["Content-Encoding"] = "gzip"
        self._headers.update(headers or {})
        self._connection: http.client.HTTPConnection | None = None
        self._lock = threading.Lock()
        self._closed = threading.Event()
        self._last_warning = ""
        self._quiet_until = 0.0
        os.register_at_fork(after_in_child=_forget_connection_in_child(weakref.ref(self)))

    def send(self, body: bytes) -> bool:
        """POSTs `body`, retrying as described above; True on a 2xx answer."""
        if self._closed.is_set():
            return False
        deadline = time.monotonic() + self._timeout
        if self._gzip:
            body = zlib.compress(body, _GZIP_LEVEL, wbits=31)
        with self._lock:
            return self._send_until(body, deadline)

    def close(self) -> None:
        """Closes the connection, interrupting a send in progress; later sends return False."""
        self._closed.set()
        if self._lock.acquire(blocking=False):
            try:
                self._disconnect()
            finally:
                self._lock.release()
            return
        # A send holds the lock, blocked on the socket: shutting the socket
        # down wakes it, and it drops the connection itself.
        connection = self._connection
        sock = connection.sock if connection is not None else None
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _send_until(self, body: bytes, deadline: float) -> bool:
        attempt = 0
        failure = "no attempt fitted in the timeout"
        while not self._closed.is_set():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            reused = self._connection is not None
            try:
                status, retry_after, message = self._post(body, remaining)
            except (OSError, http.client.HTTPException) as error:
                self._disconnect()
                failure = f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
                # A kept-alive connection the server has closed since fails
                # at once; that is no reason to wait before a fresh one.
                if reused and not isinstance(error, TimeoutError):
                    continue
                delay = self._backoff_delay(attempt)
            else:
                if 200 <= status < 300:
                    return True
                failure = f"HTTP {status} {http.client.responses.get(status, '')}".rstrip()
                if message:
                    failure += f": {message}"
                if status not in _RETRYABLE_STATUSES:
                    self._warn(failure + " (not retried)")
                    return False
                delay = retry_after if retry_after is not None else self._backoff_delay(attempt)
            now = time.monotonic()
            if now >= deadline:
                break
            if now + delay >= deadline:
                self._warn(f"{failure}; the next retry would come after the timeout of {self._timeout:g} s")
                return False
            _logger.debug("korvanta: %s from %s; retrying in %.2f s", failure, self.url, delay)
            if self._closed.wait(delay):
                break
            attempt += 1
        if self._closed.is_set():
            return False
        self._warn(f"{failure}; no answer within the timeout of {self._timeout:g} s")
        return False

    def _post(self, body: bytes, timeout: float) -> tuple[int, float | None, str]:
        connection = self._connection
        if connection is None:
            if self._ssl_context is not None:
                connection = http.client.HTTPSConnection(
                    self._host, self._port, timeout=timeout, context=self._ssl_context
                )
            else:
                connection = http.client.HTTPConnection(self._host, self._port, timeout=timeout)
            self._connection = connection
        else:
            connection.timeout = timeout
            if connection.sock is not None:
                connection.sock.settimeout(timeout)
        connection.request("POST", self._target, body=body, headers=self._headers)
        response = connection.getresponse()
        payload = response.read(_MAX_RESPONSE_BODY + 1)
        if not response.isclosed() or response.will_close:
            self._disconnect()
        if 200 <= response.status < 300:
            return response.status, None, ""
        retry_after = _retry_after_seconds(response.getheader("Retry-After"))
        return response.status, retry_after, _error_message(response.getheader("Content-Type") or "", payload)

    def _backoff_delay(self, attempt: int) -> float:
        return float(self._backoff * 2**attempt * random.uniform(1 - _JITTER, 1 + _JITTER))

    def _disconnect(self) -> None:
        connection, self._connection = self._connection, None
        if connection is not None:
            connection.close()

    def _warn(self, failure: str) -> None:
        now = time.monotonic()
        if failure == self._last_warning and now < self._quiet_until:
            _logger.debug("korvanta: could not export to %s: %s", self.url, failure)
            return
        self._last_warning = failure
        self._quiet_until = now + _REPEAT_WARNING_INTERVAL
        _logger.warning("korvanta: could not export to %s: %s", self.url, failure)


def check_settings(timeout: float, compression: str) -> None:
    """Raises ValueError for a timeout or compression the transport cannot use."""
    if compression not in ("gzip", "none"):
        raise ValueError(f"compression must be 'gzip' or 'none', not {compression!r}")
    if not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")


def _forget_connection_in_child(ref: weakref.ref[OTLPHTTPTransport]) -> Callable[[], None]:
    def forget() -> None:
        # The child shares the parent's socket: talking on it would mix two
        # processes' requests on one connection. Closing the child's copy of
        # the descriptor leaves the parent's connection open.
        transport = ref()
        if transport is not None:
            transport._lock = threading.Lock()
            transport._disconnect()

    return forget


def _retry_after_seconds(value: str | None) -> float | None:
    """Seconds to wait from a Retry-After header: delay-seconds or an HTTP-date."""
    if value is None:
        return None
    value = value.strip()
    try:
        seconds = float(value)
    except ValueError:
        try:
            when = parsedate_to_datetime(value)
        except (TypeError, ValueError):
            return None
        if when.tzinfo is None:  # an HTTP-date is in GMT even when it says "-0000"
            when = when.replace(tzinfo=datetime.UTC)
        seconds = when.timestamp() - time.time()
    return max(seconds, 0.0) if math.isfinite(seconds) else None


def _error_message(content_type: str, payload: bytes) -> str:
    """The backend's explanation of an error status.

    OTLP backends answer with a protobuf google.rpc.Status whose field 2 is
    the message; others send text or JSON, shown as it is (cut short).
    """
    payload = payload[:_MAX_RESPONSE_BODY]
    if "protobuf" in content_type:
        message = _status_message(payload)
        if message is not None:
            return message
    return payload[:512].decode("utf-8", "replace").strip()


def _status_message(data: bytes) -> str | None:
    """Field 2 (message) of a google.rpc.Status; None when `data` is not one."""
    message = None
    position = 0
    try:
        while position < len(data):
            key, position = _varint(data, position)
            field, wire_type = key >> 3, key & 7
            if wire_type == 0:
                _, position = _varint(data, position)
            elif wire_type == 2:
                length, position = _varint(data, position)
                end = position + length
                if end > len(data):
                    return None
                if field == 2:
                    message = data[position:end].decode("utf-8", "replace")
                position = end
            elif wire_type in (1, 5):
                position += 8 if wire_type == 1 else 4
            else:
                return None
    except IndexError:
        return None
    return message if position == len(data) else None


def _varint(data: bytes, position: int) -> tuple[int, int]:
    value = 0
    for shift in range(0, 70, 7):
        byte = data[position]
        position += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value, position
    raise IndexError("varint longer than ten bytes")
