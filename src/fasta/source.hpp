// Where the bytes of a parse come from: a file image in memory, or the file
// itself, read by positioned reads into a small window that stays in cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "buffer.hpp"
#include "sys.hpp"

namespace veltra::fasta {

// Where a parse's bytes come from. Every read of a parse goes through `read`,
// which turns a failed read into the panic users see.
struct Source {
    std::span<const std::uint8_t> image;  // used when `file` is null
    const sys::File* file = nullptr;
    std::uint64_t size = 0;  // bytes to read at most; a file may end earlier

    // Up to `n` bytes from `pos` on into `dst`; fewer only at the end.
    std::size_t read(std::uint64_t pos, std::uint8_t* dst, std::size_t n) const;
};

// Bytes per positioned read. Large enough that a read costs little next to
// parsing what it brought, small enough to stay in a core's cache between the
// read and the parse. Tests shrink it so that lines and headers cross windows.
inline constexpr std::size_t default_read_window = 256 * 1024;
extern std::size_t read_window;

// A window over a `Source`, for the chunk parse: it hands out views instead of
// copies, and over an image it reads nothing at all.
class Reader {
public:
    explicit Reader(const Source& source);

    // The bytes from `pos` on: at least one unless the input ends at `pos`.
    // The view stays valid until the next call.
    std::span<const std::uint8_t> at(std::uint64_t pos);

    // The byte just before `pos` (which is above 0), without moving the window
    // away from `pos`.
    std::uint8_t byte_before(std::uint64_t pos);

    // Whether a '>' lies anywhere in [0, pos).
    bool any_gt_before(std::uint64_t pos);

private:
    // Fills the window with the bytes from `pos` on, at most `n` of them.
    void fill(std::uint64_t pos, std::size_t n);

    const Source& source_;
    const std::size_t window_bytes_;
    Buffer<std::uint8_t> window_;
    std::uint64_t window_pos_ = 0;
    std::size_t window_len_ = 0;
};

}  // namespace veltra::fasta
