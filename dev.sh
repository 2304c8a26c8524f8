#!/usr/bin/env bash
# The project's commands, each self-contained on a fresh machine:
#   ./dev.sh demo   build and install the extension into a virtual environment,
#                   then run examples/openai_agent.py (a traced agent against
#                   a loopback server), printing its trace as a tree
#   ./dev.sh test   run the C++ core tests (GoogleTest through CTest) and the
#                   Python tests (pytest) on CPython 3.12 and on 3.13
#   ./dev.sh bench  build the benchmarks (Release) and run them
#   ./dev.sh harden sanitizer builds of every test suite and the fuzz targets
#                   (tools/harden.sh)
#   ./dev.sh profile take the execution profiles the build optimises with
#                   (python/profile/<CPython version>/): a counting build
#                   runs tools/train_profile.py; rerun it after changing
#                   native code
# Interpreters are looked up as $PYTHON, python3.13, python3.12, python3, then
# pyenv's installed versions. KORVANTA_WERROR=ON turns warnings into errors.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")"
ROOT=$PWD

# shellcheck source=tools/common.sh
. "$ROOT/tools/common.sh"

BENCH_DEPS=(opentelemetry-sdk orjson opentelemetry-exporter-otlp-proto-http detect-secrets openai httpx langsmith opentelemetry-instrumentation-openai-v2 "opentelemetry-util-genai==0.4b0")

core_tests() {
  local venv_bin=$1
  ensure_debian_packages /usr/include/gtest/gtest.h libgtest-dev
  say "C++ core tests"
  "$venv_bin/cmake" -S "$ROOT" -B "$ROOT/build/core" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$venv_bin/ninja" -DKORVANTA_WERROR="${KORVANTA_WERROR:-OFF}" >/dev/null
  "$venv_bin/cmake" --build "$ROOT/build/core"
  "$venv_bin/ctest" --test-dir "$ROOT/build/core" --output-on-failure
}

cmd_demo() {
  local python venv_python
  python=$(find_python any) || die "no CPython 3.12 or later found (set PYTHON=/path/to/python3.12)"
  say "building korvanta_python with $python"
  venv_python=$(venv_for "$python")
  # An agent with tool calls, traced by wrap_openai against a loopback
  # OpenAI-compatible server; its spans go to a JSON Lines file in the work
  # tree and are printed as a tree.
  mkdir -p "$ROOT/build/demo"
  rm -f "$ROOT/build/demo/spans.jsonl"
  say "examples/openai_agent.py"
  "$venv_python" "$ROOT/examples/openai_agent.py" "$ROOT/build/demo/spans.jsonl" --tree
}

cmd_test() {
  local minor python venv_python tested=0 first_venv=""
  for minor in 3.12 3.13; do
    if ! python=$(find_python "$minor"); then
      printf 'warning: no CPython %s found; its Python tests are skipped\n' "$minor" >&2
      continue
    fi
    say "building korvanta_python for CPython $minor ($python)"
    venv_python=$(venv_for "$python")
    if [ -z "$first_venv" ]; then
      first_venv=$(dirname "$venv_python")
      core_tests "$first_venv"
    fi
    say "Python tests on CPython $minor"
    (cd "$ROOT" && "$venv_python" -m pytest -q python/tests)
    tested=$((tested + 1))
  done
  [ "$tested" -gt 0 ] || die "neither CPython 3.12 nor 3.13 found (set PYTHON=/path/to/python3.12)"
}

cmd_bench() {
  local python venv_python venv_bin
  python=$(find_python any) || die "no CPython 3.12 or later found (set PYTHON=/path/to/python3.12)"
  # The peers live in the benchmark's own environment, not in the tests'.
  venv_python=$(make_venv "$python" "bench-$(cpython_version "$python")" "${BENCH_DEPS[@]}")
  venv_bin=$(dirname "$venv_python")
  ensure_debian_packages /usr/include/benchmark/benchmark.h libbenchmark-dev
  say "C++ benchmarks (Google Benchmark)"
  "$venv_bin/cmake" -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv_bin/ninja" \
    -DCMAKE_BUILD_TYPE=Release -DKORVANTA_BUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
  "$venv_bin/cmake" --build "$ROOT/build/bench"
  local program
  for program in korvanta_core_benchmark korvanta_otlp_benchmark korvanta_scanner_benchmark; do
    "$ROOT/build/bench/bench/$program"
  done
  say "Python: korvanta_python beside opentelemetry-sdk, orjson and json"
  (cd "$ROOT/bench" && "$venv_python" compare.py)
}

cmd_profile() {
  local minor python venv_python work made=0
  for minor in 3.12 3.13; do
    if ! python=$(find_python "$minor"); then
      # Counts of older sources would fail the build on that version: gone.
      printf 'warning: no CPython %s found; its profile is removed, its builds go without one\n' "$minor" >&2
      rm -rf "$ROOT/python/profile/$minor"
      continue
    fi
    # The environment's own install goes without counts, in a build directory
    # of its own: the counts may be the stale ones this run replaces.
    BUILD_CONFIG=(-C cmake.define.KORVANTA_PROFILE_USE=OFF -C build-dir="$ROOT/build/noprofile-$minor")
    venv_python=$(venv_for "$python")
    BUILD_CONFIG=()
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir "$work/counts"
    say "counting build for CPython $minor"
    # A build directory of its own: the counting setting stays out of the usual one.
    "$venv_python" -m pip install -q --disable-pip-version-check --no-build-isolation --target "$work/site" \
      -C build-dir="$ROOT/build/profile-$minor" -C cmake.define.KORVANTA_PROFILE_GENERATE="$work/counts" "$ROOT"
    say "tools/train_profile.py on CPython $minor"
    PYTHONPATH="$work/site" "$venv_python" "$ROOT/tools/train_profile.py"
    compgen -G "$work/counts/*.gcda" >/dev/null || die "the training run left no counts in $work/counts"
    # Swapped in whole, so that a failure above leaves the old profile as it was.
    mkdir -p "$work/profile"
    cp "$work/counts"/*.gcda "$work/counts/taken-with.txt" "$work/profile/"
    rm -rf "$ROOT/python/profile/$minor"
    mv "$work/profile" "$ROOT/python/profile/$minor"
    rm -rf "$work"
    trap - EXIT
    made=$((made + 1))
  done
  [ "$made" -gt 0 ] || die "neither CPython 3.12 nor 3.13 found (set PYTHON=/path/to/python3.12)"
}

case "${1:-}" in
  demo) cmd_demo ;;
  test) cmd_test ;;
  bench) cmd_bench ;;
  harden) exec "$ROOT/tools/harden.sh" ;;
  profile) cmd_profile ;;
  *) echo "usage: $0 demo|test|bench|harden|profile" >&2; exit 2 ;;
esac
