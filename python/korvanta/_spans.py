"""``korvanta.span``: a block that runs inside a span nested under the current
one, and the calls that start and end such spans for the rest of the package."""

from __future__ import annotations

from collections.abc import Mapping
from types import TracebackType

from korvanta_python import DURUraTracer, TraceSpan

from . import _context, _native, _pipeline

_current = _context.current
_tags = _context.tags
_native_start = _native.start_span


def start_span(
    operation_name: str,
    *,
    provider: str = "",
    model: str = "",
    tracer: DURUraTracer | None = None,
    tags: Mapping[str, str] | None = None,
) -> TraceSpan:
    """A span that is a child of the current span (same trace) or the root of
    a new trace, with the tags of the enclosing ``attributes`` blocks and
    ``tags``. It is not made current. Without ``tracer``, a child uses its
    parent's tracer and a root the process-wide one."""
    parent = _current.get()
    span = _native_start(tracer, operation_name, provider, model, parent, _pipeline._state.tracer)
    inherited = _tags.get()
    if inherited:
        for key, value in inherited.items():
            span.add_tag(key, value)
    if tags:
        for key, value in tags.items():
            span.add_tag(key, value)
    return span


def end_span(span: TraceSpan) -> None:
    """Finishes the span if nothing finished it and hands it to the pipeline
    (once: a second call does nothing)."""
    _pipeline.hand_over(span)


def error_text(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


class span:
    """A block run inside a new span, the current span while it runs.

    The span is a child of the current span, or the root of a new trace. On
    leaving the block, an exception is recorded with
    ``set_error("<type>: <message>")`` and goes on; otherwise the span is
    finished unless something finished it already. Then the span goes to the
    pipeline (see ``korvanta.setup``). Works with ``with`` and ``async with``
    and binds the ``korvanta_python.TraceSpan``:

    >>> with korvanta.span("agent", tags={"team": "search"}) as root:
    ...     with korvanta.span("chat", provider="openai", model="gpt-4o") as call:
    ...         call.set_response("...")
    """

    __slots__ = ("_operation_name", "_provider", "_model", "_tracer", "_tags", "_span", "_token")

    def __init__(
        self,
        operation_name: str,
        *,
        provider: str = "",
        model: str = "",
        tracer: DURUraTracer | None = None,
        tags: Mapping[str, str] | None = None,
    ) -> None:
        self._operation_name = operation_name
        self._provider = provider
        self._model = model
        self._tracer = tracer
        self._tags = tags
        self._span: TraceSpan | None = None

    def __enter__(self) -> TraceSpan:
        if self._span is not None:
            raise RuntimeError("a korvanta.span block cannot be entered twice")
        # start_span(), written out: this is the path every block takes.
        parent = _current.get()
        span = _native_start(self._tracer, self._operation_name, self._provider, self._model, parent,
                             _pipeline._state.tracer)
        inherited = _tags.get()
        if inherited:
            for key, value in inherited.items():
                span.add_tag(key, value)
        if self._tags:
            for key, value in self._tags.items():
                span.add_tag(key, value)
        self._span = span
        self._token = _current.set(span)
        return span

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        span = self._span
        assert span is not None, "__exit__ without __enter__"
        _current.reset(self._token)
        if exc is not None:
            span.set_error(error_text(exc))
        _pipeline.hand_over(span)

    async def __aenter__(self) -> TraceSpan:
        return self.__enter__()

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.__exit__(exc_type, exc, traceback)


def end(span: TraceSpan, *, tracer: DURUraTracer | None = None) -> None:
    """Hands a span started with the module's own API (``tracer.start_span``)
    to the pipeline, finishing it first if nothing did. Its parent is left as
    it is; a second ``end`` of the same span does nothing. ``tracer`` is the
    span's tracer for the pipeline's per-tracer decisions (security analysis,
    the export endpoint); by default the process-wide one.

    >>> s = tracer.start_span("chat", "openai", "gpt-4o")
    >>> s.set_response("...")
    >>> korvanta.end(s, tracer=tracer)
    """
    _native.adopt(span, tracer if tracer is not None else _pipeline.default_tracer())
    _pipeline.hand_over(span)


def add_event(
    span: TraceSpan,
    name: str,
    attributes: Mapping[str, object] | None = None,
    *,
    description: str = "",
) -> None:
    """Appends a timestamped event to the span; attribute values become str.

    >>> korvanta.add_event(span, "retry", {"attempt": 2})
    """
    data = None
    if attributes:
        data = {key: value if type(value) is str else str(value) for key, value in attributes.items()}
    _native.add_event(span, name, description, data)
