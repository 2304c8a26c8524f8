"""Internal faults for real: the C library's getrandom and clock_gettime are
replaced by a preloaded library in a subprocess."""

import errno

import pytest


def test_random_source_failure_raises_panic_exception(fake_libc):
    result = fake_libc(
        f"""
        import korvanta_python as k
        tracer = k.DURUraTracer()
        fake.fake_libc_getrandom_fail({errno.EIO})
        try:
            try:
                tracer.start_span("op", "openai", "m")
            except Exception:
                print("caught by except Exception")
        except BaseException as e:
            print(type(e).__qualname__, type(e).__module__, type(e).__mro__[1].__name__, e.args)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "PanicException ostrel_runtime BaseException "
        "('could not retrieve random bytes for uuid: OS Error: 5',)\n"
    )


def test_tracer_without_tenant_draws_from_the_failing_source(fake_libc):
    result = fake_libc(
        """
        import korvanta_python as k
        fake.fake_libc_getrandom_fail(5)
        try:
            k.DURUraTracer()
        except BaseException as e:
            print(type(e).__name__, e)
        # A given tenant draws nothing, so it still works.
        print(k.DURUraTracer(tenant_id="67e55044-10b1-426f-9247-bb680e5fe0c8").tenant_id)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException could not retrieve random bytes for uuid: OS Error: 5",
        "67e55044-10b1-426f-9247-bb680e5fe0c8",
    ]


def test_unavailable_getrandom_falls_back_to_dev_urandom(fake_libc):
    result = fake_libc(
        f"""
        import uuid
        import korvanta_python as k
        tracer = k.DURUraTracer()
        fake.fake_libc_reset()
        fake.fake_libc_getrandom_fail({errno.ENOSYS})
        ids = set()
        for _ in range(50):
            span = tracer.start_span("op", "openai", "m")
            for text in (span.trace_id, span.span_id):
                assert uuid.UUID(text).version == 4 and uuid.UUID(text).variant == uuid.RFC_4122
                ids.add(text)
        print(len(ids), fake.fake_libc_getrandom_calls())
        """
    )
    assert result.returncode == 0, result.stderr
    # 100 distinct ids; getrandom was asked once and then never again.
    assert result.stdout == "100 1\n"


def test_short_reads_and_interruptions_still_give_identifiers(fake_libc):
    result = fake_libc(
        """
        import korvanta_python as k
        fake.fake_libc_getrandom_trickle(1)
        span = k.DURUraTracer().start_span("op", "openai", "m")
        print(span.trace_id[14], span.trace_id != span.span_id)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "4 True\n"


@pytest.mark.parametrize("operation", ["start", "finish"])
def test_clock_before_epoch(fake_libc, operation):
    result = fake_libc(
        f"""
        import korvanta_python as k
        span = k.DURUraTracer().start_span("op", "openai", "m")
        fake.fake_libc_clock_set(-10, 0)
        try:
            if {operation!r} == "start":
                k.DURUraTracer().start_span("op", "openai", "m")
            else:
                span.set_response("late")
        except BaseException as e:
            print(type(e).__name__, e)
        # A failed finish leaves the span as it was.
        print(span.response, span.is_complete)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException system time before Unix epoch", "None False"]


def test_panic_exception_class_is_made_once(fake_libc):
    result = fake_libc(
        """
        import korvanta_python as k
        tracer = k.DURUraTracer()
        fake.fake_libc_getrandom_fail(5)
        classes = []
        for _ in range(3):
            try:
                tracer.start_span("op", "openai", "m")
            except BaseException as e:
                classes.append(type(e))
        print(len(set(classes)), classes[0].__doc__.splitlines()[0])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "1 The exception raised when native code called from Python panics.\n"


def test_panic_coming_back_from_python_code_is_a_new_panic(fake_libc):
    result = fake_libc(
        """
        import korvanta_python as k
        tracer = k.DURUraTracer()
        fake.fake_libc_getrandom_fail(5)
        try:
            tracer.start_span("op", "openai", "m")
        except BaseException as e:
            Panic = type(e)
        fake.fake_libc_reset()
        span = tracer.start_span("op", "openai", "m")

        class Index:
            def __index__(self):
                raise Panic("raised in __index__")

        try:
            span.set_ttft_ms(Index())
        except BaseException as e:
            print(type(e) is Panic, e.args)
        span.set_prompt("still usable")
        print(span.prompt)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True ('raised in __index__',)", "still usable"]
    assert "raised in __index__" in result.stderr


def test_clock_that_cannot_be_read_is_a_fault_and_changes_nothing(fake_libc):
    result = fake_libc(
        """
        import korvanta_python as k
        span = k.DURUraTracer().start_span("op", "openai", "m")
        fake.fake_libc_clock_fail(22)
        for call in (lambda: span.report_action("tool_call", "search"), lambda: span.set_response("late")):
            try:
                call()
            except BaseException as e:
                print(type(e).__name__, e)
        print(span.response, span.is_complete, span.agent_actions_count)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException could not read the system clock: OS Error: 22",
        "PanicException could not read the system clock: OS Error: 22",
        "None False 0",
    ]


def test_duration_from_a_start_at_the_clock_limit_does_not_overflow(fake_libc):
    result = fake_libc(
        """
        import korvanta_python as k
        fake.fake_libc_clock_set(ctypes.c_long(2**63 - 1), 999_999_999)
        span = k.DURUraTracer().start_span("op", "openai", "m")
        fake.fake_libc_reset()
        span.set_response("done")
        print(span.duration_ms, span.to_dict()["duration_ms"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0 0\n"


def test_setters_never_need_the_random_source(fake_libc):
    result = fake_libc(
        """
        import korvanta_python as k
        span = k.DURUraTracer().start_span("op", "openai", "m")
        fake.fake_libc_getrandom_fail(5)
        span.add_tag("user", "u-1")
        print(span.to_dict()["tags"])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "{'user': 'u-1'}\n"
