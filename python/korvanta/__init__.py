"""Korvanta: security-aware tracing for applications that call LLMs.

Spans that nest (``span``, ``observe``), a context that follows them across
asyncio tasks and thread pools, and a pipeline that hands every finished span
to its processors (``setup``). Built on the ``korvanta_python`` module, whose
names are re-exported here, so ``import korvanta`` is enough.
"""

from korvanta_python import DURUraTracer, InstrumentedClient, TraceSpan, configure, instrument

from ._batch import BatchProcessor, SpanExporter
from ._context import attributes, current_span
from ._anthropic import wrap_anthropic
from ._executor import ContextThreadPoolExecutor
from ._jsonl import JSONLinesExporter
from ._native import report_action, scan, set_cost
from ._observe import observe
from ._openai import wrap_openai
from ._otlp import OTLPExporter
from ._prices import Price, estimate_cost, get_price, load_prices, set_price
from ._pipeline import SpanProcessor, flush, setup, shutdown
from ._spans import add_event, end, span

__version__ = "0.2.0"

__all__ = [
    "BatchProcessor",
    "JSONLinesExporter",
    "OTLPExporter",
    "Price",
    "SpanExporter",
    "ContextThreadPoolExecutor",
    "DURUraTracer",
    "InstrumentedClient",
    "SpanProcessor",
    "TraceSpan",
    "__version__",
    "add_event",
    "attributes",
    "configure",
    "current_span",
    "end",
    "estimate_cost",
    "flush",
    "get_price",
    "instrument",
    "load_prices",
    "observe",
    "report_action",
    "scan",
    "set_cost",
    "set_price",
    "setup",
    "shutdown",
    "span",
    "wrap_anthropic",
    "wrap_openai",
]
