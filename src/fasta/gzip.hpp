// gzip files: their members, and inflating them.
//
// A file is taken for gzip by its first bytes alone, whatever its name. Its
// members follow each other to the end of the file (zero bytes after the last
// one are padding). BGZF files are gzip whose every member says in an extra
// field how long it is, so their members can be found without inflating
// anything and inflated on several threads at once; any other member can only
// be inflated front to back. Damaged input fails with a read error of kind
// InvalidData. Pool-free and Python-free: fasta/pipeline.cpp puts these to work.
//
// fasta/gzip/ holds one concern per file: the member format (format.cpp); the
// inflaters, each behind the interface of inflater.hpp (inflate_zlib.cpp,
// and inflate_libdeflate.cpp and inflate_isal.cpp where the build found those
// libraries); the one place that picks among them (inflaters.cpp); whole
// members inflated apart (members.cpp) and members inflated front to back
// (stream.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fasta/source.hpp"

namespace veltra::fasta::gzip {

// Whether these first bytes of a file open a gzip member (magic and deflate).
bool starts_gzip(std::span<const std::uint8_t> first) noexcept;

// The largest header of a BGZF member, and the largest it inflates to.
inline constexpr std::size_t bgzf_header_bytes = 18;
inline constexpr std::uint32_t bgzf_max_isize = 65536;

// The whole length of the BGZF member whose first bytes are `header` (at most
// `bgzf_header_bytes` are looked at), or 0 when what starts there is not a
// BGZF member: gzip without the size field, or anything else, for the front
// to back inflation to take or to reject.
std::uint32_t bgzf_size(std::span<const std::uint8_t> header) noexcept;

// The decompressed size that a whole member's trailer states.
std::uint32_t member_isize(std::span<const std::uint8_t> member) noexcept;

// Whether faster inflaters than zlib take over where the build found them:
// libdeflate for BGZF members (about twice as fast), ISA-L for front to back
// inflation (about two and a half times). Which ones inflate is decided once
// per process (fasta/gzip/inflaters.cpp). Tests turn them off to check that
// zlib gives the same results and failures; `use_fast_inflaters` returns
// whether they were on, and nothing else calls it.
bool have_fast_inflaters() noexcept;
bool use_fast_inflaters(bool on) noexcept;

class MemberDecoder;

// Inflates whole members laid end to end, each to the size its trailer
// states, into `dst`, checking lengths and checksums. Reuses its state from
// call to call.
class MemberInflater {
public:
    MemberInflater();
    ~MemberInflater();
    MemberInflater(const MemberInflater&) = delete;
    MemberInflater& operator=(const MemberInflater&) = delete;

    // `sizes` are the members' whole lengths, in order; `pos` is where the
    // first one stands in the file.
    void inflate(std::span<const std::uint8_t> members, std::span<const std::uint32_t> sizes,
                 std::uint8_t* dst, std::uint64_t pos);

private:
    std::unique_ptr<MemberDecoder> decoder_;
};

// The members from a position on, inflated front to back.
class Stream {
public:
    Stream(const Source& source, std::uint64_t pos);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // The next decompressed bytes, at most `n`, into `dst`; 0 only at the end
    // of the file.
    std::size_t read(std::uint8_t* dst, std::size_t n);

    // Whether every byte read so far belongs to a member whose checksum and
    // length have been checked: false while a member is under way.
    bool checked() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace veltra::fasta::gzip
