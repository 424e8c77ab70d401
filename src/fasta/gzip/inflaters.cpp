// Which inflater does each job, picked once per process as the kernels are:
// the first in order of speed that can do it, among those the build has.
// This is the one file that knows what the build found; everything else asks
// here.
#include <atomic>

#include "fasta/gzip/inflater.hpp"

namespace veltra::fasta::gzip {

namespace {

// Fastest first; zlib, last, does every job.
constexpr const Inflater* built[] = {
#ifdef VELTRA_HAVE_LIBDEFLATE
    &libdeflate,
#endif
#ifdef VELTRA_HAVE_ISAL
    &isal,
#endif
    &zlib,
};

template <class Make>
const Inflater* first_with(Make Inflater::*job) noexcept {
    for (const Inflater* inflater : built)
        if (inflater->*job != nullptr)
            return inflater;
    return &zlib;
}

struct Choice {
    const Inflater* members;
    const Inflater* stream;
};

const Choice& choice() noexcept {
    static const Choice once{first_with(&Inflater::members), first_with(&Inflater::stream)};
    return once;
}

// Read when a parse makes its decoders, set by tests between parses.
std::atomic<bool> fast{true};

}  // namespace

const Inflater& member_inflater() noexcept {
    return fast.load(std::memory_order_relaxed) ? *choice().members : zlib;
}

const Inflater& stream_inflater() noexcept {
    return fast.load(std::memory_order_relaxed) ? *choice().stream : zlib;
}

bool have_fast_inflaters() noexcept {
    return choice().members != &zlib || choice().stream != &zlib;
}

bool use_fast_inflaters(bool on) noexcept {
    return fast.exchange(on);
}

}  // namespace veltra::fasta::gzip
