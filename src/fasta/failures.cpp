// The context of a failed parse, in words a user acts on.
#include "fasta/failures.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "fasta/gzip.hpp"

namespace veltra::fasta {

namespace {

constexpr std::string_view format_note =
    "a header must be '>' followed by a decimal record number, e.g. '>42'; "
    "records must be numbered first";
constexpr std::string_view windows_note =
    "the header ends in '\\r': the file has Windows line ends; convert it first (e.g. dos2unix)";

std::string_view chars(std::span<const std::uint8_t> bytes) noexcept {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The 1-based line of the '>' at `gt`, counting the '\n' before it, or
// nothing when the text no longer has that '>' there.
std::optional<std::uint64_t> find_line(const Source& source, bool compressed, std::uint64_t gt) {
    std::optional<gzip::Stream> stream;
    if (compressed)
        stream.emplace(source, 0);
    Buffer<std::uint8_t> window = Buffer<std::uint8_t>::uninitialized(default_read_window);
    std::uint64_t line = 1;
    std::uint64_t at = 0;
    // Up to and including the '>' itself.
    while (at <= gt) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), gt + 1 - at));
        const std::size_t got =
            compressed ? stream->read(window.data(), want) : source.read(at, window.data(), want);
        if (got == 0)
            return std::nullopt;
        const std::uint8_t* const begin = window.data();
        const std::uint8_t* const end = begin + got;
        if (at + got > gt) {
            if (end[-1] != '>')
                return std::nullopt;
            line += static_cast<std::uint64_t>(std::count(begin, end - 1, '\n'));
            return line;
        }
        line += static_cast<std::uint64_t>(std::count(begin, end, '\n'));
        at += got;
    }
    return std::nullopt;
}

// The same, or nothing where that second look fails: what goes wrong there
// (the file changed, memory ran out) is not what the user is to hear about.
std::optional<std::uint64_t> line_of(const Source& source, bool compressed, std::uint64_t gt) {
    const SilentPanics silent;
    std::optional<std::uint64_t> line;
    if (failure_of([&] { line = find_line(source, compressed, gt); }))
        return std::nullopt;
    return line;
}

}  // namespace

void refuse_header(std::string message, std::uint64_t gt, std::span<const std::uint8_t> head, bool cut,
                   std::uint8_t last, std::source_location where) {
    if (panics_reported())
        write_panic_report(message, where);
    // A sequence that the end of the kept bytes cut is left out; a header
    // that ends inside one is shown as it is.
    if (const Utf8Check utf8 = check_utf8(chars(head)); cut && !utf8.valid && utf8.error_len == 0)
        head = head.first(utf8.valid_up_to);
    // A number but for its '\r' needs only its line ends converted.
    const bool ends_in_cr = last == '\r';
    const bool number_but_cr = ends_in_cr && !cut && parse_u64(chars(head.first(head.size() - 1))).ok();
    std::vector<Note> notes;
    if (!number_but_cr)
        notes.push_back({std::string(format_note), std::nullopt});
    if (ends_in_cr)
        notes.push_back({std::string(windows_note), std::nullopt});
    throw RefusedHeader{{std::move(message), where, std::move(notes)}, gt, std::string(chars(head)), cut};
}

void read_failed(const sys::OsError& error, std::string_view doing, std::source_location where) {
    panic(std::string(msg::unwrap_err) + error.detailed(), {Note{std::string(doing), std::nullopt}}, where);
}

void note_header_place(RefusedHeader& refused, const Source& source, bool compressed) try {
    const std::optional<std::uint64_t> line = line_of(source, compressed, refused.gt);
    std::string text = "header at ";
    if (line)
        text += "line " + std::to_string(*line) + " (";
    text += "byte offset " + std::to_string(refused.gt);
    if (compressed)
        text += " of the decompressed text";
    if (line)
        text += ')';
    text += refused.cut ? ", its first " + std::to_string(refused.head.size()) + " bytes: " : ": ";
    refused.add_note(text, refused.head);
} catch (const std::bad_alloc&) {
}

}  // namespace veltra::fasta
