"""How the cost of one span grows with what is piled onto it.

Times 10^4, 10^5 and 10^6 items on one span and prints the cost per item at
each size; growth is linear when the cost per item stays about the same. The
items:
  add_tag         distinct tag keys ("key-0", "key-1", ...)
  add_tag/collide tag keys that all share one value under two fixed string
                  hashes (Java's String.hashCode and DJBX33A, both made of
                  the blocks "Aa"/"BB" and then "Ez"/"FY"); the map hashes
                  with a random per-map key, so they cost what any key costs
  report_action   agent actions with arguments and a result
  to_json         exporting the span that holds the 10^n tags, then the one
                  that holds the 10^n actions (cost per tag or action)
  dict (baseline) the same distinct keys stored in a Python dict, for the
                  share of the growth that any hash table of that size shows
                  (caches and fresh pages, not the algorithm)

The Python loop that makes the calls is included in every figure (it is the
same at every size). The garbage collector is paused while a case runs.

    python bench/hostile_growth.py [--sizes 10000 100000 1000000] [--repeat 3]
"""

import argparse
import gc
import time

import korvanta_python as k


def plain_keys(n):
    return [f"key-{i}" for i in range(n)]


def colliding_keys(n):
    # "Aa" and "BB" have the same String.hashCode, "Ez" and "FY" the same
    # DJBX33A hash; strings made of the same number of such blocks collide.
    width = max(1, (n - 1).bit_length())
    blocks = (("Aa", "BB"), ("Ez", "FY"))
    return ["".join(blocks[bit % 2][(i >> bit) & 1] for bit in range(width)) for i in range(n)]


def new_span():
    return k.DURUraTracer().start_span("chat_completion", "openai", "gpt-4")


def time_tags(keys):
    span = new_span()
    add_tag = span.add_tag
    start = time.perf_counter()
    for key in keys:
        add_tag(key, "v")
    return time.perf_counter() - start, span


def time_dict(keys):
    d = {}
    start = time.perf_counter()
    for key in keys:
        d[key] = "v"
    return time.perf_counter() - start, d


def time_actions(n):
    span = new_span()
    report = span.report_action
    start = time.perf_counter()
    for _ in range(n):
        report("tool_call", "search", arguments='{"q": "x"}', result="ok", duration_ms=12)
    return time.perf_counter() - start, span


def time_export(span):
    start = time.perf_counter()
    text = span.to_json()
    elapsed = time.perf_counter() - start
    return elapsed, len(text)


def best(run, repeat):
    """The fastest of `repeat` runs of `run() -> (seconds, ...)`."""
    results = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            results.append(run())
        finally:
            gc.enable()
    return min(results, key=lambda r: r[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10**4, 10**5, 10**6])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    rows = {}  # case -> [(n, seconds)]
    for n in args.sizes:
        keys, collide = plain_keys(n), colliding_keys(n)
        seconds, tag_span = best(lambda: time_tags(keys), args.repeat)
        rows.setdefault("add_tag", []).append((n, seconds))
        seconds, _ = best(lambda: time_tags(collide), args.repeat)
        rows.setdefault("add_tag/collide", []).append((n, seconds))
        seconds, _ = best(lambda: time_dict(keys), args.repeat)
        rows.setdefault("dict (baseline)", []).append((n, seconds))
        seconds, action_span = best(lambda: time_actions(n), args.repeat)
        rows.setdefault("report_action", []).append((n, seconds))
        seconds, _ = best(lambda: time_export(tag_span), args.repeat)
        rows.setdefault("to_json (tags)", []).append((n, seconds))
        seconds, _ = best(lambda: time_export(action_span), args.repeat)
        rows.setdefault("to_json (actions)", []).append((n, seconds))
        assert tag_span.to_dict()["tags"].keys() == set(keys)
        assert action_span.agent_actions_count == n
        del tag_span, action_span

    sizes = args.sizes
    print(f"{'case':<20}" + "".join(f"{f'ns/item @{n:.0e}':>18}" for n in sizes) + f"{'last/first':>12}")
    for case, measured in rows.items():
        per_item = [seconds / n * 1e9 for n, seconds in measured]
        print(f"{case:<20}" + "".join(f"{cost:>18.1f}" for cost in per_item) + f"{per_item[-1] / per_item[0]:>12.2f}")


if __name__ == "__main__":
    main()
