"""Conversions of `parse_fasta`'s array and flag arguments.

`mapping` is converted through the NumPy bridge, and `is_rna` only after it,
so these cases need the bridge. Calls that pass every conversion use a
four-element mapping: the body then stops at its length check, before it
prints or reads anything.
"""

import gc
import re
import sys

import numpy as np
import pytest

import veltra_native


M4 = np.zeros(4, dtype=np.uint8)
LENGTH_PANIC = "assertion failed: mapping.len() == 5"
REPORT = re.compile(r"thread '<unnamed>' panicked at src/[\w/]+\.[ch]pp:\d+:\d+:\n")


def type_error_message(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


def assert_converted(capfd, mapping, is_rna):
    """All three arguments convert: the body's length check is what fails."""
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        veltra_native.parse_fasta("unused.fasta", mapping, is_rna)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (LENGTH_PANIC,)
    captured = capfd.readouterr()
    assert captured.out == ""
    assert REPORT.match(captured.err)
    assert captured.err.endswith(":\n" + LENGTH_PANIC + "\n")


class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize(
    "mapping, type_name",
    [
        ([0, 1, 2, 3, 4], "list"),
        (np.zeros(5, dtype=np.int64), "ndarray"),
        (np.zeros((1, 5), dtype=np.uint8), "ndarray"),
        (np.zeros((), dtype=np.uint8), "ndarray"),
        (np.zeros(5, dtype=np.int8), "ndarray"),
        (np.zeros(5, dtype=bool), "ndarray"),
        (np.uint8(1), "uint8"),
        (None, "NoneType"),
        (b"\0\0\0\0\0", "bytes"),
    ],
)
def test_mapping_refusals(mapping, type_name):
    assert type_error_message(lambda: veltra_native.parse_fasta("f", mapping, True)) == (
        f"argument 'mapping': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    )


@pytest.mark.parametrize(
    "mapping",
    [
        M4,
        M4.view(ArraySubclass),
        np.zeros(4, dtype=np.dtype("B")),
        np.frombuffer(b"\1\2\3\4", dtype=np.uint8),  # read-only
    ],
    ids=["plain", "subclass", "B", "read-only"],
)
def test_mapping_accepted(capfd, mapping):
    assert_converted(capfd, mapping, True)


def test_mapping_contiguity_is_the_body_check():
    strided = np.zeros(10, dtype=np.uint8)[::2]
    # Converted although not contiguous; the body refuses it unprefixed.
    assert type_error_message(lambda: veltra_native.parse_fasta("f", strided, True)) == (
        "The given array is not contiguous"
    )


@pytest.mark.parametrize(
    "is_rna",
    [True, False, np.True_, np.False_, np.bool_(1), np.array([True])[0]],
    ids=["True", "False", "np.True_", "np.False_", "np.bool_", "array-item"],
)
def test_flag_accepted(capfd, is_rna):
    assert_converted(capfd, M4, is_rna)


@pytest.mark.parametrize(
    "is_rna, type_name",
    [
        (0, "int"),
        (1, "int"),
        (None, "NoneType"),
        ("True", "str"),
        ("", "str"),
        (1.0, "float"),
        (np.int64(1), "int64"),
        (np.array(True), "ndarray"),
    ],
)
def test_flag_refusals(is_rna, type_name):
    assert type_error_message(lambda: veltra_native.parse_fasta("f", M4, is_rna)) == (
        f"argument 'is_rna': '{type_name}' object cannot be converted to 'PyBool'"
    )


# Types whose C-level name is NumPy's boolean scalar's, with or without a
# truth slot: the flag conversion trusts the name and calls the slot.
def named_type(name, **namespace):
    return type(name, (), namespace)


class DerivedTypeError(TypeError):
    pass


def raise_(error):
    def bool_slot(self):
        raise error

    return bool_slot


def test_flag_by_name_uses_the_truth_slot(capfd):
    for name in ("numpy.bool_", "numpy.bool"):
        assert_converted(capfd, M4, named_type(name, __bool__=lambda self: True)())
        assert_converted(capfd, M4, named_type(name, __bool__=lambda self: False)())


def test_flag_by_name_without_truth_slot():
    fake = named_type("numpy.bool_")
    assert type_error_message(lambda: veltra_native.parse_fasta("f", M4, fake())) == (
        f"argument 'is_rna': object of type '{fake}' does not define a '__bool__' conversion"
    )


def test_flag_by_similar_name_is_refused():
    for name in ("numpy.bool_x", "bool", "numpy.boolean"):
        assert type_error_message(lambda: veltra_native.parse_fasta("f", M4, named_type(name)())) == (
            f"argument 'is_rna': '{name}' object cannot be converted to 'PyBool'"
        )


def test_flag_errors_from_the_truth_slot():
    def call(error):
        fake = named_type("numpy.bool_", __bool__=raise_(error))
        with pytest.raises(BaseException) as info:
            veltra_native.parse_fasta("f", M4, fake())
        return info.value

    # Not exactly TypeError: raised as it is, without the argument prefix.
    for error in (ValueError("value"), DerivedTypeError("derived")):
        assert call(error) is error

    # Exactly TypeError: prefixed, keeping the original's cause.
    cause = KeyError("why")
    plain = TypeError("plain")
    plain.__cause__ = cause
    prefixed = call(plain)
    assert type(prefixed) is TypeError
    assert str(prefixed) == "argument 'is_rna': plain"
    assert prefixed.__cause__ is cause

    wrong_result = named_type("numpy.bool_", __bool__=lambda self: 2)
    assert type_error_message(lambda: veltra_native.parse_fasta("f", M4, wrong_result())) == (
        "argument 'is_rna': __bool__ should return bool, returned int"
    )


@pytest.mark.parametrize(
    "args, parameter",
    [
        ((1, [1], 1), "path"),
        (("f", [1], 1), "mapping"),
        (("f", M4, 1), "is_rna"),
    ],
)
def test_conversions_in_parameter_order(args, parameter):
    assert type_error_message(lambda: veltra_native.parse_fasta(*args)).startswith(f"argument '{parameter}': ")


def outcome(mapping, is_rna):
    try:
        veltra_native.parse_fasta("f", mapping, is_rna)
    except BaseException as error:
        return type(error).__name__, str(error)


def test_converted_arguments_are_given_back(panics):
    mapping = np.zeros(4, dtype=np.uint8)
    gc.collect()
    before = sys.getrefcount(mapping)
    for _ in range(3):
        assert outcome(mapping, 1)[0] == "TypeError"
        assert outcome(mapping, True) == ("PanicException", LENGTH_PANIC)
    gc.collect()
    assert sys.getrefcount(mapping) == before
    assert panics.take() == [LENGTH_PANIC] * 3


def test_module_panic_exception(panics):
    with pytest.raises(BaseException) as info:
        try:
            veltra_native.parse_fasta("f", M4, True)
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("PanicException was caught by 'except Exception'")
    panic_type = type(info.value)
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not hasattr(veltra_native, "PanicException")
    assert panics.take() == [LENGTH_PANIC]
