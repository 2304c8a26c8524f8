"""JSONLinesExporter: appends one compact JSON document per span and line to a
local file."""

from __future__ import annotations

import logging
import os
import threading
import weakref
from collections.abc import Callable, Sequence
from typing import Any

from . import _native, _pipeline

__all__ = ["JSONLinesExporter"]

_logger = logging.getLogger("korvanta")


class JSONLinesExporter:
    """Appends each exported span to `path` as one line of compact JSON.

    The file is opened once with O_APPEND (and created if missing), and each
    batch is written with `os.write` calls under a lock, so batches from the
    threads of one process never interleave. Nothing is buffered in this
    process: when `export` returns, the batch is in the operating system's
    hands and visible to readers. It is not fsync'ed: a machine crash can lose
    the last batches, as it can for any tracer that does not wait on the disk.

    >>> processor = BatchProcessor(JSONLinesExporter("spans.jsonl"))
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self._path = os.fspath(path)
        self._lock = threading.Lock()
        self._fd: int | None = os.open(self._path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
        os.register_at_fork(after_in_child=_reinit_in_child(weakref.ref(self)))

    @property
    def path(self) -> str:
        return self._path

    def export(self, spans: Sequence[Any]) -> bool:
        """Appends the spans; False (and a WARNING log) on an OS error or after shutdown."""
        if self._fd is None:
            return False
        data = _native.json_lines(spans, _pipeline.state().mask)
        with self._lock:
            fd = self._fd
            if fd is None:
                return False
            try:
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view) :]
            except OSError as error:
                _logger.warning("korvanta: could not append %d span(s) to %s: %s", len(spans), self._path, error)
                return False
        return True

    def shutdown(self) -> None:
        """Closes the file; later exports return False."""
        with self._lock:
            fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)


def _reinit_in_child(ref: weakref.ref[JSONLinesExporter]) -> Callable[[], None]:
    def reinit() -> None:
        # A lock the parent's export thread held at fork() stays held in the
        # child; the descriptor itself is shared, and O_APPEND keeps each
        # process's writes whole.
        exporter = ref()
        if exporter is not None:
            exporter._lock = threading.Lock()

    return reinit
