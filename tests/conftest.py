import base64
import contextlib
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import numpy as np
import pytest

import veltra_native

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
WORKER_COUNTS = (1, 2, 3, 8)
REPLY_TIMEOUT = 120
# Generous: children run thousands of calls, slower still under a sanitizer.
TIMEOUT = 300
# Set by tools/sanitized: the resident set and the allocator are the sanitizer's.
SANITIZED = os.environ.get("VELTRA_SANITIZED") == "1"
MAPPING = np.zeros(5, np.uint8)


def parse(path, is_rna=True, mapping=MAPPING):
    """parse_fasta's result as (ids, tokens, offsets) in plain Python values."""
    tokens, offsets, ids = veltra_native.parse_fasta(str(path), mapping, is_rna)
    return ids.tolist(), tokens.tobytes(), offsets.tolist()


def failure(call, *args):
    """(exception name, message) of what `call` raised; PanicException derives from BaseException."""
    with pytest.raises(BaseException) as info:
        call(*args)
    return type(info.value).__name__, str(info.value)


# ---------------------------------------------------------------------------
# Child interpreters: the pool, descriptor 1 and the process's limits are
# their own, and a crash or a hang there fails one test.


def child_env(workers=None, env=None, preload=None):
    """This environment without the worker-count variables, with tests/ on
    the path; `workers` fixes the count, `preload` goes behind whatever is
    preloaded already (a sanitizer runtime has to stay first)."""
    environ = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), environ.get("PYTHONPATH")]))
    if workers is not None:
        environ["RAYON_NUM_THREADS"] = str(workers)
    environ.update(env or {})
    if preload is not None:
        environ["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(preload)]))
    return environ


def python_command(script, *args):
    return [sys.executable, "-c", textwrap.dedent(script), *map(str, args)]


def run_python(script, *args, workers=None, env=None, preload=None):
    """The finished process of `script` run in a fresh interpreter; it must have succeeded."""
    done = subprocess.run(
        python_command(script, *args), env=child_env(workers, env, preload), capture_output=True, timeout=TIMEOUT
    )
    assert done.returncode == 0, done.stderr[-4000:]
    return done


# A child's script starts with this; it hands its findings back through a
# file opened up front, since some children close or fill descriptor 1.
CHILD_PRELUDE = """\
import json, os, sys, time
RESULT = open(os.environ["VELTRA_TEST_RESULT"], "w")

def report(value):
    json.dump(value, RESULT)
    RESULT.flush()

def failure(call, *args):
    try:
        call(*args)
    except BaseException as e:
        return [type(e).__name__, str(e)]
    return None

def threads():
    return len(os.listdir("/proc/self/task"))

def wait_for_threads(predicate):
    # Workers start without being waited for; give them time to appear.
    deadline = time.monotonic() + 60
    while not predicate(threads()) and time.monotonic() < deadline:
        time.sleep(0.01)
    return threads()
"""


class Child:
    """A child interpreter running CHILD_PRELUDE and `body`."""

    def __init__(self, body, *args, workers=None, env=None, preload=None):
        handle, self.result = tempfile.mkstemp(suffix=".json")
        os.close(handle)
        environ = child_env(workers, {**(env or {}), "VELTRA_TEST_RESULT": self.result}, preload)
        self.process = subprocess.Popen(
            python_command(CHILD_PRELUDE + textwrap.dedent(body), *args),
            env=environ, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )

    def finish(self):
        """(what the child reported, its standard output, its standard error as text)."""
        try:
            stdout, stderr = self.process.communicate(timeout=TIMEOUT)
            with open(self.result) as file:
                text = file.read()
        finally:
            os.unlink(self.result)
            if self.process.poll() is None:
                self.process.kill()
                self.process.communicate()
        stderr = stderr.decode(errors="replace")
        assert self.process.returncode == 0, stderr[-4000:]
        return json.loads(text), stdout, stderr


def run_child(body, *args, **kwargs):
    return Child(body, *args, **kwargs).finish()


def build_shim(tmp_path_factory, name):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    out = tmp_path_factory.mktemp("shim") / f"{name}.so"
    # The compiler must not run with a sanitizer runtime preloaded.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    source = HERE / "native" / f"{name}.c"
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(source), "-ldl"],
        check=True,
        timeout=120,
        env=env,
    )
    return out


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """A preload library whose pthread_create can be told to fail (tests/native/pthread_create_shim.c)."""
    return build_shim(tmp_path_factory, "pthread_create_shim")


@pytest.fixture(scope="session")
def alloc_shim(tmp_path_factory):
    """A preload library that can make the heap run out (tests/native/alloc_shim.c)."""
    return build_shim(tmp_path_factory, "alloc_shim")


REPORT = re.compile(r"^thread '<unnamed>' panicked at [^\n]*:\d+:\d+:\n", re.M)


def report_messages(err, before=""):
    """The messages of the panic reports that make up `err`, after the text `before`."""
    parts = REPORT.split(err)
    assert parts[0] == before, f"standard error is not only panic reports: {err!r}"
    return [part.removesuffix("\n") for part in parts[1:]]


class PanicReports:
    """The panic reports written to standard error (descriptor 2) while a test runs."""

    def __init__(self, capfd):
        self._capfd = capfd

    def take(self, before=""):
        """The messages of the reports written since the last take, in order. Standard error
        must hold nothing else, but for the text `before` ahead of the first report."""
        return report_messages(self._capfd.readouterr().err, before)


@pytest.fixture
def panics(capfd):
    """For tests that make the module panic on purpose: keeps the reports off the terminal and
    fails the test if it did not take every one of them."""
    reports = PanicReports(capfd)
    yield reports
    left = reports.take()
    assert not left, f"panic reports that the test did not check: {left}"


@contextlib.contextmanager
def _panics_in_block():
    taken = []
    with tempfile.TemporaryFile() as file:
        saved = os.dup(2)
        os.dup2(file.fileno(), 2)
        try:
            yield taken
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        file.seek(0)
        taken.extend(report_messages(file.read().decode("utf-8", "replace")))


@pytest.fixture(scope="session")
def panic_block():
    """`panics` for fixtures wider than a test: a context manager whose list receives, when the
    block ends, the messages of the panic reports written to descriptor 2 inside it."""
    return _panics_in_block


# ---------------------------------------------------------------------------
# One helper process per worker count (parse_worker.py): the worker count is
# fixed per process when the pool starts, so every test module that needs
# several gets long-lived helpers, started once for the module.


class ParseWorker:
    """One helper process with a fixed worker count. A helper that dies,
    hangs or whose pool could not start fails the test that meets it; the
    next test gets a fresh one, so the failure does not spread."""

    def __init__(self, workers, directory):
        self.workers = workers
        self.directory = directory
        self.starts = 0
        self.start()

    def start(self):
        self.starts += 1
        self.capture = self.directory / f"capture-{self.workers}-{self.starts}"
        self.capture.mkdir()
        self.sent = 0
        self.pending = b""
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env["RAYON_NUM_THREADS"] = str(self.workers)
        self.process = subprocess.Popen(
            [sys.executable, str(HERE / "parse_worker.py"), str(self.capture)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            bufsize=0,
            env=env,
        )

    def stop(self):
        self.process.kill()
        self.process.wait()

    def send(self, request):
        if self.process.poll() is not None:
            self.start()
        self.sent += 1
        self.process.stdin.write(json.dumps({**request, "id": self.sent}).encode() + b"\n")
        self.process.stdin.flush()

    def receive(self):
        """The reply to the last request; replies left unread by a test that
        failed half-way are skipped."""
        while True:
            while b"\n" not in self.pending:
                ready, _, _ = select.select([self.process.stdout], [], [], REPLY_TIMEOUT)
                data = os.read(self.process.stdout.fileno(), 1 << 20) if ready else b""
                if not data:
                    self.stop()
                    err = (self.capture / "err").read_bytes().decode(errors="replace")
                    pytest.fail(f"worker with {self.workers} threads gave no reply; its stderr:\n{err}")
                self.pending += data
            line, _, self.pending = self.pending.partition(b"\n")
            reply = json.loads(line)
            if reply.pop("id") == self.sent:
                break
        if reply.get("error", ["", ""])[1].startswith("The global thread pool has not been initialized."):
            self.stop()  # for good in this process
        return reply

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=REPLY_TIMEOUT)


@pytest.fixture(scope="module")
def pools(tmp_path_factory):
    directory = tmp_path_factory.mktemp("parse-workers")
    started = {n: ParseWorker(n, directory) for n in WORKER_COUNTS}
    yield started
    for worker in started.values():
        worker.close()


def decode(reply):
    if "error" in reply:
        return tuple(reply["error"])
    tokens, offsets, ids = (base64.b64decode(part) for part in reply["result"])
    return np.frombuffer(ids, np.uint64).tolist(), tokens, np.frombuffer(offsets, np.int64).tolist()


def parse_everywhere(pools, path, is_rna, **request):
    """{worker count: (result or failure, stdout, stderr)}; the processes
    parse at the same time. `path` is one path for all of them or a
    {worker count: path} dict; `request` adds to the requests."""
    paths = path if isinstance(path, dict) else dict.fromkeys(pools, path)
    for n, worker in pools.items():
        worker.send({"path": str(paths[n]), "is_rna": is_rna, **request})
    replies = {n: worker.receive() for n, worker in pools.items()}
    return {n: (decode(reply), reply["out"], reply["err"]) for n, reply in replies.items()}
