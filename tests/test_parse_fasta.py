"""parse_fasta from end to end: the results against the reference parser
whatever the worker count, the mapping checks, read errors, progress lines,
failure reports and the result arrays.

The worker count is fixed per process when the pool starts, so everything
that depends on it runs in long-lived helper processes (parse_worker.py), one
per count, started once for this module.
"""

import gc
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fasta_reference as ref
import veltra_native
from conftest import REPLY_TIMEOUT, parse_everywhere

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

M = np.zeros(5, dtype=np.uint8)
LENGTH_PANIC = "assertion failed: mapping.len() == 5"
NOT_CONTIGUOUS = "The given array is not contiguous"
NOT_AN_ARRAY = "argument 'mapping': '%s' object cannot be converted to 'PyArray<T, D>'"
PARSE_INT = ref.UNWRAP_ERR + "ParseIntError { kind: %s }"
UTF8 = ref.UNWRAP_ERR + "Utf8Error { valid_up_to: %d, error_len: %s }"
REPORT = r"thread '<unnamed>' panicked at src/[\w/]+\.[ch]pp:\d+:\d+:\n"

EMPTY = ([], b"", [0])


def lines(*items, final_newline=True):
    return b"\n".join(items) + (b"\n" if final_newline else b"")


def progress(path):
    return f"Reading file\nParsing file {path} in chunks\nMerging result\n"


def reports(err, messages):
    """`err` is one failure report per message, in any order."""
    found = re.findall(REPORT + r"(.*)\n", err)
    return "".join(re.findall(REPORT + r".*\n", err)) == err and sorted(found) == sorted(messages)


def parse(path, is_rna=True, mapping=M):
    tokens, offsets, ids = veltra_native.parse_fasta(str(path), mapping, is_rna)
    return ids.tolist(), tokens.tobytes(), offsets.tolist()


def failure(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value).__name__, str(info.value)


WORKED = lines(b">1", b"ACGT", b">2", b"GG", b"A")


# ---------------------------------------------------------------------------
# Results in this process


@pytest.mark.parametrize(
    "image, is_rna, expected",
    [
        (WORKED, True, ([1, 2, 2], bytes([4, 6, 5, 7, 5, 5, 4]), [0, 4, 6, 7])),
        (WORKED, False, ([1, 2, 2], bytes([8, 9, 13, 24, 13, 13, 8]), [0, 4, 6, 7])),
        (b"", True, EMPTY),
        (lines(b"ACGT", b"no header at all", b"GG"), True, EMPTY),
        (lines(b">1", b">2", b">+3", final_newline=False), True, EMPTY),
        (lines(b">5", b"AC", b"GU", b"T", b">6"), False, ([5, 5, 5], bytes([8, 9, 13, 29, 24]), [0, 2, 4, 5])),
        (lines(b"preamble", b">007", b"a>C", b"", b"\r\x80"), True, ([7, 7, 7], bytes([3, 3, 6, 3, 3]), [0, 3, 3, 5])),
    ],
    ids=["worked-rna", "worked-protein", "empty", "no-gt", "headers-only", "three-lines", "odd-bytes"],
)  # fmt: skip
def test_small_files(tmp_path, image, is_rna, expected):
    path = tmp_path / "small.fasta"
    path.write_bytes(image)
    assert parse(path, is_rna) == expected
    assert ref.parse_file(image, is_rna) == expected


def test_empty_file_prints_all_three_lines(tmp_path, capfd):
    path = tmp_path / "empty.fasta"
    path.write_bytes(b"")
    capfd.readouterr()
    assert parse(path) == EMPTY
    assert capfd.readouterr() == (progress(path), "")


@pytest.mark.parametrize(
    "mapping, expected",
    [
        (np.zeros(4, dtype=np.uint8), ("PanicException", LENGTH_PANIC)),
        (np.zeros(6, dtype=np.uint8), ("PanicException", LENGTH_PANIC)),
        (np.zeros(0, dtype=np.uint8), ("PanicException", LENGTH_PANIC)),
        (np.zeros(5, dtype=np.int64), ("TypeError", NOT_AN_ARRAY % "ndarray")),
        (np.zeros((1, 5), dtype=np.uint8), ("TypeError", NOT_AN_ARRAY % "ndarray")),
        ([0, 0, 0, 0, 0], ("TypeError", NOT_AN_ARRAY % "list")),
        (np.zeros(10, dtype=np.uint8)[::2], ("TypeError", NOT_CONTIGUOUS)),
        (np.zeros(5, dtype=np.uint8)[::-1], ("TypeError", NOT_CONTIGUOUS)),
        # Contiguity is checked before the length.
        (np.zeros(8, dtype=np.uint8)[::2], ("TypeError", NOT_CONTIGUOUS)),
        (np.zeros(12, dtype=np.uint8)[::2], ("TypeError", NOT_CONTIGUOUS)),
    ],
    ids=["4", "6", "0", "int64", "2-D", "list", "strided", "reversed", "strided-4", "strided-6"],
)
def test_mapping_checks_come_first(tmp_path, capfd, mapping, expected):
    # The file exists and is valid: only the mapping can fail, and it fails
    # before anything is printed or read.
    path = tmp_path / "valid.fasta"
    path.write_bytes(WORKED)
    capfd.readouterr()
    assert failure(lambda: veltra_native.parse_fasta(str(path), mapping, True)) == expected
    out, err = capfd.readouterr()
    assert out == ""
    if expected[0] == "PanicException":
        assert reports(err, [LENGTH_PANIC])
    else:
        assert err == ""


@pytest.mark.parametrize(
    "make_path, detail",
    [
        (lambda tmp: tmp / "absent.fasta", f'Os {{ code: 2, kind: NotFound, message: "{os.strerror(2)}" }}'),
        (lambda tmp: tmp, f'Os {{ code: 21, kind: IsADirectory, message: "{os.strerror(21)}" }}'),
        (lambda tmp: f"{tmp}/small.fasta\0.txt",
         'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
    ],
    ids=["missing", "directory", "nul"],
)  # fmt: skip
def test_read_errors(tmp_path, capfd, make_path, detail):
    (tmp_path / "small.fasta").write_bytes(WORKED)
    path = make_path(tmp_path)
    capfd.readouterr()
    message = ref.UNWRAP_ERR + detail
    assert failure(lambda: veltra_native.parse_fasta(str(path), M, True)) == ("PanicException", message)
    out, err = capfd.readouterr()
    assert out == "Reading file\n"
    assert reports(err, [message])
    # Nothing is left behind that spoils the next call.
    assert parse(tmp_path / "small.fasta") == ([1, 2, 2], bytes([4, 6, 5, 7, 5, 5, 4]), [0, 4, 6, 7])


@pytest.mark.parametrize(
    "header, message",
    [
        (b">1x", PARSE_INT % "InvalidDigit"),
        (b">", PARSE_INT % "Empty"),
        (b">18446744073709551616", PARSE_INT % "PosOverflow"),
        (b">2\r", PARSE_INT % "InvalidDigit"),
        (b">1\xc3(", UTF8 % (1, "Some(1)")),
        (b">12\xf0\x9f\x98", UTF8 % (2, "None")),
    ],
)
def test_bad_header_panics_with_a_report(tmp_path, capfd, header, message):
    path = tmp_path / "bad.fasta"
    path.write_bytes(lines(b">1", b"AC", header, b"G"))
    capfd.readouterr()
    assert failure(lambda: parse(path)) == ("PanicException", message)
    out, err = capfd.readouterr()
    # The parse failed, so the merge never started.
    assert out == f"Reading file\nParsing file {path} in chunks\n"
    assert re.fullmatch(r"thread '<unnamed>' panicked at src/fasta/records\.cpp:\d+:\d+:\n" + re.escape(message) + "\n", err)


@pytest.mark.parametrize(
    "mapping",
    [
        np.zeros(5, dtype=np.uint8),
        np.arange(5, dtype=np.uint8),
        np.full(5, 255, dtype=np.uint8),
        np.frombuffer(b"\x07\x03\x01\x09\x00", dtype=np.uint8),  # read-only
        np.zeros((5, 3), dtype=np.uint8, order="F")[:, 1],  # contiguous column
    ],
    ids=["zeros", "arange", "255", "read-only", "column"],
)
@pytest.mark.parametrize("is_rna", [True, False])
def test_mapping_values_have_no_effect(tmp_path, mapping, is_rna):
    image = lines(b">3", b"ACGTUNacgu>*-", b">4", bytes(range(11, 256)))
    path = tmp_path / "any.fasta"
    path.write_bytes(image)
    before = mapping.copy()
    assert parse(path, is_rna, mapping) == ref.parse_file(image, is_rna)
    assert (mapping == before).all()


@pytest.mark.parametrize("image", [WORKED, b""], ids=["worked", "empty"])
def test_result_arrays(tmp_path, image):
    path = tmp_path / "arrays.fasta"
    path.write_bytes(image)
    expected = ref.parse_file(image, True)
    mapping = np.zeros(5, dtype=np.uint8)
    gc.collect()
    references = sys.getrefcount(mapping)
    result = veltra_native.parse_fasta(str(path), mapping, True)
    assert type(result) is tuple and len(result) == 3
    tokens, offsets, ids = result
    assert sys.getrefcount(mapping) == references
    for array, dtype in zip(result, (np.uint8, np.int64, np.uint64)):
        assert array.dtype == np.dtype(dtype)
        assert array.ndim == 1
        assert array.flags.writeable and array.flags.c_contiguous
        assert type(array.base).__name__ == "PySliceContainer"
    del result, mapping
    gc.collect()

    # Each array keeps its own memory alive, and a later call shares none of it.
    again = parse(path)
    tokens[:] = 1
    offsets[:] = -1
    ids[:] = 2**64 - 1
    assert again == expected
    assert (tokens.tolist(), offsets.tolist(), ids.tolist()) == (
        [1] * len(expected[1]),
        [-1] * len(expected[2]),
        [2**64 - 1] * len(expected[0]),
    )


def test_relative_paths_resolve_against_the_working_directory(tmp_path, monkeypatch, capfd):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "rel.fasta").write_bytes(WORKED)
    (tmp_path / "rel.fasta").write_bytes(lines(b">9", b"T"))
    monkeypatch.chdir(tmp_path / "sub")
    for path, expected in [
        ("rel.fasta", [1, 2, 2]),
        ("./../sub/rel.fasta", [1, 2, 2]),
        ("../rel.fasta", [9]),
    ]:
        capfd.readouterr()
        assert parse(path)[0] == expected
        assert capfd.readouterr().out == progress(path)


@pytest.mark.parametrize("name", ["plain.fasta", "with space.fa", "ünï-名前.fasta", "tab\tand\\slash.fa"])
def test_progress_lines_go_to_descriptor_1_with_the_path_as_passed(tmp_path, capfd, monkeypatch, name):
    (tmp_path / name).write_bytes(WORKED)
    path = f"{tmp_path}//./{name}"
    diverted = io.StringIO()
    monkeypatch.setattr(sys, "stdout", diverted)
    capfd.readouterr()
    parse(path)
    assert capfd.readouterr() == (progress(path), "")
    assert diverted.getvalue() == ""


# ---------------------------------------------------------------------------
# One helper process per worker count (conftest.py)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return tmp_path_factory.mktemp("parse-files")


def assert_parsed_everywhere(pools, path, image, is_rna):
    expected = ref.parse_file(image, is_rna)
    for n, (result, out, err) in parse_everywhere(pools, path, is_rna).items():
        assert result == expected, f"{n} workers"
        assert (out, err) == (progress(path), ""), f"{n} workers"
    return expected


def test_worker_counts_are_as_set(pools, files):
    path = files / "start.fasta"
    path.write_bytes(WORKED)
    parse_everywhere(pools, path, True)  # starts the pools
    for n, worker in pools.items():
        worker.send({"threads": n})
        assert worker.receive() == {"threads": n}


def exact_size(pattern, size):
    """Whole lines of `pattern` repeated, padded with a sequence line to
    exactly `size` bytes."""
    text = pattern * (size // len(pattern) + 1)
    cut = text.rfind(b"\n", 0, size - 1) + 1
    return text[:cut] + b"A" * (size - cut - 1) + b"\n"


def numbered(count, body, first=1):
    return b"".join(b">%d\n" % i + body for i in range(first, first + count))


LARGE_FILES = {
    # No '>' at all, on both sides of the single-chunk limit.
    "no-gt-99999": (b"ACGT no header\n" * 7000)[:99999],
    "no-gt-100000": (b"ACGT no header\n" * 7000)[:100000],
    "no-gt-300001": (b"ACGT no header\n" * 20001)[:300001],
    "headers-only": numbered(30000, b""),
    # Records with '>' inside lines, empty lines and CRs, across the limit.
    "records-99999": exact_size(b">12\nAC>5\n\nacgu\r\n>+007\n>3\nTT>>\n", 99999),
    "records-100000": exact_size(b">12\nAC>5\n\nacgu\r\n>+007\n>3\nTT>>\n", 100000),
    # The first chunks hold no '>'; the first record opens mid-line.
    "long-preamble": b"preamble ACGT\n" * 25000 + b"xx>5\nAC\n>6\nG>T\n",
    # One record whose only line holds a '>' wherever a chunk may start.
    "gt-inside-a-long-line": b">1\n" + b"AC>5" * 60000 + b"\n>2\nG\n",
    # Many small records: their order shows through the ids.
    "many-records": numbered(20000, b"ACGTTGCA\nGG\n"),
}


@pytest.mark.parametrize("name", LARGE_FILES)
def test_large_files(pools, files, name):
    image = LARGE_FILES[name]
    path = files / f"{name}.fasta"
    path.write_bytes(image)
    size = name.rsplit("-", 1)[-1]
    assert not size.isdigit() or len(image) == int(size)
    for is_rna in (True, False):
        ids, tokens, offsets = assert_parsed_everywhere(pools, path, image, is_rna)
    if name.startswith(("no-gt", "headers-only")):
        assert (ids, tokens, offsets) == EMPTY
    if name == "gt-inside-a-long-line":
        assert ids == [1, 2]
    if name == "many-records":
        assert ids == [i for i in range(1, 20001) for _ in range(2)]


# Deep in a multi-chunk file: in its last chunk for every worker count.
DEEP_BAD_HEADERS = [
    (b">12x", PARSE_INT % "InvalidDigit"),
    (b">", PARSE_INT % "Empty"),
    (b">18446744073709551616", PARSE_INT % "PosOverflow"),
    (b">7\r", PARSE_INT % "InvalidDigit"),
    (b">4\xff2", UTF8 % (1, "Some(1)")),
    (b">\xe2\x82", UTF8 % (0, "None")),
]


@pytest.fixture(scope="module")
def deep_file(files):
    """About 3 MB of records; the bad headers replace one at 97 %."""
    record = b"ACGTACGTAC" * 6 + b"\n" + b"TTGCA" * 12 + b"\n" + b"GGA\n"
    headers = [b">%d" % (i * 3 + 1) for i in range(24000)]
    good = b"".join(h + b"\n" + record for h in headers)
    bad_index = len(headers) * 97 // 100
    path = files / "deep-good.fasta"
    path.write_bytes(good)
    return path, ref.parse_file(good, True), headers, record, bad_index


@pytest.mark.parametrize("header, message", DEEP_BAD_HEADERS)
def test_bad_header_deep_in_a_large_file(pools, files, deep_file, header, message):
    good_path, expected, headers, record, bad_index = deep_file
    broken = list(headers)
    broken[bad_index] = header
    image = b"".join(h + b"\n" + record for h in broken)
    assert len(image) > 3_000_000 and image.index(header + b"\n") > len(image) * 0.9
    with pytest.raises(ref.HeaderError) as caught:
        ref.header_id(header[1:])
    assert caught.value.message == message
    path = files / "deep-bad.fasta"
    path.write_bytes(image)
    for n, (result, out, err) in parse_everywhere(pools, path, True).items():
        assert result == ("PanicException", message), f"{n} workers"
        assert out == f"Reading file\nParsing file {path} in chunks\n"
        assert reports(err, [message]), err
    # The same processes go on parsing correctly.
    for n, (result, out, err) in parse_everywhere(pools, good_path, True).items():
        assert result == expected, f"{n} workers"
        assert (out, err) == (progress(good_path), "")


# ---------------------------------------------------------------------------
# Random files against the reference, for every worker count


def number_text(value):
    return st.sampled_from(["", "+", "0", "000"]).map(lambda prefix: (prefix + str(value)).encode())


valid_header = st.one_of(st.integers(0, 2**64 - 1), st.integers(0, 99)).flatmap(number_text).map(lambda t: b">" + t)
bad_header = st.sampled_from([b">", b">-1", b">1\r", b">x", b">18446744073709551616", b">\xff", b">1 ", b">+"])


def sequence(line):
    # A line that starts with '>' would be a header.
    return b"A" + line[1:] if line.startswith(b">") else line


sequence_line = st.one_of(
    st.binary(max_size=60).map(lambda b: b.replace(b"\n", b"C")),
    st.text("ACGTUNacgu>*-\r MKWY", max_size=70).map(str.encode),
    st.just(b""),
).map(sequence)

# Sizes to pad a file to; None leaves it as generated (a few hundred bytes).
SIZES = [None] * 6 + [99999, 100000, 100001, 150000, 400000]
FILLERS = [b"A", b"ACGT>", b"ac\rN\x80\xff", b"GATTACA\n>12\nAC>\n", b"TTT\n\n>+007\nC>>\n", b"\n"]


def pad_to(head, body, filler, size, final_newline):
    """The lines head + body * k + [padding] with k as large as fits and the
    padding (`filler` repeated, perhaps over several lines) making the file
    exactly `size` bytes; None if head alone is too long."""
    used = len(b"\n".join(head)) + (1 if final_newline else 0) + 1
    if used > size:
        return None
    unit = sum(len(line) + 1 for line in body)
    repeats = (size - used) // unit if unit else 0
    room = size - used - repeats * unit
    padding = (filler * (room // len(filler) + 1))[:room]
    last = padding.rfind(b"\n") + 1
    if padding[last:].startswith(b">"):  # a cut header might not be a number
        padding = padding[:last] + b"A" + padding[last + 1 :]
    return [*head, *body * repeats, padding]


@st.composite
def fasta_files(draw, headers=valid_header):
    preamble = draw(st.lists(st.text("xyzACGT \r\t", max_size=12).map(str.encode), max_size=3))
    if draw(st.integers(0, 9)) == 0:
        preamble.append(b"\n".join([b"no record yet"] * draw(st.sampled_from([10, 12000]))))
    lead = draw(st.sampled_from([b"", b"", b"x", b"AC "]))  # the first '>' may stand mid-line
    head = [*preamble, lead + draw(headers)]
    body = draw(st.lists(st.one_of(headers, sequence_line), max_size=40))
    final_newline = draw(st.booleans())
    size = draw(st.sampled_from(SIZES))
    padded = None if size is None else pad_to(head, body, draw(st.sampled_from(FILLERS)), size, final_newline)
    image = b"\n".join(padded or [*head, *body]) + (b"\n" if final_newline else b"")
    assert padded is None or len(image) == size
    return image


SETTINGS = dict(
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@settings(max_examples=120, **SETTINGS)
@given(image=fasta_files(), is_rna=st.booleans())
def test_random_files_give_the_reference_result(pools, files, image, is_rna):
    path = files / "random.fasta"
    path.write_bytes(image)
    ids, tokens, offsets = assert_parsed_everywhere(pools, path, image, is_rna)
    assert offsets[0] == 0 and offsets[-1] == len(tokens) and len(offsets) == len(ids) + 1


def reference(image, is_rna):
    """What a parse of the whole file must give: the result or the failure."""
    try:
        return ref.parse_file(image, is_rna)
    except ref.HeaderError as error:
        return ("PanicException", error.message)


def chunk_failures(image, workers):
    """The failure of every chunk that fails, by the driver's chunk plan."""
    count = 1 if len(image) < 100000 else workers
    length = -(-len(image) // count)
    messages = set()
    for i in range(count):
        start = min(i * length, len(image))
        try:
            ref.parse_chunk(image, start, min(start + length, len(image)), True)
        except ref.HeaderError as error:
            messages.add(error.message)
    return messages


@settings(max_examples=40, **SETTINGS)
@given(image=fasta_files(headers=st.one_of(valid_header, valid_header, valid_header, bad_header)))
def test_random_files_with_bad_headers(pools, files, image):
    path = files / "random-bad.fasta"
    path.write_bytes(image)
    expected = reference(image, True)
    for n, (result, out, err) in parse_everywhere(pools, path, True).items():
        if expected[0] != "PanicException":
            assert result == expected and (out, err) == (progress(path), "")
            continue
        # Every failing chunk reports, and the first of them in the file is
        # raised: the file's first bad header, as in a one-chunk parse.
        possible = chunk_failures(image, n)
        assert result == expected, f"{n} workers"
        assert out == f"Reading file\nParsing file {path} in chunks\n"
        found = re.findall(REPORT + r"(.*)\n", err)
        assert reports(err, found) and result[1] in found and set(found) <= possible


# ---------------------------------------------------------------------------
# The README's example


@pytest.mark.parametrize("protein", [False, True])
def test_example_script(protein):
    command = "python examples/parse_example.py"
    assert command in (ROOT / "README.md").read_text()
    done = subprocess.run(
        [sys.executable, "examples/parse_example.py", *(["--protein"] if protein else [])],
        cwd=ROOT,
        capture_output=True,
        timeout=REPLY_TIMEOUT,
    )
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    sample = ROOT / "examples" / "sample.fasta"
    ids, tokens, offsets = ref.parse_file(sample.read_bytes(), not protein)
    summary = ["7 sequence lines in 4 records, 54 tokens"] + [
        f"record {record}: {list(tokens[offsets[i] : offsets[i + 1]])}" for i, record in enumerate(ids[:5])
    ]
    assert done.stdout.decode() == progress(sample) + "\n".join(summary) + "\n"
    assert done.stderr == b""
