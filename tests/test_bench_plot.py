"""benchmarks/plot.py on hand-made results: what it plots, what it lists, what it refuses."""

import json
import sys
from pathlib import Path

import pytest

pytest.importorskip("matplotlib")

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

import plot  # noqa: E402

PARSE = {
    "benchmark": "parse_fasta",
    "machine": {"cpu": "Test CPU", "cpus_usable": 2},
    "versions": {"numpy": "2.0"},
    "file": {"path": "p.fa", "bytes": 2_000_000_000, "is_rna": False, "line_width": 60},
    "config": {"threads": 2, "repeat": 1},
    "results": [
        {"contender": "numpy.fromfile", "status": "ok", "time": 0.5, "rss_to_file_size": 1.0, "check": "-"},
        {"contender": "veltra_native", "status": "ok", "time": 2.0, "rss_to_file_size": 2.5, "check": "reference"},
        {"contender": "numpy", "status": "ok", "time": 8.0, "check": "MISMATCH vs veltra_native: ids differ"},
        {"contender": "pyfastx", "status": "not installed"},
    ],
}
ARRAYS = {
    "benchmark": "arrays",
    "machine": {},
    "versions": {},
    "config": {"threads": 2},
    "results": [
        {"function": "concatenate_numpy", "inputs": "8 x 64 MiB", "implementation": "veltra_native",
         "status": "ok", "best": 0.1, "gb_per_s": 5.0, "ratio": 1.0},
        {"function": "concatenate_numpy", "inputs": "8 x 64 MiB", "implementation": "numpy.concatenate + starts",
         "status": "ok", "best": 0.2, "gb_per_s": 2.5, "ratio": 2.0},
        {"function": "concatenate_awkward", "inputs": "8 lists", "implementation": "pyarrow concat_arrays",
         "status": "not installed", "times": []},
    ],
}  # fmt: skip


def test_only_checked_runs_are_plotted():
    rows = plot.parse_rows(PARSE)
    assert [r["name"] for r in rows] == ["numpy.fromfile", "veltra_native"]
    assert rows[1]["gb_per_s"] == pytest.approx(1.0)
    groups = plot.array_groups(ARRAYS)
    assert [(label, [r["name"] for r in rows]) for label, rows in groups] == [
        ("concatenate_numpy\n8 x 64 MiB", ["veltra_native", "numpy.concatenate + starts"]),
        ("concatenate_awkward\n8 lists", []),
    ]


def test_writes_the_image_and_lists_every_contender(tmp_path, capsys):
    paths = []
    for name, data in (("parse.json", PARSE), ("arrays.json", ARRAYS)):
        paths.append(tmp_path / name)
        paths[-1].write_text(json.dumps(data))
    image = tmp_path / "out" / "plot.png"
    assert plot.main([*map(str, paths), "--output", str(image)]) == 0
    assert image.read_bytes().startswith(b"\x89PNG")
    tables = capsys.readouterr().out
    assert "| protein, 2,000 MB | `veltra_native` | 2.000 | 1.00 | - | 2.50 | reference |" in tables
    assert "MISMATCH" in tables and "| not installed |" in tables
    assert "| `concatenate_numpy` | 8 x 64 MiB | numpy.concatenate + starts | 0.2000 | 2.50 | 2.00 | ok |" in tables


def test_refuses_other_json(tmp_path):
    other = tmp_path / "other.json"
    other.write_text(json.dumps({"benchmark": "something else"}))
    with pytest.raises(SystemExit, match="not a result"):
        plot.main([str(other)])


def test_size_curve_is_drawn(tmp_path):
    def pair(run, floor):
        return {"run": {"status": "ok", "time": run}, "floor": {"status": "ok", "time": floor}}

    sizes = {"benchmark": "parse_fasta_sizes", "machine": {}, "config": {"threads": 2}, "results": [
        {"kind": kind, "bytes": n, "pairs": [pair(0.3, 0.2), pair(0.5, 0.1), pair(0.2, 0.4)]}
        for kind in ("protein", "nucleotide") for n in (50_000_000, 250_000_000)]}  # fmt: skip
    path, image = tmp_path / "sizes.json", tmp_path / "sizes.png"
    path.write_text(json.dumps(sizes))
    assert plot.main([str(path), "--sizes-output", str(image)]) == 0
    assert image.read_bytes().startswith(b"\x89PNG")
