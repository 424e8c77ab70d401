// The positioned reader of a parse.
#include "fasta/source.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "fasta/failures.hpp"

namespace veltra::fasta {

std::size_t read_window = default_read_window;

std::size_t Source::read(std::uint64_t pos, std::uint8_t* dst, std::size_t n) const {
    if (pos >= size)
        return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - pos));
    if (file == nullptr) {
        std::memcpy(dst, image.data() + pos, n);
        return n;
    }
    auto got = file->read_at(pos, dst, n);
    if (!got)
        read_failed(got.error(), "while reading at byte offset " + std::to_string(pos));
    return got.value();
}

Reader::Reader(const Source& source)
    : source_(source), window_bytes_(std::max<std::size_t>(read_window, 1)) {}

std::span<const std::uint8_t> Reader::at(std::uint64_t pos) {
    if (source_.file == nullptr)
        return pos < source_.image.size() ? source_.image.subspan(static_cast<std::size_t>(pos))
                                          : std::span<const std::uint8_t>();
    if (pos < window_pos_ || pos >= window_pos_ + window_len_) {
        if (pos >= source_.size)
            return {};
        fill(pos, static_cast<std::size_t>(std::min<std::uint64_t>(window_bytes_, source_.size - pos)));
    }
    const auto skip = static_cast<std::size_t>(pos - window_pos_);
    return {window_.data() + skip, window_len_ - skip};
}

std::uint8_t Reader::byte_before(std::uint64_t pos) {
    if (source_.file == nullptr)
        return source_.image[static_cast<std::size_t>(pos - 1)];
    if (pos - 1 >= window_pos_ && pos - 1 < window_pos_ + window_len_)
        return window_[static_cast<std::size_t>(pos - 1 - window_pos_)];
    std::uint8_t byte = 0;  // a file that shrank meanwhile has no line start here
    source_.read(pos - 1, &byte, 1);
    return byte;
}

bool Reader::any_gt_before(std::uint64_t pos) {
    if (source_.file == nullptr)
        return ::memrchr(source_.image.data(), '>', static_cast<std::size_t>(pos)) != nullptr;
    std::uint64_t hi = pos;
    while (hi > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(window_bytes_, hi));
        fill(hi - n, n);
        if (::memrchr(window_.data(), '>', window_len_) != nullptr)
            return true;
        hi -= n;
    }
    return false;
}

void Reader::fill(std::uint64_t pos, std::size_t n) {
    if (window_.size() < n)
        window_ = Buffer<std::uint8_t>::uninitialized(
            static_cast<std::size_t>(std::min<std::uint64_t>(window_bytes_, source_.size)));
    window_pos_ = pos;
    window_len_ = 0;  // should the read fail
    window_len_ = source_.read(pos, window_.data(), n);
}

}  // namespace veltra::fasta
