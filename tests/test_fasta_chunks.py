"""The chunk parser, the token tables and the driver's reads, through the
test hooks: chunk ownership at any cut, files that change between the two
passes, and lines and headers split across read windows."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import fasta_reference as ref
import veltra_native
from conftest import MAPPING, failure
from fasta_reference import EMPTY, lines, progress

hooks = pytest.importorskip("_veltra_testing")


def parse(image, start=0, end=None, is_rna=True):
    return hooks.parse_chunk(image, start, len(image) if end is None else end, is_rna)


# ---------------------------------------------------------------------------
# Token tables

SPOT_CODES = {
    True: {b"A": 4, b"G": 5, b"C": 6, b"T": 7, b"U": 7, b"N": 3, b"a": 3, b"X": 3, b"\x00": 3, b"\xff": 3},
    False: {b"A": 8, b"Y": 27, b"W": 26, b"N": 19, b"U": 29, b"X": 29, b"B": 29, b"*": 29, b"a": 29, b"\x00": 29},
}


@pytest.mark.parametrize("is_rna", [True, False])
def test_token_table(is_rna):
    table = hooks.build_token_table(is_rna)
    assert table == ref.token_table(is_rna)
    assert {byte: table[byte[0]] for byte in SPOT_CODES[is_rna]} == SPOT_CODES[is_rna]


# ---------------------------------------------------------------------------
# Chunk ownership


@pytest.mark.parametrize(
    "image, start, end, expected",
    [
        (lines(b">1", b">2", b"A", b">3", final_newline=False), 0, None, ([2], bytes([4]), [0, 1])),
        (lines(b">5", b"", b"", b""), 0, None, ([5, 5, 5], b"", [0, 0, 0, 0])),
        # Later, a '>' inside a line is an ordinary byte.
        (lines(b">4", b"AC>G"), 0, None, ([4], bytes([4, 6, 3, 5]), [0, 4])),
        (lines(b">4", b"acgt"), 0, None, ([4], bytes([3, 3, 3, 3]), [0, 4])),
        # A record's lines are read in full past end; the next header stops it.
        (lines(b">1", b"AAAA", b">2", b"CC"), 0, 5, ([1], bytes([4] * 4), [0, 4])),
        (lines(b">1", b"AA", b">2", b"CC"), 1, None, ([2], bytes([6, 6]), [0, 2])),
        (lines(b">1", b"AA", b">2", b"CC"), 0, 6, ([1], bytes([4, 4]), [0, 2])),
        (lines(b">1", b"AA", b">2", b"CC"), 0, 7, ([1, 2], bytes([4, 4, 6, 6]), [0, 2, 4])),
        # Ranges that own no header.
        (lines(b">1", b"AA"), 6, None, EMPTY),
        (lines(b">1", b"AA"), 100, 200, EMPTY),
        (lines(b">1", b"AA"), 0, 0, EMPTY),
        (lines(b">1", b"A" * 1000), 10, 20, EMPTY),
        # An end beyond the image is the image's end.
        (lines(b">1", b"AA"), 0, 1000, ([1], bytes([4, 4]), [0, 2])),
        # A bad header outside the range is never read.
        (lines(b">1", b"A", b">x", b"C"), 0, 5, ([1], bytes([4]), [0, 1])),
        # Starting inside a sequence line that holds a '>' must not invent a
        # record "5"; the next record that opens at a line start is the first.
        (lines(b">1", b"AC>5", b"GG", b">2", b"T"), 3, None, ([2], bytes([7]), [0, 1])),
        (lines(b">1", b"AC>5", b"G>>6", b"T"), 5, None, EMPTY),
        (lines(b">1", b"AC>5", b"G>>6", b"T"), 9, None, EMPTY),
        # ... but the file's first '>' still opens a record mid-line.
        (lines(b"xy>3", b"AC", b">4", b"G"), 1, None, ([3, 4], bytes([4, 6, 5]), [0, 2, 3])),
        (lines(b"xy>3", b"A>C", b">4", b"G"), 3, None, ([4], bytes([5]), [0, 1])),
    ],
)  # fmt: skip
def test_chunk(image, start, end, expected):
    assert parse(image, start, end) == expected
    assert ref.parse_chunk(image, start, len(image) if end is None else min(end, len(image)), True) == expected


def test_first_header_with_many_gt_before_start():
    # Lots of '>' inside lines between the file's first '>' and start.
    image = lines(b">1", b">".join([b"AC"] * 5000), b"GG", b">2", b"T")
    assert parse(image, 3 + 2500) == ([2], bytes([7]), [0, 1])


@pytest.mark.parametrize("length", [0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 4099])
def test_line_lengths(length):
    # Every byte value but '\n', in every position of a word, goes through
    # the table; lines end exactly where they should.
    body = bytes(b for b in range(256) if b != 10)
    sequence = (body * (length // len(body) + 1))[:length]
    for final_newline in (True, False):
        image = lines(b">9", sequence, b"", sequence[::-1], final_newline=final_newline)
        for is_rna in (True, False):
            assert parse(image, is_rna=is_rna) == ref.parse_file(image, is_rna)


def test_record_read_far_past_end():
    # The chunk's own range is tiny; the record it owns is large.
    body = [bytes([65 + i % 26]) * 61 for i in range(3000)]
    image = lines(b">1", *body, b">2", b"C")
    ids, tokens, offsets = parse(image, 0, 2, is_rna=False)
    assert (ids, tokens, offsets) == ref.parse_chunk(image, 0, 2, False)
    assert len(ids) == 3000 and len(tokens) == 3000 * 61


@st.composite
def cut_points(draw, image):
    k = draw(st.integers(1, 8))
    cuts = sorted(draw(st.lists(st.integers(0, len(image)), min_size=k - 1, max_size=k - 1)))
    return [0, *cuts, len(image)]


@ref.examples(300)
@given(data=st.data(), image=ref.fasta_files(), is_rna=st.booleans())
def test_any_chunking_gives_the_single_parse(data, image, is_rna):
    single = parse(image, is_rna=is_rna)
    assert single == ref.parse_file(image, is_rna)
    cuts = data.draw(cut_points(image))
    chunks = [parse(image, start, end, is_rna) for start, end in zip(cuts, cuts[1:])]
    for (start, end), chunk in zip(zip(cuts, cuts[1:]), chunks):
        assert chunk == ref.parse_chunk(image, start, end, is_rna)
    assert ref.merge(chunks) == single


@ref.examples(150)
@given(data=st.data(), image=ref.fasta_files(headers=st.one_of(ref.valid_header, ref.bad_header), preamble_chars="xyz>ACGT \r"))
def test_first_failing_chunk_reports_the_first_bad_header(data, image, panics):
    panics.take()  # the reports of an example that Hypothesis abandoned half-way
    expected = ref.outcome(image, True)
    if expected[0] != "PanicException":
        assert parse(image) == expected
        return
    assert failure(parse, image) == expected
    cuts = data.draw(cut_points(image))
    for start, end in zip(cuts, cuts[1:]):
        try:
            parse(image, start, end)
        except BaseException as error:
            assert (type(error).__name__, str(error)) == expected
            break
    else:
        pytest.fail("no chunk failed")
    assert panics.take() == [expected[1]] * 2


# ---------------------------------------------------------------------------
# The driver's reads: the workers read the file themselves, in windows, and
# a file that changes between the two passes gives a result or a read error,
# never a crash or a result that mixes up its arrays.

CHANGED = ref.UNWRAP_ERR + 'Error { kind: InvalidData, message: "file changed while it was being parsed" }'


def records(count, first=1):
    return b"".join(b">%d\nACGTTGCAACGT%s\nGGA\n" % (i, b"T" * (i % 7)) for i in range(first, first + count))


# Several chunks for any worker count above one.
IMAGE = records(12000)
SWAPPED = IMAGE.replace(b"GGA\n", b"CCT\n")
# Line ends moved: the same count of lines and tokens, or one line more.
MOVED = IMAGE.replace(b"A\nGGA", b"AG\nGA", 1)
SPLIT = IMAGE.replace(b"\nGGA\n>5\n", b"\nG\nA\n>5\n", 1)


@pytest.mark.parametrize(
    "contents, expected",
    [
        (IMAGE, ref.parse_file(IMAGE, True)),
        # What grows past the size seen at the start is not read.
        (IMAGE + records(50, 20000), ref.parse_file(IMAGE, True)),
        (IMAGE[: len(IMAGE) // 2], CHANGED),
        (IMAGE[:-1], CHANGED),
        (b"", CHANGED),
        # Same lines, other residues: the second pass's bytes are the result.
        (SWAPPED, ref.parse_file(SWAPPED, True)),
        (MOVED, ref.parse_file(MOVED, True)),
        (SPLIT, CHANGED),
        # A header rewritten in place: the second pass takes the ids that the
        # first one read.
        (IMAGE.replace(b"\n>9000\n", b"\n>9x00\n"), ref.parse_file(IMAGE, True)),
    ],
    ids=["unchanged", "grown", "halved", "last-byte-cut", "emptied", "residues", "line-end-moved", "line-split",
         "bad-header"],
)
def test_file_changed_between_the_passes(tmp_path, capfd, contents, expected):
    path = tmp_path / "changing.fa"
    path.write_bytes(IMAGE)
    try:
        result = hooks.parse_file(str(path), True, contents)
    except BaseException as error:
        assert type(error).__name__ == "PanicException"
        result = str(error)
    assert result == expected
    out, err = capfd.readouterr()
    assert out == progress(path)
    # Every failing chunk reports; a result comes without a report.
    assert (err == "") == (not isinstance(expected, str))


WINDOW_FILES = {
    # The first record opens mid-line, far behind where later chunks start.
    "preamble": b"no record yet ACGT\n" * 6000 + b"xx>5\nAC\n>6\nG>T\n",
    "gt-inside-a-long-line": b">1\n" + b"AC>5" * 30000 + b"\n>2\nG\n",
    # Headers and lines longer than a window; empty lines, CRs, no final '\n'.
    "long-lines": b">" + b"0" * 3000 + b"7\n" + b"\n".join([b"ACGT" * 900, b"", b"a\rc", b">+8", b"T" * 5000] * 30),
    "bad-header-late": records(9000) + b">1\xff\nAC\n",
    # Sequences cut between reads; the UTF-8 fault at the end wins over the
    # invalid digit before it.
    "bad-utf8-late": records(9000) + b">1\xe2\x82\xac+\xf0\x9f\x98\nAC\n",
}


@pytest.mark.parametrize("pieces", [False, True], ids=["chunks", "pieces"])
@pytest.mark.parametrize("window", [1, 3, 64])
@pytest.mark.parametrize("name", WINDOW_FILES)
def test_lines_and_headers_across_reads(tmp_path, capfd, name, window, pieces):
    image = WINDOW_FILES[name]
    assert len(image) >= 100000
    path = tmp_path / f"{name}.fa"
    path.write_bytes(image)
    previous = hooks.set_read_window(window)
    # In pieces of three quarters of a window: a piece per byte or two.
    from_size = hooks.set_pieces_from(0 if pieces else 1 << 62)
    try:
        result = hooks.parse_file(str(path), False)
    except BaseException as error:
        result = ("PanicException", str(error))
    finally:
        hooks.set_read_window(previous)
        hooks.set_pieces_from(from_size)
    assert result == ref.outcome(image, False)
    capfd.readouterr()


@pytest.mark.parametrize("slow_ns", [0, 2**63], ids=["huge-pages-dropped", "huge-pages-kept"])
@pytest.mark.parametrize("pieces", [False, True], ids=["chunks", "pieces"])
def test_results_made_present_ahead(tmp_path, pieces, slow_ns):
    # Tokens of more than 32 MiB: mappings of their own, which may take huge
    # pages until a step of them is slow. Headers alone come first, so that
    # results in pieces start small and grow past that size.
    record = b">7\n" + b"ACGT" * 15 + b"\n"
    count = (40 << 20) // len(record)
    path = tmp_path / "large.fa"
    path.write_bytes(b"".join(b">%d\n" % i for i in range(300000)) + record * count)
    previous = hooks.set_slow_huge_step(slow_ns)
    from_size = hooks.set_pieces_from(0 if pieces else 1 << 62)
    try:
        ids, tokens, offsets = hooks.parse_file(str(path), True)
    finally:
        hooks.set_slow_huge_step(previous)
        hooks.set_pieces_from(from_size)
    assert tokens == bytes([4, 6, 5, 7]) * 15 * count
    assert offsets == list(range(0, 60 * count + 1, 60))
    assert ids == [7] * count


def test_results_grow_after_their_huge_pages_are_turned_off():
    # Advice given to a part of a mapping splits it, and a split mapping
    # could not grow any more.
    assert hooks.grow_after_small_pages()


def test_files_without_a_size_are_read_whole():
    # /proc files report size 0 yet have contents; this one holds no '>'.
    assert b">" not in open("/proc/self/status", "rb").read()
    tokens, offsets, ids = veltra_native.parse_fasta("/proc/self/status", MAPPING, True)
    assert (tokens.size, offsets.tolist(), ids.size) == (0, [0], 0)
