"""parse_fasta under faults of its surroundings: standard output closed or
gone, files that are not plain files or cannot be read, files that grow while
they are read, thread creation failing when the pool starts, and several
chunks failing at once.

Each case runs in a child interpreter, so that descriptor 1, the pool and
the process's privileges are its own. A child reports through a JSON file, and
its standard output holds nothing but the module's progress lines.
"""

import errno
import gzip
import hashlib
import os
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import fasta_reference as ref
from conftest import SANITIZED, TIMEOUT, Child

NOT_INITIALIZED = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "

PRELUDE = """
import signal
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
"""


def start_child(body, workers=3, preload=None):
    return Child(PRELUDE + textwrap.dedent(body), workers=workers, preload=preload)


def run_child(body, **kwargs):
    return start_child(body, **kwargs).finish()


def digest(data):
    return [len(data), hashlib.sha256(data).hexdigest()]


def expected(image, is_rna=True):
    ids, tokens, offsets = ref.parse_file(image, is_rna)
    return [digest(tokens), digest(np.array(offsets, np.int64).tobytes()), digest(np.array(ids, np.uint64).tobytes())]


def progress(path):
    return ref.progress(path).encode()


def os_error(code, kind):
    return f'{ref.UNWRAP_ERR}Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


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


# --- standard output --------------------------------------------------------------


def test_closed_stdout_is_no_failure(small_file):
    result, stdout, stderr = run_child(
        f"""
        os.close(1)
        report([parse({str(small_file)!r}), parse({str(small_file)!r}, False)])
        """,
    )
    assert result == [expected(SMALL), expected(SMALL, False)]
    assert stdout == b""
    assert "panicked" not in stderr


BREAK_PIPE = "r, w = os.pipe()\nos.dup2(w, 1)\nos.close(w)\nos.close(r)\n"
FILL_DISK = 'os.dup2(os.open("/dev/full", os.O_WRONLY), 1)\n'


@pytest.mark.parametrize(
    "breakage, error",
    [(BREAK_PIPE, "Broken pipe (os error 32)"), (FILL_DISK, "No space left on device (os error 28)")],
    ids=["reader-gone", "disk-full"],
)
def test_failed_progress_line_panics_and_the_next_call_works(small_file, breakage, error):
    body = (
        "signal.signal(signal.SIGPIPE, signal.SIG_IGN)\n"
        "saved = os.dup(1)\n"
        + breakage
        + f"first = parse({str(small_file)!r})\n"
        "os.dup2(saved, 1)\n"
        f"report([first, parse({str(small_file)!r})])\n"
    )
    (first, second), stdout, stderr = run_child(body)
    message = f"failed printing to stdout: {error}"
    assert first == ["PanicException", message]
    assert second == expected(SMALL)
    # The failed call's line went nowhere; the next call's lines are whole.
    assert stdout == progress(small_file)
    assert stderr.count("panicked at") == 1 and f"\n{message}\n" in stderr


# --- what the path names --------------------------------------------------------------


def test_unreadable_file():
    # A directory of its own that anyone may enter, so that only the file's
    # own permission bits refuse the read.
    with tempfile.TemporaryDirectory() as where:
        os.chmod(where, 0o755)
        path = Path(where) / "locked.fa"
        path.write_bytes(SMALL)
        os.chmod(path, 0o000)
        # Root reads whatever the bits say; the child gives up root for the call.
        drop = "os.setgid(65534)\nos.setuid(65534)\n" if os.geteuid() == 0 else ""
        body = (
            f"warm = parse({str(path.with_name('absent'))!r})\n"
            "try:\n" + textwrap.indent(drop or "pass\n", "    ") +
            "except PermissionError as e:\n"
            "    report(['cannot drop privileges', str(e)])\n"
            "    sys.exit(0)\n"
            f"report(parse({str(path)!r}))\n"
        )
        result, stdout, _ = run_child(body)
    if result[0] == "cannot drop privileges":
        pytest.skip(f"running as root and unable to become an unprivileged user: {result[1]}")
    assert result == ["PanicException", os_error(errno.EACCES, "PermissionDenied")]
    assert stdout == b"Reading file\n" * 2


def feed_fifo(child, fifo, data, piece=4099):
    """Writes `data` into `fifo` once the child has opened it for reading."""
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError as e:
            # ENXIO: nobody has opened the FIFO for reading yet.
            if e.errno != errno.ENXIO or child.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.01)
    os.set_blocking(fd, True)
    try:
        for at in range(0, len(data), piece):
            os.write(fd, data[at : at + piece])
    finally:
        os.close(fd)
    return True


@pytest.mark.parametrize("data", [SMALL, LARGE], ids=["small", "larger-than-a-pipe-and-a-chunk"])
def test_fifo_is_read_to_its_end(tmp_path, data):
    # A FIFO has no size: the whole content arrives while it is being read,
    # in pieces, far past any size hint.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    child = start_child(f"report(parse({str(fifo)!r}))")
    fed = feed_fifo(child.process, fifo, data)
    result, stdout, _ = child.finish()
    assert fed
    assert result == expected(data)
    assert stdout == progress(fifo)


# --- memory ---------------------------------------------------------------------------


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve address space")
def test_memory_does_not_follow_the_length_of_a_header(tmp_path, small_file):
    # Headers of 48 MiB, the gzip one some 50 kB on disk, under an address
    # space limit far below that: a header is checked as it streams past.
    zeros = b"0" * (48 << 20)
    paths = [tmp_path / "long.fa", tmp_path / "long.fa.gz", tmp_path / "bad.fa"]
    paths[0].write_bytes(b">" + zeros + b"1\nACGT\n")
    paths[1].write_bytes(gzip.compress(b">" + zeros + b"1\nACGT\n", 9))
    paths[2].write_bytes(b">" + zeros + b"x\nAC\n")
    small_gzip = tmp_path / "small.fa.gz"
    small_gzip.write_bytes(gzip.compress(SMALL))
    body = f"""
        import resource
        # What a parse sets up once (the pool, the inflaters) is in place first.
        warm = [parse({str(small_file)!r}), parse({str(small_gzip)!r})]
        size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((size << 10) + (32 << 20), resource.RLIM_INFINITY))
        report([parse(path) for path in {[str(path) for path in paths]!r}])
        """
    result, _, _ = run_child(body)
    one_record = expected(b">1\nACGT\n")
    assert result == [one_record, one_record, ["PanicException", ref.PARSE_INT % "InvalidDigit"]]


# --- the pool cannot start ------------------------------------------------------------


CALLS = {
    "parse_fasta": "parse(PATH)",
    "concatenate_numpy": "outcome(vn.concatenate_numpy, [np.arange(3)])",
    "awkward_from_list_of_numpy": "outcome(vn.awkward_from_list_of_numpy, [np.arange(3)])",
    "concatenate_awkward": "outcome(vn.concatenate_awkward, [])",
}


@pytest.mark.parametrize("first", list(CALLS))
def test_thread_creation_failure_at_pool_start(small_file, shim, first):
    order = [first] + [name for name in CALLS if name != first]
    calls = ", ".join(CALLS[name] for name in order)
    (outcomes, alive), stdout, _ = run_child(
        f"""
        import ctypes
        PATH = {str(small_file)!r}
        # One worker starts, the second cannot.
        ctypes.CDLL({str(shim)!r}).shim_fail_after(1, 11)
        report([[{calls}, parse(PATH)], "alive"])
        """,
        preload=shim,
    )
    os_error_text = 'Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }'
    assert outcomes[0] == ["PanicException", NOT_INITIALIZED + f"IOError({os_error_text}) }}"]
    for later in outcomes[1:]:
        assert later == ["PanicException", NOT_INITIALIZED + "GlobalPoolAlreadyInitialized }"]
    assert alive == "alive"
    # parse_fasta gets as far as the worker count, after its first line.
    assert stdout == b"Reading file\n" * 2


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
    result, _, stderr = run_child(f"report([parse({str(path)!r}) for _ in range(40)])")
    assert result == [["PanicException", info.value.message]] * 40
    assert info.value.message.endswith("ParseIntError { kind: Empty }")
    # Each failing chunk reported its own failure where it happened.
    assert stderr.count("panicked at") == 3 * 40
