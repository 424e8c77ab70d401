// What the kernel files share among themselves; the rest of the module sees
// only kernel.hpp.
//
// The vector kernels are compiled with per-function target attributes, not
// per-file flags: a file built with -mavx2 would also emit its inline library
// functions with AVX2 instructions, and the linker may keep that copy for
// callers anywhere in the module, which then fault on CPUs without AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel.hpp"

namespace veltra::fasta::kernel {

// Defined in their own files; taken only when the CPU reports the features
// in their target strings.
extern const Kernel avx2;
extern const Kernel avx512;

// The table lookup of p[0, len) byte by byte: what every kernel does for a
// table whose codes do not fit its vectors. Plain code, so any kernel may
// inline it.
inline void translate_bytes(const std::uint8_t* __restrict p, std::size_t len, std::uint8_t* __restrict dst,
                            const std::uint8_t* __restrict table) {
    for (std::size_t i = 0; i < len; ++i)
        dst[i] = table[p[i]];
}

}  // namespace veltra::fasta::kernel
