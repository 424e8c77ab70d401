// The record rules of a FASTA text, in one place for every way its bytes
// arrive: where the first record starts, the header line and its check, what
// a sequence line is, a last line without '\n', and lines and headers cut
// between two pieces of input.
//
// A `RecordParser` is a small state machine fed with the text in pieces, in
// order, wherever they end. Where the lines go is up to its sink: a
// `LineCounter` counts them (the first pass over a chunk), a `LineWriter`
// writes their tokens, ends and ids into the room its policy gives: an exact
// region (the second pass over a chunk) or buffers that grow (the streamed
// parse of a compressed file). The byte loops stay in the kernels; the
// machine hands each stretch of lines to one of them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include "buffer.hpp"
#include "fasta/kernel.hpp"
#include "fasta/source.hpp"
#include "panic.hpp"

namespace veltra::fasta {

inline constexpr std::uint64_t no_record = std::numeric_limits<std::uint64_t>::max();

// The second look at a chunk met other bytes than the first: the file was
// written to in between, and what it holds now is neither the old file nor a
// whole new one.
[[noreturn]] void file_changed();

// The position of the first header that a chunk starting at `start` owns, or
// `no_record` when no header opens in [start, end).
//
// Once a parse is under way only a '>' at a line start opens a header. The
// one exception is the first '>' of the text, which opens the first record
// wherever it stands (everything before it is a preamble). A chunk that
// starts inside a sequence line holding a '>' must not invent a record, so it
// takes a mid-line '>' only if no '>' precedes it in the whole file.
std::uint64_t first_record(Reader& reader, std::uint64_t start, std::uint64_t end);

// The check of one header's text (the bytes after '>'), fed as it streams
// past: memory does not follow the length of the line. The text must be
// valid UTF-8 and then an unsigned decimal number within 64 bits, with an
// optional leading '+'; the UTF-8 fault wins wherever the other lies.
class HeaderCheck {
public:
    // Bytes of a refused header kept for its failure report.
    static constexpr std::size_t kept = 80;

    // A whole header in one piece, the usual case; `gt` is the position of
    // its '>' in the text. True when it is a number, then `id()`.
    bool whole(std::uint64_t gt, std::span<const std::uint8_t> text) noexcept {
        // Up to 19 digits never overflow.
        if (text.size() - 1 < 19) {
            std::uint64_t value = 0;
            std::size_t i = 0;
            for (; i < text.size(); ++i) {
                const unsigned digit = text[i] - unsigned{'0'};
                if (digit > 9)
                    break;
                value = value * 10 + digit;
            }
            if (i == text.size()) {
                id_ = value;
                return true;
            }
        }
        first(gt, text);
        return end();
    }

    // A header whose text goes on past this piece.
    void first(std::uint64_t gt, std::span<const std::uint8_t> text) noexcept;
    void more(std::span<const std::uint8_t> text) noexcept;
    // Its text ended: true when it is a number.
    bool end() noexcept;

    std::uint64_t id() const noexcept { return id_; }

    // Panics with the message of the refused header, as a `RefusedHeader`
    // (fasta/failures.hpp) that shows its first bytes and where its '>'
    // stands in the (decompressed) text.
    [[noreturn]] void fail() const;

private:
    std::uint64_t id_ = 0;
    std::uint64_t gt_ = 0;
    Utf8Stream utf8_;
    DecimalStream number_;
    std::size_t head_len_ = 0;
    bool cut_ = false;       // there is more than `head_`
    std::uint8_t last_ = 0;  // the last byte of the text, if any
    std::array<std::uint8_t, kept> head_{};
};

// A sink of the record machine takes, with n >= 1:
//   std::size_t lines(const std::uint8_t* p, std::size_t n, bool& line_start)
//     the sequence lines from p[0] on (p[0] begins a line when `line_start`),
//     up to the first header start; returns its position, or n. Leaves in
//     `line_start` whether the byte after p[n - 1] begins a line.
//   void header(std::uint64_t id)    a record opens
//   void end(bool line_start)        the text ended
template <class Sink>
class RecordParser {
public:
    enum class State : std::uint8_t {
        preamble,  // before the text's first '>', which opens a record wherever it stands
        opening,   // the next byte is a header's '>'
        header,
        lines,
        stopped,  // at a header at or past `end`
        refused,  // a header is not a number
    };

    // Fed from position `pos`; stops before a header whose '>' is at or past `end`.
    template <class... Args>
    RecordParser(std::uint64_t pos, std::uint64_t end, State state, Args&&... sink)
        : sink_(std::forward<Args>(sink)...), pos_(pos), end_(end), state_(state) {}

    // The next bytes, those from `pos()` on. False once a header is refused:
    // nothing more is taken, and `refused_header()` tells which.
    bool feed(std::span<const std::uint8_t> bytes);

    // The text ended at `pos()`: a last line without '\n' is a line, and a
    // header left open is checked. False when that header is refused.
    bool finish();

    // Ids of the headers to come, already checked: they are taken in order
    // instead of reading those headers again.
    void take_ids(std::span<const std::uint64_t> ids) noexcept {
        handed_ = ids.data();
        handed_end_ = ids.data() + ids.size();
    }

    std::uint64_t pos() const noexcept { return pos_; }
    bool stopped() const noexcept { return state_ == State::stopped; }
    const HeaderCheck& refused_header() const noexcept { return check_; }
    Sink& sink() noexcept { return sink_; }

private:
    void open(std::size_t at) noexcept {
        state_ = State::header;
        gt_ = pos_ + at;
        fresh_ = true;
    }
    std::size_t header_piece(const std::uint8_t* p, std::size_t at, std::size_t n);
    bool header_ended(std::span<const std::uint8_t> last);

    Sink sink_;
    HeaderCheck check_;
    std::uint64_t pos_;
    const std::uint64_t end_;
    std::uint64_t gt_ = 0;
    const std::uint64_t* handed_ = nullptr;
    const std::uint64_t* handed_end_ = nullptr;
    State state_;
    bool fresh_ = false;      // in `header`: none of its text seen yet
    bool line_start_ = true;  // in `lines`: the next byte begins a line
};

template <class Sink>
bool RecordParser<Sink>::feed(std::span<const std::uint8_t> bytes) {
    if (state_ == State::refused)
        return false;
    const std::uint8_t* const p = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t at = 0;
    while (at < n) {
        switch (state_) {
            case State::preamble: {
                const void* gt = std::memchr(p + at, '>', n - at);
                if (gt == nullptr) {
                    at = n;
                    break;
                }
                at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(gt) - p);
                open(at++);
                break;
            }
            case State::opening:
                if (p[at] != '>')
                    file_changed();
                open(at++);
                break;
            case State::header:
                at = header_piece(p, at, n);
                if (state_ == State::refused)
                    return false;
                break;
            case State::lines:
                at += sink_.lines(p + at, n - at, line_start_);
                if (at < n) {
                    if (pos_ + at >= end_) {
                        pos_ += at;
                        state_ = State::stopped;
                        return true;
                    }
                    open(at++);
                }
                break;
            case State::stopped:
                return true;
            case State::refused:
                return false;
        }
    }
    pos_ += n;
    return true;
}

// The header's text from p[at] on; returns where the bytes after it start.
template <class Sink>
std::size_t RecordParser<Sink>::header_piece(const std::uint8_t* p, std::size_t at, std::size_t n) {
    const void* nl = std::memchr(p + at, '\n', n - at);
    if (nl == nullptr) {
        if (handed_ == handed_end_) {
            const std::span<const std::uint8_t> text(p + at, n - at);
            if (fresh_)
                check_.first(gt_, text);
            else
                check_.more(text);
        }
        fresh_ = false;
        return n;
    }
    const auto len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nl) - (p + at));
    if (!header_ended({p + at, len}))
        return n;
    state_ = State::lines;
    line_start_ = true;
    return at + len + 1;
}

template <class Sink>
bool RecordParser<Sink>::header_ended(std::span<const std::uint8_t> last) {
    if (handed_ != handed_end_) {
        sink_.header(*handed_++);
        return true;
    }
    bool number;
    if (fresh_) {
        number = check_.whole(gt_, last);
    } else {
        check_.more(last);
        number = check_.end();
    }
    if (!number) {
        state_ = State::refused;
        return false;
    }
    sink_.header(check_.id());
    return true;
}

template <class Sink>
bool RecordParser<Sink>::finish() {
    switch (state_) {
        case State::header:
            if (!header_ended({}))
                return false;
            state_ = State::lines;
            line_start_ = true;
            return true;
        case State::lines:
            sink_.end(line_start_);
            line_start_ = true;
            return true;
        case State::refused:
            return false;
        default:
            return true;
    }
}

// Counts a chunk's sequence lines and their tokens, and keeps the ids of its
// headers, as many as `budget`, for the second pass.
class LineCounter {
public:
    LineCounter(const kernel::Kernel& kernel, std::size_t budget) noexcept
        : kernel_(kernel), budget_(budget) {}

    std::size_t lines(const std::uint8_t* p, std::size_t n, bool& line_start) {
        // Every '\n' ends a line; the end of the text ends one more after a
        // last line without it (`end`).
        const kernel::Scan scan = kernel_.scan_to_header(p, n, line_start);
        entries_ += scan.newlines;
        tokens_ += scan.stop - scan.newlines;
        if (scan.stop == n)
            line_start = p[n - 1] == '\n';
        return scan.stop;
    }

    void header(std::uint64_t id) {
        if (ids_.size() == ids_.capacity() && !grow_ids())
            return;
        ids_[ids_.size()] = id;
        ids_.set_size(ids_.size() + 1);
    }

    void end(bool line_start) noexcept { entries_ += line_start ? 0 : 1; }

    std::size_t entries() const noexcept { return entries_; }
    std::size_t tokens() const noexcept { return tokens_; }
    Buffer<std::uint64_t> take_ids() noexcept { return std::move(ids_); }

private:
    bool grow_ids() {
        if (ids_.size() >= budget_)
            return false;
        const std::size_t cap = std::min(budget_, std::max<std::size_t>(ids_.capacity() * 2, 1024));
        ids_.reserve_exact(cap - ids_.size());
        return true;
    }

    const kernel::Kernel& kernel_;
    const std::size_t budget_;
    std::size_t entries_ = 0;
    std::size_t tokens_ = 0;
    Buffer<std::uint64_t> ids_;
};

// Writes sequence lines: tokens, line ends and ids, into the room that its
// policy gives. A `Room` has
//   void ensure(std::size_t n)               room for n more tokens and line ends, if it can grow
//   kernel::LinesOut lines_out()             the room left
//   void wrote_lines(std::size_t lines, std::size_t tokens, std::uint64_t id)
//   std::uint8_t* token_end(), std::size_t token_room(), void wrote_tokens(std::size_t n)
//   void end_line(std::uint64_t id)          one line end; fails when there is no room
//   [[noreturn]] void overflow()             a line does not fit
template <class Room>
class LineWriter {
public:
    LineWriter(Room room, const kernel::Tables& tables, const kernel::Kernel& kernel)
        : room_(std::move(room)), tables_(tables), kernel_(kernel) {}

    void header(std::uint64_t id) noexcept { id_ = id; }

    // A partial line, whole lines, then a partial line: the rest of a line
    // that an earlier piece began, the lines that a '\n' ends in this piece,
    // and the start of one that a later piece ends.
    std::size_t lines(const std::uint8_t* p, std::size_t n, bool& line_start) {
        std::size_t at = 0;
        if (!line_start) {
            const std::size_t len = piece(p, n);
            if (len == n)
                return n;
            room_.end_line(id_);
            at = len + 1;
            line_start = true;
        }
        while (at < n) {
            if (p[at] == '>')
                return at;
            room_.ensure(n - at);
            const kernel::Lines batch = kernel_.translate_lines(p + at, n - at, room_.lines_out(), tables_);
            room_.wrote_lines(batch.lines, batch.tokens, id_);
            at += batch.used;
            if (batch.lines != 0)
                continue;
            // A line that no '\n' ends in this piece, or one that does not
            // fit the room left.
            const std::size_t len = piece(p + at, n - at);
            if (at + len == n) {
                line_start = false;
                return n;
            }
            room_.end_line(id_);
            at += len + 1;
        }
        return n;
    }

    void end(bool line_start) {
        if (!line_start)
            room_.end_line(id_);
    }

    Room& room() noexcept { return room_; }

private:
    // One line's bytes from p[0] up to its '\n' or n, never more than the
    // room left; returns how many.
    std::size_t piece(const std::uint8_t* p, std::size_t n) {
        room_.ensure(n);
        const std::size_t avail = std::min(n, room_.token_room());
        const std::size_t len = kernel_.translate_line(p, avail, room_.token_end(), tables_);
        room_.wrote_tokens(len);
        if (len == avail && avail < n && p[len] != '\n')
            room_.overflow();
        return len;
    }

    Room room_;
    const kernel::Tables& tables_;
    const kernel::Kernel& kernel_;
    std::uint64_t id_ = 0;
};

}  // namespace veltra::fasta
