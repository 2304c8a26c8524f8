"""The korvanta package: nested spans, the context that follows them, the
pipeline that receives them, and the record slots it fills."""

import asyncio
import json
import logging
import threading

import pytest

import korvanta
import korvanta_python as k


class Recorder:
    """A processor keeping what it receives."""

    def __init__(self):
        self.spans, self.flushed, self.shut = [], 0, 0
        self.lock = threading.Lock()

    def on_end(self, span):
        with self.lock:
            self.spans.append(span)

    def force_flush(self, timeout=None):
        self.flushed += 1
        return True

    def shutdown(self):
        self.shut += 1


@pytest.fixture
def recorder():
    rec = Recorder()
    korvanta.setup(processors=[rec])
    yield rec
    korvanta.setup()


def doc(span):
    return span.to_dict()


async def nested_async_blocks():
    spans = []

    async def nest(names):
        async with korvanta.span(names[0]) as s:
            spans.append(s)
            if names[1:]:
                await nest(names[1:])

    await nest(["root", "child", "grandchild"])
    return spans


@pytest.mark.parametrize("mode", ["sync", "async"])
def test_blocks_nest_in_one_trace_and_reach_the_pipeline_in_end_order(recorder, mode):
    if mode == "sync":
        with korvanta.span("root", tags={"team": "search"}) as root:
            assert korvanta.current_span() is root
            with korvanta.span("child", provider="openai", model="gpt-4o") as child:
                with korvanta.span("grandchild") as grandchild:
                    assert korvanta.current_span() is grandchild
                assert korvanta.current_span() is child
        spans = [root, child, grandchild]
    else:
        spans = asyncio.run(nested_async_blocks())
    assert korvanta.current_span() is None
    docs = [doc(s) for s in spans]
    assert len({d["trace_id"] for d in docs}) == 1
    assert [d["parent_span_id"] for d in docs] == [None, docs[0]["span_id"], docs[1]["span_id"]]
    assert all(d["end_time"] is not None and d["response"] is None for d in docs)
    assert recorder.spans == spans[::-1]
    if mode == "sync":
        assert docs[0]["tags"] == {"team": "search"} and docs[1]["provider"] == "OpenAI"


def test_a_failing_block_records_the_error_and_raises_it_unchanged(recorder):
    error = KeyError("missing")
    with pytest.raises(KeyError) as raised:
        with korvanta.span("step") as s:
            raise error
    assert raised.value is error
    assert (s.error_message, s.is_failed, recorder.spans) == ("KeyError: 'missing'", True, [s])


def test_a_response_set_inside_the_block_is_kept(recorder):
    with korvanta.span("chat") as s:
        s.set_response("hello")
    assert doc(s)["response"] == "hello" and recorder.spans == [s]


def test_context_follows_tasks_and_pool_workers(recorder):
    async def child(name):
        await asyncio.sleep(0)
        with korvanta.span(name) as s:
            return s

    async def main():
        with korvanta.span("agent") as root:
            tasks = await asyncio.gather(child("a"), child("b"))
        return root, tasks

    root, tasks = asyncio.run(main())
    with korvanta.span("fan-out") as pool_root, korvanta.ContextThreadPoolExecutor(4) as pool:
        workers = list(pool.map(lambda n: korvanta.span(n).__enter__(), ["w1", "w2", "w3"]))
    for parent, children in ((root, tasks), (pool_root, workers)):
        for c in children:
            assert (doc(c)["trace_id"], doc(c)["parent_span_id"]) == (parent.trace_id, parent.span_id)


def test_attributes_stamp_every_span_started_inside_and_nest(recorder):
    with korvanta.attributes(session_id="s-1", user_id=7):
        with korvanta.attributes(user_id="u-8", step="plan"):
            with korvanta.span("inner", tags={"step": "act"}) as inner:
                pass
        with korvanta.span("outer") as outer:
            pass
    with korvanta.span("after") as after:
        pass
    assert doc(inner)["tags"] == {"session_id": "s-1", "user_id": "u-8", "step": "act"}
    assert doc(outer)["tags"] == {"session_id": "s-1", "user_id": "7"}
    assert doc(after)["tags"] == {}


@pytest.mark.parametrize("kind", ["function", "coroutine", "generator", "async generator"])
def test_observe_records_arguments_result_and_nesting(recorder, kind):
    seen = []

    if kind == "function":
        @korvanta.observe
        def work(query, limit=3):
            seen.append(korvanta.current_span())
            return {"hits": [query] * limit}
        call = lambda: work("q", limit=2)  # noqa: E731
    elif kind == "coroutine":
        @korvanta.observe()
        async def work(query, limit=3):
            seen.append(korvanta.current_span())
            return {"hits": [query] * limit}
        call = lambda: asyncio.run(work("q", limit=2))  # noqa: E731
    elif kind == "generator":
        @korvanta.observe(name="work")
        def work(query, limit=3):
            for _ in range(limit):
                seen.append(korvanta.current_span())
                yield query
        call = lambda: list(work("q", limit=2))  # noqa: E731
    else:
        @korvanta.observe("work")
        async def work(query, limit=3):
            for _ in range(limit):
                seen.append(korvanta.current_span())
                yield query

        async def drain():
            return [x async for x in work("q", limit=2)]
        call = lambda: asyncio.run(drain())  # noqa: E731

    with korvanta.span("caller") as caller:
        call()
        assert korvanta.current_span() is caller
    [span, _] = recorder.spans
    d = doc(span)
    assert d["operation_name"].endswith("work") and d["parent_span_id"] == caller.span_id
    assert json.loads(d["prompt"]) == {"query": "q", "limit": 2}
    expected = ["q", "q"] if "generator" in kind else {"hits": ["q", "q"]}
    assert json.loads(d["response"]) == expected
    assert seen and all(s is span for s in seen)


def test_observed_generator_closed_early_ends_with_what_it_yielded(recorder):
    @korvanta.observe(capture_input=False)
    def numbers():
        yield from range(10)

    gen = numbers()
    assert recorder.spans == [] and (next(gen), next(gen)) == (0, 1)
    assert korvanta.current_span() is None
    gen.close()
    [span] = recorder.spans
    assert (span.prompt, span.response, span.is_failed) == ("", "[0,1]", False)


def test_unserialisable_values_are_captured_as_repr(recorder):
    @korvanta.observe
    def f(x):
        raise ValueError("bad")

    with pytest.raises(ValueError):
        f(object)
    assert json.loads(recorder.spans[0].prompt) == {"x": "<class 'object'>"}
    assert recorder.spans[0].error_message == "ValueError: bad"


def test_sampling_keeps_or_drops_whole_traces_by_trace_id(recorder):
    korvanta.setup(processors=[recorder], sample_rate=0.5)
    roots = []
    for _ in range(1000):
        with korvanta.span("root") as root, korvanta.span("child"):
            roots.append(root)
    kept = {s.trace_id for s in recorder.spans}
    expected = {r.trace_id for r in roots if int(r.trace_id.replace("-", "")[:16], 16) < 2**63}
    assert kept == expected and 400 < len(kept) < 600
    assert len(recorder.spans) == 2 * len(kept)


def test_setup_replaces_the_pipeline_and_reaches_every_processor():
    first, second, third = Recorder(), Recorder(), Recorder()
    with korvanta.span("before setup"):
        pass
    korvanta.setup(processors=[first])
    korvanta.setup(processors=[second, third])
    with korvanta.span("s") as s:
        pass
    assert korvanta.flush(1.0) is True
    korvanta.shutdown()
    with korvanta.span("after shutdown"):
        pass
    assert (first.spans, first.shut) == ([], 1)
    for rec in (second, third):
        assert (rec.spans, rec.flushed, rec.shut) == ([s], 1, 1)
    korvanta.setup()


def test_a_failing_processor_is_logged_once_and_breaks_nothing(recorder, caplog):
    class Broken:
        def on_end(self, span):
            raise RuntimeError("exporter down")

    korvanta.setup(processors=[Broken(), recorder])
    with caplog.at_level(logging.WARNING, logger="korvanta"):
        for _ in range(3):
            with korvanta.span("s"):
                pass
    assert len(recorder.spans) == 3
    assert [r.getMessage().split(" (")[0] for r in caplog.records] == ["Broken.on_end raised RuntimeError: exporter down"]


def test_end_hands_a_module_made_span_over_once(recorder):
    tracer = k.DURUraTracer()
    with korvanta.span("outer"):
        s = tracer.start_span("chat", "openai", "gpt-4o")
    assert not s.is_complete
    korvanta.end(s, tracer=tracer)
    korvanta.end(s)
    assert s.is_complete and doc(s)["parent_span_id"] is None and recorder.spans[1:] == [s]


def test_spans_ended_from_many_threads_reach_each_processor_exactly_once(recorder):
    other = Recorder()
    korvanta.setup(processors=[recorder, other])
    shared = [k.DURUraTracer().start_span("s", "", "") for _ in range(200)]
    own = []

    def work():
        for s in shared:
            korvanta.end(s)
        for _ in range(50):
            with korvanta.span("own") as s:
                own.append(s)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for rec in (recorder, other):
        assert sorted(map(id, rec.spans)) == sorted(map(id, shared + own))


def test_the_slots_the_module_never_fills(recorder):
    with korvanta.span("tool step") as s:
        action_id = korvanta.report_action(
            s, "web_access", "https://example.com", arguments="{}", result="ok", duration_ms=12, success=False,
            exit_code=-1, http_method="GET", http_status=503, file_operation=None, metadata={"attempt": "2"},
        )
        korvanta.add_event(s, "retry", {"attempt": 2}, description="backing off")
        korvanta.set_cost(s, 0.0125)
    d = doc(s)
    [action] = d["agent_actions"]
    assert action["id"] == action_id and {key: action[key] for key in (
        "action_type", "arguments", "result", "duration_ms", "success", "exit_code", "http_method", "http_status",
        "metadata")} == {
        "action_type": "web_access", "arguments": "{}", "result": "ok", "duration_ms": 12, "success": False,
        "exit_code": -1, "http_method": "GET", "http_status": 503, "metadata": {"attempt": "2"}}
    [event] = d["events"]
    assert (event["event_type"], event["description"], event["data"]) == ("retry", "backing off", {"attempt": "2"})
    assert d["estimated_cost_usd"] == 0.0125


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: korvanta.set_cost(s, -1.0), ValueError, "argument 'usd': expected a finite amount no less than zero"),
        (lambda s: korvanta.set_cost(s, float("nan")), ValueError, "argument 'usd': expected a finite amount no less than zero"),
        (lambda s: korvanta.set_cost("span", 1.0), TypeError, "argument 'span': 'str' object cannot be converted to 'TraceSpan'"),
        (lambda s: korvanta.report_action(s, "tool_call", "t", exit_code=2**31), OverflowError, "out of range integral type conversion attempted"),
        (lambda s: korvanta.report_action(s, "tool_call", "t", metadata={"a": 1}), TypeError, "argument 'metadata': expected a dict of str to str"),
        (lambda s: korvanta.report_action(s, "teleport", "t"), ValueError, "Invalid action_type: 'teleport'. Expected one of: tool_call, skill_invocation, command_execution, web_access, file_access"),
    ],
)
def test_bad_input_to_the_slot_setters_changes_nothing(call, error, message):
    s = k.DURUraTracer().start_span("s", "", "")
    before = s.to_json()
    with pytest.raises(error) as raised:
        call(s)
    assert str(raised.value) == message and s.to_json() == before


def test_internal_faults_of_the_package_raise_the_module_s_exception_class(fake_libc):
    result = fake_libc(
        """
        import korvanta, korvanta_python as k
        tracer = k.DURUraTracer()
        fake.fake_libc_getrandom_fail(5)
        caught = []
        for start in (lambda: tracer.start_span("a", "", ""), lambda: korvanta.span("b").__enter__()):
            try:
                start()
            except BaseException as e:
                caught.append(type(e))
        print(caught[0] is caught[1], caught[0].__module__, caught[0].__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True ostrel_runtime PanicException\n"
