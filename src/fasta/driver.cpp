// parse_file: which road a file takes; for a plain one below the size of
// the pieces, the chunk plan and the two passes on the pool.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fasta/chunk.hpp"
#include "fasta/failures.hpp"
#include "fasta/gzip.hpp"
#include "fasta/pieces.hpp"
#include "fasta/pipeline.hpp"
#include "panic.hpp"
#include "pool.hpp"
#include "sys.hpp"

namespace veltra::fasta {

void (*between_passes)(std::string_view path) = nullptr;

namespace {

// Below this size a file is parsed as one chunk.
constexpr std::uint64_t single_chunk_below = 100000;

std::size_t checked_sum(std::size_t a, std::size_t b) {
    std::size_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        panic(std::string(msg::capacity_overflow));
    return sum;
}

// A plain file, cut into chunks, in two passes on the pool.
Parsed parse_chunks(const Source& source, std::string_view path, std::size_t workers,
                    const kernel::Tables& tables, const kernel::Kernel& kernel) {
    // Small files are not worth splitting.
    const std::uint64_t size = source.size;
    const std::size_t chunk_count = size < single_chunk_below ? 1 : workers;
    const std::uint64_t chunk_len = size / chunk_count + (size % chunk_count != 0);
    const std::size_t id_budget = handed_ids_bytes / sizeof(std::uint64_t) / chunk_count;

    const auto start_of = [&](std::size_t i) { return std::min<std::uint64_t>(i * chunk_len, size); };
    const auto end_of = [&](std::size_t i) { return std::min<std::uint64_t>(start_of(i) + chunk_len, size); };
    // When several chunks fail, the first in the file decides: its bad
    // header is the one a parse as a single chunk reports.
    const std::vector<ChunkPlan> plans = pool::ordered_map(chunk_count, [&](std::size_t i) {
        Reader reader(source);
        return scan_chunk(reader, start_of(i), end_of(i), kernel, id_budget);
    });

    sys::print_line({"Merging result\n"});
    // Each chunk's place in the results, known before any chunk writes.
    std::vector<std::size_t> token_base(chunk_count);
    std::vector<std::size_t> entry_base(chunk_count);
    std::size_t tokens = 0;
    std::size_t entries = 0;
    for (std::size_t i = 0; i < chunk_count; ++i) {
        token_base[i] = tokens;
        entry_base[i] = entries;
        tokens = checked_sum(tokens, plans[i].tokens);
        entries = checked_sum(entries, plans[i].entries);
    }
    Parsed out{Buffer<std::uint8_t>::uninitialized(tokens),
               Buffer<std::int64_t>::uninitialized(checked_sum(entries, 1)),
               Buffer<std::uint64_t>::uninitialized(entries)};
    out.offsets[0] = 0;
    // Results large enough to be mappings of their own may take huge pages.
    sys::HugePages huge;
    const auto advised = [&huge](auto& buffer) -> sys::HugePages* {
        return buffer.capacity() * sizeof(buffer[0]) >= memory::mapped_from ? &huge : nullptr;
    };
    sys::HugePages* const huge_tokens = advised(out.tokens);
    sys::HugePages* const huge_ends = advised(out.offsets);
    sys::HugePages* const huge_ids = advised(out.ids);

    if (between_passes != nullptr)
        between_passes(path);
    pool::ordered_map(chunk_count, [&](std::size_t i) {
        Reader reader(source);
        std::uint8_t* const tokens_at = out.tokens.data() + token_base[i];
        std::int64_t* const ends_at = out.offsets.data() + 1 + entry_base[i];
        std::uint64_t* const ids_at = out.ids.data() + entry_base[i];
        // The worker that writes a chunk makes its pages present.
        sys::WriteAhead ahead[3];
        ahead[0].move_to(tokens_at, plans[i].tokens, huge_tokens);
        ahead[1].move_to(ends_at, plans[i].entries * sizeof(std::int64_t), huge_ends);
        ahead[2].move_to(ids_at, plans[i].entries * sizeof(std::uint64_t), huge_ids);
        const ChunkOutput region{tokens_at, ends_at, ids_at, static_cast<std::int64_t>(token_base[i]), ahead};
        fill_chunk(reader, plans[i], region, tables, kernel);
    });
    return out;
}

Parsed parse_opened(std::string_view path, bool is_rna, const kernel::Kernel& kernel) {
    sys::print_line({"Reading file\n"});
    auto opened = sys::open_file(path);
    if (!opened)
        read_failed(opened.error(), "while opening the file");
    const sys::File file = std::move(opened).value();

    // A regular file is read by the chunks themselves, each its own part; one
    // that cannot say its size up front is read whole first, and the chunks
    // then work on that image.
    Buffer<std::uint8_t> image;
    Source source;
    if (const std::optional<std::uint64_t> size = file.regular_size()) {
        source.file = &file;
        source.size = *size;
    } else {
        auto read = file.read_to_end();
        if (!read)
            read_failed(read.error(), "while reading the file");
        image = std::move(read).value();
        source.image = image.span();
        source.size = image.size();
    }

    // The worker count is asked for whatever the file, which starts the pool
    // on the first call.
    const std::size_t workers = pool::current_num_threads();
    const kernel::Tables tables = kernel::prepare(build_token_table(is_rna));
    sys::print_line({"Parsing file ", path, " in chunks\n"});

    // A gzip file is known by its first bytes, whatever it is called, and is
    // not cut into chunks.
    std::uint8_t magic[3];
    const bool compressed = gzip::starts_gzip({magic, source.read(0, magic, sizeof magic)});
    try {
        // A large regular file is read once, in pieces.
        if (!compressed && source.file != nullptr && source.size >= pieces_from) {
            Parsed out = parse_in_pieces(source, workers, tables, kernel);
            sys::print_line({"Merging result\n"});
            return out;
        }
        if (!compressed)
            return parse_chunks(source, path, workers, tables, kernel);
        Parsed out = parse_compressed(source, workers, tables, kernel);
        sys::print_line({"Merging result\n"});
        return out;
    } catch (RefusedHeader& refused) {
        // The file is still open here, for a second look on this road only.
        note_header_place(refused, source, compressed);
        throw;
    }
}

}  // namespace

Parsed parse_file(std::string_view path, bool is_rna, const kernel::Kernel& kernel) {
    try {
        return parse_opened(path, is_rna, kernel);
    } catch (Panic& failure) {
        failure.add_note("while parsing FASTA file ", path);
        throw;
    }
}

}  // namespace veltra::fasta
