"""The installed type stubs: where they are, that they match the module, that mypy uses them."""

import ast
import importlib.util
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import veltra_native

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
INSTALLED = Path(veltra_native.__file__).parent
STUB_PATHS = [INSTALLED / "veltra_native.pyi", INSTALLED / "veltra_native-stubs" / "__init__.pyi"]

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy")


def stub_tree():
    return ast.parse(STUB_PATHS[0].read_text(), filename=str(STUB_PATHS[0]))


def stub_functions():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}


def run_mypy(cache_dir, *args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache_dir), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=600,
    )


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


def test_stubs_are_installed_beside_the_module_and_as_stub_package():
    first, second = (path.read_bytes() for path in STUB_PATHS)
    assert first == second


def test_stub_declares_exactly_the_module_functions():
    names = [
        ast.literal_eval(node.value)
        for node in stub_tree().body
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]
    ]
    assert names == [veltra_native.__all__]
    public = {name for name in stub_functions() if not name.startswith("_")}
    assert public == set(veltra_native.__all__)


_KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


@pytest.mark.parametrize("name", veltra_native.__all__)
def test_stub_signature_matches_runtime(name):
    node = stub_functions()[name]
    assert node.args.vararg is None and node.args.kwarg is None
    assert not node.args.defaults and not any(node.args.kw_defaults)
    in_stub = [(arg.arg, kind) for field, kind in _KINDS.items() for arg in getattr(node.args, field)]
    runtime = inspect.signature(getattr(veltra_native, name))
    assert in_stub == [(p.name, p.kind) for p in runtime.parameters.values()]
    assert all(p.default is inspect.Parameter.empty for p in runtime.parameters.values())
    # The runtime functions carry no doc of their own; the stubs document them.
    assert ast.get_docstring(node)


def test_sample_runs():
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "typecheck_sample.py")], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    assert "all calls returned what their types say" in result.stdout


@needs_mypy
def test_mypy_accepts_the_sample(mypy_cache, tmp_path):
    result = run_mypy(mypy_cache, EXAMPLES / "typecheck_sample.py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# Calls that fail at run time and that the stubs let mypy reject before: (call, its line's error).
WRONG_CALLS = {
    "path object": ('veltra_native.parse_fasta(pathlib.Path("f"), mapping, True)', '"Path"'),
    "int flag": ('veltra_native.parse_fasta("f", mapping, 1)', '"int"'),
    "int64 mapping": ('veltra_native.parse_fasta("f", wide, True)', "signedinteger"),
    "2-D mapping": ('veltra_native.parse_fasta("f", square, True)', "tuple[int, int]"),
    "tuple of arrays": ("veltra_native.concatenate_numpy((mapping,))", '"tuple['),
    "list of lists": ("veltra_native.awkward_from_list_of_numpy([[1, 2]])", "list[int]"),
    "list instead of tuple": ("veltra_native.concatenate_awkward([[mapping, offsets]])", "list["),
    "unknown keyword": ("veltra_native.concatenate_numpy(arrays=[mapping], axis=0)", '"axis"'),
    "result misused": ("text: str = veltra_native.concatenate_numpy([mapping])[0]", '"str"'),
}


@pytest.fixture(scope="module")
def mypy_on_wrong_calls(mypy_cache, tmp_path_factory):
    directory = tmp_path_factory.mktemp("wrong_calls")
    header = textwrap.dedent(
        """\
        import pathlib
        import numpy as np
        import numpy.typing as npt
        import veltra_native
        mapping: npt.NDArray[np.uint8] = np.zeros(5, np.uint8)
        wide: npt.NDArray[np.int64] = np.zeros(5, np.int64)
        square: np.ndarray[tuple[int, int], np.dtype[np.uint8]] = np.zeros((5, 5), np.uint8)
        offsets: npt.NDArray[np.int64] = np.zeros(1, np.int64)
        """
    ).splitlines()
    calls = [call for call, _ in WRONG_CALLS.values()]
    source = directory / "wrong_calls.py"
    source.write_text("\n".join(header + calls) + "\n")
    result = run_mypy(mypy_cache, source, cwd=directory)
    errors = {}
    for line in result.stdout.splitlines():
        parts = line.split(":", 3)
        if len(parts) == 4 and parts[2].strip() == "error":
            errors.setdefault(int(parts[1]), []).append(parts[3])
    lines = {call: len(header) + i + 1 for i, call in enumerate(calls)}
    return result, errors, lines


@needs_mypy
@pytest.mark.parametrize("case", WRONG_CALLS)
def test_mypy_rejects_wrong_calls(mypy_on_wrong_calls, case):
    result, errors, lines = mypy_on_wrong_calls
    call, expected = WRONG_CALLS[case]
    found = errors.get(lines[call], [])
    assert any(expected in message for message in found), result.stdout + result.stderr
