// The AVX-512 kernel: 64 bytes per vector, with byte-masked loads and stores
// for the last bytes of a window or a line (masked-off bytes are neither read
// nor written, so they cannot fault or race), and one byte permutation over
// the 64 codes of 0x40..0x7F (VBMI).
#include <immintrin.h>

#include <bit>

#include "kernel_variants.hpp"

#define VELTRA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi,bmi2,popcnt")))

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

// p[0, len) to dst[0, len), len known.
VELTRA_AVX512 inline void translate_exact(const std::uint8_t* p, std::size_t len, std::uint8_t* dst,
                                          __m512i upper, __m512i fallback) {
    std::size_t i = 0;
    for (; i + 64 <= len; i += 64)
        _mm512_storeu_si512(dst + i, translate64(_mm512_loadu_si512(p + i), upper, fallback));
    if (i < len) {
        const __mmask64 rest = first_bytes(len - i);
        _mm512_mask_storeu_epi8(dst + i, rest,
                                translate64(_mm512_maskz_loadu_epi8(rest, p + i), upper, fallback));
    }
}

// The line ends come from the '\n' masks of whole blocks, found ahead of the
// translation, so the next line's start never waits for a search. What the
// loop reads of `out` and `tables` is copied first: every store of codes may
// alias them as far as the compiler knows.
VELTRA_AVX512 Lines lines_avx512(const std::uint8_t* p, std::size_t n, const LinesOut& out,
                                 const Tables& tables) {
    const __m512i newline = _mm512_set1_epi8('\n');
    const __m512i gt = _mm512_set1_epi8('>');
    const __m512i upper = _mm512_loadu_si512(tables.upper.data());
    const __m512i fallback = _mm512_set1_epi8(static_cast<char>(tables.fallback));
    const bool shaped = tables.shaped;
    const std::uint8_t* const table = tables.table.data();
    std::uint8_t* const tokens = out.tokens;
    std::int64_t* const ends = out.ends;
    const std::size_t token_room = out.token_room;
    const std::size_t end_room = out.end_room;
    const std::int64_t base = out.base;
    std::size_t used = 0, lines_done = 0, written = 0;
    std::uint64_t carry = 1;
    for (std::size_t i = 0; i < n; i += 64) {
        const __mmask64 valid = n - i >= 64 ? ~__mmask64{0} : first_bytes(n - i);
        const __m512i v = _mm512_maskz_loadu_epi8(valid, p + i);
        std::uint64_t lines = _mm512_mask_cmpeq_epi8_mask(valid, v, newline);
        const std::uint64_t starts = _mm512_mask_cmpeq_epi8_mask(valid, v, gt) & (lines << 1 | carry);
        carry = lines >> 63;
        if (starts != 0)
            lines = _bzhi_u64(lines, static_cast<unsigned>(std::countr_zero(starts)));
        for (; lines != 0; lines = _blsr_u64(lines)) {
            const std::size_t end = i + static_cast<std::size_t>(std::countr_zero(lines));
            const std::size_t len = end - used;
            if (len > token_room - written || lines_done == end_room) [[unlikely]]
                return {used, lines_done, written};
            if (shaped) [[likely]]
                translate_exact(p + used, len, tokens + written, upper, fallback);
            else
                translate_bytes(p + used, len, tokens + written, table);
            written += len;
            ends[lines_done++] = base + static_cast<std::int64_t>(written);
            used = end + 1;
        }
        if (starts != 0)
            break;
    }
    return {used, lines_done, written};
}

}  // namespace

extern const Kernel avx512{"avx512", scan_avx512, translate_avx512, lines_avx512};

}  // namespace veltra::fasta::kernel
