"""TraceSpan: properties, recording methods, completion and representation."""

import pytest

import korvanta_python as k


@pytest.fixture
def span():
    return k.DURUraTracer().start_span("chat_completion", "openai", "gpt-4")


def test_new_span(span):
    assert span.prompt == "" and span.response is None
    assert span.is_complete is False and span.is_failed is False
    for name in ("duration_ms", "prompt_tokens", "completion_tokens", "total_tokens", "security_score",
                 "error_message", "status_code"):
        assert getattr(span, name) is None, name
    assert span.security_findings_count == 0 and span.agent_actions_count == 0


@pytest.mark.parametrize("name", ["prompt", "trace_id", "total_tokens", "is_complete", "agent_actions_count"])
def test_properties_are_read_only(span, name):
    with pytest.raises(AttributeError):
        setattr(span, name, None)


def test_token_counts(span):
    span.set_token_counts(prompt_tokens=10, completion_tokens=5)
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == (10, 5, 15)
    span.set_token_counts(completion_tokens=7)
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == (None, 7, None)
    span.set_token_counts(prompt_tokens=3, completion_tokens=None)
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == (3, None, None)
    span.set_token_counts()
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == (None, None, None)


def test_total_tokens_is_the_exact_sum(span):
    # A 32-bit sum would wrap to 0 here; the total is kept exactly.
    span.set_token_counts(prompt_tokens=4294967295, completion_tokens=1)
    assert span.total_tokens == 4294967296
    span.set_token_counts(prompt_tokens=4294967295, completion_tokens=4294967295)
    assert span.total_tokens == 8589934590


def test_response_completes(span):
    span.set_prompt("What is 2+2?")
    span.set_response("4")
    assert (span.prompt, span.response) == ("What is 2+2?", "4")
    assert span.is_complete and not span.is_failed
    assert isinstance(span.duration_ms, int) and span.duration_ms >= 0
    assert span.error_message is None and span.status_code is None


def test_error_completes_and_clears_an_earlier_status(span):
    span.set_error("upstream failed", 503)
    assert (span.error_message, span.status_code) == ("upstream failed", 503)
    assert span.is_complete and span.is_failed and isinstance(span.duration_ms, int)
    span.set_error("again")
    assert (span.error_message, span.status_code) == ("again", None)
    span.set_error("kw", status_code=None)
    assert span.status_code is None


def test_response_after_error_keeps_the_failure(span):
    span.set_error("timeout", 504)
    span.set_response("late")
    assert span.is_failed and span.error_message == "timeout" and span.status_code == 504
    assert span.response == "late"


def test_setters_work_on_completed_spans(span):
    span.set_response("first")
    span.set_response("second")
    span.set_prompt("after completion")
    assert span.response == "second" and span.prompt == "after completion" and span.is_complete


def test_ttft_rejects_negative(span):
    with pytest.raises(OverflowError):
        span.set_ttft_ms(-5)


def test_repr(span):
    text = repr(span)
    assert text == f"TraceSpan(trace_id='{span.trace_id}', op='chat_completion', model='gpt-4', complete=false)"
    span.set_response("done")
    assert repr(span).endswith("complete=true)") and str(span) == repr(span)


def test_repr_inserts_names_verbatim():
    span = k.DURUraTracer().start_span("it's \"op\"\n", "openai", "mod'el")
    assert repr(span) == f"TraceSpan(trace_id='{span.trace_id}', op='it's \"op\"\n', model='mod'el', complete=false)"


def test_docstrings_and_signatures():
    assert k.TraceSpan.set_prompt.__text_signature__ == "($self, prompt)"
    assert k.TraceSpan.set_prompt.__doc__ == "Set the prompt text for this span."
    assert k.TraceSpan.set_error.__text_signature__ == "($self, error, status_code=None)"
    assert k.TraceSpan.set_token_counts.__text_signature__ == "($self, *, prompt_tokens=None, completion_tokens=None)"
    assert k.TraceSpan.security_score.__doc__ == "Overall security score (0\u2013100), or ``None`` if not analysed."
    assert k.DURUraTracer.__text_signature__ == "(*, tenant_id=None, endpoint=None, enable_security=None)"
    assert k.DURUraTracer.__doc__.startswith("Security-aware LLM tracer.\n\nCreate one per application")
    assert k.DURUraTracer.start_span.__text_signature__ == "($self, operation_name, provider, model)"
    assert k.TraceSpan.__doc__.startswith("A single trace span representing one LLM interaction.")
    assert k.TraceSpan.__text_signature__ is None
