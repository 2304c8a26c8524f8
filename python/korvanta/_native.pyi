# Types of korvanta._native, the package's native part.
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextvars import ContextVar
from types import TracebackType
from typing import Any, Self

from korvanta_python import DURUraTracer, TraceSpan
from korvanta_python import FindingSummary as FindingSummary

BUILD_ID: str

def start_span(
    tracer: DURUraTracer | None,
    operation_name: str,
    provider: str,
    model: str,
    parent: TraceSpan | None,
    fallback: DURUraTracer,
    /,
) -> TraceSpan: ...
def tracer_of(span: TraceSpan, /) -> DURUraTracer | None: ...
def adopt(span: TraceSpan, tracer: DURUraTracer, /) -> DURUraTracer: ...
def hand_over(span: TraceSpan, sample_below: int | None, /) -> bool: ...
def add_event(span: TraceSpan, name: str, description: str, data: Mapping[str, str] | None, /) -> None: ...
def set_cost(span: TraceSpan, usd: float, /) -> None:
    """Sets the span's estimated cost in US dollars (finite, no less than zero).

    >>> korvanta.set_cost(span, 0.0042)
    """

def report_action(
    span: TraceSpan,
    action_type: str,
    name: str,
    *,
    arguments: str | None = None,
    result: str | None = None,
    duration_ms: int | None = None,
    success: bool | None = None,
    exit_code: int | None = None,
    http_method: str | None = None,
    http_status: int | None = None,
    file_operation: str | None = None,
    metadata: Mapping[str, str] | None = None,
) -> str:
    """Appends an agent action with every field a span's document holds;
    returns its id. ``action_type`` is one of "tool_call",
    "skill_invocation", "command_execution", "web_access", "file_access".

    >>> korvanta.report_action(span, "command_execution", "pytest", exit_code=1, success=False)
    """

def json_lines(spans: Sequence[TraceSpan], mask: str | Callable[[str, str], str] | None = None, /) -> bytes: ...
def encode_otlp(
    spans: Sequence[TraceSpan], service_name: str, mask: str | Callable[[str, str], str] | None = None, /
) -> bytes: ...
def scan(span: TraceSpan, /) -> list[FindingSummary]:
    """Checks the span's texts for leaked credentials, personal data, prompt
    injection and risky agent actions; fills its findings and security score
    (replacing earlier ones) and returns the finding summaries, as
    ``span.security_findings()`` gives them.

    >>> korvanta.scan(span)
    [{'description': 'GitHub token in prompt[7:47]', 'finding_type': 'credential', ...}]
    """

class span:
    """A block run inside a new span, the current span while it runs.

    The span is a child of the current span, or the root of a new trace. On
    leaving the block, an exception is recorded with
    ``set_error("<type>: <message>")`` and goes on; otherwise the span is
    finished unless something finished it already. Then the span goes to the
    pipeline (see ``korvanta.setup``). Works with ``with`` and ``async with``
    and binds the ``korvanta_python.TraceSpan``:

    >>> with korvanta.span("agent", tags={"team": "search"}) as root:
    ...     with korvanta.span("chat", provider="openai", model="gpt-4o") as call:
    ...         call.set_response("...")
    """

    def __new__(
        cls,
        operation_name: str,
        *,
        provider: str = "",
        model: str = "",
        tracer: DURUraTracer | None = None,
        tags: Mapping[str, str] | None = None,
    ) -> Self: ...
    def __enter__(self) -> TraceSpan: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> None: ...
    async def __aenter__(self) -> TraceSpan: ...
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, traceback: TracebackType | None, /
    ) -> None: ...

def bind_context(current: ContextVar[TraceSpan | None], tags: ContextVar[dict[str, str] | None],
                 report: Callable[[object, BaseException, str], None], /) -> None: ...
def set_pipeline(
    processors: tuple[object, ...],
    tracer: DURUraTracer,
    sample_below: int | None,
    scan: bool,
    mask: str | Callable[[str, str], str] | None,
    mask_in_place: bool,
    /,
) -> None: ...
def deliver(span: TraceSpan, /) -> None: ...
def chat_prompt(convert: Callable[[Any], str], messages: Iterable[Any] | None, /) -> str: ...
def tap(inner: Iterable[Any], call: Any, read: Callable[[Any, Any], bool] | None,
        fault: Callable[[str, BaseException], None], /) -> Iterator[Any]: ...

class Call:
    span: TraceSpan
    provider: str
    request_model: str
    capture: bool
    first_token_seen: bool
    ended: bool
    failed: bool
    hide_usage_chunk: bool
    text: list[str]
    tool_calls: dict[Any, list[Any]]
    response_model: str | None
    response_id: str | None
    finish_reasons: list[str]
    input_tokens: int | None
    output_tokens: int | None
    cached_tokens: int | None
    cache_write_tokens: int | None
    reasoning_tokens: int | None
    pending: list[Any]
    reader: Callable[[Call, list[Any]], None] | None
    def __new__(cls, operation_name: str, provider: str, model: str, tracer: DURUraTracer | None,
                capture: bool | None) -> Self: ...
    def record_prompt(self, prompt: Callable[[Any], str], request: Any, tools: Any = None) -> None: ...
    def first_token(self) -> None: ...
    def tool_call(self, key: Any, call_id: str | None, name: str | None, arguments: str | None) -> None: ...
    def complete_tool_call(self, key: Any, call_id: str | None, name: str | None, arguments: str | None) -> None: ...
    def usage(self, *, input_tokens: Any = None, output_tokens: Any = None, cached_tokens: Any = None,
              cache_write_tokens: Any = None, reasoning_tokens: Any = None) -> None: ...
    def drain(self) -> None: ...
    def fail(self, error: BaseException) -> None: ...
    def end(self) -> None: ...

def bind_calls(fault: Callable[[str, BaseException], None], price_for: Callable[[str, str | None, str], Any],
               dumps: Callable[[Any], str], /) -> None: ...
def set_capture_content(capture: bool, /) -> None: ...
def forget_prices() -> None: ...
def chat_chunk(call: Call, chunk: Any, /) -> bool: ...
def without_usage_chunk(chunks: Iterable[bytes], call: Call, scan: Callable[[str, int], tuple[Any, int]], /) -> Iterator[bytes]: ...
def take_usage_chunk(call: Call, data: str, scan: Callable[[str, int], tuple[Any, int]], /) -> bool: ...
def chat_open(convert: Callable[[Any], str], state: Any, options: Any, stream: bool, /) -> tuple[Call, Any]: ...
def chat_record(call: Call, completion: Any, /) -> None: ...
def set_chat_route(route: Any, convert: Callable[[Any], str], /) -> None: ...
def trace_chat_stream(fault: Callable[[str, BaseException], None], scan: Callable[[str, int], tuple[Any, int]],
                      decoder_class: type | None, event_class: type | None, stream: Any, call: Call, /) -> bool: ...
def server_sent_events(chunks: Iterable[bytes], event_class: type, call: Call | None,
                       scan: Callable[[str, int], tuple[Any, int]], /) -> Iterator[Any]: ...
def request_hook(send: Callable[..., Any], routes: dict[str, Any], state: Any, general: Callable[..., Any],
                 deliver: Callable[[Any, Any, Call, Any, bool], Any], plain_types: set[type],
                 resend: Callable[[Any, Any, Call, Any, Any, BaseException], bool], /) -> Callable[..., Any]: ...
