"""Every FASTA kernel this CPU runs gives what the portable kernel gives.

The hooks run each kernel on a copy of the input that ends (or starts) at a
page that faults, with outputs guarded the same way, so a read or write past
the window or the output fails the test. The expected results come from a
small model of the kernels' contract, which the portable kernel also meets.
"""

import random

import pytest

t = pytest.importorskip("_veltra_testing")

KERNELS = t.kernel_names()
NL, GT = 0x0A, 0x3E


def table_with(default, codes):
    table = bytearray([default]) * 256
    for byte, code in codes.items():
        table[byte] = code
    return bytes(table)


TABLES = {
    "nucleotide": t.build_token_table(True),
    "protein": t.build_token_table(False),
    # Codes across all of 0x40..0x7F, so every quarter of a lookup is used.
    "wide": table_with(3, {b: (b * 7) % 251 for b in range(0x40, 0x80)}),
    # Codes outside 0x40..0x7F: the kernels must go byte by byte.
    "unshaped": table_with(29, {0x3F: 1, 0x80: 2, 0xFF: 4, ord("A"): 8}),
}

# Sequence bytes that are neither '\n' nor '>', with the edges of 0x40..0x7F.
FILLER = b"ACGTUNWYacgt*-.\r 0@Z[`z{\x7f\x80\x3f\xff\x00"


def filler(n, seed):
    rng = random.Random(seed)
    return bytes(rng.choice(FILLER) for _ in range(n))


def model_scan(data, line_start):
    at = data.find(b">")
    while at >= 0 and not (line_start if at == 0 else data[at - 1] == NL):
        at = data.find(b">", at + 1)
    stop = len(data) if at < 0 else at
    return stop, data.count(b"\n", 0, stop)


def model_line(data, table):
    end = data.find(b"\n")
    return data[: len(data) if end < 0 else end].translate(table)


def model_lines(data, table, token_room, end_room, base):
    used, codes, ends = 0, bytearray(), []
    while used < len(data) and data[used] != GT:
        end = data.find(b"\n", used)
        if end < 0 or len(codes) + end - used > token_room or len(ends) == end_room:
            break
        codes += data[used:end].translate(table)
        ends.append(base + len(codes))
        used = end + 1
    return used, bytes(codes), ends


def check(name, data, table, flush_end, line_start=True, rooms=None):
    assert t.kernel_scan(name, data, line_start, flush_end) == model_scan(data, line_start)
    assert t.kernel_translate_line(name, data, table, flush_end) == model_line(data, table)
    for token_room, end_room in rooms or [(len(data), len(data))]:
        expected = model_lines(data, table, token_room, end_room, 1000)
        got = t.kernel_translate_lines(name, data, table, token_room, end_room, 1000, flush_end)
        assert got == expected, (token_room, end_room)


def test_the_chosen_kernel_is_the_widest():
    assert KERNELS[0] == "portable"
    assert set(KERNELS) <= {"portable", "avx2", "avx512"}
    assert KERNELS == sorted(KERNELS, key=["portable", "avx2", "avx512"].index)
    assert t.kernel_selected() == KERNELS[-1]


def test_every_kernel_the_cpu_offers_is_found():
    # As the kernel reports it: Linux lists a vector extension only where it
    # saves its registers.
    with open("/proc/cpuinfo") as cpuinfo:
        flags = next((set(line.split(":", 1)[1].split()) for line in cpuinfo if line.startswith("flags")), set())
    expected = ["portable"]
    if {"avx2", "bmi1", "bmi2", "popcnt"} <= flags:
        expected.append("avx2")
        if {"avx512f", "avx512bw", "avx512vbmi", "avx512_vbmi2"} <= flags:
            expected.append("avx512")
    assert KERNELS == expected


@pytest.mark.parametrize(
    "name, shaped, fallback",
    [("nucleotide", True, 3), ("protein", True, 29), ("wide", True, 3), ("unshaped", False, 29)],
)
def test_prepare_tells_shaped_tables(name, shaped, fallback):
    assert t.kernel_prepare(TABLES[name]) == (shaped, fallback)


@pytest.mark.parametrize("name", KERNELS)
def test_every_length_with_a_marker_at_every_position(name):
    # Lengths across two 64-byte steps, a '\n' or a '>' at each position
    # including the first and last byte; the guard page alternates between
    # the end and the start.
    table = TABLES["protein"]
    for n in range(132):
        base = filler(n, n)
        check(name, base, table, n % 2 == 0, line_start=n % 3 != 0)
        for i in range(n):
            for marker in (NL, GT):
                data = base[:i] + bytes([marker]) + base[i + 1 :]
                check(name, data, table, (n + i) % 2 == 0, line_start=i % 2 == 0)


@pytest.mark.parametrize("table", TABLES)
@pytest.mark.parametrize("name", KERNELS)
def test_random_windows(name, table):
    rng = random.Random(f"{name}/{table}")
    codes = TABLES[table]
    for round in range(400):
        n = rng.choice([rng.randrange(70), rng.randrange(300), rng.randrange(2000)])
        if round % 3 == 0:
            data = rng.randbytes(n)
        else:
            # FASTA-like: many short lines, records, '>' inside lines.
            line_break = rng.choice([3, 20, 61, 400])
            data = bytes(
                NL if rng.randrange(line_break) == 0 else GT if rng.randrange(40) == 0 else rng.choice(FILLER)
                for _ in range(n)
            )
        full = model_lines(data, codes, n, n, 0)
        tokens, lines = len(full[1]), len(full[2])
        rooms = [(n, n), (max(tokens - 1, 0), n), (n, max(lines - 1, 0)), (rng.randrange(n + 1), n)]
        check(name, data, codes, round % 2 == 0, line_start=rng.random() < 0.5, rooms=rooms)


@pytest.mark.parametrize("name", KERNELS)
def test_long_lines_and_windows(name):
    # Lines longer than several vectors, and a window of one long line that
    # ends without its '\n', as a window cut inside a line does.
    table = TABLES["nucleotide"]
    for n in (1000, 4096, 4097, 10_000):
        line = filler(n, n)
        check(name, line, table, True)
        check(name, line + b"\n" + line[:77] + b"\n>9\n" + line, table, False)
        check(name, b"\n" * 3 + line + b"\n" * 3, table, True, rooms=[(n, 10), (n - 1, 10), (0, 2)])
