import contextlib
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest


def build_shim(tmp_path_factory, name):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    out = tmp_path_factory.mktemp("shim") / f"{name}.so"
    # The compiler must not run with a sanitizer runtime preloaded.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    source = Path(__file__).parent / "native" / f"{name}.c"
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
