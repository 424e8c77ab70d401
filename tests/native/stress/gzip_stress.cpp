// Compressed FASTA, and plain files in pieces, parsed from several outside
// threads at once on one pool: each call's workers share the pool with the
// other calls' workers, so a pipeline that waited for a worker the pool never
// gives it would hang here. Every result is checked against the text parsed
// directly, and damaged files must fail with their error. Built with
// ThreadSanitizer by run.sh.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fasta/gzip.hpp"
#include "fasta/pieces.hpp"
#include "fasta/pipeline.hpp"
#include "fasta/stream.hpp"
#include "panic.hpp"
#include "pool.hpp"

namespace {

using namespace veltra;
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned outside_threads = 4;
constexpr int rounds = 12;
std::atomic<bool> failed{false};

void fail(const std::string& what) {
    failed.store(true);
    std::fprintf(stderr, "gzip_stress: %s\n", what.c_str());
}

std::string fasta_text(std::mt19937_64& rng) {
    std::string text;
    const std::size_t records = rng() % 3000;
    for (std::size_t r = 0; r < records; ++r) {
        text += ">" + std::to_string(rng() % 100000) + "\n";
        for (std::size_t line = rng() % 4; line > 0; --line)
            text += std::string(rng() % 120, "ACGT"[rng() % 4]) + "\n";
    }
    return text;
}

// One gzip member, or a BGZF member when `bgzf` (the input then at most
// 64 KiB).
void compress(Bytes& out, const std::uint8_t* p, std::size_t n, bool bgzf) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, bgzf ? -15 : 31, 8, Z_DEFAULT_STRATEGY);
    Bytes body(deflateBound(&z, n) + 32);
    z.next_in = const_cast<Bytef*>(p);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = body.data();
    z.avail_out = static_cast<uInt>(body.size());
    deflate(&z, Z_FINISH);
    body.resize(z.total_out);
    deflateEnd(&z);
    if (!bgzf) {
        out.insert(out.end(), body.begin(), body.end());
        return;
    }
    const std::uint32_t bsize = static_cast<std::uint32_t>(18 + body.size() + 8 - 1);
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
    const std::uint8_t header[18] = {0x1f,
                                     0x8b,
                                     8,
                                     4,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0xff,
                                     6,
                                     0,
                                     'B',
                                     'C',
                                     2,
                                     0,
                                     static_cast<std::uint8_t>(bsize),
                                     static_cast<std::uint8_t>(bsize >> 8)};
    out.insert(out.end(), header, header + 18);
    out.insert(out.end(), body.begin(), body.end());
    for (const std::uint32_t word : {crc, static_cast<std::uint32_t>(n)})
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<std::uint8_t>(word >> shift));
}

// The text as one member, as many small ones, as BGZF, or BGZF then gzip.
Bytes compressed(const std::string& text, int form, std::mt19937_64& rng) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    Bytes out;
    std::size_t pos = 0;
    const std::size_t bgzf_end = form == 2 ? text.size() : form == 3 ? text.size() / 2 : 0;
    while (pos < bgzf_end) {
        const std::size_t n = std::min<std::size_t>(bgzf_end - pos, 1 + rng() % 8000);
        compress(out, p + pos, n, true);
        pos += n;
    }
    while (pos < text.size() || out.empty()) {
        const std::size_t n =
            form == 1 ? std::min<std::size_t>(text.size() - pos, rng() % 20000) : text.size() - pos;
        compress(out, p + pos, n, false);
        pos += n;
    }
    return out;
}

template <class T>
bool same(const Buffer<T>& a, const Buffer<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool same(const fasta::Parsed& a, const fasta::Parsed& b) {
    return same(a.tokens, b.tokens) && same(a.offsets, b.offsets) && same(a.ids, b.ids);
}

// The text as a file on disk, parsed in pieces.
void in_pieces(const std::string& text, unsigned seed, const fasta::Parsed& want,
               const fasta::kernel::Tables& tables) {
    std::string path = "/tmp/gzip_stress." + std::to_string(seed) + ".XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        text.empty()) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(path.c_str());
        return;
    }
    const sys::File file(fd);
    const fasta::Source source{{}, &file, text.size()};
    try {
        if (!same(fasta::parse_in_pieces(source, pool::current_num_threads(), tables,
                                         fasta::kernel::selected()),
                  want))
            fail("pieces: wrong result");
    } catch (const Panic& p) {
        fail("pieces: " + p.message);
    }
    ::unlink(path.c_str());
}

void outside_thread(unsigned seed) {
    std::mt19937_64 rng(seed);
    const fasta::kernel::Tables tables = fasta::kernel::prepare(fasta::build_token_table(false));
    const auto& kernel = fasta::kernel::selected();
    for (int round = 0; round < rounds && !failed.load(); ++round) {
        const std::string text = fasta_text(rng);
        fasta::StreamParser direct(tables, kernel);
        direct.feed({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
        const fasta::Parsed want = direct.finish();
        in_pieces(text, seed, want, tables);
        for (int form = 0; form < 4; ++form) {
            Bytes file = compressed(text, form, rng);
            const bool cut = rng() % 4 == 0;
            if (cut)
                file.resize(file.size() - 1 - rng() % 8);  // within the last trailer
            const fasta::Source source{{file.data(), file.size()}, nullptr, file.size()};
            try {
                const fasta::Parsed got =
                    fasta::parse_compressed(source, pool::current_num_threads(), tables, kernel);
                if (cut || !same(got, want))
                    fail("form " + std::to_string(form) + (cut ? ": a cut file parsed" : ": wrong result"));
            } catch (const Panic& p) {
                if (!cut || p.message.find("gzip") == std::string::npos)
                    fail("form " + std::to_string(form) + ": " + p.message);
            }
        }
    }
}

}  // namespace

int main() {
    // Pieces of a few kilobytes: some hundred in each file.
    fasta::read_window = 4096;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < outside_threads; ++t)
        threads.emplace_back(outside_thread, 2000 + t);
    for (auto& t : threads)
        t.join();
    if (failed.load())
        return 1;
    std::printf("gzip_stress: ok\n");
    return 0;
}
