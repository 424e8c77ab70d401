"""Helpers shared by the benchmark scripts: sizes, optional imports, timing, tables, JSON."""

from __future__ import annotations

import contextlib
import gc
import importlib
import json
import os
import platform
import re
import sys
import tempfile
import time
from importlib import metadata
from pathlib import Path
from typing import Any, Callable

WORKERS_ENV = "RAYON_NUM_THREADS"
MODULE = "veltra_native"

_SIZE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([kmgt]i?)?b?\s*$", re.IGNORECASE)
_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12}


def parse_size(text: str | int) -> int:
    """Bytes from "1G", "64Mi", "500k" or a plain number (K/M/G are powers of 1000, Ki/Mi/Gi of 1024)."""
    if isinstance(text, int):
        return text
    match = _SIZE.match(text)
    if not match:
        raise ValueError(f"not a size: {text!r}")
    number, unit = match.group(1), (match.group(2) or "").lower()
    factor = 1024 ** ("kmgt".index(unit[0]) + 1) if unit.endswith("i") else _UNITS[unit]
    return int(float(number) * factor)


def set_workers(count: int) -> None:
    """Fix the module's worker count; only effective before the module's pool starts."""
    os.environ[WORKERS_ENV] = str(count)


def import_optional(name: str) -> tuple[Any, str]:
    """(module, "ok") or (None, reason); a missing or broken peer never stops a benchmark."""
    try:
        return importlib.import_module(name), "ok"
    except ImportError:
        return None, "not installed"
    except Exception as exc:  # a peer that is installed but broken is skipped the same way
        return None, f"not installed (import failed: {type(exc).__name__}: {exc})"


def describe(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


@contextlib.contextmanager
def captured_stderr():
    """Collects what native code writes to file descriptor 2 (panic reports) into box["text"]."""
    box = {"text": ""}
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with tempfile.TemporaryFile() as tmp:
            os.dup2(tmp.fileno(), 2)
            try:
                yield box
            finally:
                os.dup2(saved, 2)
                tmp.seek(0)
                box["text"] = tmp.read().decode(errors="replace")
    finally:
        os.close(saved)


def first_call(fn: Callable[[], Any]) -> tuple[Any, str]:
    """Run `fn` once; (result, "ok"), or (None, status) for a failure, whose report is passed on."""
    with captured_stderr() as box:
        try:
            result, status = fn(), "ok"
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # PanicException derives from BaseException
            result = None
            status = f"error: {describe(exc)}"
    if box["text"]:
        sys.stderr.write(box["text"])
    return result, status


def best_of(fn: Callable[[], Any], repeat: int) -> list[float]:
    """Wall times of `repeat` runs; each result is dropped before the next run starts."""
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return times


def package_version(dist: str) -> str | None:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def machine_info() -> dict[str, Any]:
    info: dict[str, Any] = {
        "platform": platform.platform(),
        "python": platform.python_version(),
        "cpus_online": os.cpu_count(),
        "cpus_usable": len(os.sched_getaffinity(0)),
    }
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                info["cpu"] = line.split(":", 1)[1].strip()
                break
    with contextlib.suppress(OSError, ValueError, IndexError):
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                info["memory_gib"] = round(int(line.split()[1]) / 2**20, 1)
    return info


def format_table(headers: list[str], rows: list[list[str]], left: tuple[int, ...] = (0, -1)) -> str:
    """Plain aligned text table: the `left` columns (text) left-aligned, the others right-aligned."""
    widths = [max(len(str(c)) for c in col) for col in zip(headers, *rows)]
    left = {i % len(widths) for i in left}

    def line(cells):
        return "  ".join(
            str(c).ljust(w) if i in left else str(c).rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
        ).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(headers), rule, *(line(r) for r in rows)])


def fmt(value: float | None, digits: int = 3) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def write_json(path: str | os.PathLike, payload: dict[str, Any]) -> None:
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(payload, indent=2) + "\n")
    print(f"results written to {path}")
