// Whole members whose lengths are known (BGZF), each inflated apart.
#include "fasta/gzip/inflater.hpp"

namespace veltra::fasta::gzip {

MemberInflater::MemberInflater() : decoder_(member_inflater().members()) {}
MemberInflater::~MemberInflater() = default;

void MemberInflater::inflate(std::span<const std::uint8_t> members, std::span<const std::uint32_t> sizes,
                             std::uint8_t* dst) {
    for (const std::uint32_t size : sizes) {
        const std::span<const std::uint8_t> member = members.first(size);
        const std::uint32_t isize = member_isize(member);
        decoder_->inflate(member, isize, dst);
        dst += isize;
        members = members.subspan(size);
    }
}

}  // namespace veltra::fasta::gzip
