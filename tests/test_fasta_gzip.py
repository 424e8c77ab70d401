"""Compressed FASTA: gzip, several members, BGZF and mixtures of them, read
from a file or a FIFO, give exactly what their decompressed bytes give, for
every worker count; a damaged stream fails with a read error and no result.
Whether a file is gzip is decided by its first bytes alone."""

import gzip
import io
import os
import random
import struct
import threading
import zlib

import pytest

import fasta_reference as ref
from conftest import SANITIZED, parse, parse_everywhere, report_messages, run_python
from fasta_reference import lines, numbered, progress

BROKEN = ref.UNWRAP_ERR + 'Error { kind: InvalidData, message: "%s" }'
END = BROKEN % "unexpected end of gzip stream"
INVALID = BROKEN % "invalid gzip data"
TRAILING = BROKEN % "trailing data after gzip stream"


# ---------------------------------------------------------------------------
# Writers: one member, several with empty ones among them, BGZF


def member(data, level=6):
    return gzip.compress(data, compresslevel=level, mtime=0)


def pieces(data, size):
    return [data[i : i + size] for i in range(0, len(data), size)] or [b""]


def members(data):
    # Empty members first, between the others and last.
    parts = pieces(data, len(data) // 3 + 1)
    return member(b"") + b"".join(member(part, level=1 + i % 9) + member(b"") for i, part in enumerate(parts))


def named_member(data):
    """One member whose header carries every optional field: an extra field
    that is not BGZF's, a file name, a comment and the header's checksum."""
    extra = b"XY" + struct.pack("<H", 3) + b"abc"
    head = struct.pack("<BBBBIBB", 0x1F, 0x8B, 8, 0x1E, 0, 0, 3) + struct.pack("<H", len(extra)) + extra
    head += b"seqs.fa\0" + b"made by hand\0"
    head += struct.pack("<H", zlib.crc32(head) & 0xFFFF)
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    return head + deflate.compress(data) + deflate.flush() + struct.pack("<II", zlib.crc32(data), len(data))


BGZF_EOF = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def bgzf_member(data):
    deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
    body = deflate.compress(data) + deflate.flush()
    size = 18 + len(body) + 8
    head = struct.pack("<BBBBIBBHBBHH", 0x1F, 0x8B, 8, 4, 0, 0, 255, 6, ord("B"), ord("C"), 2, size - 1)
    return head + body + struct.pack("<II", zlib.crc32(data), len(data))


def bgzf(data, block=3000):
    # Blocks of an odd size, so that member ends fall inside lines and headers.
    return b"".join(bgzf_member(part) for part in pieces(data, block)) + BGZF_EOF


FORMS = {
    "gzip": member,
    "members": members,
    "header-fields": named_member,
    "bgzf": bgzf,
    "bgzf-small-blocks": lambda data: bgzf(data, 1024),
    "bgzf-then-gzip": lambda data: bgzf(data[: len(data) // 2]) + members(data[len(data) // 2 :]),
    "gzip-then-bgzf": lambda data: member(data[: len(data) // 3]) + bgzf(data[len(data) // 3 :]),
    # Zero bytes after the last member are padding.
    "bgzf-zero-padded": lambda data: bgzf(data) + bytes(700),
}


def gunzip(data):
    """What gzip -d makes of `data`."""
    return gzip.GzipFile(fileobj=io.BytesIO(data)).read()


# ---------------------------------------------------------------------------
# Decompressed inputs


RECORDS = numbered(20000, b"ACGTTGCA\nGG\n")


def random_records(count, seed=14):
    # Random residues compress to about a quarter: the compressed file spans
    # several of the reads that feed the inflaters.
    rng = random.Random(seed)
    residues = "".join(rng.choices("ACGT", k=count * 100)).encode()
    return b"".join(b">%d\n%s\nGG>\n" % (i + 1, residues[i * 100 : (i + 1) * 100]) for i in range(count))


MEGABYTES = random_records(24000)

INPUTS = {
    "empty": (b"", True),
    "small": (lines(b">1", b"ACGT", b">2", b"GG", b"A"), True),
    "no-final-newline": (lines(b">7", b"ACGT", b"AC", b">9", b"", b"G", final_newline=False), False),
    "headers-only": (numbered(20000, b""), True),
    "below-100000": (numbered(3000, b"AC>5\n\nacgu\r\n"), True),
    "above-100000": (numbered(30000, b"AC>5\n\nacgu\r\nTT>>\n"), False),
    # No record in the first chunks; the first one opens mid-line.
    "preamble": (b"preamble ACGT\n" * 12000 + b"xx>5\nAC\n>6\nG>T\n", True),
    "gt-inside-a-long-line": (b">1\n" + b"AC>5" * 40000 + b"\n>2\nG\n", True),
    "bad-header-small": (lines(b">1", b"AC", b">x", b"G"), True),
    # Two bad headers far apart: the first in the stream decides.
    "bad-headers-large": (
        RECORDS.replace(b"\n>15000\n", b"\n>15\xff00\n").replace(b"\n>19000\n", b"\n>\n"),
        True,
    ),
    "bad-header-last-without-newline": (RECORDS + b">12x", True),
    # Several blocks of the pipeline: inflated apart, parsed in order.
    "megabytes": (MEGABYTES, False),
    "bad-header-in-a-late-block": (MEGABYTES[:-100] + b"\n>+\n" + MEGABYTES[-100:], True),
}


@pytest.fixture(scope="module")
def plain_results(pools, tmp_path_factory):
    """The plain file's replies per input, parsed once for the module."""
    directory = tmp_path_factory.mktemp("plain")
    cache = {}

    def get(name):
        if name not in cache:
            path = directory / f"{name}.fa"
            path.write_bytes(INPUTS[name][0])
            cache[name] = path, parse_everywhere(pools, path, INPUTS[name][1])
        return cache[name]

    return get


def inflaters(pools):
    """(name, request) of each way to inflate, whose results must not differ:
    parse_fasta as users call it, with the faster inflaters where the build
    has them; then the test module's copy of the parser with zlib alone (the
    switch reaches that copy only, each module linking the core of its own)."""
    yield "parse_fasta", {}
    for worker in pools.values():
        worker.send({"fast_inflaters": False})
    had = [worker.receive()["fast_inflaters"] for worker in pools.values()]
    if None not in had:
        yield "zlib", {"hooks": True}


def assert_same_as_plain(plain_path, plain, packed_paths, packed, inflater):
    for n, (result, out, err) in plain.items():
        got, got_out, got_err = packed[n]
        where = f"{n} workers, {inflater}"
        assert got == result, where
        assert got_out == out.replace(str(plain_path), str(packed_paths[n])), where
        if isinstance(result[0], str):  # ("PanicException", message)
            # Chunks of a compressed file are planned on its decompressed
            # stream, so fewer chunks may report; never another failure.
            found = report_messages(got_err)
            assert result[1] in found and set(found) <= set(report_messages(err)), where
        else:
            assert got_err == "", where


# Every form with the inputs whose edges meet its members: nothing at all, and
# several blocks of the pipeline; every other input in a single member and in
# small BGZF blocks, whose ends fall inside lines and headers.
PAIRS = [(name, form) for name in ("empty", "megabytes") for form in FORMS] + [
    (name, form) for name in INPUTS if name not in ("empty", "megabytes") for form in ("gzip", "bgzf-small-blocks")
]


@pytest.mark.parametrize("name, form", PAIRS)
def test_compressed_file_gives_the_plain_result(pools, plain_results, tmp_path, name, form):
    image, is_rna = INPUTS[name]
    packed = FORMS[form](image)
    assert gunzip(packed) == image
    path = tmp_path / "packed.fa.gz"
    path.write_bytes(packed)
    plain_path, plain = plain_results(name)
    for inflater, request in inflaters(pools):
        packed_replies = parse_everywhere(pools, path, is_rna, **request)
        assert_same_as_plain(plain_path, plain, dict.fromkeys(pools, path), packed_replies, inflater)


def feed(fifo, data):
    try:
        with open(fifo, "wb") as pipe:
            pipe.write(data)
    except BrokenPipeError:
        pass


def parse_through_fifos(pools, directory, packed, is_rna, request):
    """Each helper reads `packed` from a FIFO of its own, written meanwhile."""
    fifos = {n: directory / f"fifo-{n}" for n in pools}
    writers = []
    for fifo in fifos.values():
        os.mkfifo(fifo)
        writers.append(threading.Thread(target=feed, args=(fifo, packed), daemon=True))
        writers[-1].start()
    try:
        return fifos, parse_everywhere(pools, fifos, is_rna, **request)
    finally:
        for fifo, writer in zip(fifos.values(), writers):
            if writer.is_alive():  # the reader never came: let the writer go
                os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
            writer.join(timeout=60)


@pytest.mark.parametrize(
    "name, form", [("small", "members"), ("above-100000", "members"), ("preamble", "bgzf-then-gzip"),
                   ("bad-headers-large", "bgzf-then-gzip")]
)
def test_compressed_fifo_gives_the_plain_result(pools, plain_results, tmp_path, name, form):
    image, is_rna = INPUTS[name]
    packed = FORMS[form](image)
    plain_path, plain = plain_results(name)
    for inflater, request in inflaters(pools):
        directory = tmp_path / inflater
        directory.mkdir()
        fifos, replies = parse_through_fifos(pools, directory, packed, is_rna, request)
        assert_same_as_plain(plain_path, plain, fifos, replies, inflater)


# ---------------------------------------------------------------------------
# Detection by content, not by name


@pytest.mark.parametrize(
    "image",
    [
        b"\x1f\x8b",  # the magic alone is too short to be gzip
        b"\x1f\x8b\x07>1\nAC\n",  # another method byte
        b"\x1f>4\n\x1f\x8b\x08\n",
        b">5\n" + member(b">6\nAAAA\n"),  # gzip bytes after the start are text
    ],
)
def test_not_gzip_is_parsed_as_plain_text(tmp_path, capfd, image):
    path = tmp_path / "plain.fa.gz"  # the name does not matter
    path.write_bytes(image)
    try:
        result = parse(path)
    except BaseException as error:
        result = (type(error).__name__, str(error))
    assert result == ref.outcome(image, True)
    capfd.readouterr()


def test_gzip_named_like_plain_text_is_decompressed(tmp_path, capfd):
    path = tmp_path / "records.fasta"
    path.write_bytes(member(ref.WORKED))
    assert parse(path) == ref.WORKED_RESULT
    assert capfd.readouterr() == (progress(path), "")


# ---------------------------------------------------------------------------
# Damaged streams


TEXT = numbered(4000, b"ACGTTGCA\nGG\n")
GZ = member(TEXT)
BG = bgzf(TEXT, 2048)


def bgzf_members(data):
    """(start, length) of every member, by the sizes they give."""
    found, at = [], 0
    while at < len(data):
        found.append((at, struct.unpack_from("<H", data, at + 16)[0] + 1))
        at += found[-1][1]
    return found


BG_MEMBERS = bgzf_members(BG)
MIDDLE = BG_MEMBERS[len(BG_MEMBERS) // 2]
LAST_DATA = BG_MEMBERS[-2]


def changed(data, at, new):
    return data[:at] + new + data[at + len(new) :]


def flipped(data, at):
    return changed(data, at, bytes([data[at] ^ 0x55]))


def bsize(data, member_at, size):
    return changed(data, member_at[0] + 16, struct.pack("<H", size - 1))


DAMAGED = {
    "magic-and-method-only": (GZ[:3], END),
    "cut-in-header": (GZ[:7], END),
    "cut-in-file-name": (named_member(TEXT)[:24], END),
    "cut-in-deflate-data": (GZ[: len(GZ) // 2], END),
    "cut-in-trailer": (GZ[:-3], END),
    "cut-in-second-member": (GZ + GZ[:40], END),
    "bgzf-cut-in-middle-member": (BG[: MIDDLE[0] + MIDDLE[1] // 2], END),
    "bgzf-cut-before-eof-member": (BG[: LAST_DATA[0] + LAST_DATA[1] - 1], END),
    "reserved-flags": (changed(GZ, 3, b"\xe0"), INVALID),
    "flipped-deflate-byte": (flipped(GZ, 20), INVALID),
    "wrong-crc": (flipped(GZ, len(GZ) - 8), INVALID),
    "wrong-isize": (flipped(GZ, len(GZ) - 1), INVALID),
    "wrong-header-crc": (flipped(named_member(TEXT), 40), INVALID),
    # Its garbage holds a refused header long before the checksum is reached.
    "flipped-in-a-long-member": (flipped(member(MEGABYTES), 625169), INVALID),
    "bgzf-flipped-deflate-byte": (flipped(BG, MIDDLE[0] + 30), INVALID),
    "bgzf-wrong-crc": (flipped(BG, MIDDLE[0] + MIDDLE[1] - 8), INVALID),
    "bgzf-wrong-isize": (flipped(BG, MIDDLE[0] + MIDDLE[1] - 2), INVALID),
    "garbage-after": (GZ + b"x", TRAILING),
    "newline-after": (BG + b"\n", TRAILING),
    "garbage-after-padding": (GZ + bytes(64) + b"\x01" + bytes(8), TRAILING),
}


# Damage that Python's gzip reader lets through: it skips reserved flags and
# the header checksum.
LENIENT_PYTHON = {"reserved-flags", "wrong-header-crc"}


@pytest.mark.parametrize("name", DAMAGED)
def test_damaged_stream_fails_without_a_result(pools, tmp_path, name):
    data, message = DAMAGED[name]
    if name not in LENIENT_PYTHON:
        with pytest.raises((EOFError, gzip.BadGzipFile, zlib.error)):
            gunzip(data)
    path = tmp_path / "damaged.fa.gz"
    path.write_bytes(data)
    for inflater, request in inflaters(pools):
        for n, (result, out, err) in parse_everywhere(pools, path, True, **request).items():
            where = f"{n} workers, {inflater}"
            assert result == ("PanicException", message), where
            assert out == progress(path, merged=False), where
            assert set(report_messages(err)) == {message}, where


# Wrong sizes in BGZF headers: gzip -d does not read them. A member whose size
# is not that of a whole member is either inflated front to back like any
# gzip member or rejected; it never yields other bytes.
WRONG_SIZES = {
    "past-the-end": bsize(BG, LAST_DATA, 0xFFFF),
    "inside-the-member": bsize(BG, MIDDLE, MIDDLE[1] - 11),
    "into-the-next-member": bsize(BG, MIDDLE, MIDDLE[1] + 5),
    # The size takes in the end-of-file member, whose trailer then looks
    # like this member's.
    "over-the-eof-member": bsize(BG, LAST_DATA, LAST_DATA[1] + len(BGZF_EOF)),
    "too-small-for-a-member": bsize(BG, MIDDLE, 20),
}


@pytest.mark.parametrize("name", WRONG_SIZES)
def test_wrong_bgzf_sizes_give_the_text_or_fail(pools, tmp_path, name):
    data = WRONG_SIZES[name]
    assert gunzip(data) == TEXT
    path = tmp_path / "sizes.fa.gz"
    path.write_bytes(data)
    expected = ref.parse_file(TEXT, True)
    for inflater, request in inflaters(pools):
        for n, (result, out, err) in parse_everywhere(pools, path, True, **request).items():
            where = f"{n} workers, {inflater}"
            if result == expected:
                assert err == "", where
            else:
                assert result == ("PanicException", INVALID), where
                assert set(report_messages(err)) == {INVALID}, where


# ---------------------------------------------------------------------------
# Memory beside the results


PEAK_CHILD = """
import os, sys
import numpy as np
import veltra_native as vn

def mib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) // 1024 for line in f if line.startswith(field))

vn.concatenate_numpy([np.arange(3)])  # the workers' stacks are not the parse's
report = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak starts again from here
before = mib("VmRSS:")
tokens, offsets, ids = vn.parse_fasta(sys.argv[1], np.zeros(5, np.uint8), True)
assert tokens.size == ids.size == 0
os.write(report, b"%d" % (mib("VmHWM:") - before))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory")
def test_bgzf_memory_beside_the_results_does_not_grow_with_the_workers(tmp_path):
    # 96 MiB of headers alone, so the result is empty and the parse falls
    # behind the inflation; one member repeated keeps the file quick to write.
    piece = numbered(15000, b"")
    piece = piece[: piece.rindex(b"\n", 0, 65280) + 1]
    path = tmp_path / "headers.fa.gz"
    path.write_bytes(bgzf_member(piece) * (96 * 2**20 // len(piece)) + BGZF_EOF)
    # Every block is a mapping of its own, unmapped when freed: the peak is
    # what was held at once, not what malloc kept for later.
    done = run_python(PEAK_CHILD, path, workers=64, env={"MALLOC_MMAP_THRESHOLD_": "131072"})
    assert int(done.stdout) < 32
