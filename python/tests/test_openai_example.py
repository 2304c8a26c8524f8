"""examples/openai_agent.py end to end: a real openai.OpenAI client, wrapped
by instrument(), streams a chat completion with two tool calls from the
example's loopback server, and the span lands as one line of compact JSON in
a JSON Lines file.

The expected values come from the example's own server script (its constants),
so these tests check that what the server streamed is what the span recorded.
"""

import json
import os
import runpy
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "openai_agent.py"
SPAN_KEYS = [
    "trace_id", "span_id", "parent_span_id", "tenant_id", "operation_name", "start_time", "end_time",
    "provider", "model_name", "prompt", "response", "prompt_tokens", "completion_tokens", "total_tokens",
    "time_to_first_token_ms", "duration_ms", "status_code", "error_message", "estimated_cost_usd",
    "security_score", "security_findings", "tags", "events", "agent_actions",
]


@pytest.fixture(scope="module")
def example():
    """The example as a module (its main() does not run on import)."""
    return SimpleNamespace(**runpy.run_path(str(EXAMPLE), run_name="openai_agent_example"))


def run_example(*args, cwd):
    # Loopback only: no proxy may take the client's requests elsewhere.
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy") and not k.startswith("OPENAI_")}
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=120
    )


def read_lines(path):
    text = path.read_text(encoding="utf-8")
    assert text.endswith("\n")
    lines = text.splitlines()
    for line in lines:
        # compact: exactly what json.dumps writes with the tightest separators
        assert line == json.dumps(json.loads(line), separators=(",", ":"), ensure_ascii=False)
    return lines


@pytest.fixture(scope="module")
def spans_file(tmp_path_factory):
    """The JSON Lines file after one successful run of the example."""
    work = tmp_path_factory.mktemp("openai_example")
    path = work / "traces" / "spans.jsonl"
    path.parent.mkdir()
    result = run_example(str(path), cwd=work)
    assert result.returncode == 0, result.stdout + result.stderr
    return path


@pytest.fixture(scope="module")
def span(spans_file):
    [line] = read_lines(spans_file)
    return json.loads(line)


def test_span_document_has_every_key_in_order(span):
    assert list(span) == SPAN_KEYS


def test_call_identity_is_recorded(span, example):
    assert span["operation_name"] == "chat_completion"
    assert span["provider"] == "OpenAI"
    assert span["model_name"] == example.MODEL
    assert span["tenant_id"] == example.TENANT_ID
    assert span["trace_id"] != span["span_id"]


def test_prompt_and_streamed_response_are_recorded(span, example):
    assert span["prompt"] == example.PROMPT
    assert span["response"] == "".join(example.ANSWER_PARTS)
    assert span["end_time"] is not None and span["end_time"].endswith("Z")
    assert span["error_message"] is None and span["status_code"] is None


def test_usage_chunk_is_recorded(span, example):
    assert span["prompt_tokens"] == example.USAGE["prompt_tokens"]
    assert span["completion_tokens"] == example.USAGE["completion_tokens"]
    assert span["total_tokens"] == example.USAGE["total_tokens"]


def test_time_to_first_token_is_taken_at_the_first_chunk(span, example):
    ttft = span["time_to_first_token_ms"]
    assert isinstance(ttft, int)
    # The server waits this long before its first chunk, and the span lasts
    # at least until the last one.
    assert ttft >= int(example.FIRST_CHUNK_DELAY_S * 1000)
    assert ttft <= span["duration_ms"]


def test_both_tool_calls_are_agent_actions(span, example):
    actions = span["agent_actions"]
    assert [(a["action_type"], a["name"], a["arguments"]) for a in actions] == [
        ("tool_call", call["name"], call["arguments"]) for call in example.TOOL_CALLS
    ]
    for action, call in zip(actions, example.TOOL_CALLS):
        assert action["success"] is True
        assert isinstance(action["duration_ms"], int)
        assert json.loads(action["result"]) == example.get_weather(**json.loads(call["arguments"]))
    assert len({a["id"] for a in actions}) == 2


def test_stream_metadata_is_tagged(span):
    assert span["tags"]["openai.finish_reason"] == "tool_calls"
    assert span["tags"]["openai.response_id"].startswith("chatcmpl-")


def test_failed_call_is_appended_with_its_error(spans_file, example):
    before = read_lines(spans_file)
    result = run_example(str(spans_file), "--model", "gpt-5-nano", cwd=spans_file.parent)
    assert result.returncode == 1, result.stdout + result.stderr

    lines = read_lines(spans_file)
    assert lines[: len(before)] == before
    [failed] = [json.loads(line) for line in lines[len(before):]]
    assert failed["status_code"] == 404
    assert "gpt-5-nano" in failed["error_message"]
    assert failed["model_name"] == "gpt-5-nano"
    assert failed["prompt"] == example.PROMPT
    assert failed["end_time"] is not None
    assert failed["response"] is None and failed["time_to_first_token_ms"] is None
    assert failed["total_tokens"] is None and failed["agent_actions"] == []
    assert failed["span_id"] not in {json.loads(line)["span_id"] for line in before}


def test_default_file_is_spans_jsonl_in_the_working_directory(tmp_path):
    result = run_example(cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    [line] = read_lines(tmp_path / "spans.jsonl")
    assert json.loads(line)["agent_actions"][1]["action_type"] == "tool_call"
