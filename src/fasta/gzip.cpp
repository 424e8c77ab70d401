// gzip members through zlib.
#include "fasta/gzip.hpp"

#include <zlib.h>
#ifdef VELTRA_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#ifdef VELTRA_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <algorithm>
#include <cstring>
#include <optional>
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

#if defined(VELTRA_HAVE_LIBDEFLATE) || defined(VELTRA_HAVE_ISAL)
bool have_fast_inflaters() noexcept {
    return true;
}
bool use_fast_inflaters = true;
#else
bool have_fast_inflaters() noexcept {
    return false;
}
bool use_fast_inflaters = false;
#endif

namespace {

// One member into exactly `isize` bytes at `dst`: it must end exactly where
// its size field says, at the size its trailer states (zlib checks that size
// and the checksum).
void inflate_with_zlib(z_stream& z, std::span<const std::uint8_t> member, std::uint32_t isize,
                       std::uint8_t* dst) {
    if (inflateReset(&z) != Z_OK)
        corrupt();
    z.next_in = const_cast<Bytef*>(member.data());
    z.avail_in = static_cast<uInt>(member.size());
    z.next_out = dst;
    z.avail_out = isize;
    const int ret = ::inflate(&z, Z_FINISH);
    if (ret == Z_MEM_ERROR)
        throw AllocFailure{sizeof(z_stream)};
    if (ret != Z_STREAM_END || z.avail_in != 0 || z.avail_out != 0)
        corrupt();
}

#ifdef VELTRA_HAVE_LIBDEFLATE
struct Libdeflate {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    Libdeflate() {
        if (d == nullptr)
            throw AllocFailure{sizeof(void*)};
    }
    ~Libdeflate() { libdeflate_free_decompressor(d); }
    Libdeflate(const Libdeflate&) = delete;
    Libdeflate& operator=(const Libdeflate&) = delete;
};

// The same with libdeflate, which checks the same.
void inflate_with_libdeflate(const Libdeflate& lib, std::span<const std::uint8_t> member, std::uint32_t isize,
                             std::uint8_t* dst) {
    std::size_t in = 0;
    std::size_t out = 0;
    if (libdeflate_gzip_decompress_ex(lib.d, member.data(), member.size(), dst, isize, &in, &out) !=
            LIBDEFLATE_SUCCESS ||
        in != member.size() || out != isize)
        corrupt();
}
#endif

}  // namespace

struct MemberInflater::State {
    std::optional<Zlib> zlib;
#ifdef VELTRA_HAVE_LIBDEFLATE
    std::optional<Libdeflate> libdeflate;
#endif
};

MemberInflater::MemberInflater() : state_(std::make_unique<State>()) {}
MemberInflater::~MemberInflater() = default;

void MemberInflater::inflate(std::span<const std::uint8_t> members, std::span<const std::uint32_t> sizes,
                             std::uint8_t* dst) {
#ifdef VELTRA_HAVE_LIBDEFLATE
    if (use_fast_inflaters && !state_->libdeflate)
        state_->libdeflate.emplace();
#endif
    if (!use_fast_inflaters && !state_->zlib)
        state_->zlib.emplace(gzip_member);
    for (const std::uint32_t size : sizes) {
        const std::span<const std::uint8_t> member = members.first(size);
        const std::uint32_t isize = member_isize(member);
#ifdef VELTRA_HAVE_LIBDEFLATE
        if (use_fast_inflaters)
            inflate_with_libdeflate(*state_->libdeflate, member, isize, dst);
        else
#endif
            inflate_with_zlib(state_->zlib->z, member, isize, dst);
        dst += isize;
        members = members.subspan(size);
    }
}

struct Stream::State {
    State(const Source& source, std::uint64_t pos) : source(source), pos(pos) {
#ifdef VELTRA_HAVE_ISAL
        if (use_fast_inflaters) {
            isal = std::make_unique<inflate_state>();
            isal_inflate_init(isal.get());
            return;
        }
#endif
        zlib.emplace(gzip_member);
    }

    // Keeps the bytes not yet taken and reads more after them; false when
    // nothing more came.
    bool refill() {
        if (in_len != 0 && in != input.data())
            std::memmove(input.data(), in, in_len);
        in = input.data();
        const std::size_t got = read_source(source, pos, in + in_len, input.size() - in_len);
        pos += got;
        in_len += got;
        return got != 0;
    }

    void start_member() {
#ifdef VELTRA_HAVE_ISAL
        if (isal) {
            isal_inflate_reset(isal.get());
            isal->crc_flag = ISAL_GZIP;  // header, data, then checksum and length
            return;
        }
#endif
        if (inflateReset(&zlib->z) != Z_OK)
            corrupt();
    }

    // One call of the inflater from `in` to `out`; true at the member's end.
    bool step(std::uint8_t*& out, std::size_t& out_len) {
#ifdef VELTRA_HAVE_ISAL
        if (isal) {
            inflate_state& st = *isal;
            st.next_in = in;
            st.avail_in = static_cast<std::uint32_t>(in_len);
            st.next_out = out;
            st.avail_out = static_cast<std::uint32_t>(out_len);
            const int ret = isal_inflate(&st);
            in = st.next_in;
            in_len = st.avail_in;
            out = st.next_out;
            out_len = st.avail_out;
            if (ret != ISAL_DECOMP_OK)
                corrupt();
            return st.block_state == ISAL_BLOCK_FINISH;
        }
#endif
        z_stream& z = zlib->z;
        z.next_in = in;
        z.avail_in = static_cast<uInt>(in_len);
        z.next_out = out;
        z.avail_out = static_cast<uInt>(out_len);
        const int ret = ::inflate(&z, Z_NO_FLUSH);
        in = z.next_in;
        in_len = z.avail_in;
        out = z.next_out;
        out_len = z.avail_out;
        if (ret == Z_MEM_ERROR)
            throw AllocFailure{sizeof(z_stream)};
        // Z_BUF_ERROR only says that no progress was possible; the caller
        // sees that and decides.
        if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR)
            corrupt();
        return ret == Z_STREAM_END;
    }

    const Source& source;
    std::uint64_t pos;  // of the next byte to read
    Buffer<std::uint8_t> input = Buffer<std::uint8_t>::uninitialized(input_window);
    std::uint8_t* in = input.data();  // the bytes read but not yet taken
    std::size_t in_len = 0;
    std::optional<Zlib> zlib;
#ifdef VELTRA_HAVE_ISAL
    std::unique_ptr<inflate_state> isal;
#endif
    bool in_member = false;
    bool ended = false;
};

Stream::Stream(const Source& source, std::uint64_t pos) : state_(std::make_unique<State>(source, pos)) {}
Stream::~Stream() = default;

bool Stream::checked() const noexcept {
    return !state_->in_member;
}

std::size_t Stream::read(std::uint8_t* dst, std::size_t n) {
    State& s = *state_;
    std::uint8_t* out = dst;
    std::size_t room = n;
    while (room != 0 && !s.ended) {
        if (!s.in_member) {
            // Between members: another member, zero padding to the end, or
            // nothing more. The flags are checked here so that both
            // inflaters refuse the same headers.
            if (s.in_len < 4)
                s.refill();
            if (s.in_len == 0) {
                s.ended = true;
                break;
            }
            if (s.in[0] == 0) {
                do {
                    if (std::find_if(s.in, s.in + s.in_len, [](std::uint8_t b) { return b != 0; }) !=
                        s.in + s.in_len)
                        trailing();
                    s.in_len = 0;
                } while (s.refill());
                s.ended = true;
                break;
            }
            if (s.in_len < 2 || s.in[0] != 0x1f || s.in[1] != 0x8b)
                trailing();
            if (s.in_len < 4)
                truncated();
            if (s.in[2] != 8 || (s.in[3] & 0xe0) != 0)
                corrupt();
            s.start_member();
            s.in_member = true;
        }
        if (s.in_len == 0 && !s.refill())
            truncated();
        const std::size_t in_before = s.in_len;
        const std::size_t room_before = room;
        if (s.step(out, room)) {
            s.in_member = false;
        } else if (s.in_len == in_before && room == room_before) {
            // Nothing taken, nothing made: it wants more input than it has.
            if (s.in_len == s.input.size())
                corrupt();
            if (!s.refill())
                truncated();
        }
    }
    return n - room;
}

}  // namespace veltra::fasta::gzip
