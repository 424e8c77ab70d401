// Whole members whose lengths are known (BGZF), each inflated apart.
#include <string>

#include "fasta/gzip/inflater.hpp"

namespace veltra::fasta::gzip {

MemberInflater::MemberInflater() : decoder_(member_inflater().members()) {}
MemberInflater::~MemberInflater() = default;

void MemberInflater::inflate(std::span<const std::uint8_t> members, std::span<const std::uint32_t> sizes,
                             std::uint8_t* dst, std::uint64_t pos) try {
    for (const std::uint32_t size : sizes) {
        const std::span<const std::uint8_t> member = members.first(size);
        const std::uint32_t isize = member_isize(member);
        decoder_->inflate(member, isize, dst);
        dst += isize;
        members = members.subspan(size);
        pos += size;
    }
} catch (Panic& failure) {
    failure.add_note("in the gzip member at compressed byte offset " + std::to_string(pos));
    throw;
}

}  // namespace veltra::fasta::gzip
