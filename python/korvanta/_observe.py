"""``korvanta.observe``: runs each call of a function, coroutine function,
generator or async generator inside a span, with its arguments as the prompt
and its result (or the values it yielded) as the response."""

from __future__ import annotations

import functools
import inspect
import json
from collections.abc import AsyncGenerator, Callable, Generator
from typing import Any, ParamSpec, TypeVar, overload

from . import _context, _pipeline
from ._spans import error_text, start_span

P = ParamSpec("P")
R = TypeVar("R")

#: Longest captured argument or result text, in characters; longer texts are
#: cut there and end with "...".
MAX_CAPTURE_CHARS = 32_768

_current = _context.current


def _encode(value: object) -> str:
    """Compact JSON where the value serialises (parts that do not become their
    repr), else its repr; cut at MAX_CAPTURE_CHARS."""
    try:
        text = json.dumps(value, separators=(",", ":"), ensure_ascii=False, default=repr)
    except (TypeError, ValueError, RecursionError):
        try:
            text = repr(value)
        except Exception as error:  # a broken __repr__ must not break the call
            text = f"<unrepresentable {type(value).__name__}: {error_text(error)}>"
    if len(text) > MAX_CAPTURE_CHARS:
        text = text[: MAX_CAPTURE_CHARS - 3] + "..."
    return text


def _arguments(names: tuple[str, ...], args: tuple[object, ...], kwargs: dict[str, object]) -> str:
    bound: dict[str, object] = {}
    for index, value in enumerate(args):
        bound[names[index] if index < len(names) else f"args[{index}]"] = value
    bound.update(kwargs)
    return _encode(bound)


def _positional_names(function: Callable[..., object]) -> tuple[str, ...]:
    try:
        parameters = inspect.signature(function).parameters.values()
    except (TypeError, ValueError):
        return ()
    kinds = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    return tuple(p.name for p in parameters if p.kind in kinds)


@overload
def observe(function: Callable[P, R], /) -> Callable[P, R]: ...
@overload
def observe(
    name: str | None = None, *, capture_input: bool = True, capture_output: bool = True
) -> Callable[[Callable[P, R]], Callable[P, R]]: ...


def observe(
    name: Any = None, *, capture_input: bool = True, capture_output: bool = True
) -> Any:
    """Traces every call of the decorated function in a span named ``name``
    (by default the function's qualified name), nested under the current span.

    The arguments are the span's prompt and the return value its response, as
    compact JSON (values that do not serialise appear as their repr), each cut
    at ``MAX_CAPTURE_CHARS``. A generator's span runs from its first step until
    it is exhausted or closed, is current only while its body runs, and
    records the yielded values as its response. An exception is recorded on the
    span and raised unchanged.

    >>> @korvanta.observe
    ... def retrieve(query: str) -> list[str]: ...
    >>> @korvanta.observe("plan", capture_output=False)
    ... async def plan(goal: str) -> str: ...
    """
    if callable(name):
        return _decorate(name, None, capture_input, capture_output)

    def decorator(function: Callable[P, R]) -> Callable[P, R]:
        decorated: Callable[P, R] = _decorate(function, name, capture_input, capture_output)
        return decorated

    return decorator


def _decorate(function: Any, name: str | None, capture_input: bool, capture_output: bool) -> Any:
    operation = name if name is not None else getattr(function, "__qualname__", repr(function))
    names = _positional_names(function) if capture_input else ()

    def begin(args: tuple[object, ...], kwargs: dict[str, object]) -> Any:
        span = start_span(operation)
        if capture_input:
            span.set_prompt(_arguments(names, args, kwargs))
        return span

    def finish(span: Any, result: object) -> None:
        if capture_output:
            span.set_response(_encode(result))
        _pipeline.hand_over(span)

    def fail(span: Any, error: BaseException) -> None:
        span.set_error(error_text(error))
        _pipeline.hand_over(span)

    if inspect.isasyncgenfunction(function):

        @functools.wraps(function)
        def async_generator_wrapper(*args: Any, **kwargs: Any) -> Any:
            return _traced_async_generator(function(*args, **kwargs), lambda: begin(args, kwargs),
                                           capture_output)

        return async_generator_wrapper

    if inspect.isgeneratorfunction(function):

        @functools.wraps(function)
        def generator_wrapper(*args: Any, **kwargs: Any) -> Any:
            return _traced_generator(function(*args, **kwargs), lambda: begin(args, kwargs), capture_output)

        return generator_wrapper

    if inspect.iscoroutinefunction(function):

        @functools.wraps(function)
        async def coroutine_wrapper(*args: Any, **kwargs: Any) -> Any:
            span = begin(args, kwargs)
            token = _current.set(span)
            try:
                result = await function(*args, **kwargs)
            except BaseException as error:
                _current.reset(token)
                fail(span, error)
                raise
            _current.reset(token)
            finish(span, result)
            return result

        return coroutine_wrapper

    @functools.wraps(function)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        span = begin(args, kwargs)
        token = _current.set(span)
        try:
            result = function(*args, **kwargs)
        except BaseException as error:
            _current.reset(token)
            fail(span, error)
            raise
        _current.reset(token)
        finish(span, result)
        return result

    return wrapper


def _close_span(span: Any, yielded: list[object], capture_output: bool, error: BaseException | None) -> None:
    if error is not None:
        span.set_error(error_text(error))
    elif capture_output:
        span.set_response(_encode(yielded))
    _pipeline.hand_over(span)


def _traced_generator(
    generator: Generator[Any, Any, Any], begin: Callable[[], Any], capture_output: bool
) -> Generator[Any, Any, Any]:
    # The span starts with the first step, under the span current then; each
    # step of the wrapped generator runs with it current.
    span = begin()
    yielded: list[object] = []
    error: BaseException | None = None
    try:
        to_send: Any = None
        to_throw: BaseException | None = None
        while True:
            token = _current.set(span)
            try:
                item = generator.throw(to_throw) if to_throw is not None else generator.send(to_send)
            except StopIteration as stop:
                return stop.value
            finally:
                _current.reset(token)
            if capture_output:
                yielded.append(item)
            to_send, to_throw = None, None
            try:
                to_send = yield item
            except GeneratorExit:
                generator.close()
                raise
            except BaseException as thrown:
                to_throw = thrown
    except GeneratorExit:
        raise
    except BaseException as failure:
        error = failure
        raise
    finally:
        _close_span(span, yielded, capture_output, error)


async def _traced_async_generator(
    generator: AsyncGenerator[Any, Any], begin: Callable[[], Any], capture_output: bool
) -> AsyncGenerator[Any, Any]:
    span = begin()
    yielded: list[object] = []
    error: BaseException | None = None
    try:
        to_send: Any = None
        to_throw: BaseException | None = None
        while True:
            token = _current.set(span)
            try:
                if to_throw is not None:
                    item = await generator.athrow(to_throw)
                else:
                    item = await generator.asend(to_send)
            except StopAsyncIteration:
                return
            finally:
                _current.reset(token)
            if capture_output:
                yielded.append(item)
            to_send, to_throw = None, None
            try:
                to_send = yield item
            except GeneratorExit:
                await generator.aclose()
                raise
            except BaseException as thrown:
                to_throw = thrown
    except GeneratorExit:
        raise
    except BaseException as failure:
        error = failure
        raise
    finally:
        _close_span(span, yielded, capture_output, error)
