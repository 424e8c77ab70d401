// FASTA files with numbered records turned into token arrays.
//
// A file is read whole, cut into chunks (one per worker from 100000 bytes
// on), each chunk parsed on the pool into a `ChunkResult`, and the results
// merged in chunk order into the (tokens, offsets, ids) buffers. Python-free:
// the Python edge of `parse_fasta` lives in lib.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "buffer.hpp"

namespace veltra::fasta {

// Token code of every byte value.
using TokenTable = std::array<std::uint8_t, 256>;

// Nucleotide codes when `is_rna`, protein codes otherwise.
TokenTable build_token_table(bool is_rna);

// What one chunk yields: one entry per sequence line of the records whose
// header lies in the chunk. `offsets` starts with 0 and has one element more
// than `ids`.
struct ChunkResult {
    Buffer<std::uint64_t> ids;
    Buffer<std::uint8_t> tokens;
    Buffer<std::int64_t> offsets;
};

// Parses the records whose '>' lies in [start, end) of `image`, reading each
// one to its last line even past `end`. A header that is not an unsigned
// decimal number panics.
ChunkResult parse_chunk(std::span<const std::uint8_t> image, std::size_t start, std::size_t end,
                        const TokenTable& table);

struct Parsed {
    Buffer<std::uint8_t> tokens;
    Buffer<std::int64_t> offsets;
    Buffer<std::uint64_t> ids;
};

// Joins chunk results in the given order, releasing each as it goes.
Parsed merge_chunk_results(std::vector<ChunkResult>&& chunks);

// The whole driver below the Python edge: progress lines, the file read, the
// chunk plan, the parallel parse and the merge. Failures panic.
Parsed parse_file(std::string_view path, bool is_rna);

}  // namespace veltra::fasta
