"""FASTA files to NumPy token arrays, and joins of NumPy and jagged list arrays, in native code.

Every function runs its work on the module's pool of worker threads and holds the interpreter
lock until it returns. Results are new, writeable, one-dimensional arrays over native buffers.

Failures: wrong argument types raise TypeError; bad array contents raise ValueError; a broken
invariant (a FASTA header that is not a number, an unreadable file, a wrong `mapping` length)
writes a report to stderr and raises ``pyo3_runtime.PanicException``, which derives from
BaseException, not Exception.
"""

from typing import Any, TypeAlias, TypeVar

import numpy as np

_ScalarT = TypeVar("_ScalarT", bound=np.generic)

# What the functions return: one-dimensional arrays of a fixed dtype.
_Array1D: TypeAlias = np.ndarray[tuple[int], np.dtype[_ScalarT]]
# What the array functions take: any dtype, any number of dimensions.
_AnyArray: TypeAlias = np.ndarray[Any, np.dtype[Any]]
# A jagged list array: uint8 content and int64 offsets, one more offset than lists.
_ListArray: TypeAlias = tuple[_Array1D[np.uint8], _Array1D[np.int64]]

__all__ = ["parse_fasta", "concatenate_numpy", "concatenate_awkward", "awkward_from_list_of_numpy"]

def parse_fasta(
    path: str,
    mapping: np.ndarray[tuple[int], np.dtype[np.uint8]],
    is_rna: bool | np.bool_,
) -> tuple[_Array1D[np.uint8], _Array1D[np.int64], _Array1D[np.uint64]]:
    """Tokenise a FASTA file whose record headers are unsigned decimal numbers.

    Returns ``(tokens, offsets, ids)``, one entry per sequence line, in file order:
    ``tokens[offsets[i]:offsets[i + 1]]`` are the token codes of line i and ``ids[i]`` is the
    number of its record. ``offsets`` starts at 0, ends at ``len(tokens)`` and has one element
    more than ``ids``.

    ``is_rna`` chooses the nucleotide alphabet (A 4, G 5, C 6, T and U 7, anything else 3) or
    the protein alphabet (the 20 amino-acid letters A 8 ... Y 27 in alphabetical order, anything
    else 29). ``mapping`` must be a contiguous one-dimensional uint8 array of exactly five
    elements; its values do not affect the result.

    Prints "Reading file", "Parsing file {path} in chunks" and "Merging result" to file
    descriptor 1. Raises TypeError for wrong argument types or a non-contiguous ``mapping``, and
    PanicException for a ``mapping`` whose length is not 5, a file that cannot be read, or a
    header that is not an unsigned 64-bit decimal number.
    """

def concatenate_numpy(arrays: list[_AnyArray]) -> tuple[_Array1D[np.uint8], _Array1D[np.int64]]:
    """Join the raw memory of arrays of one dtype into one byte array.

    Returns ``(content, starts)``: ``content`` holds each array's bytes in list order (view it
    with the common dtype to get the elements), ``starts[k]`` is the byte position at which array
    k begins. The arrays may have any shape; each must be C- or Fortran-contiguous.

    Raises TypeError if ``arrays`` is not a list or an item is not a NumPy array, and ValueError
    "Must provide at least one array" or "All arrays must have the same dtype and be contiguous".
    """

def concatenate_awkward(arrays: list[tuple[_AnyArray, _Array1D[np.int64]]]) -> _ListArray:
    """Join jagged list arrays, each a ``(content, offsets)`` tuple, into one.

    The contents are joined whole as bytes; every offsets array after the first loses its
    leading element and is raised by the sum of the last offsets before it. An empty list gives
    an empty content and empty offsets.

    Raises TypeError if ``arrays`` is not a list, an item is not a tuple, or a tuple item is not
    a NumPy array; IndexError for a tuple of fewer than two items; ValueError "Array is not
    contiguous"; PanicException if a list array after the first has empty offsets.
    """

def awkward_from_list_of_numpy(arrays: list[_AnyArray]) -> _ListArray:
    """Build one jagged list array with one list per input array.

    Returns ``(content, offsets)``: the arrays' bytes in list order, and the byte offsets
    ``[0, b0, b0 + b1, ...]`` where ``bk`` is the byte length of array k.

    Raises TypeError if ``arrays`` is not a list or an item is not a NumPy array, and ValueError
    "Must provide at least one array", "All arrays must have the same dtype" or "All arrays must
    be contiguous".
    """
