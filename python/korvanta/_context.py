"""What is current in this context: the span, and the tags that every span
started inside ``korvanta.attributes`` blocks gets. Both follow asyncio tasks
(contextvars); ``ContextThreadPoolExecutor`` carries them into threads."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from contextvars import ContextVar

from korvanta_python import TraceSpan

# The innermost span whose block (or decorated call, or generator step) is
# running, or None.
current: ContextVar[TraceSpan | None] = ContextVar("korvanta.current_span", default=None)
# The merged tags of the enclosing attributes() blocks, or None.
tags: ContextVar[dict[str, str] | None] = ContextVar("korvanta.attributes", default=None)


def current_span() -> TraceSpan | None:
    """The span of the innermost running ``korvanta.span`` block or observed
    call in this context, or ``None``.

    >>> with korvanta.span("agent") as s:
    ...     assert korvanta.current_span() is s
    """
    return current.get()


@contextlib.contextmanager
def attributes(**tags_given: object) -> Iterator[None]:
    """Every span started inside the block gets these tags (values are turned
    into ``str``); nested blocks add to the outer ones, an inner value for the
    same key winning.

    >>> with korvanta.attributes(session_id="s-42", user_id="u-7"):
    ...     with korvanta.span("chat"):
    ...         ...
    """
    outer = tags.get()
    merged = dict(outer) if outer else {}
    for key, value in tags_given.items():
        merged[key] = value if type(value) is str else str(value)
    token = tags.set(merged)
    try:
        yield
    finally:
        tags.reset(token)
