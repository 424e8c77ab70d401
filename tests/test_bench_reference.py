"""The benchmark helpers that other tests reuse or that decide whether a comparison is honest:
the pure-NumPy FASTA tokeniser, the synthetic FASTA generator and its compressed forms, and the
record-to-lines recovery."""

import gzip
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import fasta_reference as ref

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

import bench_parse_fasta  # noqa: E402
import make_fasta  # noqa: E402
from _benchutil import parse_size  # noqa: E402
from numpy_fasta import FastaFormatError, RecordCollector, parse_fasta_bytes  # noqa: E402


def plain(arrays):
    tokens, offsets, ids = arrays
    assert (tokens.dtype, offsets.dtype, ids.dtype) == (np.uint8, np.int64, np.uint64)
    return ids.tolist(), tokens.tobytes(), offsets.tolist()


@ref.examples(150)
@given(image=ref.fasta_files(), is_rna=st.booleans(), block=st.sampled_from([1, 2, 5, 64]))
def test_matches_the_reference_parse(image, is_rna, block):
    assert plain(parse_fasta_bytes(image, is_rna, block=block)) == ref.parse_file(image, is_rna)


@pytest.mark.parametrize(
    "data, kind",
    [(b">\nA\n", "Empty"), (b">1 2\n", "InvalidDigit"), (b">100000000000000000000\n", "PosOverflow")],
)
def test_malformed_headers_raise(data, kind):
    with pytest.raises(FastaFormatError, match=kind):
        parse_fasta_bytes(data, True)


def read_records(data: bytes):
    """Records as a reader yields them: the header number and the joined sequence lines."""
    for chunk in data.split(b"\n>"):
        header, _, body = chunk.lstrip(b">").partition(b"\n")
        yield int(header), body.replace(b"\n", b"")


@pytest.mark.parametrize("kind", make_fasta.KINDS)
@pytest.mark.parametrize("width", [7, 60])
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
    assert plain(parse_fasta_bytes(data, is_rna)) == ref.parse_file(data, is_rna)
    collector = RecordCollector()
    for record_id, sequence in read_records(data):
        collector.add(record_id, sequence)
    assert plain(collector.finish(is_rna, width)) == ref.parse_file(data, is_rna)


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
    assert plain(collector.finish(True, 60)) == (
        [6, 6, 7, 7, 7, 8], bytes([4] * 120 + [6] * 121 + [5]), [0, 60, 120, 180, 240, 241, 242]
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
