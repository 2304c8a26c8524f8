# Throwaway stand-in for the lead's package entry (never committed).
from __future__ import annotations

from . import _pipeline, _spans
from ._spans import span

__all__ = ["span", "setup", "report_action", "set_cost", "wrap_openai", "wrap_anthropic",
           "Price", "set_price", "get_price", "load_prices", "estimate_cost"]


def setup(*, tracer: object = None, processors: object = (), sample_rate: float = 1.0, capture_content: bool = True) -> None:
    _spans._settings["tracer"] = tracer
    _pipeline.configure(processors=processors, capture_content=capture_content)


def report_action(span: object, action_type: str, name: str, *, arguments: object = None, result: object = None, duration_ms: object = None, success: bool = True,
                  exit_code: object = None, http_method: object = None, http_status: object = None, file_operation: object = None, metadata: object = None) -> str:
    action_id = span.report_action(action_type, name, arguments=arguments, result=result,
                                   duration_ms=duration_ms, success=success)
    _spans.extras.setdefault(id(span), {}).setdefault("metadata", {})[action_id] = metadata
    return action_id


def set_cost(span, usd):
    _spans.extras.setdefault(id(span), {})["cost"] = usd


from ._openai import wrap_openai  # noqa: E402
from ._anthropic import wrap_anthropic  # noqa: E402
from ._prices import Price, estimate_cost, get_price, load_prices, set_price  # noqa: E402
