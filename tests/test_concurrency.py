"""Several Python threads calling the module at once, in a child interpreter
with a fixed worker count: every call returns exactly what the same call
returned before the threads started, and panics in one thread's calls leave
the other threads' results alone.

The module keeps the interpreter lock through each call, so the threads'
calls interleave rather than overlap; a tiny switch interval makes them
interleave as finely as the interpreter allows.
"""

import pytest

from conftest import run_child

CHILD = """
import threading
import numpy as np
import veltra_native as vn

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

def calls_of(t):
    path, arrays, pairs = inputs(t)
    return {{
        "parse_fasta": lambda: vn.parse_fasta(path, M, True),
        "concatenate_numpy": lambda: vn.concatenate_numpy(arrays),
        "awkward_from_list_of_numpy": lambda: vn.awkward_from_list_of_numpy(arrays),
        "concatenate_awkward": lambda: vn.concatenate_awkward(pairs),
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

work = [calls_of(t) for t in range(THREADS)]
wanted = [{{name: plain(call()) for name, call in calls.items()}} for calls in work]
barrier = threading.Barrier(THREADS)
outcomes = [None] * THREADS

def run(t):
    calls = work[t]
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
report(outcomes)
"""


@pytest.mark.parametrize("failing", [[], [0], [1, 3]], ids=["all-succeed", "one-panics", "two-panic"])
def test_threads_calling_at_once_get_their_own_results(tmp_path, failing):
    threads, rounds = 4, 25
    script = CHILD.format(threads=threads, rounds=rounds, failing=set(failing) or "set()")
    outcomes, _, stderr = run_child(script, tmp_path, workers=3)
    for t, (ok, wrong, panics) in enumerate(outcomes):
        assert wrong == [], (t, wrong)
        assert ok == 4 * rounds
        assert panics == (rounds if t in failing else 0)
    # Each panic reported once, where it happened.
    assert stderr.count("panicked at") == rounds * len(failing)
