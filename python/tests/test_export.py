"""to_json, to_dict and security_findings."""

import json
import random
import sys
import types

import pytest

import korvanta_python as k

SPAN_KEYS = [
    "trace_id", "span_id", "parent_span_id", "tenant_id", "operation_name", "start_time", "end_time", "provider",
    "model_name", "prompt", "response", "prompt_tokens", "completion_tokens", "total_tokens",
    "time_to_first_token_ms", "duration_ms", "status_code", "error_message", "estimated_cost_usd",
    "security_score", "security_findings", "tags", "events", "agent_actions",
]


@pytest.fixture
def span():
    span = k.DURUraTracer().start_span("chat_completion", "openai", "gpt-4")
    span.set_prompt('He said "hi"\tthen\nleft \\ / \x01 é 😀')
    span.set_token_counts(prompt_tokens=12, completion_tokens=30)
    span.set_ttft_ms(2**64 - 1)
    span.add_tag("env", "dev")
    span.add_tag("team", "search")
    span.add_tag("env", "prod")
    span.report_action("tool_call", "search", arguments='{"q": "x"}', duration_ms=12)
    span.set_error("gateway timeout", 504)
    return span


def test_to_dict_is_json_loads_of_the_compact_form(span):
    d = span.to_dict()
    assert list(d) == SPAN_KEYS
    assert d == json.loads(span.to_json())
    assert d["prompt"] == 'He said "hi"\tthen\nleft \\ / \x01 é 😀'
    assert d["tags"] == {"env": "prod", "team": "search"}
    assert (d["prompt_tokens"], d["completion_tokens"], d["total_tokens"]) == (12, 30, 42)
    assert d["time_to_first_token_ms"] == 2**64 - 1
    assert (d["status_code"], d["error_message"], d["response"]) == (504, "gateway timeout", None)
    assert d["provider"] == "OpenAI" and d["parent_span_id"] is None
    assert d["security_findings"] == [] and d["events"] == []


def test_fresh_span_exports_null_for_every_absent_value():
    d = k.DURUraTracer().start_span("op", "openai", "m").to_dict()
    assert list(d) == SPAN_KEYS
    for key in ["parent_span_id", "end_time", "response", "prompt_tokens", "completion_tokens", "total_tokens",
                "time_to_first_token_ms", "duration_ms", "status_code", "error_message", "estimated_cost_usd",
                "security_score"]:
        assert d[key] is None, key


def test_to_json_layout(span):
    text = span.to_json()
    lines = text.split("\n")
    assert lines[0] == "{" and lines[-1] == "}" and not text.endswith("\n")
    assert '  "tags": {\n    "env": "prod",\n    "team": "search"\n  },' in text
    assert '\\"hi\\"\\tthen\\nleft \\\\ / \\u0001 é 😀' in text
    assert all(not line.endswith(" ") for line in lines)


def test_repeated_exports_are_equal_and_independent(span):
    assert span.to_json() == span.to_json()
    first, second = span.to_dict(), span.to_dict()
    assert first == second and first is not second
    first["tags"]["env"] = "changed"
    assert span.to_dict()["tags"]["env"] == "prod"


def test_exports_follow_later_changes(span):
    before = span.to_dict()
    span.set_prompt("new")
    assert before["prompt"] != "new" and span.to_dict()["prompt"] == "new"


def test_security_findings_of_a_module_span_is_empty(span):
    assert span.security_findings() == [] and span.security_findings_count == 0


@pytest.mark.parametrize("method", ["to_json", "to_dict", "security_findings"])
def test_no_arguments(span, method):
    with pytest.raises(TypeError):
        getattr(span, method)(1)
    assert getattr(k.TraceSpan, method).__text_signature__ == "($self)"


def test_to_json_works_when_json_cannot_be_imported(span, monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    assert span.to_json().startswith('{\n  "trace_id": ')
    with pytest.raises(ImportError):
        span.to_dict()
    with pytest.raises(ImportError):
        span.security_findings()


def test_a_replaced_json_module_is_used(span, monkeypatch):
    calls = []
    fake = types.ModuleType("json")

    def loads(text, *rest, **kwargs):
        calls.append((text, rest, kwargs))
        return ("parsed", len(calls))

    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    assert span.to_dict() == ("parsed", 1)
    assert span.security_findings() == ("parsed", 2)
    text, rest, kwargs = calls[0]
    assert (rest, kwargs) == ((), {})
    assert text.startswith('{"trace_id":"') and text.endswith("]}") and "\n" not in text
    assert calls[1][0] == "[]"


def test_loads_errors_propagate(span, monkeypatch):
    fake = types.ModuleType("json")

    def loads(text):
        raise KeyError("from loads")

    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    with pytest.raises(KeyError):
        span.to_dict()


def test_loads_calling_back_into_the_span(span, monkeypatch):
    outcomes = []
    fake = types.ModuleType("json")

    def loads(text):
        outcomes.append(span.prompt)  # reading is fine under the shared borrow
        try:
            span.set_prompt("changed")
        except RuntimeError as e:
            outcomes.append(str(e))
        return json.loads(text)

    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    span.to_dict()
    assert outcomes[1] == "Already borrowed"
    assert span.prompt != "changed"


def test_exports_meet_an_exclusive_borrow(span):
    seen = []

    class Index:
        def __index__(self):
            for export in (span.to_json, span.to_dict, span.security_findings):
                try:
                    export()
                except RuntimeError as e:
                    seen.append(str(e))
            return 1

    span.set_ttft_ms(Index())
    assert seen == ["Already mutably borrowed"] * 3


@pytest.mark.parametrize(
    "provider, exported",
    [
        ("OpenAI", "OpenAI"), ("openai", "OpenAI"), ("OPENAI", "OpenAI"),
        ("Anthropic", "Anthropic"), ("vLLM", "VLLm"), ("SGLang", "SGLang"), ("TGI", "TGI"),
        ("Ollama", "Ollama"), ("Bedrock", "Bedrock"),
        ("azure_openai", "AzureOpenAI"), ("Azure-OpenAI", "AzureOpenAI"), ("AZUREOPENAI", "AzureOpenAI"),
        ("Mistral", {"Custom": "mistral"}), ("", {"Custom": ""}), ("azure openai", {"Custom": "azure openai"}),
        (" openai", {"Custom": " openai"}), ("ÆON", {"Custom": "æon"}), ("ΣΟΦΟΣ", {"Custom": "σοφος"}),
        ("İstanbul", {"Custom": "i̇stanbul"}), ("ＯｐｅｎＡＩ", {"Custom": "ｏｐｅｎａｉ"}),
        ("K", {"Custom": "k"}),  # Kelvin sign lowercases to an ASCII k
    ],
)
def test_provider_names(provider, exported):
    span = k.DURUraTracer().start_span("op", provider, "m")
    assert span.to_dict()["provider"] == exported


def test_provider_lowercasing_matches_str_lower():
    tracer = k.DURUraTracer()
    samples = ["ΑΣ ΑΣ.", "ẞig", "ǅemo", "ΌΣΟΣ", "ᾈᾉ", "Ⅻ", "ⓐⒶ", "𐐀𐐁", "ǈ-Ǉ", "Σ", "AΣb"]
    for text in samples:
        assert tracer.start_span("op", text, "m").to_dict()["provider"] == {"Custom": text.lower()}


def test_random_texts_round_trip():
    # Texts of every length around the writer's block sizes, with bytes to
    # escape and multi-byte characters at random places and distances.
    rng = random.Random(20261207)
    alphabet = ["a", "b", " ", '"', "\\", "\n", "\t", "\x01", "\x1f", "\x7f", "é", "€", "😀", "/"]
    weights = [30, 30, 10, 3, 3, 3, 2, 1, 1, 1, 3, 3, 2, 2]
    span = k.DURUraTracer().start_span("op", "openai", "m")
    for _ in range(3000):
        text = "".join(rng.choices(alphabet, weights, k=rng.randrange(0, 120)))
        span.set_prompt(text)
        assert span.to_dict()["prompt"] == text
        assert json.loads(span.to_json())["prompt"] == text


@pytest.mark.parametrize("size", [0, 100, 8_000, 70_000, 300_000])
@pytest.mark.parametrize("tail", ["", "é", "\n"])
def test_to_json_of_documents_that_outgrow_the_buffer(size, tail):
    # The indented text is written straight into the str it becomes, growing
    # it on the way; what comes back must be the whole document, of the right
    # kind, whether the last byte written is ASCII or not.
    span = k.DURUraTracer().start_span("op", "openai", "m")
    prompt = "x" * size + tail
    span.set_prompt(prompt)
    span.set_response(tail + "y" * (size // 3))
    text = span.to_json()
    assert json.loads(text) == span.to_dict()
    assert text.isascii() == (tail != "é")
