"""parse_fasta from end to end: the results against the reference parser
whatever the worker count, the mapping checks, headers, read errors, progress
lines, failure reports and the result arrays.

The worker count is fixed per process when the pool starts, so everything
that depends on it runs in long-lived helper processes (parse_worker.py), one
per count, started once for this module.
"""

import os
import re
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import fasta_reference as ref
import veltra_native
from conftest import MAPPING, REPLY_TIMEOUT, ROOT, failure, parse, parse_everywhere, report_messages
from fasta_reference import EMPTY, PARSE_INT, UTF8, WORKED, WORKED_RESULT, lines, numbered, progress

LENGTH_PANIC = "assertion failed: mapping.len() == 5"
NOT_CONTIGUOUS = "The given array is not contiguous"
# A report of the chunk parser, and nothing else.
CHUNK_REPORT = r"thread '<unnamed>' panicked at src/fasta[\w/]*\.cpp:\d+:\d+:\n"


@pytest.mark.parametrize(
    "image, is_rna, expected",
    [
        (WORKED, True, WORKED_RESULT),
        (WORKED, False, ([1, 2, 2], bytes([8, 9, 13, 24, 13, 13, 8]), [0, 4, 6, 7])),
        (b"", True, EMPTY),
        (lines(b"ACGT", b"no header at all", b"GG"), True, EMPTY),
        (lines(b">1", b">2", b">+3", final_newline=False), True, EMPTY),
        (lines(b">5", b"AC", b"GU", b"T", b">6"), False, ([5, 5, 5], bytes([8, 9, 13, 29, 24]), [0, 2, 4, 5])),
        (lines(b"preamble", b">007", b"a>C", b"", b"\r\x80"), True, ([7, 7, 7], bytes([3, 3, 6, 3, 3]), [0, 3, 3, 5])),
        # Lines are entries, an empty one and a last one without '\n' too.
        (lines(b">7", b"ACGT", b"AC", b">9", b"", b"G", final_newline=False), True,
         ([7, 7, 9, 9], bytes([4, 6, 5, 7, 4, 6, 5]), [0, 4, 6, 6, 7])),
        (lines(b">1", b"AC", b""), True, ([1, 1], bytes([4, 6]), [0, 2, 2])),
        # The file's first '>' opens a record wherever it stands.
        (lines(b"xy>3", b"AC"), True, ([3], bytes([4, 6]), [0, 2])),
    ],
    ids=["worked-rna", "worked-protein", "empty", "no-gt", "headers-only", "three-lines", "odd-bytes",
         "empty-line", "trailing-empty-line", "first-gt-mid-line"],
)  # fmt: skip
def test_small_files(tmp_path, capfd, image, is_rna, expected):
    path = tmp_path / "small.fasta"
    path.write_bytes(image)
    capfd.readouterr()
    assert parse(path, is_rna) == expected
    assert capfd.readouterr() == (progress(path), "")
    assert ref.parse_file(image, is_rna) == expected


@pytest.mark.parametrize(
    "header, expected",
    [(b"+5", 5), (b"007", 7), (b"0", 0), (b"18446744073709551615", 2**64 - 1),
     (b"00000000000000000000000018446744073709551615", 2**64 - 1)],
)  # fmt: skip
def test_header_accepted(tmp_path, header, expected):
    path = tmp_path / "header.fa"
    path.write_bytes(lines(b">" + header, b"A"))
    assert parse(path) == ([expected], bytes([4]), [0, 1])


@pytest.mark.parametrize(
    "header, message",
    [
        (b"", PARSE_INT % "Empty"),
        (b"1\r", PARSE_INT % "InvalidDigit"),
        (b"-5", PARSE_INT % "InvalidDigit"),
        (b"+", PARSE_INT % "InvalidDigit"),
        ("\u0663".encode(), PARSE_INT % "InvalidDigit"),  # a non-ASCII digit
        (b"18446744073709551616", PARSE_INT % "PosOverflow"),
        (b"+99999999999999999999", PARSE_INT % "PosOverflow"),
        (b"\xff", UTF8 % (0, "Some(1)")),
        (b"1\xc3(", UTF8 % (1, "Some(1)")),
        (b"12\xff", UTF8 % (2, "Some(1)")),
        (b"\xc0\x80", UTF8 % (0, "Some(1)")),  # overlong
        (b"\xe0\x80\x80", UTF8 % (0, "Some(1)")),  # overlong
        (b"\xed\xa0\x80", UTF8 % (0, "Some(1)")),  # surrogate
        (b"\xf4\x90\x80\x80", UTF8 % (0, "Some(1)")),  # above U+10FFFF
        (b"\xe2\x82A", UTF8 % (0, "Some(2)")),
        (b"1\xf0\x90\x80A", UTF8 % (1, "Some(3)")),
        (b"7\xe2\x82", UTF8 % (1, "None")),  # truncated
        (b"\xc3", UTF8 % (0, "None")),
        (b"\xf0\x90\x80", UTF8 % (0, "None")),
        (b"-\xff", UTF8 % (1, "Some(1)")),  # UTF-8 is checked first
    ],
)
def test_bad_header_panics_with_one_report(tmp_path, capfd, header, message):
    path = tmp_path / "bad.fasta"
    image = lines(b">1", b"AC", b">" + header, b"G")
    path.write_bytes(image)
    capfd.readouterr()
    assert failure(parse, path) == ("PanicException", message)
    assert ref.outcome(image, True) == ("PanicException", message)
    out, err = capfd.readouterr()
    # The parse failed, so the merge never started.
    assert out == progress(path, merged=False)
    assert re.fullmatch(CHUNK_REPORT + re.escape(message) + "\n", err)


@pytest.mark.parametrize(
    "image, kind", [(lines(b">1", b"A", b">x", final_newline=False), "InvalidDigit"), (b">", "Empty")]
)
def test_header_on_the_last_line_without_newline(tmp_path, panics, image, kind):
    path = tmp_path / "last.fasta"
    path.write_bytes(image)
    assert failure(parse, path) == ("PanicException", PARSE_INT % kind)
    assert panics.take() == [PARSE_INT % kind]


@pytest.mark.parametrize(
    "mapping, expected",
    [
        (np.zeros(4, dtype=np.uint8), ("PanicException", LENGTH_PANIC)),
        (np.zeros(6, dtype=np.uint8), ("PanicException", LENGTH_PANIC)),
        (np.zeros(10, dtype=np.uint8)[::2], ("TypeError", NOT_CONTIGUOUS)),
        # Contiguity is checked before the length.
        (np.zeros(8, dtype=np.uint8)[::2], ("TypeError", NOT_CONTIGUOUS)),
    ],
    ids=["4", "6", "strided", "strided-4"],
)
def test_mapping_checks_come_first(tmp_path, capfd, mapping, expected):
    # The file exists and is valid: only the mapping can fail, and it fails
    # before anything is printed or read.
    path = tmp_path / "valid.fasta"
    path.write_bytes(WORKED)
    capfd.readouterr()
    assert failure(veltra_native.parse_fasta, str(path), mapping, True) == expected
    out, err = capfd.readouterr()
    assert out == ""
    assert report_messages(err) == ([LENGTH_PANIC] if expected[0] == "PanicException" else [])


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
    assert failure(veltra_native.parse_fasta, str(path), MAPPING, True) == ("PanicException", message)
    out, err = capfd.readouterr()
    assert out == "Reading file\n"
    assert report_messages(err) == [message]
    # Nothing is left behind that spoils the next call.
    assert parse(tmp_path / "small.fasta") == WORKED_RESULT


@pytest.mark.parametrize("mapping", [np.arange(5, dtype=np.uint8), np.full(5, 255, dtype=np.uint8)])
def test_mapping_values_have_no_effect(tmp_path, mapping):
    image = lines(b">3", b"ACGTUNacgu>*-", b">4", bytes(range(11, 256)))
    path = tmp_path / "any.fasta"
    path.write_bytes(image)
    before = mapping.copy()
    for is_rna in (True, False):
        assert parse(path, is_rna, mapping) == ref.parse_file(image, is_rna)
    assert (mapping == before).all()


def test_result_arrays(tmp_path):
    path = tmp_path / "arrays.fasta"
    path.write_bytes(WORKED)
    result = veltra_native.parse_fasta(str(path), MAPPING, True)
    assert type(result) is tuple and len(result) == 3
    for array, dtype in zip(result, (np.uint8, np.int64, np.uint64)):
        assert array.dtype == np.dtype(dtype) and array.ndim == 1
        assert array.flags.writeable and array.flags.c_contiguous
        assert type(array.base).__name__ == "PySliceContainer"
    # Each array keeps its own memory alive, and a later call shares none of it.
    tokens, offsets, ids = result
    del result
    again = parse(path)
    tokens[:], offsets[:], ids[:] = 1, -1, 2**64 - 1
    assert again == WORKED_RESULT
    assert (tokens.tolist(), offsets.tolist(), ids.tolist()) == ([1] * 7, [-1] * 4, [2**64 - 1] * 3)


def test_paths_are_used_and_printed_as_passed(tmp_path, monkeypatch, capfd):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "ünï-名前\t.fasta").write_bytes(WORKED)
    (tmp_path / "rel.fasta").write_bytes(lines(b">9", b"T"))
    monkeypatch.chdir(tmp_path / "sub")
    for path, expected in [("ünï-名前\t.fasta", [1, 2, 2]), (".//../sub/ünï-名前\t.fasta", [1, 2, 2]), ("../rel.fasta", [9])]:
        capfd.readouterr()
        assert parse(path)[0] == expected
        assert capfd.readouterr() == (progress(path), "")


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


LARGE_FILES = {
    # No '>' at all, on both sides of the single-chunk limit.
    "no-gt-99999": (b"ACGT no header\n" * 7000)[:99999],
    "no-gt-100000": (b"ACGT no header\n" * 7000)[:100000],
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
    ids, tokens, offsets = assert_parsed_everywhere(pools, path, image, True)
    if name.startswith(("no-gt", "headers-only")):
        assert (ids, tokens, offsets) == EMPTY
    if name == "gt-inside-a-long-line":
        assert ids == [1, 2]
    if name == "many-records":
        assert ids == [i for i in range(1, 20001) for _ in range(2)]


@pytest.fixture(scope="module")
def deep_file(files):
    """About 3 MB of records; the bad headers replace one at 97 %."""
    record = b"ACGTACGTAC" * 6 + b"\n" + b"TTGCA" * 12 + b"\n" + b"GGA\n"
    headers = [b">%d" % (i * 3 + 1) for i in range(24000)]
    good = b"".join(h + b"\n" + record for h in headers)
    path = files / "deep-good.fasta"
    path.write_bytes(good)
    return path, ref.parse_file(good, True), headers, record


@pytest.mark.parametrize("header, message", [(b">12x", PARSE_INT % "InvalidDigit"), (b">\xe2\x82", UTF8 % (0, "None"))])
def test_bad_header_deep_in_a_large_file(pools, files, deep_file, header, message):
    # In the last chunk for every worker count.
    good_path, expected, headers, record = deep_file
    broken = list(headers)
    broken[len(headers) * 97 // 100] = header
    image = b"".join(h + b"\n" + record for h in broken)
    path = files / "deep-bad.fasta"
    path.write_bytes(image)
    for n, (result, out, err) in parse_everywhere(pools, path, True).items():
        assert result == ("PanicException", message), f"{n} workers"
        assert out == progress(path, merged=False)
        assert report_messages(err) == [message]
    # The same processes go on parsing correctly.
    for n, (result, out, err) in parse_everywhere(pools, good_path, True).items():
        assert result == expected, f"{n} workers"
        assert (out, err) == (progress(good_path), "")


# ---------------------------------------------------------------------------
# Random files against the reference, for every worker count


@ref.examples(100)
@given(image=ref.fasta_files(padded=True), is_rna=st.booleans())
def test_random_files_give_the_reference_result(pools, files, image, is_rna):
    path = files / "random.fasta"
    path.write_bytes(image)
    ids, tokens, offsets = assert_parsed_everywhere(pools, path, image, is_rna)
    assert offsets[0] == 0 and offsets[-1] == len(tokens) and len(offsets) == len(ids) + 1


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


@ref.examples(25)
@given(image=ref.fasta_files(headers=ref.any_header, padded=True))
def test_random_files_with_bad_headers(pools, files, image):
    path = files / "random-bad.fasta"
    path.write_bytes(image)
    expected = ref.outcome(image, True)
    for n, (result, out, err) in parse_everywhere(pools, path, True).items():
        assert result == expected, f"{n} workers"
        if expected[0] != "PanicException":
            assert (out, err) == (progress(path), "")
            continue
        # Every failing chunk reports, and the first of them in the file is
        # raised: the file's first bad header, as in a one-chunk parse.
        assert out == progress(path, merged=False)
        found = report_messages(err)
        assert result[1] in found and set(found) <= chunk_failures(image, n)


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
