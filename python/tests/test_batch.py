"""BatchProcessor with a real exporter that records, blocks, refuses or raises."""

import gc
import json
import logging
import os
import threading
import time
import warnings
import weakref

import pytest

from korvanta._batch import BatchProcessor


class Recorder:
    """An exporter that keeps every batch; `gate` cleared makes export block."""

    def __init__(self, result=True):
        self.batches = []
        self.result = result
        self.gate = threading.Event()
        self.gate.set()
        self.entered = threading.Event()
        self.shut_down = threading.Event()

    def export(self, spans):
        self.entered.set()
        self.gate.wait(30)
        self.batches.append(list(spans))
        if self.result == "raise":
            raise RuntimeError("collector exploded")
        return self.result

    def shutdown(self):
        self.shut_down.set()

    @property
    def spans(self):
        return [span for batch in self.batches for span in batch]


@pytest.fixture
def make():
    """Makes processors and shuts each down at the end, blocked ones included."""
    made = []

    def make(recorder=None, **options):
        recorder = recorder or Recorder()
        processor = BatchProcessor(recorder, **options)
        made.append((processor, recorder))
        return processor, recorder

    yield make
    for processor, recorder in made:
        recorder.gate.set()
        processor.shutdown(timeout=10)


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.005)


def losses(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "korvanta" and r.levelno == logging.WARNING]


def test_full_batch_is_exported_without_waiting_for_the_delay(make):
    processor, recorder = make(max_batch_size=4, schedule_delay=3600)
    for span in range(9):
        processor.on_end(span)
    wait_for(lambda: len(recorder.batches) == 2)
    assert recorder.batches == [[0, 1, 2, 3], [4, 5, 6, 7]]
    assert processor.shutdown(timeout=10)
    assert recorder.batches[2:] == [[8]] and recorder.shut_down.is_set()
    assert (processor.exported, processor.dropped, processor.failed) == (9, 0, 0)


def test_delay_exports_a_partial_batch(make):
    processor, recorder = make(max_batch_size=100, schedule_delay=0.05)
    for span in range(3):
        processor.on_end(span)
    wait_for(lambda: recorder.batches)
    processor.on_end(3)
    wait_for(lambda: len(recorder.batches) == 2)
    assert recorder.batches == [[0, 1, 2], [3]]


def test_full_queue_drops_the_newest_spans_and_says_so_once(make, caplog):
    processor, recorder = make(max_queue_size=4, max_batch_size=4, schedule_delay=3600)
    recorder.gate.clear()
    for span in range(4):
        processor.on_end(span)
    recorder.entered.wait(10)  # the thread holds 0..3; the queue is empty again
    for span in range(4, 10):
        processor.on_end(span)
    assert processor.dropped == 2
    recorder.gate.set()
    assert processor.shutdown(timeout=10)
    assert recorder.spans == list(range(8))
    processor.on_end(10)
    assert (processor.exported, processor.dropped, processor.failed) == (8, 3, 0)
    assert losses(caplog) == [
        "korvanta: the export queue is full (4 spans); dropped 2 span(s)",
        "korvanta: dropped 1 span(s) ended after the processor was shut down",
    ]


def test_flush_and_shutdown_report_whether_they_finished_in_time(make):
    processor, recorder = make(max_batch_size=8, schedule_delay=3600)
    recorder.gate.clear()
    processor.on_end("a")
    assert not processor.force_flush(timeout=0.1)
    recorder.gate.set()
    assert processor.force_flush(timeout=10)
    recorder.gate.clear()
    processor.on_end("b")
    processor.on_end("c")
    started = time.monotonic()
    assert not processor.shutdown(timeout=0.2)
    assert time.monotonic() - started < 0.2 + 1.0  # whatever the exporter does
    assert recorder.shut_down.wait(10)  # asked to abort what it is doing
    recorder.gate.set()
    assert processor.shutdown(timeout=10)
    assert recorder.spans == ["a", "b", "c"]


@pytest.mark.parametrize("result", [False, "raise"])
def test_failed_exports_are_counted_and_logged_once(make, caplog, result):
    processor, recorder = make(Recorder(result), max_batch_size=2, schedule_delay=3600)
    for span in range(5):
        processor.on_end(span)
    assert processor.force_flush(timeout=10)
    assert (processor.exported, processor.dropped, processor.failed) == (0, 0, 5)
    verb = "could not export" if result is False else "raised while exporting"
    assert losses(caplog) == [f"korvanta: the exporter {recorder!r} {verb} 2 span(s)"]
    assert bool(caplog.records[-1].exc_info) is (result == "raise")


@pytest.mark.parametrize("max_queue_size", [100_000, 64])
def test_spans_from_many_threads_are_each_exported_at_most_once(make, max_queue_size):
    processor, recorder = make(max_queue_size=max_queue_size, max_batch_size=32, schedule_delay=0.01)
    threads, per_thread = 8, 5000
    start = threading.Barrier(threads)

    def produce(thread):
        start.wait()
        for index in range(per_thread):
            processor.on_end((thread, index))

    workers = [threading.Thread(target=produce, args=(n,)) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert processor.shutdown(timeout=30)
    exported = recorder.spans
    assert len(set(exported)) == len(exported) == processor.exported
    assert processor.exported + processor.dropped == threads * per_thread
    if max_queue_size >= threads * per_thread:
        assert processor.dropped == 0


def test_forked_child_starts_empty_with_its_own_thread(make):
    processor, recorder = make(max_batch_size=100, schedule_delay=3600)
    processor.on_end("parent-1")
    processor.on_end("parent-2")
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:
        try:
            processor.on_end("child")
            report = {"flushed": processor.force_flush(timeout=10), "batches": recorder.batches}
            os.write(write_end, json.dumps(report).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        report = json.loads(pipe.read() or b"null")
    os.waitpid(pid, 0)
    assert report == {"flushed": True, "batches": [["child"]]}
    assert processor.force_flush(timeout=10)
    assert recorder.batches == [["parent-1", "parent-2"]]


def test_a_dropped_processor_is_collected_and_exports_what_it_held():
    recorder = Recorder()
    processor = BatchProcessor(recorder, schedule_delay=3600)
    processor.on_end("last words")
    ref = weakref.ref(processor)
    del processor
    gc.collect()
    assert ref() is None  # neither its thread nor the atexit hook keeps it
    assert recorder.shut_down.wait(10)
    assert recorder.spans == ["last words"]


def test_interpreter_exit_shuts_down_and_exports(python_process):
    done = python_process(
        """
        from korvanta._batch import BatchProcessor

        class Printer:
            def export(self, spans):
                print("exported", *spans)
                return True
            def shutdown(self):
                print("shut down")

        keep = BatchProcessor(Printer(), schedule_delay=3600)
        keep.on_end("a")
        keep.on_end("b")
        closed = BatchProcessor(Printer(), schedule_delay=3600)
        closed.shutdown()
        """
    )
    assert done.stderr == ""
    assert done.stdout == "shut down\nexported a b\nshut down\n"
