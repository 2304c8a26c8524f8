"""Packaging: `python -m build` makes an sdist and a wheel, and each of them
installs into a fresh virtual environment in which examples/quickstart.py
runs and mypy finds the type stubs.

The build runs once per test session (about half a minute) without build
isolation, with the build tools of the test environment. Installing the sdist
builds it again the way a user's pip does: in an isolated environment that
gets the build requirements named in pyproject.toml from the package index.
"""

import json
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
QUICKSTART = ROOT / "examples" / "quickstart.py"
TYPED_EXAMPLE = ROOT / "examples" / "typed_usage.py"
STUB_SOURCE = ROOT / "python" / "korvanta_python-stubs" / "__init__.pyi"
VERSION = "0.1.1"


def run(command, **kwargs):
    kwargs.setdefault("timeout", 900)
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """The sdist and the wheel that `python -m build` makes of the working tree."""
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", out, ROOT], cwd=out)
    [sdist] = out.glob("*.tar.gz")
    [wheel] = out.glob("*.whl")
    return {"sdist": sdist, "wheel": wheel}


def test_artifacts_are_named_for_the_project_version(dist):
    assert dist["sdist"].name == f"korvanta_python-{VERSION}.tar.gz"
    assert dist["wheel"].name.startswith(f"korvanta_python-{VERSION}-")


def test_wheel_holds_the_module_its_stubs_and_the_package(dist):
    with zipfile.ZipFile(dist["wheel"]) as wheel:
        names = wheel.namelist()
        stubs = wheel.read("korvanta_python-stubs/__init__.pyi").decode()
    payload = {name for name in names if not name.startswith(f"korvanta_python-{VERSION}.dist-info/")}
    package_sources = {
        f"korvanta/{path.name}" for path in (ROOT / "python" / "korvanta").iterdir() if path.suffix != ".pyc"
        and path.name != "__pycache__"
    }
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert payload == {
        "korvanta_python" + suffix,
        "korvanta_python-stubs/__init__.pyi",
        "korvanta/_native" + suffix,
        "korvanta/libkorvanta_runtime.so",
        *package_sources,
    }
    assert stubs == STUB_SOURCE.read_text()


def test_sdist_holds_the_sources_and_no_build_output(dist):
    with tarfile.open(dist["sdist"]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    for needed in [
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "core/CMakeLists.txt",
        "core/cmake/korvanta_coreConfig.cmake.in",
        "core/include/korvanta/trace_span.hpp",
        "python/CMakeLists.txt",
        "python/korvanta_python-stubs/__init__.pyi",
        "examples/quickstart.py",
        "tools/relative_sources.sh",
        # the build from the sdist optimises with every count file, or warns
        *(path.relative_to(ROOT).as_posix() for path in (ROOT / "python" / "profile").rglob("*") if path.is_file()),
    ]:
        assert needed in names
    for source_dir in ["core/src", "core/include/korvanta", "python/src", "python/native", "python/korvanta"]:
        for path in (ROOT / source_dir).iterdir():
            assert f"{source_dir}/{path.name}" in names
    junk = [n for n in names if n.split("/")[0] in {"build", ".venv", "dist"} or "__pycache__" in n or "_cache/" in n]
    assert junk == []


def test_profile_build_gives_the_compiler_paths_relative_to_the_build_directory(tmp_path):
    # Execution counts are filed under the paths the compiler was given, so
    # they must read the same from any checkout's build directory.
    root = tmp_path / "a checkout"
    build = root / "build" / "cp3-tag"
    build.mkdir(parents=True)
    given = ["-DX=1", f"-I{root}/core/include", "-isystem", f"{root}/python/src", "-isystem", "/usr/include/python3",
             "-o", "core/a.cpp.o", "-c", f"{root}/core/src/a.cpp", f"{root}x/b.cpp"]
    result = run([ROOT / "tools" / "relative_sources.sh", root, "printf", r"%s\n", *given], cwd=build)
    assert result.stdout.splitlines() == ["-DX=1", "-I../../core/include", "-isystem", "../../python/src", "-isystem",
                                          "/usr/include/python3", "-o", "core/a.cpp.o", "-c", "../../core/src/a.cpp",
                                          f"{root}x/b.cpp"]


@pytest.fixture(scope="module", params=["wheel", "sdist"])
def installed(request, dist, tmp_path_factory):
    """A fresh virtual environment with the wheel or the sdist installed; its python."""
    venv = tmp_path_factory.mktemp(f"venv_{request.param}")
    run([sys.executable, "-m", "venv", venv])
    python = venv / "bin" / "python"
    options = ["--no-index"] if request.param == "wheel" else []
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", *options, dist[request.param]])
    return python


def clean_env():
    env = dict(__import__("os").environ)
    for name in ["PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV"]:
        env.pop(name, None)
    return env


def test_module_and_stubs_come_from_the_fresh_environment(installed):
    result = run(
        [installed, "-c", "import korvanta_python, sys; print(sys.prefix); print(korvanta_python.__file__)"],
        cwd=installed.parent, env=clean_env(),
    )
    prefix, module_file = result.stdout.splitlines()
    assert Path(module_file).is_relative_to(prefix)
    assert Path(prefix) == installed.parent.parent
    stubs = Path(module_file).parent / "korvanta_python-stubs" / "__init__.pyi"
    assert stubs.read_text() == STUB_SOURCE.read_text()


def test_quickstart_runs_in_the_fresh_environment(installed, tmp_path):
    result = run([installed, QUICKSTART], cwd=tmp_path, env=clean_env(), timeout=120)
    first, _, documents = result.stdout.partition("\n")
    assert first.startswith("InstrumentedClient(EchoClient(")
    decoder, documents = json.JSONDecoder(), documents.strip()
    spans = []
    while documents:
        span, end = decoder.raw_decode(documents)
        spans.append(span)
        documents = documents[end:].lstrip()
    span, root, plan, answer = spans
    assert root["parent_span_id"] is None and root["operation_name"] == "agent_run"
    assert {plan["parent_span_id"], answer["parent_span_id"]} == {root["span_id"]}
    assert len({root["trace_id"], plan["trace_id"], answer["trace_id"]}) == 1
    assert span["end_time"] is not None
    assert [a["action_type"] for a in span["agent_actions"]] == ["tool_call", "web_access"]
    assert span["tags"] == {"environment": "production", "user_tier": "premium"}


def test_mypy_finds_the_installed_stubs(installed, tmp_path):
    # mypy from the test environment, resolving imports in the fresh one.
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    command = [
        sys.executable, "-m", "mypy", "--config-file", tmp_path / "mypy.ini", "--cache-dir", tmp_path / "cache",
        "--python-executable", installed, "--strict", TYPED_EXAMPLE,
    ]
    run(command, cwd=tmp_path, timeout=300)
