#include "panic.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace veltra {

namespace {

// One write per report keeps reports from concurrent workers whole.
void write_all_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

void write_panic_report(std::string_view message, const std::source_location& where) {
    std::string report = "thread '<unnamed>' panicked at ";
    report += where.file_name();
    report += ':';
    report += std::to_string(where.line());
    report += ':';
    report += std::to_string(where.column());
    report += ":\n";
    report += message;
    report += '\n';
    write_all_stderr(report);
}

namespace {
thread_local int silenced = 0;
}  // namespace

SilentPanics::SilentPanics() noexcept {
    ++silenced;
}
SilentPanics::~SilentPanics() {
    --silenced;
}
bool panics_reported() noexcept {
    return silenced == 0;
}

#if defined(_LIBCPPABI_VERSION)
void detail::end_thread_anew() {
    // The handler lets go of the forced unwind it took as libc++abi's own
    // rethrow of a foreign exception does: by emptying the stack of caught
    // exceptions, the first member of the runtime's per-thread globals.
    // Leaving the handler then leaves that unwind alone.
    *static_cast<void**>(exception_globals()) = nullptr;
    pthread_exit(nullptr);
}
#endif

void panic(std::string message, std::source_location where) {
    panic(std::move(message), {}, where);
}

void panic(std::string message, std::vector<Note> notes, std::source_location where) {
    if (panics_reported())
        write_panic_report(message, where);
    throw Panic{std::move(message), where, std::move(notes)};
}

void Panic::add_note(std::string_view text, std::optional<std::string_view> shown) noexcept {
    try {
        notes.insert(notes.begin(),
                     Note{std::string(text), shown ? std::optional<std::string>(*shown) : std::nullopt});
    } catch (const std::bad_alloc&) {
    }
}

void resume_panic(std::string message) {
    throw Panic{std::move(message), std::source_location::current()};
}

void panic_index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
}

Utf8Check check_utf8(std::string_view text) noexcept {
    Utf8Stream stream;
    stream.feed(text);
    return stream.end();
}

namespace {

bool is_continuation(std::uint8_t byte) noexcept {
    return (byte & 0xC0) == 0x80;
}

// The byte after `lead`: the leads E0, ED, F0 and F4 narrow its range, which
// keeps out overlong forms, surrogates and code points above U+10FFFF.
bool second_fits(std::uint8_t lead, std::uint8_t byte) noexcept {
    switch (lead) {
        case 0xE0:
            return byte >= 0xA0 && byte <= 0xBF;
        case 0xED:
            return byte >= 0x80 && byte <= 0x9F;
        case 0xF0:
            return byte >= 0x90 && byte <= 0xBF;
        case 0xF4:
            return byte >= 0x80 && byte <= 0x8F;
        default:
            return is_continuation(byte);
    }
}

std::uint8_t sequence_length(std::uint8_t lead) noexcept {
    return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

bool Utf8Stream::fail(std::size_t len) noexcept {
    failed_ = true;
    error_len_ = static_cast<std::uint8_t>(len);
    return false;
}

bool Utf8Stream::feed(std::string_view text) noexcept {
    if (failed_)
        return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (seen_ == 0) {
            // ASCII eight bytes at a time: a header may be megabytes of digits.
            constexpr std::uint64_t high_bits = 0x8080808080808080;
            std::uint64_t word;
            while (n - i >= 8 && (std::memcpy(&word, bytes + i, 8), (word & high_bits) == 0)) {
                i += 8;
                valid_ += 8;
            }
            if (i == n)
                break;
        }
        const std::uint8_t byte = bytes[i++];
        if (seen_ == 0) {
            if (byte < 0x80) {
                ++valid_;
                continue;
            }
            if (byte < 0xC2 || byte > 0xF4)
                return fail(1);
            lead_ = byte;
            seen_ = 1;
            continue;
        }
        if (!(seen_ == 1 ? second_fits(lead_, byte) : is_continuation(byte)))
            return fail(seen_);
        if (++seen_ == sequence_length(lead_)) {
            valid_ += seen_;
            seen_ = 0;
        }
    }
    return true;
}

Utf8Check Utf8Stream::end() const noexcept {
    if (failed_)
        return Utf8Check{false, valid_, error_len_};
    // A text that ends inside a sequence that could still have been valid.
    if (seen_ != 0)
        return Utf8Check{false, valid_, 0};
    return Utf8Check{true, valid_, 0};
}

std::string utf8_lossy(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Utf8Check check = check_utf8(bytes);
        out.append(bytes.substr(0, check.valid_up_to));
        if (check.valid)
            break;
        out.append(replacement);
        const std::size_t skip = check.error_len == 0 ? bytes.size() - check.valid_up_to : check.error_len;
        bytes.remove_prefix(check.valid_up_to + skip);
    }
    return out;
}

std::string_view to_string(ParseIntError kind) noexcept {
    switch (kind) {
        case ParseIntError::Empty:
            return "Empty";
        case ParseIntError::InvalidDigit:
            return "InvalidDigit";
        case ParseIntError::PosOverflow:
            return "PosOverflow";
    }
    return "InvalidDigit";
}

Result<std::uint64_t, ParseIntError> parse_u64(std::string_view text) noexcept {
    DecimalStream stream;
    stream.feed(text);
    return stream.end();
}

void DecimalStream::feed(std::string_view text) noexcept {
    for (const char c : text) {
        if (failed_)
            return;
        // Only '+' is a sign for an unsigned number; '-' fails below as a
        // non-digit.
        if (!any_ && c == '+') {
            any_ = only_plus_ = true;
            continue;
        }
        any_ = true;
        only_plus_ = false;
        // Each byte is checked for being a digit before the value can
        // overflow.
        if (c < '0' || c > '9') {
            failed_ = true;
            error_ = ParseIntError::InvalidDigit;
            return;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (__builtin_mul_overflow(value_, std::uint64_t{10}, &value_) ||
            __builtin_add_overflow(value_, digit, &value_)) {
            failed_ = true;
            error_ = ParseIntError::PosOverflow;
            return;
        }
    }
}

Result<std::uint64_t, ParseIntError> DecimalStream::end() const noexcept {
    if (failed_)
        return error_;
    if (!any_)
        return ParseIntError::Empty;
    if (only_plus_)
        return ParseIntError::InvalidDigit;
    return value_;
}

}  // namespace veltra
