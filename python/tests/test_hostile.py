"""Hostile input: a 100 MiB prompt, tag keys made to collide under fixed
hash functions, text holding every control character and every code point
of every plane, and integers at each edge of each conversion. (How time
grows with a million tags or actions is measured by bench/hostile_growth.py,
not here.)"""

import json
import sys

import pytest

import korvanta_python as k

OUT_OF_RANGE = "out of range integral type conversion attempted"


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.fixture
def span():
    return k.DURUraTracer().start_span("chat_completion", "openai", "gpt-4")


# ---- a 100 MiB prompt ---------------------------------------------------------

BIG_PROMPT = r"""
import gc, os, resource
import korvanta_python as k

PAGE = os.sysconf("SC_PAGE_SIZE")
def current():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

SIZE = 100 << 20
# Prose with the usual escapes (quotes, backslashes, a tab, a line break),
# 64 characters, repeated: no temporary copy of the prompt is ever made.
line = 'User: "summarise C:\\logs\\app.log" -> ERROR 420\tretrying soon...\n'
assert len(line) == 64
prompt = line * (SIZE // 64)
span = k.DURUraTracer().start_span("chat_completion", "openai", "gpt-4")
span.set_prompt(prompt)
gc.collect()
# Measured from where memory stands now to the highest it has ever been:
# whatever peak came before only makes the figure larger.
before = current()
text = span.to_json()
rise = peak() - before
del text
print(SIZE, rise)
"""


# ASan copies on every realloc and keeps freed blocks in quarantine, so peak
# memory there measures the sanitizer, not the writer.
@pytest.mark.skipif(under_address_sanitizer(), reason="memory figures are the sanitizer's own under ASan")
def test_to_json_of_a_100_mib_prompt_stays_under_three_times_its_size(python_process):
    result = python_process(BIG_PROMPT)
    assert result.returncode == 0, result.stderr
    size, rise = map(int, result.stdout.split())
    # The rendering buffer and the returned str, each a little over the size.
    assert rise < 3 * size, f"to_json raised peak memory by {rise / size:.2f} times the prompt"


def test_a_100_mib_prompt_reads_back_whole(span):
    prompt = ("0123456789abcdef\n\t\"\\é" * ((100 << 20) // 21 + 1))[: 100 << 20]
    span.set_prompt(prompt)
    text = span.to_json()
    assert len(text) > len(prompt)
    assert json.loads(text)["prompt"] == prompt
    del text
    assert span.prompt == prompt


# ---- tag keys that collide under fixed hash functions ---------------------------


def colliding_keys(pair, count):
    """`count` distinct keys made of the two blocks of `pair`, which hash
    alike, so every key hashes alike."""
    width = max(1, (count - 1).bit_length())
    return ["".join(pair[(n >> bit) & 1] for bit in range(width)) for n in range(count)]


def java_string_hash(text):
    h = 0
    for ch in text:
        h = (31 * h + ord(ch)) & 0xFFFFFFFF
    return h


def djbx33a(text):
    h = 5381
    for ch in text:
        h = (33 * h + ord(ch)) & 0xFFFFFFFF
    return h


@pytest.mark.parametrize(
    "pair, fixed_hash",
    [(("Aa", "BB"), java_string_hash), (("Ez", "FY"), djbx33a)],
    ids=["java_string_hash", "djbx33a"],
)
def test_keys_colliding_under_a_fixed_hash_behave_like_any_keys(span, pair, fixed_hash):
    keys = colliding_keys(pair, 1 << 13)
    assert len(set(keys)) == len(keys) and len({fixed_hash(key) for key in keys}) == 1
    for n, key in enumerate(keys):
        span.add_tag(key, str(n))
    # Replacing keeps one entry per key.
    for n, key in enumerate(keys[::2]):
        span.add_tag(key, "replaced")
    tags = span.to_dict()["tags"]
    assert len(tags) == len(keys)
    assert all(tags[key] == ("replaced" if n % 2 == 0 else str(n)) for n, key in enumerate(keys))
    assert json.loads(span.to_json())["tags"] == tags


# ---- every control character, every plane -------------------------------------

EVERY_CODE_POINT = "".join(chr(cp) for cp in range(sys.maxunicode + 1) if not 0xD800 <= cp <= 0xDFFF)
CONTROLS = "".join(chr(cp) for cp in [*range(0x20), 0x7F, *range(0x80, 0xA0)])
# From each of the 17 planes: its first and last code points and one in the
# middle; plus the line and paragraph separators, the byte-order mark and the
# replacement character.
PLANES = "".join(chr(p << 16 | low) for p in range(17) for low in (0x0000, 0x8001, 0xFFFF))
SPECIALS = "\u2028\u2029\ufeff\ufffd"


@pytest.mark.parametrize("text", [CONTROLS, PLANES + SPECIALS, EVERY_CODE_POINT],
                         ids=["controls", "planes", "every_code_point"])
def test_text_round_trips_through_every_export(span, text):
    span.set_prompt(text)
    span.add_tag(text, text)
    span.add_tag(CONTROLS, PLANES)
    span.report_action("tool_call", text, arguments=text, result=text[:1000])
    span.set_error(text, 500)
    span.set_response(text)
    for doc in (span.to_dict(), json.loads(span.to_json())):
        assert doc["prompt"] == doc["response"] == doc["error_message"] == text
        assert doc["tags"] == {text: text, CONTROLS: PLANES}
        action = doc["agent_actions"][0]
        assert action["name"] == action["arguments"] == text and action["result"] == text[:1000]
    assert (span.prompt, span.response, span.error_message) == (text, text, text)


def test_every_control_character_is_escaped(span):
    span.set_prompt(CONTROLS)
    line = next(line for line in span.to_json().split("\n") if line.startswith('  "prompt"'))
    short = {0x08: "\\b", 0x09: "\\t", 0x0A: "\\n", 0x0C: "\\f", 0x0D: "\\r"}
    escaped = "".join(short.get(cp, f"\\u{cp:04x}") for cp in range(0x20))
    # DEL and the C1 controls are not escaped: they stand as themselves.
    assert line == '  "prompt": "' + escaped + "".join(chr(cp) for cp in [0x7F, *range(0x80, 0xA0)]) + '",'


# ---- integers at the edges of each conversion -----------------------------------

LONG_MAX = 2 ** (8 * 8 - 1) - 1  # C long on LP64 Linux
LONG_MIN = -LONG_MAX - 1

U16 = ("set_error", lambda s, v: s.set_error("e", v), "status_code")
U32_PROMPT = ("prompt_tokens", lambda s, v: s.set_token_counts(prompt_tokens=v), "prompt_tokens")
U32_COMPLETION = ("completion_tokens", lambda s, v: s.set_token_counts(completion_tokens=v), "completion_tokens")
U64 = ("set_ttft_ms", lambda s, v: s.set_ttft_ms(v), "time_to_first_token_ms")


def action_duration(span, value):
    span.report_action("tool_call", "t", duration_ms=value)


U64_ACTION = ("duration_ms", action_duration, None)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# (setter, value, expected): expected is the value read back, OUT_OF_RANGE
# for the module's own OverflowError, or "interpreter" for the
# interpreter's OverflowError passed through unchanged.
CASES = []
for setter, limit in [(U16, 2**16 - 1), (U32_PROMPT, 2**32 - 1), (U32_COMPLETION, 2**32 - 1)]:
    CASES += [
        (setter, LONG_MIN - 1, "interpreter"),
        (setter, LONG_MIN, OUT_OF_RANGE),
        (setter, -1, OUT_OF_RANGE),
        (setter, 0, 0),
        (setter, limit, limit),
        (setter, limit + 1, OUT_OF_RANGE),
        (setter, LONG_MAX, OUT_OF_RANGE),
        (setter, LONG_MAX + 1, "interpreter"),
    ]
for setter in (U64, U64_ACTION):
    CASES += [
        (setter, LONG_MIN - 1, "interpreter"),
        (setter, -1, "interpreter"),
        (setter, 0, 0),
        (setter, LONG_MAX, LONG_MAX),
        (setter, LONG_MAX + 1, LONG_MAX + 1),
        (setter, 2**64 - 1, 2**64 - 1),
        (setter, 2**64, "interpreter"),
    ]


@pytest.mark.parametrize("wrap", [int, Index], ids=["int", "__index__"])
@pytest.mark.parametrize("setter, value, expected", CASES,
                         ids=[f"{s[0]}={v}" for s, v, _ in CASES])
def test_integer_edges(span, setter, value, expected, wrap):
    name, call, field = setter
    before = span.to_dict()
    if isinstance(expected, int):
        call(span, wrap(value))
        doc = span.to_dict()
        got = doc[field] if field else doc["agent_actions"][-1]["duration_ms"]
        assert got == expected and type(got) is int
        assert f": {expected}" in span.to_json()
        return
    with pytest.raises(OverflowError) as info:
        call(span, wrap(value))
    if expected == OUT_OF_RANGE:
        assert str(info.value) == OUT_OF_RANGE
    else:
        # The interpreter's own text, passed on unchanged.
        assert str(info.value) != OUT_OF_RANGE and str(info.value)
    assert span.to_dict() == before


@pytest.mark.parametrize("setter", [U16, U32_PROMPT, U32_COMPLETION, U64, U64_ACTION], ids=lambda s: s[0])
def test_booleans_are_the_integers_0_and_1(span, setter):
    name, call, field = setter
    for value in (True, False):
        call(span, value)
        doc = span.to_dict()
        assert (doc[field] if field else doc["agent_actions"][-1]["duration_ms"]) == int(value)


# ---- nesting and instances the module did not make ----------------------------


def test_deeply_nested_wrappers_fail_cleanly_and_free_flat(python_process):
    result = python_process(
        """
        import korvanta_python as k
        tracer = k.DURUraTracer()
        w = object()
        for _ in range(100_000):
            w = k.instrument(w, tracer=tracer)
        for read in (lambda: w.missing, lambda: repr(w)):
            try:
                read()
            except RecursionError:
                print("RecursionError")
        for _ in range(900_000):
            w = k.instrument(w, tracer=tracer)
        del w
        print("freed")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["RecursionError", "RecursionError", "freed"]


def test_instances_made_without_their_record_are_refused(python_process):
    result = python_process(
        """
        import korvanta_python as k
        reads = {k.DURUraTracer: ["tenant_id"], k.TraceSpan: ["trace_id"], k.InstrumentedClient: ["tracer", "missing"]}
        for cls, names in reads.items():
            cls.__new__ = staticmethod(lambda c, *a, **kw: object.__new__(c))
            obj = cls()
            for read in [repr] + [lambda o, name=name: getattr(o, name) for name in names]:
                try:
                    read(obj)
                except TypeError as e:
                    print(e)
            del obj
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    expected = {
        name: f"{name} object was not created by its module and holds no record"
        for name in ("DURUraTracer", "TraceSpan", "InstrumentedClient")
    }
    assert lines == (
        [expected["DURUraTracer"]] * 2 + [expected["TraceSpan"]] * 2 + [expected["InstrumentedClient"]] * 3
    )
