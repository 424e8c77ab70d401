"""Binding and conversion of the module functions' arguments: every case
fails, or passes its conversions, before a function body runs."""

import pathlib

import numpy as np
import pytest

import veltra_native as vn
from conftest import failure, parse
from fasta_reference import WORKED, parse_file

M = np.zeros(5, dtype=np.uint8)
M4 = np.zeros(4, dtype=np.uint8)  # passes every conversion; the body then stops before it reads anything
LENGTH_PANIC = "assertion failed: mapping.len() == 5"


def type_error_message(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


class Holder:
    class Inner:
        pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vn.parse_fasta(), "parse_fasta() missing 3 required positional arguments: 'path', 'mapping', and 'is_rna'"),
        (lambda: vn.parse_fasta(mapping=M), "parse_fasta() missing 2 required positional arguments: 'path' and 'is_rna'"),
        (lambda: vn.parse_fasta("f", is_rna=True), "parse_fasta() missing 1 required positional argument: 'mapping'"),
        (lambda: vn.parse_fasta("f", M, True, 4), "parse_fasta() takes 3 positional arguments but 4 were given"),
        (lambda: vn.concatenate_numpy([M], [M]), "concatenate_numpy() takes 1 positional arguments but 2 were given"),
        (lambda: vn.parse_fasta("f", M, True, path="g"), "parse_fasta() got multiple values for argument 'path'"),
        (lambda: vn.concatenate_awkward([], arrays=[]), "concatenate_awkward() got multiple values for argument 'arrays'"),
        (lambda: vn.concatenate_numpy(arrays=[M], axis=0), "concatenate_numpy() got an unexpected keyword argument 'axis'"),
        # Keywords match exactly.
        (lambda: vn.parse_fasta(Path="f", mapping=M, is_rna=True), "parse_fasta() got an unexpected keyword argument 'Path'"),
        (lambda: vn.awkward_from_list_of_numpy(Arrays=[]), "awkward_from_list_of_numpy() got an unexpected keyword argument 'Arrays'"),
        # A name that is not UTF-8: U+FFFD for each byte of the lone surrogate.
        (lambda: vn.parse_fasta("f", M, True, **{"\ud800": 1}), "parse_fasta() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        # Too many positional arguments come before any keyword is looked at...
        (lambda: vn.parse_fasta(1, 2, 3, 4, bogus=1, path=2), "parse_fasta() takes 3 positional arguments but 4 were given"),
        # ...keyword errors in keyword order, whichever comes first...
        (lambda: vn.parse_fasta("f", bogus=1, path="g"), "parse_fasta() got an unexpected keyword argument 'bogus'"),
        (lambda: vn.parse_fasta("f", path="g", bogus=1), "parse_fasta() got multiple values for argument 'path'"),
        # ...then missing arguments, before any conversion...
        (lambda: vn.parse_fasta(bogus=1), "parse_fasta() got an unexpected keyword argument 'bogus'"),
        (lambda: vn.parse_fasta(1, is_rna=1), "parse_fasta() missing 1 required positional argument: 'mapping'"),
        # ...and conversions in parameter order, not in keyword order.
        (lambda: vn.parse_fasta(is_rna=1, mapping=[1], path=1), "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (lambda: vn.parse_fasta("f", [1], 1), "argument 'mapping': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: vn.parse_fasta("f", M4, 1), "argument 'is_rna': 'int' object cannot be converted to 'PyBool'"),
    ],
)  # fmt: skip
def test_binding_messages_and_their_order(call, message):
    assert type_error_message(call) == message


@pytest.mark.parametrize(
    "path, type_name",
    [(b"f.fasta", "bytes"), (pathlib.Path("f.fasta"), "PosixPath"), (Holder.Inner(), "Holder.Inner"), (None, "NoneType")],
)
def test_path_refusals(path, type_name):
    assert type_error_message(lambda: vn.parse_fasta(path, M, True)) == (
        f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    )


class PathString(str):
    pass


@pytest.mark.parametrize("path", [PathString("f.fasta"), "a\0b"])
def test_path_conversion_accepts(panics, path):
    # Converted: the body's mapping check is what fails.
    assert failure(vn.parse_fasta, path, M4, True) == ("PanicException", LENGTH_PANIC)
    assert panics.take() == [LENGTH_PANIC]


def test_path_that_cannot_be_encoded_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError) as info:
        vn.parse_fasta("reads/\ud800.fasta", M, True)
    assert not str(info.value).startswith("argument")


def test_prefixed_error_has_no_cause_and_hides_its_context():
    try:
        raise KeyError("handled while calling")
    except KeyError:
        with pytest.raises(TypeError) as info:
            vn.parse_fasta(1, M, True)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


def generator():
    yield M


@pytest.mark.parametrize(
    "function, arrays",
    [(vn.concatenate_numpy, (M,)), (vn.awkward_from_list_of_numpy, generator()), (vn.concatenate_awkward, M)],
)
def test_arrays_refusals(function, arrays):
    assert type_error_message(lambda: function(arrays=arrays)) == (
        f"argument 'arrays': '{type(arrays).__name__}' object cannot be converted to 'PyList'"
    )


@pytest.mark.parametrize(
    "mapping",
    [[0, 1, 2, 3, 4], np.zeros(5, dtype=np.int64), np.zeros(5, dtype=bool), np.zeros((1, 5), dtype=np.uint8), None],
    ids=["list", "int64", "bool", "2-D", "None"],
)
def test_mapping_refusals(mapping):
    assert type_error_message(lambda: vn.parse_fasta("f", mapping, True)) == (
        f"argument 'mapping': '{type(mapping).__name__}' object cannot be converted to 'PyArray<T, D>'"
    )


class ArraySubclass(np.ndarray):
    pass


# Types whose C-level name is NumPy's boolean scalar's: the flag conversion
# trusts the name and calls the truth slot.
def named_type(name, **namespace):
    return type(name, (), namespace)


TRUE_BY_NAME = named_type("numpy.bool_", __bool__=lambda self: True)()
FALSE_BY_NAME = named_type("numpy.bool", __bool__=lambda self: False)()


@pytest.mark.parametrize(
    "mapping, is_rna",
    [
        (M.view(ArraySubclass), np.True_),
        (np.frombuffer(b"\1\2\3\4\5", dtype=np.uint8), np.False_),  # read-only
        (M, TRUE_BY_NAME),
        (M, FALSE_BY_NAME),
    ],
    ids=["subclass-numpy-true", "read-only-numpy-false", "named-true", "named-false"],
)
def test_accepted_arguments_reach_the_body(tmp_path, mapping, is_rna):
    path = tmp_path / "worked.fa"
    path.write_bytes(WORKED)
    assert parse(path, is_rna, mapping) == parse_file(WORKED, bool(is_rna))


@pytest.mark.parametrize("is_rna", [1, None, "True", np.array(True)])
def test_flag_refusals(is_rna):
    assert type_error_message(lambda: vn.parse_fasta("f", M4, is_rna)) == (
        f"argument 'is_rna': '{type(is_rna).__name__}' object cannot be converted to 'PyBool'"
    )


class DerivedTypeError(TypeError):
    pass


def raise_(error):
    def bool_slot(self):
        raise error

    return bool_slot


def test_flag_by_name_failures():
    fake = named_type("numpy.bool_")
    assert type_error_message(lambda: vn.parse_fasta("f", M4, fake())) == (
        f"argument 'is_rna': object of type '{fake}' does not define a '__bool__' conversion"
    )
    for name in ("numpy.bool_x", "numpy.boolean"):
        assert type_error_message(lambda: vn.parse_fasta("f", M4, named_type(name)())) == (
            f"argument 'is_rna': '{name}' object cannot be converted to 'PyBool'"
        )
    wrong_result = named_type("numpy.bool_", __bool__=lambda self: 2)
    assert type_error_message(lambda: vn.parse_fasta("f", M4, wrong_result())) == (
        "argument 'is_rna': __bool__ should return bool, returned int"
    )

    def raised_by_slot(error):
        with pytest.raises(BaseException) as info:
            vn.parse_fasta("f", M4, named_type("numpy.bool_", __bool__=raise_(error))())
        return info.value

    # Not exactly TypeError: raised as it is, without the argument prefix.
    for error in (ValueError("value"), DerivedTypeError("derived")):
        assert raised_by_slot(error) is error
    # Exactly TypeError: prefixed, keeping the original's cause.
    plain = TypeError("plain")
    plain.__cause__ = KeyError("why")
    prefixed = raised_by_slot(plain)
    assert type(prefixed) is TypeError and str(prefixed) == "argument 'is_rna': plain"
    assert prefixed.__cause__ is plain.__cause__
