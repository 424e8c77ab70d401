"""Process services: whole-file reads and their error renderings, the CPU
count over fake cgroup trees, and the line-buffered standard output."""

import os

import pytest

import _veltra_testing as vt
from conftest import run_python

NO_QUOTA = 2**64 - 1
NUL = "file name contained an unexpected NUL byte"


# ---------------------------------------------------------------------------
# Whole-file reads and error renderings


@pytest.mark.parametrize(
    "make_path, failed",
    [
        (lambda tmp: str(tmp / "absent"), (f'Os {{ code: 2, kind: NotFound, message: "{os.strerror(2)}" }}',
                                           f"{os.strerror(2)} (os error 2)", "NotFound", 2)),
        (lambda tmp: str(tmp), (f'Os {{ code: 21, kind: IsADirectory, message: "{os.strerror(21)}" }}',
                                f"{os.strerror(21)} (os error 21)", "IsADirectory", 21)),
        (lambda tmp: b"/tmp/x\0", (f'Error {{ kind: InvalidInput, message: "{NUL}" }}', NUL, "InvalidInput", 0)),
    ],
    ids=["missing", "directory", "nul"],
)  # fmt: skip
def test_read_failures_render_as_the_user_sees_them(tmp_path, make_path, failed):
    assert vt.read_whole_file(make_path(tmp_path)) == (False, *failed)


@pytest.mark.parametrize("size", [0, 1, 4096, 100_003])
def test_file_is_read_whole(tmp_path, size):
    data = bytes((i * 7 + 3) % 256 for i in range(size))
    path = tmp_path / "n\u00e4me with spaces"
    path.write_bytes(data)
    assert vt.read_whole_file(os.fsencode(path)) == (True, data, size)


# What users meet: a missing file, a refused one, a directory, a pool that
# cannot start its threads, a reader that went away; the rest renders alike.
SEEN_KINDS = {2: "NotFound", 13: "PermissionDenied", 21: "IsADirectory", 11: "WouldBlock", 32: "BrokenPipe",
              3: "Uncategorized", 4000: "Uncategorized"}  # fmt: skip


def test_every_errno_renders_with_its_system_text():
    kinds = {}
    for code in [*range(0, 134), 4000]:
        detailed, short, kind = vt.render_errno(code)
        text = os.strerror(code)
        assert detailed == f'Os {{ code: {code}, kind: {kind}, message: "{text}" }}'
        assert short == f"{text} (os error {code})"
        assert kind.isidentifier() and kind[0].isupper()
        kinds[code] = kind
    assert {code: kinds[code] for code in SEEN_KINDS} == SEEN_KINDS


@pytest.mark.parametrize(
    "message, quoted",
    [
        (b"say \"hi\" \\ it's", r'"say \"hi\" \\ it' + "'s\""),
        (b"a\nb\rc\td\x01\x1b\x7f", r'"a\nb\rc\td\u{1}\u{1b}\u{7f}"'),
        ("caf\u00e9 \u0085".encode(), '"caf\u00e9 \\u{85}"'),
    ],
)
def test_fixed_error_quotes_its_message(message, quoted):
    detailed, short = vt.render_fixed("WriteZero", message)
    assert detailed == f"Error {{ kind: WriteZero, message: {quoted} }}"
    assert short == message.decode()


# ---------------------------------------------------------------------------
# CPU quota over fake cgroup trees


def make_tree(tmp_path, cgroup, files, mountinfo=""):
    """Lays out `files` under tmp_path ("…/" keys are directories, others
    files with the given text) and returns the three paths of the query."""
    (tmp_path / "fs").mkdir(exist_ok=True)
    for rel, content in files.items():
        path = tmp_path / rel
        if content is None:
            path.mkdir(parents=True, exist_ok=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
    if cgroup is not None:
        (tmp_path / "cgroup").write_bytes(cgroup.encode())
    (tmp_path / "mountinfo").write_text(mountinfo.format(tmp=tmp_path))
    return str(tmp_path / "cgroup"), str(tmp_path / "mountinfo"), str(tmp_path / "fs")


def v2(cpu_max_by_dir, controllers=True):
    files = {"fs/a/b/": None}
    if controllers:
        files["fs/a/b/cgroup.controllers"] = "cpu memory\n"
    for d, text in cpu_max_by_dir.items():
        files[f"fs/{d}cpu.max"] = text
    return files


@pytest.mark.parametrize(
    "files, expected",
    [
        (v2({"a/b/": "max 100000\n"}), NO_QUOTA),
        (v2({"a/b/": "200000 100000\n"}), 2),
        (v2({"a/b/": "50000 100000\n"}), 0),
        (v2({"a/b/": "250000 100000"}), 2),
        (v2({"a/b/": "+200000 100000\r\n"}), 2),
        # Limits are found while walking up, the root included; the tightest wins.
        (v2({"a/b/": "max 100000\n", "a/": "300000 100000\n"}), 3),
        (v2({"a/b/": "400000 100000\n", "": "100000 100000\n"}), 1),
        # Not a cgroup2 directory: nothing is read.
        (v2({"a/b/": "100000 100000\n"}, controllers=False), NO_QUOTA),
        # Malformed or unreadable files set nothing, and the walk goes on.
        (v2({"a/b/": "0 0\n"}), NO_QUOTA),
        (v2({"a/b/": "200000\n"}), NO_QUOTA),
        (v2({"a/b/": b"\xff200000 100000\n"}), NO_QUOTA),
        ({**v2({"a/": "200000 100000\n"}), "fs/a/b/cpu.max/": None}, 2),
    ],
)
def test_cgroup_v2_quota(tmp_path, files, expected):
    assert vt.cgroup_cpu_quota(*make_tree(tmp_path, "0::/a/b\n", files)) == expected


def v1(mount, quota, period, where="a/b/"):
    return {f"fs/{mount}/a/b/": None, f"fs/{mount}/{where}cpu.cfs_quota_us": quota,
            f"fs/{mount}/{where}cpu.cfs_period_us": period}


@pytest.mark.parametrize(
    "files, expected",
    [
        (v1("cpu", "150000\n", "100000\n"), 1),
        (v1("cpu", " 200000 \n", "\t100000\n"), 2),
        (v1("cpu", "-1\n", "100000\n"), NO_QUOTA),
        (v1("cpu", "100000\n", "0\n"), NO_QUOTA),
        # Walking up within the mount.
        (v1("cpu", "200000\n", "100000\n", where="a/"), 2),
        # The first mount that holds the group is the only one walked.
        ({"fs/cpu/a/b/": None, **v1("cpu,cpuacct", "100000\n", "100000\n")}, NO_QUOTA),
    ],
)
def test_cgroup_v1_quota_at_fixed_mounts(tmp_path, files, expected):
    assert vt.cgroup_cpu_quota(*make_tree(tmp_path, "1:cpu,cpuacct:/a/b\n", files)) == expected


OTHER_MOUNTS = (
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "33 31 0:30 / {tmp}/acct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "41 31 0:38 / {tmp}/unified rw,relatime - cgroup2 cgroup2 rw,cpu\n"
)


@pytest.mark.parametrize(
    "mountinfo, files, expected",
    [
        (OTHER_MOUNTS + "32 31 0:29 / {tmp}/mnt rw,relatime shared:9 - cgroup cgroup rw,cpu,cpuacct\n",
         {"mnt/a/b/cpu.cfs_quota_us": "300000", "mnt/a/b/cpu.cfs_period_us": "100000"}, 3),
        # A bind mount of a subtree: the group path is taken relative to its root.
        ("32 31 0:29 /a {tmp}/mnt rw - cgroup cgroup rw,cpu\n",
         {"mnt/b/cpu.cfs_quota_us": "200000", "mnt/b/cpu.cfs_period_us": "100000"}, 2),
        # A subtree that does not hold the group is passed over.
        ("32 31 0:29 /other {tmp}/mnt1 rw - cgroup cgroup rw,cpu\n"
         "33 31 0:29 / {tmp}/mnt2 rw - cgroup cgroup rw,cpu\n",
         {"mnt1/a/b/cpu.cfs_quota_us": "100000", "mnt1/a/b/cpu.cfs_period_us": "100000",
          "mnt2/a/b/cpu.cfs_quota_us": "400000", "mnt2/a/b/cpu.cfs_period_us": "100000"}, 4),
        (OTHER_MOUNTS, {}, NO_QUOTA),
        # A mount that turns out not to hold the group directory.
        ("32 31 0:29 / {tmp}/mnt rw - cgroup cgroup rw,cpu\n", {"mnt/": None}, NO_QUOTA),
        # A malformed (truncated) line ends the scan.
        ("32 31 0:29 / {tmp}/mnt rw\n32 31 0:29 / {tmp}/mnt rw - cgroup cgroup rw,cpu\n",
         {"mnt/a/b/cpu.cfs_quota_us": "100000", "mnt/a/b/cpu.cfs_period_us": "100000"}, NO_QUOTA),
    ],
)
def test_cgroup_v1_quota_through_mountinfo(tmp_path, mountinfo, files, expected):
    paths = make_tree(tmp_path, "1:cpu:/a/b\n", files, mountinfo)
    assert vt.cgroup_cpu_quota(*paths) == expected


# A v2 tree allowing 1 CPU and a v1 tree allowing 3, both for group "g".
BOTH_TREES = {
    "fs/g/cgroup.controllers": "", "fs/g/cpu.max": "100000 100000\n",
    "fs/cpu/g/cpu.cfs_quota_us": "300000", "fs/cpu/g/cpu.cfs_period_us": "100000",
}


@pytest.mark.parametrize(
    "cgroup, expected",
    [
        ("0::/g\n", 1),
        ("12:pids:/x\n1:cpu,cpuacct:/g\n0::/g\n", 3),
        ("0::/g\n0::/elsewhere\n", 1),
        ("1:cpuacct:/g\n2:cpuset:/g\n", NO_QUOTA),
        ("garbage\n\n", NO_QUOTA),
        # Candidates without a group path leave nothing to look at.
        ("1:cpu:\n", NO_QUOTA),
    ],
)
def test_proc_self_cgroup_chooses_the_group(tmp_path, cgroup, expected):
    assert vt.cgroup_cpu_quota(*make_tree(tmp_path, cgroup, BOTH_TREES)) == expected


def test_unreadable_proc_self_cgroup_sets_no_quota(tmp_path):
    paths = make_tree(tmp_path, None, BOTH_TREES)
    assert vt.cgroup_cpu_quota(*paths) == NO_QUOTA
    os.mkdir(paths[0])
    assert vt.cgroup_cpu_quota(*paths) == NO_QUOTA


# ---------------------------------------------------------------------------
# CPU count


def test_available_cpu_count_honours_mask_and_quota():
    quota = vt.cgroup_cpu_quota()
    assert vt.available_cpu_count() == (True, min(len(os.sched_getaffinity(0)), max(quota, 1)))


@pytest.mark.parametrize(
    "cpu_max, expected",
    [("max 100000\n", None), ("50000 100000\n", 1), ("100000 100000\n", 1), ("6400000 100000\n", None)],
)
def test_available_cpu_count_under_injected_quota(tmp_path, cpu_max, expected):
    paths = make_tree(tmp_path, "0::/g\n", {"fs/g/cgroup.controllers": "", "fs/g/cpu.max": cpu_max})
    if expected is None:
        expected = len(os.sched_getaffinity(0))
    assert vt.available_cpu_count(*paths) == (True, expected)


@pytest.mark.parametrize("size", sorted({1, min(2, len(os.sched_getaffinity(0)))}))
def test_available_cpu_count_follows_a_restricted_mask(tmp_path, size):
    cpus = sorted(os.sched_getaffinity(0))[-size:]
    no_quota = (str(tmp_path / "absent"), str(tmp_path / "absent"), str(tmp_path))
    done = vt_python(
        f"os.sched_setaffinity(0, {cpus!r})\n"
        f"sys.stderr.write(repr(vt.available_cpu_count(*{no_quota!r})))\n"
    )
    assert done.stderr == repr((True, size)).encode()


# ---------------------------------------------------------------------------
# Standard output, in child processes so that descriptor 1 is theirs


def vt_python(body):
    return run_python("import os, signal, sys\nimport _veltra_testing as vt\n" + body)


def P(*pieces):
    return f"vt.print_line(*{pieces!r})\n"


def W(data):
    """A raw write to descriptor 1 between calls shows what has reached it."""
    return f"os.write(1, {data!r})\n"


@pytest.mark.parametrize(
    "steps, expected",
    [
        ([P("abc", "def\n", "gh"), W(b"X"), P("\n")], b"abcdef\nXgh\n"),
        ([P("l1\nl2\npart"), W(b"X"), P("\n")], b"l1\nl2\nXpart\n"),
        # The buffer is written out early only when the piece does not fit.
        ([P("a" * 1000), P("b" * 24), W(b"X"), P("\n")], b"X" + b"a" * 1000 + b"b" * 24 + b"\n"),
        ([P("a" * 1000), P("b" * 25), W(b"X"), P("\n")], b"a" * 1000 + b"X" + b"b" * 25 + b"\n"),
        ([P("c" * 1024), W(b"X"), P("\n")], b"c" * 1024 + b"X\n"),
        ([P("head"), P("x" * 5000 + "\n" + "y" * 5), W(b"X"), P("\n")],
         b"head" + b"x" * 5000 + b"\nX" + b"y" * 5 + b"\n"),
        # Never flushed at exit: an unfinished line stays unwritten.
        ([P("line\n"), P("tail")], b"line\n"),
    ],
)  # fmt: skip
def test_print_line_buffering(steps, expected):
    assert vt_python("".join(steps)).stdout == expected


def test_print_line_failure_is_a_panic_and_the_writer_recovers():
    # Text buffered before the failure and the failing line are dropped; the
    # next call after standard output is repaired writes only its own line.
    done = vt_python(
        "signal.signal(signal.SIGPIPE, signal.SIG_IGN)\n"
        "saved = os.dup(1)\n"
        'vt.print_line("pending ")\n'
        "r, w = os.pipe()\nos.dup2(w, 1)\nos.close(w)\nos.close(r)\n"
        "try:\n"
        '    vt.print_line("lost\\n")\n'
        "except BaseException as e:\n"
        '    sys.stderr.write(f"caught {type(e).__qualname__}: {e}\\n")\n'
        "os.dup2(saved, 1)\n"
        'vt.print_line("after\\n")\n'
    )
    assert done.stdout == b"after\n"
    message = "failed printing to stdout: Broken pipe (os error 32)"
    stderr = done.stderr.decode()
    assert stderr.startswith("thread '<unnamed>' panicked at src/sys")
    assert stderr.endswith(f":\n{message}\ncaught PanicException: {message}\n")


def test_print_line_calls_from_threads_never_interleave():
    # Every piece of a call is buffered separately, so without the writer's
    # lock the pieces of concurrent calls would mix within lines.
    threads, lines = 4, 2000
    done = vt_python(f"sys.stderr.write(str(vt.print_from_threads({threads}, {lines})))\n")
    assert done.stderr == b"0"
    expected = [f"{t}:{i}:" + "ab" * 8 for t in range(threads) for i in range(lines)]
    assert sorted(done.stdout.decode().splitlines()) == sorted(expected)
