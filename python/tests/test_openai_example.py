"""examples/openai_agent.py end to end: a real openai.OpenAI client, traced by
korvanta.wrap_openai, runs a two-turn tool-calling agent against the example's
loopback server, and every span lands as one line of compact JSON in a JSON
Lines file.

The expected values come from the example's own server script (its constants),
so these tests check that what the server streamed is what the spans recorded.
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
        # one span document per line, written by JSONLinesExporter
        assert isinstance(json.loads(line), dict)
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
def spans(spans_file):
    return [json.loads(line) for line in read_lines(spans_file)]


def test_one_agent_span_holds_two_model_calls_and_two_tool_runs(spans, example):
    assert [span["operation_name"] for span in spans] == ["chat", "execute_tool", "execute_tool", "chat",
                                                          "invoke_agent"]
    agent = spans[-1]
    assert all(list(span) == SPAN_KEYS for span in spans)
    assert {span["trace_id"] for span in spans} == {agent["trace_id"]}
    assert [span["parent_span_id"] for span in spans[:-1]] == [agent["span_id"]] * 4
    assert {span["tenant_id"] for span in spans} == {example.TENANT_ID}
    assert agent["tags"]["agent"] == "travel-assistant"


def test_each_model_call_records_what_the_server_streamed(spans, example):
    first, second = spans[0], spans[3]
    for span, parts, usage in ((first, example.ANSWER_PARTS, example.USAGE[0]),
                               (second, example.FINAL_PARTS, example.USAGE[1])):
        assert (span["provider"], span["model_name"]) == ("OpenAI", example.MODEL)
        assert span["response"] == "".join(parts)
        assert (span["prompt_tokens"], span["completion_tokens"]) == (usage["prompt_tokens"],
                                                                      usage["completion_tokens"])
        # The server waits this long before its first chunk.
        assert example.FIRST_CHUNK_DELAY_S * 1000 <= span["time_to_first_token_ms"] <= span["duration_ms"]
        assert span["estimated_cost_usd"] > 0
        assert json.loads(span["tags"]["gen_ai.tool.definitions"]) == example.TOOLS
    assert json.loads(first["prompt"]) == [
        {"role": "system", "parts": [{"type": "text", "content": example.SYSTEM_PROMPT}]},
        {"role": "user", "parts": [{"type": "text", "content": example.PROMPT}]},
    ]
    # The model's tool calls: actions on the first call, then part of the second call's prompt.
    assert [(a["name"], a["arguments"], a["metadata"]) for a in first["agent_actions"]] == [
        (call["name"], call["arguments"], {"gen_ai.tool.call.id": call["id"]}) for call in example.TOOL_CALLS
    ]
    assistant, *answers = json.loads(second["prompt"])[2:]
    assert [part["id"] for part in assistant["parts"] if part["type"] == "tool_call"] == [
        call["id"] for call in example.TOOL_CALLS]
    assert [(m["role"], m["parts"][0]["id"]) for m in answers] == [("tool", c["id"]) for c in example.TOOL_CALLS]


def test_each_tool_run_records_its_result(spans, example):
    for span, call in zip(spans[1:3], example.TOOL_CALLS):
        [action] = span["agent_actions"]
        assert (action["name"], action["arguments"], action["success"]) == (call["name"], call["arguments"], True)
        assert json.loads(action["result"]) == example.get_weather(**json.loads(call["arguments"]))
        assert span["tags"]["gen_ai.tool.call.id"] == call["id"]


def test_failed_call_is_appended_with_its_error(spans_file):
    before = read_lines(spans_file)
    result = run_example(str(spans_file), "--model", "gpt-5-nano", cwd=spans_file.parent)
    assert result.returncode == 1, result.stdout + result.stderr

    lines = read_lines(spans_file)
    assert lines[: len(before)] == before
    failed, agent = [json.loads(line) for line in lines[len(before):]]
    assert (failed["operation_name"], agent["operation_name"]) == ("chat", "invoke_agent")
    assert failed["status_code"] == 404 and "gpt-5-nano" in failed["error_message"]
    assert failed["model_name"] == "gpt-5-nano" and failed["parent_span_id"] == agent["span_id"]
    assert failed["response"] is None and failed["time_to_first_token_ms"] is None
    assert failed["total_tokens"] is None and failed["agent_actions"] == []


def test_default_file_is_spans_jsonl_in_the_working_directory(tmp_path):
    result = run_example(cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert len(read_lines(tmp_path / "spans.jsonl")) == 5
