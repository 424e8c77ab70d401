// Coverage-guided fuzzing of compressed FASTA input: the members of a gzip
// file inflated and parsed on a pool of three workers, and the streamed parse
// that they feed.
//
// Input: a control byte (bits 0-1: the way to compress; bit 2: nucleotide
// table; bits 3-5: the damage, none for 0-3; bits 6-7: the deflate level), a
// piece-size byte (text bytes per member), two little-endian bytes of damage
// position, a damage byte, a stream byte (bit 7: tile the text past 100000
// bytes; bit 4: which comes first when mixing; bits 0-2: how finely the text
// is cut for the streamed parse), then the FASTA text. The ways to compress:
// one member; several members with empty ones among them; BGZF with small
// members and its end-of-file member; BGZF and plain members one after the
// other. The damages: cut the file short, flip a byte, append bytes (zero
// bytes are padding and no damage), rewrite a BGZF member's size. Texts of
// several megabytes, which the pipeline cuts into blocks, are left to the
// Python tests: under the sanitizers one run of such a text takes about a
// second, and the fuzzer would spend its time on little else.
//
// The file's decompressed bytes come from a plain zlib inflate over its
// members, written here apart from the module's own. Whatever the damage, the
// compressed parse must either fail with a panic or give exactly what the
// plain model of model.hpp gives for those bytes; where the reference reads
// the file (and no BGZF size was touched, which only the module believes), it
// must give just that, failing only as the model fails; where the reference
// does not, it must fail. The faster inflaters, where the build has them, must
// give exactly what zlib gives on undamaged input; on damaged input they may
// read what zlib rejects, and then give the undamaged text's parse. The chunk
// parser given the whole text, and the streamed parse fed it in pieces, must
// give the model's parse too.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fasta.hpp"
#include "fasta/chunk.hpp"
#include "fasta/gzip.hpp"
#include "fasta/kernel.hpp"
#include "fasta/pipeline.hpp"
#include "model.hpp"
#include "outcome.hpp"
#include "panic.hpp"
#include "pool.hpp"

const char* const fuzz::target = "fuzz_gzip";

namespace {

using fuzz::check;
using fuzz::fail;
using fuzz::Outcome;
using fuzz::outcome_of;

namespace fasta = veltra::fasta;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Writers

void put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(Bytes& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Deflates `text` with zlib's own gzip wrapper (window bits 31) or raw (-15).
Bytes deflate(std::span<const std::uint8_t> text, int level, int window_bits) {
    z_stream z{};
    check(deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2");
    Bytes out(deflateBound(&z, text.size()) + 32);
    z.next_in = const_cast<Bytef*>(text.data());
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    check(deflate(&z, Z_FINISH) == Z_STREAM_END, "deflate did not finish");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::uint32_t crc_of(std::span<const std::uint8_t> text) {
    return static_cast<std::uint32_t>(crc32(0, text.data(), static_cast<uInt>(text.size())));
}

void gzip_member(Bytes& out, std::span<const std::uint8_t> text, int level) {
    const Bytes member = deflate(text, level, 31);
    out.insert(out.end(), member.begin(), member.end());
}

void bgzf_member(Bytes& out, std::span<const std::uint8_t> text, int level) {
    const Bytes body = deflate(text, level, -15);
    const std::size_t size = 18 + body.size() + 8;
    check(size <= 65536, "a BGZF member grew past 64 KiB");
    const std::uint8_t head[] = {0x1F, 0x8B, 8, 4, 0, 0, 0, 0, 0, 0xFF, 6, 0, 'B', 'C', 2, 0};
    out.insert(out.end(), std::begin(head), std::end(head));
    put16(out, static_cast<std::uint32_t>(size - 1));
    out.insert(out.end(), body.begin(), body.end());
    put32(out, crc_of(text));
    put32(out, static_cast<std::uint32_t>(text.size()));
}

constexpr std::uint8_t bgzf_eof[28] = {0x1F, 0x8B, 8,  4, 0, 0, 0, 0, 0, 0xFF, 6, 0, 'B', 'C',
                                       2,    0,    27, 0, 3, 0, 0, 0, 0, 0,    0, 0, 0,   0};

struct Written {
    Bytes file;
    std::vector<std::size_t> bgzf_starts;  // where each BGZF member begins
};

void write_bgzf(Written& w, std::span<const std::uint8_t> text, std::size_t piece, int level) {
    for (std::size_t at = 0; at < text.size() || at == 0; at += piece) {
        w.bgzf_starts.push_back(w.file.size());
        bgzf_member(w.file, text.subspan(at, std::min(piece, text.size() - at)), level);
        if (text.empty())
            break;
    }
    w.bgzf_starts.push_back(w.file.size());
    w.file.insert(w.file.end(), std::begin(bgzf_eof), std::end(bgzf_eof));
}

// Members of `piece` text bytes, an empty member before every third.
void write_members(Written& w, std::span<const std::uint8_t> text, std::size_t piece, int level,
                   unsigned seed) {
    std::size_t index = seed;
    for (std::size_t at = 0; at < text.size() || at == 0; at += piece, ++index) {
        if (index % 3 == 0)
            gzip_member(w.file, {}, level);
        gzip_member(w.file, text.subspan(at, std::min(piece, text.size() - at)), level);
        if (text.empty())
            break;
    }
    if (seed & 1)
        gzip_member(w.file, {}, level);
}

// ---------------------------------------------------------------------------
// The reference: zlib's inflate over one member after the other

std::optional<Bytes> reference_inflate(std::span<const std::uint8_t> file) {
    Bytes out;
    std::size_t at = 0;
    std::uint8_t buffer[16384];
    while (at < file.size()) {
        if (file[at] == 0) {  // padding, to the end
            if (std::any_of(file.begin() + static_cast<std::ptrdiff_t>(at), file.end(),
                            [](std::uint8_t b) { return b != 0; }))
                return std::nullopt;
            break;
        }
        z_stream z{};
        check(inflateInit2(&z, 31) == Z_OK, "inflateInit2");
        z.next_in = const_cast<Bytef*>(file.data() + at);
        z.avail_in = static_cast<uInt>(file.size() - at);
        int status;
        do {
            z.next_out = buffer;
            z.avail_out = sizeof buffer;
            status = inflate(&z, Z_NO_FLUSH);
            out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
        } while (status == Z_OK);
        const std::size_t used = z.total_in;
        inflateEnd(&z);
        if (status != Z_STREAM_END)
            return std::nullopt;  // corrupt, or cut short
        at += used;
    }
    return out;
}

// ---------------------------------------------------------------------------

const fasta::kernel::Tables& tables_for(bool is_rna) {
    static const fasta::kernel::Tables rna = fasta::kernel::prepare(fasta::build_token_table(true));
    static const fasta::kernel::Tables protein = fasta::kernel::prepare(fasta::build_token_table(false));
    return is_rna ? rna : protein;
}

// The text's parse by the plain model, which the chunk parser, given the
// whole text, must give as well.
Outcome expected_of(std::span<const std::uint8_t> text, bool is_rna) {
    const Outcome model = fuzz::model::parse(text, 0, text.size(), is_rna);
    const fasta::TokenTable table = fasta::build_token_table(is_rna);
    check(outcome_of([&] { return fasta::parse_chunk(text, 0, text.size(), table); }) == model,
          "the one-chunk parse differs from the model");
    return model;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_driver_target();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t head = 6;
    if (size < head)
        return -1;
    const unsigned form = data[0] & 3;
    const bool is_rna = (data[0] & 4) != 0;
    const unsigned damage = (data[0] >> 3) & 7;
    constexpr int levels[] = {1, 6, 9, 0};
    const int level = levels[data[0] >> 6];
    const std::size_t damage_at = data[2] | std::size_t{data[3]} << 8;
    const std::uint8_t damage_byte = data[4];
    const std::uint8_t stream = data[5];

    Bytes text(data + head, data + size);
    if ((stream & 0x80) != 0 && !text.empty()) {
        const Bytes pattern = text;
        while (text.size() < 100000)
            text.insert(text.end(), pattern.begin(), pattern.end());
    }
    // A few hundred members at most: each costs the writer and the reference a
    // zlib state of their own.
    const std::size_t piece = std::max(1 + std::size_t{data[1]} * 16, text.size() / 256 + 1);
    const Outcome expected = expected_of(text, is_rna);
    check(fuzz::streamed(text, tables_for(is_rna), fasta::kernel::selected(), stream & 7,
                         static_cast<std::uint32_t>(size)) == expected,
          "the streamed parse differs from the model");

    Written w;
    const std::size_t half = text.size() / 2;
    const std::span<const std::uint8_t> all(text);
    switch (form) {
        case 0:
            gzip_member(w.file, all, level);
            break;
        case 1:
            write_members(w, all, piece, level, damage_byte);
            break;
        case 2:
            write_bgzf(w, all, piece, level);
            break;
        default:
            if (stream & 0x10) {
                write_members(w, all.first(half), piece, level, damage_byte);
                write_bgzf(w, all.subspan(half), piece, level);
            } else {
                write_bgzf(w, all.first(half), piece, level);
                write_members(w, all.subspan(half), piece, level, damage_byte);
            }
            break;
    }
    {
        const std::optional<Bytes> inflated = reference_inflate(w.file);
        check(inflated && *inflated == text, "the reference does not read back what was written");
    }

    // Only the module believes BGZF sizes: where one changed, it may fail
    // where the reference reads the file.
    bool sizes_touched = false;
    Bytes& file = w.file;
    const bool damaged = damage >= 4 && !(damage == 6 && damage_byte == 0);
    switch (damage) {
        case 4:
            file.resize(damage_at % (file.size() + 1));
            break;
        case 5: {
            const std::size_t at = damage_at % file.size();
            file[at] ^= damage_byte != 0 ? damage_byte : 0x80;
            for (std::size_t start : w.bgzf_starts)
                sizes_touched |= at >= start + 10 && at < start + 18;
            break;
        }
        case 6:
            file.insert(file.end(), 1 + damage_at % 16, damage_byte);
            break;
        case 7:
            if (!w.bgzf_starts.empty()) {
                const std::size_t at = w.bgzf_starts[damage_at % w.bgzf_starts.size()] + 16;
                const std::uint32_t old = file[at] | std::uint32_t{file[at + 1]} << 8;
                const std::uint32_t now =
                    damage_byte == 0 ? 0xFFFF : (old + static_cast<std::int8_t>(damage_byte)) & 0xFFFF;
                file[at] = static_cast<std::uint8_t>(now);
                file[at + 1] = static_cast<std::uint8_t>(now >> 8);
                sizes_touched = true;
            }
            break;
        default:
            break;
    }

    const bool is_gzip = file.size() >= 3 && file[0] == 0x1F && file[1] == 0x8B && file[2] == 8;
    check(fasta::gzip::starts_gzip(file) == is_gzip, "gzip is not told by its first three bytes");
    if (!is_gzip)
        return 0;  // parsed as plain text, as the other targets test

    const fasta::Source source{file, nullptr, file.size()};
    const auto parse_with = [&](bool fast) {
        fasta::gzip::use_fast_inflaters(fast);
        return outcome_of([&] {
            return fasta::parse_compressed(source, veltra::pool::current_num_threads(), tables_for(is_rna),
                                           fasta::kernel::selected());
        });
    };
    const Outcome got = parse_with(false);
    if (fasta::gzip::have_fast_inflaters()) {
        const Outcome fast = parse_with(true);
        if (!(fast == got)) {
            // Only damage may part them: libdeflate takes some deflate data
            // that zlib rejects. What it makes of a member still has to match
            // the member's checksum and length, so a result it gives is that
            // of the undamaged text.
            check(damaged, "the faster inflaters and zlib differ on undamaged input");
            if (fast.panic)
                check(got.panic.has_value(), "the faster inflaters fail where zlib reads the file");
            else
                check(fast == expected, "the faster inflaters took damage and gave other bytes");
        }
    }
    const std::optional<Bytes> inflated = reference_inflate(file);
    if (!inflated) {
        check(got.panic.has_value(), "a file the reference cannot read gave a result");
        return 0;
    }
    if (sizes_touched && got.panic)
        return 0;
    check(got == expected_of(*inflated, is_rna), "the compressed parse differs from the model");
    return 0;
}
