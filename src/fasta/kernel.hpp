// The byte-level loops of the FASTA parse, in one variant per instruction set.
//
// The parse makes two passes over a chunk: the first finds where its records'
// headers are and counts the sequence lines between them, so that every
// result buffer can be allocated once at its exact size; the second
// translates the sequence lines straight into those buffers. Both passes spend
// nearly all their time in the two functions of a `Kernel`. The variants give
// byte-identical results; which one runs is decided once per process from
// what the CPU offers, so a build for any x86-64 still uses wide vectors where
// they exist.
//
// A kernel reads only the `n` bytes it is given and writes only the bytes it
// reports, so windows and output regions need no padding, and neighbouring
// chunks can write into one shared buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace veltra::fasta {

// Token code of every byte value.
using TokenTable = std::array<std::uint8_t, 256>;

namespace kernel {

// A token table prepared for the vector kernels. Both alphabets give their own
// codes only to upper-case letters, so a table is `shaped` when every byte
// outside 0x40..0x7F has one code, `fallback`; the 64 codes of 0x40..0x7F then
// fit one or two vector lookups. An unshaped table is translated byte by byte.
struct Tables {
    TokenTable table;
    bool shaped;
    std::uint8_t fallback;
    alignas(64) std::array<std::uint8_t, 64> upper;  // codes of 0x40..0x7F
};
Tables prepare(const TokenTable& table) noexcept;

struct Scan {
    std::size_t stop;      // position of the first '>' that starts a line, or n
    std::size_t newlines;  // '\n' bytes in [0, stop)
};

// Where `translate_lines` writes, and how much room it has there.
struct LinesOut {
    std::uint8_t* tokens;  // room for `token_room` codes
    std::size_t token_room;
    std::int64_t* ends;  // room for `end_room` line ends
    std::size_t end_room;
    std::int64_t base;  // added to every end written
};

struct Lines {
    std::size_t used;    // bytes taken: up to the header start, or past the last '\n' taken
    std::size_t lines;   // ends written
    std::size_t tokens;  // codes written
};

struct Kernel {
    const char* name;  // "avx512", "avx2" or "portable"
    // The first header start in p[0, n): a '>' at position 0 counts only when
    // `line_start` says p[0] begins a line, any later one when a '\n' precedes it.
    Scan (*scan_to_header)(const std::uint8_t* p, std::size_t n, bool line_start);
    // Translates p[0, len) to dst[0, len), where len is the position of the
    // first '\n' in p[0, n), or n if there is none; returns len.
    std::size_t (*translate_line)(const std::uint8_t* p, std::size_t n, std::uint8_t* dst,
                                  const Tables& tables);
    // Many lines in one call, where `translate_line` would be called once per
    // line: the loop's next line no longer waits for the search of this
    // line's end, which on short lines costs more than the translation.
    // Translates the lines that a '\n' ends in p[0, n), up to the first header
    // start (p[0] starts a line), to out.tokens back to back, and writes to
    // out.ends[i] out.base plus the codes written up to the end of line i.
    // Stops before a line that does not fit the room left. Writes only
    // out.tokens[0, token_room) and out.ends[0, lines); the codes past `tokens`
    // may hold a part of the line left at `used`, which is a header, a line
    // without its '\n' yet, or a line that did not fit.
    Lines (*translate_lines)(const std::uint8_t* p, std::size_t n, const LinesOut& out, const Tables& tables);
};

// The fastest kernel this CPU runs, chosen on first use.
const Kernel& selected() noexcept;
// Every kernel this CPU runs, the portable one first.
std::span<const Kernel* const> available() noexcept;

}  // namespace kernel
}  // namespace veltra::fasta
