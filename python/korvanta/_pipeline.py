"""The process-wide pipeline: the default tracer, the processors that receive
each finished span, sampling, and ``setup`` / ``flush`` / ``shutdown``."""

from __future__ import annotations

import atexit
import logging
import math
import threading
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol, cast, runtime_checkable

from korvanta_python import DURUraTracer, TraceSpan

from . import _context, _native

if TYPE_CHECKING:
    from ._batch import SpanExporter

logger = logging.getLogger("korvanta")


@runtime_checkable
class SpanProcessor(Protocol):
    """What ``korvanta.setup(processors=...)`` accepts: ``on_end`` is called on
    the thread that ended the span and must stay cheap."""

    def on_end(self, span: TraceSpan) -> None: ...
    def force_flush(self, timeout: float | None = None) -> bool: ...
    def shutdown(self) -> object: ...


# The tracer spans use when neither they nor setup() name one: made at
# import, so that starting a span never has to check for it.
_process_tracer = DURUraTracer()


@dataclass(frozen=True, slots=True)
class _State:
    tracer: DURUraTracer = _process_tracer
    processors: tuple[SpanProcessor, ...] = ()
    # Traces whose first eight id bytes (big-endian) lie below this are kept;
    # None keeps every trace.
    sample_below: int | None = None
    capture_content: bool = True
    scan: bool = True
    # None, "secrets" or a callable (text, field) -> str: what exporters send.
    mask: str | Callable[[str, str], str] | None = None
    mask_in_place: bool = False


# Replaced whole by setup(), so a reader sees one consistent pipeline.
_state = _State()
_lock = threading.Lock()
_reported: set[tuple[type, type, str]] = set()


def default_tracer() -> DURUraTracer:
    """The tracer given to ``setup``, else the process's own."""
    return _state.tracer


def capture_content() -> bool:
    return _state.capture_content


def state() -> _State:
    return _state


def report_once(where: object, error: BaseException, action: str) -> None:
    """Logs a fault in a processor (or other pluggable part) once per kind."""
    key = (type(where), type(error), action)
    if key in _reported:
        return
    _reported.add(key)
    logger.warning("%s.%s raised %s: %s (further errors of this kind are not logged)",
                   type(where).__name__, action, type(error).__name__, error, exc_info=error)


# hand_over(span): gives a span that ended to the processors, once (finishing
# it first if nothing did); sampled-out traces and spans handed over before
# reach none. A processor that raises is reported once per kind and never
# breaks the application's call. Native: every span takes this path.
hand_over = _native.deliver


def _sample_below(sample_rate: float) -> int | None:
    if not isinstance(sample_rate, (int, float)) or isinstance(sample_rate, bool) or math.isnan(sample_rate):
        raise TypeError(f"sample_rate must be a number from 0 to 1, not {sample_rate!r}")
    if not 0.0 <= sample_rate <= 1.0:
        raise ValueError(f"sample_rate must be from 0 to 1, not {sample_rate!r}")
    if sample_rate == 1.0:
        return None
    return int(sample_rate * 2**64)


def setup(
    *,
    tracer: DURUraTracer | None = None,
    processors: Iterable[SpanProcessor] = (),
    exporter: SpanExporter | Iterable[SpanExporter] | None = None,
    endpoint: str | None = None,
    sample_rate: float = 1.0,
    capture_content: bool = True,
    scan: bool = True,
    mask: str | Callable[[str, str], str] | None = None,
    mask_in_place: bool = False,
) -> None:
    """Sets the process-wide pipeline, shutting the previous one down.

    ``tracer`` is the tracer that ``span`` and ``observe`` use when none is
    given (a default tracer otherwise); ``processors`` receive each finished
    span (``on_end(span)``); ``sample_rate`` keeps that share of traces, decided
    once per trace from its id, so an agent run is kept or dropped whole;
    ``capture_content=False`` makes the client wrappers record counts, timings
    and tool names but no prompt or response text.

    ``scan`` checks every span as it ends, before any processor sees it, for
    leaked credentials, personal data, prompt injection and risky agent
    actions (for spans whose tracer has ``enable_security``), filling its
    findings and score. ``mask="secrets"`` replaces each detected credential
    and personal-data match in what exporters send with a marker naming its
    rule ("[REDACTED:github_token]"); a callable ``mask(text, field) -> str``
    is run on every free text instead (on the exporter's thread). The span in
    memory keeps the original unless ``mask_in_place=True``.

    ``exporter`` (one or a list) puts each exporter behind its own
    ``BatchProcessor``; ``endpoint`` is the one-line form for OTLP over HTTP,
    ``OTLPExporter(endpoint)`` behind a ``BatchProcessor``.

    >>> korvanta.setup(processors=[MyProcessor()], sample_rate=0.25)
    >>> korvanta.setup(endpoint="http://localhost:4318")
    >>> korvanta.setup(exporter=[korvanta.JSONLinesExporter("spans.jsonl"), korvanta.OTLPExporter()])
    """
    if tracer is not None and type(tracer) is not DURUraTracer:
        raise TypeError(f"tracer must be a korvanta_python.DURUraTracer, not {type(tracer).__name__}")
    processors = tuple(processors)
    exporters: list[SpanExporter] = []
    if exporter is not None:
        # One exporter, or several: told apart by the method every exporter has.
        if callable(getattr(exporter, "export", None)):
            exporters.append(cast("SpanExporter", exporter))
        else:
            exporters.extend(cast("Iterable[SpanExporter]", exporter))
    if endpoint is not None:
        from ._otlp import OTLPExporter

        exporters.append(OTLPExporter(endpoint))
    if exporters:
        from ._batch import BatchProcessor

        for each in exporters:
            if not callable(getattr(each, "export", None)):
                raise TypeError(f"an exporter needs an export(spans) method: {each!r}")
        processors += tuple(BatchProcessor(each) for each in exporters)
    for processor in processors:
        if not callable(getattr(processor, "on_end", None)):
            raise TypeError(f"a processor needs an on_end(span) method: {processor!r}")
    if mask is not None and mask != "secrets" and not callable(mask):
        raise ValueError(f'mask must be "secrets" or a callable (text, field) -> str, not {mask!r}')
    new_state = _State(
        tracer=tracer if tracer is not None else _process_tracer,
        processors=processors,
        sample_below=_sample_below(sample_rate),
        capture_content=bool(capture_content),
        scan=bool(scan),
        mask=mask,
        mask_in_place=bool(mask_in_place),
    )
    global _state
    with _lock:
        previous, _state = _state, new_state
        _publish(new_state)
    _shut_down(previous.processors)


def flush(timeout: float | None = None) -> bool:
    """Asks every processor to export what it holds; True when all finished
    within ``timeout`` seconds (``None``: no limit)."""
    done = True
    for processor in _state.processors:
        method = getattr(processor, "force_flush", None)
        if method is None:
            continue
        try:
            done = bool(method(timeout)) and done
        except Exception as error:
            report_once(processor, error, "force_flush")
            done = False
    return done


def _shut_down(processors: Sequence[SpanProcessor]) -> None:
    for processor in processors:
        method = getattr(processor, "shutdown", None)
        if method is None:
            continue
        try:
            method()
        except Exception as error:
            report_once(processor, error, "shutdown")


def shutdown() -> None:
    """Shuts every processor down (exporting what they hold); spans ended
    afterwards reach no processor. Runs at interpreter exit as well."""
    global _state
    with _lock:
        previous = _state
        _state = _State(tracer=previous.tracer, sample_below=previous.sample_below,
                        capture_content=previous.capture_content, scan=previous.scan, mask=previous.mask,
                        mask_in_place=previous.mask_in_place)
        _publish(_state)
    _shut_down(previous.processors)


def _publish(new_state: _State) -> None:
    _native.set_pipeline(new_state.processors, new_state.tracer, new_state.sample_below, new_state.scan,
                         new_state.mask, new_state.mask_in_place)
    _native.set_capture_content(new_state.capture_content)


_native.bind_context(_context.current, _context.tags, report_once)
_publish(_state)
atexit.register(shutdown)
