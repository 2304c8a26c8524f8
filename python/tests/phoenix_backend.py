"""A real OTLP backend for the export tests: Arize Phoenix, installed by
tools/phoenix.sh into an environment of its own and run on free loopback
ports; spans sent to it are read back through its REST API."""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]

# The hardening run preloads sanitizer runtimes into every process it starts;
# Phoenix and pip are not ours to check, and would fail or crawl under them.
_NOT_INHERITED = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONPATH", "PYTHONMALLOC")
_START_TIMEOUT = 180.0


@dataclass
class Phoenix:
    url: str  # http://127.0.0.1:PORT
    log: Path

    @property
    def traces_url(self) -> str:
        return f"{self.url}/v1/traces"

    def spans_of_traces(
        self, trace_ids: set[str], project: str = "default", timeout: float = 30.0
    ) -> list[dict[str, Any]]:
        """The project's spans of these traces (32 hex digits each), once
        every trace has arrived or `timeout` has passed: Phoenix stores what
        it receives asynchronously."""
        deadline = time.monotonic() + timeout
        route = f"{self.url}/v1/projects/{urllib.parse.quote(project, safe='')}/spans?limit=1000"
        while True:
            try:
                with urllib.request.urlopen(route, timeout=10) as response:
                    stored: list[dict[str, Any]] = json.load(response)["data"]
            except urllib.error.HTTPError as error:
                if error.code != 404:  # the project appears with its first span
                    raise
                stored = []
            found = [span for span in stored if span["context"]["trace_id"] in trace_ids]
            if {span["context"]["trace_id"] for span in found} == trace_ids or time.monotonic() > deadline:
                return found
            time.sleep(0.2)


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def _healthy(url: str) -> bool:
    try:
        with urllib.request.urlopen(f"{url}/healthz", timeout=2) as response:
            return bool(response.status == 200)
    except OSError:
        return False


@pytest.fixture(scope="session")
def phoenix(tmp_path_factory: pytest.TempPathFactory) -> Any:
    env = {name: value for name, value in os.environ.items() if name not in _NOT_INHERITED}
    installer = subprocess.run(
        [str(ROOT / "tools" / "phoenix.sh")], env=env, capture_output=True, text=True, timeout=1200
    )
    assert installer.returncode == 0, f"tools/phoenix.sh failed:\n{installer.stderr[-4000:]}"
    python = installer.stdout.strip().splitlines()[-1]

    workdir = tmp_path_factory.mktemp("phoenix")
    port = _free_port()
    env.update(
        PHOENIX_HOST="127.0.0.1",
        PHOENIX_PORT=str(port),
        PHOENIX_GRPC_PORT=str(_free_port()),
        PHOENIX_WORKING_DIR=str(workdir),
        PHOENIX_TELEMETRY_ENABLED="false",
        PHOENIX_ALLOW_EXTERNAL_RESOURCES="false",
    )
    backend = Phoenix(f"http://127.0.0.1:{port}", workdir / "phoenix.log")
    with open(backend.log, "wb") as log:
        process = subprocess.Popen(
            [python, "-m", "phoenix.server.main", "serve"],
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
            start_new_session=True,  # its workers are stopped with it
        )
    try:
        deadline = time.monotonic() + _START_TIMEOUT
        while not _healthy(backend.url):
            if process.poll() is not None or time.monotonic() > deadline:
                tail = backend.log.read_text(errors="replace")[-4000:]
                pytest.fail(f"Phoenix did not become healthy (exit status {process.poll()}):\n{tail}")
            time.sleep(0.2)
        yield backend
    finally:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
