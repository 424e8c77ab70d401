"""parse_fasta under faults of its surroundings: standard output closed or
gone, files that are not plain files or cannot be read, files that grow while
they are read, thread creation failing when the pool starts, and several
chunks failing at once.

Each case runs in a child interpreter, so that descriptor 1, the pool and
the process's privileges are its own. A child reports through a JSON file, and
its standard output holds nothing but the module's progress lines.
"""

import errno
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import fasta_reference as ref

NATIVE = Path(__file__).parent / "native"
TIMEOUT = 120
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
NOT_INITIALIZED = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "

PRELUDE = """
import json, os, signal, sys
import numpy as np
import veltra_native as vn

MAPPING = np.zeros(5, np.uint8)

def digest(array):
    return [array.nbytes, __import__("hashlib").sha256(array.tobytes()).hexdigest()]

def outcome(call, *args):
    try:
        result = call(*args)
    except BaseException as e:
        return [type(e).__name__, str(e)]
    return [digest(a) for a in result]

def parse(path, is_rna=True):
    return outcome(vn.parse_fasta, path, MAPPING, is_rna)

# Opened up front: some children close descriptors or give up privileges.
RESULT = open(os.environ["FAULT_RESULT"], "w")

def report(value):
    json.dump(value, RESULT)
    RESULT.flush()
"""


def child_env(tmp_path, workers=3, preload=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(workers)
    env["FAULT_RESULT"] = str(tmp_path / "result.json")
    if preload is not None:
        # Under the sanitizer build the sanitizer runtime has to stay first.
        env["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(preload)]))
    return env


def start_child(tmp_path, body, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        env=child_env(tmp_path, **kwargs),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )


def finish(tmp_path, child):
    stdout, stderr = child.communicate(timeout=TIMEOUT)
    stderr = stderr.decode(errors="replace")
    assert child.returncode == 0, stderr
    return json.loads((tmp_path / "result.json").read_text()), stdout, stderr


def run_child(tmp_path, body, **kwargs):
    return finish(tmp_path, start_child(tmp_path, body, **kwargs))


def digest(data):
    return [len(data), hashlib.sha256(data).hexdigest()]


def expected(image, is_rna=True):
    ids, tokens, offsets = ref.parse_file(image, is_rna)
    return [digest(tokens), digest(np.array(offsets, np.int64).tobytes()), digest(np.array(ids, np.uint64).tobytes())]


def progress(path):
    return f"Reading file\nParsing file {path} in chunks\nMerging result\n".encode()


def os_error(code, kind):
    return f'{UNWRAP}Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


SMALL = b">1\nACGT\n>2\nGG\nA\n"


def records(count, width=60):
    """A file of `count` records of two sequence lines each (the second one
    sometimes empty)."""
    lines = []
    for i in range(count):
        lines.append(b">%d\n" % i)
        lines.append(bytes(b"ACGTUN"[(i + k) % 6] for k in range(width)) + b"\n")
        lines.append(b"GATTACA" * (i % 5) + b"\n")
    return b"".join(lines)


LARGE = records(3000)  # some 240 kB: several pipefuls, and one chunk per worker


@pytest.fixture
def small_file(tmp_path):
    path = tmp_path / "small.fa"
    path.write_bytes(SMALL)
    return path


# --- several chunks fail ----------------------------------------------------------------


def test_first_bad_header_in_the_file_decides_whatever_the_schedule(tmp_path):
    # Every chunk of three holds bad headers, each kind in its own chunk; the
    # failure raised is always the first chunk's, the one a parse of the
    # whole file as a single chunk meets first.
    third = 40_000
    image = (
        records(250)[:third].rsplit(b"\n>", 1)[0] + b"\n>\n"
        + b"A" * third + b"\n>\xff\n" + b"C" * third + b"\n>-5\n" + b"G" * 100 + b"\n"
    )
    chunk_len = -(-len(image) // 3)
    kinds = []
    for start in range(0, len(image), chunk_len):
        with pytest.raises(ref.HeaderError) as info:
            ref.parse_chunk(image, start, start + chunk_len, True)
        kinds.append(info.value.message.split(": ", 1)[1])
    assert kinds == ["ParseIntError { kind: Empty }", "Utf8Error { valid_up_to: 0, error_len: Some(1) }",
                     "ParseIntError { kind: InvalidDigit }"]
    with pytest.raises(ref.HeaderError) as info:
        ref.parse_file(image, True)
    path = tmp_path / "bad.fa"
    path.write_bytes(image)
    result, _, stderr = run_child(tmp_path, f"report([parse({str(path)!r}) for _ in range(40)])")
    assert result == [["PanicException", info.value.message]] * 40
    assert info.value.message.endswith("ParseIntError { kind: Empty }")
    # Each failing chunk reported its own failure where it happened.
    assert stderr.count("panicked at") == 3 * 40
