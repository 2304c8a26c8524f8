"""The type stubs (korvanta_python-stubs) as type checkers use them.

The stubs are checked against the installed extension with mypy's stubtest,
a typed example must pass `mypy --strict`, and misuses of the API must be
type errors (and, where the misuse is a runtime error too, fail at run time
in the same way the stubs predict).
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

import korvanta_python

ROOT = Path(__file__).resolve().parents[2]
STUB_SOURCE = ROOT / "python" / "korvanta_python-stubs" / "__init__.pyi"
TYPED_EXAMPLE = ROOT / "examples" / "typed_usage.py"
# Examples written to pass mypy --strict (the OpenAI one against openai's own
# types), and the package's own sources, which users' checkers read too.
STRICT_EXAMPLES = [
    TYPED_EXAMPLE,
    ROOT / "examples" / "openai_agent.py",
    ROOT / "examples" / "package_usage.py",
    ROOT / "python" / "korvanta",
]


@pytest.fixture(scope="module")
def mypy_run(tmp_path_factory):
    """Runs mypy (or another mypy entry) isolated from any project or user config.

    Returns a function taking the module to run (-m) and its arguments.
    """
    work = tmp_path_factory.mktemp("mypy")
    config = work / "mypy.ini"
    config.write_text("[mypy]\n")
    cache = work / "cache"

    def run(module, *args):
        config_option = "--mypy-config-file" if module == "mypy.stubtest" else "--config-file"
        command = [sys.executable, "-m", module, f"{config_option}={config}", *args]
        if module == "mypy":
            command += [f"--cache-dir={cache}", "--no-color-output", "--no-error-summary"]
        return subprocess.run(command, cwd=work, capture_output=True, text=True, timeout=600)

    return run


def test_installed_stubs_are_the_source_stubs():
    installed = Path(korvanta_python.__file__).parent / "korvanta_python-stubs" / "__init__.pyi"
    assert installed.is_file(), f"no stub package beside {korvanta_python.__file__}"
    assert installed.read_text() == STUB_SOURCE.read_text(), "installed stubs are stale: reinstall the project"


def test_stubtest_finds_stubs_and_module_in_agreement(mypy_run):
    result = mypy_run("mypy.stubtest", "korvanta_python")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


@pytest.mark.parametrize("example", STRICT_EXAMPLES, ids=lambda path: path.name)
def test_example_passes_mypy_strict(mypy_run, example):
    result = mypy_run("mypy", "--strict", str(example))
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == ""


def test_typed_example_runs():
    result = subprocess.run(
        [sys.executable, str(TYPED_EXAMPLE)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1] == "True 12 1"


# Each misuse follows PREAMBLE as its own module. Columns: the statement, the
# mypy error code it must raise (exactly one error, on that line), and the
# exception it raises at run time, or None where only the type is wrong.
PREAMBLE = """\
import korvanta_python

tracer = korvanta_python.DURUraTracer()
client = korvanta_python.instrument(object(), tracer=tracer)
span = tracer.start_span("chat_completion", "openai", "gpt-4")
"""
MISUSES = {
    "int_prompt": ("span.set_prompt(123)", "arg-type", TypeError),
    "float_ttft": ("span.set_ttft_ms(1.5)", "arg-type", TypeError),
    "str_status_code": ('span.set_error("timeout", status_code="504")', "arg-type", TypeError),
    "positional_token_counts": ("span.set_token_counts(10, 5)", "call-arg", TypeError),
    "read_only_property": ('span.prompt = "hello"', "misc", AttributeError),
    "unknown_action_type": ('span.report_action("Tool_Call", "search")', "arg-type", ValueError),
    "dict_arguments": ('span.report_action("tool_call", "search", arguments={"q": "x"})', "arg-type", TypeError),
    "int_success": ('span.report_action("tool_call", "search", success=1)', "arg-type", TypeError),
    "misspelled_method": ("span.set_ttft(5)", "attr-defined", AttributeError),
    "findings_not_called": ("first = span.security_findings[0]", "index", TypeError),
    "unknown_document_key": ('tokens = span.to_dict()["prompt_token"]', "typeddict-item", KeyError),
    "optional_response": ("length = len(span.response)", "arg-type", TypeError),
    "optional_tokens_as_int": ("count: int = span.prompt_tokens", "assignment", None),
    "positional_tenant": ('korvanta_python.DURUraTracer("0b8f4c1e-5a3d-4e2f-9c61-2d7a8b9c0d1e")', "call-arg", TypeError),
    "int_enable_security": ("korvanta_python.DURUraTracer(enable_security=1)", "arg-type", TypeError),
    "configure_with_list": ('korvanta_python.configure([("endpoint", "x")])', "arg-type", TypeError),
    "tracer_not_a_tracer": ('korvanta_python.instrument(object(), tracer="default")', "arg-type", TypeError),
    "start_span_without_model": ('client.start_span("chat_completion", "openai")', "call-arg", TypeError),
    "assign_wrapper_attribute": ("client.tracer = korvanta_python.DURUraTracer()", "misc", AttributeError),
}
MISUSE_LINE = PREAMBLE.count("\n") + 1
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<message>.*?)  \[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_errors(mypy_run, tmp_path_factory):
    """One mypy --strict run over every misuse module and the bare preamble.

    Returns, per module name, its errors as (line, code, message) tuples.
    """
    sources = tmp_path_factory.mktemp("misuses")
    files = {"preamble_only": sources / "preamble_only.py"}
    files["preamble_only"].write_text(PREAMBLE)
    for name, (statement, _, _) in MISUSES.items():
        files[name] = sources / f"misuse_{name}.py"
        files[name].write_text(PREAMBLE + statement + "\n")
    result = mypy_run("mypy", "--strict", *map(str, files.values()))
    assert result.stderr == "", result.stderr
    errors = {name: [] for name in files}
    by_path = {str(path): name for name, path in files.items()}
    for line in result.stdout.splitlines():
        match = ERROR_LINE.match(line)
        if match:
            errors[by_path[match["file"]]].append((int(match["line"]), match["code"], match["message"]))
        else:
            assert ": note: " in line, f"unexpected mypy output: {line}"
    return errors


def test_preamble_alone_is_clean(mypy_errors):
    assert mypy_errors["preamble_only"] == []


@pytest.mark.parametrize("name", MISUSES)
def test_misuse_is_a_type_error(mypy_errors, name):
    _, code, _ = MISUSES[name]
    found = [(line, found_code) for line, found_code, _ in mypy_errors[name]]
    assert found == [(MISUSE_LINE, code)], mypy_errors[name]


def test_int_prompt_error_names_the_parameter_types(mypy_errors):
    [(_, _, message)] = mypy_errors["int_prompt"]
    assert message == 'Argument 1 to "set_prompt" of "TraceSpan" has incompatible type "int"; expected "str"'


@pytest.mark.parametrize("name", [name for name, (_, _, error) in MISUSES.items() if error is not None])
def test_misuse_fails_at_run_time_too(name):
    statement, _, error = MISUSES[name]
    namespace = {}
    exec(compile(PREAMBLE, "<preamble>", "exec"), namespace)
    with pytest.raises(error):
        exec(compile(statement, f"<{name}>", "exec"), namespace)


def test_type_only_misuse_runs():
    statement, _, _ = MISUSES["optional_tokens_as_int"]
    namespace = {}
    exec(compile(PREAMBLE + statement, "<optional_tokens_as_int>", "exec"), namespace)
    assert namespace["count"] is None


def test_decorated_functions_keep_their_signature_for_type_checkers(mypy_run, tmp_path):
    source = tmp_path / "observed.py"
    source.write_text(
        "import korvanta\n"
        "@korvanta.observe\n"
        "def double(x: int) -> int:\n"
        "    return 2 * x\n"
        "@korvanta.observe('named')\n"
        "async def fetch(url: str) -> bytes:\n"
        "    return b''\n"
        "double('two')\n"
        "_ = fetch(3)\n"
        "y: str = double(2)\n"
    )
    result = mypy_run("mypy", "--strict", str(source))
    codes = [line.rsplit("[", 1)[-1].rstrip("]") for line in result.stdout.splitlines() if ": error: " in line]
    assert codes == ["arg-type", "arg-type", "assignment"], result.stdout
