// Coverage-guided fuzzing of the chunk parser.
//
// Input: one control byte (bit 0: nucleotide table; bits 1-3: chunk count
// minus one; bit 4: the last chunk's end lies beyond the image), then two
// little-endian bytes per inner cut point, then the file image.
//
// Every chunk is compared with a slow line-by-line model; the chunk results
// joined in chunk order must equal the single-chunk parse, and when a header is
// bad the first chunk that fails must report what the single-chunk parse
// reports. Headers that are not numbers must panic, never crash. All of it
// runs once with every kernel the CPU offers, each giving what the portable
// kernel gives.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fasta.hpp"
#include "panic.hpp"

namespace {

using veltra::fasta::ChunkResult;
using veltra::fasta::TokenTable;
namespace kernel = veltra::fasta::kernel;

struct Outcome {
    std::vector<std::uint64_t> ids;
    std::vector<std::uint8_t> tokens;
    std::vector<std::int64_t> offsets{0};
    std::optional<std::string> panic;  // the message, when the parse failed

    bool operator==(const Outcome&) const = default;
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_parse_chunk: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition)
        fail(what);
}

// The token codes, written out independently of the parser's tables.
TokenTable model_table(bool is_rna) {
    TokenTable table;
    if (is_rna) {
        table.fill(3);
        table['A'] = 4;
        table['G'] = 5;
        table['C'] = 6;
        table['T'] = 7;
        table['U'] = 7;
    } else {
        table.fill(29);
        const char letters[] = "ACDEFGHIKLMNPQRSTVWY";
        for (int i = 0; i < 20; ++i)
            table[static_cast<std::uint8_t>(letters[i])] = static_cast<std::uint8_t>(8 + i);
    }
    return table;
}

// The identifier of a header's text, or the message of the panic it causes.
std::optional<std::uint64_t> model_header(std::string_view text, std::string& message) {
    const std::string unwrap = "called `Result::unwrap()` on an `Err` value: ";
    const veltra::Utf8Check utf8 = veltra::check_utf8(text);
    if (!utf8.valid) {
        message =
            unwrap + "Utf8Error { valid_up_to: " + std::to_string(utf8.valid_up_to) + ", error_len: " +
            (utf8.error_len == 0 ? std::string("None") : "Some(" + std::to_string(utf8.error_len) + ")") +
            " }";
        return std::nullopt;
    }
    auto value = veltra::parse_u64(text);
    if (!value) {
        message = unwrap + "ParseIntError { kind: " + std::string(veltra::to_string(value.error())) + " }";
        return std::nullopt;
    }
    return value.value();
}

// Line by line, byte by byte: the records whose '>' lies in [start, end). The
// file's first '>' opens a record wherever it stands, later ones only at the
// start of a line.
Outcome model_chunk(std::span<const std::uint8_t> image, std::size_t start, std::size_t end,
                    const TokenTable& table) {
    Outcome out;
    std::size_t pos = 0;
    while (pos < image.size() && image[pos] != '>')
        ++pos;
    bool owned = false;
    std::uint64_t id = 0;
    while (pos < image.size()) {
        std::size_t line_end = pos;
        while (line_end < image.size() && image[line_end] != '\n')
            ++line_end;
        if (image[pos] == '>') {
            owned = pos >= start && pos < end;
            if (owned) {
                std::string message;
                const std::string_view text(reinterpret_cast<const char*>(image.data()) + pos + 1,
                                            line_end - pos - 1);
                const auto value = model_header(text, message);
                if (!value) {
                    Outcome failed;
                    failed.panic = message;
                    return failed;
                }
                id = *value;
            }
        } else if (owned) {
            for (std::size_t i = pos; i < line_end; ++i)
                out.tokens.push_back(table[image[i]]);
            out.offsets.push_back(static_cast<std::int64_t>(out.tokens.size()));
            out.ids.push_back(id);
        }
        pos = line_end + 1;
    }
    return out;
}

Outcome native_chunk(std::span<const std::uint8_t> image, std::size_t start, std::size_t end,
                     const TokenTable& table, const kernel::Kernel& kernel) {
    Outcome out;
    try {
        const ChunkResult chunk = veltra::fasta::parse_chunk(image, start, end, table, kernel);
        out.ids.assign(chunk.ids.begin(), chunk.ids.end());
        out.tokens.assign(chunk.tokens.begin(), chunk.tokens.end());
        out.offsets.assign(chunk.offsets.begin(), chunk.offsets.end());
    } catch (const veltra::Panic& panic) {
        out.ids.clear();
        out.offsets.assign(1, 0);
        out.panic = panic.message;
        return out;
    }
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

    const TokenTable table = veltra::fasta::build_token_table(is_rna);
    check(table == model_table(is_rna), "token table differs from the alphabet");

    const Outcome model = model_chunk(image, 0, image.size(), table);
    std::vector<Outcome> model_chunks;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
        model_chunks.push_back(model_chunk(image, cuts[i], cuts[i + 1], table));

    // The model is the portable kernel's judge, and the portable kernel every
    // other kernel's.
    std::optional<Outcome> portable;
    for (const kernel::Kernel* k : kernel::available()) {
        const Outcome single = native_chunk(image, 0, image.size(), table, *k);
        check(single == model, "single-chunk parse differs from the model");
        if (!portable)
            portable = single;
        check(single == *portable, "a kernel differs from the portable one");

        std::vector<Outcome> chunks;
        for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
            chunks.push_back(native_chunk(image, cuts[i], cuts[i + 1], table, *k));
            check(chunks.back() == model_chunks[i], "chunk differs from the model");
        }
        check(join(chunks) == single, "chunks joined in order differ from the single-chunk parse");

        const Outcome beyond = native_chunk(image, image.size(), image.size() + 8, table, *k);
        check(beyond == Outcome{}, "a chunk past the end of the image is not empty");
    }
    return 0;
}
