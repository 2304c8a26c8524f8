# Tracing a provider client in place, at its own request path: every call the
# client makes (derived clients, raw and streamed responses too) passes one hook.
from __future__ import annotations

import asyncio
import inspect
import sys
import weakref
from collections.abc import AsyncIterator, Callable
from typing import Any, Protocol

from . import _native
from ._genai import Call, fault

# Why the hook sits on the client's `request` method, per instance:
#
# - Every resource method (chat.completions.create, messages.create, their
#   with_raw_response and with_streaming_response forms, messages.stream)
#   ends in `client.post(...)`, which calls `self.request(cast_to, options,
#   stream=..., stream_cls=...)`. An instance attribute named `request`
#   shadows the class's method there, whenever the resources were created.
# - `request` sees the whole call: the body the client is about to send (the
#   wire form, plain dicts), every retry inside it, and the parsed result,
#   stream object or raw response it hands back. The client's own middleware
#   runs once per attempt, below it, so a call with retries is still one span.
# - Nothing on the class changes: unwrapped clients of the same class, in the
#   same process, stay untraced, and the client keeps its type.
# - `copy()` / `with_options()` build a new instance through the class, so
#   they are hooked too and hook the client they return.

_STATE = "_korvanta_tracing"


class Route(Protocol):
    """How one endpoint's calls are traced."""

    def open(self, state: ClientState, options: Any, stream: bool) -> tuple[Call, Any]:
        """Starts the call's span from the request; returns it with the request body as given when the
        route added to the request (sent again if the server refuses the addition), else None.

        Options are made per call by the client, so a route may change them in place.
        """
        ...

    def record(self, call: Call, result: Any) -> None:
        """Records a whole (not streamed) answer."""
        ...

    def chunk(self, call: Call, item: Any) -> bool:
        """Records one streamed item; False keeps it from the caller (an item only tracing asked for).

        A route may also have `chunks(call, items)`, which reads a batch of
        items as `chunk` would, one by one.
        """
        ...

    def refused(self, call: Call, error: BaseException) -> bool:
        """Whether `error` is the server refusing what tracing added to the request."""
        ...

    def streaming(self, state: ClientState, call: Call, stream: Any) -> bool:
        """Called once the call's stream is traced, before its first item; True when the route
        reads the stream's items itself (from their data, as the client parses them), so that
        they are only passed on."""
        ...

    # A route may also have `tap_stream(stream, call) -> bool`: traces a sync
    # stream the client returned in one step, as trace_stream would (False:
    # not a stream it knows, and left as it was).


class ClientState:
    """A traced client's settings, copied to the clients derived from it."""

    __slots__ = ("routes", "provider", "tracer", "capture", "stream_types", "stream_usage", "origin",
                 "__weakref__")

    def __init__(self, routes: dict[str, Route], provider: str, tracer: Any, capture: bool | None,
                 stream_types: tuple[type, ...]) -> None:
        self.routes = routes
        self.provider = provider
        self.tracer = tracer
        self.capture = capture
        self.stream_types = stream_types
        # OpenAI-compatible servers that refuse stream_options turn this off.
        self.stream_usage = True
        # The state of the client this one was derived from, when both talk to the same server.
        self.origin: ClientState | None = None

    def derived(self, same_server: bool) -> ClientState:
        state = ClientState(self.routes, self.provider, self.tracer, self.capture, self.stream_types)
        state.stream_usage = self.stream_usage
        state.origin = self if same_server else None
        return state

    def stop_stream_usage(self) -> None:
        """The server refused stream_options: neither this client nor those it came from ask it again."""
        state: ClientState | None = self
        while state is not None:
            state.stream_usage = False
            state = state.origin


# The attributes install() sets on a client, besides its state.
_HOOKS = ("request", "copy", "with_options", "__getstate__")


def is_traced(client: Any) -> bool:
    return _STATE in vars(client)


def install(client: Any, state: ClientState) -> None:
    """Hooks `client` in place; a client hooked already stays as it is (traced once)."""
    attributes = vars(client)
    if _STATE in attributes:
        return
    cls = type(client)
    # The hooks hold the client itself: a client derived for one call (with_options(...).copy(...))
    # may have no other owner. Clients refer to themselves already (their resources are
    # cached on them and point back), so this adds no new kind of cycle.
    # What the hooks replace: another library's instance hooks keep working under ours.
    replaced = {name: attributes[name] for name in _HOOKS if name in attributes}
    earlier = attributes.get("request")
    if inspect.iscoroutinefunction(getattr(cls, "request")):
        attributes["request"] = _async_request(client, cls, earlier, state)
    else:
        attributes["request"] = _sync_request(client, cls, earlier, state)
    for name in ("copy", "with_options"):
        if callable(getattr(cls, name, None)):
            attributes[name] = _deriving(client, cls, name, attributes.get(name), state)
    attributes["__getstate__"] = _state_without_hooks(client, replaced)
    attributes[_STATE] = state


def _state_without_hooks(client: Any, replaced: dict[str, Any]) -> Callable[[], Any]:
    # copy.copy, copy.deepcopy and pickle take a client's attributes through
    # __getstate__ (looked up on the instance). The hooks are bound to this
    # client: a copy holding them would send with this client's key and URL.
    # The copy gets the attributes without the hooks, untraced.
    own = replaced.get("__getstate__")

    def __getstate__() -> Any:
        state = own() if own is not None else object.__getstate__(client)
        if not isinstance(state, dict) or _STATE not in state:
            return state
        kept = {key: value for key, value in state.items() if key not in _HOOKS and key != _STATE}
        kept.update((name, value) for name, value in replaced.items() if name != "__getstate__")
        return kept

    return __getstate__


def _deriving(client: Any, cls: type, name: str, earlier: Any, state: ClientState) -> Callable[..., Any]:
    original = earlier if earlier is not None else getattr(cls, name).__get__(client)

    def derive(*args: Any, **kwargs: Any) -> Any:
        derived = original(*args, **kwargs)
        try:
            same_server = getattr(derived, "base_url", None) == getattr(client, "base_url", None)
            install(derived, state.derived(same_server))
        except Exception as error:
            fault("tracing a derived client", error)
        return derived

    derive.__name__ = name
    derive.__doc__ = getattr(getattr(cls, name, None), "__doc__", None)
    derive.__wrapped__ = original  # type: ignore[attr-defined]  # inspect.signature reads the client's own
    return derive


def _open(state: ClientState, options: Any, stream: bool) -> tuple[Route, Call, Any] | None:
    try:
        if options.method != "post":
            return None
        url: str = options.url
        route = state.routes.get(url if "?" not in url else url.partition("?")[0])
        if route is None:
            return None
    except Exception as error:
        fault("starting a span", error)
        return None
    return _open_at(state, route, options, stream)


def _open_at(state: ClientState, route: Route, options: Any, stream: bool) -> tuple[Route, Call, Any] | None:
    try:
        call, given = route.open(state, options, stream)
        return route, call, given
    except Exception as error:
        fault("starting a span", error)
        return None


def _sync_request(client: Any, cls: Any, earlier: Any, state: ClientState) -> Callable[..., Any]:
    send = earlier if earlier is not None else cls.request.__get__(client)

    def request(cast_to: Any, options: Any, *, stream: bool = False, stream_cls: Any = None, **extra: Any) -> Any:
        # The general hook. Whole answers of routed endpoints are traced by the
        # native hook in front of it, which does what this does for them.
        opened = _open(state, options, stream)
        if opened is None:
            return send(cast_to, options, stream=stream, stream_cls=stream_cls, **extra)
        route, call, given = opened
        try:
            result = send(cast_to, options, stream=stream, stream_cls=stream_cls, **extra)
        except Exception as error:
            if not _resend(state, route, call, given, options, error):
                call.fail(error)
                raise
            try:
                result = send(cast_to, options, stream=stream, stream_cls=stream_cls, **extra)
            except BaseException as again:
                call.fail(again)
                raise
        except BaseException as error:
            call.fail(error)
            raise
        if stream and _tapped(route, result, call):  # trace_stream's own first step, without _deliver
            return result
        return _deliver(state, route, call, result, stream)

    request.__doc__ = cls.request.__doc__
    request.__wrapped__ = send  # type: ignore[attr-defined]
    return _native.request_hook(send, state.routes, state, request, _deliver, _PLAIN_TYPES, _resend)


def _async_request(client: Any, cls: Any, earlier: Any, state: ClientState) -> Callable[..., Any]:
    send = earlier if earlier is not None else cls.request.__get__(client)

    async def request(cast_to: Any, options: Any, *, stream: bool = False, stream_cls: Any = None,
                      **extra: Any) -> Any:
        opened = _open(state, options, stream)
        if opened is None:
            return await send(cast_to, options, stream=stream, stream_cls=stream_cls, **extra)
        route, call, given = opened
        try:
            result = await send(cast_to, options, stream=stream, stream_cls=stream_cls, **extra)
        except Exception as error:
            if not _resend(state, route, call, given, options, error):
                call.fail(error)
                raise
            try:
                result = await send(cast_to, options, stream=stream, stream_cls=stream_cls, **extra)
            except BaseException as again:
                call.fail(again)
                raise
        except BaseException as error:
            call.fail(error)
            raise
        if _is_raw(result) and not stream and _body_in_memory(result):
            # The body is in memory already: parse it now (the response caches
            # the parsed object, so the caller's parse() returns the same one).
            try:
                parsed = result.parse()
                if inspect.isawaitable(parsed):
                    parsed = await parsed
                route.record(call, parsed)
            except Exception as error:
                fault("reading a response", error)
            call.end()
            return result
        return _deliver(state, route, call, result, stream)

    request.__doc__ = cls.request.__doc__
    request.__wrapped__ = send  # type: ignore[attr-defined]
    return request


def set_body(options: Any, body: Any) -> None:
    """Sets the body of the client's per-call request options, past the model's validating __setattr__."""
    try:
        vars(options)["json_data"] = body
    except TypeError:  # options without a __dict__
        options.json_data = body


def _resend(state: ClientState, route: Route, call: Call, given: Any, options: Any, error: BaseException) -> bool:
    """Whether the call is sent once more, without what the route added: the server refused it.

    The client then stops adding it, and the request's body is set back to the one given.
    """
    if given is None or not _refused(route, call, error):
        return False
    state.stop_stream_usage()
    call.hide_usage_chunk = False
    set_body(options, given)
    return True


def _refused(route: Route, call: Call, error: BaseException) -> bool:
    try:
        return route.refused(call, error)
    except Exception as inner:
        fault("reading an error", inner)
        return False


_RAW_TYPES: dict[type, bool] = {}


def _is_raw(result: Any) -> bool:
    # with_raw_response / with_streaming_response answers: the HTTP response
    # with a parse() that the caller may or may not call. Known per type: a
    # failed attribute lookup on a parsed pydantic model is slow.
    kind = type(result)
    raw = _RAW_TYPES.get(kind)
    if raw is None:
        raw = _RAW_TYPES[kind] = hasattr(result, "http_response") and hasattr(result, "parse")
    return raw


def _body_in_memory(raw: Any) -> bool:
    """Whether the whole body was read into memory (by the client, or read(), json(), text()), not iterated."""
    try:
        raw.http_response.content  # noqa: B018  # raises when the body was not read into memory
    except Exception:
        return False
    return True


# Types of answers known to be parsed models: neither streams nor raw responses.
_PLAIN_TYPES: set[type] = set()


def _deliver(state: ClientState, route: Route, call: Call, result: Any, stream: bool) -> Any:
    try:
        if isinstance(result, state.stream_types):
            trace_stream(state, result, call, route)
            return result
        if _is_raw(result):
            if not stream and _body_in_memory(result) and not inspect.iscoroutinefunction(type(result).parse):
                route.record(call, result.parse())
            else:
                _trace_raw(state, result, call, route, not stream)
                return result
        else:
            if not stream:
                _PLAIN_TYPES.add(type(result))
            route.record(call, result)
    except Exception as error:
        fault("reading a response", error)
    call.end()
    return result


def _trace_raw(state: ClientState, raw: Any, call: Call, route: Route, whole: bool) -> None:
    """Traces a response whose body the caller reads: through parse(), else until it is closed.

    A whole answer read without parse() (read(), json(), text()) is parsed
    for the span when the response closes: the client parses the body in memory.
    """
    cls = type(raw)
    # The hooks hold the response: `...with_raw_response.create(...).parse()` calls parse on an
    # object nothing else holds. The cycle this makes is the garbage collector's to free.

    def take(parsed: Any) -> None:
        # None: nothing to read (the span ends with what it has).
        try:
            if call.ended:
                return
            if isinstance(parsed, state.stream_types):
                if not _is_traced_stream(parsed):
                    trace_stream(state, parsed, call, route)
                return
            if parsed is not None:
                route.record(call, parsed)
        except Exception as error:
            fault("reading a response", error)
        call.end()

    def own_type(parsed: Any, kwargs: dict[str, Any]) -> bool:
        # parse(to=SomeType) gives the caller a type of their own: the span
        # reads the client's model of the answer, parsed from the body in memory.
        return "to" in kwargs and not isinstance(parsed, state.stream_types)

    if inspect.iscoroutinefunction(cls.parse):
        async def parse(*args: Any, **kwargs: Any) -> Any:
            parsed = await cls.parse(raw, *args, **kwargs)
            if not own_type(parsed, kwargs):
                take(parsed)
            elif whole and not call.ended:
                try:
                    take(await cls.parse(raw))
                except Exception as error:
                    fault("reading a response", error)
                    take(None)
            else:
                take(None)
            return parsed

        async def close() -> None:
            try:
                if whole and not call.ended and _body_in_memory(raw):
                    try:
                        take(await cls.parse(raw))
                    except Exception as error:
                        fault("reading a response", error)
                await cls.close(raw)
            finally:
                call.end()
    else:
        def parse(*args: Any, **kwargs: Any) -> Any:  # type: ignore[misc]
            parsed = cls.parse(raw, *args, **kwargs)
            if not own_type(parsed, kwargs):
                take(parsed)
            elif whole and not call.ended:
                try:
                    take(cls.parse(raw))
                except Exception as error:
                    fault("reading a response", error)
                    take(None)
            else:
                take(None)
            return parsed

        def close() -> None:  # type: ignore[misc]
            try:
                if whole and not call.ended and _body_in_memory(raw):
                    try:
                        take(cls.parse(raw))
                    except Exception as error:
                        fault("reading a response", error)
                cls.close(raw)
            finally:
                call.end()

    if not whole:
        raw_stream = getattr(route, "raw_stream", None)
        if raw_stream is not None:
            try:
                raw_stream(call, raw)
            except Exception as error:
                fault("tracing a stream", error)

    parse.__doc__ = cls.parse.__doc__
    attributes = vars(raw)
    attributes["parse"] = parse
    attributes["close"] = close
    weakref.finalize(raw, call.end).atexit = False


_TRACED_ITERATOR = "_korvanta_call"


def _is_traced_stream(stream: Any) -> bool:
    return _TRACED_ITERATOR in vars(stream)


def trace_stream(state: ClientState, stream: Any, call: Call, route: Route) -> None:
    """Records what `stream` yields on `call`, which ends when the stream is exhausted, closed or collected.

    The stream object stays the caller's: only its item iterator and close()
    are replaced on the instance, and the items are the same objects.
    """
    if _tapped(route, stream, call):
        return
    cls = type(stream)
    attributes = vars(stream)
    inner = stream._iterator  # Anthropic's streams make theirs on first use
    # close() holds the stream weakly (it never keeps a dropped stream alive) and its HTTP
    # response strongly: in `client...create(stream=True).close()` the stream may be gone
    # before close() runs, and closing its response is all that is left to do then.
    ref = weakref.ref(stream)
    response = stream.response
    try:
        read_elsewhere = route.streaming(state, call, stream)
    except Exception as error:
        fault("tracing a stream", error)
        read_elsewhere = False
    if not read_elsewhere:
        call.reader = _batch_reader(route)
    if hasattr(inner, "__anext__"):
        attributes["_iterator"] = _observe_async(inner, call, None if read_elsewhere else route,
                                                 _EndWhenCollected(call))

        async def close() -> None:
            try:
                alive = ref()
                if alive is not None:
                    await cls.close(alive)
                else:
                    await response.aclose()
            finally:
                call.end()
    else:
        attributes["_iterator"] = _tap(inner, call, None if read_elsewhere else route.chunk, fault)

        def close() -> None:  # type: ignore[misc]
            try:
                alive = ref()
                if alive is not None:
                    cls.close(alive)
                else:
                    response.close()
            finally:
                call.end()

    close.__doc__ = cls.close.__doc__
    attributes["close"] = close
    attributes[_TRACED_ITERATOR] = True


def _tapped(route: Route, stream: Any, call: Call) -> bool:
    """Whether the route traced `stream` in one step of its own (its tap_stream, for the sync streams it knows)."""
    tap_stream = getattr(route, "tap_stream", None)
    if tap_stream is None:
        return False
    try:
        return bool(tap_stream(stream, call))
    except Exception as error:
        fault("tracing a stream", error)
        return False


_BATCH = 64  # streamed items put aside before they are read (a bound on what is held)
_tap = _native.tap


class _EndWhenCollected:
    """Ends a call when the stream that holds it is collected, read or not.

    A generator that never started runs no `finally` when it is collected, but
    it drops its arguments: this one among them ends the call then. Cheaper
    than a finalizer registered per stream (weakref.finalize).
    """

    __slots__ = ("call",)

    def __init__(self, call: Call) -> None:
        self.call = call

    def __del__(self) -> None:
        if not sys.is_finalizing():  # nothing is left to hand the span to
            self.call.end()


def _batch_reader(route: Route) -> Callable[[Call, list[Any]], None]:
    """How `Call.drain` reads a batch of items: the route's own batch reader, else item by item."""
    many = getattr(route, "chunks", None)
    if many is not None:
        return many  # type: ignore[no-any-return]
    read = route.chunk

    def each(call: Call, items: list[Any]) -> None:
        for item in items:
            read(call, item)

    return each


async def _observe_async(inner: AsyncIterator[Any], call: Call, route: Route | None,
                         guard: _EndWhenCollected) -> AsyncIterator[Any]:
    # As _native.tap does for a sync stream: items are read until the first
    # token, then put aside and read in batches (with no route, they are read
    # elsewhere and only passed on). `guard` is only held; a started one that
    # is collected ends its call when the event loop has closed it.
    try:
        if route is None:
            async for item in inner:
                yield item
            return
        chunk = route.chunk
        async for item in inner:
            if call.first_token_seen:  # put aside, read in batches
                call.pending.append(item)
                if len(call.pending) >= _BATCH:
                    call.drain()
                yield item
                continue
            try:
                shown = chunk(call, item)
            except Exception as error:
                fault("reading a streamed item", error)
                shown = True
            if shown:
                yield item
    except (GeneratorExit, asyncio.CancelledError):
        # Not a failure: the consumer stopped (closed, dropped or cancelled
        # the stream), and the span keeps what arrived. The inner generator is
        # left to close as it would untraced: a stream dropped halfway has the
        # event loop close each of its generators, and closing the inner one
        # here as well races that.
        raise
    except BaseException as error:
        call.fail(error)
        raise
    finally:
        call.end()
