// The gzip member format: the magic, the BGZF size field, the trailer, what
// may follow a member, and the errors of damaged input.
#include <string>

#include "fasta/gzip/inflater.hpp"
#include "panic.hpp"

namespace veltra::fasta::gzip {

namespace {

[[noreturn]] void damaged(const char* what) {
    panic(std::string(msg::unwrap_err) + sys::OsError::fixed(sys::ErrorKind::InvalidData, what).detailed());
}

std::uint32_t le16(const std::uint8_t* p) noexcept {
    return p[0] | (std::uint32_t{p[1]} << 8);
}
std::uint32_t le32(const std::uint8_t* p) noexcept {
    return le16(p) | (le16(p + 2) << 16);
}

}  // namespace

[[noreturn]] void truncated() {
    damaged("unexpected end of gzip stream");
}
[[noreturn]] void corrupt() {
    damaged("invalid gzip data");
}
[[noreturn]] void trailing() {
    damaged("trailing data after gzip stream");
}

bool starts_gzip(std::span<const std::uint8_t> first) noexcept {
    return first.size() >= 3 && first[0] == 0x1f && first[1] == 0x8b && first[2] == 8;
}

std::uint32_t bgzf_size(std::span<const std::uint8_t> header) noexcept {
    // Magic, deflate, only the extra flag, and an extra field that is the
    // size field alone: the form every BGZF writer uses.
    if (header.size() < bgzf_header_bytes || !starts_gzip(header) || header[3] != 4 ||
        le16(&header[10]) != 6 || header[12] != 'B' || header[13] != 'C' || le16(&header[14]) != 2)
        return 0;
    const std::uint32_t size = le16(&header[16]) + 1;
    // Header, the two bytes of the shortest deflate data, and the trailer.
    return size >= bgzf_header_bytes + 2 + 8 ? size : 0;
}

std::uint32_t member_isize(std::span<const std::uint8_t> member) noexcept {
    return le32(member.data() + member.size() - 4);
}

void check_member_start(std::span<const std::uint8_t> first) {
    if (first.size() < 2 || first[0] != 0x1f || first[1] != 0x8b)
        trailing();
    if (first.size() < 4)
        truncated();
    // Deflate, and no reserved flag: checked here rather than left to the
    // inflaters, which differ on them.
    if (first[2] != 8 || (first[3] & 0xe0) != 0)
        corrupt();
}

}  // namespace veltra::fasta::gzip
