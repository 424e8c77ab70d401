// The streamed parse: one state machine over pieces of the stream.
#include "fasta/stream.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "fasta/chunk.hpp"
#include "panic.hpp"

namespace veltra::fasta {

StreamParser::StreamParser(const kernel::Tables& tables, const kernel::Kernel& kernel)
    : tables_(tables), kernel_(kernel) {
    out_.offsets.push_back(0);
}

bool StreamParser::feed(std::span<const std::uint8_t> bytes) {
    if (refused_)
        return false;
    while (!bytes.empty()) {
        switch (state_) {
            case State::preamble: {
                const void* gt = std::memchr(bytes.data(), '>', bytes.size());
                if (gt == nullptr)
                    return true;
                bytes = bytes.subspan(static_cast<const std::uint8_t*>(gt) - bytes.data() + 1);
                header_.clear();
                state_ = State::header;
                break;
            }
            case State::header: {
                const void* nl = std::memchr(bytes.data(), '\n', bytes.size());
                const auto len =
                    nl == nullptr
                        ? bytes.size()
                        : static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - bytes.data());
                header_.append(reinterpret_cast<const char*>(bytes.data()), len);
                if (nl == nullptr)
                    return true;
                const std::optional<std::uint64_t> id = header_number(header_);
                if (!id) {
                    refused_ = true;
                    return false;
                }
                id_ = *id;
                bytes = bytes.subspan(len + 1);
                line_start_ = true;
                state_ = State::lines;
                break;
            }
            case State::lines: {
                const kernel::Scan scan = kernel_.scan_to_header(bytes.data(), bytes.size(), line_start_);
                feed_lines(bytes.first(scan.stop));
                if (scan.stop == bytes.size())
                    return true;
                bytes = bytes.subspan(scan.stop + 1);
                header_.clear();
                state_ = State::header;
                break;
            }
        }
    }
    return true;
}

void StreamParser::fail() const {
    read_header(header_);
    // A refused header always panics; this only keeps the promise.
    panic("header refused without a failure");
}

// Sequence bytes with no header start among them.
void StreamParser::feed_lines(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    Buffer<std::uint8_t>& tokens = out_.tokens;
    // A line that an earlier piece began.
    if (!line_start_) {
        tokens.reserve(bytes.size());
        const std::size_t len = kernel_.translate_line(bytes.data(), bytes.size(), tokens.end(), tables_);
        tokens.set_size(tokens.size() + len);
        if (len == bytes.size())
            return;
        end_line();
        bytes = bytes.subspan(len + 1);
    }
    while (!bytes.empty()) {
        // Room for every byte as a token and as a line end: more than the
        // lines can need, so the kernel never stops for lack of room.
        tokens.reserve(bytes.size());
        out_.offsets.reserve(bytes.size());
        out_.ids.reserve(bytes.size());
        const kernel::Lines batch =
            kernel_.translate_lines(bytes.data(), bytes.size(),
                                    kernel::LinesOut{tokens.end(), bytes.size(), out_.offsets.end(),
                                                     bytes.size(), static_cast<std::int64_t>(tokens.size())},
                                    tables_);
        tokens.set_size(tokens.size() + batch.tokens);
        out_.offsets.set_size(out_.offsets.size() + batch.lines);
        std::fill_n(out_.ids.end(), batch.lines, id_);
        out_.ids.set_size(out_.ids.size() + batch.lines);
        bytes = bytes.subspan(batch.used);
        if (batch.lines == 0)
            break;
    }
    // What is left is the start of a line that a later piece ends.
    if (!bytes.empty()) {
        const std::size_t len = kernel_.translate_line(bytes.data(), bytes.size(), tokens.end(), tables_);
        tokens.set_size(tokens.size() + len);
        line_start_ = false;
    } else {
        line_start_ = true;
    }
}

void StreamParser::end_line() {
    out_.offsets.push_back(static_cast<std::int64_t>(out_.tokens.size()));
    out_.ids.push_back(id_);
    line_start_ = true;
}

Parsed StreamParser::finish() {
    if (refused_)
        fail();
    if (state_ == State::header)
        id_ = read_header(header_);
    else if (state_ == State::lines && !line_start_)
        end_line();
    state_ = State::preamble;
    out_.tokens.shrink_to_fit();
    out_.offsets.shrink_to_fit();
    out_.ids.shrink_to_fit();
    return std::move(out_);
}

}  // namespace veltra::fasta
