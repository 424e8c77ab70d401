"""concatenate_numpy, awkward_from_list_of_numpy and concatenate_awkward."""

import collections
import sys

import numpy as np
import pytest

import veltra_native as vn

u8 = lambda *values: np.array(values, dtype=np.uint8)  # noqa: E731
i64 = lambda *values: np.array(values, dtype=np.int64)  # noqa: E731


def raw(*arrays):
    return np.frombuffer(b"".join(np.asarray(a).tobytes(order="A") for a in arrays), np.uint8)


def assert_result(result, content, offsets):
    assert isinstance(result, tuple) and len(result) == 2
    got_content, got_offsets = result
    assert got_content.dtype == np.uint8 and got_offsets.dtype == np.int64
    assert got_content.ndim == 1 and got_offsets.ndim == 1
    assert got_content.flags.writeable and got_offsets.flags.writeable
    np.testing.assert_array_equal(got_content, content)
    np.testing.assert_array_equal(got_offsets, offsets)


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


# ---------------------------------------------------------------------------
# concatenate_numpy

fortran = np.asfortranarray(np.arange(6, dtype=np.int32).reshape(2, 3))
big_endian = np.arange(3, dtype=">i8")


@pytest.mark.parametrize(
    "arrays, starts",
    [
        ([np.arange(3, dtype=np.int64), np.arange(2, dtype=np.int64)], [0, 24]),
        ([np.arange(5, dtype=np.int16)], [0]),
        ([u8(1, 2), u8(), u8(3)], [0, 2, 2]),
        ([u8(1, 2), u8()], [0, 2]),
        ([u8(), u8(), u8()], [0, 0, 0]),
        ([np.arange(6, dtype=np.int32).reshape(2, 3), fortran], [0, 24]),
        ([np.array(7, dtype=np.int64), np.array([8], dtype=np.int64)], [0, 8]),
        ([big_endian, big_endian[::-1].copy()], [0, 24]),
        ([np.array([b"ab", b"c"], dtype="S3")], [0]),
    ],
    ids=["int64", "one", "zero-length-middle", "zero-length-last", "all-empty", "c-and-fortran", "0-d",
         "big-endian", "bytes-dtype"],
)
def test_concatenate_numpy_joins_memory(arrays, starts):
    # Fortran arrays contribute their memory in column order.
    assert_result(vn.concatenate_numpy(arrays), raw(*arrays), starts)


def test_concatenate_numpy_content_views_back_as_input_dtype():
    a, b = np.array([1.5, -2.0]), np.array([3.25])
    content, starts = vn.concatenate_numpy([a, b])
    np.testing.assert_array_equal(content.view(np.float64), [1.5, -2.0, 3.25])
    assert starts.tolist() == [0, 16]


@pytest.mark.parametrize(
    "arrays, error, message",
    [
        ([], ValueError, "Must provide at least one array"),
        ([np.arange(3), [1, 2]], TypeError, "'list' object cannot be converted to 'PyUntypedArray'"),
        # The type test covers every item before any dtype or contiguity test.
        ([np.arange(6)[::2], 5], TypeError, "'int' object cannot be converted to 'PyUntypedArray'"),
        ([np.arange(3, dtype=np.int64), np.arange(3, dtype=np.uint64)], ValueError,
         "All arrays must have the same dtype and be contiguous"),
        ([np.arange(3, dtype="<i8"), np.arange(3, dtype=">i8")], ValueError,
         "All arrays must have the same dtype and be contiguous"),
        ([np.arange(6)[::2]], ValueError, "All arrays must have the same dtype and be contiguous"),
        ([np.arange(3), np.arange(6)[::2]], ValueError, "All arrays must have the same dtype and be contiguous"),
    ],
    ids=["empty", "list-item", "type-before-contiguity", "int-vs-uint", "byte-order", "strided-first",
         "strided-second"],
)
def test_concatenate_numpy_refusals(arrays, error, message):
    with pytest.raises(error) as info:
        vn.concatenate_numpy(arrays)
    assert type(info.value) is error
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# awkward_from_list_of_numpy

@pytest.mark.parametrize(
    "arrays, offsets",
    [
        ([np.arange(3, dtype=np.int64), np.arange(2, dtype=np.int64)], [0, 24, 40]),
        ([u8(1, 2), u8(3, 4, 5)], [0, 2, 5]),
        ([u8(1), u8(), u8(2)], [0, 1, 1, 2]),
        ([np.arange(4, dtype=np.int32)], [0, 16]),
        ([np.arange(6, dtype=np.int16).reshape(2, 3)], [0, 12]),
    ],
    ids=["int64", "uint8", "empty-list", "single", "2-d"],
)
def test_awkward_from_list_of_numpy(arrays, offsets):
    result = vn.awkward_from_list_of_numpy(arrays)
    assert_result(result, raw(*arrays), offsets)
    # Same content as concatenate_numpy; offsets are its starts plus the end.
    content, starts = vn.concatenate_numpy(arrays)
    np.testing.assert_array_equal(result[0], content)
    assert result[1].tolist() == starts.tolist() + [len(content)]


@pytest.mark.parametrize(
    "arrays, error, message",
    [
        ([], ValueError, "Must provide at least one array"),
        ([u8(1), "x"], TypeError, "'str' object cannot be converted to 'PyUntypedArray'"),
        # Each item passes all its tests before the next is looked at.
        ([np.arange(6)[::2], 5], ValueError, "All arrays must be contiguous"),
        ([np.arange(3, dtype=np.int32), np.arange(3, dtype=np.float32)], ValueError,
         "All arrays must have the same dtype"),
        ([np.arange(3), np.arange(3, dtype=np.float32)[::2], 5], ValueError, "All arrays must have the same dtype"),
        ([np.arange(3), np.arange(6)[::2]], ValueError, "All arrays must be contiguous"),
    ],
    ids=["empty", "str-item", "first-item-first", "equal-itemsize-other-dtype", "dtype-before-contiguity",
         "strided-second"],
)
def test_awkward_from_list_of_numpy_refusals(arrays, error, message):
    with pytest.raises(error) as info:
        vn.awkward_from_list_of_numpy(arrays)
    assert type(info.value) is error
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# concatenate_awkward

Pair = collections.namedtuple("Pair", "content offsets")


@pytest.mark.parametrize(
    "inputs, content, offsets",
    [
        ([(u8(1, 2, 3, 4, 5), i64(0, 2, 5)), (u8(6, 7, 8), i64(0, 1, 3))], [1, 2, 3, 4, 5, 6, 7, 8],
         [0, 2, 5, 6, 8]),
        ([], [], []),
        ([(u8(1, 2, 3), i64(0, 1, 3))], [1, 2, 3], [0, 1, 3]),
        # The second input drops its leading 0 although its shift is 0.
        ([(u8(), i64(0)), (u8(6, 7, 8), i64(0, 3))], [6, 7, 8], [0, 3]),
        # Offsets are neither validated nor normalised: [2, 4] passes and raises the next by 4.
        ([(u8(9, 9, 9, 9), i64(2, 4)), (u8(1), i64(0, 1))], [9, 9, 9, 9, 1], [2, 4, 5]),
        # Content is copied whole; the shift comes from the last offset only.
        ([(u8(1, 2, 3, 4), i64(0, 2)), (u8(5), i64(0, 1))], [1, 2, 3, 4, 5], [0, 2, 3]),
        # A first input without offsets counts as 0 and passes through empty.
        ([(u8(1), i64()), (u8(2), i64(0, 1))], [1, 2], [1]),
        # Content dtypes are not compared; bytes are joined as they are.
        ([(np.array([1], np.int16), i64(0, 2)), (u8(7), i64(0, 1))], [1, 0, 7], [0, 2, 3]),
        # Offsets are read as raw 64-bit words whatever their dtype.
        ([(u8(1, 2), np.array([0, 0, 2, 0], np.int32))], [1, 2], [0, 2]),
        ([(u8(1, 2), i64(0, 2), "ignored"), Pair(u8(3), i64(0, 1))], [1, 2, 3], [0, 2, 3]),
        ([(u8(1, 2).reshape(1, 2), i64(0, 2))], [1, 2], [0, 2]),
    ],
    ids=["worked-example", "empty", "single", "empty-first", "unnormalised", "long-content", "no-offsets-first",
         "mixed-dtypes", "int32-offsets", "tuple-kinds", "2-d-content"],
)
def test_concatenate_awkward(inputs, content, offsets):
    assert_result(vn.concatenate_awkward(inputs), content, offsets)


def test_concatenate_awkward_wraps_offset_sums():
    top = np.iinfo(np.int64).max
    result = vn.concatenate_awkward([(u8(), i64(0, top)), (u8(), i64(0, 2))])
    assert result[1].tolist() == [0, top, np.iinfo(np.int64).min + 1]


@pytest.mark.parametrize(
    "inputs, error, message",
    [
        ([[u8(1), i64(0, 1)]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        ([(u8(1),)], IndexError, "tuple index out of range"),
        ([(u8(1), [0, 1])], TypeError, "'list' object cannot be converted to 'PyUntypedArray'"),
        ([("x", [0, 1])], TypeError, "'str' object cannot be converted to 'PyUntypedArray'"),
        ([(np.arange(6, dtype=np.uint8)[::2], i64(0, 3))], ValueError, "Array is not contiguous"),
        ([(u8(1), np.arange(6)[::2])], ValueError, "Array is not contiguous"),
        # The first failing item decides.
        ([(u8(1), i64(0, 1)), 5, (u8(1),)], TypeError, "'int' object cannot be converted to 'PyTuple'"),
    ],
    ids=["list-item", "1-tuple", "offsets-not-array", "content-first", "strided-content", "strided-offsets",
         "first-failure"],
)
def test_concatenate_awkward_refusals(inputs, error, message):
    with pytest.raises(error) as info:
        vn.concatenate_awkward(inputs)
    assert type(info.value) is error
    assert str(info.value) == message


def test_concatenate_awkward_empty_later_offsets_panics(capfd):
    error = panic_of(lambda: vn.concatenate_awkward([(u8(1), i64(0, 1)), (u8(2), i64())]))
    assert error.args == ("range start index 1 out of range for slice of length 0",)
    assert "panicked at" in capfd.readouterr().err
    # The pool survives a failure in one of its tasks.
    assert_result(vn.concatenate_awkward([(u8(1), i64(0, 1))]), [1], [0, 1])


# ---------------------------------------------------------------------------
# All three functions

FUNCTIONS = [vn.concatenate_numpy, vn.awkward_from_list_of_numpy, vn.concatenate_awkward]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("arrays", [(), (x for x in ()), np.arange(3), None])
def test_arrays_must_be_a_list(function, arrays):
    with pytest.raises(TypeError) as info:
        function(arrays)
    name = type(arrays).__name__
    assert str(info.value) == f"argument 'arrays': '{name}' object cannot be converted to 'PyList'"


class MyList(list):
    pass


@pytest.mark.parametrize("function", FUNCTIONS)
def test_list_subclass_and_keyword(function):
    arrays = [(u8(1, 2), i64(0, 2))] if function is vn.concatenate_awkward else [u8(1, 2)]
    expected = function(arrays)
    for result in (function(MyList(arrays)), function(arrays=arrays)):
        for got, want in zip(result, expected):
            np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_inputs_are_not_written_and_results_are_fresh(function):
    a, b = u8(1, 2, 3), u8(4, 5)
    arrays = [(a, i64(0, 3)), (b, i64(0, 2))] if function is vn.concatenate_awkward else [a, b]
    content, _ = function(arrays)
    content[:] = 0
    assert a.tolist() == [1, 2, 3] and b.tolist() == [4, 5]
    assert content.base is not None and type(content.base).__name__ == "PySliceContainer"


CALLS = [
    (vn.concatenate_numpy, lambda: [np.arange(4), np.arange(3)]),
    (vn.concatenate_numpy, lambda: [np.arange(4), np.arange(3.0)]),
    (vn.concatenate_numpy, lambda: [np.arange(4), "x"]),
    (vn.awkward_from_list_of_numpy, lambda: [np.arange(4), np.arange(3)]),
    (vn.awkward_from_list_of_numpy, lambda: [np.arange(4), np.arange(6)[::2]]),
    (vn.concatenate_awkward, lambda: [(u8(1), i64(0, 1)), (u8(2), i64(0, 1))]),
    (vn.concatenate_awkward, lambda: [(u8(1), i64(0, 1)), (u8(2), i64())]),
    (vn.concatenate_awkward, lambda: [(u8(1), i64(0, 1)), (u8(2),)]),
]


@pytest.mark.parametrize("function, make", CALLS)
def test_reference_counts_unchanged(function, make, panics):
    arrays = make()
    items = [x for item in arrays for x in (item if isinstance(item, tuple) else (item,))]
    before = [sys.getrefcount(x) for x in [arrays, *arrays, *items]]
    panicked = []
    for _ in range(3):
        try:
            result = function(arrays)
        except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
            result = None
            if type(error).__name__ == "PanicException":
                panicked.append(str(error))
        del result
    assert [sys.getrefcount(x) for x in [arrays, *arrays, *items]] == before
    assert panics.take() == panicked


def test_many_small_inputs_in_order():
    rng = np.random.default_rng(7)
    arrays = [rng.integers(0, 255, size=rng.integers(0, 20), dtype=np.uint8) for _ in range(5000)]
    content, starts = vn.concatenate_numpy(arrays)
    np.testing.assert_array_equal(content, np.concatenate(arrays))
    np.testing.assert_array_equal(starts, np.concatenate([[0], np.cumsum([len(a) for a in arrays])[:-1]]))
    lists = [(a, i64(0, len(a))) for a in arrays]
    joined_content, joined_offsets = vn.concatenate_awkward(lists)
    np.testing.assert_array_equal(joined_content, content)
    np.testing.assert_array_equal(joined_offsets, np.concatenate([[0], np.cumsum([len(a) for a in arrays])]))
