// libdeflate: about twice zlib's speed on whole members, which is all it
// reads (it has no way to take input in pieces). Built only where the build
// found it.
#include <libdeflate.h>

#include "buffer.hpp"
#include "fasta/gzip/inflater.hpp"

namespace veltra::fasta::gzip {

namespace {

class LibdeflateMembers final : public MemberDecoder {
public:
    LibdeflateMembers() {
        if (d_ == nullptr)
            throw AllocFailure{sizeof(void*)};
    }
    ~LibdeflateMembers() override { libdeflate_free_decompressor(d_); }
    LibdeflateMembers(const LibdeflateMembers&) = delete;
    LibdeflateMembers& operator=(const LibdeflateMembers&) = delete;

    // It checks what zlib checks: the end, the checksum and the length.
    void inflate(std::span<const std::uint8_t> member, std::uint32_t isize, std::uint8_t* dst) override {
        std::size_t in = 0;
        std::size_t out = 0;
        if (libdeflate_gzip_decompress_ex(d_, member.data(), member.size(), dst, isize, &in, &out) !=
                LIBDEFLATE_SUCCESS ||
            in != member.size() || out != isize)
            corrupt();
    }

private:
    libdeflate_decompressor* d_ = libdeflate_alloc_decompressor();
};

}  // namespace

extern const Inflater libdeflate{
    "libdeflate",
    []() -> std::unique_ptr<MemberDecoder> { return std::make_unique<LibdeflateMembers>(); },
    nullptr,
};

}  // namespace veltra::fasta::gzip
