"""The chunk parser and the token tables, through the test hooks."""

import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fasta_reference as ref

hooks = pytest.importorskip("_veltra_testing")

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


def parse(image, start=0, end=None, is_rna=True):
    return hooks.parse_chunk(image, start, len(image) if end is None else end, is_rna)


def lines(*items, final_newline=True):
    return b"\n".join(items) + (b"\n" if final_newline else b"")


def panic_message(image, start=0, end=None, is_rna=True):
    with pytest.raises(BaseException) as caught:
        parse(image, start, end, is_rna)
    assert type(caught.value).__name__ == "PanicException"
    return str(caught.value)


# ---------------------------------------------------------------------------
# Token tables


@pytest.mark.parametrize(
    "is_rna, byte, code",
    [
        (True, b"A", 4), (True, b"G", 5), (True, b"C", 6), (True, b"T", 7), (True, b"U", 7),
        (True, b"N", 3), (True, b"a", 3), (True, b"X", 3), (True, b"\x00", 3), (True, b"\xff", 3),
        (False, b"A", 8), (False, b"Y", 27), (False, b"W", 26), (False, b"N", 19), (False, b"U", 29),
        (False, b"X", 29), (False, b"B", 29), (False, b"*", 29), (False, b"a", 29), (False, b"\x00", 29),
    ],
)  # fmt: skip
def test_token_codes(is_rna, byte, code):
    assert hooks.build_token_table(is_rna)[byte[0]] == code


@pytest.mark.parametrize("is_rna", [True, False])
def test_token_table_in_full(is_rna):
    table = hooks.build_token_table(is_rna)
    assert table == ref.token_table(is_rna)
    # The two alphabets share no code, and 0, 1, 2 and 28 never appear.
    allowed = set(range(3, 8)) if is_rna else set(range(8, 28)) | {29}
    assert set(table) <= allowed


@pytest.mark.parametrize("is_rna, tokens", [(True, b"\x04\x06\x05\x07"), (False, bytes([8, 9, 13, 29]))])
def test_alphabet_changes_tokens_only(is_rna, tokens):
    assert parse(lines(b">1", b"ACGU"), is_rna=is_rna) == ([1], tokens, [0, 4])


# ---------------------------------------------------------------------------
# Records, entries and chunk ownership


@pytest.mark.parametrize(
    "image, start, end, expected",
    [
        # Empty lines are entries; a final line without '\n' is one too.
        (lines(b">7", b"ACGT", b"AC", b">9", b"", b"G", final_newline=False), 0, None,
         ([7, 7, 9, 9], bytes([4, 6, 5, 7, 4, 6, 5]), [0, 4, 6, 6, 7])),
        (lines(b">1", b"AC", b""), 0, None, ([1, 1], bytes([4, 6]), [0, 2, 2])),
        # A '\n' at the very end adds nothing; headers alone add nothing.
        (lines(b">1", b"AC"), 0, None, ([1], bytes([4, 6]), [0, 2])),
        (lines(b">1", b">2", b">3"), 0, None, ([], b"", [0])),
        (lines(b">1", b">2", b"A", b">3", final_newline=False), 0, None, ([2], bytes([4]), [0, 1])),
        (b"", 0, None, ([], b"", [0])),
        (b">5", 0, None, ([], b"", [0])),
        (b">5\n", 0, None, ([], b"", [0])),
        (lines(b">5", b"", b"", b""), 0, None, ([5, 5, 5], b"", [0, 0, 0, 0])),
        # Text before the first '>' is never tokenised.
        (lines(b"garbage", b">3", b"AC"), 0, None, ([3], bytes([4, 6]), [0, 2])),
        (lines(b"no record here", b"ACGT"), 0, None, ([], b"", [0])),
        # The file's first '>' opens a record wherever it stands.
        (lines(b"xy>3", b"AC"), 0, None, ([3], bytes([4, 6]), [0, 2])),
        # Later, a '>' inside a line is an ordinary byte.
        (lines(b">4", b"AC>G"), 0, None, ([4], bytes([4, 6, 3, 5]), [0, 4])),
        (lines(b">4", b"acgt"), 0, None, ([4], bytes([3, 3, 3, 3]), [0, 4])),
        (lines(b">4", b"A\rC \t1*"), 0, None, ([4], bytes([4, 3, 6, 3, 3, 3, 3]), [0, 7])),
        # A record's lines are read in full past end; the next header stops it.
        (lines(b">1", b"AAAA", b">2", b"CC"), 0, 5, ([1], bytes([4] * 4), [0, 4])),
        (lines(b">1", b"AA", b">2", b"CC"), 1, None, ([2], bytes([6, 6]), [0, 2])),
        (lines(b">1", b"AA", b">2", b"CC"), 0, 6, ([1], bytes([4, 4]), [0, 2])),
        (lines(b">1", b"AA", b">2", b"CC"), 0, 7, ([1, 2], bytes([4, 4, 6, 6]), [0, 2, 4])),
        # Ranges that own no header.
        (lines(b">1", b"AA"), 6, None, ([], b"", [0])),
        (lines(b">1", b"AA"), 7, None, ([], b"", [0])),
        (lines(b">1", b"AA"), 100, 200, ([], b"", [0])),
        (lines(b">1", b"AA"), 1, 1, ([], b"", [0])),
        (lines(b">1", b"AA"), 0, 0, ([], b"", [0])),
        (lines(b">1", b"A" * 1000), 10, 20, ([], b"", [0])),
        # An end beyond the image is the image's end.
        (lines(b">1", b"AA"), 0, 1000, ([1], bytes([4, 4]), [0, 2])),
    ],
)  # fmt: skip
def test_chunk(image, start, end, expected):
    assert parse(image, start, end) == expected
    assert ref.parse_chunk(image, start, len(image) if end is None else min(end, len(image)), True) == expected


@pytest.mark.parametrize(
    "image, start, expected",
    [
        # Starting inside a sequence line that holds a '>' must not invent a
        # record "5"; the next record that opens at a line start is the first.
        (lines(b">1", b"AC>5", b"GG", b">2", b"T"), 3, ([2], bytes([7]), [0, 1])),
        (lines(b">1", b"AC>5", b"GG"), 3, ([], b"", [0])),
        (lines(b">1", b"AC>5", b"G>>6", b"T"), 5, ([], b"", [0])),
        (lines(b">1", b"AC>5", b"G>>6", b"T"), 8, ([], b"", [0])),
        (lines(b">1", b"AC>5", b"G>>6", b"T"), 9, ([], b"", [0])),
        # ... but the file's first '>' still opens a record mid-line.
        (lines(b"xy>3", b"AC", b">4", b"G"), 1, ([3, 4], bytes([4, 6, 5]), [0, 2, 3])),
        (lines(b"xy>3", b"AC", b">4", b"G"), 3, ([4], bytes([5]), [0, 1])),
        (lines(b"xy>3", b"A>C", b">4", b"G"), 3, ([4], bytes([5]), [0, 1])),
    ],
)  # fmt: skip
def test_chunk_start_inside_a_line(image, start, expected):
    assert parse(image, start) == expected
    assert ref.parse_chunk(image, start, len(image), True) == expected


def test_first_header_with_many_gt_before_start():
    # Lots of '>' inside lines between the file's first '>' and start.
    image = lines(b">1", b">".join([b"AC"] * 5000), b"GG", b">2", b"T")
    start = 3 + 2500
    assert parse(image, start) == ([2], bytes([7]), [0, 1])


@pytest.mark.parametrize("length", [*range(0, 34), 60, 61, 1000, 4099])
@pytest.mark.parametrize("final_newline", [True, False])
def test_line_lengths(length, final_newline):
    # Every byte value but '\n', in every position of a word, goes through
    # the table; lines end exactly where they should.
    body = bytes(b for b in range(256) if b != 10)
    sequence = (body * (length // len(body) + 1))[:length]
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


# ---------------------------------------------------------------------------
# Headers


@pytest.mark.parametrize(
    "header, expected",
    [(b"+5", 5), (b"007", 7), (b"0", 0), (b"+0", 0), (b"18446744073709551615", 2**64 - 1),
     (b"00000000000000000000000018446744073709551615", 2**64 - 1)],
)  # fmt: skip
def test_header_accepted(header, expected):
    assert parse(lines(b">" + header, b"A")) == ([expected], bytes([4]), [0, 1])


PARSE_INT = UNWRAP + "ParseIntError { kind: %s }"
UTF8 = UNWRAP + "Utf8Error { valid_up_to: %d, error_len: %s }"


@pytest.mark.parametrize(
    "header, message",
    [
        (b"", PARSE_INT % "Empty"),
        (b"1\r", PARSE_INT % "InvalidDigit"),
        (b"-5", PARSE_INT % "InvalidDigit"),
        (b"+", PARSE_INT % "InvalidDigit"),
        (b"-", PARSE_INT % "InvalidDigit"),
        (b"++5", PARSE_INT % "InvalidDigit"),
        (b" 5", PARSE_INT % "InvalidDigit"),
        (b"5 ", PARSE_INT % "InvalidDigit"),
        (b"1x", PARSE_INT % "InvalidDigit"),
        (b"0x10", PARSE_INT % "InvalidDigit"),
        ("\u0663".encode(), PARSE_INT % "InvalidDigit"),  # a non-ASCII digit
        (b"18446744073709551616", PARSE_INT % "PosOverflow"),
        (b"99999999999999999999", PARSE_INT % "PosOverflow"),
        (b"+18446744073709551616", PARSE_INT % "PosOverflow"),
        (b"\xff", UTF8 % (0, "Some(1)")),
        (b"12\xff", UTF8 % (2, "Some(1)")),
        (b"\xc0\x80", UTF8 % (0, "Some(1)")),  # overlong
        (b"\xe0\x80\x80", UTF8 % (0, "Some(1)")),  # overlong
        (b"\xed\xa0\x80", UTF8 % (0, "Some(1)")),  # surrogate
        (b"\xf4\x90\x80\x80", UTF8 % (0, "Some(1)")),  # above U+10FFFF
        (b"\xe2\x82A", UTF8 % (0, "Some(2)")),
        (b"1\xf0\x90\x80A", UTF8 % (1, "Some(3)")),
        (b"\xc3", UTF8 % (0, "None")),  # truncated
        (b"7\xe2\x82", UTF8 % (1, "None")),
        (b"\xf0\x90\x80", UTF8 % (0, "None")),
        (b"-\xff", UTF8 % (1, "Some(1)")),  # UTF-8 is checked first
    ],
)
def test_header_rejected(header, message, panics):
    image = lines(b">" + header, b"ACGT")
    assert panic_message(image) == message
    assert panics.take() == [message]
    with pytest.raises(ref.HeaderError) as caught:
        ref.parse_file(image, True)
    assert caught.value.message == message


def test_header_at_end_of_file_without_newline(panics):
    assert panic_message(lines(b">1", b"A", b">x", final_newline=False)) == PARSE_INT % "InvalidDigit"
    assert panic_message(b">") == PARSE_INT % "Empty"
    assert panics.take() == [PARSE_INT % "InvalidDigit", PARSE_INT % "Empty"]


def test_bad_header_outside_the_range_is_not_read():
    image = lines(b">1", b"A", b">x", b"C")
    assert parse(image, 0, 5) == ([1], bytes([4]), [0, 1])


def test_panic_report_on_stderr(capfd):
    capfd.readouterr()
    panic_message(lines(b">-5", b"A"))
    err = capfd.readouterr().err
    assert re.fullmatch(
        r"thread '<unnamed>' panicked at src/fasta/records\.cpp:\d+:\d+:\n" + re.escape(PARSE_INT % "InvalidDigit") + "\n",
        err,
    )


# ---------------------------------------------------------------------------
# Random files: every chunking gives the single-chunk parse


def number_text(value):
    return st.sampled_from(["", "+", "0", "00"]).map(lambda prefix: (prefix + str(value)).encode())


valid_header = st.integers(0, 2**64 - 1).flatmap(number_text).map(lambda text: b">" + text)
bad_header = st.sampled_from([b">", b">-1", b">1\r", b">x", b">18446744073709551616", b">\xff", b">1 "])


def sequence(line):
    # A line that starts with '>' is a header, not a sequence line.
    return b"A" + line[1:] if line.startswith(b">") else line


sequence_line = st.one_of(
    st.binary(max_size=80).map(lambda b: b.replace(b"\n", b"A")),
    st.text("ACGTUNacgu>*-\r ", max_size=70).map(str.encode),
    st.just(b""),
).map(sequence)


@st.composite
def fasta_images(draw, headers=valid_header, preamble_chars="xyzACGT \r"):
    """Preamble lines, a first header (perhaps mid-line), then headers and
    sequence lines in any order, with or without a final '\n'."""
    preamble = draw(st.lists(st.text(preamble_chars, max_size=10).map(str.encode), max_size=3))
    lead = draw(st.sampled_from([b"", b"x", b"AC "]))
    first = draw(headers)
    body = draw(st.lists(st.one_of(headers, sequence_line), max_size=40))
    image = b"\n".join([*preamble, lead + first, *body])
    if draw(st.booleans()):
        image += b"\n"
    return image


@st.composite
def cut_points(draw, image):
    k = draw(st.integers(1, 8))
    cuts = sorted(draw(st.lists(st.integers(0, len(image)), min_size=k - 1, max_size=k - 1)))
    return [0, *cuts, len(image)]


def parse_in_chunks(image, cuts, is_rna):
    return [hooks.parse_chunk(image, start, end, is_rna) for start, end in zip(cuts, cuts[1:])]


@settings(max_examples=400, deadline=None, derandomize=True, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data(), image=fasta_images(), is_rna=st.booleans())
def test_any_chunking_gives_the_single_parse(data, image, is_rna):
    single = parse(image, is_rna=is_rna)
    assert single == ref.parse_file(image, is_rna)
    ids, tokens, offsets = single
    assert offsets[0] == 0 and offsets[-1] == len(tokens) and len(offsets) == len(ids) + 1
    assert all(a <= b for a, b in zip(offsets, offsets[1:]))

    cuts = data.draw(cut_points(image))
    chunks = parse_in_chunks(image, cuts, is_rna)
    for (start, end), chunk in zip(zip(cuts, cuts[1:]), chunks):
        assert chunk == ref.parse_chunk(image, start, end, is_rna)
    assert ref.merge(chunks) == single
    # Chunks that start at or beyond the end own nothing.
    assert parse(image, len(image), len(image) + 10, is_rna) == ([], b"", [0])


@settings(
    max_examples=200,
    deadline=None,
    derandomize=True,
    database=None,
    # `panics` is read at the end of every example.
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)
@given(
    data=st.data(),
    image=fasta_images(headers=st.one_of(valid_header, bad_header), preamble_chars="xyz>ACGT \r"),
)
def test_first_failing_chunk_reports_the_first_bad_header(data, image, panics):
    panics.take()  # the reports of an example that Hypothesis abandoned half-way
    try:
        expected = ref.parse_file(image, True)
        message = None
    except ref.HeaderError as error:
        message = error.message
    if message is None:
        assert parse(image) == expected
        return
    assert panic_message(image) == message
    cuts = data.draw(cut_points(image))
    for start, end in zip(cuts, cuts[1:]):
        try:
            hooks.parse_chunk(image, start, end, True)
        except BaseException as failure:
            assert type(failure).__name__ == "PanicException"
            assert str(failure) == message
            break
    else:
        pytest.fail("no chunk failed")
    assert panics.take() == [message, message]
