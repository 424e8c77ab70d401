// The two passes over one chunk, shared by the driver and `parse_chunk`.
//
// A chunk reads its bytes through a `Reader` (fasta/source.hpp). The first
// pass finds the chunk's records, checks their headers and counts their lines
// and tokens; the second writes the lines into regions that the caller sized
// from those counts, taking the ids that the first pass read. Both feed the
// record machine of fasta/records.hpp. A file that changed in between makes
// the second pass fail, or gives lines of the new bytes with ids of the old
// ones, never a write out of its region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "buffer.hpp"
#include "fasta.hpp"
#include "fasta/kernel.hpp"
#include "fasta/source.hpp"
#include "sys.hpp"

namespace veltra::fasta {

// What the first pass learns about a chunk: its records lie in [first, stop)
// and hold `entries` sequence lines of `tokens` bytes in all; `ids` are the
// ids of its first headers, in order, which the second pass takes instead of
// reading those headers again.
struct ChunkPlan {
    std::uint64_t first = 0;
    std::uint64_t stop = 0;
    std::size_t entries = 0;
    std::size_t tokens = 0;
    Buffer<std::uint64_t> ids;
};

// Memory for the ids that the first passes of all chunks of a file hand to
// the second: bounded, so that a file of tiny records needs no more beside
// its results. Headers past it are read again by the second pass.
inline constexpr std::size_t handed_ids_bytes = std::size_t{16} << 20;

// First pass over the chunk whose headers lie in [start, end), keeping at
// most `id_budget` ids.
ChunkPlan scan_chunk(Reader& reader, std::uint64_t start, std::uint64_t end, const kernel::Kernel& kernel,
                     std::size_t id_budget);

// Where the second pass writes one chunk: `tokens` bytes, and for each of its
// `entries` lines its end (counted from the start of the whole result, so
// `token_base` is the tokens of the chunks before it) and its identifier.
// `ahead`, where set, are the ranges of fresh memory that hold the tokens,
// the line ends and the ids, in this order, whose pages are made present
// ahead of the writes.
struct ChunkOutput {
    std::uint8_t* tokens;
    std::int64_t* ends;
    std::uint64_t* ids;
    std::int64_t token_base;
    sys::WriteAhead* ahead = nullptr;
};

// Second pass: writes exactly what `plan` counted, or fails with a read
// error (kind InvalidData) when the bytes are no longer those of the first
// pass.
void fill_chunk(Reader& reader, const ChunkPlan& plan, const ChunkOutput& out, const kernel::Tables& tables,
                const kernel::Kernel& kernel);

}  // namespace veltra::fasta
