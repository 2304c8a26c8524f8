"""A thread pool that runs each task in a copy of the submitting context, so
spans started in a worker nest under the span that submitted the task."""

from __future__ import annotations

import contextvars
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import ParamSpec, TypeVar

P = ParamSpec("P")
R = TypeVar("R")


class ContextThreadPoolExecutor(ThreadPoolExecutor):
    """A drop-in ``concurrent.futures.ThreadPoolExecutor`` that carries the
    current span and attributes into its workers (``map`` included).

    >>> with korvanta.span("fan-out"), korvanta.ContextThreadPoolExecutor() as pool:
    ...     results = list(pool.map(summarise, documents))  # each a child span
    """

    def submit(self, fn: Callable[P, R], /, *args: P.args, **kwargs: P.kwargs) -> Future[R]:
        context = contextvars.copy_context()
        return super().submit(context.run, fn, *args, **kwargs)  # type: ignore[arg-type]
