"""Quickstart: trace one LLM agent call with korvanta_python.

Starts a tracer and a span, records what a chat completion sent and received
and the two tool calls the agent made, and prints the span as JSON.
"""

import korvanta_python

tracer = korvanta_python.DURUraTracer(endpoint="http://localhost:4317")
span = tracer.start_span("chat_completion", "openai", "gpt-4")

span.set_prompt("What is the weather in Paris, and should I pack an umbrella?")
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
span.set_response("Rain is expected in Paris today (14 °C): pack an umbrella.")

print(span.to_json())
