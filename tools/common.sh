# Shell functions shared by dev.sh and tools/harden.sh: finding a CPython
# >= 3.12, making the project's virtual environments, installing Debian
# packages. Sourced, not run; expects ROOT (the repository) to be set.

say() { printf '\n==> %s\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# ensure_debian_packages FILE PACKAGE [FILE PACKAGE ...]: installs, in one
# apt-get call, each PACKAGE whose FILE (a glob) is missing.
ensure_debian_packages() {
  local missing=() file package
  while [ $# -gt 0 ]; do
    file=$1 package=$2
    shift 2
    if ! compgen -G "$file" >/dev/null; then missing+=("$package"); fi
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  say "installing Debian packages ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}"
}

# Prints "3.12" etc. for a CPython interpreter that runs, nothing otherwise.
cpython_version() {
  "$1" -c 'import sys; sys.implementation.name == "cpython" and print("%d.%d" % sys.version_info[:2])' \
    2>/dev/null || true
}

# $PYTHON, python3.13, python3.12, python3, then pyenv's installed versions.
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
# Extra `-C key=value` settings for building the project into a venv.
BUILD_CONFIG=()

# The test dependencies, as pyproject.toml's "test" extra lists them.
test_deps() {
  "$1" -c 'import tomllib
with open("'"$ROOT"'/pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))'
}

# make_venv PYTHON NAME PACKAGE...: creates (once) .venv/NAME, installs the
# build tools and PACKAGEs and then the project into it (with BUILD_CONFIG);
# prints its python.
make_venv() {
  local python=$1 venv="$ROOT/.venv/$2"
  shift 2
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >&2
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${BUILD_TOOLS[@]}" "$@" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C cmake.define.KORVANTA_WERROR="${KORVANTA_WERROR:-OFF}" "${BUILD_CONFIG[@]}" "$ROOT" >&2
  echo "$venv/bin/python"
}

# The test environment .venv/<version>.
venv_for() {
  local deps
  mapfile -t deps < <(test_deps "$1")
  make_venv "$1" "$(cpython_version "$1")" "${deps[@]}"
}
