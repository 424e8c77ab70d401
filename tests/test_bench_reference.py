"""The benchmark helpers that other tests reuse or that decide whether a comparison is honest:
the pure-NumPy FASTA tokeniser, the synthetic FASTA generator and its compressed forms, and the
record-to-lines recovery."""

import gzip
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

import bench_parse_fasta  # noqa: E402
import make_fasta  # noqa: E402
from _benchutil import parse_size  # noqa: E402
from numpy_fasta import FastaFormatError, RecordCollector, parse_fasta_bytes, token_table  # noqa: E402


def line_by_line(data: bytes, is_rna: bool):
    """The file-order parse, one line at a time, for well-formed input."""
    table = token_table(is_rna)
    tokens, offsets, ids = [], [0], []
    pos = data.find(b">")
    current = None
    while 0 <= pos < len(data):
        end = data.find(b"\n", pos)
        end = len(data) if end < 0 else end
        line = data[pos:end]
        if line.startswith(b">"):
            current = int(line[1:])
        else:
            tokens.extend(int(table[b]) for b in line)
            offsets.append(len(tokens))
            ids.append(current)
        pos = end + 1
    return np.array(tokens, np.uint8), np.array(offsets, np.int64), np.array(ids, np.uint64)


def assert_same(got, want):
    for g, w, dtype in zip(got, want, (np.uint8, np.int64, np.uint64), strict=True):
        assert g.dtype == dtype
        np.testing.assert_array_equal(g, w)


@pytest.mark.parametrize(
    "data, is_rna, tokens, offsets, ids",
    [
        (b">1\nACGT\n>2\nGG\nA\n", True, [4, 6, 5, 7, 5, 5, 4], [0, 4, 6, 7], [1, 2, 2]),
        (b">1\nACGT\n>2\nGG\nA\n", False, [8, 9, 13, 24, 13, 13, 8], [0, 4, 6, 7], [1, 2, 2]),
        (b">7\nACGT\nAC\n>9\n\nG", True, [4, 6, 5, 7, 4, 6, 5], [0, 4, 6, 6, 7], [7, 7, 9, 9]),
        (b">1\nAC\n\n", True, [4, 6], [0, 2, 2], [1, 1]),
        (b"garbage\n>3\nAC\n", True, [4, 6], [0, 2], [3]),
        (b">4\nAC>G\n", True, [4, 6, 3, 5], [0, 4], [4]),
        (b">4\nacgt\n", True, [3, 3, 3, 3], [0, 4], [4]),
        (b">4\nACGU\n", False, [8, 9, 13, 29], [0, 4], [4]),
        (b">+5\nA\n>007\nA\n>18446744073709551615\nA", True, [4, 4, 4], [0, 1, 2, 3], [5, 7, 2**64 - 1]),
        (b">00000000000000000000000000042\nA\n", True, [4], [0, 1], [42]),
        (b"", True, [], [0], []),
        (b"ACGT\nACGT\n", True, [], [0], []),
        (b">1\n>2\n", False, [], [0], []),
    ],
)
def test_known_files(data, is_rna, tokens, offsets, ids):
    assert_same(parse_fasta_bytes(data, is_rna, block=4), (tokens, offsets, ids))


@pytest.mark.parametrize(
    "data, kind",
    [
        (b">\nA\n", "Empty"),
        (b">1\r\nA\n", "InvalidDigit"),
        (b">-5\nA\n", "InvalidDigit"),
        (b">+\nA\n", "InvalidDigit"),
        (b">1 2\n", "InvalidDigit"),
        (b">1\nA\n>\xff\n", "InvalidDigit"),
        (b">18446744073709551616\n", "PosOverflow"),
        (b">100000000000000000000\n", "PosOverflow"),
    ],
)
def test_malformed_headers_raise(data, kind):
    with pytest.raises(FastaFormatError, match=kind):
        parse_fasta_bytes(data, True)


residue_line = st.binary(max_size=12).filter(lambda b: b"\n" not in b and not b.startswith(b">"))
header_line = st.builds(
    lambda plus, zeros, n: b">" + (b"+" if plus else b"") + b"0" * zeros + str(n).encode(),
    st.booleans(),
    st.integers(0, 3),
    st.integers(0, 2**64 - 1),
)


@settings(max_examples=200, deadline=None, derandomize=True, database=None)
@given(
    prefix=st.binary(max_size=10).filter(lambda b: b">" not in b),
    records=st.lists(st.tuples(header_line, st.lists(residue_line, max_size=4)), min_size=1, max_size=6),
    final_newline=st.booleans(),
    is_rna=st.booleans(),
    block=st.sampled_from([1, 2, 5, 64]),
)
def test_matches_line_by_line_parse(prefix, records, final_newline, is_rna, block):
    lines = [line for header, body in records for line in (header, *body)]
    data = (prefix + b"\n" if prefix else b"") + b"\n".join(lines) + (b"\n" if final_newline else b"")
    assert_same(parse_fasta_bytes(data, is_rna, block=block), line_by_line(data, is_rna))


def read_records(data: bytes):
    """Records as a reader yields them: the header number and the joined sequence lines."""
    for chunk in data.split(b"\n>"):
        header, _, body = chunk.lstrip(b">").partition(b"\n")
        yield int(header), body.replace(b"\n", b"")


@pytest.mark.parametrize("kind", make_fasta.KINDS)
@pytest.mark.parametrize("width", [1, 7, 60])
def test_generated_files_rebuild_from_records(tmp_path, kind, width):
    path = tmp_path / "x.fa"
    size = make_fasta.write_fasta(path, 30_000, kind, seed=3, line_width=width)
    data = path.read_bytes()
    assert size == len(data) >= 30_000 and data.endswith(b"\n")
    lines = data.split(b"\n")[:-1]
    headers = [line for line in lines if line.startswith(b">")]
    assert headers == [b">%d" % i for i in range(1, len(headers) + 1)]
    assert all(len(line) <= width for line in lines if not line.startswith(b">"))

    is_rna = kind == "nucleotide"
    reference = parse_fasta_bytes(data, is_rna)
    assert_same(reference, line_by_line(data, is_rna))
    collector = RecordCollector()
    for record_id, sequence in read_records(data):
        collector.add(record_id, sequence)
    assert_same(collector.finish(is_rna, width), reference)


def test_generator_is_seeded(tmp_path):
    a, b, c = (tmp_path / n for n in "abc")
    make_fasta.write_fasta(a, 50_000, "protein", seed=1)
    make_fasta.write_fasta(b, 50_000, "protein", seed=1)
    make_fasta.write_fasta(c, 50_000, "protein", seed=2)
    assert a.read_bytes() == b.read_bytes() != c.read_bytes()


def test_collector_line_recovery_edges():
    collector = RecordCollector()
    for record_id, sequence in ((5, ""), (6, "A" * 120), (7, "C" * 121), (8, b"G")):
        collector.add(record_id, sequence)
    tokens, offsets, ids = collector.finish(True, 60)
    assert_same(
        (tokens, offsets, ids),
        ([4] * 120 + [6] * 121 + [5], [0, 60, 120, 180, 240, 241, 242], [6, 6, 7, 7, 7, 8]),
    )


@pytest.mark.parametrize(
    "text, value", [("1G", 10**9), ("64Mi", 64 << 20), ("500k", 500_000), ("123", 123), ("1.5GiB", 3 << 29)]
)
def test_parse_size(text, value):
    assert parse_size(text) == value


@pytest.mark.parametrize("payload", ["fasta", "incompressible"])
def test_bgzf_fallback_writes_sized_members(tmp_path, payload):
    source = tmp_path / "x.fa"
    if payload == "fasta":
        make_fasta.write_fasta(source, 200_000, "nucleotide", seed=5)
    else:
        source.write_bytes(np.random.default_rng(0).bytes(150_000))
    data = make_fasta.compress(source, "bgzf", use_tools=False).read_bytes()
    assert gzip.decompress(data) == source.read_bytes()
    # Parallel readers find members only through the BC size field, so every one must be right.
    pos = 0
    while pos < len(data):
        assert data[pos + 12 : pos + 16] == b"BC\x02\x00"
        pos += int.from_bytes(data[pos + 16 : pos + 18], "little") + 1
    assert pos == len(data) and data.endswith(make_fasta.BGZF_EOF)
    assert bench_parse_fasta.detect_compression(str(tmp_path / "x.fa.bgz")) == "bgzf"


def test_gzip_inputs_are_told_apart_and_measured_to_the_last_member(tmp_path):
    plain = tmp_path / "x.fa"
    size = make_fasta.write_fasta(plain, 120_000, "protein", seed=2)
    single = make_fasta.compress(plain, "gzip")
    members = tmp_path / "two.fa.gz"
    members.write_bytes(single.read_bytes() * 2)
    assert bench_parse_fasta.detect_compression(str(plain)) is None
    for path, expected in ((single, size), (members, 2 * size)):
        assert bench_parse_fasta.detect_compression(str(path)) == "gzip"
        assert bench_parse_fasta.decompressed_size(str(path)) == expected
