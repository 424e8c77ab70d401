// What the driver-level fuzz targets compare: a parse's three arrays, or the
// message it panicked with, and how a target stops on a finding.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

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

}  // namespace fuzz
