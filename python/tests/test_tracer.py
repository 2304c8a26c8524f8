"""DURUraTracer: construction, properties, start_span and the representation."""

import re

import pytest

import korvanta_python as k

UUID_TEXT = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
CANONICAL = "67e55044-10b1-426f-9247-bb680e5fe0c8"


def test_defaults():
    tracer = k.DURUraTracer()
    assert UUID_TEXT.match(tracer.tenant_id)
    assert tracer.endpoint is None
    assert tracer.enable_security is True
    assert k.DURUraTracer().tenant_id != tracer.tenant_id


def test_none_means_omitted():
    tracer = k.DURUraTracer(tenant_id=None, endpoint=None, enable_security=None)
    assert UUID_TEXT.match(tracer.tenant_id)
    assert (tracer.endpoint, tracer.enable_security) == (None, True)


@pytest.mark.parametrize(
    "text",
    [
        CANONICAL,
        CANONICAL.upper(),
        CANONICAL.replace("-", ""),
        "{" + CANONICAL + "}",
        "urn:uuid:" + CANONICAL.upper(),
    ],
)
def test_tenant_id_forms_read_back_canonical(text):
    assert k.DURUraTracer(tenant_id=text).tenant_id == CANONICAL


BAD_CHAR = "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found "


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "invalid length: expected length 32 for simple format, found 0"),
        ("not-a-uuid", BAD_CHAR + "`n` at 1"),
        ("1234-5678", "invalid group count: expected 5, found 2"),
        ("67e5504-10b1-426f-9247-bb680e5fe0c8", "invalid group length in group 0: expected 8, found 7"),
        (CANONICAL + "a", "invalid group length in group 4: expected 12, found 13"),
        ("{" + CANONICAL + "a}", "invalid group length in group 4: expected 12, found 13"),
        ("urn:uuid:" + CANONICAL + "a", "invalid group length in group 4: expected 12, found 13"),
        ("67e55044-10b1-426f-9247-bb680e5fe0cé", BAD_CHAR + "`é` at 36"),
        ("€", BAD_CHAR + "`€` at 1"),
    ],
)
def test_invalid_tenant_id(text, message):
    with pytest.raises(ValueError) as info:
        k.DURUraTracer(tenant_id=text)
    assert str(info.value) == "Invalid tenant_id UUID: " + message


def test_conversion_errors_come_before_the_tenant_check():
    with pytest.raises(TypeError, match="^argument 'enable_security': 'int' object cannot be converted to 'PyBool'$"):
        k.DURUraTracer(tenant_id="bad", enable_security=1)
    with pytest.raises(TypeError, match="^argument 'tenant_id': 'int' object cannot be converted to 'PyString'$"):
        k.DURUraTracer(tenant_id=5)


def test_endpoint_and_switch_are_stored_as_given():
    tracer = k.DURUraTracer(endpoint="", enable_security=False)
    assert tracer.endpoint == "" and tracer.enable_security is False
    assert repr(tracer).endswith("endpoint=Some(\"\"), security=false)")
    assert k.DURUraTracer(endpoint=" http://collector:4317 ").endpoint == " http://collector:4317 "


def test_properties_are_read_only_and_fresh():
    tracer = k.DURUraTracer(endpoint="http://x")
    with pytest.raises(AttributeError):
        tracer.endpoint = "y"
    assert tracer.endpoint == tracer.endpoint and tracer.endpoint is not tracer.endpoint


def test_repr_examples():
    tracer = k.DURUraTracer(tenant_id=CANONICAL)
    assert repr(tracer) == f"DURUraTracer(tenant_id='{CANONICAL}', endpoint=None, security=true)"
    tracer = k.DURUraTracer(tenant_id=CANONICAL, endpoint="abc", enable_security=False)
    assert repr(tracer) == f"DURUraTracer(tenant_id='{CANONICAL}', endpoint=Some(\"abc\"), security=false)"
    assert str(tracer) == repr(tracer)


@pytest.mark.parametrize(
    "endpoint, shown",
    [
        ('a"b\\c\nd', 'a\\"b\\\\c\\nd'),
        ("\t\r\0", "\\t\\r\\0"),
        ("it's", "it's"),
        ("\x01\x1b\x7f", "\\u{1}\\u{1b}\\u{7f}"),
        ("a b\u00a0c\u2028\u2029", "a b\\u{a0}c\\u{2028}\\u{2029}"),
        ("\u200b\ufeff\u00ad", "\\u{200b}\\u{feff}\\u{ad}"),
        ("e\u0301", "e\\u{301}"),
        ("\ue000\U000f0000", "\\u{e000}\\u{f0000}"),
        ("\u0378\U0010ffff", "\\u{378}\\u{10ffff}"),
        ("héllo wörld ✓ 😀 中文", "héllo wörld ✓ 😀 中文"),
    ],
)
def test_repr_escapes_the_endpoint(endpoint, shown):
    tracer = k.DURUraTracer(tenant_id=CANONICAL, endpoint=endpoint)
    assert repr(tracer) == f"DURUraTracer(tenant_id='{CANONICAL}', endpoint=Some(\"{shown}\"), security=true)"


def test_start_span():
    tracer = k.DURUraTracer()
    first = tracer.start_span("Chat_Completion", "openai", "GPT-4")
    second = tracer.start_span("", "openai", "")
    assert UUID_TEXT.match(first.trace_id) and UUID_TEXT.match(first.span_id)
    assert len({first.trace_id, first.span_id, second.trace_id, second.span_id}) == 4
    assert (first.operation_name, first.model_name) == ("Chat_Completion", "GPT-4")
    assert (second.operation_name, second.model_name) == ("", "")
    assert first.prompt == "" and first.response is None and not first.is_complete


@pytest.mark.parametrize("position, name", [(0, "operation_name"), (1, "provider"), (2, "model")])
def test_start_span_argument_types(position, name):
    args = ["op", "openai", "m"]
    args[position] = 42
    with pytest.raises(TypeError, match=f"^argument '{name}': 'int' object cannot be converted to 'PyString'$"):
        k.DURUraTracer().start_span(*args)


def test_span_outlives_its_tracer():
    span = k.DURUraTracer().start_span("op", "openai", "m")
    span.set_response("ok")
    assert span.is_complete


def test_keyword_arguments_outlive_python_code_run_by_a_conversion():
    # A numpy-style boolean's __bool__ finds the keyword dict of the call and
    # empties it, dropping the only references to the two strs.
    import gc

    class bool_:
        def __bool__(self):
            for ref in gc.get_referrers(self):
                if isinstance(ref, dict) and ref.get("enable_security") is self:
                    ref.clear()
            # New strs of the same sizes take the freed memory.
            self.fillers = ["z" * len(endpoint) for _ in range(64)] + ["z" * len(CANONICAL) for _ in range(64)]
            return True

    bool_.__module__ = "numpy"
    endpoint = "".join(["http://collector.example:4318/", "x" * 200])
    tracer = k.DURUraTracer(
        **{"tenant_id": "".join([CANONICAL[:8], CANONICAL[8:]]), "endpoint": "".join([endpoint]), "enable_security": bool_()}
    )
    assert (tracer.tenant_id, tracer.endpoint, tracer.enable_security) == (CANONICAL, endpoint, True)
