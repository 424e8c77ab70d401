#include "fasta.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <string>

#include "data.hpp"
#include "panic.hpp"
#include "pool.hpp"
#include "sys.hpp"

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

constexpr std::size_t none = static_cast<std::size_t>(-1);

// Below this size a file is parsed as one chunk.
constexpr std::size_t single_chunk_below = 100000;

// The record identifier of a header line; the format leaves no way to go on
// after a header that is not a number, so it is a broken invariant.
std::uint64_t read_header(std::string_view text) {
    const Utf8Check utf8 = check_utf8(text);
    if (!utf8.valid) [[unlikely]] {
        std::string message(msg::unwrap_err);
        message += "Utf8Error { valid_up_to: ";
        message += std::to_string(utf8.valid_up_to);
        message += ", error_len: ";
        message += utf8.error_len == 0 ? std::string("None") : "Some(" + std::to_string(utf8.error_len) + ")";
        message += " }";
        panic(std::move(message));
    }
    auto number = parse_u64(text);
    if (!number) [[unlikely]] {
        std::string message(msg::unwrap_err);
        message += "ParseIntError { kind: ";
        message += to_string(number.error());
        message += " }";
        panic(std::move(message));
    }
    return number.value();
}

// The position of the first header that a chunk starting at `start` owns, or
// `none` when no header opens in [start, end).
//
// Once a parse is under way only a '>' at a line start opens a header. The one
// exception is the first '>' of the file, which opens the first record wherever
// it stands (everything before it is a preamble). Taking any other '>' for a
// header would let a chunk that starts inside a sequence line holding a '>'
// invent a record, so a chunk takes a mid-line '>' only if no '>' precedes it
// in the whole file; that is asked once, on the first mid-line candidate.
std::size_t first_header(const std::uint8_t* data, std::size_t start, std::size_t end) {
    bool file_first_seen = false;
    std::size_t pos = start;
    while (pos < end) {
        const void* hit = std::memchr(data + pos, '>', end - pos);
        if (hit == nullptr)
            return none;
        const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
        if (at == 0 || data[at - 1] == '\n')
            return at;
        if (!file_first_seen) {
            file_first_seen = true;
            // The nearest '>' before start is usually close by, so searching
            // backwards rarely reads far.
            if (start == 0 || ::memrchr(data, '>', start) == nullptr)
                return at;
        }
        pos = at + 1;
    }
    return none;
}

// Eight bytes at a time: one load and one store per word instead of one store
// per byte (about 1.5x the plain byte loop). The restrict promise matters, as
// the output, the input and the table are all bytes and might otherwise alias.
static_assert(std::endian::native == std::endian::little, "bytes are taken from words low byte first");
void translate(const std::uint8_t* __restrict src, std::size_t n, std::uint8_t* __restrict dst,
               const std::uint8_t* __restrict table) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t in;
        std::memcpy(&in, src + i, 8);
        std::uint64_t out = 0;
        for (int k = 0; k < 8; ++k)
            out |= std::uint64_t{table[(in >> (8 * k)) & 0xFF]} << (8 * k);
        std::memcpy(dst + i, &out, 8);
    }
    for (; i < n; ++i)
        dst[i] = table[src[i]];
}

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

ChunkResult parse_chunk(std::span<const std::uint8_t> image, std::size_t start, std::size_t end,
                        const TokenTable& table) {
    ChunkResult result;
    result.offsets.push_back(0);

    const std::uint8_t* const data = image.data();
    const std::size_t size = image.size();
    end = std::min(end, size);
    if (start >= end)
        return result;
    std::size_t pos = first_header(data, start, end);
    if (pos == none)
        return result;

    // Nearly every byte of a FASTA file is a sequence byte, so the chunk's own
    // range is a close guess for its tokens. The margin covers the usual last
    // record running past end without doubling the buffer for a few lines.
    constexpr std::size_t margin = 64 * 1024;
    result.tokens.reserve_exact(std::min(size - pos, end - pos + margin));
    std::uint64_t id = 0;  // always set: the parse starts at a header
    while (pos < size) {
        const std::uint8_t* const line = data + pos;
        const std::size_t rest = size - pos;
        const void* newline = std::memchr(line, '\n', rest);
        const std::size_t len =
            newline == nullptr ? rest
                               : static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - line);
        if (*line == '>') {
            if (pos >= end)
                break;
            id = read_header(std::string_view(reinterpret_cast<const char*>(line) + 1, len - 1));
        } else {
            Buffer<std::uint8_t>& tokens = result.tokens;
            tokens.reserve(len);
            translate(line, len, tokens.data() + tokens.size(), table.data());
            tokens.set_size(tokens.size() + len);
            result.offsets.push_back(static_cast<std::int64_t>(tokens.size()));
            result.ids.push_back(id);
        }
        pos += len + 1;
    }
    return result;
}

Parsed merge_chunk_results(std::vector<ChunkResult>&& chunks) {
    if (chunks.empty())
        chunks.emplace_back().offsets.push_back(0);
    // The first chunk's buffers grow into the merged ones; the others are
    // copied in after them.
    ChunkResult& first = chunks.front();
    const std::span<const ChunkResult> rest = std::span(chunks).subspan(1);
    std::vector<pool::Slice<std::uint64_t>> ids;
    std::vector<data::ListArrayView> lists;
    ids.reserve(rest.size());
    lists.reserve(rest.size());
    for (const ChunkResult& chunk : rest) {
        ids.push_back({chunk.ids.data(), chunk.ids.size()});
        lists.push_back(
            {chunk.tokens.data(), chunk.tokens.size(), chunk.offsets.data(), chunk.offsets.size()});
    }
    Buffer<std::uint64_t> merged_ids = pool::parallel_concat<std::uint64_t>(std::move(first.ids), ids).buffer;
    data::ListArray merged = data::concatenate_list_arrays(
        lists, data::ListArray{std::move(first.tokens), std::move(first.offsets)});
    chunks.clear();
    return Parsed{std::move(merged.content), std::move(merged.offsets), std::move(merged_ids)};
}

Parsed parse_file(std::string_view path, bool is_rna) {
    sys::print_line({"Reading file\n"});
    auto read = sys::read_whole_file(path);
    if (!read)
        panic(std::string(msg::unwrap_err) + read.error().detailed());
    Buffer<std::uint8_t> image = std::move(read).value();

    // Small files are not worth splitting; the worker count is asked for
    // either way, which starts the pool on the first call.
    const std::size_t workers = pool::current_num_threads();
    const std::size_t chunk_count = image.size() < single_chunk_below ? 1 : workers;
    const std::size_t chunk_len = image.size() / chunk_count + (image.size() % chunk_count != 0);
    const TokenTable table = build_token_table(is_rna);
    sys::print_line({"Parsing file ", path, " in chunks\n"});

    const std::span<const std::uint8_t> bytes = image.span();
    struct ChunkOutcome {
        std::size_t index;
        ChunkResult result;
        std::exception_ptr failure;
    };
    auto collected = pool::parallel_bridge_map(chunk_count, [&](std::size_t i) {
        const std::size_t start = std::min(i * chunk_len, bytes.size());
        const std::size_t end = std::min(start + chunk_len, bytes.size());
        ChunkOutcome out{i, {}, nullptr};
        try {
            out.result = parse_chunk(bytes, start, end, table);
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (...) {
            out.failure = std::current_exception();
        }
        return out;
    });
    // Workers take chunks in whatever order they come; entries stay in file
    // order by merging in chunk order. Likewise, when several chunks fail,
    // the first one in the file decides: that is the first bad header, the
    // one a parse as a single chunk reports, whichever worker got there first.
    std::vector<ChunkResult> chunks(chunk_count);
    const ChunkOutcome* first_failure = nullptr;
    for (ChunkOutcome& chunk : collected) {
        if (chunk.failure && (first_failure == nullptr || chunk.index < first_failure->index))
            first_failure = &chunk;
        chunks[chunk.index] = std::move(chunk.result);
    }
    if (first_failure != nullptr)
        std::rethrow_exception(first_failure->failure);
    collected.clear();
    // The image is no longer needed: free it before the merge doubles the results.
    image = Buffer<std::uint8_t>();

    sys::print_line({"Merging result\n"});
    return merge_chunk_results(std::move(chunks));
}

}  // namespace veltra::fasta
