"""The NumPy bridge: arrays over native buffers, the item size on this
NumPy's layout, and the shared borrow registry, with NumPy out of reach or
without its old module name. Runs on NumPy 1.x and 2.x alike; how input
arrays are viewed is checked through the array functions (test_data.py)."""

import sys

import numpy as np
import numpy.core.multiarray as multiarray
import pytest

import _veltra_testing as t
import veltra_native
from conftest import failure, run_child

KINDS = {"uint8": np.uint8, "int64": np.int64, "uint64": np.uint64}
API_FAILED = "Python API call failed"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
LENGTH_PANIC = "assertion failed: mapping.len() == 5"


def run_strict(body):
    """What `body` reported from a fresh interpreter in which no call may rely on deprecated API."""
    return run_child(body, env={"PYTHONWARNINGS": "error::DeprecationWarning"})[0]


# --- arrays over native buffers ----------------------------------------------


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("length", [0, 1000])
def test_created_array_adopts_the_buffer(kind, length):
    a = t.array_from_buffer(kind, length)
    assert a.ndim == 1 and a.shape == (length,) and a.dtype == np.dtype(KINDS[kind])
    assert a.flags.writeable and a.flags.c_contiguous and a.flags.aligned and not a.flags.owndata
    assert (type(a.base).__module__, type(a.base).__name__) == ("builtins", "PySliceContainer")
    expected = np.arange(length).astype(a.dtype).tolist()
    assert a.ctypes.data != 0 and a.tolist() == expected
    assert np.concatenate([a, np.ones(2, a.dtype)]).tolist() == [*expected, 1, 1]


@pytest.mark.parametrize("keeper", [lambda a: a[1:], lambda a: a.view(np.uint8), memoryview])
@pytest.mark.parametrize("array_dies_first", [True, False])
def test_buffer_released_once_when_the_last_holder_dies(keeper, array_dies_first):
    calls = t.release_log()[0]
    a = t.raw_array(6, 8, 7, 8)
    holders = [a, keeper(a)]
    del a
    holders.pop(0 if array_dies_first else 1)
    assert t.release_log()[0] == calls
    holders.clear()
    assert t.release_log() == (calls + 1, 6, 8)


@pytest.mark.parametrize(
    "length, capacity, type_num, printed",
    [(3, 3, 12345, "ValueError: Invalid data-type for array\n"), (2**63, 0, 2, "ValueError: negative dimensions are not allowed\n")],
    ids=["no descriptor", "array creation refused"],
)  # fmt: skip
def test_failed_creation_releases_the_buffer_once(length, capacity, type_num, printed, panics):
    calls = t.release_log()[0]
    assert failure(t.raw_array, length, capacity, type_num, 1) == ("PanicException", API_FAILED)
    assert panics.take(before=printed) == [API_FAILED]
    assert t.release_log() == (calls + 1, length, capacity)


def test_failing_release_goes_to_the_unraisable_hook(monkeypatch, panics):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    a = t.raw_array(4, 4, 2, 1, True)
    del a
    assert [(type(s.exc_value).__name__, str(s.exc_value)) for s in seen] == [
        ("PanicException", "release routine failed on purpose")
    ]
    assert panics.take() == ["release routine failed on purpose"]


@pytest.mark.parametrize(
    "array, words",
    [
        (np.arange(3, dtype=np.int32), [1 << 32]),  # 12 bytes: one whole word
        (np.frombuffer(bytes(range(3, 35)), np.int64, offset=3, count=3), None),  # misaligned
        (np.asfortranarray(np.arange(4, dtype=np.int64).reshape(2, 2)), [0, 2, 1, 3]),  # memory order
        (np.zeros(0, np.uint8), []),
    ],
)
def test_int64_view_reads_raw_memory(array, words):
    assert t.int64_view(array) == (array.tolist() if words is None else words)
    assert failure(t.int64_view, np.arange(4)[::2]) == ("ValueError", "Array is not contiguous")


@pytest.mark.parametrize("dtype", ["u1", "<c16", "<U5", [("a", "<i4"), ("b", "<f8")], "V0"], ids=str)
def test_item_size_on_this_numpy_layout(dtype):
    a = np.zeros((2, 3), dtype)
    assert t.item_size(a) == a.dtype.itemsize
    assert len(t.byte_view(a)) == a.nbytes


# --- the borrow registry -------------------------------------------------------


@pytest.fixture
def borrows():
    tokens = []
    yield tokens
    for token in tokens:
        t.release_borrow(token)


def test_shared_borrows_coexist_and_exclude_writers(borrows, panics):
    a = np.arange(10, dtype=np.uint8)
    borrows += [t.shared_borrow(a[:5]), t.shared_borrow(a[:5]), t.shared_borrow(a[3:6])]
    for overlapping in (a, a[5:], a[::-1]):
        assert t.exclusive_borrow(overlapping) is None
    borrows.append(t.exclusive_borrow(a[6:]))
    assert borrows[-1] is not None
    # A writer refuses overlapping readers, not adjacent or empty ones.
    assert failure(t.shared_borrow, a[8:]) == ("PanicException", ALREADY_BORROWED)
    assert panics.take() == [ALREADY_BORROWED]
    borrows += [t.shared_borrow(a[5:6]), t.shared_borrow(a[7:7])]
    while len(borrows) > 1:
        t.release_borrow(borrows.pop(0))
    borrows.append(t.exclusive_borrow(a[:6]))
    assert borrows[-1] is not None


@pytest.mark.parametrize(
    "mapping, is_rna, expected",
    [
        (np.zeros(5, np.uint8), True, ("PanicException", ALREADY_BORROWED)),
        (np.zeros(10, np.uint8)[::2], True, ("TypeError", "The given array is not contiguous")),
        (np.zeros(4, np.uint8), True, ("PanicException", LENGTH_PANIC)),
        (np.zeros(5, np.uint8), 1, ("TypeError", "argument 'is_rna': 'int' object cannot be converted to 'PyBool'")),
    ],
    ids=["held-by-a-writer", "not contiguous", "wrong length", "later argument refused"],
)
def test_calls_borrow_the_mapping_and_give_it_back(borrows, mapping, is_rna, expected, panics):
    attribute = getattr(multiarray, t.BORROW_REGISTRY_ATTRIBUTE)
    assert type(attribute).__name__ == "PyCapsule"
    if expected[1] == ALREADY_BORROWED:
        borrows.append(t.exclusive_borrow(mapping))
    assert failure(veltra_native.parse_fasta, "missing.fa", mapping, is_rna) == expected
    assert panics.take() == ([expected[1]] if expected[0] == "PanicException" else [])
    # Both copies of the bridge share the one registry.
    assert getattr(multiarray, t.BORROW_REGISTRY_ATTRIBUTE) is attribute
    if not borrows:
        borrows.append(t.exclusive_borrow(mapping))
        assert borrows[-1] is not None


def test_unusable_registry_attribute():
    outcomes = run_strict(
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
        outcomes = []
        for value in [42, m._ARRAY_API, new_capsule(ctypes.addressof(old), capsule_name, None), None]:
            if value is None:
                delattr(m, name)
            else:
                setattr(m, name, value)
            outcomes.append(failure(veltra_native.parse_fasta, "missing.fa", np.zeros(4, np.uint8), True)[1])
        report(outcomes + [type(getattr(m, name)).__name__])
        """
    )
    prefix = "Interal borrow checking API error: PyErr { type: "
    assert outcomes[0] == (
        prefix + "<class 'TypeError'>, value: TypeError(\"'int' object cannot be converted to 'PyCapsule'\"), "
        "traceback: None }"
    )
    assert outcomes[1].startswith(prefix + "<class 'ValueError'>, value: ValueError(")
    assert outcomes[2] == (
        prefix + "<class 'RuntimeError'>, value: RuntimeError('borrow registry version 0 is older than the "
        "required 1'), traceback: None }"
    )
    assert outcomes[3:] == [LENGTH_PANIC, "PyCapsule"]


def test_reading_the_registry_attribute_never_warns():
    # NumPy 2's numpy.core.multiarray answers unknown names from
    # numpy._core.multiarray through a __getattr__ that warns.
    assert run_strict(
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
            message = failure(veltra_native.parse_fasta, "missing.fa", np.zeros(4, np.uint8), True)[1]
        report([message, len(caught), type(vars(m)[t.BORROW_REGISTRY_ATTRIBUTE]).__name__])
        """
    ) == [LENGTH_PANIC, 0, "PyCapsule"]


# --- NumPy out of reach --------------------------------------------------------


def test_numpy_import_failure_is_retried():
    outcomes = run_strict(
        """
        class Blocker:
            active = True

            def find_spec(self, name, path=None, target=None):
                if self.active and name.split(".")[0] == "numpy":
                    raise ImportError("numpy is blocked")
                return None

        blocker = Blocker()
        sys.meta_path.insert(0, blocker)
        import _veltra_testing as t, veltra_native

        outcomes = [failure(veltra_native.parse_fasta, "missing.fa", [0] * 5, True), failure(t.api_ready)]
        blocker.active = False
        import numpy as np
        report(outcomes + [failure(veltra_native.parse_fasta, "missing.fa", np.zeros(4, np.uint8), True), t.api_ready()])
        """
    )
    failed = "Failed to access NumPy array API capsule: PyErr { type: <class 'ImportError'>"
    assert outcomes[0][0] == "PanicException" and outcomes[0][1].startswith(failed)
    assert "numpy is blocked" in outcomes[0][1] and outcomes[1][1].startswith(failed)
    assert outcomes[2:] == [["PanicException", LENGTH_PANIC], True]


@pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0", reason="NumPy 1 has no numpy._core package")
def test_numpy_without_the_old_module_name():
    assert run_strict(
        """
        class Blocker:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy.core" or name.startswith("numpy.core."):
                    raise ImportError("numpy.core is gone")
                return None

        sys.meta_path.insert(0, Blocker())
        import numpy as np
        import numpy._core.multiarray as inner
        import _veltra_testing as t, veltra_native
        message = failure(veltra_native.parse_fasta, "missing.fa", np.zeros(4, np.uint8), True)[1]
        report([t.api_ready(), message, type(vars(inner)[t.BORROW_REGISTRY_ATTRIBUTE]).__name__])
        """
    ) == [True, LENGTH_PANIC, "PyCapsule"]
