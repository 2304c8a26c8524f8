"""Threads sharing one tracer, one instrumented client and a pool of spans
that are handed from thread to thread through a queue. The callbacks the
module makes into Python (an argument's __index__, the json module's loads,
the client's __getattr__ and __repr__) give up the interpreter lock half way,
and the switch interval is tiny, so calls on the same span interleave. What
must hold: no crash, every export parses and is consistent with itself and
with the calls that succeeded, and the only errors are the borrow conflicts.
"""

import json
import queue
import random
import sys
import threading
import time
import types
import uuid

import pytest

import korvanta_python as k

THREADS = 6
STEPS = 5000  # per thread
SPANS = 8
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}

PROMPTS = [f"prompt {i} " + "x" * (i * 7) for i in range(5)]
RESPONSES = [f"response {i} " + "y" * (i * 11) for i in range(5)]
ERRORS = [f"error {i}" for i in range(5)]
NUMBERS = [0, 1, 503, 65535]
TAG_KEYS = [f"key{i}" for i in range(4)]
TAG_VALUES = [f"value {i} " + "z" * i for i in range(6)]


class YieldingIndex:
    """An int-like argument whose __index__ lets other threads run first."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class YieldingClient:
    """A client whose attribute lookups and repr let other threads run."""

    model = "gpt-4"

    def __getattr__(self, name):
        time.sleep(0)
        if name == "endpoint":
            return "http://127.0.0.1:8000"
        raise AttributeError(name)

    def __repr__(self):
        time.sleep(0)
        return "YieldingClient()"


@pytest.fixture
def interleaving():
    """A tiny switch interval, and a json module whose loads yields."""
    interval = sys.getswitchinterval()
    real_json = sys.modules["json"]
    yielding_json = types.ModuleType("json")

    def loads(text):
        time.sleep(0)
        return real_json.loads(text)

    yielding_json.loads = loads
    sys.setswitchinterval(1e-6)
    sys.modules["json"] = yielding_json
    yield
    sys.modules["json"] = real_json
    sys.setswitchinterval(interval)


def check_document(doc, span_id=None):
    """Consistency of one exported span with itself."""
    assert list(doc)[:3] == ["trace_id", "span_id", "parent_span_id"] and len(doc) == 24
    if span_id is not None:
        assert doc["span_id"] == span_id
    assert doc["prompt"] in PROMPTS + [""]
    assert doc["response"] in RESPONSES + [None]
    assert doc["error_message"] in ERRORS + [None]
    assert doc["status_code"] in NUMBERS + [None]
    assert doc["time_to_first_token_ms"] in NUMBERS + [None]
    assert (doc["end_time"] is None) == (doc["duration_ms"] is None)
    counts = doc["prompt_tokens"], doc["completion_tokens"]
    assert all(c in NUMBERS + [None] for c in counts)
    assert doc["total_tokens"] == (None if None in counts else sum(counts))
    assert set(doc["tags"]) <= set(TAG_KEYS) and set(doc["tags"].values()) <= set(TAG_VALUES)
    ids = [a["id"] for a in doc["agent_actions"]]
    assert len(set(ids)) == len(ids)
    for action in doc["agent_actions"]:
        assert uuid.UUID(action["id"]).version == 4
        assert action["name"] in TAG_VALUES and action["duration_ms"] in NUMBERS
        assert action["success"] == (action["duration_ms"] != 1)


def test_threads_sharing_tracer_client_and_spans(interleaving):
    tracer = k.DURUraTracer()
    client = k.instrument(YieldingClient(), tracer=tracer)
    pool = [tracer.start_span("chat_completion", "openai", "gpt-4") for _ in range(SPANS)]
    handoff = queue.Queue()
    for span in pool:
        handoff.put(span)

    lock = threading.Lock()
    unexpected = []
    conflicts = []
    # Keyed by object identity: reading span_id may itself meet a borrow.
    action_ids = {id(span): set() for span in pool}
    exports = []

    def step(rng, span):
        choice = rng.randrange(16)
        n = rng.choice(NUMBERS)
        if choice == 0:
            span.set_prompt(rng.choice(PROMPTS))
        elif choice == 1:
            span.set_ttft_ms(YieldingIndex(n))
        elif choice == 2:
            span.set_token_counts(prompt_tokens=YieldingIndex(n), completion_tokens=rng.choice([None, n]))
        elif choice == 3:
            span.set_error(rng.choice(ERRORS), YieldingIndex(n))
        elif choice == 4:
            span.set_response(rng.choice(RESPONSES))
        elif choice == 5:
            span.add_tag(rng.choice(TAG_KEYS), rng.choice(TAG_VALUES))
        elif choice in (6, 7):
            action_id = span.report_action("tool_call", rng.choice(TAG_VALUES), duration_ms=YieldingIndex(n),
                                           success=n != 1)
            with lock:
                action_ids[id(span)].add(action_id)
        elif choice == 8:
            exports.append((span, span.to_json()))
        elif choice == 9:
            exports.append((span, span.to_dict()))
        elif choice == 10:
            values = (span.prompt, span.response, span.is_complete, span.is_failed, span.duration_ms,
                      span.total_tokens, span.status_code, span.agent_actions_count, repr(span))
            assert values[0] in PROMPTS + [""] and values[-1].startswith("TraceSpan(trace_id='")
        elif choice == 11:
            new = client.start_span("op", "anthropic", "claude")
            assert new.model_name == "claude" and new.to_dict()["provider"] == "Anthropic"
        elif choice == 12:
            assert client.endpoint == "http://127.0.0.1:8000" and client.model == "gpt-4"
            assert client.tracer is tracer
        elif choice == 13:
            assert repr(client) == "InstrumentedClient(YieldingClient())"
        elif choice == 14:
            assert tracer.start_span("op", "OpenAI", "m").trace_id != span.trace_id
        else:
            assert (tracer.tenant_id, tracer.enable_security) == (tracer.tenant_id, True)

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(STEPS):
            # Take a span handed on by another thread, or one from the pool.
            try:
                span = handoff.get_nowait()
            except queue.Empty:
                span = rng.choice(pool)
            try:
                step(rng, span)
            except RuntimeError as e:
                if str(e) in BORROW_ERRORS:
                    conflicts.append(str(e))
                else:
                    unexpected.append(repr(e))
            except Exception as e:  # noqa: BLE001 - every other error fails the test below
                unexpected.append(repr(e))
            handoff.put(rng.choice(pool))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert unexpected == []
    # The interleaving was real: calls met both kinds of borrow held by
    # another thread.
    assert set(conflicts) == BORROW_ERRORS
    for span, export in exports:
        check_document(json.loads(export) if isinstance(export, str) else export, span.span_id)
    for span in pool:
        text = span.to_json()
        doc = json.loads(text)
        check_document(doc, span.span_id)
        assert span.to_dict() == doc
        # Every action whose call returned an id is there, once, and no other.
        assert {a["id"] for a in doc["agent_actions"]} == action_ids[id(span)]
        assert span.agent_actions_count == len(doc["agent_actions"])
        assert (span.prompt, span.response, span.status_code) == (doc["prompt"], doc["response"], doc["status_code"])


@pytest.mark.parametrize(
    "call",
    [
        "span.set_ttft_ms(Sleeper())",
        "span.to_dict()",
        "client.missing",
        "repr(client)",
    ],
)
def test_interpreter_exit_while_a_daemon_thread_is_inside_a_call(python_process, call):
    # The interpreter ends the thread with a forced unwind when it tries to
    # take the lock back; the process must still exit normally.
    result = python_process(
        f"""
        import json, threading, time
        import korvanta_python as k

        started = threading.Event()

        def slow(*args, **kwargs):
            # Gives the lock up and takes it back until the interpreter,
            # finalising, ends the thread at one of those takes.
            started.set()
            while True:
                time.sleep(0.0005)

        class Sleeper:
            def __index__(self):
                slow()
                return 1

        class Client:
            def __getattr__(self, name):
                slow()
            def __repr__(self):
                slow()
                return "Client()"

        span = k.DURUraTracer().start_span("op", "openai", "m")
        client = k.instrument(Client())
        json.loads = slow
        threading.Thread(target=lambda: {call}, daemon=True).start()
        started.wait(10)
        print("exiting")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "exiting\n"
