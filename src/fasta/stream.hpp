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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "buffer.hpp"
#include "fasta.hpp"
#include "fasta/kernel.hpp"
#include "fasta/records.hpp"

namespace veltra::fasta {

// Result buffers that grow as the lines come.
class GrowingRoom {
public:
    GrowingRoom() { out_.offsets.push_back(0); }

    void ensure(std::size_t n) {
        out_.tokens.reserve(n);
        out_.offsets.reserve(n);
        out_.ids.reserve(n);
    }

    kernel::LinesOut lines_out() noexcept {
        return {out_.tokens.end(), out_.tokens.capacity() - out_.tokens.size(), out_.offsets.end(),
                out_.offsets.capacity() - out_.offsets.size(), static_cast<std::int64_t>(out_.tokens.size())};
    }

    // `ensure` gave room for as many ids as lines.
    void wrote_lines(std::size_t lines, std::size_t tokens, std::uint64_t id) noexcept {
        out_.tokens.set_size(out_.tokens.size() + tokens);
        out_.offsets.set_size(out_.offsets.size() + lines);
        std::fill_n(out_.ids.end(), lines, id);
        out_.ids.set_size(out_.ids.size() + lines);
    }

    std::uint8_t* token_end() noexcept { return out_.tokens.end(); }
    std::size_t token_room() const noexcept { return out_.tokens.capacity() - out_.tokens.size(); }
    void wrote_tokens(std::size_t n) noexcept { out_.tokens.set_size(out_.tokens.size() + n); }

    void end_line(std::uint64_t id) {
        out_.offsets.push_back(static_cast<std::int64_t>(out_.tokens.size()));
        out_.ids.push_back(id);
    }

    // `ensure` always makes room for a whole piece.
    [[noreturn]] void overflow() const { panic("a line outgrew the room made for it"); }

    // Each buffer cut to its length.
    Parsed take() {
        out_.tokens.shrink_to_fit();
        out_.offsets.shrink_to_fit();
        out_.ids.shrink_to_fit();
        return std::move(out_);
    }

private:
    Parsed out_;
};

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
    using Parser = RecordParser<LineWriter<GrowingRoom>>;
    Parser parser_;
};

}  // namespace veltra::fasta
