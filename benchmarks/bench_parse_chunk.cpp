// Throughput of one thread on the two passes of the chunk parse, for every
// FASTA kernel this CPU runs, on two synthetic in-memory files: proteins in
// 60-column lines, and nucleotides with one line per record.
//
//   bench_parse_chunk [MEGABYTES [ROUNDS [WINDOW_KIB]]]   defaults 256, 5, 256
//
// Like the parser, both passes read the file through a small window buffer
// that stays in cache: each window is copied from the image (the stand-in for
// a positioned read, not timed) and starts at a line start. The scan pass
// walks from header to header, counting sequence lines and tokens; the
// translate pass writes every sequence line's tokens, end offset and record
// id into buffers of exactly that size, either one kernel call per line
// (translate_line) or one per run of lines (translate_lines). The output
// buffers are written once before timing, so page faults do not count: this
// is the kernels' speed with a warm cache. Rates are file bytes per second of
// the thread's CPU time, the best of ROUNDS; every kernel's results are
// checked against a plain loop's.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fasta/kernel.hpp"

using namespace veltra::fasta;

namespace {

// The alphabets' codes, written out here so that the benchmark needs only the
// kernels and does not follow the parser's own files around.
TokenTable token_table(bool is_rna) {
    TokenTable table;
    if (is_rna) {
        table.fill(3);
        table['A'] = 4;
        table['G'] = 5;
        table['C'] = 6;
        table['T'] = 7;
        table['U'] = 7;
    } else {
        table.fill(29);
        const char letters[] = "ACDEFGHIKLMNPQRSTVWY";
        for (int i = 0; i < 20; ++i)
            table[static_cast<std::uint8_t>(letters[i])] = static_cast<std::uint8_t>(8 + i);
    }
    return table;
}

// Records with headers >0, >1, ..., residues drawn uniformly from `residues`,
// lengths uniform in [min_len, max_len], wrapped at `width` columns (0: one
// line per record).
std::vector<std::uint8_t> synthetic_image(std::size_t bytes, const char* residues, int min_len, int max_len,
                                          int width) {
    std::mt19937_64 rng(42);
    const int count = static_cast<int>(std::strlen(residues));
    std::uniform_int_distribution<int> residue(0, count - 1);
    std::uniform_int_distribution<int> record_len(min_len, max_len);
    std::vector<std::uint8_t> out;
    out.reserve(bytes + static_cast<std::size_t>(max_len) * 2 + 64);
    std::uint64_t id = 0;
    while (out.size() < bytes) {
        out.push_back('>');
        const std::string number = std::to_string(id++);
        out.insert(out.end(), number.begin(), number.end());
        out.push_back('\n');
        int left = record_len(rng);
        while (left > 0) {
            const int n = width == 0 || left < width ? left : width;
            for (int i = 0; i < n; ++i)
                out.push_back(static_cast<std::uint8_t>(residues[residue(rng)]));
            out.push_back('\n');
            left -= n;
        }
    }
    return out;
}

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_parse_chunk: %s\n", what);
    std::exit(1);
}

// Runs `parse(window, size, last)` over the image window by window; it returns
// how many bytes it took, ending at a line start, and the next window starts
// there. Returns the CPU seconds spent in `parse`.
template <class Parse>
double over_windows(const std::vector<std::uint8_t>& image, std::vector<std::uint8_t>& window,
                    Parse&& parse) {
    double cpu = 0;
    std::size_t at = 0;
    while (at < image.size()) {
        const std::size_t size = std::min(window.size(), image.size() - at);
        std::memcpy(window.data(), image.data() + at, size);
        const double t0 = thread_cpu_seconds();
        const std::size_t taken = parse(window.data(), size, at + size == image.size());
        cpu += thread_cpu_seconds() - t0;
        if (taken == 0)
            fail("a line or header is longer than the window");
        at += taken;
    }
    return cpu;
}

const std::uint8_t* find(const std::uint8_t* p, std::size_t n, std::uint8_t byte) {
    return static_cast<const std::uint8_t*>(std::memchr(p, byte, n));
}

struct Counts {
    std::size_t lines = 0;
    std::size_t tokens = 0;
    bool operator==(const Counts&) const = default;
};

// The first pass over one window.
std::size_t scan_window(const kernel::Kernel& k, const std::uint8_t* p, std::size_t n, bool last,
                        Counts& counts) {
    std::size_t pos = 0;
    while (pos < n) {
        if (p[pos] == '>') {
            const std::uint8_t* end = find(p + pos, n - pos, '\n');
            if (end == nullptr)
                return last ? n : pos;
            pos = static_cast<std::size_t>(end - p) + 1;
            continue;
        }
        const kernel::Scan scan = k.scan_to_header(p + pos, n - pos, true);
        std::size_t stop = pos + scan.stop;
        if (stop == n && !last) {
            // The window ends inside a line: the next one starts with it.
            const void* newline = ::memrchr(p + pos, '\n', n - pos);
            if (newline == nullptr)
                return pos;
            stop = static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - p) + 1;
        }
        // Every '\n' ends a sequence line, and so does a last line without one.
        counts.lines += scan.newlines + (stop == n && last && p[n - 1] != '\n' ? 1 : 0);
        counts.tokens += stop - pos - scan.newlines;
        pos = stop;
    }
    return n;
}

struct Output {
    std::vector<std::uint8_t> tokens;
    std::vector<std::int64_t> offsets;
    std::vector<std::uint64_t> ids;
    bool operator==(const Output&) const = default;
};

// Where the second pass stands between windows.
struct Cursor {
    Output& out;
    std::size_t written = 0;
    std::size_t line = 0;
    std::uint64_t id = 0;

    void end_line(std::size_t len) {
        written += len;
        out.offsets[++line] = static_cast<std::int64_t>(written);
        out.ids[line - 1] = id;
    }
};

// Reads the header at p[pos] into the cursor; returns the position after it,
// or pos when its line does not end in the window.
std::size_t header_window(const std::uint8_t* p, std::size_t pos, std::size_t n, bool last, Cursor& c) {
    const std::uint8_t* end = find(p + pos, n - pos, '\n');
    if (end == nullptr && !last)
        return pos;
    // Well formed by construction: the parser's header checks are not measured.
    c.id = 0;
    for (const std::uint8_t* d = p + pos + 1; d < (end == nullptr ? p + n : end); ++d)
        c.id = c.id * 10 + (*d - '0');
    return end == nullptr ? n : static_cast<std::size_t>(end - p) + 1;
}

// The second pass over one window, one kernel call per line.
std::size_t translate_window(const kernel::Kernel& k, const std::uint8_t* p, std::size_t n, bool last,
                             const kernel::Tables& tables, Cursor& c) {
    std::size_t pos = 0;
    while (pos < n) {
        if (p[pos] == '>') {
            const std::size_t next = header_window(p, pos, n, last, c);
            if (next == pos)
                return pos;
            pos = next;
            continue;
        }
        const std::size_t len = k.translate_line(p + pos, n - pos, c.out.tokens.data() + c.written, tables);
        if (pos + len == n && !last)
            return pos;
        c.end_line(len);
        pos += len + 1;
    }
    return n;
}

// The same with one kernel call per run of lines; the ids of a run are one.
std::size_t translate_window_batched(const kernel::Kernel& k, const std::uint8_t* p, std::size_t n, bool last,
                                     const kernel::Tables& tables, Cursor& c) {
    Output& out = c.out;
    std::size_t pos = 0;
    while (pos < n) {
        if (p[pos] == '>') {
            const std::size_t next = header_window(p, pos, n, last, c);
            if (next == pos)
                return pos;
            pos = next;
            continue;
        }
        const kernel::LinesOut room{out.tokens.data() + c.written, out.tokens.size() - c.written,
                                    out.offsets.data() + 1 + c.line, out.ids.size() - c.line,
                                    static_cast<std::int64_t>(c.written)};
        const kernel::Lines done = k.translate_lines(p + pos, n - pos, room, tables);
        std::fill_n(out.ids.data() + c.line, done.lines, c.id);
        c.line += done.lines;
        c.written += done.tokens;
        pos += done.used;
        if (pos < n && p[pos] != '>') {
            // A line without its '\n': the file's last, or cut by the window.
            if (!last)
                return pos;
            const std::size_t len = k.translate_line(p + pos, n - pos, out.tokens.data() + c.written, tables);
            c.end_line(len);
            pos += len + 1;
        }
    }
    return n;
}

// What the two passes must produce, by the plainest loop.
Output expected_output(const std::vector<std::uint8_t>& image, const TokenTable& table) {
    Output out;
    out.offsets.push_back(0);
    std::uint64_t id = 0;
    std::size_t pos = 0;
    while (pos < image.size()) {
        std::size_t end = pos;
        while (end < image.size() && image[end] != '\n')
            ++end;
        if (image[pos] == '>') {
            id = 0;
            for (std::size_t i = pos + 1; i < end; ++i)
                id = id * 10 + (image[i] - '0');
        } else {
            for (std::size_t i = pos; i < end; ++i)
                out.tokens.push_back(table[image[i]]);
            out.offsets.push_back(static_cast<std::int64_t>(out.tokens.size()));
            out.ids.push_back(id);
        }
        pos = end + 1;
    }
    return out;
}

void run_shape(const char* title, const std::vector<std::uint8_t>& image, bool is_rna, int rounds,
               std::size_t window_bytes) {
    const TokenTable table = token_table(is_rna);
    const kernel::Tables tables = kernel::prepare(table);
    const Output expected = expected_output(image, table);
    std::vector<std::uint8_t> window(window_bytes);
    const double gb = static_cast<double>(image.size()) / 1e9;
    std::printf("\n%s: %.1f MB, %zu lines\n", title, static_cast<double>(image.size()) / 1e6,
                expected.ids.size());
    std::printf("%-10s %8s %15s %15s %12s %12s\n", "GB/s", "scan", "translate_line", "translate_lines",
                "scan + line", "scan + lines");
    for (const kernel::Kernel* k : kernel::available()) {
        Counts counts;
        over_windows(image, window, [&](const std::uint8_t* p, std::size_t n, bool last) {
            return scan_window(*k, p, n, last, counts);
        });
        if (counts.lines != expected.ids.size() || counts.tokens != expected.tokens.size())
            fail("the scan pass miscounts");
        Output out, batched;
        // Written once before timing: the pages are resident when it starts.
        for (Output* o : {&out, &batched}) {
            o->tokens.assign(counts.tokens, 0);
            o->offsets.assign(counts.lines + 1, 0);
            o->ids.assign(counts.lines, 0);
        }
        double scan = 1e30, line = 1e30, lines = 1e30;
        for (int round = 0; round < rounds; ++round) {
            Counts again;
            scan = std::min(scan,
                            over_windows(image, window, [&](const std::uint8_t* p, std::size_t n, bool last) {
                                return scan_window(*k, p, n, last, again);
                            }));
            Cursor c{out};
            line = std::min(line,
                            over_windows(image, window, [&](const std::uint8_t* p, std::size_t n, bool last) {
                                return translate_window(*k, p, n, last, tables, c);
                            }));
            Cursor b{batched};
            lines = std::min(
                lines, over_windows(image, window, [&](const std::uint8_t* p, std::size_t n, bool last) {
                    return translate_window_batched(*k, p, n, last, tables, b);
                }));
            if (!(again == counts) || !(out == expected) || !(batched == expected))
                fail(k->name);
        }
        std::printf("%-10s %8.2f %15.2f %15.2f %12.2f %12.2f\n", k->name, gb / scan, gb / line, gb / lines,
                    gb / (scan + line), gb / (scan + lines));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? std::strtod(argv[1], nullptr) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::size_t window_kib = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 256;
    if (!(megabytes > 0) || rounds < 1 || window_kib == 0) {
        std::fprintf(stderr, "usage: bench_parse_chunk [MEGABYTES [ROUNDS [WINDOW_KIB]]]\n");
        return 2;
    }
    const auto bytes = static_cast<std::size_t>(megabytes * (1 << 20));
    std::printf("one thread, CPU time, best of %d rounds, %zu KiB windows; chosen kernel: %s\n", rounds,
                window_kib, kernel::selected().name);
    run_shape("protein, 60-column lines", synthetic_image(bytes, "ACDEFGHIKLMNPQRSTVWY", 50, 2000, 60), false,
              rounds, window_kib << 10);
    run_shape("nucleotide, one line per record", synthetic_image(bytes, "ACGT", 200, 30000, 0), true, rounds,
              window_kib << 10);
    return 0;
}
