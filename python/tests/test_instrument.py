"""instrument() and InstrumentedClient: delegation, own members, repr."""

import gc
import weakref

import pytest

import korvanta_python as k


class Client:
    model = "gpt-4"

    def __init__(self):
        self.base_url = "http://127.0.0.1:9"
        self.calls = []

    def complete(self, prompt):
        self.calls.append(prompt)
        return "done"

    def __repr__(self):
        return "Client()"

    def __call__(self):
        return "called"

    def __len__(self):
        return 3

    def __iter__(self):
        return iter([1])


def test_instrument_with_a_given_tracer():
    client, tracer = Client(), k.DURUraTracer()
    wrapper = k.instrument(client, tracer=tracer)
    assert type(wrapper) is k.InstrumentedClient
    assert wrapper.wrapped_client is client and wrapper.tracer is tracer
    assert wrapper.tracer is wrapper.tracer


def test_default_tracers_are_fresh_each_call():
    client = Client()
    first, second = k.instrument(client), k.instrument(client, tracer=None)
    assert first.tracer is not second.tracer
    assert first.tracer.tenant_id != second.tracer.tenant_id
    assert (first.tracer.endpoint, first.tracer.enable_security) == (None, True)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: k.instrument(), "instrument() missing 1 required positional argument: 'client'"),
        (lambda: k.instrument(Client(), k.DURUraTracer()), "instrument() takes 1 positional arguments but 2 were given"),
        (lambda: k.instrument(Client(), trace=None), "instrument() got an unexpected keyword argument 'trace'"),
        (lambda: k.instrument(Client(), tracer=5), "argument 'tracer': 'int' object cannot be converted to 'DURUraTracer'"),
        (lambda: k.instrument(Client(), tracer=k.instrument(None)),
         "argument 'tracer': 'InstrumentedClient' object cannot be converted to 'DURUraTracer'"),
    ],
)
def test_instrument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_delegated_attributes_are_the_clients_own():
    client = Client()
    wrapper = k.instrument(client)
    assert wrapper.base_url == "http://127.0.0.1:9" and wrapper.model == "gpt-4"
    assert wrapper.complete("hi") == "done" and client.calls == ["hi"]
    assert wrapper.complete.__self__ is client
    client.base_url = "http://changed"
    assert wrapper.base_url == "http://changed"  # nothing cached
    assert wrapper.__dict__ is client.__dict__


def test_missing_attribute_raises_the_clients_error():
    with pytest.raises(AttributeError, match="'Client' object has no attribute 'nope'"):
        k.instrument(Client()).nope
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute"):
        k.instrument(None).anything
    with pytest.raises(AttributeError):
        k.instrument(None).__dict__


def test_own_members_take_precedence():
    class Shadowing(Client):
        tracer = "client tracer"
        wrapped_client = "client wrapped"

        def start_span(self, *args):
            return "client span"

    client, tracer = Shadowing(), k.DURUraTracer()
    wrapper = k.instrument(client, tracer=tracer)
    assert wrapper.tracer is tracer and wrapper.wrapped_client is client
    span = wrapper.start_span("op", "openai", "m")
    assert type(span) is k.TraceSpan
    assert span.to_dict()["tenant_id"] == tracer.tenant_id
    assert wrapper.__class__ is k.InstrumentedClient and not isinstance(wrapper, Shadowing)


def test_client_attribute_errors_pass_unchanged():
    class Failing:
        @property
        def broken(self):
            raise ZeroDivisionError("from the client")

    with pytest.raises(ZeroDivisionError):
        k.instrument(Failing()).broken


def test_non_attribute_errors_of_the_wrapper_do_not_reach_the_client(monkeypatch):
    asked = []

    class Client2:
        def __getattr__(self, name):
            asked.append(name)
            return "client"

    def boom(self):
        raise ZeroDivisionError("from the wrapper")

    monkeypatch.setattr(k.InstrumentedClient, "boom", property(boom), raising=False)
    wrapper = k.instrument(Client2())
    with pytest.raises(ZeroDivisionError):
        wrapper.boom
    assert asked == []
    assert wrapper.other == "client" and asked == ["other"]


def test_implicit_protocols_are_not_delegated():
    wrapper = k.instrument(Client())
    with pytest.raises(TypeError):
        wrapper()
    with pytest.raises(TypeError):
        len(wrapper)
    with pytest.raises(TypeError):
        iter(wrapper)


@pytest.mark.parametrize("name", ["base_url", "tracer", "wrapped_client", "new_attribute"])
def test_assignment_fails_and_leaves_the_client_alone(name):
    client = Client()
    before = dict(vars(client))
    wrapper = k.instrument(client)
    with pytest.raises(AttributeError):
        setattr(wrapper, name, "x")
    assert vars(client) == before


def test_repr_and_str():
    wrapper = k.instrument(Client())
    assert repr(wrapper) == "InstrumentedClient(Client())" and str(wrapper) == repr(wrapper)
    assert repr(k.instrument(None)) == "InstrumentedClient(None)"
    assert repr(k.instrument(42)) == "InstrumentedClient(42)"


def test_repr_of_a_class_client_uses_the_interpreters_repr():
    class Foo:
        pass

    assert repr(k.instrument(Foo)) == f"InstrumentedClient({Foo!r})"
    assert repr(k.instrument(int)) == "InstrumentedClient(<class 'int'>)"


def test_repr_uses_an_instance_attribute_named_repr():
    client = Client()
    client.__repr__ = lambda: "instance repr"
    assert repr(k.instrument(client)) == "InstrumentedClient(instance repr)"


@pytest.mark.parametrize(
    "repr_impl, error, message",
    [
        (lambda self: 5, TypeError, "'int' object cannot be converted to 'PyString'"),
        (lambda self: 1 / 0, ZeroDivisionError, None),
    ],
)
def test_repr_failures(repr_impl, error, message):
    client = type("Odd", (), {"__repr__": repr_impl})()
    with pytest.raises(error) as info:
        repr(k.instrument(client))
    if message:
        assert str(info.value) == message


def test_start_span_arguments():
    wrapper = k.instrument(Client())
    with pytest.raises(TypeError) as info:
        wrapper.start_span("op", "openai")
    assert str(info.value) == "InstrumentedClient.start_span() missing 1 required positional argument: 'model'"
    with pytest.raises(TypeError) as info:
        wrapper.start_span("op", 1, "m")
    assert str(info.value) == "argument 'provider': 'int' object cannot be converted to 'PyString'"
    span = wrapper.start_span(model="gpt-4", provider="Anthropic", operation_name="op")
    assert span.to_dict()["provider"] == "Anthropic" and span.model_name == "gpt-4"


def test_class_make_up():
    cls = k.InstrumentedClient
    assert cls.__module__ == "builtins" and cls.__qualname__ == "InstrumentedClient"
    with pytest.raises(TypeError, match="^No constructor defined for InstrumentedClient$"):
        cls(Client())
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        weakref.ref(k.instrument(None))
    assert cls.start_span.__text_signature__ == "($self, operation_name, provider, model)"
    assert k.instrument.__module__ == "korvanta_python" and k.instrument.__self__ is k
    assert k.instrument.__text_signature__ == "(client, *, tracer=None)"


def test_deallocation_releases_client_then_tracer():
    order = []

    class Tracked(Client):
        def __del__(self):
            order.append("client")

    client = Tracked()
    tracer = k.DURUraTracer()
    wrapper = k.instrument(client, tracer=tracer)
    client_ref = weakref.ref(client)
    del client
    assert order == []
    del wrapper
    gc.collect()
    assert order == ["client"] and client_ref() is None
    assert tracer.tenant_id  # the caller's tracer lives on


def test_real_openai_client():
    openai = pytest.importorskip("openai")
    client = openai.OpenAI(api_key="test", base_url="http://127.0.0.1:9")
    wrapper = k.instrument(client)
    create = wrapper.chat.completions.create
    assert create.__self__ is client.chat.completions
    assert create.__func__ is type(client.chat.completions).create
    assert str(wrapper.base_url).startswith("http://127.0.0.1:9") and wrapper.api_key == "test"
    assert wrapper.start_span.__self__ is wrapper
    span = wrapper.start_span("chat_completion", "openai", "gpt-4")
    assert span.to_dict()["tenant_id"] == wrapper.tracer.tenant_id
