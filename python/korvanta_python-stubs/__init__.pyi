"""Korvanta Python bindings: security-aware tracing of LLM calls.

Create a tracer (`DURUraTracer` or `configure`), start one `TraceSpan` per
LLM call, record on it what happened, and export it with `TraceSpan.to_json`
or `TraceSpan.to_dict`. Nothing leaves the process until you export it.

Errors common to every method:

- `RuntimeError` ("Already borrowed" / "Already mutably borrowed") when the
  same object is re-entered while a call on it is still running (from an
  argument's ``__index__``, a replaced ``json.loads``, or another thread).
- ``PanicException`` (a `BaseException`, so ``except Exception`` does not
  catch it) when native code meets an internal fault, such as the operating
  system's random source failing.
"""

from typing import Any, Literal, Self, TypedDict, final, type_check_only

__all__ = ["__version__", "DURUraTracer", "TraceSpan", "InstrumentedClient", "configure", "instrument"]

__version__: str
"""The package version, for example ``"0.1.1"``."""

_ActionType = Literal["tool_call", "skill_invocation", "command_execution", "web_access", "file_access"]
_ProviderName = Literal["OpenAI", "Anthropic", "VLLm", "SGLang", "TGI", "Ollama", "AzureOpenAI", "Bedrock"]
_Severity = Literal["Info", "Low", "Medium", "High", "Critical"]
_SeverityLabel = Literal["info", "low", "medium", "high", "critical"]

# The shapes of the exported documents. They exist for type checking only:
# import them under ``if TYPE_CHECKING:``.

@type_check_only
class AgentActionDict(TypedDict):
    """One agent action in a span document (13 keys, always all present)."""

    id: str
    action_type: _ActionType
    name: str
    arguments: str | None
    result: str | None
    duration_ms: int | None
    success: bool
    exit_code: int | None
    http_method: str | None
    http_status: int | None
    file_operation: str | None
    timestamp: str
    metadata: dict[str, str]

@type_check_only
class SecurityFindingDict(TypedDict):
    """One security finding in a span document (9 keys)."""

    id: str
    severity: _Severity
    finding_type: str
    description: str
    detected_at: str
    confidence_score: float | None
    location: str | None
    metadata: dict[str, str]
    requires_alert: bool

@type_check_only
class SpanEventDict(TypedDict):
    """One timestamped event in a span document (5 keys)."""

    id: str
    timestamp: str
    event_type: str
    description: str
    data: dict[str, str]

@type_check_only
class FindingSummary(TypedDict):
    """One element of `TraceSpan.security_findings` (7 keys)."""

    confidence_score: float | None
    description: str
    finding_type: str
    id: str
    location: str | None
    requires_alert: bool
    severity: _SeverityLabel

@type_check_only
class SpanDict(TypedDict):
    """The JSON document of a span as returned by `TraceSpan.to_dict` (24 keys).

    Every key is always present; an absent value is ``None``. Identifiers are
    lower-case hyphenated UUID strings, times RFC 3339 UTC strings ending in
    ``"Z"``. ``provider`` is a name such as ``"OpenAI"``, or
    ``{"Custom": name}`` for a provider name the tracer does not know.
    """

    trace_id: str
    span_id: str
    parent_span_id: str | None
    tenant_id: str
    operation_name: str
    start_time: str
    end_time: str | None
    provider: _ProviderName | dict[str, str]
    model_name: str
    prompt: str
    response: str | None
    prompt_tokens: int | None
    completion_tokens: int | None
    total_tokens: int | None
    time_to_first_token_ms: int | None
    duration_ms: int | None
    status_code: int | None
    error_message: str | None
    estimated_cost_usd: float | None
    security_score: int | None
    security_findings: list[SecurityFindingDict]
    tags: dict[str, str]
    events: list[SpanEventDict]
    agent_actions: list[AgentActionDict]

@final
class DURUraTracer:
    """Security-aware LLM tracer.

    Create one per application (or per tenant) and use it to start trace
    spans for each LLM call. A tracer never changes after creation.
    """

    def __new__(
        cls,
        *,
        tenant_id: str | None = None,
        endpoint: str | None = None,
        enable_security: bool | None = None,
    ) -> Self:
        """Creates a tracer.

        Args:
            tenant_id: UUID text of the tenant (hyphenated, 32 hex digits,
                braced or ``urn:uuid:`` form, any letter case). A random
                tenant is drawn when omitted.
            endpoint: Collector endpoint URL, stored and reported only.
            enable_security: Security switch; ``True`` when omitted.

        Raises:
            ValueError: ``tenant_id`` is not a UUID ("Invalid tenant_id UUID: ...").
            TypeError: a positional argument, an unknown keyword, or a value
                of the wrong type (``enable_security`` takes a ``bool``, not an ``int``).
        """

    @property
    def tenant_id(self) -> str:
        """Tenant identifier (UUID string)."""

    @property
    def endpoint(self) -> str | None:
        """Collector endpoint URL, or ``None``."""

    @property
    def enable_security(self) -> bool:
        """Whether security analysis is enabled."""

    def start_span(self, operation_name: str, provider: str, model: str) -> TraceSpan:
        """Start a new trace span.

        Args:
            operation_name: Name of the operation (e.g. ``"chat_completion"``).
            provider: LLM provider string (``"openai"``, ``"anthropic"``,
                ``"vllm"``, ``"sglang"``, ``"tgi"``, ``"ollama"``,
                ``"azure_openai"``, ``"bedrock"``; any letter case). Any other
                text is kept, lower-cased, as a custom provider.
            model: Model name (e.g. ``"gpt-4"``).

        Returns:
            A new :class:`TraceSpan` with a fresh trace and span identifier.

        Raises:
            TypeError: missing or surplus arguments, or an argument that is not a ``str``.
        """

    def __repr__(self) -> str: ...

@final
class TraceSpan:
    """A single trace span representing one LLM interaction.

    Created via `DURUraTracer.start_span` or `InstrumentedClient.start_span`
    (calling the class raises `TypeError`). Record the prompt, token counts,
    time to first token, tags and agent actions, then complete the span with
    `set_response` or `set_error`. Setters work on completed spans too.
    """

    @property
    def trace_id(self) -> str:
        """Unique trace identifier (UUID string)."""

    @property
    def span_id(self) -> str:
        """Unique span identifier (UUID string)."""

    @property
    def operation_name(self) -> str:
        """Operation name (e.g. ``"chat_completion"``)."""

    @property
    def model_name(self) -> str:
        """Model name (e.g. ``"gpt-4"``)."""

    @property
    def prompt(self) -> str:
        """The prompt text recorded for this span (empty until set)."""

    @property
    def response(self) -> str | None:
        """The response text, or ``None`` if not yet recorded."""

    @property
    def is_complete(self) -> bool:
        """Whether the span has been completed (response or error recorded)."""

    @property
    def is_failed(self) -> bool:
        """Whether the span ended with an error."""

    @property
    def duration_ms(self) -> int | None:
        """Duration in milliseconds, or ``None`` if still in progress."""

    @property
    def prompt_tokens(self) -> int | None:
        """Prompt token count, or ``None`` if not set."""

    @property
    def completion_tokens(self) -> int | None:
        """Completion token count, or ``None`` if not set."""

    @property
    def total_tokens(self) -> int | None:
        """Total token count, or ``None`` unless both counts are set."""

    @property
    def security_score(self) -> int | None:
        """Overall security score (0-100), or ``None`` if not analysed."""

    @property
    def error_message(self) -> str | None:
        """Error message if the span failed, or ``None``."""

    @property
    def status_code(self) -> int | None:
        """HTTP status code recorded with the error, or ``None``."""

    @property
    def security_findings_count(self) -> int:
        """Number of security findings attached to this span."""

    def security_findings(self) -> list[FindingSummary]:
        """Security findings as a list of dicts (see `FindingSummary`)."""

    def set_prompt(self, prompt: str) -> None:
        """Set the prompt text for this span.

        Raises:
            TypeError: ``prompt`` is not a ``str``.
        """

    def set_response(self, response: str) -> None:
        """Record a successful response and mark the span as complete.

        Sets the end time and ``duration_ms``; an earlier error stays recorded.

        Raises:
            TypeError: ``response`` is not a ``str``.
        """

    def set_error(self, error: str, status_code: int | None = None) -> None:
        """Record an error and mark the span as complete.

        Args:
            error: What went wrong.
            status_code: HTTP status (0-65535); omitting it clears an earlier one.

        Raises:
            TypeError: ``error`` is not a ``str`` or ``status_code`` not an integer.
            OverflowError: ``status_code`` outside 0-65535.
        """

    def set_token_counts(self, *, prompt_tokens: int | None = None, completion_tokens: int | None = None) -> None:
        """Set token counts for this span.

        Every call writes all three counts: an omitted count becomes ``None``,
        and ``total_tokens`` is their sum only when both are given.

        Raises:
            TypeError: a count given positionally or not an integer.
            OverflowError: a count outside 0-4294967295.
        """

    def set_ttft_ms(self, ttft_ms: int) -> None:
        """Set the time-to-first-token in milliseconds.

        Raises:
            TypeError: ``ttft_ms`` is not an integer.
            OverflowError: ``ttft_ms`` is negative or above 2**64 - 1.
        """

    def add_tag(self, key: str, value: str) -> None:
        """Add a custom tag (key-value pair) to this span; a key set again is replaced.

        Raises:
            TypeError: ``key`` or ``value`` is not a ``str``.
        """

    def report_action(
        self,
        action_type: _ActionType,
        name: str,
        *,
        arguments: str | None = None,
        result: str | None = None,
        duration_ms: int | None = None,
        success: bool | None = None,
    ) -> str:
        """Report an agent action on this span.

        Args:
            action_type: One of ``"tool_call"``, ``"skill_invocation"``,
                ``"command_execution"``, ``"web_access"``, ``"file_access"``.
            name: Name of the tool, skill, command, URL, or file path.
            arguments: Optional arguments or parameters, as text.
            result: Optional result, as text (cut to its first 4096 bytes).
            duration_ms: Optional duration in milliseconds.
            success: Whether the action succeeded (default ``True``).

        Returns:
            The action ID (UUID string).

        Raises:
            ValueError: ``action_type`` is not one of the five names.
            TypeError: a text that is not a ``str`` (serialise dicts yourself),
                ``success`` that is not a ``bool``, or an optional argument
                given positionally.
            OverflowError: ``duration_ms`` is negative or above 2**64 - 1.
        """

    @property
    def agent_actions_count(self) -> int:
        """Number of agent actions recorded on this span."""

    def to_dict(self) -> SpanDict:
        """Serialise the span to a Python dictionary (see `SpanDict`)."""

    def to_json(self) -> str:
        """Serialise the span to a JSON string (indented by two spaces)."""

    def __repr__(self) -> str: ...

@final
class InstrumentedClient:
    """A wrapper around a Python LLM client that attaches a `DURUraTracer`.

    Attribute access is delegated to the wrapped client, so it can be used
    as a drop-in replacement (delegated attributes are typed ``Any``; use
    `wrapped_client` for the client's own types). Created by `instrument`;
    calling the class raises `TypeError`. Calls made through the delegated
    attributes are not traced by themselves: start spans with `start_span`.
    """

    @property
    def tracer(self) -> DURUraTracer:
        """The attached :class:`DURUraTracer`."""

    @property
    def wrapped_client(self) -> Any:
        """The original (unwrapped) client object."""

    def start_span(self, operation_name: str, provider: str, model: str) -> TraceSpan:
        """Start a trace span via the attached tracer (convenience shortcut).

        Raises:
            TypeError: missing or surplus arguments, or an argument that is not a ``str``.
        """

    def __getattribute__(self, name: str, /) -> Any:
        """Attributes the wrapper lacks come from the wrapped client.

        Raises:
            AttributeError: the client's own, when it lacks the attribute too.
        """

    def __repr__(self) -> str: ...

def configure(config: dict[str, Any]) -> DURUraTracer:
    """Configure and create an :class:`DURUraTracer` from a Python dictionary.

    Supported keys (others are ignored; a key absent from the dict takes the
    default, a key holding ``None`` is a type error):
      - ``tenant_id`` (str): UUID string for the tenant.
      - ``endpoint`` (str): Collector endpoint URL.
      - ``enable_security`` (bool): Enable security analysis.

    Returns:
        A configured :class:`DURUraTracer`.

    Raises:
        TypeError: ``config`` is not a dict, or a value has the wrong type.
        ValueError: ``tenant_id`` is not a UUID ("Invalid tenant_id UUID: ...").
    """

def instrument(client: object, *, tracer: DURUraTracer | None = None) -> InstrumentedClient:
    """Instrument a Python LLM client with automatic tracing.

    Wraps the client in an :class:`InstrumentedClient` that delegates
    attribute access to the original while attaching a tracer.

    Args:
        client: Any Python LLM client object (e.g. ``openai.OpenAI(...)``).
        tracer: Optional pre-configured :class:`DURUraTracer`. A default
            tracer is created if omitted.

    Returns:
        An :class:`InstrumentedClient` wrapping the original client.

    Raises:
        TypeError: ``tracer`` is neither ``None`` nor a `DURUraTracer`.
    """
