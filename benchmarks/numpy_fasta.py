"""Pure NumPy FASTA tokeniser: the reference that veltra_native.parse_fasta is measured against.

`parse_fasta_numpy(path, is_rna)` returns the same three arrays as the module, in file order:

- tokens  (uint8):  the token code of every byte of every sequence line;
- offsets (int64):  0, then the end of each sequence line within `tokens`;
- ids     (uint64): the number in the header of the record that each sequence line belongs to.

It is exact for well-formed files: headers are '>' followed by an unsigned 64-bit decimal number
(optional leading '+', leading zeros allowed), every other line after the first header is an entry
(empty lines included), the last line may lack its '\n', and text before the first '>' is ignored.
A header that is not such a number raises `FastaFormatError` instead of the module's panic.

Everything is vectorised. The byte-level passes walk the file in blocks so that the peak memory
stays near the file image plus the tokens, not several times the file size.

`RecordCollector` turns what record-oriented readers (Biopython, pyfastx, needletail) yield -- one
identifier and one joined sequence per record -- into the same three arrays, assuming every record
was wrapped at a fixed line width.
"""

from __future__ import annotations

import os

import numpy as np

__all__ = [
    "NUCLEOTIDE_PAIRS",
    "PROTEIN_PAIRS",
    "FastaFormatError",
    "RecordCollector",
    "parse_fasta_bytes",
    "parse_fasta_numpy",
    "token_table",
]

NUCLEOTIDE_DEFAULT = 3
NUCLEOTIDE_PAIRS = (("A", 4), ("G", 5), ("C", 6), ("T", 7), ("U", 7))
PROTEIN_DEFAULT = 29
PROTEIN_PAIRS = tuple((letter, 8 + i) for i, letter in enumerate("ACDEFGHIKLMNPQRSTVWY"))

_GT = ord(">")
_NL = ord("\n")
_PLUS = ord("+")
_ZERO = ord("0")
_U64_MAX = (1 << 64) - 1
# 10**19 already exceeds what a uint64 sum can be trusted with; such headers go through int().
_POW10 = np.array([10**p for p in range(19)], dtype=np.uint64)

DEFAULT_BLOCK = 16 << 20


class FastaFormatError(ValueError):
    """A header line that is not '>' followed by an unsigned 64-bit decimal number."""


def token_table(is_rna: bool) -> np.ndarray:
    """The 256-entry byte -> token code table of one alphabet."""
    default, pairs = (NUCLEOTIDE_DEFAULT, NUCLEOTIDE_PAIRS) if is_rna else (PROTEIN_DEFAULT, PROTEIN_PAIRS)
    table = np.full(256, default, dtype=np.uint8)
    for letter, code in pairs:
        table[ord(letter)] = code
    return table


def _empty_result() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    return np.empty(0, np.uint8), np.zeros(1, np.int64), np.empty(0, np.uint64)


def _first_gt(data: np.ndarray, block: int) -> int:
    for b0 in range(0, data.size, block):
        hit = data[b0 : b0 + block] == _GT
        i = int(np.argmax(hit))
        if hit[i]:
            return b0 + i
    return -1


def _newlines(data: np.ndarray, start: int, block: int) -> np.ndarray:
    parts = [np.flatnonzero(data[b0 : b0 + block] == _NL) + b0 for b0 in range(start, data.size, block)]
    return np.concatenate(parts).astype(np.int64, copy=False) if parts else np.empty(0, np.int64)


def _spans(starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
    """All positions of the half-open ranges [starts[i], ends[i]), concatenated."""
    lengths = ends - starts
    seg = np.cumsum(lengths) - lengths
    return np.repeat(starts - seg, lengths) + np.arange(int(lengths.sum()), dtype=np.int64)


def _parse_headers(data: np.ndarray, line_starts: np.ndarray, line_ends: np.ndarray) -> np.ndarray:
    """Numbers of the header lines [line_starts, line_ends) (each starting with '>')."""
    text_starts = line_starts + 1
    lengths = line_ends - text_starts

    def fail(header: int, kind: str) -> FastaFormatError:
        return FastaFormatError(
            f"header line at byte {int(line_starts[header])} is not an unsigned 64-bit decimal number"
            f" ({kind})"
        )

    empty = np.flatnonzero(lengths == 0)
    if empty.size:
        raise fail(int(empty[0]), "Empty")

    count = lengths.size
    total = int(lengths.sum())
    seg = np.cumsum(lengths) - lengths
    owner = np.repeat(np.arange(count), lengths)
    pos = _spans(text_starts, line_ends)
    text = data[pos]

    is_digit = (text >= _ZERO) & (text <= _ZERO + 9)
    first = np.zeros(total, bool)
    first[seg] = True
    # A leading '+' is allowed only when digits follow it.
    lone_plus = (text == _PLUS) & first & (lengths[owner] == 1)
    bad = ~(is_digit | ((text == _PLUS) & first)) | lone_plus
    if bad.any():
        raise fail(int(owner[np.argmax(bad)]), "InvalidDigit")

    digits = np.where(is_digit, text - _ZERO, 0).astype(np.uint64)
    power = line_ends[owner] - 1 - pos
    huge = (power >= _POW10.size) & (digits != 0)
    digits[power >= _POW10.size] = 0
    values = np.add.reduceat(digits * _POW10[np.minimum(power, _POW10.size - 1)], seg)

    for header in np.unique(owner[huge]):
        value = int(bytes(data[text_starts[header] : line_ends[header]]))
        if value > _U64_MAX:
            raise fail(int(header), "PosOverflow")
        values[header] = value
    return values


def parse_fasta_bytes(data, is_rna: bool, block: int = DEFAULT_BLOCK):
    """Tokenise a FASTA image (bytes-like or 1-D uint8 array) into (tokens, offsets, ids)."""
    data = np.frombuffer(data, np.uint8) if not isinstance(data, np.ndarray) else data
    if data.ndim != 1 or data.dtype != np.uint8:
        raise TypeError("data must be bytes or a one-dimensional uint8 array")
    data = np.ascontiguousarray(data)
    size = data.size
    table = token_table(is_rna)

    start = _first_gt(data, block)
    if start < 0:
        return _empty_result()

    newlines = _newlines(data, start, block)
    line_starts = np.empty(newlines.size + 1, np.int64)
    line_starts[0] = start
    line_starts[1:] = newlines + 1
    line_ends = np.empty(newlines.size + 1, np.int64)
    line_ends[:-1] = newlines
    line_ends[-1] = size
    if line_starts[-1] == size:  # a '\n' at the very end opens no line
        line_starts, line_ends = line_starts[:-1], line_ends[:-1]
    del newlines

    is_header = data[line_starts] == _GT
    header_starts, header_ends = line_starts[is_header], line_ends[is_header]
    values = _parse_headers(data, header_starts, header_ends)
    record_of_line = np.cumsum(is_header) - 1

    entry = ~is_header
    lengths = line_ends[entry] - line_starts[entry]
    ids = values[record_of_line[entry]]
    del record_of_line, entry, line_starts, line_ends, is_header
    offsets = np.zeros(lengths.size + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    del lengths

    tokens = np.empty(int(offsets[-1]), np.uint8)
    filled = 0
    for b0 in range(start, size, block):
        chunk = data[b0 : b0 + block]
        n = chunk.size
        keep = chunk != _NL
        # Header lines overlapping this block are [header_starts, header_ends), disjoint and sorted.
        lo = np.searchsorted(header_ends, b0, side="right")
        hi = np.searchsorted(header_starts, b0 + n, side="left")
        if hi > lo:
            first = np.maximum(header_starts[lo:hi], b0) - b0
            stop = np.minimum(header_ends[lo:hi], b0 + n) - b0
            keep[_spans(first, stop)] = False
        # Fancy indexing keeps the uint8 indices as they are (np.take would widen them to intp).
        picked = table[chunk[keep]]
        tokens[filled : filled + picked.size] = picked
        filled += picked.size
    if filled != tokens.size:
        raise AssertionError(f"token count {filled} differs from line lengths {tokens.size}")
    return tokens, offsets, ids


def parse_fasta_numpy(path: str | os.PathLike, is_rna: bool, block: int = DEFAULT_BLOCK):
    """Read `path` with numpy.fromfile and tokenise it (see module docstring)."""
    return parse_fasta_bytes(np.fromfile(path, dtype=np.uint8), is_rna, block)


class RecordCollector:
    """Builds (tokens, offsets, ids) from whole records, as record-oriented readers yield them.

    Such readers join a record's sequence lines into one string, so the line boundaries are gone.
    They are recovered by assuming that every record was wrapped at `line_width` columns: a record
    of L residues had ceil(L / line_width) lines, all full but the last. That holds for files
    written by make_fasta.py (and most tools); for anything else the result differs from the
    module's, which the benchmark reports as a mismatch. A record without residues has no lines.
    The numeric id is the caller's business (readers differ in what they call the id).
    """

    def __init__(self) -> None:
        self._ids: list[int] = []
        self._lengths: list[int] = []
        self._residues = bytearray()

    def add(self, record_id: int, sequence: str | bytes) -> None:
        if isinstance(sequence, str):
            sequence = sequence.encode()
        self._ids.append(record_id)
        self._lengths.append(len(sequence))
        self._residues += sequence

    def finish(self, is_rna: bool, line_width: int):
        if line_width < 1:
            raise ValueError("line_width must be at least 1")
        table = token_table(is_rna)
        residues = np.frombuffer(self._residues, np.uint8)
        tokens = table[residues]
        del residues
        self._residues = bytearray()

        ids = np.array(self._ids, dtype=np.uint64)
        lengths = np.array(self._lengths, dtype=np.int64)
        self._ids, self._lengths = [], []
        lines = (lengths + line_width - 1) // line_width
        line_lengths = np.full(int(lines.sum()), line_width, np.int64)
        has_lines = lines > 0
        last_line = np.cumsum(lines)[has_lines] - 1
        line_lengths[last_line] = lengths[has_lines] - line_width * (lines[has_lines] - 1)
        offsets = np.zeros(line_lengths.size + 1, np.int64)
        np.cumsum(line_lengths, out=offsets[1:])
        return tokens, offsets, np.repeat(ids, lines)
