# The price table: how model names find their price, and how users extend or replace it.
from __future__ import annotations

import json

import pytest

from korvanta import _prices
from korvanta._prices import Price, estimate_cost, get_price, load_prices, set_price


@pytest.fixture(autouse=True)
def shipped_table(monkeypatch):
    """Each test starts from the shipped table and leaves it as it was."""
    monkeypatch.setattr(_prices, "_table", _prices._Table())


@pytest.mark.parametrize("provider, model, priced_as", [
    ("openai", "gpt-4o", "gpt-4o"),
    ("openai", "gpt-4o-2024-08-06", "gpt-4o"),  # dated release
    ("openai", "gpt-4o-mini-2024-07-18", "gpt-4o-mini"),  # not gpt-4o
    ("openai", "gpt-4o-mini-audio-preview", "gpt-4o-mini"),  # longest known name it extends
    ("openai", "o1-pro-2025-03-19", "o1-pro"),  # a dearer model of its own (checked below), not o1
    ("OpenAI", "GPT-4o", "gpt-4o"),
    ("openai", "openai/gpt-4.1-nano", "gpt-4.1-nano"),  # a router's name
    ("azure_openai", "gpt-4o-2024-11-20", "gpt-4o"),  # Azure bills OpenAI's list prices
    ("anthropic", "claude-3-5-haiku-20241022", "claude-3-5-haiku"),
    ("anthropic", "claude-3-5-haiku-latest", "claude-3-5-haiku"),
    ("anthropic", "claude-sonnet-4-5-20250929", "claude-sonnet-4-5"),
    ("openai", "gpt-4oo", None),  # extends no known name at a dash
    ("openai", "my-finetune", None),
    ("vllm", "gpt-4o", None),  # a provider without prices
    ("openai", "", None),
])
def test_model_names_find_their_price(provider, model, priced_as):
    expected = None if priced_as is None else get_price(provider.lower().replace("azure_", ""), priced_as)
    assert get_price(provider, model) == expected
    assert (expected is None) == (priced_as is None)


def test_dearer_variants_are_not_priced_as_their_family():
    for variant, family in [("o1-pro", "o1"), ("o3-pro", "o3"), ("gpt-5-pro", "gpt-5"), ("gpt-4-32k", "gpt-4")]:
        assert get_price("openai", variant).output > get_price("openai", family).output


def test_every_shipped_price_is_dated_and_cached_input_is_cheaper():
    document = json.loads((_prices.resources.files("korvanta") / "prices.json").read_text(encoding="utf-8"))
    for provider, models in document["providers"].items():
        for model in models:
            price = get_price(provider, model)
            assert price.read_on == document["read_on"]
            assert price.cached_input is None or price.cached_input < price.input


def test_user_prices_extend_override_and_replace_the_table(tmp_path):
    set_price("openai", "gpt-4o", input=1.0, output=2.0)
    set_price("vllm", "llama-3.1-8b", input=0.0, output=0.0)
    assert get_price("openai", "gpt-4o-2024-08-06") == Price(input=1.0, output=2.0)
    assert estimate_cost("vllm", "llama-3.1-8b-instruct", input_tokens=10, output_tokens=10) == 0.0

    path = tmp_path / "prices.json"
    path.write_text(json.dumps({"read_on": "2026-01-01",
                                "providers": {"openai": {"o9": {"input": 4, "output": 16, "cached_input": 1}}}}))
    load_prices(path, replace=True)
    assert get_price("openai", "gpt-4o") is None
    assert get_price("openai", "o9-mini") == Price(input=4.0, output=16.0, cached_input=1.0, read_on="2026-01-01")
    # 1000 input of which 600 cached, 100 output: (400 * 4 + 600 * 1 + 100 * 16) / 1e6
    assert estimate_cost("openai", "o9", input_tokens=1000, cached_input_tokens=600, output_tokens=100) == 0.0038


@pytest.mark.parametrize("entry, message", [
    ({"output": 1}, "providers.openai.m: the input price is missing"),
    ({"input": -1, "output": 1}, "providers.openai.m: the input price must be a number of USD per million "
                                 "tokens >= 0, got -1"),
    ({"input": "2", "output": 1}, "providers.openai.m: the input price must be a number of USD per million "
                                  "tokens >= 0, got '2'"),
    ({"input": 1, "output": 1, "cached": 1}, "providers.openai.m: unknown price field(s) cached"),
])
def test_malformed_prices_are_refused_with_the_entry_named(entry, message):
    with pytest.raises(ValueError) as raised:
        load_prices({"providers": {"openai": {"m": entry}}})
    assert str(raised.value) == message
    assert get_price("openai", "gpt-4o") is not None  # the table is untouched


def traced_costs(cases):
    """The cost each traced call records, for (input price, output price, input tokens, output tokens)."""
    import korvanta
    from korvanta import _native

    kept = []
    korvanta.setup(processors=[type("Kept", (), {"on_end": staticmethod(kept.append)})()])
    try:
        for input_price, output_price, input_tokens, output_tokens in cases:
            set_price("test", "m", input=input_price, output=output_price)
            call = _native.Call("chat", "test", "m", None, None)
            call.usage(input_tokens=input_tokens, output_tokens=output_tokens)
            call.end()
    finally:
        korvanta.setup()
    return [span.to_dict()["estimated_cost_usd"] for span in kept]


@pytest.mark.parametrize("input_price, output_price, input_tokens, output_tokens", [
    (122.0703125, 0.0, 1, 0),  # exactly 2**-13 USD: a tie at the twelfth place, kept even
    (2.5, 10.0, 1200, 80),
    (0.15, 0.6, 7, 3),
    (0.1, 0.2, 3, 3),  # sums that are not what they look like in decimal
    (15.0, 75.0, 10**9, 10**9),
    (3e-7, 1e-9, 1, 1),
])
def test_a_traced_call_costs_what_price_cost_gives(input_price, output_price, input_tokens, output_tokens):
    expected = Price(input=input_price, output=output_price).cost(input_tokens=input_tokens,
                                                                  output_tokens=output_tokens)
    assert traced_costs([(input_price, output_price, input_tokens, output_tokens)]) == [expected]


def test_traced_costs_round_as_price_cost_does_over_random_prices_and_counts():
    import random

    rng = random.Random(1207)
    cases = []
    for _ in range(3000):
        shape = rng.randrange(4)
        if shape == 0:  # list prices in cents and tenths of cents
            prices = (rng.randrange(1, 20000) / 1000, rng.randrange(1, 80000) / 1000)
        elif shape == 1:  # any double
            prices = (rng.uniform(0, 100), rng.uniform(0, 100))
        elif shape == 2:  # exact ties at the twelfth place: odd multiples of 2**-13 USD
            prices = (122.0703125 * rng.randrange(1, 2000, 2), 0.0)
        else:  # far below a cent, and far above
            prices = (rng.uniform(0, 1e-6), rng.uniform(1e3, 1e5))
        cases.append((*prices, rng.choice([1, rng.randrange(10**7), 10**9]), rng.randrange(10**6)))
    recorded = traced_costs(cases)
    expected = [Price(input=i, output=o).cost(input_tokens=n, output_tokens=m) for i, o, n, m in cases]
    assert [case for case, got, want in zip(cases, recorded, expected) if got != want] == []


def test_a_price_changed_between_calls_prices_the_next_call():
    import korvanta
    from korvanta import _native

    kept = []
    korvanta.setup(processors=[type("Kept", (), {"on_end": staticmethod(kept.append)})()])
    try:
        for input_price in (1.0, 3.0, None):
            if input_price is None:
                load_prices({"providers": {}}, replace=True)
            else:
                set_price("test", "m", input=input_price, output=0.0)
            call = _native.Call("chat", "test", "m", None, None)
            call.usage(input_tokens=1_000_000, output_tokens=0)
            call.end()
    finally:
        korvanta.setup()
    assert [span.to_dict()["estimated_cost_usd"] for span in kept] == [1.0, 3.0, None]


def test_a_price_changed_while_a_call_looks_it_up_is_not_remembered_as_it_was():
    import sys

    import korvanta
    from korvanta import _native

    kept = []
    korvanta.setup(processors=[type("Kept", (), {"on_end": staticmethod(kept.append)})()])
    set_price("test", "m", input=1.0, output=0.0)
    changed = []

    def change_during_lookup(frame, event, arg):  # as another thread's set_price would, mid-lookup
        if event == "call" and frame.f_code is _prices._match.__code__ and not changed:
            changed.append(True)
            set_price("test", "m", input=3.0, output=0.0)

    try:
        for hook in (change_during_lookup, None, None):
            sys.setprofile(hook)
            call = _native.Call("chat", "test", "m", None, None)
            call.usage(input_tokens=1_000_000, output_tokens=0)
            call.end()
            sys.setprofile(None)
    finally:
        sys.setprofile(None)
        korvanta.setup()
    assert [span.to_dict()["estimated_cost_usd"] for span in kept] == [1.0, 3.0, 3.0]
