"""Shared helpers: running Python code in a fresh interpreter process."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env=None):
    """Runs `code` in a new interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=120,
    )


@pytest.fixture
def python_process():
    return run_python
