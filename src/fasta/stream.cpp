// The streamed parse: the record machine over pieces of the stream, from the
// stream's first byte on.
#include "fasta/stream.hpp"

#include "panic.hpp"

namespace veltra::fasta {

StreamParser::StreamParser(const kernel::Tables& tables, const kernel::Kernel& kernel)
    : parser_(0, no_record, Parser::State::preamble, GrowingRoom(), tables, kernel) {}

bool StreamParser::feed(std::span<const std::uint8_t> bytes) {
    return parser_.feed(bytes);
}

void StreamParser::fail() const {
    parser_.refused_header().fail();
}

Parsed StreamParser::finish() {
    if (!parser_.finish())
        fail();
    return parser_.sink().room().take();
}

}  // namespace veltra::fasta
