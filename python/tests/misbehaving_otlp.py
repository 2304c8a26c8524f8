"""A loopback OTLP/HTTP receiver that misbehaves on purpose: each test scripts
its replies (errors, Retry-After, a reply that never comes) and can stop and
restart it on the same port."""

from __future__ import annotations

import collections
import gzip
import http.server
import socket
import threading
from dataclasses import dataclass, field

# A scripted reply that never comes: the handler holds the request until the
# collector stops (or this many seconds pass, so no thread outlives a test).
HANG = "hang"
_HANG_LIMIT = 30.0


@dataclass
class Reply:
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b""


@dataclass
class Received:
    path: str
    headers: dict[str, str]  # names lower-cased
    body: bytes  # after undoing Content-Encoding: gzip


class MisbehavingCollector:
    """Answers POSTs on http://127.0.0.1:<port>/ with the scripted replies in
    order, then 200. `stop()` closes the port and every open connection;
    `start()` opens the same port again."""

    def __init__(self) -> None:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}/v1/traces"
        self.received: list[Received] = []
        self._script: collections.deque[Reply | str] = collections.deque()
        self._lock = threading.Lock()
        self._connections: set[socket.socket] = set()
        self._server: http.server.ThreadingHTTPServer | None = None
        self._release = threading.Event()

    def reply(self, *replies: Reply | str) -> None:
        with self._lock:
            self._script.extend(replies)

    def start(self) -> None:
        self._release = threading.Event()
        server = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), _handler(self))
        server.daemon_threads = True
        self._server = server
        threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True).start()

    def stop(self) -> None:
        server, self._server = self._server, None
        if server is None:
            return
        server.shutdown()
        server.server_close()
        self._release.set()
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _next_reply(self, received: Received) -> Reply | str:
        with self._lock:
            self.received.append(received)
            return self._script.popleft() if self._script else Reply()


def _handler(collector: MisbehavingCollector) -> type[http.server.BaseHTTPRequestHandler]:
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # keep-alive, as a real collector

        def setup(self) -> None:
            super().setup()
            with collector._lock:
                collector._connections.add(self.connection)

        def finish(self) -> None:
            with collector._lock:
                collector._connections.discard(self.connection)
            super().finish()

        def do_POST(self) -> None:
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            if self.headers.get("Content-Encoding") == "gzip":
                body = gzip.decompress(body)
            headers = {name.lower(): value for name, value in self.headers.items()}
            reply = collector._next_reply(Received(self.path, headers, body))
            if reply == HANG:
                collector._release.wait(_HANG_LIMIT)
                self.close_connection = True
                return
            assert isinstance(reply, Reply)
            self.send_response(reply.status)
            for name, value in reply.headers.items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(reply.body)))
            self.end_headers()
            self.wfile.write(reply.body)

        def log_message(self, format: str, *args: object) -> None:
            pass

    return Handler
