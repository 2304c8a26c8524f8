"""configure(config): a tracer from a dict."""

import collections
import re
import types

import numpy as np
import pytest

import korvanta_python as k

CANONICAL = "67e55044-10b1-426f-9247-bb680e5fe0c8"
UUID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def test_empty_dict_is_the_default_tracer():
    tracer = k.configure({})
    assert type(tracer) is k.DURUraTracer
    assert UUID_TEXT.match(tracer.tenant_id)
    assert (tracer.endpoint, tracer.enable_security) == (None, True)
    assert k.configure({}).tenant_id != tracer.tenant_id


def test_all_keys():
    tracer = k.configure(config={"tenant_id": CANONICAL.upper(), "endpoint": "", "enable_security": np.False_})
    assert (tracer.tenant_id, tracer.endpoint, tracer.enable_security) == (CANONICAL, "", False)


def test_other_keys_are_ignored():
    class Explosive:
        def __eq__(self, other):
            raise AssertionError("compared")

        def __hash__(self):
            return 12345

    tracer = k.configure({"tenant": CANONICAL, 1: 2, ("x",): None, Explosive(): 0})
    assert tracer.tenant_id != CANONICAL and tracer.endpoint is None


@pytest.mark.parametrize(
    "config, message",
    [
        ({"tenant_id": None}, "'NoneType' object cannot be converted to 'PyString'"),
        ({"tenant_id": 5}, "'int' object cannot be converted to 'PyString'"),
        ({"endpoint": b"http://x"}, "'bytes' object cannot be converted to 'PyString'"),
        ({"enable_security": 1}, "'int' object cannot be converted to 'PyBool'"),
        ({"enable_security": None}, "'NoneType' object cannot be converted to 'PyBool'"),
        ({"tenant_id": "bad", "enable_security": "yes"}, "'str' object cannot be converted to 'PyBool'"),
        ({"tenant_id": 1, "endpoint": 2, "enable_security": 3}, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_value_errors_have_no_argument_prefix(config, message):
    with pytest.raises(TypeError) as info:
        k.configure(config)
    assert str(info.value) == message


def test_first_failing_key_decides():
    with pytest.raises(TypeError, match="PyBool"):
        k.configure({"tenant_id": "not-a-uuid", "endpoint": "ok", "enable_security": 0})
    with pytest.raises(TypeError, match="PyString"):
        k.configure({"enable_security": 0, "endpoint": 1})


def test_invalid_tenant_id():
    with pytest.raises(ValueError) as info:
        k.configure({"tenant_id": "not-a-uuid"})
    assert str(info.value).startswith("Invalid tenant_id UUID: invalid character")


def test_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        k.configure({"endpoint": "\ud800"})


@pytest.mark.parametrize(
    "config, type_name",
    [
        (types.MappingProxyType({}), "mappingproxy"),
        ([("tenant_id", CANONICAL)], "list"),
        (None, "NoneType"),
        (collections.UserDict(), "UserDict"),
    ],
)
def test_only_dicts(config, type_name):
    with pytest.raises(TypeError) as info:
        k.configure(config)
    assert str(info.value) == f"argument 'config': '{type_name}' object cannot be converted to 'PyDict'"


def test_dict_subclass_entries_are_read_directly():
    class Tricky(dict):
        def __getitem__(self, key):
            raise AssertionError("__getitem__ called")

        def __missing__(self, key):
            raise AssertionError("__missing__ called")

    assert k.configure(Tricky(endpoint="http://x")).endpoint == "http://x"
    factory_calls = []
    config = collections.defaultdict(lambda: factory_calls.append(1) or "made")
    assert k.configure(config).endpoint is None
    assert factory_calls == [] and dict(config) == {}


def test_lookup_errors_propagate():
    class Key(str):
        def __hash__(self):
            return hash("endpoint")

        def __eq__(self, other):
            raise ZeroDivisionError("compare")

    with pytest.raises(ZeroDivisionError):
        k.configure({Key("x"): 1})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: k.configure(), "configure() missing 1 required positional argument: 'config'"),
        (lambda: k.configure({}, {}), "configure() takes 1 positional arguments but 2 were given"),
        (lambda: k.configure(cfg={}), "configure() got an unexpected keyword argument 'cfg'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_tracer_does_not_follow_the_dict():
    config = {"endpoint": "http://a"}
    tracer = k.configure(config)
    config["endpoint"] = "http://b"
    assert tracer.endpoint == "http://a"


def test_function_make_up():
    assert k.configure.__module__ == "korvanta_python" and k.configure.__self__ is k
    assert k.configure.__text_signature__ == "(config)"
    assert k.configure.__doc__.startswith("Configure and create an :class:`DURUraTracer` from a Python dictionary.")
