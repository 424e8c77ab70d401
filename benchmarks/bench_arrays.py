#!/usr/bin/env python3
"""Time veltra_native's array functions against NumPy, Awkward Array and PyArrow, side by side.

    python benchmarks/bench_arrays.py                     # full sizes (needs ~2 GB of memory)
    python benchmarks/bench_arrays.py --scale 0.01        # a quick smoke run
    python benchmarks/bench_arrays.py --json benchmarks/results/arrays.json

Cases (sizes at --scale 1; the scale multiplies the bytes of large arrays and the number of small ones):

- concatenate_numpy: 8 int32 arrays of 64 MiB, and 100,000 int32 arrays of 100 bytes.
  NumPy contender: numpy.concatenate of the arrays' uint8 views plus the byte starts.
- awkward_from_list_of_numpy: the same inputs.
  NumPy contender: numpy.concatenate of the uint8 views plus offsets [0, cumsum of nbytes].
- concatenate_awkward: 8 list arrays of 64 MiB content (lists of 0-200 bytes), and 10,000 list
  arrays of 10 lists each. Contenders: NumPy (concatenate contents, shift and join offsets),
  Awkward Array's ak.concatenate of ListOffsetArray-backed arrays, and pyarrow.concat_arrays of
  LargeListArrays. The inputs are wrapped for each library before timing (zero-copy wrappers);
  only the join itself is timed.

Before timing, every contender's result is checked equal to the NumPy reference (content bytes and
offsets), so all timed results are the same. Times are best-of-N wall times; ratio = contender
time / veltra_native time (above 1: the module is faster). veltra_native runs with a fixed number
of workers (RAYON_NUM_THREADS, set before the module is imported).
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

from _benchutil import (
    MODULE,
    WORKERS_ENV,
    best_of,
    first_call,
    fmt,
    format_table,
    import_optional,
    machine_info,
    package_version,
    parse_size,
    set_workers,
    write_json,
)

MiB = 1 << 20


@dataclass
class Contender:
    name: str
    run: Callable[[], Any] | None  # None: unavailable, see status
    canon: Callable[[Any], tuple[Any, Any]] = lambda result: result  # -> (content bytes, offsets)
    status: str = "ok"
    is_module: bool = False


@dataclass
class Case:
    function: str
    label: str
    content_bytes: int
    contenders: list[Contender]
    rows: list[dict[str, Any]] = field(default_factory=list)


def _arrays(np, rng, count: int, nbytes: int, dtype) -> list:
    """`count` separate contiguous arrays of `nbytes` bytes each."""
    itemsize = np.dtype(dtype).itemsize
    items = max(nbytes // itemsize, 0)
    if count <= 16:
        return [rng.integers(-(2**31), 2**31, items, dtype=dtype) for _ in range(count)]
    flat = rng.integers(-(2**31), 2**31, items * count, dtype=dtype)
    return [flat[i * items : (i + 1) * items].copy() for i in range(count)]


def _list_arrays(np, rng, count: int, content_bytes: int, lists: int) -> list[tuple]:
    """`count` (content uint8, offsets int64) pairs; offsets start at 0 and end at the content length."""
    pairs = []
    for _ in range(count):
        content = rng.integers(0, 256, content_bytes, dtype=np.uint8)
        inner = np.sort(rng.integers(0, content_bytes + 1, max(lists - 1, 0), dtype=np.int64))
        offsets = np.concatenate(([0], inner, [content_bytes])).astype(np.int64)
        pairs.append((content, offsets))
    return pairs


def _numpy_concatenate(np, views):
    content = np.concatenate(views)
    nbytes = np.fromiter((v.nbytes for v in views), np.int64, len(views))
    starts = np.zeros(len(views), np.int64)
    np.cumsum(nbytes[:-1], out=starts[1:])
    return content, starts


def _numpy_from_list(np, views):
    content = np.concatenate(views)
    offsets = np.zeros(len(views) + 1, np.int64)
    np.cumsum(np.fromiter((v.nbytes for v in views), np.int64, len(views)), out=offsets[1:])
    return content, offsets


def _numpy_concatenate_lists(np, pairs):
    content = np.concatenate([c for c, _ in pairs])
    lasts = np.fromiter((o[-1] if o.size else 0 for _, o in pairs), np.int64, len(pairs))
    shifts = np.zeros(len(pairs), np.int64)
    np.cumsum(lasts[:-1], out=shifts[1:])
    parts = [pairs[0][1]] + [o[1:] + s for (_, o), s in zip(pairs[1:], shifts[1:].tolist())]
    return content, np.concatenate(parts)


def _awkward_canon(np, ak):
    def canon(result):
        layout = result.layout.to_ListOffsetArray64(True)
        return np.asarray(layout.content.data), np.asarray(layout.offsets)

    return canon


def _arrow_canon(np):
    def canon(result):
        offsets = np.asarray(result.offsets)
        values = np.asarray(result.values)[offsets[0] : offsets[-1]]
        return values, offsets - offsets[0]

    return canon


def build_cases(np, mod, mod_status, ak, ak_status, pa, pa_status, args) -> Iterator[Case]:
    """Yields one case at a time, so that only one case's inputs are alive at once."""
    rng = np.random.default_rng(args.seed)
    wanted = set(args.case or ())

    def module_contender(fn_name, inputs):
        if mod is None:
            return Contender(MODULE, None, status=mod_status, is_module=True)
        fn = getattr(mod, fn_name)
        return Contender(MODULE, lambda: fn(inputs), is_module=True)

    large_bytes = max(int(args.large_bytes * args.scale) // 4 * 4, 4)
    small_count = max(int(args.small_count * args.scale), 1)
    array_sets = [
        (f"{args.large_count} x {large_bytes / MiB:.2f} MiB", args.large_count, large_bytes),
        (f"{small_count:,} x {args.small_bytes} B", small_count, args.small_bytes),
    ]
    for fn_name, numpy_fn, numpy_name in (
        ("concatenate_numpy", _numpy_concatenate, "numpy.concatenate + starts"),
        ("awkward_from_list_of_numpy", _numpy_from_list, "numpy.concatenate + offsets"),
    ):
        if wanted and fn_name not in wanted:
            continue
        for label, count, nbytes in array_sets:
            arrays = _arrays(np, rng, count, nbytes, np.int32)
            views = [a.view(np.uint8) for a in arrays]
            yield Case(
                fn_name,
                label,
                count * nbytes,
                [
                    Contender(numpy_name, lambda views=views, f=numpy_fn: f(np, views)),
                    module_contender(fn_name, arrays),
                ],
            )
            del arrays, views

    if not wanted or "concatenate_awkward" in wanted:
        list_large = max(int(args.large_bytes * args.scale), 1)
        list_small_count = max(int(args.small_lists * args.scale), 1)
        list_sets = [
            (
                f"{args.large_count} x {list_large / MiB:.2f} MiB",
                args.large_count,
                list_large,
                list_large // 100,
            ),
            (f"{list_small_count:,} x 10 lists", list_small_count, 1000, 10),
        ]
        for label, count, content_bytes, lists in list_sets:
            pairs = _list_arrays(np, rng, count, content_bytes, max(lists, 1))
            contenders = [
                Contender(
                    "numpy (concatenate + shifted offsets)", lambda p=pairs: _numpy_concatenate_lists(np, p)
                ),
                module_contender("concatenate_awkward", pairs),
            ]
            if ak is None:
                contenders.append(Contender("awkward ak.concatenate", None, status=ak_status))
            else:
                ak_arrays = [
                    ak.Array(ak.contents.ListOffsetArray(ak.index.Index64(o), ak.contents.NumpyArray(c)))
                    for c, o in pairs
                ]
                contenders.append(
                    Contender(
                        "awkward ak.concatenate",
                        lambda a=ak_arrays: ak.concatenate(a),
                        _awkward_canon(np, ak),
                    )
                )
            if pa is None:
                contenders.append(Contender("pyarrow concat_arrays", None, status=pa_status))
            else:
                pa_arrays = [pa.LargeListArray.from_arrays(pa.array(o), pa.array(c)) for c, o in pairs]
                contenders.append(
                    Contender(
                        "pyarrow concat_arrays", lambda a=pa_arrays: pa.concat_arrays(a), _arrow_canon(np)
                    )
                )
            yield Case("concatenate_awkward", label, count * content_bytes, contenders)
            del pairs, contenders
            ak_arrays = pa_arrays = None


def run_case(np, case: Case, repeat: int) -> bool:
    """Checks then times every contender of `case`; False if a result differed or a call failed."""
    healthy = True
    reference = None
    for contender in case.contenders:
        row: dict[str, Any] = {"implementation": contender.name, "status": contender.status, "times": []}
        case.rows.append(row)
        if contender.run is None:
            continue
        result, status = first_call(contender.run)
        row["status"] = status
        if status != "ok":
            healthy = False
            continue
        content, offsets = contender.canon(result)
        content = np.asarray(content).view(np.uint8).reshape(-1)
        offsets = np.asarray(offsets)
        if reference is None:
            reference = (content, offsets)  # the NumPy contender comes first
        else:
            problems = [
                name
                for name, got, want in (
                    ("content", content, reference[0]),
                    ("offsets", offsets, reference[1]),
                )
                if got.shape != want.shape or not np.array_equal(got, want)
            ]
            if problems:
                row["status"] = "MISMATCH: " + " and ".join(problems) + " differ from the NumPy reference"
                healthy = False
                continue
        del result, content, offsets
        row["times"] = best_of(contender.run, repeat)
        row["best"] = min(row["times"])
    module_best = next((r.get("best") for r, c in zip(case.rows, case.contenders) if c.is_module), None)
    for row in case.rows:
        if "best" in row:
            row["gb_per_s"] = case.content_bytes / row["best"] / 1e9
            row["ratio"] = row["best"] / module_best if module_best else None
    return healthy


def print_cases(cases: list[Case]) -> None:
    headers = ["function / inputs / implementation", "best (s)", "GB/s", "ratio", "status"]
    rows: list[list[str]] = []
    for case in cases:
        rows.append([f"{case.function}: {case.label}", "", "", "", ""])
        for row in case.rows:
            rows.append(
                [
                    f"  {row['implementation']}",
                    fmt(row.get("best"), 4),
                    fmt(row.get("gb_per_s"), 2),
                    fmt(row.get("ratio"), 2),
                    "ok" if row["status"] == "ok" else row["status"],
                ]
            )
    print(format_table(headers, rows))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--repeat", "-n", type=int, default=5, help="timed runs per contender (best is kept)")
    parser.add_argument("--threads", type=int, default=2, help=f"veltra_native workers ({WORKERS_ENV})")
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies large sizes and small counts")
    parser.add_argument("--large-count", type=int, default=8)
    parser.add_argument("--large-bytes", type=parse_size, default=64 * MiB, help="bytes per large array")
    parser.add_argument("--small-count", type=int, default=100_000)
    parser.add_argument("--small-bytes", type=int, default=100, help="bytes per small array (multiple of 4)")
    parser.add_argument("--small-lists", type=int, default=10_000, help="number of small list arrays")
    parser.add_argument(
        "--case",
        action="append",
        choices=("concatenate_numpy", "awkward_from_list_of_numpy", "concatenate_awkward"),
    )
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--json", help="also write the results to this JSON file")
    args = parser.parse_args(argv)
    if args.repeat < 1 or args.threads < 1 or args.scale <= 0 or args.small_bytes % 4:
        parser.error(
            "--repeat and --threads must be positive, --scale above 0, --small-bytes a multiple of 4"
        )

    set_workers(args.threads)  # before the module is imported: its pool reads this once
    import numpy as np

    mod, mod_status = import_optional(MODULE)
    ak, ak_status = import_optional("awkward")
    pa, pa_status = import_optional("pyarrow")
    versions = {
        name: package_version(dist) if status == "ok" else status
        for name, dist, status in (
            ("numpy", "numpy", "ok"),
            (MODULE, "veltra-native", mod_status),
            ("awkward", "awkward", ak_status),
            ("pyarrow", "pyarrow", pa_status),
        )
    }
    print(f"{MODULE}: {args.threads} workers ({WORKERS_ENV}={args.threads} set before import)")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()))
    print(f"best of {args.repeat} runs; ratio = contender time / {MODULE} time\n")

    cases: list[Case] = []
    healthy = True
    for case in build_cases(np, mod, mod_status, ak, ak_status, pa, pa_status, args):
        print(f"running {case.function}: {case.label}", flush=True)
        healthy &= run_case(np, case, args.repeat)
        case.contenders = [Contender(c.name, None, is_module=c.is_module) for c in case.contenders]
        cases.append(case)
    print()
    print_cases(cases)
    if args.json:
        write_json(
            args.json,
            {
                "benchmark": "arrays",
                "machine": machine_info(),
                "versions": versions,
                "config": {k: v for k, v in vars(args).items() if k != "json"},
                "results": [
                    {"function": c.function, "inputs": c.label, "content_bytes": c.content_bytes, **row}
                    for c in cases
                    for row in c.rows
                ],
            },
        )
    return 0 if healthy else 1


if __name__ == "__main__":
    sys.exit(main())
