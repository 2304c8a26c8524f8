"""BatchProcessor: queues finished spans and exports them in batches on a
background thread, so that the application's thread never waits for I/O."""

from __future__ import annotations

import atexit
import collections
import logging
import math
import os
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from typing import Any, Protocol

__all__ = ["BatchProcessor", "SpanExporter"]

_logger = logging.getLogger("korvanta")

# Lost spans are reported once per kind at first, then at most once per this
# many seconds with the count since the last report: a backend that is down
# for an hour must not write a line per batch.
_LOSS_REPORT_INTERVAL = 60.0

_LOSS_MESSAGES = {
    "queue_full": "korvanta: the export queue is full (%d spans); dropped %d span(s)",
    "after_shutdown": "korvanta: dropped %d span(s) ended after the processor was shut down%s",
    "failed": "korvanta: the exporter %r could not export %d span(s)",
    "raised": "korvanta: the exporter %r raised while exporting %d span(s)",
    "abandoned": "korvanta: shutdown timed out; dropped %d span(s) still queued%s",
}


class SpanExporter(Protocol):
    """What BatchProcessor needs of an exporter."""

    def export(self, spans: Sequence[Any], /) -> bool:
        """Sends the spans; True when they all arrived."""
        ...

    def shutdown(self) -> None:
        """Releases the exporter's resources; later exports return False."""
        ...


class _LossReport:
    """Rate-limits the WARNING lines about lost spans, per kind of loss."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._next_report: dict[str, float] = {}
        self._pending: dict[str, int] = {}

    def lost(self, kind: str, count: int, *detail: object, exc_info: bool = False) -> None:
        now = time.monotonic()
        with self._lock:
            total = self._pending.get(kind, 0) + count
            if now < self._next_report.get(kind, -math.inf):
                self._pending[kind] = total
                return
            self._pending[kind] = 0
            self._next_report[kind] = now + _LOSS_REPORT_INTERVAL
        message = _LOSS_MESSAGES[kind]
        if kind in ("failed", "raised"):
            _logger.warning(message, detail[0], total, exc_info=exc_info)
        elif kind == "queue_full":
            _logger.warning(message, detail[0], total)
        else:
            _logger.warning(message, total, " (and others since)" if total > count else "")


class _Worker:
    """The queue, the export thread and the counters of one processor.

    Kept apart from BatchProcessor so that the thread references only this
    object: a processor the application drops can be collected, and its
    finalizer then tells the thread to export what is left and stop.
    """

    def __init__(
        self, exporter: SpanExporter, capacity: int, batch_size: int, delay: float, losses: _LossReport
    ) -> None:
        self.exporter = exporter
        self.capacity = capacity
        self.batch_size = batch_size
        self.delay = delay
        self.losses = losses
        self.queue: collections.deque[Any] = collections.deque()
        lock = threading.Lock()
        # Two conditions on one lock: producers wake the thread alone, and a
        # finished flush wakes every caller waiting for one.
        self.work = threading.Condition(lock)
        self.done = threading.Condition(lock)
        self.wake_pending = False
        self.stopping = False
        self.abandoned = False
        self.finished = False
        self.flush_requested = 0
        self.flush_done = 0
        self.exported = 0
        self.failed = 0
        self.dropped = 0
        self._drop_lock = threading.Lock()
        self._dropped_reported = 0
        self._exporter_closed = False
        self._exporter_lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, name="korvanta-batch", daemon=True)
        self.thread.start()

    def wake(self) -> None:
        with self.work:
            self.wake_pending = True
            self.work.notify()

    def stop(self) -> None:
        with self.work:
            self.stopping = True
            self.work.notify()

    def drop(self, shut_down: bool) -> None:
        # A burst that overflows the queue comes here for every span, so the
        # report of a full queue is left to the thread (_report_drops).
        with self._drop_lock:
            self.dropped += 1
            if shut_down:
                self._dropped_reported += 1
        if shut_down:
            self.losses.lost("after_shutdown", 1)

    def _report_drops(self) -> None:
        with self._drop_lock:
            new = self.dropped - self._dropped_reported
            self._dropped_reported = self.dropped
        if new:
            self.losses.lost("queue_full", new, self.capacity)

    def flush(self, timeout: float) -> bool:
        with self.work:
            self.flush_requested += 1
            target = self.flush_requested
            self.work.notify()
            return self.done.wait_for(lambda: self.flush_done >= target or self.finished, timeout) and (
                self.flush_done >= target
            )

    def close_exporter(self) -> None:
        with self._exporter_lock:
            if self._exporter_closed:
                return
            self._exporter_closed = True
        try:
            self.exporter.shutdown()
        except Exception:
            _logger.warning("korvanta: the exporter %r raised in shutdown()", self.exporter, exc_info=True)

    def _run(self) -> None:
        deadline = time.monotonic() + self.delay
        while True:
            with self.work:
                while (
                    not self.stopping and self.flush_requested == self.flush_done and len(self.queue) < self.batch_size
                ):
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        break
                    self.work.wait(remaining)
                self.wake_pending = False
                stopping = self.stopping
                flush = self.flush_requested
            timer = time.monotonic() >= deadline
            everything = stopping or timer or flush != self.flush_done
            self._drain(everything)
            self._report_drops()
            if timer:
                deadline = time.monotonic() + self.delay
            if flush != self.flush_done:
                with self.work:
                    self.flush_done = flush
                    self.done.notify_all()
            if stopping:
                break
        # A span appended between the producer's check and the last drain,
        # or left by an abandoned shutdown, is counted rather than lost silently.
        left = len(self.queue)
        self.queue.clear()
        if left:
            with self._drop_lock:
                self.dropped += left
                self._dropped_reported += left
            self.losses.lost("abandoned" if self.abandoned else "after_shutdown", left)
        self.close_exporter()
        with self.work:
            self.finished = True
            self.done.notify_all()

    def _drain(self, everything: bool) -> None:
        queue = self.queue
        size = self.batch_size
        # Spans queued when a flush began are its budget: producers that keep
        # appending cannot hold the flush forever.
        budget = len(queue) if everything else 0
        while not self.abandoned:
            count = min(len(queue), size)
            if count == 0 or (count < size and budget <= 0):
                return
            budget -= count
            self._export([queue.popleft() for _ in range(count)])

    def _export(self, batch: list[Any]) -> None:
        try:
            ok = self.exporter.export(batch)
        except Exception:
            self.failed += len(batch)
            self.losses.lost("raised", len(batch), self.exporter, exc_info=True)
            return
        if ok:
            self.exported += len(batch)
        else:
            self.failed += len(batch)
            self.losses.lost("failed", len(batch), self.exporter)


def _weakly(owner: BatchProcessor, method: Callable[[BatchProcessor], object]) -> Callable[[], None]:
    """A callback that calls `method(owner)` while owner lives, nothing after."""
    ref = weakref.ref(owner)

    def call() -> None:
        target = ref()
        if target is not None:
            method(target)

    return call


class BatchProcessor:
    """Exports finished spans in batches from a background thread.

    `on_end(span)` only queues the span; the thread hands the exporter a
    batch when `max_batch_size` spans are queued or `schedule_delay` seconds
    have passed. A full queue drops the newest span. Nothing here raises into
    the application: failures are counted in `exported`, `dropped` and
    `failed` (spans) and logged on the "korvanta" logger at WARNING, a line per
    kind of loss and then at most one a minute.

    The processor shuts down at interpreter exit, and after `os.fork()` the
    child starts with an empty queue and its own thread.

    >>> processor = BatchProcessor(JSONLinesExporter("spans.jsonl"))
    >>> processor.on_end(span)
    >>> processor.shutdown(timeout=5.0)
    True
    """

    def __init__(
        self,
        exporter: SpanExporter,
        *,
        max_queue_size: int = 2048,
        max_batch_size: int = 512,
        schedule_delay: float = 1.0,
        export_timeout: float = 30.0,
    ) -> None:
        if not (isinstance(max_queue_size, int) and max_queue_size >= 1):
            raise ValueError(f"max_queue_size must be a positive integer, not {max_queue_size!r}")
        if not (isinstance(max_batch_size, int) and 1 <= max_batch_size <= max_queue_size):
            raise ValueError(f"max_batch_size must be an integer from 1 to max_queue_size, not {max_batch_size!r}")
        if not (schedule_delay > 0 and math.isfinite(schedule_delay)):
            raise ValueError(f"schedule_delay must be a positive number of seconds, not {schedule_delay!r}")
        if not (export_timeout > 0 and math.isfinite(export_timeout)):
            raise ValueError(f"export_timeout must be a positive number of seconds, not {export_timeout!r}")
        self._exporter = exporter
        self._capacity = max_queue_size
        self._batch_size = max_batch_size
        self._delay = float(schedule_delay)
        self._timeout = float(export_timeout)
        self._losses = _LossReport()
        self._shut_down = False
        self._start_worker()
        self._at_exit = _weakly(self, BatchProcessor._shutdown_at_exit)
        atexit.register(self._at_exit)
        os.register_at_fork(after_in_child=_weakly(self, BatchProcessor._restart_in_child))

    def _start_worker(self) -> None:
        worker = _Worker(self._exporter, self._capacity, self._batch_size, self._delay, self._losses)
        self._worker = worker
        # on_end reads these two directly: one attribute each on the hot path.
        self._queue = worker.queue
        self._limit = self._capacity
        self._finalizer = weakref.finalize(self, worker.stop)
        # At exit the atexit hook shuts down with a timeout; the finalizer
        # would only ask the thread to stop without waiting for it.
        self._finalizer.atexit = False

    @property
    def exported(self) -> int:
        """Spans the exporter accepted."""
        return self._worker.exported

    @property
    def dropped(self) -> int:
        """Spans never handed to the exporter: queue full, ended after shutdown,
        or still queued when shutdown timed out."""
        return self._worker.dropped

    @property
    def failed(self) -> int:
        """Spans in batches the exporter refused (returned False) or raised on."""
        return self._worker.failed

    def on_start(self, span: Any) -> None:
        """Nothing to do when a span starts; here for symmetry with on_end."""

    def on_end(self, span: Any) -> None:
        """Queues a finished span for export; never blocks on the exporter."""
        queue = self._queue
        if len(queue) >= self._limit:
            self._worker.drop(self._limit == 0)
            return
        queue.append(span)
        # The thread is woken once per full batch, not per span; otherwise
        # the delay timer picks the spans up.
        if len(queue) >= self._batch_size and not self._worker.wake_pending:
            self._worker.wake()

    def force_flush(self, timeout: float | None = None) -> bool:
        """Exports every span queued so far; True when done within `timeout`
        seconds (default: export_timeout). After shutdown, reports whether the
        shutdown has finished."""
        timeout = self._timeout if timeout is None else timeout
        worker = self._worker
        if self._shut_down:
            return self._wait_finished(worker, timeout)
        if threading.current_thread() is worker.thread:
            return False
        return worker.flush(timeout)

    def shutdown(self, timeout: float | None = None) -> bool:
        """Exports what is queued, shuts the exporter down and stops the thread.

        Returns within `timeout` seconds (default: export_timeout) whatever
        the exporter does: True when everything finished in time. When time
        runs out, spans still queued are dropped and the exporter is asked to
        shut down, which makes a well-behaved one abort its export. Later
        spans are dropped and counted.
        """
        timeout = self._timeout if timeout is None else timeout
        worker = self._worker
        if not self._shut_down:
            self._shut_down = True
            self._limit = 0
            atexit.unregister(self._at_exit)
            self._finalizer.detach()
            worker.stop()
        if self._wait_finished(worker, timeout):
            return True
        worker.abandoned = True
        threading.Thread(target=worker.close_exporter, name="korvanta-exporter-shutdown", daemon=True).start()
        return False

    @staticmethod
    def _wait_finished(worker: _Worker, timeout: float) -> bool:
        if threading.current_thread() is worker.thread:
            return False
        worker.thread.join(max(timeout, 0.0))
        return not worker.thread.is_alive()

    def _shutdown_at_exit(self) -> None:
        self.shutdown()

    def _restart_in_child(self) -> None:
        # The parent's thread does not exist here and its locks may be held
        # by it forever; the parent's spans are the parent's to export.
        if self._shut_down:
            return
        self._finalizer.detach()
        self._losses = _LossReport()
        self._start_worker()
