// Coverage-guided fuzzing of the two readers of a FASTA text: the chunk
// parser and the streamed parser.
//
// Input: one control byte (bit 0: nucleotide table; bits 1-3: chunk count
// minus one; bit 4: the last chunk's end lies beyond the image; bits 5-7: how
// finely the text is cut for the streamed parse), then two little-endian
// bytes per inner cut point, then the file image.
//
// Every chunk, the single-chunk parse and the streamed parse must equal the
// plain model of model.hpp, failures included; the chunk results joined in
// chunk order must equal the single-chunk parse. Headers that are not numbers
// must panic, never crash. All of it runs once with every kernel the CPU
// offers.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fasta.hpp"
#include "model.hpp"
#include "outcome.hpp"
#include "panic.hpp"

const char* const fuzz::target = "fuzz_parse_chunk";

namespace {

using fuzz::check;
using fuzz::Outcome;
namespace kernel = veltra::fasta::kernel;

Outcome native_chunk(std::span<const std::uint8_t> image, std::size_t start, std::size_t end,
                     const veltra::fasta::TokenTable& table, const kernel::Kernel& k) {
    const Outcome out =
        fuzz::outcome_of([&] { return veltra::fasta::parse_chunk(image, start, end, table, k); });
    if (out.panic)
        return out;
    check(!out.offsets.empty() && out.offsets.front() == 0, "offsets do not start at 0");
    check(out.offsets.size() == out.ids.size() + 1, "offsets are not one longer than ids");
    check(std::is_sorted(out.offsets.begin(), out.offsets.end()), "offsets decrease");
    check(out.offsets.back() == static_cast<std::int64_t>(out.tokens.size()),
          "offsets do not end at the token count");
    return out;
}

// Chunk results joined in order; a failure ends the join with its message.
Outcome join(const std::vector<Outcome>& chunks) {
    Outcome out;
    out.offsets.push_back(0);
    for (const Outcome& chunk : chunks) {
        if (chunk.panic) {
            Outcome failed;
            failed.panic = chunk.panic;
            return failed;
        }
        const auto base = static_cast<std::int64_t>(out.tokens.size());
        out.ids.insert(out.ids.end(), chunk.ids.begin(), chunk.ids.end());
        out.tokens.insert(out.tokens.end(), chunk.tokens.begin(), chunk.tokens.end());
        for (std::size_t i = 1; i < chunk.offsets.size(); ++i)
            out.offsets.push_back(base + chunk.offsets[i]);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t control = size > 0 ? data[0] : 0;
    const bool is_rna = (control & 1) != 0;
    const std::size_t chunk_count = 1 + ((control >> 1) & 7);
    const bool end_beyond = (control & 0x10) != 0;
    const unsigned fineness = control >> 5;
    const std::size_t control_len = std::min(size, 1 + 2 * (chunk_count - 1));
    const std::span<const std::uint8_t> image(data + control_len, size - control_len);

    std::vector<std::size_t> cuts{0};
    for (std::size_t i = 0; i < chunk_count - 1; ++i) {
        std::uint16_t raw = 0;
        if (1 + 2 * i + 2 <= control_len)
            std::memcpy(&raw, data + 1 + 2 * i, 2);
        cuts.push_back(raw % (image.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(image.size() + (end_beyond ? 1 + control : 0));

    const veltra::fasta::TokenTable table = veltra::fasta::build_token_table(is_rna);
    check(table == fuzz::model::token_table(is_rna), "token table differs from the alphabet");
    const kernel::Tables tables = kernel::prepare(table);

    const Outcome model = fuzz::model::parse(image, 0, image.size(), is_rna);
    std::vector<Outcome> model_chunks;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
        model_chunks.push_back(fuzz::model::parse(image, cuts[i], cuts[i + 1], is_rna));

    for (const kernel::Kernel* k : kernel::available()) {
        const Outcome single = native_chunk(image, 0, image.size(), table, *k);
        check(single == model, "single-chunk parse differs from the model");
        check(fuzz::streamed(image, tables, *k, fineness, static_cast<std::uint32_t>(size)) == model,
              "streamed parse differs from the model");

        std::vector<Outcome> chunks;
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            chunks.push_back(native_chunk(image, cuts[i], cuts[i + 1], table, *k));
            check(chunks.back() == model_chunks[i], "chunk differs from the model");
        }
        check(join(chunks) == single, "chunks joined in order differ from the single-chunk parse");

        const Outcome beyond = native_chunk(image, image.size(), image.size() + 8, table, *k);
        check(beyond == join({}), "a chunk past the end of the image is not empty");
    }
    return 0;
}
