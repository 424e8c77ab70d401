// The kernel that any x86-64 runs, and the choice among the kernels.
#include <cpuid.h>

#include <bit>
#include <cstdint>
#include <cstring>

#include "kernel_variants.hpp"

namespace veltra::fasta::kernel {

namespace {

Scan scan_portable(const std::uint8_t* p, std::size_t n, bool line_start) {
    std::size_t newlines = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] == '>' && (i == 0 ? line_start : p[i - 1] == '\n'))
            return {i, newlines};
        newlines += p[i] == '\n';
    }
    return {n, newlines};
}

// Eight bytes at a time: one load and one store per word instead of one store
// per byte. The restrict promise matters, as the output, the input and the
// table are all bytes and might otherwise alias.
static_assert(std::endian::native == std::endian::little, "bytes are taken from words low byte first");
void translate_words(const std::uint8_t* __restrict p, std::size_t len, std::uint8_t* __restrict dst,
                     const std::uint8_t* __restrict table) {
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t in;
        std::memcpy(&in, p + i, 8);
        std::uint64_t out = 0;
        for (int k = 0; k < 8; ++k)
            out |= std::uint64_t{table[(in >> (8 * k)) & 0xFF]} << (8 * k);
        std::memcpy(dst + i, &out, 8);
    }
    translate_bytes(p + i, len - i, dst + i, table);
}

std::size_t line_length(const std::uint8_t* p, std::size_t n) {
    const void* newline = std::memchr(p, '\n', n);
    return newline == nullptr ? n : static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - p);
}

std::size_t translate_portable(const std::uint8_t* __restrict p, std::size_t n, std::uint8_t* __restrict dst,
                               const Tables& tables) {
    const std::size_t len = line_length(p, n);
    translate_words(p, len, dst, tables.table.data());
    return len;
}

Lines lines_portable(const std::uint8_t* p, std::size_t n, const LinesOut& out, const Tables& tables) {
    Lines done{0, 0, 0};
    while (done.used < n && p[done.used] != '>') {
        const std::size_t len = line_length(p + done.used, n - done.used);
        if (done.used + len == n || len > out.token_room - done.tokens || done.lines == out.end_room)
            break;
        translate_words(p + done.used, len, out.tokens + done.tokens, tables.table.data());
        done.tokens += len;
        out.ends[done.lines++] = out.base + static_cast<std::int64_t>(done.tokens);
        done.used += len + 1;
    }
    return done;
}

constexpr Kernel portable{"portable", scan_portable, translate_portable, lines_portable};

// What the CPU offers and the operating system saves on a context switch,
// read with cpuid and xgetbv: `__builtin_cpu_supports` reads a table that the
// compiler's runtime fills, and compiler-rt leaves it empty in a shared object
// built the way the wheels are, so every CPU looked like a plain x86-64.
struct Features {
    bool bmi_popcnt = false;  // bmi, bmi2 and popcnt, which every vector kernel uses too
    bool avx2 = false;
    bool avx512 = false;  // avx512f, avx512bw, avx512vbmi and avx512vbmi2
};

Features cpu_features() noexcept {
    unsigned eax = 0, ebx = 0, ecx1 = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx1, &edx) == 0)
        return {};
    unsigned ebx7 = 0, ecx7 = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx7, &ecx7, &edx) == 0)
        return {};
    // The register state the operating system saves: xgetbv exists only
    // where it has turned on OSXSAVE.
    std::uint64_t xcr0 = 0;
    if ((ecx1 & bit_OSXSAVE) != 0) {
        unsigned lo = 0, hi = 0;
        asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = (std::uint64_t{hi} << 32) | lo;
    }
    const bool ymm_saved = (xcr0 & 0x6) == 0x6;    // SSE and AVX state
    const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;  // and the mask and upper ZMM registers
    Features f;
    f.bmi_popcnt = (ebx7 & bit_BMI) != 0 && (ebx7 & bit_BMI2) != 0 && (ecx1 & bit_POPCNT) != 0;
    f.avx2 = ymm_saved && (ecx1 & bit_AVX) != 0 && (ebx7 & bit_AVX2) != 0;
    f.avx512 = f.avx2 && zmm_saved && (ebx7 & bit_AVX512F) != 0 && (ebx7 & bit_AVX512BW) != 0 &&
               (ecx7 & bit_AVX512VBMI) != 0 && (ecx7 & bit_AVX512VBMI2) != 0;
    return f;
}

// The kernels this CPU runs, slowest first.
struct Choice {
    const Kernel* kernels[3];
    std::size_t count;
};

Choice choose() noexcept {
    const Features cpu = cpu_features();
    Choice choice{{&portable}, 1};
    if (cpu.bmi_popcnt && cpu.avx2)
        choice.kernels[choice.count++] = &avx2;
    if (cpu.bmi_popcnt && cpu.avx512)
        choice.kernels[choice.count++] = &avx512;
    return choice;
}

const Choice& choice() noexcept {
    static const Choice once = choose();
    return once;
}

}  // namespace

Tables prepare(const TokenTable& table) noexcept {
    Tables out{};
    out.table = table;
    out.fallback = table[0];
    out.shaped = true;
    for (std::size_t b = 0; b < 256; ++b)
        if ((b < 0x40 || b >= 0x80) && table[b] != out.fallback)
            out.shaped = false;
    for (std::size_t i = 0; i < 64; ++i)
        out.upper[i] = table[0x40 + i];
    return out;
}

const Kernel& selected() noexcept {
    const Choice& c = choice();
    return *c.kernels[c.count - 1];
}

std::span<const Kernel* const> available() noexcept {
    const Choice& c = choice();
    return {c.kernels, c.count};
}

}  // namespace veltra::fasta::kernel
