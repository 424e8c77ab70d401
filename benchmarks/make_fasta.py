#!/usr/bin/env python3
"""Write seeded synthetic FASTA files for the parse_fasta benchmark.

Records have numbered headers ">1", ">2", ... and sequences wrapped at 60 columns (configurable),
every line ending with '\\n'. Residues follow natural background frequencies, with a trace of
ambiguity codes (X for proteins, N for nucleotides) so that the default token code is exercised.

    python benchmarks/make_fasta.py                    # protein_1G.fa and nucleotide_1G.fa
    python benchmarks/make_fasta.py --size 5M --kind protein
    python benchmarks/make_fasta.py --kind protein --compress gzip --compress bgzf

Files go to benchmarks/data/ (git-ignored). The same seed, size, kind and line width always give
the same bytes. --compress also writes protein_1G.fa.gz (the gzip command at level 6, without name
or time stamp) and protein_1G.fa.bgz (BGZF: bgzip at level 6 if installed, otherwise the writer
here, also level 6 over blocks of the size bgzip uses).
"""

from __future__ import annotations

import argparse
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np
from _benchutil import parse_size

DATA_DIR = Path(__file__).resolve().parent / "data"
KINDS = ("protein", "nucleotide")

# Background residue frequencies (percent) of reviewed protein databases, plus rare unknowns.
_PROTEIN_FREQ = {
    "A": 8.25, "R": 5.53, "N": 4.06, "D": 5.45, "C": 1.37, "Q": 3.93, "E": 6.75, "G": 7.07,
    "H": 2.27, "I": 5.96, "L": 9.66, "K": 5.84, "M": 2.42, "F": 3.86, "P": 4.70, "S": 6.56,
    "T": 5.34, "W": 1.08, "Y": 2.92, "V": 6.87, "X": 0.02,
}  # fmt: skip
_NUCLEOTIDE_FREQ = {"A": 29.5, "T": 29.5, "G": 20.5, "C": 20.5, "N": 0.02}

# (median, sigma of the log, min, max) of the record length in residues.
_LENGTHS = {"protein": (300, 0.75, 50, 2000), "nucleotide": (1500, 1.0, 200, 30000)}

_BATCH_BYTES = 32 << 20

COMPRESSIONS = {"gzip": ".gz", "bgzf": ".bgz"}
# Input bytes per BGZF block, as bgzip takes them: the block, header and trailer included, must
# fit the 16-bit size field even when deflate cannot shrink the input.
BGZF_BLOCK_INPUT = 0xFF00
BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
_SAMPLER_BITS = 16


def _sampler(freq: dict[str, float]) -> np.ndarray:
    """Lookup table from a uniform 16-bit draw to a residue byte with the given frequencies."""
    letters = np.frombuffer("".join(freq).encode(), np.uint8)
    weights = np.array(list(freq.values()), dtype=np.float64)
    bounds = np.round(np.cumsum(weights) / weights.sum() * (1 << _SAMPLER_BITS)).astype(np.int64)
    return np.repeat(letters, np.diff(bounds, prepend=0))


def _digit_counts(ids: np.ndarray) -> np.ndarray:
    powers = np.array([10**p for p in range(1, 20)], dtype=np.uint64)
    return np.searchsorted(powers, ids, side="right") + 1


def _batch(rng, kind: str, first_id: int, budget: int, line_width: int) -> tuple[np.ndarray, int]:
    """One batch of whole records, at most as many as needed to reach `budget` bytes."""
    median, sigma, low, high = _LENGTHS[kind]
    mean_record = median * np.exp(sigma**2 / 2) * (1 + 1 / line_width) + 10
    count = max(1, int(_BATCH_BYTES // mean_record))
    lengths = np.clip(np.rint(rng.lognormal(np.log(median), sigma, count)), low, high).astype(np.int64)
    ids = np.arange(first_id, first_id + count, dtype=np.uint64)
    header_len = _digit_counts(ids) + 2  # '>' digits '\n'
    lines = (lengths + line_width - 1) // line_width
    record_len = header_len + lengths + lines
    ends = np.cumsum(record_len)
    if ends[-1] >= budget:
        count = int(np.searchsorted(ends, budget)) + 1
        lengths, ids, header_len, lines, record_len, ends = (
            a[:count] for a in (lengths, ids, header_len, lines, record_len, ends)
        )
    starts = ends - record_len
    out = np.empty(int(ends[-1]), np.uint8)
    residue = np.ones(out.size, bool)

    head = np.frombuffer("".join(f">{i}\n" for i in ids.tolist()).encode(), np.uint8)
    head_seg = np.cumsum(header_len) - header_len
    head_pos = np.repeat(starts - head_seg, header_len) + np.arange(head.size)
    out[head_pos] = head
    residue[head_pos] = False

    seq_start = starts + header_len
    line_rec = np.repeat(np.arange(count), lines)
    line_no = np.arange(line_rec.size) - np.repeat(np.cumsum(lines) - lines, lines)
    nl_pos = seq_start[line_rec] + np.minimum((line_no + 1) * line_width, lengths[line_rec]) + line_no
    out[nl_pos] = ord("\n")
    residue[nl_pos] = False

    sampler = _sampler(_PROTEIN_FREQ if kind == "protein" else _NUCLEOTIDE_FREQ)
    draws = rng.integers(0, 1 << _SAMPLER_BITS, int(lengths.sum()), dtype=np.uint16)
    out[residue] = sampler[draws]
    return out, count


def write_fasta(path: str | os.PathLike, size: int, kind: str, seed: int = 0, line_width: int = 60) -> int:
    """Write a FASTA file of at least `size` bytes (the last record completes it); returns its size."""
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {KINDS}")
    if line_width < 1:
        raise ValueError("line_width must be at least 1")
    rng = np.random.default_rng([seed, KINDS.index(kind)])
    path = Path(path)
    tmp = path.with_name(path.name + ".tmp")
    written, next_id = 0, 1
    try:
        with open(tmp, "wb") as f:
            while written < size:
                out, count = _batch(rng, kind, next_id, size - written, line_width)
                f.write(out.data)
                written += out.size
                next_id += count
        os.replace(tmp, path)
    finally:
        tmp.unlink(missing_ok=True)
    return written


def _bgzf_block(data: bytes, level: int) -> bytes:
    deflate = zlib.compressobj(level, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    if len(body) + 26 > 1 << 16:  # incompressible: stored blocks always fit
        deflate = zlib.compressobj(0, zlib.DEFLATED, -15)
        body = deflate.compress(data) + deflate.flush()
    header = struct.pack("<4BI2BH2BHH", 0x1F, 0x8B, 8, 4, 0, 0, 0xFF, 6, 66, 67, 2, len(body) + 25)
    return header + body + struct.pack("<II", zlib.crc32(data), len(data))


def write_bgzf(source: str | os.PathLike, target: str | os.PathLike, level: int = 6) -> None:
    """BGZF without bgzip: one gzip member per block of input, each with its BC size field."""
    with open(source, "rb") as src, open(target, "wb") as dst:
        while data := src.read(BGZF_BLOCK_INPUT):
            dst.write(_bgzf_block(data, level))
        dst.write(BGZF_EOF)


def compress(path: str | os.PathLike, kind: str, use_tools: bool = True) -> Path:
    """Write path + ".gz" or ".bgz" beside `path` (through a temporary file); returns its path."""
    path = Path(path)
    target = path.with_name(path.name + COMPRESSIONS[kind])
    tmp = target.with_name(target.name + ".tmp")
    try:
        if kind == "gzip":
            with open(tmp, "wb") as out:
                subprocess.run(["gzip", "-6", "-n", "-c", str(path)], stdout=out, check=True)
        elif use_tools and shutil.which("bgzip"):
            threads = str(len(os.sched_getaffinity(0)))
            with open(tmp, "wb") as out:
                subprocess.run(["bgzip", "-l", "6", "-@", threads, "-c", str(path)], stdout=out, check=True)
        else:
            write_bgzf(path, tmp)
        os.replace(tmp, target)
    finally:
        tmp.unlink(missing_ok=True)
    return target


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--size", default="1G", help="size of each file: bytes, or with K/M/G (1000s) or Ki/Mi/Gi"
    )
    parser.add_argument("--kind", choices=(*KINDS, "both"), default="both")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--line-width", type=int, default=60)
    parser.add_argument("--out-dir", type=Path, default=DATA_DIR)
    parser.add_argument(
        "--compress",
        action="append",
        choices=COMPRESSIONS,
        default=[],
        help="also write the file compressed this way (repeatable)",
    )
    args = parser.parse_args(argv)
    size = parse_size(args.size)
    args.out_dir.mkdir(parents=True, exist_ok=True)
    for kind in KINDS if args.kind == "both" else (args.kind,):
        path = args.out_dir / f"{kind}_{args.size}.fa"
        t0 = time.perf_counter()
        written = write_fasta(path, size, kind, args.seed, args.line_width)
        print(f"{path}: {written:,} bytes in {time.perf_counter() - t0:.1f} s")
        for kind_of_compression in dict.fromkeys(args.compress):
            t0 = time.perf_counter()
            target = compress(path, kind_of_compression)
            size_out = target.stat().st_size
            print(f"{target}: {size_out:,} bytes in {time.perf_counter() - t0:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
