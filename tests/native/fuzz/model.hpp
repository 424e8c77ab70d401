// A plain model of the FASTA record rules and their token codes, written
// apart from the parser and calling none of it, so that the parser's readers
// are held to something other than themselves. Slow and obvious: the text is
// split into lines first, and every rule is spelt out on whole lines.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "outcome.hpp"

namespace fuzz::model {

using Table = std::array<std::uint8_t, 256>;

// The token codes of the two alphabets: a default code for every byte, and
// codes of their own for some upper-case letters.
inline Table token_table(bool is_rna) {
    struct Code {
        char letter;
        std::uint8_t code;
    };
    static constexpr Code nucleotides[] = {{'A', 4}, {'G', 5}, {'C', 6}, {'T', 7}, {'U', 7}};
    static constexpr Code proteins[] = {{'A', 8},  {'C', 9},  {'D', 10}, {'E', 11}, {'F', 12},
                                        {'G', 13}, {'H', 14}, {'I', 15}, {'K', 16}, {'L', 17},
                                        {'M', 18}, {'N', 19}, {'P', 20}, {'Q', 21}, {'R', 22},
                                        {'S', 23}, {'T', 24}, {'V', 25}, {'W', 26}, {'Y', 27}};
    Table table;
    table.fill(is_rna ? 3 : 29);
    for (const Code& c : is_rna ? std::span<const Code>(nucleotides) : std::span<const Code>(proteins))
        table[static_cast<std::uint8_t>(c.letter)] = c.code;
    return table;
}

// Whether a scalar value in [lo, hi] is written with `len` bytes in its
// shortest form: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool reachable(std::uint32_t lo, std::uint32_t hi, int len) {
    constexpr std::uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    constexpr std::uint32_t highest[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    lo = std::max(lo, lowest[len]);
    hi = std::min(hi, highest[len]);
    return lo <= hi && !(lo >= 0xD800 && hi <= 0xDFFF);
}

// The first UTF-8 fault of `text` as "Utf8Error { … }", or nothing. A
// sequence is invalid at the first byte after which no scalar value can be
// written with it; its error length is the bytes before that one (at least
// one), or None when the text ends first.
inline std::optional<std::string> utf8_fault(std::span<const std::uint8_t> text) {
    const auto fault = [](std::size_t at, std::optional<std::size_t> len) {
        return "Utf8Error { valid_up_to: " + std::to_string(at) +
               ", error_len: " + (len ? "Some(" + std::to_string(*len) + ")" : std::string("None")) + " }";
    };
    constexpr std::uint8_t payload[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint8_t lead = text[i];
        const int len = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
        if (len == 0)
            return fault(i, 1);
        std::uint32_t bits = lead & payload[len];
        for (int k = 1;; ++k) {
            const int unknown = 6 * (len - k);
            const std::uint32_t lo = bits << unknown;
            if (!reachable(lo, lo | ((1u << unknown) - 1), len))
                return fault(i, std::max(k - 1, 1));
            if (k == len)
                break;
            if (i + k == text.size())
                return fault(i, std::nullopt);
            const std::uint8_t next = text[i + k];
            if ((next & 0xC0) != 0x80)
                return fault(i, k);
            bits = bits << 6 | (next & 0x3F);
        }
        i += static_cast<std::size_t>(len);
    }
    return std::nullopt;
}

// A header's text: its id, or the message of the panic it gives.
inline std::optional<std::uint64_t> header_id(std::span<const std::uint8_t> text, std::string& message) {
    message = "called `Result::unwrap()` on an `Err` value: ";
    if (const auto fault = utf8_fault(text)) {
        message += *fault;
        return std::nullopt;
    }
    const auto parse_int = [&](const char* kind) {
        message += std::string("ParseIntError { kind: ") + kind + " }";
        return std::nullopt;
    };
    if (text.empty())
        return parse_int("Empty");
    const std::span<const std::uint8_t> digits = text[0] == '+' ? text.subspan(1) : text;
    if (digits.empty())
        return parse_int("InvalidDigit");
    // Left to right: whichever comes first, a non-digit or the value leaving
    // 64 bits, decides.
    unsigned __int128 value = 0;
    for (const std::uint8_t c : digits) {
        if (c < '0' || c > '9')
            return parse_int("InvalidDigit");
        value = value * 10 + (c - '0');
        if (value > UINT64_MAX)
            return parse_int("PosOverflow");
    }
    return static_cast<std::uint64_t>(value);
}

// The parse of the records whose '>' lies in [start, end). The text's first
// '>' opens the first record wherever it stands; after it, a line that starts
// with '>' is a header and any other line is a sequence line of the record
// before it. A '\n' ends a line; the text's end ends a last line without one.
inline Outcome parse(std::span<const std::uint8_t> image, std::size_t start, std::size_t end, bool is_rna) {
    const Table table = token_table(is_rna);
    Outcome out;
    out.offsets.push_back(0);
    std::size_t pos = 0;
    while (pos < image.size() && image[pos] != '>')
        ++pos;
    bool owned = false;
    std::uint64_t id = 0;
    while (pos < image.size()) {
        std::size_t line_end = pos;
        while (line_end < image.size() && image[line_end] != '\n')
            ++line_end;
        const std::span<const std::uint8_t> line = image.subspan(pos, line_end - pos);
        if (!line.empty() && line[0] == '>') {
            owned = pos >= start && pos < end;
            if (owned) {
                std::string message;
                const auto value = header_id(line.subspan(1), message);
                if (!value) {
                    Outcome failed;
                    failed.panic = message;
                    return failed;
                }
                id = *value;
            }
        } else if (owned) {
            for (const std::uint8_t byte : line)
                out.tokens.push_back(table[byte]);
            out.offsets.push_back(static_cast<std::int64_t>(out.tokens.size()));
            out.ids.push_back(id);
        }
        pos = line_end + 1;
    }
    return out;
}

}  // namespace fuzz::model
