# The module object: its contents, re-import, and refusal of a second interpreter.
import importlib
import sys

import pytest

import cadrel
from scripts import run_json

# What the import machinery itself puts on an extension module.
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_module_holds_only_the_class_and_all():
    assert cadrel.__doc__ == ""
    assert cadrel.__all__ == ["CadrelLoop"]
    assert type(cadrel.__all__) is list
    assert set(vars(cadrel)) - IMPORT_ATTRIBUTES == {"CadrelLoop", "__all__"}
    assert isinstance(cadrel.CadrelLoop, type)


def test_reimport_returns_the_same_module_without_initialising_again():
    first = sys.modules["cadrel"]
    loop_type = first.CadrelLoop
    try:
        del sys.modules["cadrel"]
        again = importlib.import_module("cadrel")
        assert again is first
        assert again.CadrelLoop is loop_type
        # A second initialisation would have appended to __all__ again.
        assert again.__all__ == ["CadrelLoop"]
    finally:
        sys.modules["cadrel"] = first


SUB_INTERPRETER_IMPORT = """
    import importlib, json, sys
    import cadrel
    first = cadrel

    try:
        import _interpreters as interpreters
        interp = interpreters.create("legacy")
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print(json.dumps({"skip": "this interpreter offers no sub-interpreters"}))
            sys.exit(0)
        # From 3.12 on, an isolated sub-interpreter refuses every single-phase module by itself;
        # ask for the legacy kind so that the refusal seen is the module's own.
        try:
            interp = interpreters.create(isolated=False)
        except TypeError:
            interp = interpreters.create()

    try:
        failure = interpreters.run_string(interp, "import cadrel")
    except Exception as error:
        text = f"{type(error).__name__}: {error}"
    else:
        # 3.13 and later return a description of the failure instead of raising.
        text = "" if failure is None else (getattr(failure, "formatted", None) or repr(failure))
    interpreters.destroy(interp)

    del sys.modules["cadrel"]
    again = importlib.import_module("cadrel")
    print(json.dumps({"text": text, "same": again is first, "all": again.__all__}))
"""


@pytest.mark.subprocess
def test_second_interpreter_cannot_import_the_module():
    result = run_json(SUB_INTERPRETER_IMPORT)
    if "skip" in result:
        pytest.skip(result["skip"])
    assert "ImportError" in result["text"]
    assert "interpreter" in result["text"].lower()
    # The refusal leaves the first interpreter's module untouched.
    assert result["same"] is True
    assert result["all"] == ["CadrelLoop"]
