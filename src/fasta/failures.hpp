// What a failed parse tells the user beside its message: what was being done
// and where in the file. The messages are fixed; this context travels with
// the failure as its notes (`Panic::notes`), added by whichever frame knows
// it, and costs nothing until something fails.
#pragma once

#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

#include "fasta/source.hpp"
#include "panic.hpp"
#include "sys.hpp"

namespace veltra::fasta {

// A header that is not a number, on its way to the driver, which knows the
// file and so can tell its line. It already carries the notes that the
// header alone explains.
struct RefusedHeader : Panic {
    std::uint64_t gt;  // where its '>' stands in the (decompressed) text
    std::string head;  // its first bytes
    bool cut;          // the header goes on past them
};

// Reports `message` for the header whose '>' is at `gt`, of which `head` are
// the first bytes (`cut` when there are more) and `last` the last one, and
// throws it as a `RefusedHeader`.
[[noreturn]] void refuse_header(std::string message, std::uint64_t gt, std::span<const std::uint8_t> head,
                                bool cut, std::uint8_t last,
                                std::source_location where = std::source_location::current());

// A read of the file failed; `doing` says what for.
[[noreturn]] void read_failed(const sys::OsError& error, std::string_view doing,
                              std::source_location where = std::source_location::current());

// Adds where `refused` stands to its notes: its line, found by reading the
// text of `source` again up to it (inflated again when `compressed`), its
// offset and its first bytes. The line is left out when that second look
// fails, and nothing it does is reported: the failure stays the one it was.
void note_header_place(RefusedHeader& refused, const Source& source, bool compressed);

}  // namespace veltra::fasta
