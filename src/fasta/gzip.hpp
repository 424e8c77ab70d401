// gzip files: their members, and inflating them.
//
// A file is taken for gzip by its first bytes alone, whatever its name. Its
// members follow each other to the end of the file (zero bytes after the last
// one are padding). BGZF files are gzip whose every member says in an extra
// field how long it is, so their members can be found without inflating
// anything and inflated on several threads at once; any other member can only
// be inflated front to back. Damaged input fails with a read error of kind
// InvalidData. Pool-free and Python-free: fasta/pipeline.cpp puts these to work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "fasta/chunk.hpp"

namespace veltra::fasta::gzip {

// Whether these first bytes of a file open a gzip member (magic and deflate).
bool starts_gzip(std::span<const std::uint8_t> first) noexcept;

// Up to `n` bytes of `source` from `pos` on into `dst`; fewer only at its end.
std::size_t read_source(const Source& source, std::uint64_t pos, std::uint8_t* dst, std::size_t n);

// A BGZF member: where it starts, its whole length and its decompressed size.
struct Member {
    std::uint64_t pos;
    std::uint32_t size;
    std::uint32_t isize;
};

// The BGZF member whose bytes start `bytes` (which begin at file position
// `pos` and hold at least the member's header), or nothing when the member
// there is gzip without the BGZF size field. Panics when the bytes are no
// gzip member at all.
std::optional<Member> bgzf_member(std::span<const std::uint8_t> bytes, std::uint64_t pos);

// The largest header `bgzf_member` needs to see.
inline constexpr std::size_t bgzf_header_bytes = 18;

// Inflates one whole BGZF member into exactly `member.isize` bytes at `dst`,
// checking its length and checksum.
void inflate_member(std::span<const std::uint8_t> bytes, const Member& member, std::uint8_t* dst);

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

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace veltra::fasta::gzip
