# Throwaway stand-in for the lead's pipeline (never committed).
from __future__ import annotations

_state = {"capture_content": True, "processors": ()}


def capture_content() -> bool:
    return bool(_state["capture_content"])


def configure(*, processors=(), capture_content=True):
    _state["processors"] = tuple(processors)
    _state["capture_content"] = capture_content


def processors():
    return _state["processors"]
