"""Callers that fight back: Python code that runs in the middle of a call and
changes its list, a result's base object built from Python, the interpreter
ending a daemon thread inside a call, the heap running out, and Ctrl-C while
a call is blocked on a pipe.

Every case runs in a child interpreter: a failure here is a crash or a hang,
and the child's first call has to be the one under test.
"""

import contextlib
import gzip
import json
import os
import re
import select
import signal
import subprocess
import textwrap
import time

import pytest

from conftest import SANITIZED, TIMEOUT, child_env, python_command, run_python


def run_ok(script, **kwargs):
    return run_python(script, **kwargs).stdout.decode().splitlines()


# --- Python code that empties the list mid-call -------------------------------------------

# The first call of a process imports NumPy's C API, which runs the import
# machinery and with it this hook; it drops the list's items while the call
# is looking at them.
EMPTIER = """
import sys
import veltra_native as vn

class Emptier:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "numpy":
            sys.meta_path.remove(self)
            arrays.clear()
        return None

arrays = [ITEM for _ in range(64)]
sys.meta_path.insert(0, Emptier())
try:
    result = vn.FUNCTION(arrays)
except BaseException as e:
    print(type(e).__name__, e)
else:
    print(*[f"{a.dtype}:{a.size}" for a in result])
"""


@pytest.mark.parametrize(
    "function, item, expected",
    [
        ("concatenate_numpy", "bytearray(100)", "ValueError Must provide at least one array"),
        ("awkward_from_list_of_numpy", "bytearray(100)", "ValueError Must provide at least one array"),
        ("concatenate_awkward", "(bytearray(100), bytearray(8))", "uint8:0 int64:0"),
    ],
)
def test_list_emptied_while_numpy_loads(function, item, expected):
    assert run_ok(EMPTIER.replace("FUNCTION", function).replace("ITEM", item)) == [expected]


# --- the result's base type -------------------------------------------------------------------


def test_container_type_cannot_be_changed_from_python():
    lines = run_ok(
        """
        import numpy as np, veltra_native as vn
        T = type(vn.concatenate_numpy([np.arange(3)])[0].base)
        for name, value in [("__new__", staticmethod(lambda c, *a: object.__new__(c))), ("extra", 1)]:
            try:
                setattr(T, name, value)
            except TypeError:
                print("refused", name)
        for make in [T, lambda: object.__new__(T)]:
            try:
                make()
            except TypeError as e:
                print(e)
        """
    )
    assert lines == [
        "refused __new__",
        "refused extra",
        "No constructor defined",
        "object.__new__(builtins.PySliceContainer) is not safe, use builtins.PySliceContainer.__new__()",
    ]


# --- a daemon thread inside a call when the interpreter exits ------------------------------

# The daemon thread's first call imports NumPy's C API; the hook holds it
# inside that import until the main thread is finalising, and then lets it
# go: taking the interpreter lock back, it is ended with a forced unwind that
# passes through the module's frames. The other functions follow in a loop.
DAEMON = """
import sys, threading, time
import veltra_native as vn

entered, leave = threading.Event(), threading.Event()

class Holder:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "numpy" and threading.current_thread() is worker:
            sys.meta_path.remove(self)
            entered.set()
            leave.wait(60)
        return None

CALLS = {
    "parse_fasta": lambda: vn.parse_fasta(PATH, b"12345", True),
    "concatenate_numpy": lambda: vn.concatenate_numpy([b"x"]),
    "awkward_from_list_of_numpy": lambda: vn.awkward_from_list_of_numpy([b"x"]),
    "concatenate_awkward": lambda: vn.concatenate_awkward([]),
}

def loop():
    order = [CALLS[FIRST]] + [c for name, c in CALLS.items() if name != FIRST]
    while True:
        for call in order:
            try:
                call()
            except Exception:
                pass

class Releaser:
    # Kept where the finalising interpreter drops it, after daemon threads
    # have been told to end.
    def __init__(self):
        self.leave, self.sleep = leave, time.sleep
    def __del__(self):
        self.leave.set()
        self.sleep(2)

sys.meta_path.insert(0, Holder())
worker = threading.Thread(target=loop, daemon=True)
worker.start()
entered.wait(60)
sys.last_value = Releaser()
"""


# GCC 12's AddressSanitizer checks its own unpoisoning of the stack while a
# forced unwind passes instrumented frames, and reports that as an overflow.
@pytest.mark.skipif(SANITIZED, reason="the address sanitizer misreads a forced unwind")
@pytest.mark.parametrize("first", ["parse_fasta", "concatenate_numpy", "awkward_from_list_of_numpy",
                                   "concatenate_awkward"])
def test_daemon_thread_ended_inside_a_call_at_exit(tmp_path, first):
    path = tmp_path / "small.fa"
    path.write_bytes(b">1\nACGT\n")
    script = DAEMON.replace("PATH", repr(str(path))).replace("FIRST", repr(first))
    children = [
        subprocess.Popen(python_command(script), env=child_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(5)
    ]
    for child in children:
        _, stderr = child.communicate(timeout=TIMEOUT)
        assert child.returncode == 0, stderr.decode(errors="replace")


# --- the heap runs out -------------------------------------------------------------------------

HEAP_CHILD = """
import json, re
import numpy as np
import _veltra_testing as t
import veltra_native as vn

u8 = np.arange(100, dtype=np.uint8)
CALLS = {
    "parse_fasta": (vn.parse_fasta, (PATH, np.zeros(5, np.uint8), True)),
    "parse_fasta of gzip": (vn.parse_fasta, (PATH + ".gz", np.zeros(5, np.uint8), True)),
    "concatenate_numpy": (vn.concatenate_numpy, ([u8] * COUNT,)),
    "awkward_from_list_of_numpy": (vn.awkward_from_list_of_numpy, ([u8] * COUNT,)),
    "concatenate_awkward": (vn.concatenate_awkward, ([(u8, np.array([0, 60, 100]))] * COUNT,)),
}
function, args = CALLS[NAME]

def same(got, want):
    return all(np.array_equal(a, b) for a, b in zip(got, want))

# NumPy's API, the pool and the output writer are in place, this thread has
# raised from inside the module before, and every library this needs is
# loaded: the worker has seen them all (glibc sets up a thread's view of a
# library's thread-local data on its first use there and dies if that finds
# no memory).
want = function(*args)
assert same(function(*args), want)
try:
    vn.concatenate_awkward([(u8, u8), (u8, np.zeros(0, np.int64))])
except BaseException:
    pass

def outcome(successes):
    got = t.call_with_heap_exhausted(successes, MIN_SIZE, function, args)
    if got[0] is True:
        return same(got[1], want)
    return got

print(json.dumps([outcome(k) for k in SUCCESSES]))
"""


def heap_child(alloc_shim, tmp_path, name, count, min_size, successes):
    path = tmp_path / "small.fa"
    path.write_bytes(b">1\nACGT\n>2\nGG\n" * 100)
    (tmp_path / "small.fa.gz").write_bytes(gzip.compress(path.read_bytes()) * 2)
    script = (
        HEAP_CHILD.replace("PATH", repr(str(path))).replace("NAME", repr(name)).replace("COUNT", str(count))
        .replace("MIN_SIZE", str(min_size)).replace("SUCCESSES", repr(successes))
    )
    return json.loads(run_ok(script, workers=1, preload=alloc_shim)[-1])


FUNCTIONS = ["parse_fasta", "parse_fasta of gzip", "concatenate_numpy", "awkward_from_list_of_numpy", "concatenate_awkward"]
needs_plain_malloc = pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator cannot be interposed")


@needs_plain_malloc
@pytest.mark.parametrize("name", FUNCTIONS)
def test_memory_error_when_every_allocation_fails(alloc_shim, tmp_path, name):
    successes = [0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144]
    for got in heap_child(alloc_shim, tmp_path, name, 10, 0, successes):
        # Either there was enough, or MemoryError: with or without its text,
        # depending on whether even that found no room.
        assert got is True or (got[0] == "MemoryError" and got[1] in ("", "memory allocation failed")
                               or re.fullmatch(r"memory allocation of \d+ bytes failed", got[1])), got


@pytest.mark.parametrize("name", FUNCTIONS[2:])
def test_large_allocation_failure_names_its_size(alloc_shim, tmp_path, name):
    if SANITIZED:
        # The sanitizer's own allocator refuses what is larger than a limit.
        script = HEAP_CHILD.split("function, args = CALLS[NAME]")[0] + textwrap.dedent(
            """
            try:
                CALLS[NAME][0](*CALLS[NAME][1])
            except MemoryError as e:
                print(json.dumps([["MemoryError", str(e)]]))
            """
        )
        script = script.replace("PATH", repr("")).replace("NAME", repr(name)).replace("COUNT", "100_000")
        options = os.environ.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=1"
        [got] = json.loads(run_ok(script, env={"ASAN_OPTIONS": options})[-1])
    else:
        [got] = heap_child(alloc_shim, tmp_path, name, 100_000, 1 << 20, [0])
    assert got[0] == "MemoryError" and re.fullmatch(r"memory allocation of \d+ bytes failed", got[1]), got


# --- Ctrl-C while a call waits on a pipe -------------------------------------------------

# The start of the children below: the pool's workers are up and, if asked,
# stdout is a full pipe.
BLOCKING_PRELUDE = """
import json, os, signal, threading
import numpy as np
import veltra_native as vn

MAPPING = np.zeros(5, np.uint8)
vn.concatenate_numpy([np.arange(3)])
if FILL_STDOUT:
    os.set_blocking(1, False)
    try:
        while True:
            os.write(1, b"." * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(1, True)
"""

SIGINT_CHILD = BLOCKING_PRELUDE + """
calls = []

def handler(*_):
    calls.append(1)
    if RAISING and len(calls) == 1:
        raise KeyboardInterrupt  # once: the test signals on until it sees the outcome
    os.write(2, b"handled\\n")

signal.signal(signal.SIGINT, handler)
os.write(2, b"ready\\n")
try:
    got = vn.parse_fasta(PATH, MAPPING, True)
except BaseException as e:
    outcome = [type(e).__name__, str(e)]
else:
    want = vn.parse_fasta(COPY, MAPPING, True)
    outcome = all(np.array_equal(a, b) for a, b in zip(got, want))
# Ignored from here on: the test may still be signalling, and at exit the
# interpreter puts back the default action for signals it handled.
signal.signal(signal.SIGINT, signal.SIG_IGN)
with open(RESULT, "w") as f:
    json.dump(outcome, f)
"""

OPENAT, WRITE = 257, 1


def syscall_of(task):
    """The number of the system call that a process or "pid/task/tid" is in, if any."""
    try:
        with open(f"/proc/{task}/syscall") as f:
            return int(f.read().split()[0])
    except (OSError, IndexError, ValueError):
        return None


def blocked_in(pid, syscall):
    return syscall_of(pid) == syscall


def wait_for(condition, bound=30):
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class StderrLines:
    def __init__(self, stream):
        self.stream, self.text = stream, b""

    def lines(self):
        while select.select([self.stream], [], [], 0)[0]:
            chunk = os.read(self.stream.fileno(), 4096)
            if not chunk:
                break
            self.text += chunk
        return self.text.splitlines()

    def seen(self, line):
        return line in self.lines()

    def starting(self, prefix):
        return next((line for line in self.lines() if line.startswith(prefix)), None)


def interrupt_until(child, done):
    """SIGINT for `child` every 50 ms until `done()` or its end; False if neither came."""
    def check():
        if done() or child.poll() is not None:
            return True
        child.send_signal(signal.SIGINT)
        time.sleep(0.05)
        return False

    return wait_for(check)


@contextlib.contextmanager
def reaped(child):
    """Kills `child` on the way out if it is still running."""
    try:
        yield
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()


def start_blocking_child(tmp_path, where, script):
    """`script` started on records read from a FIFO or, with stdout a full
    pipe, from a file: (the path it reads, a plain copy, its result file,
    the child, its stderr)."""
    copy = tmp_path / "copy.fa"
    copy.write_bytes(b">7\nACGU\n>8\nGG\n")
    path = copy
    if where == "fifo":
        path = tmp_path / "fifo"
        os.mkfifo(path)
    result = tmp_path / "result.json"
    script = (
        script.replace("FILL_STDOUT", str(where == "full stdout")).replace("COPY", repr(str(copy)))
        .replace("PATH", repr(str(path))).replace("RESULT", repr(str(result)))
    )
    child = subprocess.Popen(python_command(script), env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return path, copy, result, child, StderrLines(child.stderr)


@pytest.mark.parametrize("handler", [False, True], ids=["raising", "returning"])
@pytest.mark.parametrize("where", ["fifo", "full stdout"])
def test_sigint_reaches_a_blocked_call(tmp_path, where, handler):
    path, copy, result, child, stderr = start_blocking_child(
        tmp_path, where, SIGINT_CHILD.replace("RAISING", str(not handler)))
    data = copy.read_bytes()
    with reaped(child):
        assert wait_for(lambda: stderr.seen(b"ready") or child.poll() is not None)
        assert wait_for(lambda: blocked_in(child.pid, OPENAT if where == "fifo" else WRITE))
        assert interrupt_until(child, lambda: result.exists() or (handler and stderr.seen(b"handled"))), \
            "the blocked call did not respond to SIGINT"
        if handler:
            if where == "fifo":
                with open(path, "wb") as f:
                    f.write(data)
            stdout, rest = child.communicate(timeout=TIMEOUT)
        else:
            child.wait(timeout=TIMEOUT)
            stdout, rest = child.communicate(timeout=TIMEOUT)
    assert child.returncode == 0, (stderr.text + rest).decode(errors="replace")
    outcome = json.loads(result.read_text())
    lines = stdout.lstrip(b".")
    if handler:
        assert outcome is True
        progress = f"Reading file\nParsing file {path} in chunks\nMerging result\n".encode()
        assert lines == progress + progress.replace(str(path).encode(), str(copy).encode())
    else:
        assert outcome == ["KeyboardInterrupt", ""]
        assert lines == (b"Reading file\n" if where == "fifo" else b"")


# A call on a thread other than the main one, blocked: the main thread, in
# join(), must still get to its handler. With a full stdout, two threads
# print: the one that waits for the other's line must not keep the
# interpreter lock that the other needs to finish it.
THREAD_SIGINT_CHILD = BLOCKING_PRELUDE + """
def handler(*_):
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # once: the test signals on until it sees the outcome
    raise KeyboardInterrupt

signal.signal(signal.SIGINT, handler)
outcomes = []
done = [threading.Event() for _ in range(THREADS)]

def call(i):
    try:
        outcomes.append(vn.parse_fasta(PATH, MAPPING, True))
    except BaseException as e:
        outcomes.append([type(e).__name__, str(e)])
    done[i].set()

threads = [threading.Thread(target=call, args=(i,)) for i in range(THREADS)]
for thread in threads:
    thread.start()
try:
    os.write(2, ("ready " + " ".join(str(t.native_id) for t in threads) + "\\n").encode())
    for thread in threads:
        thread.join()
except KeyboardInterrupt:
    os.write(2, b"interrupted\\n")
# Not join() again: an interrupted join() has marked its thread as ended.
for event in done:
    event.wait()
want = vn.parse_fasta(COPY, MAPPING, True)
with open(RESULT, "w") as f:
    json.dump([o if isinstance(o, list) else all(np.array_equal(a, b) for a, b in zip(o, want)) for o in outcomes], f)
"""

FUTEX = 202


def open_writer(fifo):
    """A descriptor that writes into `fifo`, or None while nobody reads it."""
    try:
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    except OSError:
        return None
    os.set_blocking(fd, True)
    return fd


@pytest.mark.parametrize("where, threads", [("fifo", 1), ("full stdout", 2)])
def test_sigint_reaches_the_main_thread_while_another_is_blocked(tmp_path, where, threads):
    path, copy, result, child, stderr = start_blocking_child(
        tmp_path, where, THREAD_SIGINT_CHILD.replace("THREADS", str(threads)))
    with reaped(child):
        assert wait_for(lambda: stderr.starting(b"ready ") or child.poll() is not None)
        tasks = [f"{child.pid}/task/{int(tid)}" for tid in stderr.starting(b"ready ").split()[1:]]
        # One thread waits in the system call, the other (if any) for its line.
        waits = [OPENAT] if where == "fifo" else [WRITE, FUTEX]
        assert wait_for(lambda: sorted(syscall_of(task) for task in tasks) == sorted(waits)
                        and syscall_of(child.pid) == FUTEX)
        assert interrupt_until(child, lambda: stderr.seen(b"interrupted")), \
            "the main thread did not get to its SIGINT handler"
        if where == "fifo":
            writer = []
            assert wait_for(lambda: writer.append(open_writer(path)) or writer[-1] is not None)
            with open(writer[-1], "wb") as f:
                f.write(copy.read_bytes())
        stdout, rest = child.communicate(timeout=TIMEOUT)
    assert child.returncode == 0, (stderr.text + rest).decode(errors="replace")
    assert json.loads(result.read_text()) == [True] * threads

    def progress(name):
        return [b"Reading file", f"Parsing file {name} in chunks".encode(), b"Merging result"]

    assert sorted(stdout.lstrip(b".").splitlines()) == sorted(progress(path) * threads + progress(copy))


# --- the address space ends where the pool's first stacks go -----------------------------

# Each forked child makes its process's first call under a limit on the
# address space some pages above what it uses: in steps up to the first limit
# at which the call succeeds, then page by page across the last steps, where
# the workers' stacks only just fit. A worker that started there once found no
# memory for its thread-local data, and glibc ended the process.
RLIMIT_CHILD = """
import json, os, resource
import numpy as np
import veltra_native as vn

MAPPING = np.zeros(5, np.uint8)

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

def first_call(pages):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + pages * 4096, resource.RLIM_INFINITY))
        try:
            outcome = "ok" if vn.parse_fasta(PATH, MAPPING, True)[0].tolist() == [4, 6, 5, 7] else "wrong"
        except BaseException as e:
            outcome = f"{type(e).__name__}: {e}"
        os.write(write, outcome.encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        outcome = f.read().decode()
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    return outcome if code == 0 else f"died with {code}"

STEP = 16
outcomes = {}
pages = 0
while outcomes.setdefault(pages, first_call(pages)) != "ok" and pages < 100_000:
    pages += STEP
for k in range(max(pages - 2 * STEP, 0), pages + STEP):
    outcomes.setdefault(k, first_call(k))
print(json.dumps(sorted(set(outcomes.values()))))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than any limit here")
@pytest.mark.parametrize("workers", ["1", "2"])
def test_first_call_under_a_tight_address_space_limit(tmp_path, workers):
    path = tmp_path / "small.fa"
    path.write_bytes(b">1\nACGU\n")
    # No other threads: the stacks of threads gone before a fork would be
    # handed to the pool's workers, and the limit would not bite on them.
    done = run_python(RLIMIT_CHILD.replace("PATH", repr(str(path))), workers=workers,
                      env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"})
    outcomes = json.loads(done.stdout)
    pool_failed = ('MemoryError: The global thread pool has not been initialized.: ThreadPoolBuildError { kind: '
                   'IOError(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }) }')
    assert "ok" in outcomes and pool_failed in outcomes, outcomes
    assert all(o == "ok" or o.startswith("MemoryError: ") for o in outcomes), outcomes
