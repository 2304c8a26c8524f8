#!/usr/bin/env bash
# Installs Arize Phoenix, the real OTLP backend of the export tests, into a
# virtual environment of its own (.venv/phoenix): it pins client libraries
# older than ours. Idempotent; prints the environment's python.
set -euo pipefail
shopt -s inherit_errexit
ROOT=$(cd "$(dirname "$0")/.." && pwd)

# shellcheck source=tools/common.sh
. "$ROOT/tools/common.sh"

# Pinned: the tests read spans back through its REST API, which may change.
PHOENIX_VERSION=20.26.1
venv="$ROOT/.venv/phoenix"

installed() {
  "$venv/bin/python" -c 'import importlib.metadata as m, sys; sys.exit(m.version("arize-phoenix") != sys.argv[1])' \
    "$PHOENIX_VERSION" 2>/dev/null
}

if [ ! -x "$venv/bin/python" ] || ! installed; then
  python=$(find_python any) || die "no CPython 3.12 or later found (set PYTHON=/path/to/python3.12)"
  say "installing arize-phoenix $PHOENIX_VERSION into $venv" >&2
  "$python" -m venv "$venv" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "arize-phoenix==$PHOENIX_VERSION" >&2
fi
echo "$venv/bin/python"
