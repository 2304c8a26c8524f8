"""Quickstart: trace one LLM call with korvanta_python.

Starts a tracer and a span, records what a chat completion sent and received,
and prints the span.
"""

import korvanta_python

tracer = korvanta_python.DURUraTracer(endpoint="http://localhost:4317")
span = tracer.start_span("chat_completion", "openai", "gpt-4")

span.set_prompt("What is the capital of France?")
span.set_ttft_ms(120)
span.set_token_counts(prompt_tokens=12, completion_tokens=8)
span.add_tag("environment", "production")
span.add_tag("user_tier", "premium")
span.set_response("The capital of France is Paris.")

print(f"korvanta_python {korvanta_python.__version__}")
print(tracer)
print(span)
print(f"complete={span.is_complete} duration_ms={span.duration_ms} total_tokens={span.total_tokens}")
