"""A slow, plain model of the FASTA parse, for checking the native one.

A parse yields (ids, tokens, offsets): a list of record identifiers, one per
sequence line; the token codes of all sequence lines as bytes; and the list of
line boundaries within the tokens, starting with 0. A header that is not an
unsigned decimal number raises `HeaderError` with the message of the panic
that the native parser raises.
"""

NUCLEOTIDES = (3, b"AGCTU", (4, 5, 6, 7, 7))
PROTEINS = (29, b"ACDEFGHIKLMNPQRSTVWY", tuple(range(8, 28)))

U64_MAX = 2**64 - 1
UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "


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
        raise HeaderError(
            f"{UNWRAP_ERR}Utf8Error {{ valid_up_to: {error.start}, error_len: {error_len} }}"
        ) from None
    digits = decoded[1:] if decoded[:1] == "+" else decoded

    def fail(kind):
        return HeaderError(f"{UNWRAP_ERR}ParseIntError {{ kind: {kind} }}")

    if decoded == "":
        raise fail("Empty")
    if digits == "":
        raise fail("InvalidDigit")
    # Left to right, as the digits are read: whichever comes first, a
    # non-digit or the value leaving 64 bits, decides the kind.
    value = 0
    for char in digits:
        if char not in "0123456789":
            raise fail("InvalidDigit")
        value = value * 10 + int(char)
        if value > U64_MAX:
            raise fail("PosOverflow")
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


def merge(chunks):
    """Chunk results joined in the given order."""
    ids, tokens, offsets = [], bytearray(), [0]
    for chunk_ids, chunk_tokens, chunk_offsets in chunks:
        base = len(tokens)
        ids += chunk_ids
        tokens += chunk_tokens
        offsets += [base + offset for offset in chunk_offsets[1:]]
    return ids, bytes(tokens), offsets
