"""Tokenise a FASTA file with veltra_native and print a short summary.

    python examples/parse_example.py [PATH] [--protein]

Without PATH it reads examples/sample.fasta, with the nucleotide alphabet.
"""

import argparse
from pathlib import Path

import numpy as np

import veltra_native


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", nargs="?", default=str(Path(__file__).with_name("sample.fasta")))
    parser.add_argument("--protein", action="store_true", help="use the protein alphabet")
    args = parser.parse_args()

    # parse_fasta needs a contiguous uint8 array of five elements here; the
    # token codes do not depend on its values.
    mapping = np.zeros(5, dtype=np.uint8)
    tokens, offsets, ids = veltra_native.parse_fasta(args.path, mapping, not args.protein)

    records = len(np.unique(ids))
    print(f"{len(ids)} sequence lines in {records} records, {len(tokens)} tokens")
    for line, record in enumerate(ids[:5]):
        codes = tokens[offsets[line] : offsets[line + 1]]
        print(f"record {record}: {codes.tolist()}")


if __name__ == "__main__":
    main()
