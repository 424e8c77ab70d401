"""The module object, its functions, its initialisation and its PanicException."""

import importlib
import inspect
import sys

import numpy as np
import pytest

import veltra_native
from conftest import run_python

FUNCTIONS = {
    "parse_fasta": ("path", "mapping", "is_rna"),
    "concatenate_numpy": ("arrays",),
    "concatenate_awkward": ("arrays",),
    "awkward_from_list_of_numpy": ("arrays",),
}


def test_public_names_are_the_functions_in_order():
    assert veltra_native.__all__ == list(FUNCTIONS)
    public = {name for name in dir(veltra_native) if not name.startswith("_")}
    assert public == set(FUNCTIONS)
    assert veltra_native.__name__ == "veltra_native"
    assert isinstance(veltra_native.__doc__, str) and veltra_native.__doc__


@pytest.mark.parametrize("name, params", FUNCTIONS.items())
def test_function_metadata(name, params):
    function = getattr(veltra_native, name)
    assert function.__name__ == name
    assert function.__text_signature__ == "(" + ", ".join(params) + ")"
    assert function.__doc__ is None
    assert function.__module__ == "veltra_native"
    assert function.__self__ is veltra_native
    signature = inspect.signature(function)
    assert tuple(signature.parameters) == params
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_import_again_gives_the_same_module(monkeypatch):
    functions = [getattr(veltra_native, name) for name in FUNCTIONS]
    monkeypatch.delitem(sys.modules, "veltra_native")
    again = importlib.import_module("veltra_native")
    assert again is veltra_native
    assert [getattr(again, name) for name in FUNCTIONS] == functions
    assert importlib.reload(veltra_native) is veltra_native


def test_panic_exception_is_a_base_exception_outside_the_module(panics):
    with pytest.raises(BaseException) as info:
        try:
            veltra_native.parse_fasta("f", np.zeros(4, np.uint8), True)
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("PanicException was caught by 'except Exception'")
    panic_type = type(info.value)
    assert (panic_type.__module__, panic_type.__qualname__) == ("pyo3_runtime", "PanicException")
    assert "BaseException" in panic_type.__doc__
    assert panic_type.__bases__ == (BaseException,)
    assert info.value.args == ("assertion failed: mapping.len() == 5",)
    assert not hasattr(veltra_native, "PanicException")
    assert panics.take() == ["assertion failed: mapping.len() == 5"]


def test_import_and_binding_work_without_numpy():
    out = run_python(
        """
        import sys

        class BlockNumPy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ImportError("NumPy is blocked in this test")
                return None

        sys.meta_path.insert(0, BlockNumPy())
        import veltra_native

        assert "numpy" not in sys.modules
        try:
            veltra_native.parse_fasta()
        except TypeError as error:
            print(error)
        # A call that needs NumPy fails as a panic; the interpreter goes on.
        try:
            veltra_native.concatenate_awkward([])
        except BaseException as error:
            print(type(error).__name__)
        print("still running")
        """
    ).stdout.decode()
    assert out.splitlines() == [
        "parse_fasta() missing 3 required positional arguments: 'path', 'mapping', and 'is_rna'",
        "PanicException",
        "still running",
    ]


def test_subinterpreter_import_is_refused():
    out = run_python(
        """
        import veltra_native

        try:
            import _interpreters as interpreters  # 3.13 on: a failure comes back as a value

            def run(interp, code):
                failure = interpreters.run_string(interp, code)
                return failure and f"<class '{failure.type.__name__}'>: {failure.msg}"
        except ImportError:
            import _xxsubinterpreters as interpreters

            def run(interp, code):
                try:
                    interpreters.run_string(interp, code)
                except interpreters.RunFailedError as error:
                    return str(error)

        interp = interpreters.create()
        try:
            failure = run(interp, "import veltra_native")
            print(f"refused: {failure}" if failure else "imported")
        finally:
            interpreters.destroy(interp)
        # The main interpreter keeps its module.
        import importlib
        print(importlib.import_module("veltra_native") is veltra_native)
        """
    ).stdout.decode()
    first, second = out.splitlines()
    assert first.startswith("refused: <class 'ImportError'>: ")
    assert "subinterpreters" in first
    assert second == "True"
