// The AVX-512 kernel: 64 bytes per vector, with byte-masked loads and stores
// for the last bytes of a window or a line (masked-off bytes are neither read
// nor written, so they cannot fault or race), one byte permutation over the
// 64 codes of 0x40..0x7F (VBMI), and byte compression for runs of lines
// (VBMI2).
#include <immintrin.h>

#include <bit>

#include "kernel_variants.hpp"

#define VELTRA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))

namespace veltra::fasta::kernel {

namespace {

// The mask of the first `k` bytes, k <= 64.
VELTRA_AVX512 inline __mmask64 first_bytes(std::size_t k) {
    return _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(k));
}

VELTRA_AVX512 Scan scan_avx512(const std::uint8_t* p, std::size_t n, bool line_start) {
    const __m512i newline = _mm512_set1_epi8('\n');
    const __m512i gt = _mm512_set1_epi8('>');
    std::uint64_t carry = line_start ? 1 : 0;
    std::size_t newlines = 0;
    for (std::size_t i = 0; i < n; i += 64) {
        const __mmask64 valid = n - i >= 64 ? ~__mmask64{0} : first_bytes(n - i);
        const __m512i v = _mm512_maskz_loadu_epi8(valid, p + i);
        const std::uint64_t lines = _mm512_mask_cmpeq_epi8_mask(valid, v, newline);
        const std::uint64_t gts = _mm512_mask_cmpeq_epi8_mask(valid, v, gt);
        const std::uint64_t starts = gts & (lines << 1 | carry);
        if (starts != 0) {
            const unsigned at = static_cast<unsigned>(std::countr_zero(starts));
            return {i + at, newlines + static_cast<std::size_t>(std::popcount(_bzhi_u64(lines, at)))};
        }
        newlines += static_cast<std::size_t>(std::popcount(lines));
        carry = lines >> 63;
    }
    return {n, newlines};
}

// Bytes whose top two bits are 01 take their code from the permutation, which
// reads only the low six bits of each index; all others the fallback.
VELTRA_AVX512 inline __m512i translate64(__m512i v, __m512i upper, __m512i fallback) {
    const __mmask64 own = _mm512_cmpeq_epi8_mask(
        _mm512_and_si512(v, _mm512_set1_epi8(static_cast<char>(0xC0))), _mm512_set1_epi8(0x40));
    return _mm512_mask_permutexvar_epi8(fallback, own, v, upper);
}

VELTRA_AVX512 std::size_t translate_avx512(const std::uint8_t* __restrict p, std::size_t n,
                                           std::uint8_t* __restrict dst, const Tables& tables) {
    const __m512i newline = _mm512_set1_epi8('\n');
    const bool shaped = tables.shaped;
    const __m512i upper = _mm512_loadu_si512(tables.upper.data());
    const __m512i fallback = _mm512_set1_epi8(static_cast<char>(tables.fallback));
    for (std::size_t i = 0; i < n; i += 64) {
        const __mmask64 valid = n - i >= 64 ? ~__mmask64{0} : first_bytes(n - i);
        const __m512i v = _mm512_maskz_loadu_epi8(valid, p + i);
        const std::uint64_t lines = _mm512_mask_cmpeq_epi8_mask(valid, v, newline);
        const std::size_t len = lines != 0 ? static_cast<std::size_t>(std::countr_zero(lines))
                                           : static_cast<std::size_t>(std::popcount(valid));
        if (!shaped) [[unlikely]]
            translate_bytes(p + i, len, dst + i, tables.table.data());
        else if (len < 64)
            _mm512_mask_storeu_epi8(dst + i, first_bytes(len), translate64(v, upper, fallback));
        else
            _mm512_storeu_si512(dst + i, translate64(v, upper, fallback));
        if (len < 64)
            return i + len;
    }
    return n;
}

// The lines of a block of 64 bytes at once: its codes are translated
// together, the '\n' bytes squeezed out of them (VBMI2), and the codes stored
// back to back; each line end then only needs its position in the block, so
// a line costs the same few instructions however short, and a long one no
// second load. What the loop reads of `out` and `tables` is copied first:
// every store of codes may alias them as far as the compiler knows. An
// unshaped table has a loop of its own, so that its byte lookups leave the
// registers of the other alone.
template <bool shaped>
VELTRA_AVX512 inline Lines lines_by_block(const std::uint8_t* p, std::size_t n, const LinesOut& out,
                                          const Tables& tables) {
    const __m512i newline = _mm512_set1_epi8('\n');
    const __m512i gt = _mm512_set1_epi8('>');
    const __m512i upper = _mm512_loadu_si512(tables.upper.data());
    const __m512i fallback = _mm512_set1_epi8(static_cast<char>(tables.fallback));
    const std::uint8_t* const table = tables.table.data();
    std::uint8_t* const tokens = out.tokens;
    std::int64_t* const ends = out.ends;
    const std::size_t token_room = out.token_room;
    const std::size_t end_room = out.end_room;
    const std::int64_t base = out.base;
    std::size_t used = 0, lines_done = 0, written = 0;
    std::size_t stored = 0;  // codes stored, those of the line under way included
    std::uint64_t carry = 1;
    for (std::size_t i = 0; i < n; i += 64) {
        __mmask64 valid = n - i >= 64 ? ~__mmask64{0} : first_bytes(n - i);
        __m512i v = _mm512_maskz_loadu_epi8(valid, p + i);
        std::uint64_t lines = _mm512_mask_cmpeq_epi8_mask(valid, v, newline);
        // Whole blocks inside a line, as long lines are made of: no line
        // starts in them, and nothing is squeezed out.
        while (shaped && (lines | carry) == 0 && valid == ~__mmask64{0} && token_room - stored >= 64) {
            _mm512_storeu_si512(tokens + stored, translate64(v, upper, fallback));
            stored += 64;
            i += 64;
            if (i == n)
                return {used, lines_done, written};
            valid = n - i >= 64 ? ~__mmask64{0} : first_bytes(n - i);
            v = _mm512_maskz_loadu_epi8(valid, p + i);
            lines = _mm512_mask_cmpeq_epi8_mask(valid, v, newline);
        }
        const std::uint64_t starts = _mm512_mask_cmpeq_epi8_mask(valid, v, gt) & (lines << 1 | carry);
        carry = lines >> 63;
        std::uint64_t taken = valid;
        if (starts != 0) {
            taken = _bzhi_u64(taken, static_cast<unsigned>(std::countr_zero(starts)));
            lines &= taken;
        }
        __m512i codes;
        if constexpr (shaped) {
            codes = translate64(v, upper, fallback);
        } else {
            alignas(64) std::uint8_t bytes[64];
            translate_bytes(p + i, std::min<std::size_t>(n - i, 64), bytes, table);
            codes = _mm512_load_si512(bytes);
        }
        const std::uint64_t kept = taken & ~lines;
        codes = _mm512_maskz_compress_epi8(kept, codes);
        const auto count = static_cast<std::size_t>(std::popcount(kept));
        const std::size_t fit = std::min(count, token_room - stored);
        if (fit == 64)
            _mm512_storeu_si512(tokens + stored, codes);
        else
            _mm512_mask_storeu_epi8(tokens + stored, first_bytes(fit), codes);
        // The j-th '\n' of the block, at position `at`, has `at - j` codes of
        // the block before it.
        for (std::size_t j = 0; lines != 0; lines = _blsr_u64(lines), ++j) {
            const auto at = static_cast<std::size_t>(std::countr_zero(lines));
            const std::size_t end = stored + at - j;
            if (end > token_room || lines_done == end_room) [[unlikely]]
                return {used, lines_done, written};
            ends[lines_done++] = base + static_cast<std::int64_t>(end);
            written = end;
            used = i + at + 1;
        }
        // At a header, or where the line under way no longer fits.
        if (starts != 0 || fit < count)
            break;
        stored += count;
    }
    return {used, lines_done, written};
}

VELTRA_AVX512 Lines lines_avx512(const std::uint8_t* p, std::size_t n, const LinesOut& out,
                                 const Tables& tables) {
    return tables.shaped ? lines_by_block<true>(p, n, out, tables) : lines_by_block<false>(p, n, out, tables);
}

}  // namespace

extern const Kernel avx512{"avx512", scan_avx512, translate_avx512, lines_avx512};

}  // namespace veltra::fasta::kernel
