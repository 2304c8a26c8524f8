"""The run whose execution counts ./dev.sh profile keeps for the build.

Traced calls of the OpenAI client, as the benchmark makes them (its HTTP
layer answered in memory): whole answers, streams read by korvanta, streams
whose caller asks for the usage chunk, each inside a korvanta.span block
half of the time. Run against a package built with
KORVANTA_PROFILE_GENERATE; the counts land where that build says.
"""

from __future__ import annotations

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

import bench_clients  # noqa: E402

import korvanta  # noqa: E402

ROUNDS = 400


def main() -> None:
    client, (on, off) = bench_clients.korvanta_tracer()
    on()
    for i in range(ROUNDS):
        for kind in ("whole", "whole", "streamed", "streamed_usage"):
            if i % 2:
                with korvanta.span("agent step"):
                    bench_clients._call(client, kind)
            else:
                bench_clients._call(client, kind)
        if i % 4 == 3:
            off()  # drops the spans kept, as the benchmark does between blocks
            on()
    off()


if __name__ == "__main__":
    main()
