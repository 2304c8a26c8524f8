"""Module start-up: one module per process, its attributes, sub-interpreters."""

import importlib
import sys

import pytest

import korvanta_python


def test_version_doc_and_all():
    assert korvanta_python.__version__ == "0.1.1"
    assert korvanta_python.__doc__ == "Korvanta Python bindings."
    assert korvanta_python.__name__ == "korvanta_python"
    assert type(korvanta_python.__all__) is list
    assert korvanta_python.__all__[0] == "__version__"
    for name in korvanta_python.__all__:
        assert hasattr(korvanta_python, name)


def test_reimport_returns_the_same_module():
    again = importlib.import_module("korvanta_python")
    assert again is korvanta_python
    del sys.modules["korvanta_python"]
    try:
        fresh = importlib.import_module("korvanta_python")
        assert fresh is korvanta_python
        assert fresh.__all__ is korvanta_python.__all__
    finally:
        sys.modules["korvanta_python"] = korvanta_python


def test_reimport_registers_nothing_twice(python_process):
    result = python_process(
        """
        import sys
        import korvanta_python as first
        names = list(first.__all__)
        del sys.modules["korvanta_python"]
        import korvanta_python as second
        assert second is first
        assert second.__all__ == names, second.__all__
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_import_in_a_sub_interpreter_is_refused(python_process, tmp_path):
    out = tmp_path / "outcome.txt"
    result = python_process(
        f"""
        import _testcapi
        import korvanta_python
        code = '''
        try:
            import korvanta_python
        except ImportError as e:
            outcome = "ImportError: " + str(e)
        else:
            outcome = "imported"
        with open({str(out)!r}, "w") as f:
            f.write(outcome)
        '''
        assert _testcapi.run_in_subinterp(code) == 0
        # The first interpreter's module is unaffected.
        assert korvanta_python.__version__ == "0.1.1"
        """
    )
    assert result.returncode == 0, result.stderr
    assert out.read_text() == (
        "ImportError: korvanta_python does not support sub-interpreters: "
        "it is already initialised in another interpreter of this process"
    )


@pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="3.12 refuses the module only after running it")
def test_refusal_in_an_isolated_sub_interpreter_leaves_the_module_to_the_main_one(python_process):
    result = python_process(
        """
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=True)
        try:
            interpreters.run_string(interp, "import korvanta_python")
        except Exception as e:
            print("refused:", "does not support loading in subinterpreters" in str(e))
        import korvanta_python
        print(korvanta_python.__version__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["refused: True", "0.1.1"]
