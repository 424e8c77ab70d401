"""Several Python threads calling the module at once, in a child interpreter
with a fixed worker count: every call returns exactly the precomputed
result, and panics in one thread's calls leave the other threads' results
alone.

The module keeps the interpreter lock through each call, so the threads'
calls interleave rather than overlap; a tiny switch interval makes them
interleave as finely as the interpreter allows.
"""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = Path(__file__).parent
TIMEOUT = 300

CHILD = """
import hashlib, json, os, sys, threading
import numpy as np
import veltra_native as vn
import fasta_reference as ref

THREADS, ROUNDS, FAILING = {threads}, {rounds}, {failing}
WHERE = sys.argv[1]
M = np.zeros(5, np.uint8)
EMPTY_OFFSETS = "range start index 1 out of range for slice of length 0"

def fasta(t):
    # Some 130 kB, so that every parse runs in one chunk per worker.
    lines = []
    for r in range(1200):
        lines.append(b">%d" % (t * 100000 + r))
        lines.append(bytes(b"ACGTU"[(t + r + k) % 5] for k in range(50 + (r + t) % 40)))
        if r % 3 == 0:
            lines.append(b"")
    path = os.path.join(WHERE, f"thread{{t}}.fa")
    with open(path, "wb") as f:
        f.write(b"\\n".join(lines) + b"\\n")
    return path

def inputs(t):
    rng = np.random.default_rng(t)
    arrays = [rng.integers(-1000, 1000, size=rng.integers(0, 50)).astype(np.int64) for _ in range(20 + t)]
    pairs = []
    for k in range(15 + t):
        content = rng.integers(0, 255, size=rng.integers(0, 40), dtype=np.uint8)
        cuts = np.sort(rng.integers(0, len(content) + 1, size=rng.integers(0, 4)))
        pairs.append((content, np.concatenate([[0], cuts, [len(content)]]).astype(np.int64)))
    return fasta(t), arrays, pairs

def joined_offsets(pairs):
    out, shift = [], 0
    for k, (content, offsets) in enumerate(pairs):
        out += [int(v) + shift for v in (offsets if k == 0 else offsets[1:])]
        shift += int(offsets[-1])
    return out

def expected(path, arrays, pairs):
    with open(path, "rb") as f:
        ids, tokens, offsets = ref.parse_file(f.read(), True)
    content = b"".join(a.tobytes() for a in arrays)
    starts = np.cumsum([0] + [a.nbytes for a in arrays]).tolist()
    return {{
        "parse_fasta": [tokens, offsets, ids],
        "concatenate_numpy": [content, starts[:-1]],
        "awkward_from_list_of_numpy": [content, starts],
        "concatenate_awkward": [b"".join(c.tobytes() for c, _ in pairs), joined_offsets(pairs)],
    }}

def plain(result):
    return [a.tobytes() if a.dtype == np.uint8 else a.tolist() for a in result]

def failing_call(i):
    # In turn, a panic in the list-array join and one in a FASTA chunk.
    if i % 2 == 0:
        return lambda: vn.concatenate_awkward([(np.zeros(3, np.uint8), np.array([0, 3])), (np.zeros(1, np.uint8),
                                               np.array([], np.int64))]), EMPTY_OFFSETS
    return lambda: vn.parse_fasta(BAD, M, True), "called `Result::unwrap()` on an `Err` value: ParseIntError {{ kind: InvalidDigit }}"

BAD = os.path.join(WHERE, "bad.fa")
with open(BAD, "wb") as f:
    f.write(b">1\\nACGT\\n" * 30000 + b">oops\\nA\\n")

work = [inputs(t) for t in range(THREADS)]
wanted = [expected(*w) for w in work]
barrier = threading.Barrier(THREADS)
outcomes = [None] * THREADS

def run(t):
    path, arrays, pairs = work[t]
    calls = {{
        "parse_fasta": lambda: vn.parse_fasta(path, M, True),
        "concatenate_numpy": lambda: vn.concatenate_numpy(arrays),
        "awkward_from_list_of_numpy": lambda: vn.awkward_from_list_of_numpy(arrays),
        "concatenate_awkward": lambda: vn.concatenate_awkward(pairs),
    }}
    ok, wrong, panics = 0, [], 0
    barrier.wait()
    for i in range(ROUNDS):
        for name, call in calls.items():
            try:
                got = plain(call())
            except BaseException as e:
                wrong.append([name, i, repr(e)])
                continue
            if got == wanted[t][name]:
                ok += 1
            else:
                wrong.append([name, i, "wrong result"])
        if t in FAILING:
            call, message = failing_call(i)
            try:
                call()
                wrong.append(["failing call", i, "returned"])
            except BaseException as e:
                if type(e).__name__ == "PanicException" and str(e) == message:
                    panics += 1
                else:
                    wrong.append(["failing call", i, repr(e)])
    outcomes[t] = [ok, wrong, panics]

sys.setswitchinterval(1e-6)
threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
with open(os.path.join(WHERE, "outcomes.json"), "w") as f:
    json.dump(outcomes, f)
"""


def run_child(tmp_path, threads, rounds, failing):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = "3"
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), env.get("PYTHONPATH")]))
    script = CHILD.format(threads=threads, rounds=rounds, failing=set(failing) or "set()")
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), str(tmp_path)],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        timeout=TIMEOUT,
    )
    stderr = proc.stderr.decode(errors="replace")
    assert proc.returncode == 0, stderr[-4000:]
    return json.loads((tmp_path / "outcomes.json").read_text()), stderr


@pytest.mark.parametrize("failing", [[], [0], [1, 3]], ids=["all-succeed", "one-panics", "two-panic"])
def test_threads_calling_at_once_get_their_own_results(tmp_path, failing):
    threads, rounds = 4, 25
    outcomes, stderr = run_child(tmp_path, threads, rounds, failing)
    for t, (ok, wrong, panics) in enumerate(outcomes):
        assert wrong == [], (t, wrong)
        assert ok == 4 * rounds
        assert panics == (rounds if t in failing else 0)
    # Each panic reported once, where it happened.
    assert stderr.count("panicked at") == rounds * len(failing)
