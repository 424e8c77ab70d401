#!/usr/bin/env python3
"""Plot the JSON results of bench_parse_fasta.py and bench_arrays.py, and print them as tables.

    python benchmarks/plot.py benchmarks/results/protein.json benchmarks/results/nucleotide.json \\
        benchmarks/results/arrays.json --output docs/benchmarks.png

Each file is recognised by its "benchmark" field. parse_fasta results (one file per FASTA input)
become one panel of throughput bars, file bytes per second for every contender that ran, with the
peak memory growth written beside each bar; the array results become one panel of throughput
bars, input bytes per second, per function and input set. Contenders that did not run (not
installed, failed, mismatched) are left out of the plot and listed with their status in the
tables. The Markdown tables printed on standard output are the ones docs/benchmarks.md shows.
The results of `bench_parse_fasta.py --size` become a picture of their own (--sizes-output): per
kind of file, the median parse time over the fastest numpy.fromfile of the run, against the size.

Needs matplotlib (the `bench` extra).
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

MODULE = "veltra_native"
MODULE_COLOR = "#c0392b"
OTHER_COLORS = ["#2c7fb8", "#7fcdbb", "#636363", "#fdae6b", "#9e9ac8", "#a1d99b", "#fa9fb5", "#8c6d31", "#17becf"]


def load(paths: list[str]) -> tuple[list[dict[str, Any]], list[dict[str, Any]], list[dict[str, Any]]]:
    """(parse_fasta results, array results, --size results) from the given JSON files."""
    parses, arrays, sizes = [], [], []
    for path in paths:
        data = json.loads(Path(path).read_text())
        kind = data.get("benchmark")
        if kind in ("parse_fasta", "parse_fasta_compressed"):
            parses.append(data)
        elif kind == "arrays":
            arrays.append(data)
        elif kind == "parse_fasta_sizes":
            sizes.append(data)
        else:
            raise SystemExit(f"{path}: not a result of bench_parse_fasta.py or bench_arrays.py")
    return parses, arrays, sizes


def parse_label(data: dict[str, Any]) -> str:
    file = data["file"]
    alphabet = "nucleotide" if file["is_rna"] else "protein"
    compressed = f", {file['compressed']}" if file.get("compressed") else ""
    return f"{alphabet}{compressed}, {file['bytes'] / 1e6:,.0f} MB"


def parse_rows(data: dict[str, Any]) -> list[dict[str, Any]]:
    """Contenders that ran and passed their check, with throughput in GB/s of file size."""
    size = data["file"]["bytes"]
    rows = []
    for row in data["results"]:
        if row.get("status") != "ok" or row.get("check", "").startswith(("MISMATCH", "INVALID")):
            continue
        rows.append(
            {
                "name": row["contender"],
                "gb_per_s": size / row["time"] / 1e9 if row["time"] > 0 else float("nan"),
                "rss_ratio": row.get("rss_to_file_size"),
            }
        )
    return rows


def array_groups(data: dict[str, Any]) -> list[tuple[str, list[dict[str, Any]]]]:
    """(function: inputs, implementations that ran) in the order the benchmark ran them."""
    groups: dict[str, list[dict[str, Any]]] = {}
    for row in data["results"]:
        label = f"{row['function']}\n{row['inputs']}"
        groups.setdefault(label, [])
        if row.get("status") == "ok" and row.get("gb_per_s") is not None:
            groups[label].append({"name": row["implementation"], "gb_per_s": row["gb_per_s"]})
    return list(groups.items())


def colors_for(names: list[str]) -> dict[str, str]:
    others = iter(OTHER_COLORS * (len(names) // len(OTHER_COLORS) + 1))
    return {name: MODULE_COLOR if name == MODULE else next(others) for name in names}


def bar_panel(ax, groups: list[tuple[str, list[dict[str, Any]]]], title: str, note_key: str | None) -> None:
    """Horizontal bars, one group per label, one bar per contender, throughput on the x axis."""
    names = list(dict.fromkeys(r["name"] for _, rows in groups for r in rows))
    colors = colors_for(names)
    height = 0.8 / max(max((len(rows) for _, rows in groups), default=1), 1)
    ticks, labels, seen = [], [], set()
    y = 0.0
    for label, rows in groups:
        top = y
        for i, row in enumerate(rows):
            legend = row["name"] if row["name"] not in seen else None
            seen.add(row["name"])
            ax.barh(y + i * height, row["gb_per_s"], height * 0.9, color=colors[row["name"]], label=legend)
            if note_key and row.get(note_key) is not None:
                ax.annotate(
                    f" RSS x{row[note_key]:.1f}",
                    (row["gb_per_s"], y + i * height),
                    va="center",
                    fontsize=7,
                    color="#444444",
                )
        ticks.append(top + height * (len(rows) - 1) / 2)
        labels.append(label if rows else f"{label}\n(nothing ran)")
        y += 1.0
    ax.set_yticks(ticks, labels, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel("throughput (GB/s, higher is better)")
    ax.set_title(title, fontsize=10)
    ax.grid(axis="x", alpha=0.3)
    ax.set_axisbelow(True)
    if names:
        ax.legend(fontsize=7, loc="lower right")
    ax.margins(x=0.15)


def machine_line(results: list[dict[str, Any]]) -> str:
    first = results[0]
    machine = first.get("machine", {})
    threads = first.get("config", {}).get("threads")
    parts = [machine.get("cpu", "unknown CPU"), f"{machine.get('cpus_usable', '?')} usable CPUs"]
    if machine.get("memory_gib"):
        parts.append(f"{machine['memory_gib']} GiB")
    if threads:
        parts.append(f"{MODULE} with RAYON_NUM_THREADS={threads}")
    numpy_version = first.get("versions", {}).get("numpy")
    if numpy_version:
        parts.append(f"NumPy {numpy_version}")
    return ", ".join(parts)


def plot(parses: list[dict[str, Any]], arrays: list[dict[str, Any]], output: str, title: str | None) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels: list[tuple[list[tuple[str, list[dict[str, Any]]]], str, str | None]] = []
    if parses:
        groups = [(parse_label(d), parse_rows(d)) for d in parses]
        panels.append((groups, "parse_fasta: FASTA bytes per second (RSS: peak growth / FASTA size)", "rss_ratio"))
    for data in arrays:
        panels.append((array_groups(data), "array functions: input bytes per second", None))
    if not panels:
        raise SystemExit("no results to plot")
    heights = [max(2.0, 0.45 * sum(max(len(rows), 1) for _, rows in groups) + 1.0) for groups, _, _ in panels]
    fig, axes = plt.subplots(
        len(panels), 1, figsize=(9, sum(heights)), gridspec_kw={"height_ratios": heights}, squeeze=False
    )
    for ax, (groups, panel_title, note_key) in zip(axes[:, 0], panels):
        bar_panel(ax, groups, panel_title, note_key)
    fig.suptitle(title or machine_line(parses + arrays), fontsize=9)
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    Path(output).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    plt.close(fig)
    print(f"plot written to {output}", file=sys.stderr)


def fmt(value: float | None, digits: int) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def parse_table(parses: list[dict[str, Any]], compressed: bool) -> list[str]:
    """Plain files against `numpy.fromfile`; compressed ones, per byte of FASTA, against `gzip -dc`."""
    if not parses:
        return []
    floor, ratio_key = ("`gzip -dc`", "ratio_to_gzip") if compressed else ("`numpy.fromfile`", "ratio_to_fromfile")
    out = [
        f"| input | contender | time (s) | GB/s | x {floor} | peak RSS growth / file size | status |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for data in parses:
        size = data["file"]["bytes"]
        for row in data["results"]:
            ok = row.get("status") == "ok"
            time = row.get("time") if ok else None
            status = (row.get("check") or "ok") if ok else row.get("status", "-")
            out.append(
                f"| {parse_label(data)} | `{row['contender']}` | {fmt(time, 3)} "
                f"| {fmt(size / time / 1e9 if time else None, 2)} "
                f"| {fmt(row.get(ratio_key), 2)} | {fmt(row.get('rss_to_file_size'), 2)} "
                f"| {status} |"
            )
    return out + [""]


def markdown_tables(parses: list[dict[str, Any]], arrays: list[dict[str, Any]]) -> str:
    out = []
    for compressed in (False, True):
        out += parse_table([d for d in parses if bool(d["file"].get("compressed")) == compressed], compressed)
    for data in arrays:
        out += [
            f"| function | inputs | implementation | best (s) | GB/s | time / `{MODULE}` time | status |",
            "|---|---|---|---:|---:|---:|---|",
        ]
        for row in data["results"]:
            out.append(
                f"| `{row['function']}` | {row['inputs']} | {row['implementation']} "
                f"| {fmt(row.get('best'), 4)} | {fmt(row.get('gb_per_s'), 2)} | {fmt(row.get('ratio'), 2)} "
                f"| {row.get('status', '-')} |"
            )
        out.append("")
    return "\n".join(out)


def median(values: list[float]) -> float:
    ordered = sorted(values)
    mid = len(ordered) // 2
    return ordered[mid] if len(ordered) % 2 else (ordered[mid - 1] + ordered[mid]) / 2


def plot_sizes(sizes: list[dict[str, Any]], output: str) -> None:
    """The curve of `--size`: per kind of file, the median parse time over the fastest
    numpy.fromfile of the same run, against the file size."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 3.6))
    for data in sizes:
        curves: dict[str, list[tuple[int, float]]] = {}
        for row in data["results"]:
            pairs = [p for p in row["pairs"] if p["run"].get("status") == "ok" and p["floor"].get("status") == "ok"]
            if pairs:
                ratio = median([p["run"]["time"] for p in pairs]) / min(p["floor"]["time"] for p in pairs)
                curves.setdefault(row["kind"], []).append((row["bytes"], ratio))
        for (kind, points), color in zip(sorted(curves.items()), OTHER_COLORS):
            points.sort()
            ax.plot([b / 1e6 for b, _ in points], [r for _, r in points], marker="o", color=color, label=kind)
    ax.axhline(1.0, color="#999999", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_xlabel("file size (MB)")
    ax.set_ylabel("parse median / fastest numpy.fromfile")
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)
    ax.set_title(machine_line(sizes), fontsize=8)
    fig.tight_layout()
    Path(output).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    plt.close(fig)
    print(f"plot written to {output}", file=sys.stderr)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("results", nargs="+", help="JSON files written by the benchmark scripts' --json")
    parser.add_argument("--output", "-o", default="docs/benchmarks.png", help="image file to write")
    parser.add_argument("--title", help="figure title (default: the machine and configuration)")
    parser.add_argument("--sizes-output", default="docs/benchmarks_sizes.png",
                        help="image file for the results of bench_parse_fasta.py --size")
    parser.add_argument("--no-tables", action="store_true", help="do not print the Markdown tables")
    args = parser.parse_args(argv)
    parses, arrays, sizes = load(args.results)
    if sizes:
        plot_sizes(sizes, args.sizes_output)
    if parses or arrays:
        plot(parses, arrays, args.output, args.title)
    if not args.no_tables:
        print(markdown_tables(parses, arrays))
    return 0


if __name__ == "__main__":
    sys.exit(main())
