#!/usr/bin/env bash
# The project's two commands, both self-contained on a fresh machine:
#   ./dev.sh demo   build and install the extension into a virtual environment,
#                   then run examples/quickstart.py
#   ./dev.sh test   run the C++ core tests (GoogleTest through CTest) and the
#                   Python tests (pytest) on CPython 3.12 and on 3.13
#   ./dev.sh bench  build the benchmarks (Release) and run them
# Interpreters are looked up as $PYTHON, python3.13, python3.12, python3, then
# pyenv's installed versions. KORVANTA_WERROR=ON turns warnings into errors.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")"
ROOT=$PWD
WERROR=${KORVANTA_WERROR:-OFF}

say() { printf '\n==> %s\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

# Prints "3.12" etc. for a CPython interpreter that runs, nothing otherwise.
cpython_version() {
  "$1" -c 'import sys; sys.implementation.name == "cpython" and print("%d.%d" % sys.version_info[:2])' \
    2>/dev/null || true
}

candidates() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; fi
  local name root
  for name in python3.13 python3.12 python3; do
    command -v "$name" 2>/dev/null || true
  done
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for name in "$root"/versions/*/bin/python3; do
    if [ -x "$name" ]; then echo "$name"; fi
  done
}

# find_python MINOR: the first candidate of exactly that version ("3.12"), or
# with MINOR "any" the first of 3.12 or later.
find_python() {
  local want=$1 exe version
  while read -r exe; do
    version=$(cpython_version "$exe")
    [ -n "$version" ] || continue
    if [ "$want" = any ]; then
      if [ "${version%%.*}" -eq 3 ] && [ "${version#*.}" -ge 12 ]; then echo "$exe"; return 0; fi
    elif [ "$version" = "$want" ]; then
      echo "$exe"; return 0
    fi
  done < <(candidates)
  return 1
}

BUILD_TOOLS=("scikit-build-core>=0.10" "cmake>=3.21" ninja)
TEST_DEPS=("pytest>=8" "numpy>=1.26" "openai>=1.0" "mypy>=1.15" "build>=1.2")
BENCH_DEPS=(opentelemetry-sdk orjson)

# make_venv PYTHON NAME PACKAGE...: creates (once) .venv/NAME, installs the
# build tools and PACKAGEs and then the project into it; prints its python.
make_venv() {
  local python=$1 venv="$ROOT/.venv/$2"
  shift 2
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >&2
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${BUILD_TOOLS[@]}" "$@" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C cmake.define.KORVANTA_WERROR="$WERROR" "$ROOT" >&2
  echo "$venv/bin/python"
}

# venv_for PYTHON: the test environment .venv/<version>.
venv_for() {
  make_venv "$1" "$(cpython_version "$1")" "${TEST_DEPS[@]}"
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ensure_debian_package HEADER PACKAGE: installs PACKAGE when HEADER is missing.
ensure_debian_package() {
  if [ -f "$1" ]; then return 0; fi
  say "installing Debian package $2"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "$2"
}

core_tests() {
  local venv_bin=$1
  ensure_debian_package /usr/include/gtest/gtest.h libgtest-dev
  say "C++ core tests"
  "$venv_bin/cmake" -S "$ROOT" -B "$ROOT/build/core" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$venv_bin/ninja" -DKORVANTA_WERROR="$WERROR" >/dev/null
  "$venv_bin/cmake" --build "$ROOT/build/core"
  "$venv_bin/ctest" --test-dir "$ROOT/build/core" --output-on-failure
}

cmd_demo() {
  local python venv_python
  python=$(find_python any) || die "no CPython 3.12 or later found (set PYTHON=/path/to/python3.12)"
  say "building korvanta_python with $python"
  venv_python=$(venv_for "$python")
  say "examples/quickstart.py"
  "$venv_python" "$ROOT/examples/quickstart.py"
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
  ensure_debian_package /usr/include/benchmark/benchmark.h libbenchmark-dev
  say "C++ benchmarks (Google Benchmark)"
  "$venv_bin/cmake" -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv_bin/ninja" \
    -DCMAKE_BUILD_TYPE=Release -DKORVANTA_BUILD_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
  "$venv_bin/cmake" --build "$ROOT/build/bench"
  "$ROOT/build/bench/bench/korvanta_core_benchmark"
  say "Python: korvanta_python beside opentelemetry-sdk, orjson and json"
  (cd "$ROOT/bench" && "$venv_python" compare.py)
}

case "${1:-}" in
  demo) cmd_demo ;;
  test) cmd_test ;;
  bench) cmd_bench ;;
  *) echo "usage: $0 demo|test|bench" >&2; exit 2 ;;
esac
