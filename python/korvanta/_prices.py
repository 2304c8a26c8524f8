# The price table that turns a traced call's token counts into an estimated cost
# in USD: shipped in prices.json, extended or replaced by the user at run time.
from __future__ import annotations

import json
import os
import re
import threading
from collections.abc import Mapping
from dataclasses import dataclass
from importlib import resources
from typing import Any

from . import _native

__all__ = ["Price", "estimate_cost", "get_price", "load_prices", "set_price"]

# Providers billed from another provider's table: Azure OpenAI deployments run
# OpenAI's models, and the list prices match.
_SAME_PRICES = {"azure_openai": "openai"}

# A model name's release date or alias suffix, which providers price like the
# base model: gpt-4o-2024-08-06, claude-3-5-sonnet-20241022, claude-3-5-haiku-latest.
_DATED = re.compile(r"-(?:\d{4}-\d{2}-\d{2}|\d{8}|latest)$")

_MEMO_LIMIT = 1024


@dataclass(frozen=True, slots=True)
class Price:
    """List prices of one model, in USD per million tokens.

    ``cached_input`` prices input tokens read from the provider's prompt cache
    and ``cache_write`` those written to it; either falls back to ``input``
    when the provider has no separate price.
    """

    input: float
    output: float
    cached_input: float | None = None
    cache_write: float | None = None
    read_on: str | None = None

    def cost(self, *, input_tokens: int, output_tokens: int, cached_input_tokens: int = 0,
             cache_write_tokens: int = 0) -> float:
        """The cost of one call; ``input_tokens`` counts every input token, cached ones included.

        >>> Price(input=2.5, output=10.0, cached_input=1.25).cost(input_tokens=1000, output_tokens=100,
        ...                                                        cached_input_tokens=400)
        0.003
        """
        cached = self.input if self.cached_input is None else self.cached_input
        written = self.input if self.cache_write is None else self.cache_write
        plain = max(input_tokens - cached_input_tokens - cache_write_tokens, 0)
        usd = (plain * self.input + cached_input_tokens * cached + cache_write_tokens * written
               + output_tokens * self.output) / 1_000_000
        return round(usd, 12)  # no float noise such as 0.0030000000000000005 in exported spans


class _Table:
    """Prices by provider and model; readers see whole tables, writers swap them."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._prices: dict[str, dict[str, Price]] = {}
        self._memo: dict[tuple[str, str], Price | None] = {}
        self._loaded = False
        _native.forget_prices()  # a new table: what calls remember is of the old one

    def _ensure_loaded(self) -> None:
        # The shipped file is read on first use, so importing the package costs nothing.
        if not self._loaded:
            with self._lock:
                if not self._loaded:
                    shipped = resources.files(__package__).joinpath("prices.json").read_text(encoding="utf-8")
                    self._prices = _parse_document(json.loads(shipped))
                    self._loaded = True

    def update(self, prices: dict[str, dict[str, Price]], *, replace: bool) -> None:
        self._ensure_loaded()
        with self._lock:
            merged = {} if replace else {provider: dict(models) for provider, models in self._prices.items()}
            for provider, models in prices.items():
                merged.setdefault(provider, {}).update(models)
            self._prices = merged
            self._memo = {}
            _native.forget_prices()  # traced calls remember the prices they found

    def find(self, provider: str, model: str) -> Price | None:
        key = (provider, model)
        memo = self._memo
        try:
            return memo[key]
        except KeyError:
            pass
        self._ensure_loaded()
        price = _match(self._prices, provider.lower(), model.lower())
        if len(memo) >= _MEMO_LIMIT:
            memo.clear()
        memo[key] = price
        return price


def _match(prices: dict[str, dict[str, Price]], provider: str, model: str) -> Price | None:
    models = prices.get(provider)
    if models is None and provider in _SAME_PRICES:
        models = prices.get(_SAME_PRICES[provider])
    if not models or not model:
        return None
    # Routers and gateways name models as "openai/gpt-4o".
    model = model.rpartition("/")[2]
    if model in models:
        return models[model]
    undated = _DATED.sub("", model)
    if undated in models:
        return models[undated]
    # The longest known name that the model extends at a dash: gpt-4o-mini-audio
    # is priced as gpt-4o-mini, not as gpt-4o.
    name = undated
    while "-" in name:
        name = name.rpartition("-")[0]
        if name in models:
            return models[name]
    return None


def _price_from(entry: Mapping[str, Any], read_on: str | None, where: str) -> Price:
    if not isinstance(entry, Mapping):
        raise ValueError(f"{where}: expected an object with input and output prices, got {entry!r}")
    unknown = set(entry) - {"input", "output", "cached_input", "cache_write", "read_on"}
    if unknown:
        raise ValueError(f"{where}: unknown price field(s) {', '.join(sorted(unknown))}")
    values: dict[str, float | None] = {}
    for field in ("input", "output", "cached_input", "cache_write"):
        value = entry.get(field)
        if value is None:
            if field in ("input", "output"):
                raise ValueError(f"{where}: the {field} price is missing")
            values[field] = None
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
            raise ValueError(f"{where}: the {field} price must be a number of USD per million tokens >= 0, "
                             f"got {value!r}")
        values[field] = float(value)
    stamp = entry.get("read_on", read_on)
    return Price(input=values["input"] or 0.0, output=values["output"] or 0.0,
                 cached_input=values["cached_input"], cache_write=values["cache_write"],
                 read_on=None if stamp is None else str(stamp))


def _parse_document(document: Mapping[str, Any]) -> dict[str, dict[str, Price]]:
    if not isinstance(document, Mapping) or not isinstance(document.get("providers"), Mapping):
        raise ValueError('a price document is an object with a "providers" object: '
                         '{"providers": {"openai": {"gpt-4o": {"input": 2.5, "output": 10.0}}}}')
    read_on = document.get("read_on")
    table: dict[str, dict[str, Price]] = {}
    for provider, models in document["providers"].items():
        if not isinstance(models, Mapping):
            raise ValueError(f"providers.{provider}: expected an object of models")
        table[str(provider).lower()] = {
            str(model).lower(): _price_from(entry, read_on, f"providers.{provider}.{model}")
            for model, entry in models.items()
        }
    return table


_table = _Table()


def set_price(provider: str, model: str, *, input: float, output: float, cached_input: float | None = None,
              cache_write: float | None = None, read_on: str | None = None) -> None:
    """Sets the price of one model, in USD per million tokens; a price set again is replaced.

    The model name also prices its dated releases and longer names that extend
    it at a dash, unless they have a price of their own.

    >>> set_price("openai", "ft:gpt-4o-mini:acme", input=0.3, output=1.2)
    >>> set_price("vllm", "llama-3.1-8b", input=0.0, output=0.0)

    Raises:
        ValueError: a price that is negative or not a number.
    """
    entry = {"input": input, "output": output, "cached_input": cached_input, "cache_write": cache_write,
             "read_on": read_on}
    _table.update({provider.lower(): {model.lower(): _price_from(entry, None, f"{provider}/{model}")}},
                  replace=False)


def load_prices(source: str | os.PathLike[str] | Mapping[str, Any], *, replace: bool = False) -> None:
    """Adds the prices of a document shaped like the shipped ``prices.json``.

    ``source`` is a path to such a JSON file, or the document as a mapping.
    With ``replace=True`` the shipped table is dropped first, so only the
    document's models have a cost.

    >>> load_prices({"read_on": "2025-06-01",
    ...              "providers": {"openai": {"gpt-4o": {"input": 2.0, "output": 8.0}}}})

    Raises:
        ValueError: a malformed document (the message names the entry).
        OSError: the file cannot be read.
    """
    if isinstance(source, Mapping):
        document = source
    else:
        with open(source, encoding="utf-8") as file:
            document = json.load(file)
    _table.update(_parse_document(document), replace=replace)


def get_price(provider: str, model: str) -> Price | None:
    """The price used for ``model``: its own, its undated name's, or the longest known name it extends.

    >>> get_price("openai", "gpt-4o-2024-08-06") == get_price("openai", "gpt-4o")
    True
    """
    return _table.find(provider, model)


def price_for(provider: str, response_model: str | None, request_model: str) -> Price | None:
    """The price of a traced call: the model the response names, else the one requested."""
    memo = _table._memo
    model = response_model or request_model
    price = memo[(provider, model)] if (provider, model) in memo else _table.find(provider, model)
    if price is None and response_model:
        price = _table.find(provider, request_model)
    return price


def estimate_cost(provider: str, model: str, *, input_tokens: int, output_tokens: int,
                  cached_input_tokens: int = 0, cache_write_tokens: int = 0) -> float | None:
    """The cost in USD of one call, or ``None`` for a model without a price."""
    price = _table.find(provider, model)
    if price is None:
        return None
    return price.cost(input_tokens=input_tokens, output_tokens=output_tokens,
                      cached_input_tokens=cached_input_tokens, cache_write_tokens=cache_write_tokens)
