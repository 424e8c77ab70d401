"""parse_fasta from end to end: the mapping checks, read errors, progress
lines, failure reports and the result arrays."""

import gc
import io
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import fasta_reference as ref
import veltra_native

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SCRIPT_TIMEOUT = 120

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
    assert re.fullmatch(r"thread '<unnamed>' panicked at src/fasta\.cpp:\d+:\d+:\n" + re.escape(message) + "\n", err)


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
# The README's example


@pytest.mark.parametrize("protein", [False, True])
def test_example_script(protein):
    command = "python examples/parse_example.py"
    assert command in (ROOT / "README.md").read_text()
    done = subprocess.run(
        [sys.executable, "examples/parse_example.py", *(["--protein"] if protein else [])],
        cwd=ROOT,
        capture_output=True,
        timeout=SCRIPT_TIMEOUT,
    )
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    sample = ROOT / "examples" / "sample.fasta"
    ids, tokens, offsets = ref.parse_file(sample.read_bytes(), not protein)
    summary = ["7 sequence lines in 4 records, 54 tokens"] + [
        f"record {record}: {list(tokens[offsets[i] : offsets[i + 1]])}" for i, record in enumerate(ids[:5])
    ]
    assert done.stdout.decode() == progress(sample) + "\n".join(summary) + "\n"
    assert done.stderr == b""
