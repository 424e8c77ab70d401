// A compressed file parsed on the pool: its members inflated on some workers
// while another parses what they have inflated.
#pragma once

#include <cstddef>

#include "fasta.hpp"
#include "fasta/chunk.hpp"
#include "fasta/kernel.hpp"

namespace veltra::fasta {

// Parses the decompressed bytes of the gzip file `source` with `workers`
// workers taking part. The result is that of parsing those bytes as one
// chunk, and so is every failure, the first in the stream deciding.
Parsed parse_compressed(const Source& source, std::size_t workers, const kernel::Tables& tables,
                        const kernel::Kernel& kernel);

}  // namespace veltra::fasta
