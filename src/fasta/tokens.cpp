// The two alphabets and their token codes.
#include "fasta.hpp"

namespace veltra::fasta {

namespace {

// (letter, code) pairs, applied in list order over the alphabet's default.
// T and U share a code so that DNA and RNA give the same tokens.
constexpr std::uint8_t nucleotide_default = 3;
constexpr std::uint8_t nucleotide_pairs[][2] = {{'A', 4}, {'G', 5}, {'C', 6}, {'T', 7}, {'U', 7}};
constexpr std::uint8_t protein_default = 29;
constexpr std::uint8_t protein_pairs[][2] = {
    {'A', 8},  {'C', 9},  {'D', 10}, {'E', 11}, {'F', 12}, {'G', 13}, {'H', 14},
    {'I', 15}, {'K', 16}, {'L', 17}, {'M', 18}, {'N', 19}, {'P', 20}, {'Q', 21},
    {'R', 22}, {'S', 23}, {'T', 24}, {'V', 25}, {'W', 26}, {'Y', 27},
};
static_assert(sizeof(nucleotide_pairs) == 10 && sizeof(protein_pairs) == 40);

}  // namespace

TokenTable build_token_table(bool is_rna) {
    TokenTable table;
    if (is_rna) {
        table.fill(nucleotide_default);
        for (const auto& [letter, code] : nucleotide_pairs)
            table[letter] = code;
    } else {
        table.fill(protein_default);
        for (const auto& [letter, code] : protein_pairs)
            table[letter] = code;
    }
    return table;
}

}  // namespace veltra::fasta
