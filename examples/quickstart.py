"""Quickstart: trace one LLM agent call with korvanta_python, then a whole
agent run with the korvanta package.

Builds a tracer from a settings dict, wraps an LLM client with `instrument`,
starts a span through the wrapper, records what the call sent and received
and the two tool calls the agent made, and prints the span as JSON. Then the
same tracer records an agent run as one trace, a root span with two children,
each handed to a processor when it ends, and prints the three in trace order.
"""

import korvanta
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


# ---- a whole agent run: spans that nest, and a pipeline that receives them


class Collect:
    """A processor: korvanta.setup hands it every span that ends."""

    def __init__(self):
        self.spans = []

    def on_end(self, span):
        self.spans.append(span)


collected = Collect()
korvanta.setup(tracer=tracer, processors=[collected])

with korvanta.span("agent_run", tags={"user_tier": "premium"}):
    with korvanta.span("plan", provider="openai", model="gpt-4o-mini") as plan:
        plan.set_prompt(prompt)
        plan.set_response("Look up the forecast for Paris, then answer.")
    with korvanta.span("chat_completion", provider="openai", model="gpt-4") as answer:
        korvanta.report_action(answer, "tool_call", "get_weather", arguments='{"city": "Paris"}',
                               metadata={"gen_ai.tool.call.id": "call_1"})
        answer.set_response(client.complete(prompt))

# Children end first; print in trace order (by start time).
for span in sorted(collected.spans, key=lambda s: s.to_dict()["start_time"]):
    print(span.to_json())
