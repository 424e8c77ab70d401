// The AVX2 kernel: 32 bytes per vector.
//
// AVX2 has no byte-masked loads or stores, so the last bytes of a window or a
// line are reached with loads and stores that end exactly at the limit and
// overlap bytes already done (rewriting the same codes), or, below 32 bytes,
// with narrower steps of the same kind.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernel_variants.hpp"

#define VELTRA_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt")))
#define VELTRA_AVX2_INLINE __attribute__((target("avx2,bmi,bmi2,popcnt"), always_inline)) inline

namespace veltra::fasta::kernel {

namespace {

VELTRA_AVX2_INLINE std::uint32_t byte_mask(__m256i v, __m256i byte) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, byte)));
}

// One byte at a time, for inputs too short for a vector.
VELTRA_AVX2 Scan scan_bytes(const std::uint8_t* p, std::size_t n, bool line_start, std::size_t from,
                            std::size_t newlines) {
    for (std::size_t i = from; i < n; ++i) {
        if (p[i] == '>' && (i == 0 ? line_start : p[i - 1] == '\n'))
            return {i, newlines};
        newlines += p[i] == '\n';
    }
    return {n, newlines};
}

VELTRA_AVX2 Scan scan_avx2(const std::uint8_t* p, std::size_t n, bool line_start) {
    if (n < 32)
        return scan_bytes(p, n, line_start, 0, 0);
    const __m256i newline = _mm256_set1_epi8('\n');
    const __m256i gt = _mm256_set1_epi8('>');
    std::uint64_t carry = line_start ? 1 : 0;
    std::size_t newlines = 0;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
        const std::uint64_t lines = byte_mask(a, newline) | std::uint64_t{byte_mask(b, newline)} << 32;
        const std::uint64_t gts = byte_mask(a, gt) | std::uint64_t{byte_mask(b, gt)} << 32;
        const std::uint64_t starts = gts & (lines << 1 | carry);
        if (starts != 0) {
            const unsigned at = static_cast<unsigned>(std::countr_zero(starts));
            return {i + at, newlines + static_cast<std::size_t>(std::popcount(_bzhi_u64(lines, at)))};
        }
        newlines += static_cast<std::size_t>(std::popcount(lines));
        carry = lines >> 63;
    }
    // At most two more blocks of 32; the last one ends at n and its bytes
    // before i, already scanned, are shifted out.
    while (i < n) {
        const std::size_t at = n - i < 32 ? n - 32 : i;
        const unsigned skip = static_cast<unsigned>(i - at);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + at));
        const std::uint64_t lines = byte_mask(v, newline) >> skip;
        const std::uint64_t gts = byte_mask(v, gt) >> skip;
        const std::uint64_t starts = gts & (lines << 1 | carry);
        if (starts != 0) {
            const unsigned k = static_cast<unsigned>(std::countr_zero(starts));
            return {i + k, newlines + static_cast<std::size_t>(std::popcount(_bzhi_u64(lines, k)))};
        }
        newlines += static_cast<std::size_t>(std::popcount(lines));
        carry = (lines >> (31 - skip)) & 1;
        i += 32 - skip;
    }
    return {n, newlines};
}

// The position of the first '\n' in p[from, n), or n.
VELTRA_AVX2 std::size_t find_newline(const std::uint8_t* p, std::size_t n, std::size_t from) {
    if (n < 32) {
        const void* newline = std::memchr(p + from, '\n', n - from);
        return newline == nullptr ? n
                                  : static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - p);
    }
    const __m256i newline = _mm256_set1_epi8('\n');
    std::size_t i = from;
    for (; i + 32 <= n; i += 32) {
        const std::uint32_t lines =
            byte_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), newline);
        if (lines != 0)
            return i + static_cast<std::size_t>(std::countr_zero(lines));
    }
    if (i == n)
        return n;
    const unsigned skip = static_cast<unsigned>(i - (n - 32));
    const std::uint32_t lines =
        byte_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 32)), newline) >> skip;
    return lines != 0 ? i + static_cast<std::size_t>(std::countr_zero(lines)) : n;
}

// The codes of 0x40..0x7F in four 16-byte quarters, each in both lanes and
// each XOR the fallback code, so that a quarter that does not hold a byte may
// contribute 0. Both alphabets give codes of their own only to upper-case
// letters, so their tables are narrow: the quarters of 0x60..0x7F hold nothing
// but the fallback and need no lookup.
struct Lookup {
    __m256i q0, q1, q2, q3, fallback;
};

VELTRA_AVX2_INLINE __m256i both_lanes(const std::uint8_t* codes, __m256i fallback) {
    return _mm256_xor_si256(
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes))), fallback);
}

VELTRA_AVX2_INLINE Lookup lookup_of(const Tables& tables) {
    const __m256i fallback = _mm256_set1_epi8(static_cast<char>(tables.fallback));
    const std::uint8_t* upper = tables.upper.data();
    return {both_lanes(upper, fallback), both_lanes(upper + 16, fallback), both_lanes(upper + 32, fallback),
            both_lanes(upper + 48, fallback), fallback};
}

VELTRA_AVX2_INLINE bool is_narrow(const Lookup& t) {
    return _mm256_testz_si256(_mm256_or_si256(t.q2, t.q3), _mm256_or_si256(t.q2, t.q3)) != 0;
}

// A shuffle reads the low nibble of each index byte, or gives 0 when its bit
// 7 is set. For quarter k the index is byte - (0x40 + 16k), saturated up by
// 0x70: bytes of that quarter land on 0x70..0x7F with their low nibble, all
// others (wrapped below 0 or at least 16) on 0x80 or more.
template <bool Wide>
VELTRA_AVX2_INLINE __m256i translate32(__m256i v, const Lookup& t) {
    const __m256i step = _mm256_set1_epi8(0x10);
    const __m256i lift = _mm256_set1_epi8(0x70);
    const __m256i x0 = _mm256_sub_epi8(v, _mm256_set1_epi8(0x40));
    const __m256i x1 = _mm256_sub_epi8(x0, step);
    __m256i codes = _mm256_or_si256(_mm256_shuffle_epi8(t.q0, _mm256_adds_epu8(x0, lift)),
                                    _mm256_shuffle_epi8(t.q1, _mm256_adds_epu8(x1, lift)));
    if constexpr (Wide) {
        const __m256i x2 = _mm256_sub_epi8(x1, step);
        const __m256i x3 = _mm256_sub_epi8(x2, step);
        codes =
            _mm256_or_si256(codes, _mm256_or_si256(_mm256_shuffle_epi8(t.q2, _mm256_adds_epu8(x2, lift)),
                                                   _mm256_shuffle_epi8(t.q3, _mm256_adds_epu8(x3, lift))));
    }
    return _mm256_xor_si256(codes, t.fallback);
}

template <bool Wide>
VELTRA_AVX2_INLINE __m128i translate16(__m128i v, const Lookup& t) {
    return _mm256_castsi256_si128(translate32<Wide>(_mm256_castsi128_si256(v), t));
}

template <bool Wide>
VELTRA_AVX2_INLINE void store32(std::uint8_t* dst, __m256i v, const Lookup& t) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), translate32<Wide>(v, t));
}

VELTRA_AVX2_INLINE __m256i load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// p[0, len) for len below 32: two loads that together cover the bytes exactly,
// one translation, two stores to the same places.
template <bool Wide>
VELTRA_AVX2 void translate_short(const std::uint8_t* p, std::size_t len, std::uint8_t* dst, const Lookup& t,
                                 const std::uint8_t* table) {
    if (len >= 16) {
        const __m128i a = translate16<Wide>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), t);
        const __m128i b =
            translate16<Wide>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + len - 16)), t);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + len - 16), b);
    } else if (len >= 8) {
        std::uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + len - 8, 8);
        const __m128i codes =
            translate16<Wide>(_mm_set_epi64x(static_cast<long long>(b), static_cast<long long>(a)), t);
        a = static_cast<std::uint64_t>(_mm_cvtsi128_si64(codes));
        b = static_cast<std::uint64_t>(_mm_extract_epi64(codes, 1));
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + len - 8, &b, 8);
    } else if (len >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + len - 4, 4);
        const __m128i codes =
            translate16<Wide>(_mm_setr_epi32(static_cast<int>(a), static_cast<int>(b), 0, 0), t);
        a = static_cast<std::uint32_t>(_mm_cvtsi128_si32(codes));
        b = static_cast<std::uint32_t>(_mm_extract_epi32(codes, 1));
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + len - 4, &b, 4);
    } else {
        translate_bytes(p, len, dst, table);
    }
}

// p[0, len) to dst[0, len), len known.
template <bool Wide>
VELTRA_AVX2_INLINE void translate_exact(const std::uint8_t* p, std::size_t len, std::uint8_t* dst,
                                        const Lookup& t, const std::uint8_t* table) {
    if (len < 32) {
        translate_short<Wide>(p, len, dst, t, table);
        return;
    }
    std::size_t i = 0;
    for (; i + 32 <= len; i += 32)
        store32<Wide>(dst + i, load32(p + i), t);
    if (i < len)
        store32<Wide>(dst + len - 32, load32(p + len - 32), t);
}

// Whole blocks until one holds the line's end; the bytes before it are then
// done by one block that ends at the line's end.
template <bool Wide>
VELTRA_AVX2 std::size_t translate_line_with(const std::uint8_t* __restrict p, std::size_t n,
                                            std::uint8_t* __restrict dst, const Lookup& t,
                                            const std::uint8_t* table) {
    const __m256i newline = _mm256_set1_epi8('\n');
    std::size_t i = 0;
    std::size_t len = n;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = load32(p + i);
        const std::uint32_t lines = byte_mask(v, newline);
        if (lines != 0) {
            len = i + static_cast<std::size_t>(std::countr_zero(lines));
            break;
        }
        store32<Wide>(dst + i, v, t);
    }
    if (len == n && i < n)
        len = find_newline(p, n, i);
    if (len == i)
        return len;
    if (len >= 32)
        store32<Wide>(dst + len - 32, load32(p + len - 32), t);
    else
        translate_short<Wide>(p, len, dst, t, table);
    return len;
}

VELTRA_AVX2 std::size_t translate_avx2(const std::uint8_t* __restrict p, std::size_t n,
                                       std::uint8_t* __restrict dst, const Tables& tables) {
    if (!tables.shaped) [[unlikely]] {
        const std::size_t len = find_newline(p, n, 0);
        translate_bytes(p, len, dst, tables.table.data());
        return len;
    }
    const Lookup t = lookup_of(tables);
    return is_narrow(t) ? translate_line_with<false>(p, n, dst, t, tables.table.data())
                        : translate_line_with<true>(p, n, dst, t, tables.table.data());
}

// The line ends come from the '\n' masks of whole blocks, found ahead of the
// translation, so the next line's start never waits for a search. A block that
// lies inside a line is translated from the registers that were searched;
// `done` is where the open line's codes end so far. What the loop reads of
// `out` is copied first: every store of codes may alias it as far as the
// compiler knows.
// The codes of p[from, to), which lie in the open line, whose codes begin at dst.
template <bool Shaped, bool Wide>
VELTRA_AVX2_INLINE void translate_part(const std::uint8_t* p, std::size_t from, std::size_t to,
                                       std::uint8_t* dst, const Lookup& t, const std::uint8_t* table) {
    if constexpr (Shaped)
        translate_exact<Wide>(p + from, to - from, dst, t, table);
    else
        translate_bytes(p + from, to - from, dst, table);
}

template <bool Shaped, bool Wide>
VELTRA_AVX2 Lines lines_with(const std::uint8_t* p, std::size_t n, const LinesOut& out, const Lookup& t,
                             const std::uint8_t* table) {
    std::uint8_t* const tokens = out.tokens;
    std::int64_t* const ends = out.ends;
    const std::size_t token_room = out.token_room;
    const std::size_t end_room = out.end_room;
    const std::int64_t base = out.base;
    std::size_t used = 0, done = 0, lines_done = 0, written = 0;
    const __m256i newline = _mm256_set1_epi8('\n');
    const __m256i gt = _mm256_set1_epi8('>');
    std::uint64_t carry = 1;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m256i a = load32(p + i);
        const __m256i b = load32(p + i + 32);
        std::uint64_t lines = byte_mask(a, newline) | std::uint64_t{byte_mask(b, newline)} << 32;
        const std::uint64_t starts =
            (byte_mask(a, gt) | std::uint64_t{byte_mask(b, gt)} << 32) & (lines << 1 | carry);
        carry = lines >> 63;
        if (lines == 0 && starts == 0) {
            if (written + (i + 64 - used) > token_room) [[unlikely]]
                return {used, lines_done, written};
            if (done < i)
                translate_part<Shaped, Wide>(p, done, i, tokens + written + (done - used), t, table);
            std::uint8_t* const dst = tokens + written + (i - used);
            if constexpr (Shaped) {
                store32<Wide>(dst, a, t);
                store32<Wide>(dst + 32, b, t);
            } else {
                translate_bytes(p + i, 64, dst, table);
            }
            done = i + 64;
            continue;
        }
        if (starts != 0)
            lines = _bzhi_u64(lines, static_cast<unsigned>(std::countr_zero(starts)));
        for (; lines != 0; lines = _blsr_u64(lines)) {
            const std::size_t end = i + static_cast<std::size_t>(std::countr_zero(lines));
            if (end - used > token_room - written || lines_done == end_room) [[unlikely]]
                return {used, lines_done, written};
            translate_part<Shaped, Wide>(p, done, end, tokens + written + (done - used), t, table);
            written += end - used;
            ends[lines_done++] = base + static_cast<std::int64_t>(written);
            used = done = end + 1;
        }
        if (starts != 0)
            return {used, lines_done, written};
    }
    // The last bytes line by line.
    while (used < n && p[used] != '>') {
        const std::size_t end = find_newline(p, n, std::max(done, i));
        if (end == n || end - used > token_room - written || lines_done == end_room)
            break;
        translate_part<Shaped, Wide>(p, done, end, tokens + written + (done - used), t, table);
        written += end - used;
        ends[lines_done++] = base + static_cast<std::int64_t>(written);
        used = done = end + 1;
    }
    return {used, lines_done, written};
}

VELTRA_AVX2 Lines lines_avx2(const std::uint8_t* p, std::size_t n, const LinesOut& out,
                             const Tables& tables) {
    const Lookup t = lookup_of(tables);
    const std::uint8_t* table = tables.table.data();
    if (!tables.shaped) [[unlikely]]
        return lines_with<false, false>(p, n, out, t, table);
    return is_narrow(t) ? lines_with<true, false>(p, n, out, t, table)
                        : lines_with<true, true>(p, n, out, t, table);
}

}  // namespace

extern const Kernel avx2{"avx2", scan_avx2, translate_avx2, lines_avx2};

}  // namespace veltra::fasta::kernel
