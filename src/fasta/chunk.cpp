// One chunk's records: which ones it owns, their counts, and their tokens.
#include "fasta/chunk.hpp"

#include <algorithm>
#include <cstring>

#include "panic.hpp"

namespace veltra::fasta {

namespace {

constexpr std::uint64_t none = static_cast<std::uint64_t>(-1);

[[noreturn]] void read_failed(const sys::OsError& error) {
    panic(std::string(msg::unwrap_err) + error.detailed());
}

// The second pass met other bytes than the first: the file was written to in
// between, and what it holds now is neither the old file nor a whole new one.
[[noreturn]] void changed() {
    read_failed(sys::OsError::fixed(sys::ErrorKind::InvalidData, "file changed while it was being parsed"));
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
std::uint64_t first_header(Reader& reader, std::uint64_t start, std::uint64_t end) {
    bool file_first_seen = false;
    std::uint64_t pos = start;
    while (pos < end) {
        const std::span<const std::uint8_t> view = reader.at(pos);
        if (view.empty())
            return none;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(view.size(), end - pos));
        const auto* hit = static_cast<const std::uint8_t*>(std::memchr(view.data(), '>', n));
        if (hit == nullptr) {
            pos += n;
            continue;
        }
        const std::uint64_t at = pos + static_cast<std::uint64_t>(hit - view.data());
        const bool line_start =
            at == 0 || (hit > view.data() ? hit[-1] == '\n' : reader.byte_before(at) == '\n');
        if (line_start)
            return at;
        if (!file_first_seen) {
            file_first_seen = true;
            // The nearest '>' before start is usually close by, so searching
            // backwards rarely reads far.
            if (start == 0 || !reader.any_gt_before(start))
                return at;
        }
        pos = at + 1;
    }
    return none;
}

struct Header {
    std::uint64_t id;
    std::uint64_t next;  // the position after its line
};

// The header line whose '>' is at `pos`. Its text is read in place unless it
// crosses the end of a window, which happens at most once per window.
Header read_header_at(Reader& reader, std::uint64_t pos, std::string& scratch) {
    std::span<const std::uint8_t> view = reader.at(pos);
    // The window moved since the '>' was seen, and the file shrank meanwhile.
    if (view.empty() || view[0] != '>')
        changed();
    view = view.subspan(1);
    std::uint64_t p = pos + 1;
    const auto text = [](std::span<const std::uint8_t> bytes, std::size_t n) {
        return std::string_view(reinterpret_cast<const char*>(bytes.data()), n);
    };
    if (const void* nl = std::memchr(view.data(), '\n', view.size())) {
        const auto len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - view.data());
        return {read_header(text(view, len)), p + len + 1};
    }
    scratch.assign(text(view, view.size()));
    p += view.size();
    while (true) {
        view = reader.at(p);
        if (view.empty())
            return {read_header(scratch), p};
        if (const void* nl = std::memchr(view.data(), '\n', view.size())) {
            const auto len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - view.data());
            scratch.append(text(view, len));
            return {read_header(scratch), p + len + 1};
        }
        scratch.append(text(view, view.size()));
        p += view.size();
    }
}

}  // namespace

ChunkPlan scan_chunk(Reader& reader, std::uint64_t start, std::uint64_t end, const kernel::Kernel& kernel) {
    ChunkPlan plan{start, start, 0, 0};
    if (start >= end)
        return plan;
    std::uint64_t pos = first_header(reader, start, end);
    if (pos == none)
        return plan;
    plan.first = pos;
    std::string scratch;
    while (true) {
        pos = read_header_at(reader, pos, scratch).next;
        // The sequence lines up to the next line that starts with '>': every
        // '\n' ends one, and so does the end of the file after a last line
        // without one.
        const std::uint64_t lines_start = pos;
        std::size_t newlines = 0;
        bool line_start = true;
        bool header = false;
        while (true) {
            const std::span<const std::uint8_t> view = reader.at(pos);
            if (view.empty())
                break;
            const kernel::Scan scan = kernel.scan_to_header(view.data(), view.size(), line_start);
            newlines += scan.newlines;
            if (scan.stop < view.size()) {
                pos += scan.stop;
                header = true;
                break;
            }
            pos += view.size();
            line_start = view.back() == '\n';
        }
        plan.entries += newlines + (!header && !line_start ? 1 : 0);
        plan.tokens += static_cast<std::size_t>(pos - lines_start) - newlines;
        if (!header || pos >= end) {
            plan.stop = pos;
            return plan;
        }
    }
}

void fill_chunk(Reader& reader, const ChunkPlan& plan, const ChunkOutput& out, const kernel::Tables& tables,
                const kernel::Kernel& kernel) {
    const std::uint64_t stop = plan.stop;
    std::uint64_t pos = plan.first;
    std::size_t tokens = 0;
    std::size_t entries = 0;
    std::uint64_t id = 0;
    bool at_first = true;  // a chunk's bytes start with a header
    std::string scratch;
    while (pos < stop) {
        std::span<const std::uint8_t> view = reader.at(pos);
        if (view.empty())
            changed();
        if (view[0] == '>') {
            const Header header = read_header_at(reader, pos, scratch);
            id = header.id;
            pos = header.next;
            at_first = false;
            continue;
        }
        if (at_first)
            changed();
        // Whole lines inside the window in one call. The room given is what
        // the first pass counted, so a file that grew in between cannot make
        // it write more.
        const kernel::Lines batch = kernel.translate_lines(
            view.data(), static_cast<std::size_t>(std::min<std::uint64_t>(view.size(), stop - pos)),
            kernel::LinesOut{out.tokens + tokens, plan.tokens - tokens, out.ends + entries,
                             plan.entries - entries, out.token_base + static_cast<std::int64_t>(tokens)},
            tables);
        if (batch.lines != 0) {
            std::fill_n(out.ids + entries, batch.lines, id);
            entries += batch.lines;
            tokens += batch.tokens;
            pos += batch.used;
            continue;
        }
        if (entries == plan.entries)
            changed();
        // One sequence line, perhaps across windows. Never more tokens than
        // the first pass counted: each piece is cut to the room that is left.
        while (true) {
            const auto avail = static_cast<std::size_t>(std::min<std::uint64_t>(view.size(), stop - pos));
            const std::size_t n = std::min(avail, plan.tokens - tokens);
            const std::size_t len = kernel.translate_line(view.data(), n, out.tokens + tokens, tables);
            tokens += len;
            if (len < n) {
                pos += len + 1;
                break;
            }
            if (n < avail) {
                if (view[n] != '\n')
                    changed();
                pos += n + 1;
                break;
            }
            pos += n;
            if (pos >= stop)
                break;
            view = reader.at(pos);
            if (view.empty())
                changed();
        }
        out.ends[entries] = out.token_base + static_cast<std::int64_t>(tokens);
        out.ids[entries] = id;
        ++entries;
    }
    if (entries != plan.entries || tokens != plan.tokens || pos != stop)
        changed();
}

ChunkResult parse_chunk(std::span<const std::uint8_t> image, std::size_t start, std::size_t end,
                        const TokenTable& table, const kernel::Kernel& kernel) {
    const Source source{image, nullptr, image.size()};
    Reader reader(source);
    const ChunkPlan plan = scan_chunk(reader, start, std::min(end, image.size()), kernel);
    ChunkResult result;
    result.tokens = Buffer<std::uint8_t>::uninitialized(plan.tokens);
    result.offsets = Buffer<std::int64_t>::uninitialized(plan.entries + 1);
    result.ids = Buffer<std::uint64_t>::uninitialized(plan.entries);
    result.offsets[0] = 0;
    fill_chunk(reader, plan,
               ChunkOutput{result.tokens.data(), result.offsets.data() + 1, result.ids.data(), 0},
               kernel::prepare(table), kernel);
    return result;
}

}  // namespace veltra::fasta
