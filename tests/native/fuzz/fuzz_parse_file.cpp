// Coverage-guided fuzzing of the whole FASTA driver below the Python edge:
// the file read, the chunk plan and both passes on a pool of three workers.
//
// Input: a control byte (bit 0: nucleotide table; bits 1-2: layout; bit 3:
// through a pipe; bits 4-5: the size of the workers' reads; bit 6: in
// pieces), a size byte, a filler byte, then the pattern. A regular file is
// read by the workers chunk by chunk, or piece by piece, in reads small
// enough for lines and headers to cross them; a pipe has no size and is read
// whole first. Layouts: 0 the pattern as it is; 1
// the pattern repeated up to the target size; 2 filler bytes before the
// pattern and 3 after it, up to the target size. The target size lies around
// the 100000-byte threshold, so that tiled and padded files are sometimes one
// chunk and sometimes three, with chunk boundaries falling anywhere in them.
//
// The result must keep the invariants of a merged parse and equal the plain
// model of model.hpp, and so must the streamed parse of the same image; when
// a header is bad, both must fail with the message of the first bad header in
// the file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "fasta.hpp"
#include "fasta/kernel.hpp"
#include "fasta/pieces.hpp"
#include "model.hpp"
#include "outcome.hpp"
#include "panic.hpp"

const char* const fuzz::target = "fuzz_parse_file";

namespace {

using fuzz::check;
using fuzz::fail;
using fuzz::Outcome;
using fuzz::outcome_of;

constexpr std::size_t threshold = 100000;

std::string file_path;

void write_file(const std::vector<std::uint8_t>& image) {
    const int fd = ::open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0, "cannot open the temporary file");
    std::size_t done = 0;
    while (done < image.size()) {
        const ssize_t n = ::write(fd, image.data() + done, image.size() - done);
        check(n > 0, "cannot write the temporary file");
        done += static_cast<std::size_t>(n);
    }
    check(::close(fd) == 0, "cannot close the temporary file");
}

// Parses `image` as it arrives through a pipe, named by its /proc path.
template <class Parse>
auto through_pipe(const std::vector<std::uint8_t>& image, Parse&& parse) {
    int fds[2];
    check(::pipe2(fds, O_CLOEXEC) == 0, "cannot create a pipe");
    std::thread writer([&image, fd = fds[1]] {
        std::size_t done = 0;
        while (done < image.size()) {
            const ssize_t n = ::write(fd, image.data() + done, image.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            check(n > 0, "cannot write the pipe");
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    auto result = parse("/proc/self/fd/" + std::to_string(fds[0]));
    writer.join();
    ::close(fds[0]);
    return result;
}

std::vector<std::uint8_t> layout(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t control = size > 0 ? data[0] : 0;
    const std::size_t target = threshold - 64 + (size > 1 ? data[1] : 0) * 64;
    const std::uint8_t filler = size > 2 ? data[2] : '\n';
    const std::span<const std::uint8_t> pattern(data + std::min<std::size_t>(size, 3),
                                                size - std::min<std::size_t>(size, 3));
    std::vector<std::uint8_t> image;
    switch ((control >> 1) & 3) {
        case 0:
            image.assign(pattern.begin(), pattern.end());
            break;
        case 1:
            if (pattern.empty())
                break;
            image.reserve(target + pattern.size());
            while (image.size() < target)
                image.insert(image.end(), pattern.begin(), pattern.end());
            break;
        case 2:
            image.assign(target > pattern.size() ? target - pattern.size() : 0, filler);
            image.insert(image.end(), pattern.begin(), pattern.end());
            break;
        default:
            image.assign(pattern.begin(), pattern.end());
            if (image.size() < target)
                image.resize(target, filler);
            break;
    }
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::start_driver_target();

    const char* dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/fuzz_parse_file.XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        fail("cannot create a temporary file");
    ::close(fd);
    file_path = pattern;
    std::atexit([] { ::unlink(file_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool is_rna = size > 0 && (data[0] & 1) != 0;
    const bool piped = size > 0 && (data[0] & 8) != 0;
    const std::vector<std::uint8_t> image = layout(data, size);
    constexpr std::size_t windows[] = {veltra::fasta::default_read_window, 3, 61, 4096};
    veltra::fasta::read_window = windows[size > 0 ? (data[0] >> 4) & 3 : 0];
    const bool pieces = size > 0 && (data[0] & 64) != 0;
    veltra::fasta::pieces_from = pieces ? 0 : veltra::fasta::default_pieces_from;
    // Pieces of the smallest reads are two bytes each, tens of thousands per
    // file: too slow to fuzz, and no boundary that pieces of 45 bytes lack.
    if (pieces)
        veltra::fasta::read_window = std::max<std::size_t>(veltra::fasta::read_window, 61);

    Outcome whole;
    if (piped) {
        whole = through_pipe(image, [&](const std::string& path) {
            return outcome_of([&] { return veltra::fasta::parse_file(path, is_rna); });
        });
    } else {
        write_file(image);
        whole = outcome_of([&] { return veltra::fasta::parse_file(file_path, is_rna); });
    }
    if (!whole.panic) {
        const std::vector<std::int64_t>& offsets = whole.offsets;
        check(!offsets.empty() && offsets.front() == 0, "offsets do not start at 0");
        check(std::is_sorted(offsets.begin(), offsets.end()), "offsets decrease");
        check(offsets.back() == static_cast<std::int64_t>(whole.tokens.size()),
              "offsets do not end at the token count");
        check(offsets.size() == whole.ids.size() + 1, "offsets are not one longer than ids");
    }

    const Outcome model = fuzz::model::parse(image, 0, image.size(), is_rna);
    check(whole == model, "the driver's result differs from the model");
    const veltra::fasta::kernel::Tables tables =
        veltra::fasta::kernel::prepare(veltra::fasta::build_token_table(is_rna));
    check(fuzz::streamed(image, tables, veltra::fasta::kernel::selected(), size > 1 ? data[1] & 7 : 0,
                         static_cast<std::uint32_t>(size)) == model,
          "the streamed parse differs from the model");
    return 0;
}
