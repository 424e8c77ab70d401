// FASTA files with numbered records turned into token arrays.
//
// A file is cut into chunks (one per worker from 100000 bytes on) and parsed
// in two passes on the pool: the first counts each chunk's sequence lines and
// tokens, the second writes them in place into result buffers allocated once
// at their exact sizes. A regular file is read by each worker for its own
// chunk; anything else (FIFOs, /proc files) is read whole first. A large
// regular file is instead cut into pieces that each fit a read window and
// are counted and written back to back, so that it is read once
// (fasta/pieces.hpp). Python-free: the Python edge of `parse_fasta` lives in
// lib.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "buffer.hpp"
#include "fasta/kernel.hpp"

namespace veltra::fasta {

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
                        const TokenTable& table, const kernel::Kernel& kernel = kernel::selected());

struct Parsed {
    Buffer<std::uint8_t> tokens;
    Buffer<std::int64_t> offsets;
    Buffer<std::uint64_t> ids;
};

// The whole driver below the Python edge: progress lines, the file read, the
// chunk plan and both passes. Failures panic, with notes that name the file
// and say where in it (fasta/failures.hpp).
Parsed parse_file(std::string_view path, bool is_rna, const kernel::Kernel& kernel = kernel::selected());

// Run, when set, between the two passes over a file's chunks, with its path
// (a file parsed in pieces has no such moment). Lets tests change a file
// while it is being parsed; nothing else sets it.
extern void (*between_passes)(std::string_view path);

}  // namespace veltra::fasta
