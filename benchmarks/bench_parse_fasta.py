#!/usr/bin/env python3
"""Time veltra_native.parse_fasta on one FASTA file against NumPy and record-oriented FASTA readers.

    python benchmarks/bench_parse_fasta.py benchmarks/data/protein_1G.fa
    python benchmarks/bench_parse_fasta.py benchmarks/data/nucleotide_1G.fa --is-rna --json out.json

Every contender runs in a fresh subprocess with RAYON_NUM_THREADS set (2 by default), so that its
peak memory is its own. Inside it, only the work is timed (not the interpreter start or imports),
and the peak RSS growth is the rise of the process's peak resident set (VmHWM, reset just before
the work) over its resident set when the work began. The file is read once beforehand so that
every contender finds it in the page cache.

Contenders, each ending with the module's three arrays (tokens uint8, offsets int64, ids uint64):

- numpy.fromfile: only reads the file into a uint8 array; the floor, no arrays to compare.
- veltra_native: parse_fasta(path, numpy.zeros(5, uint8), is_rna).
- numpy: numpy_fasta.parse_fasta_numpy, a vectorised pure-NumPy tokeniser (one entry per line).
- biopython, pyfastx, needletail, dnaio: Bio.SeqIO.parse(path, "fasta"), pyfastx.Fastx(path),
  needletail.parse_fastx_file(path) and dnaio.open(path). These yield one joined sequence per
  record, so line boundaries are gone: each record's residues are tokenised with the same table,
  its id is the integer value of the reader's record id, and its lines are recovered by assuming
  a fixed wrap width (--line-width, 60 as make_fasta.py writes): ceil(L / width) lines, all full
  but the last. On files wrapped otherwise, or with empty lines, they do not match, and the check
  says so.

Check: every contender's arrays are compared with veltra_native's (or with the NumPy reference
while the module is not built) through SHA-256 digests of tokens, line lengths and ids, all in
file order.

--pairs N: instead, each contender (veltra_native unless --contender says otherwise) runs N times
in turn with numpy.fromfile, A B A B, each run a fresh process with the file read into the page
cache just before it. Reported per contender: the median of the pairwise ratios of work time to
numpy.fromfile's, user CPU seconds of the work per GB of file, and the peak RSS of the process
(from wait4) above its RSS when the work began and above the bytes of the arrays it returned.
No digests are taken, so the peak is the work's own.

--compressed gzip|bgzf: FILE is gzip or BGZF (checked from its first bytes) and the floor is
`gzip -dc FILE > /dev/null`, a whole process timed from its start to its exit; ISA-L's
`igzip -dc FILE > /dev/null` is timed the same way as a contender. The module, needletail, pyfastx
and dnaio read the compressed file themselves, Biopython through gzip.open(FILE, "rt"), numpy
tokenises the file inflated member by member; numpy.fromfile is left out. Per-GB figures are per
GB of decompressed FASTA.

--vs-threads N (with --pairs): the module with --threads workers in turn with itself at N workers,
reported as the speedup, N workers' time over --threads workers' time, median of the pairs.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path
from typing import Any, Callable, Iterator

from _benchutil import (
    MODULE,
    WORKERS_ENV,
    describe,
    fmt,
    format_table,
    machine_info,
    package_version,
    parse_size,
    write_json,
)

DATA_DIR = Path(__file__).resolve().parent / "data"
GZIP = "gzip -dc"
IGZIP = "igzip -dc"
# Whole programs that only inflate, to /dev/null: the floor, and ISA-L's own tool.
INFLATE_COMMANDS = {GZIP: ["gzip", "-dc"], IGZIP: ["igzip", "-dc"]}
READERS = ("biopython", "pyfastx", "needletail", "dnaio")
CONTENDERS = ("numpy.fromfile", MODULE, "numpy", *READERS, GZIP, IGZIP)
# What runs on a compressed file; numpy.fromfile would only read the compressed bytes.
COMPRESSED_CONTENDERS = (GZIP, MODULE, "numpy", *READERS, IGZIP)
DISTRIBUTIONS = {
    MODULE: "veltra-native",
    "biopython": "biopython",
    "pyfastx": "pyfastx",
    "needletail": "needletail",
    "dnaio": "dnaio",
}


class Unavailable(Exception):
    """A contender that cannot run here (not installed)."""


# ----------------------------------------------------------------------------------------------
# Child side: one contender, one run.


def _prepare(name: str, path: str, is_rna: bool, width: int, compressed: bool) -> Callable[[], Any]:
    import numpy as np

    if name == "numpy.fromfile":
        return lambda: np.fromfile(path, dtype=np.uint8)
    if name == "numpy":
        import numpy_fasta

        if compressed:

            def work():
                data = bytearray()
                for piece in inflate_members(path):
                    data += piece
                return numpy_fasta.parse_fasta_bytes(np.frombuffer(data, np.uint8), is_rna)

            return work
        return lambda: numpy_fasta.parse_fasta_numpy(path, is_rna)
    if name == MODULE:
        try:
            module = __import__(MODULE)
        except ImportError as exc:
            raise Unavailable("not installed") from exc
        mapping = np.zeros(5, np.uint8)
        return lambda: module.parse_fasta(path, mapping, is_rna)

    from numpy_fasta import RecordCollector

    try:
        if name == "biopython":
            from Bio import SeqIO

            def records():
                if compressed:
                    import gzip

                    with gzip.open(path, "rt") as handle:
                        for record in SeqIO.parse(handle, "fasta"):
                            yield record.id, str(record.seq)
                    return
                for record in SeqIO.parse(path, "fasta"):
                    yield record.id, str(record.seq)

        elif name == "pyfastx":
            import pyfastx

            def records():
                return pyfastx.Fastx(path)

        elif name == "needletail":
            from needletail import parse_fastx_file

            def records():
                for record in parse_fastx_file(path):
                    yield record.id, record.seq

        elif name == "dnaio":
            import dnaio

            def records():
                with dnaio.open(path) as reader:
                    for record in reader:
                        yield record.name, record.sequence

        else:
            raise ValueError(f"unknown contender {name}")
    except ImportError as exc:
        raise Unavailable("not installed") from exc

    def work():
        collector = RecordCollector()
        for record_id, sequence in records():
            collector.add(int(record_id), sequence)
        return collector.finish(is_rna, width)

    return work


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _peak_probe() -> tuple[str, Callable[[], int]]:
    """(method, read) where read() gives the peak RSS growth in bytes since this call."""
    try:
        Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current RSS
        base = _status_kib("VmRSS")
        if base is not None and _status_kib("VmHWM") is not None:
            return "VmHWM", lambda: (_status_kib("VmHWM") - base) * 1024
    except OSError:
        pass
    # Without the reset, growth only shows once the work's peak passes the earlier peak.
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return "ru_maxrss", lambda: (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) * 1024


def summarize(tokens, offsets, ids) -> dict[str, Any]:
    """Shape checks and digests of the three arrays."""
    import numpy as np

    summary: dict[str, Any] = {"tokens": int(tokens.size), "entries": int(ids.size)}
    problems = []
    if (tokens.dtype, offsets.dtype, ids.dtype) != (np.uint8, np.int64, np.uint64):
        problems.append(f"dtypes {tokens.dtype}, {offsets.dtype}, {ids.dtype}")
    if offsets.size != ids.size + 1:
        problems.append(f"{offsets.size} offsets for {ids.size} ids")
    elif offsets[0] != 0 or offsets[-1] != tokens.size or np.any(np.diff(offsets) < 0):
        problems.append("offsets do not run from 0 to the token count without decreasing")
    if problems:
        summary["problems"] = problems
        return summary

    summary["digests"] = {
        "tokens": hashlib.sha256(memoryview(tokens)).hexdigest(),
        "offsets": hashlib.sha256(np.diff(offsets).tobytes()).hexdigest(),
        "ids": hashlib.sha256(ids.tobytes()).hexdigest(),
    }
    return summary


def run_child(args) -> int:
    result: dict[str, Any] = {"contender": args.child}
    try:
        work = _prepare(args.child, args.file, args.is_rna, args.line_width, bool(args.compressed))
        method, growth = _peak_probe()
        result["rss_at_start"] = (_status_kib("VmRSS") or 0) * 1024
        before = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        output = work()
        result["time"] = time.perf_counter() - t0
        after = resource.getrusage(resource.RUSAGE_SELF)
        result["user_cpu"] = after.ru_utime - before.ru_utime
        result["sys_cpu"] = after.ru_stime - before.ru_stime
        result["rss_growth"] = growth()
        result["rss_method"] = method
        result["status"] = "ok"
        arrays = [output] if args.child == "numpy.fromfile" else list(output)
        result["result_bytes"] = sum(int(a.nbytes) for a in arrays)
        if args.child != "numpy.fromfile" and not args.paired:
            tokens, offsets, ids = output
            if args.dump:
                import numpy as np

                for part, array in (("tokens", tokens), ("offsets", offsets), ("ids", ids)):
                    np.save(Path(args.dump) / f"{args.child}.{part}.npy", array)
            result["summary"] = summarize(tokens, offsets, ids)
    except Unavailable as exc:
        result["status"] = str(exc)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # PanicException derives from BaseException
        result["status"] = f"error: {describe(exc)}"
    Path(args.result).write_text(json.dumps(result))
    return 0


# ----------------------------------------------------------------------------------------------
# Parent side.


def _warm_page_cache(path: str) -> None:
    with open(path, "rb", buffering=0) as f:
        while f.read(16 << 20):
            pass


def detect_compression(path: str) -> str | None:
    """"bgzf", "gzip" or None (plain), from the first member's header as a reader sees it."""
    with open(path, "rb") as f:
        head = f.read(18)
    if head[:3] != b"\x1f\x8b\x08":
        return None
    # BGZF: the FEXTRA flag, and a first extra subfield "BC" of 2 bytes (the member's size).
    if len(head) == 18 and head[3] & 4 and head[12:16] == b"BC\x02\x00":
        return "bgzf"
    return "gzip"


def inflate_members(path: str) -> Iterator[bytes]:
    """The decompressed bytes of every gzip member in turn, to the end of the file, as gzip -d."""
    # Small reads: the rest of a read is copied at every member's end (gzip.decompress copies the
    # rest of the whole file, which takes minutes for BGZF's thousands of members), and every
    # child's peak RSS as wait4 reports it starts from this process's peak.
    with open(path, "rb") as f:
        inflate = zlib.decompressobj(wbits=31)
        while block := f.read(64 << 10):
            while block:
                yield inflate.decompress(block)
                if not inflate.eof:
                    break
                block = inflate.unused_data
                inflate = zlib.decompressobj(wbits=31)


def decompressed_size(path: str) -> int:
    return sum(len(piece) for piece in inflate_members(path))


def _run_inflater(name: str, args) -> dict[str, Any]:
    """`gzip -dc FILE > /dev/null` (or igzip's) as one process, with the operating system's
    accounting of it."""
    t0 = time.perf_counter()
    try:
        proc = subprocess.Popen(
            INFLATE_COMMANDS[name] + [args.file], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
        )
    except FileNotFoundError:
        return {"contender": name, "status": "not installed"}
    stderr = proc.stderr.read()
    proc.stderr.close()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        tail = stderr.decode(errors="replace").strip().splitlines()[-3:]
        return {"contender": name, "status": f"error: exited with {proc.returncode}: " + " | ".join(tail)}
    # wait4's peak of a spawned process starts from the peak of the Python process that forked
    # it, which dwarfs gzip's own few MB; no figure is better than a wrong one.
    peak = None
    return {
        "contender": name,
        "status": "ok",
        "time": elapsed,
        "user_cpu": usage.ru_utime,
        "sys_cpu": usage.ru_stime,
        "process_cpu": usage.ru_utime + usage.ru_stime,
        "rss_at_start": 0,
        "result_bytes": 0,
        "rss_growth": peak,
        "rss_method": None,
        "peak_rss": peak,
        "peak_above_results": peak,
    }


def _child_command(name: str, args, result_path: Path) -> list[str]:
    command = [sys.executable, str(Path(__file__).resolve()), "--child", name, "--result", str(result_path)]
    command += ["--line-width", str(args.line_width), args.file]
    command += ["--is-rna"] if args.is_rna else []
    command += ["--dump", args.dump] if args.dump else []
    command += ["--paired"] if args.pairs else []
    command += ["--compressed", args.compressed] if args.compressed else []
    return command


def _run_one(name: str, args, workdir: str) -> dict[str, Any]:
    if name in INFLATE_COMMANDS:
        return _run_inflater(name, args)
    result_path = Path(workdir) / f"{name}.json"
    result_path.unlink(missing_ok=True)
    command = _child_command(name, args, result_path)
    env = {**os.environ, WORKERS_ENV: str(args.threads)}
    try:
        proc = subprocess.run(command, env=env, capture_output=True, text=True, timeout=args.timeout)
    except subprocess.TimeoutExpired:
        return {"contender": name, "status": f"timeout after {args.timeout} s"}
    if proc.returncode != 0 or not result_path.exists():
        tail = (proc.stderr or "").strip().splitlines()[-3:]
        return {
            "contender": name,
            "status": f"error: child exited with {proc.returncode}: " + " | ".join(tail),
        }
    result = json.loads(result_path.read_text())
    if result["status"].startswith("error") and proc.stderr.strip():
        sys.stderr.write(f"--- {name} stderr ---\n{proc.stderr}")
    return result


def _differ(row: dict[str, Any], other: dict[str, Any] | None) -> list[str] | None:
    mine, theirs = row.get("summary", {}).get("digests"), (other or {}).get("summary", {}).get("digests")
    if mine is None or theirs is None:
        return None
    return [k for k, v in mine.items() if theirs[k] != v]


def _check(row: dict[str, Any], by_name: dict[str, dict[str, Any]], reference_name: str | None) -> str:
    summary = row.get("summary")
    if summary is None:
        return "-"
    if "problems" in summary:
        return "INVALID: " + "; ".join(summary["problems"])
    if reference_name is None or row is by_name[reference_name]:
        return "reference"
    differ = _differ(row, by_name[reference_name])
    if not differ:
        return f"same as {reference_name}"
    counts = f"{summary['entries']:,} entries, {summary['tokens']:,} tokens"
    also = ""
    if row["contender"] != "numpy" and _differ(row, by_name.get("numpy")) == []:
        also = ", same as numpy"
    return f"MISMATCH vs {reference_name}: {', '.join(differ)} differ ({counts}{also})"


def _busy_cpu_seconds() -> float | None:
    """CPU seconds that all CPUs of the machine spent busy since boot (idle and iowait aside)."""
    try:
        fields = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    except (OSError, ValueError):
        return None
    return (sum(fields[:8]) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")


def _run_measured(name: str, args, workdir: str, threads: int) -> dict[str, Any]:
    """One fresh-process run, with the operating system's accounting of the whole process, and
    how many CPUs other processes kept busy meanwhile: on a shared machine that, not the code,
    may be why two workers are no faster than one."""
    _warm_page_cache(args.file)
    busy, t0 = _busy_cpu_seconds(), time.perf_counter()
    result = _run_process(name, args, workdir, threads)
    elapsed, busy_after = time.perf_counter() - t0, _busy_cpu_seconds()
    if result["status"] == "ok" and busy is not None and busy_after is not None:
        result["others_cpus"] = max(0.0, busy_after - busy - result["process_cpu"]) / elapsed
    return result


def _run_process(name: str, args, workdir: str, threads: int) -> dict[str, Any]:
    result_path = Path(workdir) / f"{name}.json"
    result_path.unlink(missing_ok=True)
    if name in INFLATE_COMMANDS:
        return _run_inflater(name, args)
    env = {**os.environ, WORKERS_ENV: str(threads)}
    proc = subprocess.Popen(
        _child_command(name, args, result_path), env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    )
    stderr = proc.stderr.read()
    proc.stderr.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0 or not result_path.exists():
        tail = stderr.decode(errors="replace").strip().splitlines()[-3:]
        return {"contender": name, "status": f"error: child exited with {proc.returncode}: " + " | ".join(tail)}
    result = json.loads(result_path.read_text())
    if result["status"] == "ok":
        result["peak_rss"] = usage.ru_maxrss * 1024
        result["process_cpu"] = usage.ru_utime + usage.ru_stime
        result["peak_above_results"] = result["peak_rss"] - result["rss_at_start"] - result["result_bytes"]
    return result


def _median_or_none(values: list[float | None], digits: int, unit: float) -> str:
    return "-" if None in values else fmt(_median(values) / unit, digits)


def _median(values: list[float]) -> float:
    ordered = sorted(values)
    mid = len(ordered) // 2
    return ordered[mid] if len(ordered) % 2 else (ordered[mid - 1] + ordered[mid]) / 2


def _describe_file(args, extra: str = "") -> int:
    """Prints what the file is; returns the bytes of FASTA it holds (decompressed if need be)."""
    size = os.path.getsize(args.file)
    line = f"file: {args.file} ({size / 1e6:,.1f} MB"
    if args.compressed:
        plain = decompressed_size(args.file)
        line += f" {args.compressed}, {plain / 1e6:,.1f} MB decompressed"
        size = plain
    print(f"{line}), is_rna={args.is_rna}{extra}")
    return size


def _pairs(args, workdir: str, floor_of: tuple, run_of: tuple) -> list[dict[str, Any]]:
    """args.pairs runs of `run_of` (name, workers, label) in turn with `floor_of`, the floor first in
    each pair; stops at the first failure, so that fewer pairs come back."""
    pairs = []
    for i in range(args.pairs):
        floor = _run_measured(floor_of[0], args, workdir, floor_of[1])
        run = _run_measured(run_of[0], args, workdir, run_of[1])
        if floor["status"] != "ok" or run["status"] != "ok":
            failed = run if run["status"] != "ok" else floor
            print(f"{failed['contender']}: {failed['status']}")
            break
        ratio = floor["time"] / run["time"] if args.vs_threads else run["time"] / floor["time"]
        pairs.append({"floor": floor, "run": run, "ratio": ratio})
        others = max(r.get("others_cpus", 0.0) for r in (run, floor))
        print(
            f"pair {i + 1}: {run_of[2]} {run['time']:.3f} s, {floor_of[2]} {floor['time']:.3f} s,"
            f" other work kept up to {others:.2f} CPUs busy",
            flush=True,
        )
    return pairs


# The two files of the size curve: what pipelines write most.
SIZE_KINDS = {
    "protein": ("protein, 60-column lines", 60, False),
    "nucleotide": ("nucleotide, one line per record", 100000, True),
}


def run_sizes(args) -> int:
    """--size: per size and kind of file, parse_fasta in turn with numpy.fromfile, one row each."""
    kinds = list(SIZE_KINDS) if args.kind == "both" else [args.kind]
    print(
        f"{WORKERS_ENV}={args.threads}; {args.pairs} pairs of numpy.fromfile then {MODULE} per file,"
        f" each run a fresh process; files in {args.data_dir}"
    )
    table, rows, healthy = [], [], True
    with tempfile.TemporaryDirectory(prefix="bench_parse_fasta.") as workdir:
        for size_text in args.size:
            for kind in kinds:
                what, width, is_rna = SIZE_KINDS[kind]
                path = Path(args.data_dir) / f"{kind}_{size_text}_w{width}.fa"
                made = not path.exists()
                if made:
                    # In a process of its own: a child's peak RSS as wait4 tells it starts from
                    # this process's peak, which making the file in here would raise.
                    print(f"making {path}", flush=True)
                    made_in = path.parent / f".making.{os.getpid()}"
                    command = [sys.executable, str(Path(__file__).with_name("make_fasta.py")), "--kind", kind]
                    command += ["--size", size_text, "--line-width", str(width), "--out-dir", str(made_in)]
                    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                    os.replace(made_in / f"{kind}_{size_text}.fa", path)
                    made_in.rmdir()
                size = os.path.getsize(path)
                print(f"{what}, {size / 1e6:,.0f} MB: {path}", flush=True)
                run_args = argparse.Namespace(**{**vars(args), "file": str(path), "is_rna": is_rna})
                floor_of = ("numpy.fromfile", args.threads, "numpy.fromfile")
                pairs = _pairs(run_args, workdir, floor_of, (MODULE, args.threads, MODULE))
                load = os.getloadavg()[0]
                if made and args.delete:
                    path.unlink()
                healthy &= len(pairs) == args.pairs
                if not pairs:
                    continue
                runs, floors = [p["run"] for p in pairs], [p["floor"] for p in pairs]
                gb = size / 1e9
                median_time, fastest_floor = _median([r["time"] for r in runs]), min(f["time"] for f in floors)
                cpu = _median([r["user_cpu"] + r["sys_cpu"] for r in runs]) / gb
                table.append(
                    [
                        what,
                        f"{size / 1e6:,.0f} MB",
                        fmt(median_time, 3),
                        fmt(fastest_floor, 3),
                        fmt(median_time / fastest_floor, 2),
                        fmt(_median([p["ratio"] for p in pairs]), 2),
                        fmt(cpu, 2),
                        fmt(_median([r["user_cpu"] for r in runs]) / gb, 2),
                        fmt(_median([r["sys_cpu"] for r in runs]) / gb, 2),
                        _median_or_none([r["peak_above_results"] for r in runs], 1, 2**20),
                        _median_or_none([max(r.get("others_cpus", 0.0) for r in p.values() if isinstance(r, dict)) for p in pairs], 2, 1),
                        f"{load:.2f}",
                    ]
                )
                rows.append(
                    {"kind": kind, "size": size_text, "bytes": size, "line_width": width, "load_average": load, "pairs": pairs}
                )
    headers = [
        "file",
        "size",
        f"{MODULE} median (s)",
        "fastest numpy.fromfile (s)",
        "median / fastest fromfile",
        "median of pair ratios",
        "CPU s/GB",
        "user s/GB",
        "sys s/GB",
        "peak RSS above results (MiB)",
        "CPUs busy with other work",
        "load average",
    ]
    print()
    print(format_table(headers, table, left=(0,)))
    print()
    print("| " + " | ".join(headers) + " |")
    print("|---|" + "---:|" * (len(headers) - 1))
    for row in table:
        print("| " + " | ".join(row) + " |")
    if args.json:
        write_json(
            args.json,
            {
                "benchmark": "parse_fasta_sizes",
                "machine": machine_info(),
                "config": {"threads": args.threads, "pairs": args.pairs, "baseline": "numpy.fromfile"},
                "results": rows,
            },
        )
    return 0 if healthy else 1


def run_paired(args) -> int:
    path = args.file
    size = _describe_file(args)
    gb = size / 1e9
    if args.vs_threads:
        # The same contender at two worker counts; the ratio is a speedup, above 1 when faster.
        base, base_threads, base_label = MODULE, args.vs_threads, f"{MODULE}, {args.vs_threads} worker(s)"
        names = [MODULE]
        ratio_header = f"speedup over {args.vs_threads} worker(s) (median of pairs)"
    else:
        base = GZIP if args.compressed else "numpy.fromfile"
        base_threads, base_label = args.threads, base
        names = [n for n in (args.contender or [MODULE]) if n != base]
        ratio_header = f"x {base} (median of pairs)"
    print(f"{WORKERS_ENV}={args.threads}; {args.pairs} pairs with {base_label} per contender, taken in turn")
    table = []
    rows: list[dict[str, Any]] = []
    healthy = True
    with tempfile.TemporaryDirectory(prefix="bench_parse_fasta.") as workdir:
        for name in names:
            label = f"{name}, {args.threads} worker(s)" if args.vs_threads else name
            pairs = _pairs(args, workdir, (base, base_threads, base_label), (name, args.threads, label))
            healthy &= len(pairs) == args.pairs
            if not pairs:
                continue
            ratios = [p["ratio"] for p in pairs]
            for row_label, key in ((base_label, "floor"), (label, "run")):
                runs = [p[key] for p in pairs]
                table.append(
                    [
                        row_label,
                        fmt(_median([r["time"] for r in runs]), 3),
                        fmt(_median(ratios), 2) if key == "run" else "1",
                        f"{min(ratios):.2f} to {max(ratios):.2f}" if key == "run" else "-",
                        fmt(_median([r["user_cpu"] for r in runs]) / gb, 3),
                        fmt(_median([r["sys_cpu"] for r in runs]) / gb, 3),
                        _median_or_none([r["peak_above_results"] for r in runs], 1, 2**20),
                        _median_or_none([r.get("others_cpus") for r in runs], 2, 1),
                    ]
                )
            rows.append({"contender": name, "pairs": pairs})
    print()
    print(
        format_table(
            [
                "contender",
                "median time (s)",
                ratio_header,
                "pair ratios",
                "user CPU s/GB",
                "sys CPU s/GB",
                "peak RSS above results (MiB)",
                "CPUs busy with other work",
            ],
            table,
            left=(0,),
        )
    )
    if args.json:
        write_json(
            args.json,
            {
                "benchmark": "parse_fasta_pairs",
                "machine": machine_info(),
                "file": {
                    "path": str(path),
                    "bytes": os.path.getsize(path),
                    "fasta_bytes": size,
                    "compressed": args.compressed,
                    "is_rna": args.is_rna,
                },
                "config": {
                    "threads": args.threads,
                    "pairs": args.pairs,
                    "baseline": base,
                    "baseline_threads": base_threads,
                    "ratio": "speedup" if args.vs_threads else "time over baseline",
                },
                "results": rows,
            },
        )
    return 0 if healthy else 1


def run_parent(args) -> int:
    path = args.file
    size = _describe_file(args, f", line width {args.line_width}")
    floor_name = GZIP if args.compressed else "numpy.fromfile"
    ratio_key = "ratio_to_gzip" if args.compressed else "ratio_to_fromfile"
    plain = [n for n in CONTENDERS if n not in INFLATE_COMMANDS]
    default = COMPRESSED_CONTENDERS if args.compressed else plain
    names = args.contender or list(default)
    print(f"{WORKERS_ENV}={args.threads} in every contender's process; best of {args.repeat} run(s)")
    _warm_page_cache(path)

    rows: list[dict[str, Any]] = []
    with tempfile.TemporaryDirectory(prefix="bench_parse_fasta.") as workdir:
        for name in names:
            print(f"running {name}", flush=True)
            runs = [_run_one(name, args, workdir)]
            while runs[-1]["status"] == "ok" and len(runs) < args.repeat:
                runs.append(_run_one(name, args, workdir))
            if runs[-1]["status"] == "ok":
                row = min(runs, key=lambda r: r["time"])
                row["times"] = [r["time"] for r in runs]
                growths = [r["rss_growth"] for r in runs]
                row["rss_growth"] = None if None in growths else max(growths)
            else:
                row = runs[-1]
            rows.append(row)

    by_name = {r["contender"]: r for r in rows}
    reference_name = next(
        (n for n in (MODULE, "numpy") if "digests" in by_name.get(n, {}).get("summary", {})), None
    )
    floor = by_name.get(floor_name, {}).get("time")
    healthy = True
    table = []
    for row in rows:
        ok = row["status"] == "ok"
        row["check"] = _check(row, by_name, reference_name) if ok else "-"
        row[ratio_key] = row["time"] / floor if ok and floor else None
        growth = row.get("rss_growth") if ok else None
        row["rss_to_file_size"] = growth / size if growth is not None and size else None
        healthy &= row["status"] == "ok" or row["status"].startswith("not installed")
        healthy &= not row["check"].startswith(("MISMATCH", "INVALID"))
        table.append(
            [
                row["contender"],
                fmt(row.get("time"), 3),
                fmt(row[ratio_key], 2),
                fmt(growth / 1e6 if growth is not None else None, 1),
                fmt(row["rss_to_file_size"], 2),
                row["check"] if ok else row["status"],
            ]
        )
    print()
    print(
        format_table(
            ["contender", "time (s)", f"x {floor_name}", "peak RSS growth (MB)", "x FASTA size", "check"],
            table,
        )
    )
    print(
        f"\nchecks compare tokens, line lengths and ids with {reference_name or 'nothing (no reference ran)'}"
    )
    if any(by_name.get(n, {}).get("check", "").startswith("MISMATCH") for n in READERS):
        print(
            f"the record readers' lines are recovered assuming {args.line_width}-column wrapping"
            " (--line-width); files wrapped otherwise or with empty lines cannot match"
        )

    if args.json:
        versions = {n: package_version(d) for n, d in DISTRIBUTIONS.items()}
        versions["numpy"] = package_version("numpy")
        write_json(
            args.json,
            {
                "benchmark": "parse_fasta_compressed" if args.compressed else "parse_fasta",
                "machine": machine_info(),
                "versions": versions,
                "file": {
                    "path": str(path),
                    "bytes": size,
                    "compressed": args.compressed,
                    "compressed_bytes": os.path.getsize(path) if args.compressed else None,
                    "is_rna": args.is_rna,
                    "line_width": args.line_width,
                },
                "config": {"threads": args.threads, "repeat": args.repeat},
                "reference": reference_name,
                "results": rows,
            },
        )
    return 0 if healthy else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("file", nargs="?", help="FASTA file with numeric headers (not with --size)")
    parser.add_argument("--is-rna", action="store_true", help="nucleotide alphabet (default: protein)")
    parser.add_argument("--line-width", type=int, default=60, help="wrap width the record readers assume")
    parser.add_argument("--threads", type=int, default=2, help=f"{WORKERS_ENV} for every contender")
    parser.add_argument(
        "--repeat", "-n", type=int, default=1, help="fresh-process runs per contender (best kept)"
    )
    parser.add_argument(
        "--contender", action="append", choices=CONTENDERS, help="run only these (repeatable)"
    )
    parser.add_argument(
        "--timeout", type=float, default=None, help="seconds before a contender's run is ended"
    )
    parser.add_argument(
        "--dump", help="directory to save every contender's arrays to as .npy (for mismatches)"
    )
    parser.add_argument(
        "--pairs", type=int, default=0, help="run each contender N times in turn with numpy.fromfile"
    )
    parser.add_argument(
        "--compressed",
        choices=("gzip", "bgzf"),
        help="FILE is compressed so; the floor is gzip -dc FILE > /dev/null",
    )
    parser.add_argument(
        "--vs-threads",
        type=int,
        metavar="N",
        help="with --pairs: the module with --threads workers in turn with itself at N workers",
    )
    parser.add_argument(
        "--size",
        action="append",
        help="instead of FILE: files of this size (repeatable), made where missing, each in --pairs pairs",
    )
    parser.add_argument(
        "--kind", choices=(*SIZE_KINDS, "both"), default="both", help="with --size: which files (default both)"
    )
    parser.add_argument("--data-dir", default=str(DATA_DIR), help="with --size: where the files are (made)")
    parser.add_argument(
        "--delete", action="store_true", help="with --size: delete each file this run made after its pairs"
    )
    parser.add_argument("--json", help="also write the results to this JSON file")
    parser.add_argument("--child", choices=CONTENDERS, help=argparse.SUPPRESS)
    parser.add_argument("--result", help=argparse.SUPPRESS)
    parser.add_argument("--paired", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.line_width < 1 or args.threads < 1 or args.repeat < 1:
        parser.error("--line-width, --threads and --repeat must be positive")
    if args.child:
        return run_child(args)
    if args.size:
        if args.file or args.compressed or args.contender or args.vs_threads is not None:
            parser.error("--size takes no FILE, --compressed, --contender or --vs-threads")
        for text in args.size:
            try:
                parse_size(text)
            except ValueError as error:
                parser.error(str(error))
        args.pairs = args.pairs or 7
        return run_sizes(args)
    if args.file is None:
        parser.error("a FILE or --size is needed")
    if not os.path.isfile(args.file):
        parser.error(f"no such file: {args.file}")
    if args.pairs < 0:
        parser.error("--pairs must not be negative")
    # A mislabelled file would be timed as the wrong thing, or fail in every contender.
    found = detect_compression(args.file)
    if found != args.compressed:
        what = f"a {found} file: pass --compressed {found}" if found else "not compressed"
        parser.error(f"{args.file} is {what}")
    if args.compressed:
        others = set(args.contender or ()) - set(COMPRESSED_CONTENDERS)
        if others:
            parser.error(f"{', '.join(sorted(others))} only read plain files")
    elif set(args.contender or ()) & set(INFLATE_COMMANDS):
        parser.error(f"{' and '.join(INFLATE_COMMANDS)} only read compressed files")
    if args.vs_threads is not None:
        if not args.pairs or args.vs_threads < 1:
            parser.error("--vs-threads needs --pairs and a positive worker count")
        if set(args.contender or [MODULE]) != {MODULE}:
            parser.error(f"--vs-threads compares {MODULE} with itself")
    return run_paired(args) if args.pairs else run_parent(args)


if __name__ == "__main__":
    sys.exit(main())
