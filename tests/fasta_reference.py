"""A slow, plain model of the FASTA parse, for checking the native one, with
the file builders and Hypothesis strategies that the FASTA tests share.

A parse yields (ids, tokens, offsets): a list of record identifiers, one per
sequence line; the token codes of all sequence lines as bytes; and the list of
line boundaries within the tokens, starting with 0. A header that is not an
unsigned decimal number raises `HeaderError` with the message of the panic
that the native parser raises.
"""

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

NUCLEOTIDES = (3, b"AGCTU", (4, 5, 6, 7, 7))
PROTEINS = (29, b"ACDEFGHIKLMNPQRSTVWY", tuple(range(8, 28)))

U64_MAX = 2**64 - 1
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "
PARSE_INT = UNWRAP_ERR + "ParseIntError { kind: %s }"
UTF8 = UNWRAP_ERR + "Utf8Error { valid_up_to: %d, error_len: %s }"
EMPTY = ([], b"", [0])


class HeaderError(Exception):
    @property
    def message(self):
        return self.args[0]


def token_table(is_rna):
    default, letters, codes = NUCLEOTIDES if is_rna else PROTEINS
    table = [default] * 256
    for letter, code in zip(letters, codes):
        table[letter] = code
    return bytes(table)


def header_id(text):
    """The identifier in a header's text (the bytes after '>')."""
    try:
        decoded = text.decode("utf-8")
    except UnicodeDecodeError as error:
        truncated = error.reason == "unexpected end of data"
        error_len = "None" if truncated else f"Some({error.end - error.start})"
        raise HeaderError(UTF8 % (error.start, error_len)) from None
    digits = decoded[1:] if decoded[:1] == "+" else decoded
    if decoded == "":
        raise HeaderError(PARSE_INT % "Empty")
    if digits == "":
        raise HeaderError(PARSE_INT % "InvalidDigit")
    # Left to right, as the digits are read: whichever comes first, a
    # non-digit or the value leaving 64 bits, decides the kind.
    value = 0
    for char in digits:
        if char not in "0123456789":
            raise HeaderError(PARSE_INT % "InvalidDigit")
        value = value * 10 + int(char)
        if value > U64_MAX:
            raise HeaderError(PARSE_INT % "PosOverflow")
    return value


def records(image):
    """(position of '>', header text, sequence lines) of every record.

    The first '>' of the file opens the first record wherever it stands; after
    that only a '>' at the start of a line opens one.
    """
    first = image.find(b">")
    if first < 0:
        return []
    lines = image[first:].split(b"\n")
    if image.endswith(b"\n"):
        lines.pop()  # the final '\n' ends the last line; it starts none
    found = []
    position = first
    for line in lines:
        if line.startswith(b">"):
            found.append((position, line[1:], []))
        else:
            found[-1][2].append(line)
        position += len(line) + 1
    return found


def parse_chunk(image, start, end, is_rna):
    """The records whose '>' lies in [start, end), in file order."""
    table = token_table(is_rna)
    ids, tokens, offsets = [], bytearray(), [0]
    for position, header, lines in records(image):
        if not start <= position < end:
            continue
        record_id = header_id(header)
        for line in lines:
            tokens += line.translate(table)
            offsets.append(len(tokens))
            ids.append(record_id)
    return ids, bytes(tokens), offsets


def parse_file(image, is_rna):
    return parse_chunk(image, 0, len(image), is_rna)


def outcome(image, is_rna):
    """What a parse of the whole file gives: its result, or ("PanicException", message)."""
    try:
        return parse_file(image, is_rna)
    except HeaderError as error:
        return ("PanicException", error.message)


def merge(chunks):
    """Chunk results joined in the given order."""
    ids, tokens, offsets = [], bytearray(), [0]
    for chunk_ids, chunk_tokens, chunk_offsets in chunks:
        base = len(tokens)
        ids += chunk_ids
        tokens += chunk_tokens
        offsets += [base + offset for offset in chunk_offsets[1:]]
    return ids, bytes(tokens), offsets


# ---------------------------------------------------------------------------
# Files


def lines(*items, final_newline=True):
    return b"\n".join(items) + (b"\n" if final_newline else b"")


def numbered(count, body, first=1):
    """`count` records numbered from `first`, each followed by `body`."""
    return b"".join(b">%d\n" % i + body for i in range(first, first + count))


def progress(path, merged=True):
    """The progress lines of a parse of `path`; without the last one if it failed."""
    return f"Reading file\nParsing file {path} in chunks\n" + ("Merging result\n" if merged else "")


WORKED = lines(b">1", b"ACGT", b">2", b"GG", b"A")
WORKED_RESULT = ([1, 2, 2], bytes([4, 6, 5, 7, 5, 5, 4]), [0, 4, 6, 7])


# ---------------------------------------------------------------------------
# Hypothesis strategies

SETTINGS = dict(
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.function_scoped_fixture],
)


def examples(count):
    return settings(max_examples=count, **SETTINGS)


def number_text(value):
    return st.sampled_from(["", "+", "0", "000"]).map(lambda prefix: (prefix + str(value)).encode())


valid_header = st.one_of(st.integers(0, U64_MAX), st.integers(0, 99)).flatmap(number_text).map(lambda t: b">" + t)
bad_header = st.sampled_from([b">", b">-1", b">1\r", b">x", b">18446744073709551616", b">\xff", b">1 ", b">+"])
any_header = st.one_of(valid_header, valid_header, valid_header, bad_header)


def sequence(line):
    # A line that starts with '>' would be a header.
    return b"A" + line[1:] if line.startswith(b">") else line


sequence_line = st.one_of(
    st.binary(max_size=60).map(lambda b: b.replace(b"\n", b"C")),
    st.text("ACGTUNacgu>*-\r MKWY", max_size=70).map(str.encode),
    st.just(b""),
).map(sequence)

# Sizes to pad a file to, across the single-chunk limit.
SIZES = (99999, 100000, 100001, 150000, 400000)
FILLERS = [b"A", b"ACGT>", b"ac\rN\x80\xff", b"GATTACA\n>12\nAC>\n", b"TTT\n\n>+007\nC>>\n", b"\n"]


def pad_to(head, body, filler, size, final_newline):
    """The lines head + body * k + [padding] with k as large as fits and the
    padding (`filler` repeated, perhaps over several lines) making the file
    exactly `size` bytes; None if head alone is too long."""
    used = len(b"\n".join(head)) + (1 if final_newline else 0) + 1
    if used > size:
        return None
    unit = sum(len(line) + 1 for line in body)
    repeats = (size - used) // unit if unit else 0
    room = size - used - repeats * unit
    padding = (filler * (room // len(filler) + 1))[:room]
    last = padding.rfind(b"\n") + 1
    if padding[last:].startswith(b">"):  # a cut header might not be a number
        padding = padding[:last] + b"A" + padding[last + 1 :]
    return [*head, *body * repeats, padding]


@st.composite
def fasta_files(draw, headers=valid_header, preamble_chars="xyzACGT \r\t", padded=False):
    """Preamble lines, a first header (perhaps mid-line), then headers and
    sequence lines in any order, with or without a final '\n'; if `padded`,
    now and then repeated to one of SIZES."""
    preamble = draw(st.lists(st.text(preamble_chars, max_size=12).map(str.encode), max_size=3))
    if padded and draw(st.integers(0, 9)) == 0:
        preamble.append(b"\n".join([b"no record yet"] * draw(st.sampled_from([10, 12000]))))
    lead = draw(st.sampled_from([b"", b"", b"x", b"AC "]))  # the first '>' may stand mid-line
    head = [*preamble, lead + draw(headers)]
    body = draw(st.lists(st.one_of(headers, sequence_line), max_size=40))
    final_newline = draw(st.booleans())
    size = draw(st.sampled_from([None] * 6 + list(SIZES))) if padded else None
    filled = None if size is None else pad_to(head, body, draw(st.sampled_from(FILLERS)), size, final_newline)
    image = b"\n".join(filled or [*head, *body]) + (b"\n" if final_newline else b"")
    assert filled is None or len(image) == size
    return image
