"""A failed parse says where in its exception's notes: the file, what was being done, and for a
header that is not a number its line, offset and text. The class, the message and the report on
standard error stay as they are; the notes are the same for any worker count."""

import base64

import pytest

from conftest import ParseWorker, report_messages
from test_fasta_gzip import bgzf_member, member

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
INVALID_DIGIT = UNWRAP + "ParseIntError { kind: InvalidDigit }"
FORMAT = "a header must be '>' followed by a decimal record number, e.g. '>42'; records must be numbered first"
WINDOWS = "the header ends in '\\r': the file has Windows line ends; convert it first (e.g. dos2unix)"

# Two chunks with two workers; the bad header lies in the second.
RECORDS = b"".join(b">%d\nACGT\nGG\n" % i for i in range(1, 12001))
BAD = RECORDS.replace(b"\n>9000\n", b"\n>9x00\n")
BGZF_MEMBERS = [bgzf_member(BAD[i : i + 3000]) for i in range(0, len(BAD), 3000)]


def header_note(image, header, compressed=False):
    gt = (b"\n" + image).index(b"\n>" + header + b"\n")
    where = f"byte offset {gt}" + (" of the decompressed text" if compressed else "")
    line = image.count(b"\n", 0, gt) + 1
    return f"header at line {line} ({where}): {header.decode()!r}"


def flipped(data, at):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1 :]


CRLF_NAME = b">1\nA\r\n>chr1\r\nAC\r\n"
DAMAGED = UNWRAP + 'Error { kind: InvalidData, message: "%s" }'
# name: (file contents, message, notes after the path's)
CASES = {
    "plain": (BAD, INVALID_DIGIT, [header_note(BAD, b"9x00"), FORMAT]),
    "gzip": (member(BAD), INVALID_DIGIT, [header_note(BAD, b"9x00", compressed=True), FORMAT]),
    "bgzf": (b"".join(BGZF_MEMBERS), INVALID_DIGIT, [header_note(BAD, b"9x00", compressed=True), FORMAT]),
    # Only the line ends are wrong, or the header too.
    "crlf-number": (b">1\r\nAC\r\n", INVALID_DIGIT, ["header at line 1 (byte offset 0): '1\\r'", WINDOWS]),
    "crlf-name": (CRLF_NAME, INVALID_DIGIT, [header_note(CRLF_NAME, b"chr1\r"), FORMAT, WINDOWS]),
    "not-utf8": (b">1\xff\n", UNWRAP + "Utf8Error { valid_up_to: 1, error_len: Some(1) }",
                 ["header at line 1 (byte offset 0): b'1\\xff'", FORMAT]),
    # The sequence that the 80th byte cuts is left out.
    "long": (b">A" + "é".encode() * 50 + b"\n", INVALID_DIGIT,
             ["header at line 1 (byte offset 0), its first 79 bytes: " + repr("A" + "é" * 39), FORMAT]),
    "missing": (None, UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }',
                ["while opening the file"]),
    "directory": ("dir", UNWRAP + 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }',
                  ["while reading the file"]),
    "changed": (RECORDS, DAMAGED % "file changed while it was being parsed",
                ["the file changed between the two passes over it; parse it again once nothing writes to it"]),
    "gzip-cut": (member(RECORDS)[:-5], DAMAGED % "unexpected end of gzip stream",
                 ["in the gzip member at compressed byte offset 0"]),
    "bgzf-damaged": (b"".join(BGZF_MEMBERS[:7]) + flipped(BGZF_MEMBERS[7], 40) + b"".join(BGZF_MEMBERS[8:]),
                     DAMAGED % "invalid gzip data",
                     [f"in the gzip member at compressed byte offset {len(b''.join(BGZF_MEMBERS[:7]))}"]),
    "gzip-trailing": (member(RECORDS) + b"junk", DAMAGED % "trailing data after gzip stream",
                      [f"after the last whole gzip member, at compressed byte offset {len(member(RECORDS))}"]),
}


@pytest.fixture(scope="module")
def workers(tmp_path_factory):
    directory = tmp_path_factory.mktemp("note-workers")
    started = [ParseWorker(n, directory) for n in (1, 2)]
    yield started
    for worker in started:
        worker.close()


@pytest.mark.parametrize("name", CASES)
def test_failure_notes(workers, tmp_path, name):
    contents, message, notes = CASES[name]
    path = tmp_path / name
    request = {"path": str(path), "is_rna": True}
    if contents == "dir":
        path.mkdir()
    if name == "changed":
        pytest.importorskip("_veltra_testing")
        # Rewritten between the two passes by the test module's parser.
        request.update(hooks=True, contents=base64.b64encode(contents[: len(contents) // 2]).decode())
    for worker in workers:
        if isinstance(contents, bytes):
            path.write_bytes(contents)
        worker.send(request)
        reply = worker.receive()
        assert reply["error"] == ["PanicException", message], worker.workers
        assert reply["notes"] == [f"while parsing FASTA file {str(path)!r}", *notes], worker.workers
        # Each failing chunk reports the message alone.
        assert set(report_messages(reply["err"])) == {message}
