"""Quickstart: trace one LLM agent call with korvanta_python.

Builds a tracer from a settings dict, wraps an LLM client with `instrument`,
starts a span through the wrapper, records what the call sent and received
and the two tool calls the agent made, and prints the span as JSON.
"""

import korvanta_python


class EchoClient:
    """Stands in for a vendor client such as openai.OpenAI(...)."""

    base_url = "http://127.0.0.1:8000/v1"

    def __repr__(self):
        return f"EchoClient(base_url={self.base_url!r})"

    def complete(self, prompt):
        return "Rain is expected in Paris today (14 °C): pack an umbrella."


tracer = korvanta_python.configure(
    {
        "tenant_id": "0b8f4c1e-5a3d-4e2f-9c61-2d7a8b9c0d1e",
        "endpoint": "http://localhost:4317",
        "enable_security": True,
    }
)
client = korvanta_python.instrument(EchoClient(), tracer=tracer)
print(client)  # the wrapper reads the client's own attributes, e.g. client.base_url

span = client.start_span("chat_completion", "openai", "gpt-4")
prompt = "What is the weather in Paris, and should I pack an umbrella?"
span.set_prompt(prompt)
span.set_ttft_ms(120)

span.report_action(
    "tool_call",
    "get_weather",
    arguments='{"city": "Paris"}',
    result='{"forecast": "rain", "temperature_c": 14}',
    duration_ms=85,
)
span.report_action("web_access", "https://example.com/paris/forecast", duration_ms=230, success=False)

span.set_token_counts(prompt_tokens=42, completion_tokens=18)
span.add_tag("environment", "production")
span.add_tag("user_tier", "premium")
span.set_response(client.complete(prompt))  # an attribute of the wrapped client

print(span.to_json())
