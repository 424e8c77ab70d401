// The parse of a FASTA byte stream that arrives in pieces, in order.
//
// A compressed file cannot be read at arbitrary positions, so it is not cut
// into chunks: its decompressed bytes are parsed once, front to back, into
// result buffers that grow as they fill. The rules are those of a parse of the
// whole file as one chunk: the first '>' of the stream opens the first record
// wherever it stands, every later header starts a line, and a header that is
// not a number fails with the same message. Pieces may end anywhere, also
// inside a header or a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "buffer.hpp"
#include "fasta.hpp"
#include "fasta/kernel.hpp"

namespace veltra::fasta {

class StreamParser {
public:
    StreamParser(const kernel::Tables& tables, const kernel::Kernel& kernel);

    // The next bytes of the stream. False once a header that is not a number
    // has been met: the parse takes nothing more, and `fail` or `finish`
    // raise it. Not raised here, because the bytes of a compressed member
    // are only known to be the file's own once its checksum has passed.
    bool feed(std::span<const std::uint8_t> bytes);

    // Panics with the refused header's message.
    [[noreturn]] void fail() const;

    // The stream ended: checks a header left open at its end (and panics for
    // a refused one) and hands over the results, each buffer cut to its
    // length.
    Parsed finish();

private:
    enum class State { preamble, header, lines };

    void feed_lines(std::span<const std::uint8_t> bytes);
    void end_line();

    const kernel::Tables& tables_;
    const kernel::Kernel& kernel_;
    State state_ = State::preamble;
    bool refused_ = false;    // `header_` holds a header that is not a number
    bool line_start_ = true;  // in `lines`: the next byte begins a line
    std::uint64_t id_ = 0;
    std::string header_;
    Parsed out_;
};

}  // namespace veltra::fasta
