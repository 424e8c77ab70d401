// A large regular file parsed in pieces that each fit a read window, so that
// every byte is read from the file once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fasta.hpp"
#include "fasta/kernel.hpp"
#include "fasta/source.hpp"

namespace veltra::fasta {

// Regular files of this many bytes or more are parsed in pieces; smaller
// ones in two passes over one chunk per worker (chunk.hpp), which read every
// byte twice but know their results' sizes before writing them. Tests lower
// it.
inline constexpr std::uint64_t default_pieces_from = std::uint64_t{32} << 20;
extern std::uint64_t pieces_from;

// Parses the regular file `source` on `workers` workers. The result is that
// of the two passes over chunks, and so is every failure, the first in the
// file deciding.
Parsed parse_in_pieces(const Source& source, std::size_t workers, const kernel::Tables& tables,
                       const kernel::Kernel& kernel);

}  // namespace veltra::fasta
