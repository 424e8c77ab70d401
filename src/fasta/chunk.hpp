// The two passes over one chunk, shared by the driver and `parse_chunk`.
//
// A chunk reads its bytes through a `Reader` (fasta/source.hpp). The first pass finds the chunk's records and
// counts their lines and tokens; the second writes them into regions that the
// caller sized from those counts. Nothing is trusted between the passes: a
// file that changed in between makes the second pass fail, never write out of
// its region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "buffer.hpp"
#include "fasta.hpp"
#include "fasta/kernel.hpp"
#include "fasta/source.hpp"

namespace veltra::fasta {

// The record identifier of a header's text (the bytes after '>'); a header
// that is not a number panics with the message users see.
std::uint64_t read_header(std::string_view text);
// The same without the panic: nothing for a header that is not a number.
std::optional<std::uint64_t> header_number(std::string_view text) noexcept;

// What the first pass learns about a chunk: its records lie in [first, stop)
// and hold `entries` sequence lines of `tokens` bytes in all.
struct ChunkPlan {
    std::uint64_t first = 0;
    std::uint64_t stop = 0;
    std::size_t entries = 0;
    std::size_t tokens = 0;
};

// First pass over the chunk whose headers lie in [start, end).
ChunkPlan scan_chunk(Reader& reader, std::uint64_t start, std::uint64_t end, const kernel::Kernel& kernel);

// Where the second pass writes one chunk: `tokens` bytes, and for each of its
// `entries` lines its end (counted from the start of the whole result, so
// `token_base` is the tokens of the chunks before it) and its identifier.
struct ChunkOutput {
    std::uint8_t* tokens;
    std::int64_t* ends;
    std::uint64_t* ids;
    std::int64_t token_base;
};

// Second pass: writes exactly what `plan` counted, or fails with a read
// error (kind InvalidData) when the bytes are no longer those of the first
// pass.
void fill_chunk(Reader& reader, const ChunkPlan& plan, const ChunkOutput& out, const kernel::Tables& tables,
                const kernel::Kernel& kernel);

}  // namespace veltra::fasta
