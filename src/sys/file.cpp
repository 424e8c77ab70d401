// Opening and reading files: positioned reads for the workers, and reads to
// the end for files whose size only the end tells.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <string>
#include <utility>

#include "sys.hpp"
#include "sys/interrupt.hpp"

namespace veltra::sys {

namespace {

// The most that one read may ask for.
constexpr std::size_t io_limit = static_cast<std::size_t>(SSIZE_MAX);

std::optional<std::uint64_t> size_hint(int fd) {
    struct statx stx {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_SIZE, &stx) == 0)
        return (stx.stx_mask & STATX_SIZE) != 0 ? std::optional<std::uint64_t>(stx.stx_size) : std::nullopt;
    // A kernel or sandbox without statx; any other failure just means no hint.
    if (errno != ENOSYS && errno != EPERM)
        return std::nullopt;
    struct stat64 st {};
    if (::fstat64(fd, &st) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

// A failed close cannot lose data on a descriptor that was only read.
File::~File() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<std::uint64_t> File::regular_size() const noexcept {
    struct stat64 st {};
    if (::fstat64(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

Result<std::size_t, OsError> File::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got =
            ::pread64(fd_, dst + done, std::min(n - done, io_limit), static_cast<off64_t>(offset + done));
        if (got < 0) {
            // Pool workers make these reads, and they may not run the
            // interrupt hook; they block asynchronous signals, so this is rare.
            if (errno == EINTR)
                continue;
            return OsError::from_errno(errno);
        }
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

namespace {

// A system call of the calling thread, made with the blocking hooks' lock let
// go where it may wait for long.
template <class Call>
auto call_retrying(bool may_wait, Call&& call) {
    return may_wait ? retry_blocking(call) : retry_on_eintr(call);
}

Result<Buffer<std::uint8_t>, OsError> read_rest(int fd, bool may_wait) {
    Buffer<std::uint8_t> out;
    if (const auto hint = size_hint(fd); hint && *hint > 0) {
        out.reserve_exact(static_cast<std::size_t>(*hint));
    }

    while (true) {
        if (out.size() == out.capacity()) {
            // Full, most likely at the exact size: a small probe tells the end
            // of the file apart from a file that outgrew its size without
            // growing the buffer for nothing.
            std::array<std::uint8_t, 32> probe;
            const ssize_t n = call_retrying(may_wait, [&] { return ::read(fd, probe.data(), probe.size()); });
            if (n < 0)
                return OsError::from_errno(errno);
            if (n == 0)
                return out;
            out.append(probe.data(), static_cast<std::size_t>(n));
            out.reserve(8192);
        }
        const std::size_t room = std::min(out.capacity() - out.size(), io_limit);
        const ssize_t n = call_retrying(may_wait, [&] { return ::read(fd, out.data() + out.size(), room); });
        if (n < 0)
            return OsError::from_errno(errno);
        if (n == 0)
            return out;
        out.set_size(out.size() + static_cast<std::size_t>(n));
    }
}

Result<File, OsError> open_path(std::string_view path, bool may_wait) {
    if (path.find('\0') != std::string_view::npos)
        return OsError::fixed(ErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
    const std::string c_path(path);
    const int fd =
        call_retrying(may_wait, [&] { return ::open64(c_path.c_str(), O_RDONLY | O_CLOEXEC, 0666); });
    if (fd < 0)
        return OsError::from_errno(errno);
    return File(fd);
}

}  // namespace

Result<Buffer<std::uint8_t>, OsError> File::read_to_end() const {
    return read_rest(fd_, true);
}

Result<File, OsError> open_file(std::string_view path) {
    return open_path(path, true);
}

Result<Buffer<std::uint8_t>, OsError> read_whole_file(std::string_view path) {
    auto file = open_path(path, false);
    if (!file)
        return std::move(file).error();
    return read_rest(file.value().fd(), false);
}

}  // namespace veltra::sys
