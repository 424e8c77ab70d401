// Coverage-guided fuzzing of the FASTA kernels: every kernel this CPU runs
// must give exactly what the portable kernel gives, and touch nothing outside
// its window and its outputs.
//
// Input: a control byte (bit 0: the window starts a line; bits 1-2: the token
// table; bits 3-5: how far the window's start is from an aligned address),
// a byte that cuts the room for codes and one that cuts the room for line
// ends, then the bytes. Each kernel runs on the whole input and on windows
// with a byte or a vector's worth cut off either end.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "fasta/kernel.hpp"

namespace {

namespace kernel = veltra::fasta::kernel;
using veltra::fasta::TokenTable;

[[noreturn]] void fail(const char* kernel_name, const char* what) {
    std::fprintf(stderr, "fuzz_kernels: %s: %s differs from the portable kernel\n", kernel_name, what);
    std::abort();
}

TokenTable table_for(unsigned choice) {
    TokenTable table;
    switch (choice) {
        case 0:  // nucleotides
            table.fill(3);
            table['A'] = 4, table['G'] = 5, table['C'] = 6, table['T'] = 7, table['U'] = 7;
            break;
        case 1: {  // proteins
            table.fill(29);
            const char letters[] = "ACDEFGHIKLMNPQRSTVWY";
            for (int i = 0; i < 20; ++i)
                table[static_cast<std::uint8_t>(letters[i])] = static_cast<std::uint8_t>(8 + i);
            break;
        }
        case 2:  // codes over all of 0x40..0x7F
            table.fill(3);
            for (int b = 0x40; b < 0x80; ++b)
                table[b] = static_cast<std::uint8_t>(b * 7 % 251);
            break;
        default:  // codes outside 0x40..0x7F too
            table.fill(29);
            table[0x3F] = 1, table[0x80] = 2, table[0xFF] = 4, table['A'] = 8;
            break;
    }
    return table;
}

// A heap copy of `bytes` at `shift` bytes past an aligned start, with the
// bytes before it poisoned, so that a read on either side is reported.
class Window {
public:
    Window(std::span<const std::uint8_t> bytes, std::size_t shift)
        : storage_(new std::uint8_t[shift + bytes.size()]), shift_(shift), size_(bytes.size()) {
        std::memcpy(storage_.get() + shift, bytes.data(), bytes.size());
        ASAN_POISON_MEMORY_REGION(storage_.get(), shift);
    }
    ~Window() { ASAN_UNPOISON_MEMORY_REGION(storage_.get(), shift_); }
    const std::uint8_t* data() const { return storage_.get() + shift_; }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t shift_;
    std::size_t size_;
};

struct LinesResult {
    kernel::Lines lines;
    std::vector<std::uint8_t> tokens;
    std::vector<std::int64_t> ends;
};

// Outputs of exactly the room given, so that ASan sees a write past them.
LinesResult run_lines(const kernel::Kernel& k, const Window& w, std::size_t token_room, std::size_t end_room,
                      const kernel::Tables& tables) {
    const std::unique_ptr<std::uint8_t[]> tokens(new std::uint8_t[token_room]);
    const std::unique_ptr<std::int64_t[]> ends(new std::int64_t[end_room]);
    const kernel::LinesOut out{tokens.get(), token_room, ends.get(), end_room, 12345};
    const kernel::Lines lines = k.translate_lines(w.data(), w.size(), out, tables);
    if (lines.tokens > token_room || lines.lines > end_room || lines.used > w.size())
        fail(k.name, "translate_lines' room");
    return {lines, std::vector<std::uint8_t>(tokens.get(), tokens.get() + lines.tokens),
            std::vector<std::int64_t>(ends.get(), ends.get() + lines.lines)};
}

void compare(const kernel::Kernel& k, const Window& w, bool line_start, std::size_t token_room,
             std::size_t end_room, const kernel::Tables& tables) {
    const kernel::Kernel& portable = *kernel::available().front();
    const kernel::Scan want = portable.scan_to_header(w.data(), w.size(), line_start);
    const kernel::Scan got = k.scan_to_header(w.data(), w.size(), line_start);
    if (got.stop != want.stop || got.newlines != want.newlines)
        fail(k.name, "scan_to_header");

    std::vector<std::uint8_t> line(w.size());
    const std::size_t len = portable.translate_line(w.data(), w.size(), line.data(), tables);
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[len]);
    if (k.translate_line(w.data(), w.size(), exact.get(), tables) != len ||
        !std::equal(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(len), exact.get()))
        fail(k.name, "translate_line");

    const LinesResult a = run_lines(portable, w, token_room, end_room, tables);
    const LinesResult b = run_lines(k, w, token_room, end_room, tables);
    if (a.lines.used != b.lines.used || a.lines.lines != b.lines.lines || a.tokens != b.tokens ||
        a.ends != b.ends)
        fail(k.name, "translate_lines");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    const bool line_start = (data[0] & 1) != 0;
    const kernel::Tables tables = kernel::prepare(table_for((data[0] >> 1) & 3));
    const std::size_t shift = (data[0] >> 3) & 7;
    const std::span<const std::uint8_t> bytes(data + 3, size - 3);
    const std::size_t n = bytes.size();
    // Rooms from none to all the bytes: 255 stands for all of them.
    const std::size_t token_room = data[1] == 255 ? n : n * data[1] / 255;
    const std::size_t end_room = data[2] == 255 ? n : n * data[2] / 510;

    const std::size_t cuts[] = {0, 1, 31, 32, 63, 64};
    for (const kernel::Kernel* k : kernel::available().subspan(1)) {
        for (std::size_t cut : cuts) {
            if (cut > n)
                break;
            compare(*k, Window(bytes.first(n - cut), shift), line_start, std::min(token_room, n - cut),
                    std::min(end_room, n - cut), tables);
            compare(*k, Window(bytes.subspan(cut), shift), line_start, std::min(token_room, n - cut),
                    std::min(end_room, n - cut), tables);
        }
    }
    return 0;
}
