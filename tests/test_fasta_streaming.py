"""Files read by the workers themselves: a file that changes between the two
passes gives a result or a read error, never a crash or a result that mixes
up its arrays; files without a size up front are read whole."""

import numpy as np
import pytest

import fasta_reference as ref
import veltra_native

hooks = pytest.importorskip("_veltra_testing")

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
CHANGED = UNWRAP + 'Error { kind: InvalidData, message: "file changed while it was being parsed" }'


def records(count, first=1):
    return b"".join(b">%d\nACGTTGCAACGT%s\nGGA\n" % (i, b"T" * (i % 7)) for i in range(first, first + count))


# Several chunks for any worker count above one.
IMAGE = records(12000)
SWAPPED = IMAGE.replace(b"GGA\n", b"CCT\n")
BAD_HEADER = IMAGE.replace(b"\n>9000\n", b"\n>9x00\n")
# Line ends moved: the same count of lines and tokens, or one line more.
MOVED = IMAGE.replace(b"A\nGGA", b"AG\nGA", 1)
SPLIT = IMAGE.replace(b"\nGGA\n>5\n", b"\nG\nA\n>5\n", 1)


@pytest.mark.parametrize(
    "contents, expected",
    [
        (IMAGE, ref.parse_file(IMAGE, True)),
        # What grows past the size seen at the start is not read.
        (IMAGE + records(50, 20000), ref.parse_file(IMAGE, True)),
        (IMAGE[: len(IMAGE) // 2], CHANGED),
        (IMAGE[:-1], CHANGED),
        (b"", CHANGED),
        # Same lines, other residues: the second pass's bytes are the result.
        (SWAPPED, ref.parse_file(SWAPPED, True)),
        (MOVED, ref.parse_file(MOVED, True)),
        (SPLIT, CHANGED),
        # A header rewritten in place: the second pass takes the ids that the
        # first one read.
        (BAD_HEADER, ref.parse_file(IMAGE, True)),
    ],
    ids=["unchanged", "grown", "halved", "last-byte-cut", "emptied", "residues", "line-end-moved", "line-split",
         "bad-header"],
)
def test_file_changed_between_the_passes(tmp_path, capfd, contents, expected):
    path = tmp_path / "changing.fa"
    path.write_bytes(IMAGE)
    try:
        result = hooks.parse_file(str(path), True, contents)
    except BaseException as failure:
        assert type(failure).__name__ == "PanicException"
        result = str(failure)
    assert result == expected
    out, err = capfd.readouterr()
    assert out == f"Reading file\nParsing file {path} in chunks\nMerging result\n"
    # Every failing chunk reports; a result comes without a report.
    assert (err == "") == (not isinstance(expected, str))


WINDOW_FILES = {
    # The first record opens mid-line, far behind where later chunks start.
    "preamble": b"no record yet ACGT\n" * 6000 + b"xx>5\nAC\n>6\nG>T\n",
    "gt-inside-a-long-line": b">1\n" + b"AC>5" * 30000 + b"\n>2\nG\n",
    # Headers and lines longer than a window; empty lines, CRs, no final '\n'.
    "long-lines": b">" + b"0" * 3000 + b"7\n" + b"\n".join([b"ACGT" * 900, b"", b"a\rc", b">+8", b"T" * 5000] * 30),
    "bad-header-late": records(9000) + b">1\xff\nAC\n",
    # Sequences cut between reads; the UTF-8 fault at the end wins over the
    # invalid digit before it.
    "bad-utf8-late": records(9000) + b">1\xe2\x82\xac+\xf0\x9f\x98\nAC\n",
}


@pytest.mark.parametrize("window", [1, 3, 64])
@pytest.mark.parametrize("name", WINDOW_FILES)
def test_lines_and_headers_across_reads(tmp_path, capfd, name, window):
    image = WINDOW_FILES[name]
    assert len(image) >= 100000
    path = tmp_path / f"{name}.fa"
    path.write_bytes(image)
    previous = hooks.set_read_window(window)
    try:
        result = hooks.parse_file(str(path), False)
    except BaseException as failure:
        result = str(failure)
    finally:
        hooks.set_read_window(previous)
    try:
        assert result == ref.parse_file(image, False)
    except ref.HeaderError as error:
        assert result == error.message
    capfd.readouterr()


def test_files_without_a_size_are_read_whole():
    # /proc files report size 0 yet have contents; this one holds no '>'.
    assert b">" not in open("/proc/self/status", "rb").read()
    tokens, offsets, ids = veltra_native.parse_fasta("/proc/self/status", np.zeros(5, np.uint8), True)
    assert (tokens.size, offsets.tolist(), ids.size) == (0, [0], 0)
