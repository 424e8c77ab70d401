"""Every function of veltra_native, written as typed code that a type checker can verify.

    python -m mypy --strict examples/typecheck_sample.py
    python examples/typecheck_sample.py

The `assert_type` lines state what the type checker must infer from the module's stubs; at run
time they do nothing, and the script checks the values instead.
"""

from __future__ import annotations

import tempfile
from pathlib import Path
from typing import assert_type

import numpy as np
import numpy.typing as npt

import veltra_native

Tokens = np.ndarray[tuple[int], np.dtype[np.uint8]]
Offsets = np.ndarray[tuple[int], np.dtype[np.int64]]
Ids = np.ndarray[tuple[int], np.dtype[np.uint64]]


def lines_of(tokens: Tokens, offsets: Offsets, ids: Ids) -> list[tuple[int, list[int]]]:
    """(record id, token codes) of every sequence line."""
    return [
        (int(ids[i]), tokens[offsets[i] : offsets[i + 1]].tolist()) for i in range(ids.size)
    ]


def parse(path: Path, is_rna: bool) -> tuple[Tokens, Offsets, Ids]:
    # The module takes the path as a str, not a Path.
    mapping: npt.NDArray[np.uint8] = np.zeros(5, np.uint8)
    result = veltra_native.parse_fasta(str(path), mapping, is_rna)
    assert_type(result, tuple[Tokens, Offsets, Ids])
    return result


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "tiny.fasta"
        path.write_text(">1\nACGT\n>2\nGG\nA\n")
        tokens, offsets, ids = parse(path, True)
        assert lines_of(tokens, offsets, ids) == [(1, [4, 6, 5, 7]), (2, [5, 5]), (2, [4])]
        # NumPy booleans are accepted as the flag, and keywords work for every parameter.
        protein = veltra_native.parse_fasta(
            path=str(path), mapping=np.zeros(5, np.uint8), is_rna=np.False_
        )
        assert protein[0].tolist() == [8, 9, 13, 24, 13, 13, 8]

    a = np.arange(3, dtype=np.int64)
    b = np.arange(6, dtype=np.int64).reshape(2, 3)
    content, starts = veltra_native.concatenate_numpy([a, b])
    assert_type(content, Tokens)
    assert_type(starts, Offsets)
    assert content.view(np.int64).tolist() == [0, 1, 2, 0, 1, 2, 3, 4, 5]
    assert starts.tolist() == [0, 24]

    lists = veltra_native.awkward_from_list_of_numpy([np.array([1, 2], np.uint8), np.arange(3, dtype=np.uint8)])
    assert_type(lists, tuple[Tokens, Offsets])
    assert lists[1].tolist() == [0, 2, 5]

    joined = veltra_native.concatenate_awkward([lists, (np.array([7], np.uint8), np.array([0, 1], np.int64))])
    assert_type(joined, tuple[Tokens, Offsets])
    assert joined[0].tolist() == [1, 2, 0, 1, 2, 7]
    assert joined[1].tolist() == [0, 2, 5, 6]
    print("typecheck_sample: all calls returned what their types say")


if __name__ == "__main__":
    main()
