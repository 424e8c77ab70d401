"""Nothing leaks: every call, whether it returns, is refused or panics, leaves
the reference counts of its arguments as they were, and memory stays flat
over many thousands of calls, both the interpreter's (tracemalloc) and the
native buffers' (resident set size).

The memory checks run in child interpreters with a fixed worker count, so
that what they measure is the module's alone. Under the sanitizer build the
resident set size says nothing (the sanitizer keeps freed memory in
quarantine), so those checks are skipped there.
"""

import collections
import json
import sys
import textwrap

import numpy as np
import pytest

import veltra_native as vn
from conftest import SANITIZED, run_child

u8 = lambda *values: np.array(values, dtype=np.uint8)  # noqa: E731
i64 = lambda *values: np.array(values, dtype=np.int64)  # noqa: E731
Pair = collections.namedtuple("Pair", "content offsets")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    where = tmp_path_factory.mktemp("leaks")
    paths = {}
    for name, data in {"good": b">1\nACGT\n>2\nGG\nA\n", "bad": b">1\nAC\n>x\nG\n"}.items():
        paths[name] = str(where / f"{name}.fa")
        with open(paths[name], "wb") as f:
            f.write(data)
    paths["missing"] = str(where / "missing.fa")
    paths["directory"] = str(where)
    return paths


# --- reference counts ------------------------------------------------------------------

MAPPING = np.zeros(5, np.uint8)

# (function, arguments, expected outcome: None for a result, else the exception's name)
ARRAY_CASES = {
    "numpy-ok": (vn.concatenate_numpy, lambda: [[np.arange(4), np.arange(3)]], None),
    "numpy-0-d-and-fortran": (vn.concatenate_numpy, lambda: [[np.array(5, np.int64),
                                                              np.asfortranarray(np.ones((2, 3), np.int64))]], None),
    "numpy-not-a-list": (vn.concatenate_numpy, lambda: [(np.arange(3),)], "TypeError"),
    "numpy-not-an-array": (vn.concatenate_numpy, lambda: [[np.arange(3), "x"]], "TypeError"),
    "numpy-empty": (vn.concatenate_numpy, lambda: [[]], "ValueError"),
    "numpy-dtype": (vn.concatenate_numpy, lambda: [[np.arange(3), np.arange(3.0)]], "ValueError"),
    "numpy-strided": (vn.concatenate_numpy, lambda: [[np.arange(3), np.arange(6)[::2]]], "ValueError"),
    "awkward-ok": (vn.awkward_from_list_of_numpy, lambda: [[np.arange(4), np.arange(3)]], None),
    "awkward-empty": (vn.awkward_from_list_of_numpy, lambda: [[]], "ValueError"),
    "awkward-not-an-array": (vn.awkward_from_list_of_numpy, lambda: [[np.arange(3), None]], "TypeError"),
    "awkward-dtype": (vn.awkward_from_list_of_numpy, lambda: [[np.arange(3), np.arange(3.0)]], "ValueError"),
    "awkward-strided": (vn.awkward_from_list_of_numpy, lambda: [[np.arange(3), np.arange(6)[::2]]], "ValueError"),
    "join-ok": (vn.concatenate_awkward, lambda: [[(u8(1, 2), i64(0, 2)), Pair(u8(3), i64(0, 1)),
                                                 (u8(4), i64(0, 1), "extra")]], None),
    "join-not-a-tuple": (vn.concatenate_awkward, lambda: [[(u8(1), i64(0, 1)), [u8(1), i64(0, 1)]]], "TypeError"),
    "join-short-tuple": (vn.concatenate_awkward, lambda: [[(u8(1), i64(0, 1)), (u8(1),)]], "IndexError"),
    "join-not-an-array": (vn.concatenate_awkward, lambda: [[(u8(1), i64(0, 1)), (u8(1), [0, 1])]], "TypeError"),
    "join-strided": (vn.concatenate_awkward, lambda: [[(u8(1), i64(0, 1)), (u8(1, 2, 3)[::2], i64(0, 1))]],
                     "ValueError"),
    "join-empty-offsets": (vn.concatenate_awkward, lambda: [[(u8(1), i64(0, 1)), (u8(2), i64())]],
                           "PanicException"),
    "join-empty": (vn.concatenate_awkward, lambda: [[]], None),
    "join-not-a-list": (vn.concatenate_awkward, lambda: [((u8(1), i64(0, 1)),)], "TypeError"),
    "awkward-not-a-list": (vn.awkward_from_list_of_numpy, lambda: [np.arange(3)], "TypeError"),
    "numpy-two-arguments": (vn.concatenate_numpy, lambda: [[np.arange(3)], [np.arange(3)]], "TypeError"),
}  # fmt: skip

FASTA_CASES = {
    "fasta-ok": ("good", MAPPING, True, None),
    "fasta-missing": ("missing", MAPPING, True, "PanicException"),
    "fasta-directory": ("directory", MAPPING, False, "PanicException"),
    "fasta-bad-header": ("bad", MAPPING, True, "PanicException"),
    "fasta-mapping-length": ("good", np.zeros(4, np.uint8), True, "PanicException"),
    "fasta-mapping-strided": ("good", np.zeros(10, np.uint8)[::2], True, "TypeError"),
    "fasta-mapping-dtype": ("good", np.zeros(5, np.int64), True, "TypeError"),
    # `mapping` converted and borrowed before `is_rna` is refused.
    "fasta-is-rna": ("good", MAPPING, 1, "TypeError"),
    "fasta-numpy-bool": ("good", MAPPING, np.True_, None),
    "fasta-path-bytes": (b"good.fa", MAPPING, True, "TypeError"),
}


def watched(value):
    """Every object a call borrows or keeps for its duration."""
    out = [value]
    if isinstance(value, np.ndarray):
        out.append(value.dtype)
    if isinstance(value, (list, tuple)):
        for item in value:
            out += watched(item)
    return out


def call(function, args, outcome):
    """Returns the message of the PanicException that the call raised, if it did."""
    try:
        result = function(*args)
    except BaseException as error:  # PanicException derives from BaseException
        assert type(error).__name__ == outcome, error
        return [str(error)] if outcome == "PanicException" else []
    assert outcome is None
    del result
    return []


def check_counts(function, args, outcome, objects=None):
    """Returns the messages of the PanicExceptions raised, one per call."""
    if objects is None:
        objects = [x for arg in args for x in watched(arg)]
    panicked = call(function, args, outcome)  # first use may create process-wide items
    before = [sys.getrefcount(x) for x in objects]
    for _ in range(5):
        panicked += call(function, args, outcome)
    after = [sys.getrefcount(x) for x in objects]
    assert after == before
    return panicked


@pytest.mark.parametrize("case", list(ARRAY_CASES))
def test_array_functions_leave_reference_counts_alone(case, panics):
    function, make, outcome = ARRAY_CASES[case]
    assert check_counts(function, make(), outcome) == panics.take()


@pytest.mark.parametrize("case", list(FASTA_CASES))
def test_parse_fasta_leaves_reference_counts_alone(case, files, panics):
    name, mapping, is_rna, outcome = FASTA_CASES[case]
    # A path string of its own, so that nothing else holds it.
    path = "".join(files[name]) if isinstance(name, str) else name
    assert check_counts(vn.parse_fasta, (path, mapping, is_rna), outcome) == panics.take()


@pytest.mark.parametrize(
    "kwargs, outcome",
    [
        ({"mapping": MAPPING, "is_rna": True}, None),
        ({"mapping": MAPPING, "is_rna": True, "path": "again"}, "TypeError"),
        ({"mapping": MAPPING, "is_rna": True, "Path": "again"}, "TypeError"),
        ({"mapping": MAPPING}, "TypeError"),
    ],
    ids=["keywords", "given-twice", "unexpected", "missing"],
)
def test_binding_leaves_reference_counts_alone(kwargs, outcome, files):
    path = "".join(files["good"])
    objects = [path, *watched(list(kwargs.values()))]
    check_counts(lambda: vn.parse_fasta(path, **kwargs), (), outcome, objects)


def test_refused_borrow_leaves_reference_counts_alone(files, panics):
    testing = pytest.importorskip("_veltra_testing")
    mapping = np.zeros(5, np.uint8)
    writer = testing.exclusive_borrow(mapping)
    try:
        panicked = check_counts(vn.parse_fasta, ("".join(files["good"]), mapping, True), "PanicException")
        assert panicked == panics.take()
    finally:
        testing.release_borrow(writer)


# --- memory over many calls ------------------------------------------------------------

CHILD = """
import tracemalloc
import numpy as np
import veltra_native as vn

u8 = lambda *values: np.array(values, dtype=np.uint8)
i64 = lambda *values: np.array(values, dtype=np.int64)
M = np.zeros(5, np.uint8)
FILES = json.loads(sys.argv[1])
BIG = np.arange(90_000, dtype=np.int64)  # 720 kB: joins of two are mapped buffers
CASES = {cases}

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def loop(f, n):
    for _ in range(n):
        try:
            f()
        except BaseException:
            pass

growth = {{name: {{}} for name in CASES}}
if MEASURE_RSS:
    for name, (f, calls) in CASES.items():
        loop(f, calls // 10)  # warm-up: caches, pool, allocator arenas
        before = rss()
        loop(f, calls)
        growth[name]["rss"] = rss() - before

tracemalloc.start()
for name, (f, calls) in CASES.items():
    # Long enough for the sanitizers' allocator, which reuses freed blocks
    # only after a quarantine, to settle what the tracer sees.
    loop(f, min(calls, 2000))
    before = tracemalloc.get_traced_memory()[0]
    loop(f, min(calls, 1000))
    growth[name]["traced"] = tracemalloc.get_traced_memory()[0] - before
tracemalloc.stop()
report(growth)
"""

N = 20_000
FEWER = 10_000  # failures cost more: each builds an exception, each panic writes a report
MEMORY_CASES = {
    "parse_fasta": """{
        "ok": (lambda: vn.parse_fasta(FILES["good"], M, True), N),
        "missing": (lambda: vn.parse_fasta(FILES["missing"], M, True), FEWER),
        "bad-header": (lambda: vn.parse_fasta(FILES["bad"], M, True), FEWER),
        "large": (lambda: vn.parse_fasta(FILES["large"], M, False), 50),
    }""",
    "concatenate_numpy": """{
        "ok": (lambda: vn.concatenate_numpy([np.arange(4), np.arange(3)]), N),
        "dtype": (lambda: vn.concatenate_numpy([np.arange(4), np.arange(3.0)]), FEWER),
        "large": (lambda: vn.concatenate_numpy([BIG, BIG]), 50),
    }""",
    "awkward_from_list_of_numpy": """{
        "ok": (lambda: vn.awkward_from_list_of_numpy([np.arange(4), np.arange(3)]), N),
        "strided": (lambda: vn.awkward_from_list_of_numpy([np.arange(4), np.arange(6)[::2]]), FEWER),
        "large": (lambda: vn.awkward_from_list_of_numpy([BIG, BIG]), 50),
    }""",
    "concatenate_awkward": """{
        "ok": (lambda: vn.concatenate_awkward([(u8(1, 2), i64(0, 2)), (u8(3), i64(0, 1))]), N),
        # The content is joined before the empty offsets panic.
        "panic": (lambda: vn.concatenate_awkward([(np.zeros(4000, np.uint8), i64(0, 4000)), (u8(2), i64())]),
                  FEWER),
        "short-tuple": (lambda: vn.concatenate_awkward([(u8(1), i64(0, 1)), (u8(1),)]), FEWER),
        "large": (lambda: vn.concatenate_awkward([(BIG, i64(0, BIG.nbytes)), (BIG, i64(0, BIG.nbytes))]), 50),
    }""",
}

# Leaking the smallest heap block (32 bytes) on every call grows the resident
# set by some 200 kB over 10000 calls, and the traced memory by 32 kB over
# 1000. Large results are mappings of their own: a leaked one is more than a
# megabyte a call.
RSS_SLACK = 128 * 1024
RSS_SLACK_LARGE = 8 * 1024 * 1024
TRACED_SLACK = 16 * 1024


@pytest.fixture(scope="module")
def memory_files(files, tmp_path_factory):
    large = tmp_path_factory.mktemp("large") / "large.fa"
    record = b">7\n" + b"ACDEFGHIKLMNPQRSTVWY" * 3 + b"\n"
    with open(large, "wb") as f:
        f.write(record * (1_300_000 // len(record)))
    return {**files, "large": str(large)}


@pytest.mark.parametrize("function", list(MEMORY_CASES))
def test_memory_stays_flat_over_many_calls(function, memory_files):
    cases = textwrap.dedent(MEMORY_CASES[function])
    script = f"N, FEWER, MEASURE_RSS = {N}, {FEWER}, {not SANITIZED}\n" + CHILD.format(cases=cases)
    growth, _, _ = run_child(script, json.dumps(memory_files), workers=2)
    for name, grown in growth.items():
        assert grown["traced"] <= TRACED_SLACK, (name, grown)
        assert SANITIZED or grown["rss"] <= (RSS_SLACK_LARGE if name == "large" else RSS_SLACK), (name, grown)
