"""Serves parse_fasta calls to the tests from a process of its own.

    python parse_worker.py CAPTURE_DIR

The worker count of the module's pool is read once, when the pool starts, so
the tests keep one long-lived process per count. Requests come as JSON lines
on standard input; replies go back as JSON lines on a duplicate of the
original standard output. Descriptors 1 and 2 themselves are redirected to
the files "out" and "err" in CAPTURE_DIR: the module writes its progress lines
and failure reports there, and the bytes that a call added come back with its
reply. If the process dies, "err" holds whatever it said last.

Every request carries an "id" that its reply repeats. Requests:
    {"path": str, "is_rna": bool, "hooks": bool (optional), "contents": base64 (optional)}
        -> {"result": [tokens, offsets, ids], "out": str, "err": str}, the
           arrays' raw bytes in base64, or {"error": [type name, message],
           "notes": the exception's notes, "out": str, "err": str}; with
           "hooks", parsed by the test module's own copy of the parser
           (_veltra_testing.parse_file), whose inflaters "fast_inflaters"
           sets, and which rewrites the file to "contents" between its passes
    {"threads": n}
        -> {"threads": count}: how many threads the process has gained since
           it started, once that reaches n (or after a generous bound)
    {"fast_inflaters": bool}
        -> {"fast_inflaters": whether they were on, or None when the build
           has none}: for "hooks" parses, gzip inflated by the faster
           inflaters or by zlib alone
"""

import base64
import json
import os
import sys
import time

import numpy as np

import veltra_native


def redirect(fd, path):
    file = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
    os.dup2(file, fd)
    os.close(file)


def added(fd, since):
    """The bytes written to the capture file `fd` since offset `since`."""
    size = os.fstat(fd).st_size
    return os.pread(fd, size - since, since), size


def thread_count():
    return len(os.listdir("/proc/self/task"))


def encode(array):
    return base64.b64encode(np.ascontiguousarray(array).tobytes()).decode("ascii")


def parse(request):
    mapping = np.zeros(5, dtype=np.uint8)
    try:
        if request.get("hooks"):
            import _veltra_testing

            contents = [base64.b64decode(request["contents"])] if "contents" in request else []
            ids, tokens, offsets = _veltra_testing.parse_file(request["path"], request["is_rna"], *contents)
            tokens, offsets, ids = np.frombuffer(tokens, np.uint8), np.array(offsets, np.int64), np.array(ids, np.uint64)
        else:
            tokens, offsets, ids = veltra_native.parse_fasta(request["path"], mapping, request["is_rna"])
    except BaseException as error:  # PanicException derives from BaseException
        return {"error": [type(error).__name__, str(error)], "notes": getattr(error, "__notes__", [])}
    return {"result": [encode(tokens), encode(offsets), encode(ids)]}


def wait_for_threads(baseline, wanted):
    # Workers start without being waited for; give them time to appear.
    deadline = time.monotonic() + 60
    while thread_count() - baseline < wanted and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_count() - baseline


def main():
    capture = sys.argv[1]
    replies = os.fdopen(os.dup(1), "w", encoding="utf-8")
    redirect(1, os.path.join(capture, "out"))
    redirect(2, os.path.join(capture, "err"))
    baseline = thread_count()
    out_at = err_at = 0
    for line in sys.stdin:
        request = json.loads(line)
        if "threads" in request:
            reply = {"threads": wait_for_threads(baseline, request["threads"])}
        elif "fast_inflaters" in request:
            import _veltra_testing

            reply = {"fast_inflaters": _veltra_testing.use_fast_inflaters(request["fast_inflaters"])}
        else:
            reply = parse(request)
            out, out_at = added(1, out_at)
            err, err_at = added(2, err_at)
            reply["out"] = out.decode("utf-8", "backslashreplace")
            reply["err"] = err.decode("utf-8", "backslashreplace")
        reply["id"] = request["id"]
        replies.write(json.dumps(reply) + "\n")
        replies.flush()


if __name__ == "__main__":
    main()
