"""Binding and conversion of the module functions' arguments.

Everything here fails before a function body runs, so none of it depends on
what the bodies do. Conversions that reach NumPy arrays are in
test_arguments_arrays.py.
"""

import pathlib

import numpy as np
import pytest

import veltra_native

M = np.zeros(5, dtype=np.uint8)
ARRAY_FUNCTIONS = [
    veltra_native.concatenate_numpy,
    veltra_native.concatenate_awkward,
    veltra_native.awkward_from_list_of_numpy,
]


def type_error_message(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


def error_past_conversion(call, name):
    """Runs a call whose argument `name` must convert.

    What the call does afterwards belongs to the function body or to a later
    parameter, so any outcome but a conversion error for `name` is fine here.
    """
    try:
        call()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # PanicException derives from BaseException
        assert not (type(error) is TypeError and str(error).startswith(f"argument '{name}': ")), error


@pytest.mark.parametrize(
    "call, message",
    [
        # The examples of the binding and conversion rules, word for word.
        (
            lambda: veltra_native.parse_fasta(1, M, True),
            "argument 'path': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: veltra_native.parse_fasta(pathlib.Path("f"), M, True),
            "argument 'path': 'PosixPath' object cannot be converted to 'PyString'",
        ),
        (
            lambda: veltra_native.concatenate_numpy((M, M)),
            "argument 'arrays': 'tuple' object cannot be converted to 'PyList'",
        ),
        (
            lambda: veltra_native.parse_fasta(),
            "parse_fasta() missing 3 required positional arguments: 'path', 'mapping', and 'is_rna'",
        ),
        (
            lambda: veltra_native.parse_fasta("f"),
            "parse_fasta() missing 2 required positional arguments: 'mapping' and 'is_rna'",
        ),
        (
            lambda: veltra_native.parse_fasta("f", mapping=M),
            "parse_fasta() missing 1 required positional argument: 'is_rna'",
        ),
        (
            lambda: veltra_native.parse_fasta("f", M, True, 4),
            "parse_fasta() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: veltra_native.concatenate_numpy([M], [M]),
            "concatenate_numpy() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: veltra_native.parse_fasta("f", M, True, path="g"),
            "parse_fasta() got multiple values for argument 'path'",
        ),
        (
            lambda: veltra_native.concatenate_numpy(arrays=[M], axis=0),
            "concatenate_numpy() got an unexpected keyword argument 'axis'",
        ),
    ],
)
def test_documented_messages(call, message):
    assert type_error_message(call) == message


@pytest.mark.parametrize(
    "kwargs, missing",
    [
        ({"mapping": M}, "2 required positional arguments: 'path' and 'is_rna'"),
        ({"is_rna": True}, "2 required positional arguments: 'path' and 'mapping'"),
        ({"path": "f", "is_rna": True}, "1 required positional argument: 'mapping'"),
    ],
)
def test_missing_names_only_the_empty_slots(kwargs, missing):
    assert type_error_message(lambda: veltra_native.parse_fasta(**kwargs)) == f"parse_fasta() missing {missing}"


@pytest.mark.parametrize("function", ARRAY_FUNCTIONS, ids=lambda f: f.__name__)
def test_array_function_binding(function):
    name = function.__name__
    assert type_error_message(lambda: function()) == (
        f"{name}() missing 1 required positional argument: 'arrays'"
    )
    assert type_error_message(lambda: function([], [], [])) == (
        f"{name}() takes 1 positional arguments but 3 were given"
    )
    assert type_error_message(lambda: function([], arrays=[])) == (
        f"{name}() got multiple values for argument 'arrays'"
    )
    assert type_error_message(lambda: function(Arrays=[])) == (
        f"{name}() got an unexpected keyword argument 'Arrays'"
    )
    # Bound by keyword, the argument reaches its conversion.
    assert type_error_message(lambda: function(arrays=(M,))) == (
        "argument 'arrays': 'tuple' object cannot be converted to 'PyList'"
    )


@pytest.mark.parametrize(
    "call, message",
    [
        # Too many positional arguments come before any keyword is looked at.
        (
            lambda: veltra_native.parse_fasta(1, 2, 3, 4, bogus=1, path=2),
            "parse_fasta() takes 3 positional arguments but 4 were given",
        ),
        # Keyword errors in keyword order: whichever comes first is reported.
        (
            lambda: veltra_native.parse_fasta("f", bogus=1, path="g"),
            "parse_fasta() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: veltra_native.parse_fasta("f", path="g", bogus=1),
            "parse_fasta() got multiple values for argument 'path'",
        ),
        (
            lambda: veltra_native.parse_fasta("f", M, is_rna=True, mapping=M),
            "parse_fasta() got multiple values for argument 'mapping'",
        ),
        # Keyword errors come before missing arguments...
        (
            lambda: veltra_native.parse_fasta(bogus=1),
            "parse_fasta() got an unexpected keyword argument 'bogus'",
        ),
        # ...and missing arguments before any conversion.
        (
            lambda: veltra_native.parse_fasta(1),
            "parse_fasta() missing 2 required positional arguments: 'mapping' and 'is_rna'",
        ),
        (
            lambda: veltra_native.parse_fasta(1, is_rna=1),
            "parse_fasta() missing 1 required positional argument: 'mapping'",
        ),
        # Conversions run in parameter order, not in keyword order.
        (
            lambda: veltra_native.parse_fasta(is_rna=1, mapping=[1], path=1),
            "argument 'path': 'int' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_precedence(call, message):
    assert type_error_message(call) == message


@pytest.mark.parametrize(
    "keyword, replaces",
    [("Path", "path"), ("PATH", "path"), ("path ", "path"), ("Mapping", "mapping"), ("is_RNA", "is_rna")],
)
def test_keywords_match_exactly(keyword, replaces):
    kwargs = {"path": "f", "mapping": M, "is_rna": True}
    kwargs[keyword] = kwargs.pop(replaces)
    message = type_error_message(lambda: veltra_native.parse_fasta(**kwargs))
    assert message == f"parse_fasta() got an unexpected keyword argument '{keyword}'"


def test_keyword_that_is_not_utf8_matches_nothing():
    # The name is rendered with U+FFFD for each byte of the lone surrogate.
    message = type_error_message(lambda: veltra_native.parse_fasta("f", M, True, **{"\ud800": 1}))
    assert message == "parse_fasta() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"


class Holder:
    class Inner:
        pass


class PathString(str):
    pass


@pytest.mark.parametrize(
    "path, type_name",
    [
        (1, "int"),
        (None, "NoneType"),
        (b"f.fasta", "bytes"),
        (bytearray(b"f.fasta"), "bytearray"),
        (pathlib.Path("f.fasta"), "PosixPath"),
        (pathlib.PurePosixPath("f.fasta"), "PurePosixPath"),
        (Holder.Inner(), "Holder.Inner"),  # the qualified name
        (np.int64(1), "int64"),
    ],
)
def test_path_refusals(path, type_name):
    assert type_error_message(lambda: veltra_native.parse_fasta(path, M, True)) == (
        f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    )


@pytest.mark.parametrize("path", [PathString("f.fasta"), "a\0b", np.str_("f.fasta"), ""])
def test_path_conversion_accepts(path):
    error_past_conversion(lambda: veltra_native.parse_fasta(path, None, True), "path")


@pytest.mark.parametrize("path", ["\udc80", "reads/\ud800.fasta"])
def test_path_that_cannot_be_encoded_raises_the_encoding_error(path):
    with pytest.raises(UnicodeEncodeError) as info:
        veltra_native.parse_fasta(path, M, True)
    assert not str(info.value).startswith("argument")


def test_prefixed_error_has_no_cause_and_hides_its_context():
    try:
        raise KeyError("handled while calling")
    except KeyError:
        with pytest.raises(TypeError) as info:
            veltra_native.parse_fasta(1, M, True)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


class ListOfArrays(list):
    pass


def generator():
    yield M


@pytest.mark.parametrize("function", ARRAY_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "arrays, type_name",
    [
        ((M,), "tuple"),
        (generator(), "generator"),
        (np.zeros((2, 3), dtype=np.uint8), "ndarray"),
        (None, "NoneType"),
        ({0: M}, "dict"),
        (range(2), "range"),
    ],
)
def test_arrays_refusals(function, arrays, type_name):
    assert type_error_message(lambda: function(arrays)) == (
        f"argument 'arrays': '{type_name}' object cannot be converted to 'PyList'"
    )


@pytest.mark.parametrize("function", ARRAY_FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("arrays", [[], ListOfArrays(), ListOfArrays([M])], ids=["empty", "subclass", "subclass-1"])
def test_arrays_conversion_accepts(function, arrays):
    error_past_conversion(lambda: function(arrays), "arrays")
