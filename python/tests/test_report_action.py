"""TraceSpan.report_action: validation, conversions, storage and the id."""

import uuid

import numpy as np
import pytest

import korvanta_python as k

EXPECTED = "Expected one of: tool_call, skill_invocation, command_execution, web_access, file_access"


@pytest.fixture
def span():
    return k.DURUraTracer().start_span("agent_step", "anthropic", "claude")


def last_action(span):
    return span.to_dict()["agent_actions"][-1]


@pytest.mark.parametrize(
    "action_type", ["tool_call", "skill_invocation", "command_execution", "web_access", "file_access"]
)
def test_every_action_type(span, action_type):
    action_id = span.report_action(action_type, "name")
    action = last_action(span)
    assert action["action_type"] == action_type and action["id"] == action_id
    assert uuid.UUID(action_id).version == 4


@pytest.mark.parametrize("action_type", ["Tool_Call", " tool_call", "tool_call ", "", "toolcall", "TOOL_CALL"])
def test_unrecognised_action_type(span, action_type):
    with pytest.raises(ValueError) as info:
        span.report_action(action_type, "x")
    assert str(info.value) == f"Invalid action_type: '{action_type}'. {EXPECTED}"
    assert span.agent_actions_count == 0


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"name": 5}, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        ({"arguments": {"q": 1}}, TypeError, "argument 'arguments': 'dict' object cannot be converted to 'PyString'"),
        ({"result": b"x"}, TypeError, "argument 'result': 'bytes' object cannot be converted to 'PyString'"),
        ({"success": 1}, TypeError, "argument 'success': 'int' object cannot be converted to 'PyBool'"),
        ({"duration_ms": -1}, OverflowError, None),
    ],
)
def test_conversion_errors_come_before_the_type_check(span, kwargs, error, message):
    args = {"action_type": "Not_A_Type", "name": "n", **kwargs}
    with pytest.raises(error) as info:
        span.report_action(**args)
    if message:
        assert str(info.value) == message
    assert span.agent_actions_count == 0


def test_action_type_must_be_text(span):
    with pytest.raises(TypeError, match="^argument 'action_type': 'NoneType' object cannot be converted to 'PyString'$"):
        span.report_action(None, "x")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.report_action(), "TraceSpan.report_action() missing 2 required positional arguments: "
                                      "'action_type' and 'name'"),
        (lambda s: s.report_action("tool_call", "n", True),
         "TraceSpan.report_action() takes 2 positional arguments but 3 were given"),
        (lambda s: s.report_action("tool_call", name="n", action_type="tool_call"),
         "TraceSpan.report_action() got multiple values for argument 'action_type'"),
        (lambda s: s.report_action("tool_call", "n", exit_code=0),
         "TraceSpan.report_action() got an unexpected keyword argument 'exit_code'"),
    ],
)
def test_argument_errors(span, call, message):
    with pytest.raises(TypeError) as info:
        call(span)
    assert str(info.value) == message


def test_defaults_and_fixed_fields(span):
    action_id = span.report_action("web_access", "https://example.com")
    assert last_action(span) == {
        "id": action_id,
        "action_type": "web_access",
        "name": "https://example.com",
        "arguments": None,
        "result": None,
        "duration_ms": None,
        "success": True,
        "exit_code": None,
        "http_method": None,
        "http_status": None,
        "file_operation": None,
        "timestamp": last_action(span)["timestamp"],
        "metadata": {},
    }
    assert last_action(span)["timestamp"].endswith("Z")


@pytest.mark.parametrize(
    "result, stored",
    [
        ("a" * 4096, "a" * 4096),
        ("a" * 4097, "a" * 4096),
        ("a" * 4095 + "é" + "b" * 10, "a" * 4095),
        ("a" * 4094 + "€", "a" * 4094),
        ("€" * 2000, "€" * 1365),
        ("", ""),
    ],
)
def test_result_is_cut_to_4096_bytes(span, result, stored):
    span.report_action("tool_call", "t", result=result)
    assert last_action(span)["result"] == stored


def test_arguments_and_name_are_stored_whole(span):
    span.report_action("file_access", "/" + "p" * 9999, arguments="x" * 10000)
    action = last_action(span)
    assert len(action["arguments"]) == 10000 and len(action["name"]) == 10000


@pytest.mark.parametrize("duration, stored", [(0, 0), (None, None), (2**64 - 1, 2**64 - 1), (True, 1)])
def test_duration(span, duration, stored):
    span.report_action("tool_call", "t", duration_ms=duration)
    assert last_action(span)["duration_ms"] == stored


@pytest.mark.parametrize(
    "success, stored", [(None, True), (True, True), (False, False), (np.False_, False), (np.True_, True)]
)
def test_success(span, success, stored):
    span.report_action("tool_call", "t", success=success)
    assert last_action(span)["success"] is stored


def test_repeated_calls_append_in_order(span):
    first = span.report_action("tool_call", "same")
    second = span.report_action("tool_call", "same")
    assert first != second and span.agent_actions_count == 2
    assert [a["id"] for a in span.to_dict()["agent_actions"]] == [first, second]


def test_completed_span_accepts_actions_and_keeps_its_times(span):
    span.set_response("done")
    before = span.to_dict()
    span.report_action("command_execution", "ls")
    after = span.to_dict()
    assert (after["end_time"], after["duration_ms"]) == (before["end_time"], before["duration_ms"])
    assert span.is_complete and span.agent_actions_count == 1


def test_returned_id_is_the_last_action_in_the_json(span):
    span.report_action("skill_invocation", "summarise")
    action_id = span.report_action("tool_call", "lookup")
    assert f'"id": "{action_id}"' in span.to_json().rsplit('"agent_actions"', 1)[1]
    assert last_action(span)["id"] == action_id


def test_docstring():
    doc = k.TraceSpan.report_action.__doc__.split("\n")
    assert k.TraceSpan.report_action.__text_signature__ == (
        "($self, action_type, name, *, arguments=None, result=None, duration_ms=None, success=None)"
    )
    assert doc == [
        "Report an agent action on this span.",
        "",
        "Args:",
        '    action_type: One of ``"tool_call"``, ``"skill_invocation"``,',
        '                 ``"command_execution"``, ``"web_access"``, ``"file_access"``.',
        "    name: Name of the tool, skill, command, URL, or file path.",
        "    arguments: Optional arguments or parameters.",
        "    result: Optional result (truncated to 4KB).",
        "    duration_ms: Optional duration in milliseconds.",
        "    success: Whether the action succeeded (default ``True``).",
        "",
        "Returns:",
        "    The action ID (UUID string).",
    ]
