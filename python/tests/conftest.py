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


FAKE_LIBC_SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "core", "tests", "fake_libc.c")


@pytest.fixture(scope="session")
def fake_libc(tmp_path_factory):
    """Builds the stand-in for getrandom/clock_gettime as a preload library.

    Returns a function that runs Python code in a subprocess with the library
    preloaded; the code arms it through ctypes (see fake_libc.c).
    """
    library = tmp_path_factory.mktemp("fake_libc") / "fake_libc.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O1", "-o", str(library), FAKE_LIBC_SOURCE, "-ldl"],
        check=True,
    )
    prelude = "import ctypes\nfake = ctypes.CDLL(None)\n"

    # A preload already in force (a sanitizer runtime, which must come first)
    # stays in front of the stand-in.
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))

    def run(code):
        return run_python(prelude + textwrap.dedent(code), env={"LD_PRELOAD": preload})

    return run
