// One chunk's records: which ones it owns, their counts, and their tokens.
#include "fasta/chunk.hpp"

#include <algorithm>

#include "fasta/records.hpp"
#include "panic.hpp"

namespace veltra::fasta {

namespace {

// The region that the first pass sized: a line that does not fit means the
// file changed, and nothing is written outside it.
class ExactRoom {
public:
    ExactRoom(const ChunkOutput& out, const ChunkPlan& plan) noexcept
        : out_(out), token_cap_(plan.tokens), entry_cap_(plan.entries) {}

    // n bytes of input give at most n tokens and n lines.
    void ensure(std::size_t n) noexcept {
        if (out_.ahead == nullptr)
            return;
        const std::size_t lines = std::min(entry_cap_, entries_ + n);
        out_.ahead[0].reach(out_.tokens + std::min(token_cap_, tokens_ + n));
        out_.ahead[1].reach(out_.ends + lines);
        out_.ahead[2].reach(out_.ids + lines);
    }

    kernel::LinesOut lines_out() const noexcept {
        return {out_.tokens + tokens_, token_cap_ - tokens_, out_.ends + entries_, entry_cap_ - entries_,
                out_.token_base + static_cast<std::int64_t>(tokens_)};
    }

    void wrote_lines(std::size_t lines, std::size_t tokens, std::uint64_t id) noexcept {
        std::fill_n(out_.ids + entries_, lines, id);
        entries_ += lines;
        tokens_ += tokens;
    }

    std::uint8_t* token_end() const noexcept { return out_.tokens + tokens_; }
    std::size_t token_room() const noexcept { return token_cap_ - tokens_; }
    void wrote_tokens(std::size_t n) noexcept { tokens_ += n; }

    void end_line(std::uint64_t id) {
        if (entries_ == entry_cap_)
            file_changed();
        out_.ends[entries_] = out_.token_base + static_cast<std::int64_t>(tokens_);
        out_.ids[entries_] = id;
        ++entries_;
    }

    [[noreturn]] void overflow() const { file_changed(); }

    bool filled() const noexcept { return tokens_ == token_cap_ && entries_ == entry_cap_; }

private:
    ChunkOutput out_;
    std::size_t token_cap_;
    std::size_t entry_cap_;
    std::size_t tokens_ = 0;
    std::size_t entries_ = 0;
};

template <class Parser>
[[noreturn]] void refused(const Parser& parser) {
    parser.refused_header().fail();
}

}  // namespace

ChunkPlan scan_chunk(Reader& reader, std::uint64_t start, std::uint64_t end, const kernel::Kernel& kernel,
                     std::size_t id_budget) {
    ChunkPlan plan{start, start, 0, 0, {}};
    if (start >= end)
        return plan;
    const std::uint64_t first = first_record(reader, start, end);
    if (first == no_record)
        return plan;
    plan.first = first;
    using Parser = RecordParser<LineCounter>;
    Parser parser(first, end, Parser::State::opening, kernel, id_budget);
    while (!parser.stopped()) {
        const std::span<const std::uint8_t> view = reader.at(parser.pos());
        if (view.empty()) {
            if (!parser.finish())
                refused(parser);
            break;
        }
        if (!parser.feed(view))
            refused(parser);
    }
    plan.stop = parser.pos();
    plan.entries = parser.sink().entries();
    plan.tokens = parser.sink().tokens();
    plan.ids = parser.sink().take_ids();
    return plan;
}

void fill_chunk(Reader& reader, const ChunkPlan& plan, const ChunkOutput& out, const kernel::Tables& tables,
                const kernel::Kernel& kernel) {
    using Parser = RecordParser<LineWriter<ExactRoom>>;
    Parser parser(plan.first, no_record, Parser::State::opening, ExactRoom(out, plan), tables, kernel);
    parser.take_ids(plan.ids.span());
    // Nothing past the bytes that the first pass took, so that a file that
    // grew in between cannot make it write more.
    while (parser.pos() < plan.stop) {
        const std::span<const std::uint8_t> view = reader.at(parser.pos());
        if (view.empty())
            file_changed();
        if (!parser.feed(view.first(std::min<std::uint64_t>(view.size(), plan.stop - parser.pos()))))
            refused(parser);
    }
    if (!parser.finish())
        refused(parser);
    if (!parser.sink().room().filled())
        file_changed();
}

ChunkResult parse_chunk(std::span<const std::uint8_t> image, std::size_t start, std::size_t end,
                        const TokenTable& table, const kernel::Kernel& kernel) {
    const Source source{image, nullptr, image.size()};
    Reader reader(source);
    const ChunkPlan plan = scan_chunk(reader, start, std::min(end, image.size()), kernel,
                                      handed_ids_bytes / sizeof(std::uint64_t));
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
