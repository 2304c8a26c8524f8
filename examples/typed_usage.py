"""Typed use of korvanta_python, as a type checker sees it.

The wheel ships type stubs (the korvanta_python-stubs package), so editors
complete the API and `mypy --strict` checks code like this file:

    mypy --strict examples/typed_usage.py

The shapes of the exported documents (SpanDict, AgentActionDict,
FindingSummary, ...) exist for type checking only: import them under
`if TYPE_CHECKING:` as below.
"""

from __future__ import annotations

import json
import time
from typing import TYPE_CHECKING, Any

import korvanta_python
from korvanta_python import DURUraTracer, InstrumentedClient, TraceSpan

if TYPE_CHECKING:
    from korvanta_python import AgentActionDict, SpanDict


class WeatherModel:
    """Stands in for a vendor LLM client."""

    model = "weather-1"

    def complete(self, prompt: str) -> tuple[str, int, int]:
        """Returns the answer and the prompt and completion token counts."""
        return f"Sunny, 21 °C ({prompt[:20]}...)", len(prompt.split()), 4


def make_tracer(settings: dict[str, Any]) -> DURUraTracer:
    # configure() reads "tenant_id", "endpoint" and "enable_security".
    return korvanta_python.configure(settings)


def traced_call(client: InstrumentedClient, prompt: str) -> TraceSpan:
    span = client.start_span("chat_completion", "openai", "weather-1")
    span.set_prompt(prompt)
    model: WeatherModel = client.wrapped_client  # the client's own type
    started = time.perf_counter()
    answer, prompt_tokens, completion_tokens = model.complete(prompt)
    span.set_ttft_ms(int((time.perf_counter() - started) * 1000))
    span.set_token_counts(prompt_tokens=prompt_tokens, completion_tokens=completion_tokens)
    action_id: str = span.report_action(
        "tool_call", "get_weather", arguments=json.dumps({"city": "Lyon"}), duration_ms=3, success=True
    )
    span.add_tag("action", action_id)
    span.set_response(answer)
    return span


def failed_call(tracer: DURUraTracer) -> TraceSpan:
    span = tracer.start_span("chat_completion", "anthropic", "claude-x")
    span.set_error("upstream timeout", status_code=504)
    return span


def describe_actions(actions: list[AgentActionDict]) -> list[str]:
    return [f"{a['action_type']}:{a['name']}:{'ok' if a['success'] else 'failed'}" for a in actions]


def summary(document: SpanDict) -> dict[str, object]:
    provider = document["provider"]
    return {
        "provider": provider if isinstance(provider, str) else provider["Custom"],
        "model": document["model_name"],
        "total_tokens": document["total_tokens"],
        "complete": document["end_time"] is not None,
        "actions": describe_actions(document["agent_actions"]),
    }


def main() -> None:
    tracer = make_tracer({"tenant_id": "0b8f4c1e-5a3d-4e2f-9c61-2d7a8b9c0d1e", "enable_security": True})
    client = korvanta_python.instrument(WeatherModel(), tracer=tracer)
    print(client.model)  # delegated to the wrapped client: typed Any

    span = traced_call(client, "What is the weather in Lyon this afternoon?")
    total: int | None = span.total_tokens
    print(span.is_complete, total, span.agent_actions_count)
    print(json.dumps(summary(span.to_dict())))

    failed = failed_call(tracer)
    status: int | None = failed.status_code
    print(failed.is_failed, failed.error_message, status)
    findings = failed.security_findings()
    print([finding["severity"] for finding in findings])


if __name__ == "__main__":
    main()
