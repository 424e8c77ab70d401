// zlib: always there, and the one that does both jobs. It reads gzip members
// itself (header, data, then checksum and length).
#include <zlib.h>

#include "buffer.hpp"
#include "fasta/gzip/inflater.hpp"

namespace veltra::fasta::gzip {

namespace {

// Its own allocations, freed with it.
class Zlib {
public:
    Zlib() {
        // 16 + window bits: gzip members, not zlib's own wrapper.
        if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK)
            throw AllocFailure{sizeof(z_stream)};
    }
    ~Zlib() { inflateEnd(&z_); }
    Zlib(const Zlib&) = delete;
    Zlib& operator=(const Zlib&) = delete;

protected:
    void reset() {
        if (inflateReset(&z_) != Z_OK)
            corrupt();
    }

    // One call of inflate over the cursor's input and room (each within
    // zlib's 32-bit counters); its status, after the cursor has moved on.
    int run(Cursor& c, int flush) {
        z_.next_in = const_cast<Bytef*>(c.in);
        z_.avail_in = static_cast<uInt>(c.in_len);
        z_.next_out = c.out;
        z_.avail_out = static_cast<uInt>(c.out_len);
        const int ret = ::inflate(&z_, flush);
        c.in = z_.next_in;
        c.in_len = z_.avail_in;
        c.out = z_.next_out;
        c.out_len = z_.avail_out;
        if (ret == Z_MEM_ERROR)
            throw AllocFailure{sizeof(z_stream)};
        return ret;
    }

private:
    z_stream z_{};
};

class ZlibMembers final : public MemberDecoder, Zlib {
public:
    void inflate(std::span<const std::uint8_t> member, std::uint32_t isize, std::uint8_t* dst) override {
        reset();
        Cursor c{member.data(), member.size(), dst, isize};
        if (run(c, Z_FINISH) != Z_STREAM_END || c.in_len != 0 || c.out_len != 0)
            corrupt();
    }
};

class ZlibStream final : public StreamDecoder, Zlib {
public:
    void start_member() override { reset(); }

    bool step(Cursor& c) override {
        const int ret = run(c, Z_NO_FLUSH);
        // Z_BUF_ERROR only says that no progress was possible; the caller
        // sees that and decides.
        if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR)
            corrupt();
        return ret == Z_STREAM_END;
    }
};

}  // namespace

extern const Inflater zlib{
    "zlib",
    []() -> std::unique_ptr<MemberDecoder> { return std::make_unique<ZlibMembers>(); },
    []() -> std::unique_ptr<StreamDecoder> { return std::make_unique<ZlibStream>(); },
};

}  // namespace veltra::fasta::gzip
