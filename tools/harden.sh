#!/usr/bin/env bash
# The hardening checks, self-contained on a fresh machine:
#   1. the C++ core tests built with AddressSanitizer and UndefinedBehaviorSanitizer
#      (gcc), leak detection on;
#   2. the Python tests against the extension built the same way, with the
#      sanitizer runtimes preloaded into the interpreter (leak detection off:
#      the interpreter itself keeps memory until exit);
#   3. each libFuzzer target (clang) for a fixed time, from its seed corpus in
#      fuzz/corpus/<target>/, under ASan and UBSan; both run side by side.
# Any sanitizer report, failed test or fuzzer finding makes the script fail.
#
#   tools/harden.sh            (KORVANTA_FUZZ_SECONDS=60 per target by default)
#
# Installs what it needs: Debian's clang-14, libclang-rt-14-dev, libgtest-dev
# and nlohmann-json3-dev when missing; the interpreter is looked up as by
# dev.sh ($PYTHON, python3.13, python3.12, python3, pyenv's versions) and the
# sanitized extension goes into its own .venv/asan-<version> and
# build/asan-<wheel tag>, apart from the ones ./dev.sh builds.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
ROOT=$PWD
FUZZ_SECONDS=${KORVANTA_FUZZ_SECONDS:-60}
FUZZ_TARGETS=(uuid_parse_fuzzer json_writer_fuzzer otlp_fuzzer scanner_fuzzer sse_fuzzer)

# shellcheck source=tools/common.sh
. "$ROOT/tools/common.sh"

# .venv/asan-<version>: the test dependencies and the extension built with
# both sanitizers, in its own build directory; prints its bin directory.
sanitized_venv() {
  local deps
  mapfile -t deps < <(test_deps "$1")
  BUILD_CONFIG=(-C cmake.define.KORVANTA_SANITIZE=ON -C "build-dir=build/asan-{wheel_tag}")
  dirname "$(make_venv "$1" "asan-$(cpython_version "$1")" "${deps[@]}")"
}

sanitized_core_tests() {
  local bin=$1
  say "C++ core tests under ASan and UBSan (gcc)"
  "$bin/cmake" -S "$ROOT" -B "$ROOT/build/asan-core" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANTA_SANITIZE=ON -DKORVANTA_WERROR=ON >/dev/null
  "$bin/cmake" --build "$ROOT/build/asan-core"
  ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin/ctest" --test-dir "$ROOT/build/asan-core" --output-on-failure
}

sanitized_python_tests() {
  local bin=$1 preload
  say "Python tests under ASan and UBSan ($("$bin/python" -V))"
  preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
  # PYTHONMALLOC=malloc sends the interpreter's own objects through ASan's
  # allocator too, so a reference dropped once too often shows as a
  # use-after-free rather than going unseen inside pymalloc's arenas.
  (cd "$ROOT" && LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin/python" -m pytest -q -p no:cacheprovider python/tests)
}

fuzz() {
  local bin=$1 target status=0 log
  say "fuzz targets under ASan and UBSan (clang-14), ${FUZZ_SECONDS}s each"
  "$bin/cmake" -S "$ROOT" -B "$ROOT/build/fuzz" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVANTA_FUZZ=ON -DKORVANTA_SANITIZE=ON -DKORVANTA_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
  "$bin/cmake" --build "$ROOT/build/fuzz"
  # Inputs found on the way go to a scratch corpus, not to the seeds.
  for target in "${FUZZ_TARGETS[@]}"; do
    rm -rf "$ROOT/build/fuzz/run/$target"
    mkdir -p "$ROOT/build/fuzz/run/$target/corpus"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$ROOT/build/fuzz/fuzz/$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$ROOT/build/fuzz/run/$target/" \
      "$ROOT/build/fuzz/run/$target/corpus" "$ROOT/fuzz/corpus/$target" \
      >"$ROOT/build/fuzz/run/$target/log" 2>&1 &
  done
  for target in "${FUZZ_TARGETS[@]}"; do
    wait -n || status=1
  done
  for target in "${FUZZ_TARGETS[@]}"; do
    log="$ROOT/build/fuzz/run/$target/log"
    if grep -qE '^(==[0-9]+== ?ERROR|SUMMARY: )|deadly signal|runtime error' "$log"; then
      status=1
      printf '\n%s found a problem (input saved under build/fuzz/run/%s/):\n' "$target" "$target"
      grep -vE '^#[0-9]+' "$log" | tail -n 40
    else
      printf '%-20s %12s executions, %s corpus entries added, peak RSS %s MB\n' "$target" \
        "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" \
        "$(sed -n 's/^stat::new_units_added: *//p' "$log")" \
        "$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")"
    fi
  done
  return "$status"
}

main() {
  local python bin
  export KORVANTA_WERROR=ON
  ensure_debian_packages \
    /usr/include/gtest/gtest.h libgtest-dev \
    /usr/include/nlohmann/json.hpp nlohmann-json3-dev \
    /usr/bin/clang++-14 clang-14 \
    "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" libclang-rt-14-dev
  python=$(find_python any) || die "no CPython 3.12 or later found (set PYTHON=/path/to/python3.12)"
  say "building the sanitized korvanta_python with $python"
  bin=$(sanitized_venv "$python")
  sanitized_core_tests "$bin"
  sanitized_python_tests "$bin"
  fuzz "$bin"
  say "hardening checks passed"
}

main "$@"
