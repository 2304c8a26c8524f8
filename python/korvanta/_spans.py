# Throwaway stand-in for the lead's span helpers (never committed).
from __future__ import annotations

import contextlib
import contextvars

import korvanta_python

from . import _pipeline

_default_tracer = korvanta_python.DURUraTracer()
_current: contextvars.ContextVar = contextvars.ContextVar("korvanta_current", default=None)
_ended: dict[int, object] = {}
_settings = {"tracer": None}
extras: dict[int, dict] = {}


class _View:
    """Emulates the native-only fields (parent, cost, action metadata) for local testing."""

    def __init__(self, span):
        self._span = span

    def __getattr__(self, name):
        return getattr(self._span, name)

    def to_dict(self):
        d = self._span.to_dict()
        extra = extras.get(id(self._span), {})
        if "cost" in extra:
            d["estimated_cost_usd"] = extra["cost"]
        for action in d["agent_actions"]:
            action["metadata"] = dict(extra.get("metadata", {}).get(action["id"]) or {})
        parent = extra.get("parent")
        if parent is not None:
            d["parent_span_id"] = parent.span_id
            d["trace_id"] = parent.trace_id
        return d


def start_span(operation_name, *, provider="", model="", tracer=None, tags=None):
    tracer = tracer or _settings["tracer"] or _default_tracer
    span = tracer.start_span(operation_name, provider, model)
    for key, value in (tags or {}).items():
        span.add_tag(key, value)
    extras[id(span)] = {"parent": _current.get(), "metadata": {}}
    return span


def end_span(span):
    if not span.is_complete:
        span.set_response("")
    view = _View(span)
    for processor in _pipeline.processors():
        processor.on_end(view)
    view.frozen = view.to_dict() if _pipeline.processors() else None
    extras.pop(id(span), None)


@contextlib.contextmanager
def span(operation_name, *, provider="", model="", tracer=None, tags=None):
    s = start_span(operation_name, provider=provider, model=model, tracer=tracer, tags=tags)
    token = _current.set(s)
    try:
        yield s
    finally:
        _current.reset(token)
        end_span(s)
