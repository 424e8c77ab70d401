// What the fuzz targets compare: a parse's three arrays, or the message it
// panicked with; the streamed reader, fed in pieces; and how a target stops on
// a finding.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fasta/kernel.hpp"
#include "fasta/stream.hpp"
#include "panic.hpp"

namespace fuzz {

struct Outcome {
    std::vector<std::uint64_t> ids;
    std::vector<std::uint8_t> tokens;
    std::vector<std::int64_t> offsets;
    std::optional<std::string> panic;  // the message, when the parse failed

    bool operator==(const Outcome&) const = default;
};

// Set by each target to its own name, for the finding's first line.
extern const char* const target;

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition)
        fail(what);
}

// For targets that run the driver: three workers, set before the pool's first
// use, which sizes it for good, and standard output, where the driver's
// progress lines would flood the log, sent to /dev/null.
inline void start_driver_target() {
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, 1) < 0)
        fail("cannot send standard output to /dev/null");
    ::close(null);
}

template <class Parse>
Outcome outcome_of(Parse&& parse) {
    Outcome out;
    try {
        auto result = parse();
        out.ids.assign(result.ids.begin(), result.ids.end());
        out.tokens.assign(result.tokens.begin(), result.tokens.end());
        out.offsets.assign(result.offsets.begin(), result.offsets.end());
    } catch (const veltra::Panic& panic) {
        out.panic = panic.message;
    }
    return out;
}

// The streamed parse of `text` fed in pieces of 1 to 2^(fineness+1) bytes,
// their lengths drawn from `seed`.
inline Outcome streamed(std::span<const std::uint8_t> text, const veltra::fasta::kernel::Tables& tables,
                        const veltra::fasta::kernel::Kernel& kernel, unsigned fineness, std::uint32_t seed) {
    return outcome_of([&] {
        veltra::fasta::StreamParser parser(tables, kernel);
        std::uint32_t state = seed * 2654435761u + 1;
        const std::uint32_t mask = (2u << fineness) - 1;
        for (std::size_t at = 0; at < text.size();) {
            state = state * 1664525u + 1013904223u;
            const std::size_t n = std::min<std::size_t>(1 + ((state >> 16) & mask), text.size() - at);
            parser.feed(text.subspan(at, n));
            at += n;
        }
        return parser.finish();
    });
}

}  // namespace fuzz
