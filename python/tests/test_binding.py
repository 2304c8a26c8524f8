"""Calling conventions shared by every entry: argument matching and its
messages, value conversions, the borrow rule and the classes' make-up."""

import weakref

import numpy as np
import pytest

import korvanta_python as k


@pytest.fixture
def tracer():
    return k.DURUraTracer()


@pytest.fixture
def span(tracer):
    return tracer.start_span("chat_completion", "openai", "gpt-4")


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t, s: k.DURUraTracer(None), "DURUraTracer.__new__() takes 0 positional arguments but 1 was given"),
        (lambda t, s: k.DURUraTracer(1, 2), "DURUraTracer.__new__() takes 0 positional arguments but 2 were given"),
        (lambda t, s: k.DURUraTracer(tenant="x"), "DURUraTracer.__new__() got an unexpected keyword argument 'tenant'"),
        (
            lambda t, s: t.start_span(),
            "DURUraTracer.start_span() missing 3 required positional arguments: "
            "'operation_name', 'provider', and 'model'",
        ),
        (
            lambda t, s: t.start_span("op", "openai"),
            "DURUraTracer.start_span() missing 1 required positional argument: 'model'",
        ),
        (
            lambda t, s: t.start_span(model="m"),
            "DURUraTracer.start_span() missing 2 required positional arguments: 'operation_name' and 'provider'",
        ),
        (
            lambda t, s: t.start_span("op", "openai", "m", model="m"),
            "DURUraTracer.start_span() got multiple values for argument 'model'",
        ),
        (
            lambda t, s: t.start_span("op", "openai", "m", "x"),
            "DURUraTracer.start_span() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda t, s: s.set_error("e", 500, 3),
            "TraceSpan.set_error() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda t, s: s.set_error(), "TraceSpan.set_error() missing 1 required positional argument: 'error'"),
        (lambda t, s: s.set_prompt(), "TraceSpan.set_prompt() missing 1 required positional argument: 'prompt'"),
        (
            lambda t, s: s.set_prompt("a", prompt="b"),
            "TraceSpan.set_prompt() got multiple values for argument 'prompt'",
        ),
        (
            lambda t, s: s.set_token_counts(5),
            "TraceSpan.set_token_counts() takes 0 positional arguments but 1 was given",
        ),
        (
            lambda t, s: s.set_token_counts(total_tokens=5),
            "TraceSpan.set_token_counts() got an unexpected keyword argument 'total_tokens'",
        ),
        (
            lambda t, s: s.add_tag("k"),
            "TraceSpan.add_tag() missing 1 required positional argument: 'value'",
        ),
    ],
)
def test_argument_errors(tracer, span, call, message):
    assert type_error(lambda: call(tracer, span)) == message


def test_unexpected_keyword_holding_a_lone_surrogate(span):
    with pytest.raises(TypeError) as info:
        span.set_prompt(**{"\ud800": 1})
    assert str(info.value) == "TraceSpan.set_prompt() got an unexpected keyword argument '\ud800'"


# Keywords written at a call site are interned and match by identity; names
# built at run time are other objects and match by their text.
@pytest.mark.parametrize("name", [str, lambda text: "".join(list(text))], ids=["interned", "built"])
def test_keyword_arguments_in_any_order(tracer, name):
    model = "model"
    assert (name(model) is model) == (name is str)
    span = tracer.start_span(**{name(model): "gpt-4", name("operation_name"): "op", name("provider"): "openai"})
    assert (span.operation_name, span.model_name) == ("op", "gpt-4")
    span.set_token_counts(**{name("completion_tokens"): 2, name("prompt_tokens"): 1})
    assert span.total_tokens == 3
    assert type_error(lambda: span.set_prompt("a", **{name("prompt"): "b"})) == (
        "TraceSpan.set_prompt() got multiple values for argument 'prompt'"
    )


def test_argument_errors_change_nothing(span):
    span.set_token_counts(prompt_tokens=1, completion_tokens=2)
    with pytest.raises(TypeError):
        span.set_token_counts(5)
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == (1, 2, 3)


class Text(str):
    pass


def test_str_subclass_is_text(span):
    span.set_prompt(Text("subclassed"))
    assert span.prompt == "subclassed" and type(span.prompt) is str


@pytest.mark.parametrize(
    "value, type_name",
    [(b"bytes", "bytes"), (123, "int"), (None, "NoneType"), (1.5, "float"), (["x"], "list")],
)
def test_text_rejects_other_objects(span, value, type_name):
    assert type_error(lambda: span.set_prompt(value)) == (
        f"argument 'prompt': '{type_name}' object cannot be converted to 'PyString'"
    )


def test_lone_surrogate_raises_encoding_error_without_prefix(span, tracer):
    with pytest.raises(UnicodeEncodeError) as info:
        span.add_tag("key", "\ud800")
    assert not str(info.value).startswith("argument")
    with pytest.raises(UnicodeEncodeError):
        k.DURUraTracer(endpoint="\udfff")


@pytest.mark.parametrize("value, expected", [(True, True), (False, False), (np.True_, True), (np.False_, False)])
def test_boolean_accepts_bool_and_numpy_booleans(value, expected):
    assert k.DURUraTracer(enable_security=value).enable_security is expected


@pytest.mark.parametrize("value, type_name", [(1, "int"), (0, "int"), ("true", "str"), (np.int64(1), "int64")])
def test_boolean_rejects_everything_else(value, type_name):
    assert type_error(lambda: k.DURUraTracer(enable_security=value)) == (
        f"argument 'enable_security': '{type_name}' object cannot be converted to 'PyBool'"
    )


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"prompt_tokens": 0, "completion_tokens": 4294967295}, (0, 4294967295)),
        ({"prompt_tokens": True, "completion_tokens": Index(7)}, (1, 7)),
    ],
)
def test_unsigned_32_accepts_int_bool_and_index(span, kwargs, expected):
    span.set_token_counts(**kwargs)
    assert (span.prompt_tokens, span.completion_tokens) == expected


@pytest.mark.parametrize("value", [-1, 4294967296, Index(-3), 2**63 - 1])
def test_unsigned_32_out_of_range(span, value):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        span.set_token_counts(prompt_tokens=value)
    assert span.prompt_tokens is None


def test_beyond_c_long_is_the_interpreters_overflow(span):
    with pytest.raises(OverflowError) as info:
        span.set_token_counts(prompt_tokens=2**64)
    assert str(info.value) != "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [-1, 65536, 70000])
def test_unsigned_16_out_of_range(span, value):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        span.set_error("boom", value)
    assert not span.is_complete


def test_non_integers_get_the_argument_prefix(span):
    assert type_error(lambda: span.set_token_counts(prompt_tokens=1.5)).startswith("argument 'prompt_tokens': ")
    assert type_error(lambda: span.set_error("e", "500")).startswith("argument 'status_code': ")
    assert type_error(lambda: span.set_ttft_ms(2.0)).startswith("argument 'ttft_ms': ")


@pytest.mark.parametrize("value", [-1, -5, 2**64, Index(-1)])
def test_unsigned_64_out_of_range_is_the_interpreters_error(span, value):
    with pytest.raises(OverflowError) as info:
        span.set_ttft_ms(value)
    assert str(info.value) != "out of range integral type conversion attempted"


def test_rewrapped_type_error_keeps_the_cause(span):
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("bad index") from inner

    with pytest.raises(TypeError) as info:
        span.set_ttft_ms(BadIndex())
    assert str(info.value) == "argument 'ttft_ms': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_other_exceptions_from_conversions_pass_unchanged(span):
    class Failing:
        def __index__(self):
            raise ZeroDivisionError("from __index__")

    with pytest.raises(ZeroDivisionError, match="^from __index__$"):
        span.set_token_counts(prompt_tokens=Failing())


def test_exclusive_borrow_conflicts(span):
    seen = []

    class Reentrant:
        def __index__(self):
            for touch in (lambda: span.prompt, lambda: span.set_prompt("x"), lambda: repr(span)):
                try:
                    touch()
                except RuntimeError as e:
                    seen.append(str(e))
            return 5

    span.set_token_counts(prompt_tokens=Reentrant())
    assert seen == ["Already mutably borrowed", "Already borrowed", "Already mutably borrowed"]
    assert span.prompt_tokens == 5 and span.prompt == ""
    # Released on every path: a failing conversion leaves the span usable.
    with pytest.raises(OverflowError):
        span.set_token_counts(prompt_tokens=-1)
    span.set_prompt("after")
    assert span.prompt == "after"


@pytest.mark.parametrize("name", ["DURUraTracer", "TraceSpan"])
def test_class_make_up(name, span, tracer):
    cls = getattr(k, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name and cls.__name__ == name
    assert cls.__base__ is object
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    instance = tracer if name == "DURUraTracer" else span
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not hasattr(instance, "__dict__")


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
def test_span_class_has_no_constructor(args, kwargs):
    assert type_error(lambda: k.TraceSpan(*args, **kwargs)) == "No constructor defined for TraceSpan"


def test_methods_reject_a_receiver_of_another_class(tracer):
    with pytest.raises(TypeError):
        k.TraceSpan.set_prompt(tracer, "x")
    with pytest.raises(TypeError):
        k.TraceSpan.prompt.__get__(tracer)
