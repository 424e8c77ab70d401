"""concatenate_numpy, awkward_from_list_of_numpy and concatenate_awkward: the
boundary cases by hand, then random inputs against a small model of the
three functions, which reads memory the way the module does: an array's raw
bytes in memory order (its dtype matters only through its item size), and
offsets as the raw 64-bit words of whatever array holds them."""

import collections
import struct

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import veltra_native as vn
from conftest import failure
from fasta_reference import examples

u8 = lambda *values: np.array(values, dtype=np.uint8)  # noqa: E731
i64 = lambda *values: np.array(values, dtype=np.int64)  # noqa: E731
Pair = collections.namedtuple("Pair", "content offsets")
Triple = collections.namedtuple("Triple", "content offsets extra")
SAME_DTYPE = "All arrays must have the same dtype and be contiguous"


def check_arrays(result, content, offsets):
    assert type(result) is tuple and len(result) == 2
    for array, dtype in zip(result, (np.uint8, np.int64)):
        assert type(array) is np.ndarray and array.dtype == dtype and array.ndim == 1
        assert array.flags.writeable and array.flags.c_contiguous
        assert type(array.base).__name__ == "PySliceContainer"
    assert (result[0].tobytes(), result[1].tolist()) == (bytes(content), list(offsets))


def raw(*arrays):
    return b"".join(np.asarray(a).tobytes(order="A") for a in arrays)


fortran = np.asfortranarray(np.arange(6, dtype=np.int32).reshape(2, 3))
big_endian = np.arange(3, dtype=">i8")


@pytest.mark.parametrize(
    "arrays, starts",
    [
        ([np.arange(3, dtype=np.int64), np.arange(2, dtype=np.int64)], [0, 24]),
        ([u8(1, 2), u8(), u8(3)], [0, 2, 2]),
        ([u8(1, 2), u8()], [0, 2]),
        ([u8(), u8(), u8()], [0, 0, 0]),
        # Fortran arrays contribute their memory in column order.
        ([np.arange(6, dtype=np.int32).reshape(2, 3), fortran], [0, 24]),
        ([np.array(7, dtype=np.int64), np.array([8], dtype=np.int64)], [0, 8]),
        ([big_endian, big_endian[::-1].copy()], [0, 24]),
    ],
    ids=["int64", "zero-length-middle", "zero-length-last", "all-empty", "c-and-fortran", "0-d", "big-endian"],
)
def test_concatenate_numpy(arrays, starts):
    check_arrays(vn.concatenate_numpy(arrays), raw(*arrays), starts)
    offsets = [*starts, len(raw(*arrays))]
    check_arrays(vn.awkward_from_list_of_numpy(arrays), raw(*arrays), offsets)


@pytest.mark.parametrize(
    "function, arrays, expected",
    [
        (vn.concatenate_numpy, [], ("ValueError", "Must provide at least one array")),
        (vn.awkward_from_list_of_numpy, [], ("ValueError", "Must provide at least one array")),
        (vn.concatenate_numpy, [np.arange(3), [1, 2]], ("TypeError", "'list' object cannot be converted to 'PyUntypedArray'")),
        # The type test covers every item before any dtype or contiguity test...
        (vn.concatenate_numpy, [np.arange(6)[::2], 5], ("TypeError", "'int' object cannot be converted to 'PyUntypedArray'")),
        # ...where awkward_from_list_of_numpy tests each item in full before the next.
        (vn.awkward_from_list_of_numpy, [np.arange(6)[::2], 5], ("ValueError", "All arrays must be contiguous")),
        (vn.concatenate_numpy, [np.arange(3, dtype="<i8"), np.arange(3, dtype=">i8")], ("ValueError", SAME_DTYPE)),
        (vn.concatenate_numpy, [np.arange(6)[::2]], ("ValueError", SAME_DTYPE)),
        (vn.awkward_from_list_of_numpy, [np.arange(3, dtype=np.int32), np.arange(3, dtype=np.float32)],
         ("ValueError", "All arrays must have the same dtype")),
        (vn.concatenate_awkward, [[u8(1), i64(0, 1)]], ("TypeError", "'list' object cannot be converted to 'PyTuple'")),
        (vn.concatenate_awkward, [(u8(1),)], ("IndexError", "tuple index out of range")),
        (vn.concatenate_awkward, [(u8(1), np.arange(6)[::2])], ("ValueError", "Array is not contiguous")),
        (vn.concatenate_awkward, [(u8(1), i64(0, 1)), 5, (u8(1),)], ("TypeError", "'int' object cannot be converted to 'PyTuple'")),
    ],
)  # fmt: skip
def test_refusals(function, arrays, expected):
    assert failure(function, arrays) == expected


@pytest.mark.parametrize(
    "inputs, content, offsets",
    [
        ([(u8(1, 2, 3, 4, 5), i64(0, 2, 5)), (u8(6, 7, 8), i64(0, 1, 3))], [1, 2, 3, 4, 5, 6, 7, 8], [0, 2, 5, 6, 8]),
        ([], [], []),
        # The second input drops its leading 0 although its shift is 0.
        ([(u8(), i64(0)), (u8(6, 7, 8), i64(0, 3))], [6, 7, 8], [0, 3]),
        # Offsets are neither validated nor normalised: [2, 4] passes and raises the next by 4.
        ([(u8(9, 9, 9, 9), i64(2, 4)), (u8(1), i64(0, 1))], [9, 9, 9, 9, 1], [2, 4, 5]),
        # Content is copied whole; the shift comes from the last offset only.
        ([(u8(1, 2, 3, 4), i64(0, 2)), (u8(5), i64(0, 1))], [1, 2, 3, 4, 5], [0, 2, 3]),
        # Content dtypes are not compared; offsets are raw 64-bit words whatever their dtype.
        ([(np.array([1], np.int16), np.array([0, 0, 2, 0], np.int32)), (u8(7), i64(0, 1))], [1, 0, 7], [0, 2, 3]),
        ([(u8(1, 2), i64(0, 2), "ignored"), Pair(u8(3), i64(0, 1))], [1, 2, 3], [0, 2, 3]),
    ],
    ids=["worked-example", "empty", "empty-first", "unnormalised", "long-content", "raw-words", "tuple-kinds"],
)  # fmt: skip
def test_concatenate_awkward(inputs, content, offsets):
    check_arrays(vn.concatenate_awkward(inputs), content, offsets)


def test_concatenate_awkward_empty_later_offsets_panics(panics):
    message = "range start index 1 out of range for slice of length 0"
    assert failure(vn.concatenate_awkward, [(u8(1), i64(0, 1)), (u8(2), i64())]) == ("PanicException", message)
    assert panics.take() == [message]
    # The pool survives a failure in one of its tasks.
    check_arrays(vn.concatenate_awkward([(u8(1), i64(0, 1))]), [1], [0, 1])


class MyList(list):
    pass


@pytest.mark.parametrize("function", [vn.concatenate_numpy, vn.awkward_from_list_of_numpy, vn.concatenate_awkward])
def test_inputs_are_not_written_and_results_are_fresh(function):
    a, b = u8(1, 2, 3), u8(4, 5)
    arrays = [(a, i64(0, 3)), (b, i64(0, 2))] if function is vn.concatenate_awkward else [a, b]
    expected = function(arrays)
    for again in (function(MyList(arrays)), function(arrays=arrays)):
        assert [x.tolist() for x in again] == [x.tolist() for x in expected]
    expected[0][:] = 0
    assert a.tolist() == [1, 2, 3] and b.tolist() == [4, 5]
    assert again[0].tolist() == [1, 2, 3, 4, 5]


def test_many_small_inputs_in_order():
    rng = np.random.default_rng(7)
    arrays = [rng.integers(0, 255, size=rng.integers(0, 20), dtype=np.uint8) for _ in range(5000)]
    ends = np.cumsum([len(a) for a in arrays]).tolist()
    check_arrays(vn.concatenate_numpy(arrays), np.concatenate(arrays), [0, *ends[:-1]])
    check_arrays(vn.concatenate_awkward([(a, i64(0, len(a))) for a in arrays]), np.concatenate(arrays), [0, *ends])


@pytest.mark.parametrize("slow_ns", [0, 2**63], ids=["huge-pages-dropped", "huge-pages-kept"])
def test_large_inputs_copied_in_steps(slow_ns):
    # Results of more than 32 MiB, made present ahead of the copies in
    # steps of 2 MiB: slices that end off a step, a page and an element.
    hooks = pytest.importorskip("_veltra_testing")
    rng = np.random.default_rng(3)
    sizes = [(5 << 20) + 3, 17, (2 << 20) - 1, (31 << 20) + 4095]
    arrays = [rng.integers(0, 255, size=n, dtype=np.uint8) for n in sizes]
    previous = hooks.set_slow_huge_step(slow_ns)
    try:
        result = vn.concatenate_numpy(arrays)
    finally:
        hooks.set_slow_huge_step(previous)
    assert np.array_equal(result[0], np.concatenate(arrays))
    assert result[1].tolist() == np.cumsum([0, *sizes[:-1]]).tolist()


def test_concatenate_awkward_wraps_offset_sums():
    top = np.iinfo(np.int64).max
    result = vn.concatenate_awkward([(u8(), i64(0, top)), (u8(), i64(0, 2))])
    assert result[1].tolist() == [0, top, np.iinfo(np.int64).min + 1]


# ---------------------------------------------------------------------------
# The model


class Refused(Exception):
    """What the model expects a call to raise: (exception name, message)."""


def refusal(obj, target):
    return Refused("TypeError", f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


def is_contiguous(array):
    return array.flags.c_contiguous or array.flags.f_contiguous


def memory(array):
    """The bytes of a contiguous array, in the order they lie in memory."""
    # ndarray's own method: subclasses such as masked arrays fill or convert.
    return np.ndarray.tobytes(array, order="C" if array.flags.c_contiguous else "F")


def words(array):
    data = memory(array)
    return list(struct.unpack(f"<{len(data) // 8}q", data[: len(data) // 8 * 8]))


def wrap(value):
    return (value + 2**63) % 2**64 - 2**63


def check_list(arrays):
    if not isinstance(arrays, list):
        name = type(arrays).__qualname__
        raise Refused("TypeError", f"argument 'arrays': '{name}' object cannot be converted to 'PyList'")


def same_dtype(a, b):
    return a.dtype is b.dtype or a.dtype == b.dtype


def model_concatenate_numpy(arrays):
    check_list(arrays)
    for item in arrays:
        if not isinstance(item, np.ndarray):
            raise refusal(item, "PyUntypedArray")
    if not arrays:
        raise Refused("ValueError", "Must provide at least one array")
    if not all(same_dtype(arrays[0], item) and is_contiguous(item) for item in arrays):
        raise Refused("ValueError", SAME_DTYPE)
    pieces = [memory(item) for item in arrays]
    return b"".join(pieces), np.cumsum([0] + [len(piece) for piece in pieces])[:-1].tolist()


def model_awkward_from_list_of_numpy(arrays):
    check_list(arrays)
    if not arrays:
        raise Refused("ValueError", "Must provide at least one array")
    for i, item in enumerate(arrays):
        if not isinstance(item, np.ndarray):
            raise refusal(item, "PyUntypedArray")
        if i > 0 and not same_dtype(arrays[0], item):
            raise Refused("ValueError", "All arrays must have the same dtype")
        if not is_contiguous(item):
            raise Refused("ValueError", "All arrays must be contiguous")
    pieces = [memory(item) for item in arrays]
    return b"".join(pieces), np.cumsum([0] + [len(piece) for piece in pieces]).tolist()


def model_concatenate_awkward(arrays):
    check_list(arrays)
    lists = []
    for item in arrays:
        if not isinstance(item, tuple):
            raise refusal(item, "PyTuple")
        if len(item) < 2:
            raise Refused("IndexError", "tuple index out of range")
        for array in item[:2]:
            if not isinstance(array, np.ndarray):
                raise refusal(array, "PyUntypedArray")
        if not all(is_contiguous(array) for array in item[:2]):
            raise Refused("ValueError", "Array is not contiguous")
        lists.append((memory(item[0]), words(item[1])))
    # Every item converts before anything is joined.
    content, offsets, shift = b"", [], 0
    for k, (data, offs) in enumerate(lists):
        content += data
        if k > 0 and not offs:
            raise Refused("PanicException", "range start index 1 out of range for slice of length 0")
        offsets += offs if k == 0 else [wrap(value + shift) for value in offs[1:]]
        shift = wrap(shift + (offs[-1] if offs else 0))
    return content, offsets


MODELS = {
    vn.concatenate_numpy: model_concatenate_numpy,
    vn.awkward_from_list_of_numpy: model_awkward_from_list_of_numpy,
    vn.concatenate_awkward: model_concatenate_awkward,
}


def check_call(function, arrays, panics):
    panics.take()  # the reports of an example that Hypothesis abandoned half-way
    try:
        expected = MODELS[function](arrays)
    except Refused as refused:
        assert failure(function, arrays) == refused.args
        # Items fail on whichever worker copies them: each failing one
        # reports, and the first of them is raised.
        reports = panics.take()
        if refused.args[0] == "PanicException":
            assert refused.args[1] in reports and len(reports) <= len(arrays)
        else:
            assert not reports
        return
    check_arrays(function(arrays), *expected)


# ---------------------------------------------------------------------------
# Inputs

DTYPES = [
    "u1", "?", "<i2", ">i2", "<f4", "<i8", ">i8", "<u8", "q", "<c16", "<M8[s]", "V0", "V3", "S3", "<U2", "O",
    np.dtype([("a", "<i4"), ("b", "u1")]), np.dtype([("a", "<i4"), ("b", "u1")], align=True),
]  # fmt: skip

dtypes = st.sampled_from([np.dtype(d) for d in DTYPES])


def fill(dtype, shape, seed):
    """An array of `dtype` and `shape` whose bytes are not all alike."""
    count = int(np.prod(shape, dtype=np.int64))
    if dtype.itemsize == 0 or dtype.hasobject:
        array = np.empty(count, dtype)
        if dtype.hasobject:
            array[:] = [seed + i if i % 3 else ("s", i) if i % 2 else None for i in range(count)]
        return array.reshape(shape)
    data = bytes((seed * 31 + i * 7) % 256 for i in range(count * dtype.itemsize))
    return np.frombuffer(data, np.uint8).view(dtype).reshape(shape).copy() if count else np.empty(shape, dtype)


LAYOUTS = ["as-is", "fortran", "transposed", "reversed", "step", "misaligned", "subclass", "readonly", "sliced"]


@st.composite
def arrays(draw, dtype=None):
    dtype = draw(dtypes) if dtype is None else dtype
    base = fill(dtype, draw(st.lists(st.integers(0, 4), max_size=3).map(tuple)), draw(st.integers(0, 255)))
    layout = draw(st.sampled_from(LAYOUTS))
    if layout == "fortran":
        return np.asfortranarray(base)
    if layout == "transposed":
        return base.T
    if layout == "reversed" and base.ndim:
        return base[::-1]
    if layout == "step" and base.ndim:
        return base[:: draw(st.integers(2, 3))]
    if layout == "sliced" and base.ndim:
        return base[..., : draw(st.integers(0, 4))]
    if layout == "misaligned" and not dtype.hasobject and dtype.itemsize > 1:
        # The same bytes one byte into a buffer: no longer aligned for the dtype.
        return np.frombuffer(b"\0" + np.ascontiguousarray(base).tobytes(), dtype, offset=1).reshape(base.shape)
    if layout == "subclass":
        return base.view(np.ma.MaskedArray if base.ndim else np.ndarray)
    if layout == "readonly":
        base.flags.writeable = False
    return base


not_arrays = st.sampled_from([None, 5, "x", b"ab", [1, 2], (), np.int64(3), memoryview(b"ab")])
not_lists = st.sampled_from([(np.arange(3),), np.arange(3), None])


def list_of(items, max_size=4):
    return st.tuples(st.lists(items, max_size=max_size), st.booleans()).map(lambda p: MyList(p[0]) if p[1] else p[0])


@st.composite
def same_dtype_arrays(draw):
    """Mostly arrays of one dtype, so that joins happen, with now and then a
    different dtype or something that is not an array at all."""
    dtype = draw(dtypes)
    return draw(list_of(st.one_of(arrays(dtype), arrays(dtype), arrays(dtype), arrays(), not_arrays)))


@pytest.mark.parametrize("function", [vn.concatenate_numpy, vn.awkward_from_list_of_numpy])
@examples(150)
@given(data=st.data())
def test_random_array_lists(function, data, panics):
    check_call(function, data.draw(st.one_of(same_dtype_arrays(), not_lists)), panics)


@st.composite
def offsets_for(draw, content):
    """Mostly well-formed int64 offsets, now and then any array read as words."""
    if draw(st.integers(0, 3)) == 0:
        return draw(arrays())
    n = content.nbytes
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=4)))
    values = np.array([0, *cuts, n] if draw(st.booleans()) else cuts, np.int64)
    layout = draw(st.sampled_from(["as-is", "as-is", "misaligned", "reversed"]))
    if layout == "misaligned":
        return np.frombuffer(b"\0" + values.tobytes(), np.int64, offset=1)
    return values[::-1] if layout == "reversed" else values


class TupleSubclass(tuple):
    pass


@st.composite
def list_arrays(draw):
    content = draw(arrays())
    offsets = draw(offsets_for(content))
    kind = draw(st.sampled_from(["pair"] * 6 + ["named", "triple", "named-triple", "subclass", "one", "list",
                                                "content-not-array", "offsets-not-array", "not-a-tuple", "empty"]))  # fmt: skip
    return {
        "named": lambda: Pair(content, offsets),
        "triple": lambda: (content, offsets, None),
        "named-triple": lambda: Triple(content, offsets, content),
        "subclass": lambda: TupleSubclass((content, offsets)),
        "one": lambda: (content,),
        "empty": lambda: (),
        "list": lambda: [content, offsets],
        "content-not-array": lambda: (draw(not_arrays), offsets),
        "offsets-not-array": lambda: (content, draw(not_arrays)),
        "not-a-tuple": lambda: draw(st.one_of(not_arrays, arrays())),
    }.get(kind, lambda: (content, offsets))()


@examples(250)
@given(data=st.data())
def test_random_concatenate_awkward(data, panics):
    check_call(vn.concatenate_awkward, data.draw(st.one_of(list_of(list_arrays(), 6), not_lists)), panics)
