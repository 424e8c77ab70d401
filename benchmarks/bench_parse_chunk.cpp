// Throughput of one thread on the two passes of the chunk parse, for every
// FASTA kernel this CPU runs, on two synthetic in-memory files: proteins in
// 60-column lines, and nucleotides with one line per record.
//
//   bench_parse_chunk [MEGABYTES [ROUNDS]]   defaults 256 and 5
//
// The scan pass walks the image from header to header as the parser's first
// pass does, counting sequence lines and tokens; the translate pass writes
// every sequence line's tokens, end offset and record id into buffers of
// exactly that size, as the second pass does. The output buffers are
// allocated and written once before timing, so page faults do not count: this
// is the kernels' speed with a warm cache. Rates are file bytes per second of
// the thread's CPU time, the best of ROUNDS; the results of every kernel are
// checked against the portable kernel's.
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

std::size_t header_end(const std::uint8_t* p, std::size_t pos, std::size_t n) {
    const void* newline = std::memchr(p + pos, '\n', n - pos);
    return newline == nullptr ? n : static_cast<std::size_t>(static_cast<const std::uint8_t*>(newline) - p);
}

// A header's number, assumed well formed: the parser's checks are not what is
// measured here.
std::uint64_t header_id(const std::uint8_t* p, std::size_t from, std::size_t to) {
    std::uint64_t id = 0;
    for (std::size_t i = from; i < to; ++i)
        id = id * 10 + (p[i] - '0');
    return id;
}

struct Counts {
    std::size_t lines = 0;
    std::size_t tokens = 0;
};

// The first pass over an image that starts with a header.
Counts scan_pass(const kernel::Kernel& k, const std::vector<std::uint8_t>& image) {
    const std::uint8_t* p = image.data();
    const std::size_t n = image.size();
    Counts counts;
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t body = std::min(n, header_end(p, pos, n) + 1);
        const kernel::Scan scan = k.scan_to_header(p + body, n - body, true);
        // Every '\n' ends a sequence line, and so does a last line without one.
        const std::size_t stop = body + scan.stop;
        const bool open_line = stop == n && stop > body && p[n - 1] != '\n';
        counts.lines += scan.newlines + (open_line ? 1 : 0);
        counts.tokens += scan.stop - scan.newlines;
        pos = stop;
    }
    return counts;
}

struct Output {
    std::vector<std::uint8_t> tokens;
    std::vector<std::int64_t> offsets;
    std::vector<std::uint64_t> ids;
};

// The second pass, into buffers of the sizes the first pass found.
void translate_pass(const kernel::Kernel& k, const std::vector<std::uint8_t>& image,
                    const kernel::Tables& tables, Output& out) {
    const std::uint8_t* p = image.data();
    const std::size_t n = image.size();
    std::uint8_t* tokens = out.tokens.data();
    std::int64_t* offsets = out.offsets.data();
    std::uint64_t* ids = out.ids.data();
    std::size_t written = 0;
    std::size_t line = 0;
    offsets[0] = 0;
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t end = header_end(p, pos, n);
        const std::uint64_t id = header_id(p, pos + 1, end);
        pos = end + 1;
        while (pos < n && p[pos] != '>') {
            const std::size_t len = k.translate_line(p + pos, n - pos, tokens + written, tables);
            written += len;
            offsets[++line] = static_cast<std::int64_t>(written);
            ids[line - 1] = id;
            pos += len + 1;
        }
    }
}

// The second pass with many lines per kernel call: every line of a record at
// once, its ids filled after.
void translate_pass_batched(const kernel::Kernel& k, const std::vector<std::uint8_t>& image,
                            const kernel::Tables& tables, Output& out) {
    const std::uint8_t* p = image.data();
    const std::size_t n = image.size();
    const std::size_t lines = out.ids.size();
    const std::size_t tokens = out.tokens.size();
    std::size_t written = 0;
    std::size_t line = 0;
    out.offsets[0] = 0;
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t end = header_end(p, pos, n);
        const std::uint64_t id = header_id(p, pos + 1, end);
        pos = std::min(n, end + 1);
        const kernel::LinesOut room{out.tokens.data() + written, tokens - written,
                                    out.offsets.data() + 1 + line, lines - line,
                                    static_cast<std::int64_t>(written)};
        const kernel::Lines done = k.translate_lines(p + pos, n - pos, room, tables);
        std::fill_n(out.ids.data() + line, done.lines, id);
        line += done.lines;
        written += done.tokens;
        pos += done.used;
        // A last line without its '\n'.
        if (pos < n && p[pos] != '>') {
            const std::size_t len = k.translate_line(p + pos, n - pos, out.tokens.data() + written, tables);
            written += len;
            out.offsets[++line] = static_cast<std::int64_t>(written);
            out.ids[line - 1] = id;
            pos += len + 1;
        }
    }
}

bool same(const Output& a, const Output& b) {
    return a.tokens == b.tokens && a.offsets == b.offsets && a.ids == b.ids;
}

void run_shape(const char* title, const std::vector<std::uint8_t>& image, bool is_rna, int rounds) {
    const kernel::Tables tables = kernel::prepare(token_table(is_rna));
    const double gb = static_cast<double>(image.size()) / 1e9;
    std::printf("\n%s: %.1f MB\n", title, static_cast<double>(image.size()) / 1e6);
    std::printf("%-10s %8s %14s %14s %14s %14s\n", "GB/s", "scan", "translate_line", "translate_lines",
                "scan + line", "scan + lines");
    Output reference;
    for (const kernel::Kernel* k : kernel::available()) {
        const Counts counts = scan_pass(*k, image);
        Output out, batched;
        // Written once before timing: the pages are resident when it starts.
        for (Output* o : {&out, &batched}) {
            o->tokens.assign(counts.tokens, 0);
            o->offsets.assign(counts.lines + 1, 0);
            o->ids.assign(counts.lines, 0);
        }
        double scan = 1e30, line = 1e30, lines = 1e30;
        for (int round = 0; round < rounds; ++round) {
            const double t0 = thread_cpu_seconds();
            const Counts again = scan_pass(*k, image);
            const double t1 = thread_cpu_seconds();
            translate_pass(*k, image, tables, out);
            const double t2 = thread_cpu_seconds();
            translate_pass_batched(*k, image, tables, batched);
            const double t3 = thread_cpu_seconds();
            if (again.lines != counts.lines || again.tokens != counts.tokens) {
                std::fprintf(stderr, "%s: the scan pass is not repeatable\n", k->name);
                std::exit(1);
            }
            scan = std::min(scan, t1 - t0);
            line = std::min(line, t2 - t1);
            lines = std::min(lines, t3 - t2);
        }
        if (k == kernel::available().front())
            reference = out;
        if (!same(out, reference) || !same(batched, reference)) {
            std::fprintf(stderr, "%s: results differ from the portable kernel's\n", k->name);
            std::exit(1);
        }
        std::printf("%-10s %8.2f %14.2f %14.2f %14.2f %14.2f\n", k->name, gb / scan, gb / line, gb / lines,
                    gb / (scan + line), gb / (scan + lines));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double megabytes = argc > 1 ? std::strtod(argv[1], nullptr) : 256;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    if (!(megabytes > 0)) {
        std::fprintf(stderr, "usage: bench_parse_chunk [MEGABYTES [ROUNDS]]\n");
        return 2;
    }
    std::printf("one thread, CPU time, best of %d rounds; selected kernel: %s\n", rounds,
                kernel::selected().name);
    run_shape("protein, 60-column lines",
              synthetic_image(static_cast<std::size_t>(megabytes * (1 << 20)), "ACDEFGHIKLMNPQRSTVWY", 50,
                              2000, 60),
              false, rounds);
    run_shape("nucleotide, one line per record",
              synthetic_image(static_cast<std::size_t>(megabytes * (1 << 20)), "ACGT", 200, 30000, 0), true,
              rounds);
    return 0;
}
