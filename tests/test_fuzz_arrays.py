"""Random inputs for concatenate_numpy, awkward_from_list_of_numpy and
concatenate_awkward: every call must return exactly what a small model of
the documented behaviour returns, or raise the error the model names, with
its message. Nothing else may happen: no other exception, no crash.

The model reads memory the way the module does: an array's raw bytes in
memory order (its dtype matters only through its item size), offsets as the
raw 64-bit words of whatever array holds them.
"""

import collections
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import veltra_native as vn

SETTINGS = settings(
    max_examples=200,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

PANIC = "PanicException"
Pair = collections.namedtuple("Pair", "content offsets")
Triple = collections.namedtuple("Triple", "content offsets extra")


class ListSubclass(list):
    pass


class TupleSubclass(tuple):
    pass


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
    raw = memory(array)
    count = len(raw) // 8
    return list(struct.unpack(f"<{count}q", raw[: 8 * count]))


def wrap(value):
    return (value + 2**63) % 2**64 - 2**63


def equivalent(a, b):
    return a is b or a == b


def check_list(arrays):
    if not isinstance(arrays, list):
        name = type(arrays).__qualname__
        raise Refused("TypeError", f"argument 'arrays': '{name}' object cannot be converted to 'PyList'")


def model_concatenate_numpy(arrays):
    check_list(arrays)
    for item in arrays:
        if not isinstance(item, np.ndarray):
            raise refusal(item, "PyUntypedArray")
    if not arrays:
        raise Refused("ValueError", "Must provide at least one array")
    for item in arrays:
        if not (equivalent(arrays[0].dtype, item.dtype) and is_contiguous(item)):
            raise Refused("ValueError", "All arrays must have the same dtype and be contiguous")
    pieces = [memory(item) for item in arrays]
    starts = np.cumsum([0] + [len(piece) for piece in pieces])[:-1]
    return b"".join(pieces), starts.tolist()


def model_awkward_from_list_of_numpy(arrays):
    check_list(arrays)
    if not arrays:
        raise Refused("ValueError", "Must provide at least one array")
    for i, item in enumerate(arrays):
        if not isinstance(item, np.ndarray):
            raise refusal(item, "PyUntypedArray")
        if i > 0 and not equivalent(arrays[0].dtype, item.dtype):
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
        for array in item[:2]:
            if not is_contiguous(array):
                raise Refused("ValueError", "Array is not contiguous")
        lists.append((memory(item[0]), words(item[1])))
    # Every item converts before anything is joined.
    content, offsets, shift = b"", [], 0
    for k, (data, offs) in enumerate(lists):
        content += data
        if k == 0:
            offsets += offs
        elif not offs:
            raise Refused(PANIC, "range start index 1 out of range for slice of length 0")
        else:
            offsets += [wrap(value + shift) for value in offs[1:]]
        shift = wrap(shift + (offs[-1] if offs else 0))
    return content, offsets


MODELS = {
    vn.concatenate_numpy: model_concatenate_numpy,
    vn.awkward_from_list_of_numpy: model_awkward_from_list_of_numpy,
    vn.concatenate_awkward: model_concatenate_awkward,
}


def check_call(function, arrays, panics=None):
    try:
        expected, refused = MODELS[function](arrays), None
    except Refused as refusal_expected:
        expected, refused = None, refusal_expected.args
    try:
        result = function(arrays)
    except BaseException as error:  # PanicException derives from BaseException
        assert refused is not None, f"raised {error!r}, expected a result"
        assert (type(error).__name__, str(error)) == refused
        if panics is not None:
            # Items fail on whichever worker copies them: each failing one reports, and the
            # first of them is raised.
            reports = panics.take()
            if refused[0] == "PanicException":
                assert str(error) in reports and len(reports) <= len(arrays)
            else:
                assert not reports
        return
    assert refused is None, f"returned a result, expected {refused}"
    content, offsets = result
    assert type(result) is tuple and len(result) == 2
    for array, dtype in ((content, np.uint8), (offsets, np.int64)):
        assert type(array) is np.ndarray and array.dtype == dtype and array.ndim == 1
        assert array.flags.writeable and array.flags.c_contiguous
        assert type(array.base).__name__ == "PySliceContainer"
    assert (content.tobytes(), offsets.tolist()) == expected


# ---------------------------------------------------------------------------
# Inputs

DTYPES = [
    "u1", "i1", "?", "<i2", ">i2", "<i4", ">i4", "<u4", "<i8", ">i8", "<u8", "<f2", ">f2", "<f4", "<f8",
    ">f8", "<c16", "<M8[s]", "<M8[ms]", ">M8[s]", "<m8[D]", "V0", "V3", "S3", "<U2", ">U2", "O",
    np.dtype([("a", "<i4"), ("b", "u1")]),
    np.dtype([("a", "<i4"), ("b", "u1")], align=True),
    np.dtype([("x", ">f8", (2,))]),
    np.dtype([("a", "<i4")]),
    np.dtype([("b", "<i4")]),
    np.dtype("l"), np.dtype("q"),
]  # fmt: skip

dtypes = st.sampled_from([np.dtype(d) for d in DTYPES])
shapes = st.lists(st.integers(0, 4), min_size=0, max_size=3).map(tuple)


def fill(dtype, shape, seed):
    """An array of `dtype` and `shape` whose bytes are not all alike."""
    count = int(np.prod(shape, dtype=np.int64))
    if dtype.itemsize == 0:
        return np.zeros(shape, dtype)
    if dtype.hasobject:
        values = [seed + i if i % 3 else ("s", i) if i % 2 else None for i in range(count)]
        array = np.empty(count, dtype)
        if dtype == np.dtype("O"):
            array[:] = values
        return array.reshape(shape)
    raw = bytes((seed * 31 + i * 7) % 256 for i in range(count * dtype.itemsize))
    return np.frombuffer(raw, np.uint8).view(dtype).reshape(shape).copy() if count else np.empty(shape, dtype)


LAYOUTS = ["as-is", "fortran", "transposed", "reversed", "step", "misaligned", "subclass", "readonly", "sliced"]


@st.composite
def arrays(draw, dtype=None):
    dtype = draw(dtypes) if dtype is None else dtype
    shape = draw(shapes)
    base = fill(dtype, shape, draw(st.integers(0, 255)))
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
        raw = b"\0" + np.ascontiguousarray(base).tobytes()
        return np.frombuffer(raw, dtype, offset=1).reshape(base.shape)
    if layout == "subclass":
        return base.view(np.ma.MaskedArray if base.ndim else np.ndarray)
    if layout == "readonly":
        base.flags.writeable = False
    return base


not_arrays = st.sampled_from([None, 5, 1.5, "x", b"ab", [1, 2], (), np.float64(1.0), np.int64(3), memoryview(b"ab")])


def list_of(items, max_size=4):
    return st.tuples(st.lists(items, max_size=max_size), st.sampled_from(["list", "subclass"])).map(
        lambda pair: pair[0] if pair[1] == "list" else ListSubclass(pair[0])
    )


not_lists = st.sampled_from(["tuple", "generator", "array", "none", "dict"]).map(
    lambda kind: {
        "tuple": (np.arange(3),),
        "generator": (x for x in [np.arange(3)]),
        "array": np.arange(3),
        "none": None,
        "dict": {0: np.arange(3)},
    }[kind]
)


@st.composite
def same_dtype_arrays(draw):
    """Mostly arrays of one dtype, so that joins happen, with now and then a
    different dtype or something that is not an array at all."""
    dtype = draw(dtypes)
    item = st.one_of(arrays(dtype), arrays(dtype), arrays(dtype), arrays(), not_arrays)
    return draw(list_of(item))


@pytest.mark.parametrize("function", [vn.concatenate_numpy, vn.awkward_from_list_of_numpy])
@SETTINGS
@given(data=st.data())
def test_array_lists(function, data):
    check_call(function, data.draw(st.one_of(same_dtype_arrays(), not_lists, not_lists.map(lambda _: []))))


# Offsets: sometimes well-formed int64, sometimes any array read as words.
@st.composite
def offsets_for(draw, content):
    if draw(st.booleans()):
        n = content.nbytes
        cuts = sorted(draw(st.lists(st.integers(0, n), max_size=4)))
        values = np.array([0, *cuts, n] if draw(st.booleans()) else cuts, np.int64)
        layout = draw(st.sampled_from(["as-is", "misaligned", "reversed"]))
        if layout == "misaligned":
            return np.frombuffer(b"\0" + values.tobytes(), np.int64, offset=1)
        if layout == "reversed":
            return values[::-1]
        return values
    return draw(arrays())


@st.composite
def list_arrays(draw):
    content = draw(arrays())
    offsets = draw(offsets_for(content))
    kind = draw(
        st.sampled_from(["pair", "pair", "pair", "named", "triple", "named-triple", "subclass", "one", "empty",
                         "list", "content-not-array", "offsets-not-array", "not-a-tuple"])
    )  # fmt: skip
    if kind == "named":
        return Pair(content, offsets)
    if kind == "triple":
        return (content, offsets, draw(not_arrays))
    if kind == "named-triple":
        return Triple(content, offsets, content)
    if kind == "subclass":
        return TupleSubclass((content, offsets))
    if kind == "one":
        return (content,)
    if kind == "empty":
        return ()
    if kind == "list":
        return [content, offsets]
    if kind == "content-not-array":
        return (draw(not_arrays), offsets)
    if kind == "offsets-not-array":
        return (content, draw(not_arrays))
    if kind == "not-a-tuple":
        return draw(st.one_of(not_arrays, arrays()))
    return (content, offsets)


@settings(SETTINGS, suppress_health_check=[*SETTINGS.suppress_health_check, HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_concatenate_awkward(data, panics):
    panics.take()  # the reports of an example that Hypothesis abandoned half-way
    check_call(vn.concatenate_awkward, data.draw(st.one_of(list_of(list_arrays(), 5), not_lists)), panics)


# Well-formed inputs only, so that most calls join something.
@st.composite
def valid_list_arrays(draw):
    content = draw(arrays().filter(is_contiguous))
    n = content.nbytes
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=4)))
    return (content, np.array([0, *cuts, n], np.int64))


@settings(SETTINGS, max_examples=100)
@given(inputs=st.lists(valid_list_arrays(), max_size=6))
def test_concatenate_awkward_of_valid_inputs(inputs):
    check_call(vn.concatenate_awkward, inputs)
    if inputs:
        _, offsets = vn.concatenate_awkward(inputs)
        contents = b"".join(memory(content) for content, _ in inputs)
        assert offsets[0] == 0 and offsets[-1] == len(contents)
        assert len(offsets) == sum(len(o) - 1 for _, o in inputs) + 1
