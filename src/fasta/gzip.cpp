// gzip members through zlib.
#include "fasta/gzip.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "panic.hpp"

namespace veltra::fasta::gzip {

namespace {

[[noreturn]] void damaged(const char* what) {
    panic(std::string(msg::unwrap_err) + sys::OsError::fixed(sys::ErrorKind::InvalidData, what).detailed());
}

[[noreturn]] void truncated() {
    damaged("unexpected end of gzip stream");
}
[[noreturn]] void corrupt() {
    damaged("invalid gzip data");
}
[[noreturn]] void trailing() {
    damaged("trailing data after gzip stream");
}

std::uint32_t le16(const std::uint8_t* p) noexcept {
    return p[0] | (std::uint32_t{p[1]} << 8);
}
std::uint32_t le32(const std::uint8_t* p) noexcept {
    return le16(p) | (le16(p + 2) << 16);
}

// Inflation state of zlib: its own allocations, freed with it.
struct Zlib {
    z_stream z{};
    explicit Zlib(int window_bits) {
        if (inflateInit2(&z, window_bits) != Z_OK)
            throw AllocFailure{sizeof(z_stream)};
    }
    ~Zlib() { inflateEnd(&z); }
    Zlib(const Zlib&) = delete;
    Zlib& operator=(const Zlib&) = delete;
};

// zlib decodes gzip members itself (header, data and trailer) in this mode.
constexpr int gzip_member = 16 + MAX_WBITS;

// Bytes zlib is handed per read, and decompressed bytes it writes per call;
// both stay far below the limit of its 32-bit counters.
constexpr std::size_t input_window = 256 * 1024;

}  // namespace

bool starts_gzip(std::span<const std::uint8_t> first) noexcept {
    return first.size() >= 3 && first[0] == 0x1f && first[1] == 0x8b && first[2] == 8;
}

std::size_t read_source(const Source& source, std::uint64_t pos, std::uint8_t* dst, std::size_t n) {
    if (pos >= source.size)
        return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, source.size - pos));
    if (source.file == nullptr) {
        std::memcpy(dst, source.image.data() + pos, n);
        return n;
    }
    auto got = source.file->read_at(pos, dst, n);
    if (!got)
        panic(std::string(msg::unwrap_err) + got.error().detailed());
    return got.value();
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

struct MemberInflater::State {
    Zlib zlib{gzip_member};
};

MemberInflater::MemberInflater() : state_(std::make_unique<State>()) {}
MemberInflater::~MemberInflater() = default;

void MemberInflater::inflate(std::span<const std::uint8_t> members, std::span<const std::uint32_t> sizes,
                             std::uint8_t* dst) {
    z_stream& z = state_->zlib.z;
    for (const std::uint32_t size : sizes) {
        const std::span<const std::uint8_t> member = members.first(size);
        const std::uint32_t isize = member_isize(member);
        if (inflateReset(&z) != Z_OK)
            corrupt();
        z.next_in = const_cast<Bytef*>(member.data());
        z.avail_in = size;
        z.next_out = dst;
        z.avail_out = isize;
        const int ret = ::inflate(&z, Z_FINISH);
        if (ret == Z_MEM_ERROR)
            throw AllocFailure{sizeof(z_stream)};
        // It must end exactly where its size field says, at the size its
        // trailer states (zlib checks that size and the checksum).
        if (ret != Z_STREAM_END || z.avail_in != 0 || z.avail_out != 0)
            corrupt();
        dst += isize;
        members = members.subspan(size);
    }
}

struct Stream::State {
    State(const Source& source, std::uint64_t pos) : source(source), pos(pos) {}

    // Keeps the bytes not yet taken and reads more after them; false at the
    // end of the source.
    bool refill() {
        if (z().avail_in != 0 && z().next_in != input.data())
            std::memmove(input.data(), z().next_in, z().avail_in);
        const std::size_t kept = z().avail_in;
        const std::size_t got = read_source(source, pos, input.data() + kept, input.size() - kept);
        pos += got;
        z().next_in = input.data();
        z().avail_in = static_cast<uInt>(kept + got);
        return got != 0;
    }

    z_stream& z() { return zlib.z; }

    const Source& source;
    std::uint64_t pos;  // of the next byte to read
    Buffer<std::uint8_t> input = Buffer<std::uint8_t>::uninitialized(input_window);
    Zlib zlib{gzip_member};
    bool in_member = false;
    bool ended = false;
};

Stream::Stream(const Source& source, std::uint64_t pos) : state_(std::make_unique<State>(source, pos)) {}
Stream::~Stream() = default;

std::size_t Stream::read(std::uint8_t* dst, std::size_t n) {
    State& s = *state_;
    z_stream& z = s.z();
    n = std::min(n, input_window * 64);
    z.next_out = dst;
    z.avail_out = static_cast<uInt>(n);
    while (z.avail_out != 0 && !s.ended) {
        if (!s.in_member) {
            // Between members: another member, zero padding to the end, or
            // nothing more.
            if (z.avail_in < 2 && !s.refill() && z.avail_in == 0) {
                s.ended = true;
                break;
            }
            if (z.next_in[0] == 0) {
                do {
                    Bytef* const end = z.next_in + z.avail_in;
                    if (std::find_if(z.next_in, end, [](Bytef b) { return b != 0; }) != end)
                        trailing();
                    z.avail_in = 0;
                } while (s.refill());
                s.ended = true;
                break;
            }
            if (z.avail_in < 2 || z.next_in[0] != 0x1f || z.next_in[1] != 0x8b)
                trailing();
            if (inflateReset(&z) != Z_OK)
                corrupt();
            s.in_member = true;
        }
        if (z.avail_in == 0 && !s.refill())
            truncated();
        const int ret = ::inflate(&z, Z_NO_FLUSH);
        if (ret == Z_STREAM_END)
            s.in_member = false;
        else if (ret == Z_MEM_ERROR)
            throw AllocFailure{sizeof(z_stream)};
        // Without progress although input and room are left: zlib's way of
        // saying the data cannot go on.
        else if (ret != Z_OK && !(ret == Z_BUF_ERROR && (z.avail_in == 0 || z.avail_out == 0)))
            corrupt();
    }
    return n - z.avail_out;
}

}  // namespace veltra::fasta::gzip
