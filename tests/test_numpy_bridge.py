"""The NumPy bridge: arrays over native buffers, views of input arrays and the
shared borrow registry. Runs on NumPy 1.x and 2.x alike."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import numpy.core.multiarray as multiarray
import pytest

import _veltra_testing as t
import veltra_native

KINDS = {"uint8": np.uint8, "int64": np.int64, "uint64": np.uint64}
INVALID_TYPE_NUM = 12345


def panic_message(excinfo):
    exc_type = type(excinfo.value)
    assert (exc_type.__module__, exc_type.__name__) == ("pyo3_runtime", "PanicException")
    return str(excinfo.value)


def run_python(script):
    """Runs `script` in a fresh interpreter; returns its standard output lines."""
    done = subprocess.run(
        [sys.executable, "-W", "error::DeprecationWarning", "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


# --- arrays over native buffers ----------------------------------------------


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("length", [0, 1, 1000])
def test_created_array_adopts_the_buffer(kind, length):
    a = t.array_from_buffer(kind, length)
    assert a.ndim == 1 and a.shape == (length,)
    assert a.dtype == np.dtype(KINDS[kind])
    assert a.flags.writeable and a.flags.c_contiguous and a.flags.aligned
    assert not a.flags.owndata
    assert type(a.base).__name__ == "PySliceContainer"
    assert type(a.base).__module__ == "builtins"
    np.testing.assert_array_equal(a, np.arange(length).astype(KINDS[kind]))
    if length:
        a[-1] = 7
        assert a[-1] == 7


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_empty_array_is_usable(kind):
    a = t.array_from_buffer(kind, 0)
    assert a.ctypes.data != 0
    assert a.tobytes() == b"" and bytes(memoryview(a)) == b""
    assert a.sum() == 0
    assert np.concatenate([a, np.ones(2, a.dtype)]).tolist() == [1, 1]
    del a


def test_container_type_cannot_be_called():
    base = t.array_from_buffer("uint8", 3).base
    assert type(base) is type(t.array_from_buffer("int64", 0).base)
    for args, kwargs in [((), {}), ((1, 2), {"x": 3})]:
        with pytest.raises(TypeError, match="^No constructor defined$"):
            type(base)(*args, **kwargs)


KEEPERS = {
    "slice": lambda a: a[1:],
    "dtype view": lambda a: a.view(np.uint8),
    "memoryview": memoryview,
}


@pytest.mark.parametrize("keeper", sorted(KEEPERS))
@pytest.mark.parametrize("array_dies_first", [True, False])
def test_buffer_released_once_when_the_last_holder_dies(keeper, array_dies_first):
    calls = t.release_log()[0]
    a = t.raw_array(6, 8, 7, 8)
    kept = KEEPERS[keeper](a)
    if array_dies_first:
        del a
        assert t.release_log()[0] == calls
        del kept
    else:
        del kept
        assert t.release_log()[0] == calls
        del a
    assert t.release_log() == (calls + 1, 6, 8)


@pytest.mark.parametrize(
    "length, capacity, type_num, printed",
    [
        (3, 3, INVALID_TYPE_NUM, "ValueError: Invalid data-type for array\n"),
        (2**63, 0, 2, "ValueError: negative dimensions are not allowed\n"),
    ],
    ids=["no descriptor", "array creation refused"],
)
def test_failed_creation_releases_the_buffer_once(length, capacity, type_num, printed, panics):
    calls = t.release_log()[0]
    with pytest.raises(BaseException) as excinfo:
        t.raw_array(length, capacity, type_num, 1)
    assert panic_message(excinfo) == "Python API call failed"
    assert panics.take(before=printed) == ["Python API call failed"]
    assert t.release_log() == (calls + 1, length, capacity)


def test_failing_release_goes_to_the_unraisable_hook(monkeypatch, panics):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    a = t.raw_array(4, 4, 2, 1, True)
    del a
    assert len(seen) == 1
    assert type(seen[0].exc_value).__name__ == "PanicException"
    assert str(seen[0].exc_value) == "release routine failed on purpose"
    assert panics.take() == ["release routine failed on purpose"]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(os.environ.get("VELTRA_SANITIZED") == "1", reason="the sanitizer holds freed memory back")
@pytest.mark.parametrize("kind", ["uint8", "int64"])
def test_memory_flat_over_many_arrays(kind):
    length = (1 << 17) // np.dtype(KINDS[kind]).itemsize
    for _ in range(100):
        t.array_from_buffer(kind, length)
    before = resident_bytes()
    for _ in range(2000):
        a = t.array_from_buffer(kind, length)
        view = a[::3]
        del a, view
    # A leak would hold 2000 * 128 KiB = 250 MiB.
    assert resident_bytes() - before < 32 << 20


# --- views of input arrays -----------------------------------------------------


def fortran():
    return np.asfortranarray(np.arange(6, dtype=np.int16).reshape(2, 3))


VIEW_CASES = [
    ("empty", lambda: np.zeros(0, np.uint8), 0, True),
    ("0-d", lambda: np.array(7, np.int32), 1, True),
    ("1-d", lambda: np.arange(5, dtype=np.uint8), 5, True),
    ("step 2", lambda: np.arange(10, dtype=np.uint8)[::2], 5, False),
    ("reversed", lambda: np.arange(4, dtype=np.int64)[::-1], 4, False),
    ("C 2-d", lambda: np.arange(6, dtype=np.int16).reshape(2, 3), 6, True),
    ("Fortran 2-d", fortran, 6, True),
    ("column slice", lambda: np.zeros((3, 4), np.uint8)[:, ::2], 6, False),
    ("empty 2-d", lambda: np.zeros((0, 3), np.uint8), 0, True),
]


@pytest.mark.parametrize(
    "make, count, contiguous", [c[1:] for c in VIEW_CASES], ids=[c[0] for c in VIEW_CASES]
)
def test_views_follow_contiguity(make, count, contiguous):
    a = make()
    assert t.element_count(a) == count
    assert t.is_contiguous(a) == contiguous
    if contiguous:
        # Memory order, whichever order the array has.
        memory = a.tobytes(order="F" if not a.flags.c_contiguous else "C")
        assert t.byte_view(a) == memory
        assert len(t.int64_view(a)) == len(memory) // 8
    else:
        for view in (t.byte_view, t.int64_view):
            with pytest.raises(ValueError, match="^Array is not contiguous$"):
                view(a)


@pytest.mark.parametrize("n", range(6))
def test_int64_view_reads_raw_memory_of_any_dtype(n):
    a = np.arange(1, n + 1, dtype=np.int32)
    raw = a.tobytes()
    expected = [int.from_bytes(raw[i : i + 8], sys.byteorder, signed=True) for i in range(0, len(raw) - 7, 8)]
    assert t.int64_view(a) == expected
    assert len(expected) == n * 4 // 8


@pytest.mark.parametrize("offset", [1, 3, 7])
def test_views_of_misaligned_memory(offset):
    raw = bytes(range(200, 256)) + bytes(range(0, 40))
    a = np.frombuffer(raw, dtype=np.int64, count=4, offset=offset)
    assert t.data_address(a) % 8 != 0
    assert t.int64_view(a) == a.tolist()
    assert t.byte_view(a) == raw[offset : offset + 32]


ITEM_DTYPES = ["u1", "<i2", "<f4", "<f8", "<c16", "S32", "<U5", [("a", "<i4"), ("b", "<f8")], "V0"]


@pytest.mark.parametrize("dtype", ITEM_DTYPES, ids=str)
def test_item_size_on_this_numpy_layout(dtype):
    a = np.zeros((2, 3), dtype)
    assert t.item_size(a) == a.dtype.itemsize
    assert len(t.byte_view(a)) == a.nbytes


class Subarray(np.ndarray):
    pass


@pytest.mark.parametrize(
    "obj, expected",
    [
        (np.zeros(2), True),
        (np.zeros(2).view(Subarray), True),
        (np.zeros(()), True),
        (np.uint8(3), False),
        ([1, 2], False),
        (memoryview(b"ab"), False),
    ],
    ids=["ndarray", "subclass", "0-d", "scalar", "list", "memoryview"],
)
def test_is_ndarray(obj, expected):
    assert t.is_ndarray(obj) is expected


@pytest.mark.parametrize(
    "dtype, type_num, expected",
    [("u1", 2, True), ("i1", 2, False), ("?", 2, False), ("<i8", 7, True), ("q", 7, True), (">i8", 7, False)],
)
def test_has_dtype_of(dtype, type_num, expected):
    assert t.has_dtype_of(np.zeros(1, dtype), type_num) is expected


@pytest.mark.parametrize(
    "a, b, expected",
    [("u1", "u1", True), ("<i8", "q", True), ("<i8", "<u8", False), ("<f8", ">f8", False)],
)
def test_dtype_equivalent(a, b, expected):
    x, y = np.zeros(1, a), np.zeros(1, b)
    assert t.dtype_equivalent(x, y) is expected
    assert t.dtype_equivalent(x, x)


# --- the borrow registry -------------------------------------------------------

ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"


@pytest.fixture
def borrows():
    tokens = []
    yield tokens
    for token in tokens:
        t.release_borrow(token)


def test_shared_borrows_coexist_and_exclude_writers(borrows):
    a = np.arange(10, dtype=np.uint8)
    borrows += [t.shared_borrow(a[:5]), t.shared_borrow(a[:5]), t.shared_borrow(a[3:6])]
    for overlapping in (a, a[5:], a[::-1]):
        assert t.exclusive_borrow(overlapping) is None
    writer = t.exclusive_borrow(a[6:])
    assert writer is not None
    borrows.append(writer)
    while len(borrows) > 1:
        t.release_borrow(borrows.pop(0))
    writer = t.exclusive_borrow(a[:6])
    assert writer is not None
    borrows.append(writer)


@pytest.mark.parametrize(
    "held, asked, refused",
    [
        (slice(0, 4), slice(4, None), False),
        (slice(0, 4), slice(3, 6), True),
        (slice(None), slice(None, None, -1), True),
        (slice(2, 2), slice(None), False),
        (slice(None), slice(5, 5), False),
    ],
    ids=["adjacent", "overlapping", "reversed", "empty writer", "empty reader"],
)
def test_exclusive_borrow_refuses_overlapping_readers(borrows, held, asked, refused, panics):
    a = np.arange(10, dtype=np.uint8)
    borrows.append(t.exclusive_borrow(a[held]))
    if refused:
        with pytest.raises(BaseException) as excinfo:
            t.shared_borrow(a[asked])
        assert panic_message(excinfo) == ALREADY_BORROWED
        assert panics.take() == [ALREADY_BORROWED]
    else:
        borrows.append(t.shared_borrow(a[asked]))


def test_module_calls_share_the_registry(borrows, panics):
    attribute = getattr(multiarray, t.BORROW_REGISTRY_ATTRIBUTE)
    assert type(attribute).__name__ == "PyCapsule"
    mapping = np.zeros(5, np.uint8)
    borrows.append(t.exclusive_borrow(mapping))
    with pytest.raises(BaseException) as excinfo:
        veltra_native.parse_fasta("missing.fa", mapping, True)
    assert panic_message(excinfo) == ALREADY_BORROWED
    assert panics.take() == [ALREADY_BORROWED]
    assert getattr(multiarray, t.BORROW_REGISTRY_ATTRIBUTE) is attribute


FAILING_CALLS = [
    ("not contiguous", np.zeros(10, np.uint8)[::2], True, TypeError, "The given array is not contiguous"),
    ("wrong length", np.zeros(4, np.uint8), True, BaseException, "assertion failed: mapping.len() == 5"),
    ("later argument refused", np.zeros(5, np.uint8), 1, TypeError, "argument 'is_rna'"),
]


@pytest.mark.parametrize(
    "mapping, is_rna, error, message", [c[1:] for c in FAILING_CALLS], ids=[c[0] for c in FAILING_CALLS]
)
def test_failed_calls_return_their_borrow(borrows, mapping, is_rna, error, message, panics):
    with pytest.raises(error) as excinfo:
        veltra_native.parse_fasta("missing.fa", mapping, is_rna)
    assert str(excinfo.value).startswith(message)
    assert panics.take() == ([message] if error is BaseException else [])
    writer = t.exclusive_borrow(mapping)
    assert writer is not None
    borrows.append(writer)


def test_registry_made_by_one_copy_serves_the_other():
    lines = run_python(
        """
        import numpy as np
        import _veltra_testing as t, veltra_native
        import numpy.core.multiarray as m
        mapping = np.zeros(5, np.uint8)
        token = t.exclusive_borrow(mapping)
        made = getattr(m, t.BORROW_REGISTRY_ATTRIBUTE)
        try:
            veltra_native.parse_fasta("missing.fa", mapping, True)
        except BaseException as e:
            print(e)
        print(getattr(m, t.BORROW_REGISTRY_ATTRIBUTE) is made)
        """
    )
    assert lines == [ALREADY_BORROWED, "True"]


def test_unusable_registry_attribute():
    lines = run_python(
        """
        import ctypes
        import numpy as np
        import veltra_native
        import numpy.core.multiarray as m
        from _veltra_testing import BORROW_REGISTRY_ATTRIBUTE as name

        class Registry(ctypes.Structure):
            _fields_ = [("version", ctypes.c_uint64)] + [(f, ctypes.c_void_p) for f in ("state", "acq", "rel")]

        old = Registry(0, None, None, None)
        capsule_name = ctypes.c_char_p(b"numpy.core.multiarray." + name.encode())
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        attempts = [42, m._ARRAY_API, new_capsule(ctypes.addressof(old), capsule_name, None)]
        for value in attempts:
            setattr(m, name, value)
            try:
                veltra_native.parse_fasta("missing.fa", np.zeros(4, np.uint8), True)
            except BaseException as e:
                print(e)
        delattr(m, name)
        try:
            veltra_native.parse_fasta("missing.fa", np.zeros(4, np.uint8), True)
        except BaseException as e:
            print(e)
        print(type(getattr(m, name)).__name__)
        """
    )
    prefix = "Interal borrow checking API error: PyErr { type: "
    assert lines[0] == (
        prefix + "<class 'TypeError'>, value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), "
        "traceback: None }"
    )
    assert lines[1].startswith(prefix + "<class 'ValueError'>, value: ValueError(")
    assert lines[2] == (
        prefix + "<class 'RuntimeError'>, value: RuntimeError('borrow registry version 0 is older than the "
        "required 1'), traceback: None }"
    )
    assert lines[3:] == ["assertion failed: mapping.len() == 5", "PyCapsule"]


def test_reading_the_registry_attribute_never_warns():
    # NumPy 2's numpy.core.multiarray answers unknown names from
    # numpy._core.multiarray through a __getattr__ that warns.
    lines = run_python(
        """
        import warnings
        import numpy as np
        import _veltra_testing as t, veltra_native
        import numpy.core.multiarray as m
        try:
            import numpy._core.multiarray as inner
        except ImportError:
            inner = m
        if inner is not m:
            setattr(inner, t.BORROW_REGISTRY_ATTRIBUTE, "decoy")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                veltra_native.parse_fasta("missing.fa", np.zeros(4, np.uint8), True)
            except BaseException as e:
                print(e)
        print(len(caught), type(vars(m)[t.BORROW_REGISTRY_ATTRIBUTE]).__name__)
        """
    )
    assert lines == ["assertion failed: mapping.len() == 5", "0 PyCapsule"]


# --- NumPy out of reach --------------------------------------------------------


def test_numpy_import_failure_is_retried():
    lines = run_python(
        """
        import sys

        class Blocker:
            active = True

            def find_spec(self, name, path=None, target=None):
                if self.active and name.split(".")[0] == "numpy":
                    raise ImportError("numpy is blocked")
                return None

        blocker = Blocker()
        sys.meta_path.insert(0, blocker)
        import _veltra_testing as t, veltra_native

        def attempt(call):
            try:
                print(call())
            except BaseException as e:
                print(type(e).__name__, e)

        attempt(lambda: veltra_native.parse_fasta("missing.fa", [0] * 5, True))
        attempt(t.api_ready)
        blocker.active = False
        import numpy as np
        attempt(lambda: veltra_native.parse_fasta("missing.fa", np.zeros(4, np.uint8), True))
        attempt(t.api_ready)
        """
    )
    failure = "PanicException Failed to access NumPy array API capsule: PyErr { type: <class 'ImportError'>"
    assert lines[0].startswith(failure) and "numpy is blocked" in lines[0]
    assert lines[1].startswith(failure)
    assert lines[2:] == ["PanicException assertion failed: mapping.len() == 5", "True"]


@pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0", reason="NumPy 1 has no numpy._core package")
def test_numpy_without_the_old_module_name():
    lines = run_python(
        """
        import sys

        class Blocker:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy.core" or name.startswith("numpy.core."):
                    raise ImportError("numpy.core is gone")
                return None

        sys.meta_path.insert(0, Blocker())
        import numpy as np
        import numpy._core.multiarray as inner
        import _veltra_testing as t, veltra_native
        print(t.api_ready())
        try:
            veltra_native.parse_fasta("missing.fa", np.zeros(4, np.uint8), True)
        except BaseException as e:
            print(e)
        print(type(vars(inner)[t.BORROW_REGISTRY_ATTRIBUTE]).__name__)
        """
    )
    assert lines == ["True", "assertion failed: mapping.len() == 5", "PyCapsule"]
