// Header lines, the one place where the format can be broken, and where a
// chunk's first record starts.
#include "fasta/records.hpp"

#include <string>

#include "fasta/failures.hpp"

namespace veltra::fasta {

namespace {

std::string_view chars(std::span<const std::uint8_t> bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

void file_changed() {
    read_failed(sys::OsError::fixed(sys::ErrorKind::InvalidData, "file changed while it was being parsed"),
                "the file changed between the two passes over it; parse it again once nothing writes to it");
}

// The nearest '>' before a chunk is usually close by, so the search backwards
// rarely reads far; it is asked once, on the first mid-line candidate.
std::uint64_t first_record(Reader& reader, std::uint64_t start, std::uint64_t end) {
    bool file_first_seen = false;
    std::uint64_t pos = start;
    while (pos < end) {
        const std::span<const std::uint8_t> view = reader.at(pos);
        if (view.empty())
            return no_record;
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
            if (start == 0 || !reader.any_gt_before(start))
                return at;
        }
        pos = at + 1;
    }
    return no_record;
}

void HeaderCheck::first(std::uint64_t gt, std::span<const std::uint8_t> text) noexcept {
    gt_ = gt;
    utf8_ = Utf8Stream();
    number_ = DecimalStream();
    head_len_ = 0;
    cut_ = false;
    last_ = 0;
    more(text);
}

void HeaderCheck::more(std::span<const std::uint8_t> text) noexcept {
    const std::size_t keep = std::min(kept - head_len_, text.size());
    if (keep != 0)
        std::memcpy(head_.data() + head_len_, text.data(), keep);
    head_len_ += keep;
    cut_ = cut_ || keep != text.size();
    if (!text.empty())
        last_ = text.back();
    // Past a UTF-8 fault nothing else can change the verdict.
    if (utf8_.feed(chars(text)))
        number_.feed(chars(text));
}

bool HeaderCheck::end() noexcept {
    if (!utf8_.end().valid)
        return false;
    auto number = number_.end();
    if (!number)
        return false;
    id_ = number.value();
    return true;
}

// The format leaves no way to go on after a header that is not a number, so
// it is a broken invariant.
void HeaderCheck::fail() const {
    std::string message(msg::unwrap_err);
    if (const Utf8Check utf8 = utf8_.end(); !utf8.valid) {
        message += "Utf8Error { valid_up_to: ";
        message += std::to_string(utf8.valid_up_to);
        message += ", error_len: ";
        message += utf8.error_len == 0 ? std::string("None") : "Some(" + std::to_string(utf8.error_len) + ")";
        message += " }";
        refuse_header(std::move(message), gt_, {head_.data(), head_len_}, cut_, last_);
    }
    if (auto number = number_.end(); !number) {
        message += "ParseIntError { kind: ";
        message += to_string(number.error());
        message += " }";
        refuse_header(std::move(message), gt_, {head_.data(), head_len_}, cut_, last_);
    }
    panic("a header was refused that is a number");
}

}  // namespace veltra::fasta
