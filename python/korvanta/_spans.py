"""``korvanta.span``: a block that runs inside a span nested under the current
one, and the calls that start and end such spans for the rest of the package."""

from __future__ import annotations

from collections.abc import Mapping

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


# The block (korvanta.span) is native code: every traced block takes its path.
# Its documentation is the class's own (help(korvanta.span)).
span = _native.span


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
