#include "panic.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>

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
    write_panic_report(message, where);
    throw Panic{std::move(message), where};
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
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char first = bytes[i];
        if (first < 0x80) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        // Fails with the length of the invalid sequence; 0 means the input
        // ended inside a sequence that could still have been valid.
        auto fail = [&](std::size_t len) { return Utf8Check{false, start, len}; };
        auto is_cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
        if (first >= 0xC2 && first <= 0xDF) {
            if (i + 1 >= n)
                return fail(0);
            if (!is_cont(bytes[i + 1]))
                return fail(1);
            i += 2;
        } else if (first >= 0xE0 && first <= 0xEF) {
            if (i + 1 >= n)
                return fail(0);
            const unsigned char second = bytes[i + 1];
            const bool ok = (first == 0xE0)   ? (second >= 0xA0 && second <= 0xBF)
                            : (first == 0xED) ? (second >= 0x80 && second <= 0x9F)
                                              : is_cont(second);
            if (!ok)
                return fail(1);
            if (i + 2 >= n)
                return fail(0);
            if (!is_cont(bytes[i + 2]))
                return fail(2);
            i += 3;
        } else if (first >= 0xF0 && first <= 0xF4) {
            if (i + 1 >= n)
                return fail(0);
            const unsigned char second = bytes[i + 1];
            const bool ok = (first == 0xF0)   ? (second >= 0x90 && second <= 0xBF)
                            : (first == 0xF4) ? (second >= 0x80 && second <= 0x8F)
                                              : is_cont(second);
            if (!ok)
                return fail(1);
            if (i + 2 >= n)
                return fail(0);
            if (!is_cont(bytes[i + 2]))
                return fail(2);
            if (i + 3 >= n)
                return fail(0);
            if (!is_cont(bytes[i + 3]))
                return fail(3);
            i += 4;
        } else {
            return fail(1);
        }
    }
    return Utf8Check{true, n, 0};
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
    if (text.empty())
        return ParseIntError::Empty;
    if (text[0] == '+' || text[0] == '-') {
        if (text.size() == 1)
            return ParseIntError::InvalidDigit;
        // Only '+' is a sign for an unsigned number; '-' stays and fails
        // below as a non-digit.
        if (text[0] == '+')
            text.remove_prefix(1);
    }
    std::uint64_t value = 0;
    // Each byte is checked for being a digit before the value can overflow,
    // so "99…9x" overflows and "1x" is an invalid digit.
    for (const char c : text) {
        if (c < '0' || c > '9')
            return ParseIntError::InvalidDigit;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
            __builtin_add_overflow(value, digit, &value))
            return ParseIntError::PosOverflow;
    }
    return value;
}

}  // namespace veltra
