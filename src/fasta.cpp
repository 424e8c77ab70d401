// Header lines: the one place where the format can be broken, and so where
// the failure reports of a bad file come from.
#include <optional>
#include <string>

#include "fasta/chunk.hpp"
#include "panic.hpp"

namespace veltra::fasta {

// The format leaves no way to go on after a header that is not a number, so
// it is a broken invariant.
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

std::optional<std::uint64_t> header_number(std::string_view text) noexcept {
    if (!check_utf8(text).valid)
        return std::nullopt;
    auto number = parse_u64(text);
    if (!number)
        return std::nullopt;
    return number.value();
}

}  // namespace veltra::fasta
