#include "sys.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// The XSI variant: it fills the caller's buffer instead of returning a
// pointer to a static string, and <string.h> hides it under _GNU_SOURCE.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace veltra::sys {

namespace {

// ---------------------------------------------------------------------------
// Renderings

std::string system_text(int code) {
    char buf[128];
    buf[0] = '\0';
    // A positive return (unknown errno, text cut short) still leaves a usable
    // NUL-terminated text such as "Unknown error 4000"; only the old-style -1
    // means nothing was written.
    if (__xpg_strerror_r(code, buf, sizeof buf) < 0)
        panic("strerror_r failure");
    buf[sizeof buf - 1] = '\0';
    return utf8_lossy(std::string_view(buf, std::strlen(buf)));
}

void append_hex_escape(std::string& out, unsigned value) {
    static constexpr char digits[] = "0123456789abcdef";
    char hex[8];
    int n = 0;
    do {
        hex[n++] = digits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    out += "\\u{";
    while (n > 0)
        out += hex[--n];
    out += '}';
}

// `text` as a double-quoted literal. It must be valid UTF-8, so that a C1
// control character can only appear as its two-byte sequence.
std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7F) {
            append_hex_escape(out, c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            append_hex_escape(out, static_cast<unsigned char>(text[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

// ---------------------------------------------------------------------------
// Descriptors

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

constexpr std::size_t io_limit = static_cast<std::size_t>(SSIZE_MAX);

bool exists(const std::string& path) {
    struct stat64 st {};
    return ::stat64(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------
// Standard output

std::uintptr_t current_thread_token() noexcept {
    // Distinct for every live thread and never 0.
    thread_local const char marker = 0;
    return reinterpret_cast<std::uintptr_t>(&marker);
}

std::atomic<InterruptHook> interrupt_hook{nullptr};

void run_interrupt_hook() {
    if (const InterruptHook hook = interrupt_hook.load(std::memory_order_acquire))
        hook();
}

// Makes `call` (a system call returning -1 with errno on failure) until it
// does not fail with EINTR; after each EINTR `on_interrupt` runs first, and
// it may throw to end the operation.
template <class Call, class OnInterrupt = void (*)()>
auto retry_on_eintr(Call&& call, OnInterrupt&& on_interrupt = run_interrupt_hook) {
    while (true) {
        const auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
        on_interrupt();
    }
}

class ReentrantMutex {
public:
    void lock() {
        const std::uintptr_t me = current_thread_token();
        if (owner_.load(std::memory_order_relaxed) == me) {
            if (count_ == UINT32_MAX)
                panic("lock count overflow in reentrant mutex");
            ++count_;
            return;
        }
        mutex_.lock();
        owner_.store(me, std::memory_order_relaxed);
        count_ = 1;
    }

    void unlock() noexcept {
        if (--count_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

    // Lets go of every hold of the calling thread for the scope, and takes
    // them all back at its end.
    class Unlocked {
    public:
        explicit Unlocked(ReentrantMutex& m) noexcept : m_(m), held_(std::exchange(m.count_, 0)) {
            m_.owner_.store(0, std::memory_order_relaxed);
            m_.mutex_.unlock();
        }
        Unlocked(const Unlocked&) = delete;
        Unlocked& operator=(const Unlocked&) = delete;
        ~Unlocked() {
            m_.mutex_.lock();
            m_.owner_.store(current_thread_token(), std::memory_order_relaxed);
            m_.count_ = held_;
        }

    private:
        ReentrantMutex& m_;
        std::uint32_t held_;
    };

private:
    std::mutex mutex_;
    // Only ever equal to the reading thread's own token if that thread stored
    // it, so a relaxed load is enough to recognise re-entry.
    std::atomic<std::uintptr_t> owner_{0};
    std::uint32_t count_ = 0;
};

void unlocked_interrupt_hook();

// Writes all of `data` to descriptor 1; called with the writer's lock held.
std::optional<OsError> write_all_stdout(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n =
            retry_on_eintr([&] { return ::write(1, data.data(), std::min(data.size(), io_limit)); },
                           unlocked_interrupt_hook);
        if (n < 0) {
            const int err = errno;
            // A closed standard output swallows what the module prints rather
            // than failing the call that prints it.
            if (err == EBADF)
                return std::nullopt;
            return OsError::from_errno(err);
        }
        if (n == 0)
            return OsError::fixed(ErrorKind::WriteZero, "failed to write whole buffer");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

class LineWriter {
public:
    static constexpr std::size_t capacity = 1024;

    std::optional<OsError> write_piece(std::string_view piece) {
        const std::size_t last_newline = piece.rfind('\n');
        if (last_newline == std::string_view::npos) {
            if (len_ != 0 && buf_[len_ - 1] == '\n')
                if (auto err = flush())
                    return err;
            return buffered_write(piece);
        }
        const std::string_view lines = piece.substr(0, last_newline + 1);
        const std::string_view tail = piece.substr(last_newline + 1);
        if (len_ == 0) {
            if (auto err = write_all_stdout(lines))
                return err;
        } else {
            // Joining the completed lines to what is already buffered saves a
            // write when they fit.
            if (auto err = buffered_write(lines))
                return err;
            if (auto err = flush())
                return err;
        }
        return buffered_write(tail);
    }

    // After a failed write the pending bytes are dropped: the caller has been
    // told that its line failed, and keeping them would make every later call
    // fail on the same stale bytes first (or deliver half a failed line).
    void discard() noexcept { len_ = 0; }

private:
    std::optional<OsError> flush() {
        if (len_ == 0)
            return std::nullopt;
        // Out of the buffer before the write: a signal handler that runs
        // while it waits may print through this writer too.
        std::array<char, capacity> pending;
        std::memcpy(pending.data(), buf_.data(), len_);
        return write_all_stdout(std::string_view(pending.data(), std::exchange(len_, 0)));
    }

    std::optional<OsError> buffered_write(std::string_view data) {
        const std::size_t spare = capacity - len_;
        if (data.size() < spare) {
            append(data);
            return std::nullopt;
        }
        if (data.size() > spare)
            if (auto err = flush())
                return err;
        if (data.size() >= capacity)
            return write_all_stdout(data);
        append(data);
        return std::nullopt;
    }

    void append(std::string_view data) noexcept {
        std::memcpy(buf_.data() + len_, data.data(), data.size());
        len_ += data.size();
    }

    std::array<char, capacity> buf_{};
    std::size_t len_ = 0;
};

struct Stdout {
    ReentrantMutex lock;
    LineWriter writer;
};

Stdout& stdout_writer() {
    // Never destroyed: lines buffered at exit stay unwritten, and no thread
    // printing during shutdown can meet a dead writer.
    static Stdout* const instance = new Stdout();
    return *instance;
}

// The hook may run Python code, which may let other threads in, and they may
// print: so the writer is free while it runs.
void unlocked_interrupt_hook() {
    const ReentrantMutex::Unlocked unlocked(stdout_writer().lock);
    run_interrupt_hook();
}

// ---------------------------------------------------------------------------
// Cgroup paths, compared component by component as the kernel names them.

struct Path {
    bool absolute = false;
    std::vector<std::string> parts;

    static Path parse(std::string_view text) {
        Path path;
        path.absolute = !text.empty() && text.front() == '/';
        path.push(text);
        return path;
    }

    void push(const Path& relative) {
        parts.insert(parts.end(), relative.parts.begin(), relative.parts.end());
    }

    // Appends `relative`'s components; "." and empty components vanish.
    void push(std::string_view relative) {
        while (!relative.empty()) {
            const std::size_t slash = relative.find('/');
            const std::string_view part = relative.substr(0, slash);
            if (!part.empty() && part != ".")
                parts.emplace_back(part);
            if (slash == std::string_view::npos)
                break;
            relative.remove_prefix(slash + 1);
        }
    }

    bool starts_with(const Path& prefix) const {
        return absolute == prefix.absolute && prefix.parts.size() <= parts.size() &&
               std::equal(prefix.parts.begin(), prefix.parts.end(), parts.begin());
    }

    std::string str() const {
        std::string out = absolute ? "/" : "";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            if (i > 0)
                out += '/';
            out += parts[i];
        }
        if (out.empty())
            out = ".";
        return out;
    }

    std::string file(std::string_view name) const {
        std::string out = str();
        if (out.back() != '/')
            out += '/';
        out += name;
        return out;
    }
};

std::optional<std::string> read_text(const std::string& path) {
    auto bytes = read_whole_file(path);
    if (!bytes)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(bytes.value().data()), bytes.value().size());
    if (!check_utf8(text).valid)
        return std::nullopt;
    return text;
}

constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    while (true) {
        const std::size_t at = text.find(sep);
        out.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return out;
        text.remove_prefix(at + 1);
    }
}

bool has_item(std::string_view list, std::string_view item) {
    for (std::string_view entry : split(list, ','))
        if (entry == item)
            return true;
    return false;
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
    auto parsed = parse_u64(text);
    if (!parsed)
        return std::nullopt;
    return parsed.value();
}

// "limit period" on the first line of cpu.max; "max" as the limit is no limit.
std::optional<std::uint64_t> v2_limit(const std::string& file) {
    const std::optional<std::string> text = read_text(file);
    if (!text || text->empty())
        return std::nullopt;
    std::string_view line(*text);
    if (const std::size_t end = line.find('\n'); end != std::string_view::npos) {
        line = line.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
    }
    const std::vector<std::string_view> fields = split(line, ' ');
    if (fields.size() < 2)
        return std::nullopt;
    const auto limit = parse_number(fields[0]);
    const auto period = parse_number(fields[1]);
    if (!limit || !period || *period == 0)
        return std::nullopt;
    return *limit / *period;
}

std::size_t quota_v2(const CgroupPaths& paths, std::string_view group) {
    const Path root = Path::parse(paths.cgroup_root);
    Path dir = root;
    dir.push(group);
    if (!exists(dir.file("cgroup.controllers")))
        return SIZE_MAX;
    std::size_t quota = SIZE_MAX;
    // Every level up to the root may limit the group; the tightest wins.
    while (dir.starts_with(root)) {
        if (auto limit = v2_limit(dir.file("cpu.max")))
            quota = std::min<std::uint64_t>(quota, *limit);
        if (dir.parts.empty())
            break;
        dir.parts.pop_back();
    }
    return quota;
}

std::optional<std::uint64_t> v1_number(const std::string& file) {
    const std::optional<std::string> text = read_text(file);
    if (!text)
        return std::nullopt;
    return parse_number(trim(*text));
}

struct Mount {
    Path point;
    Path group;  // relative to the mount's root
};

// The cgroup v1 mount carrying the cpu controller whose root contains
// `group`, with `group` made relative to that root (bind mounts show a
// subtree). A malformed line ends the search with nothing.
std::optional<Mount> find_cpu_mount(const CgroupPaths& paths, const Path& group) {
    auto contents = read_whole_file(paths.proc_self_mountinfo);
    if (!contents)
        return std::nullopt;
    std::string_view rest(reinterpret_cast<const char*>(contents.value().data()), contents.value().size());
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view raw = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!check_utf8(raw).valid)
            return std::nullopt;
        const std::vector<std::string_view> fields = split(trim(raw), ' ');
        // Root and mount point from the front, type and super options from
        // the back, without the two ends overlapping.
        if (fields.size() < 8)
            return std::nullopt;
        const std::string_view root = fields[3];
        const std::string_view mount_point = fields[4];
        const std::string_view options = fields[fields.size() - 1];
        const std::string_view fs_type = fields[fields.size() - 3];
        if (fs_type != "cgroup" || !has_item(options, "cpu"))
            continue;
        if (root.empty() || root.front() != '/')
            return std::nullopt;
        const Path root_path = Path::parse(root.substr(1));
        if (!group.starts_with(root_path))
            continue;
        Path relative;
        relative.parts.assign(group.parts.begin() + static_cast<std::ptrdiff_t>(root_path.parts.size()),
                              group.parts.end());
        return Mount{Path::parse(mount_point), std::move(relative)};
    }
    return std::nullopt;
}

bool mount_holds(const Mount& mount) {
    Path dir = mount.point;
    dir.push(mount.group);
    return exists(dir.str());
}

std::size_t quota_v1(const CgroupPaths& paths, std::string_view group_text) {
    const Path group = Path::parse(group_text);
    std::optional<Mount> found;
    // The usual mount points first; mountinfo also finds bind-mounted and
    // renamed hierarchies, at the price of a scan.
    for (const char* name : {"cpu", "cpu,cpuacct"}) {
        Mount candidate{Path::parse(paths.cgroup_root), group};
        candidate.point.push(name);
        if (mount_holds(candidate)) {
            found = std::move(candidate);
            break;
        }
    }
    if (!found) {
        found = find_cpu_mount(paths, group);
        if (found && !mount_holds(*found))
            return SIZE_MAX;
    }
    if (!found)
        return SIZE_MAX;

    Path dir = found->point;
    dir.push(found->group);
    std::size_t quota = SIZE_MAX;
    while (dir.starts_with(found->point)) {
        const auto limit = v1_number(dir.file("cpu.cfs_quota_us"));
        const auto period = v1_number(dir.file("cpu.cfs_period_us"));
        if (limit && period && *period > 0)
            quota = std::min<std::uint64_t>(quota, *limit / *period);
        if (dir.parts.empty())
            break;
        dir.parts.pop_back();
    }
    return quota;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string_view to_string(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::NotFound:
            return "NotFound";
        case ErrorKind::PermissionDenied:
            return "PermissionDenied";
        case ErrorKind::ConnectionRefused:
            return "ConnectionRefused";
        case ErrorKind::ConnectionReset:
            return "ConnectionReset";
        case ErrorKind::HostUnreachable:
            return "HostUnreachable";
        case ErrorKind::NetworkUnreachable:
            return "NetworkUnreachable";
        case ErrorKind::ConnectionAborted:
            return "ConnectionAborted";
        case ErrorKind::NotConnected:
            return "NotConnected";
        case ErrorKind::AddrInUse:
            return "AddrInUse";
        case ErrorKind::AddrNotAvailable:
            return "AddrNotAvailable";
        case ErrorKind::NetworkDown:
            return "NetworkDown";
        case ErrorKind::BrokenPipe:
            return "BrokenPipe";
        case ErrorKind::AlreadyExists:
            return "AlreadyExists";
        case ErrorKind::WouldBlock:
            return "WouldBlock";
        case ErrorKind::NotADirectory:
            return "NotADirectory";
        case ErrorKind::IsADirectory:
            return "IsADirectory";
        case ErrorKind::DirectoryNotEmpty:
            return "DirectoryNotEmpty";
        case ErrorKind::ReadOnlyFilesystem:
            return "ReadOnlyFilesystem";
        case ErrorKind::FilesystemLoop:
            return "FilesystemLoop";
        case ErrorKind::StaleNetworkFileHandle:
            return "StaleNetworkFileHandle";
        case ErrorKind::InvalidInput:
            return "InvalidInput";
        case ErrorKind::TimedOut:
            return "TimedOut";
        case ErrorKind::WriteZero:
            return "WriteZero";
        case ErrorKind::StorageFull:
            return "StorageFull";
        case ErrorKind::NotSeekable:
            return "NotSeekable";
        case ErrorKind::FilesystemQuotaExceeded:
            return "FilesystemQuotaExceeded";
        case ErrorKind::FileTooLarge:
            return "FileTooLarge";
        case ErrorKind::ResourceBusy:
            return "ResourceBusy";
        case ErrorKind::ExecutableFileBusy:
            return "ExecutableFileBusy";
        case ErrorKind::Deadlock:
            return "Deadlock";
        case ErrorKind::CrossesDevices:
            return "CrossesDevices";
        case ErrorKind::TooManyLinks:
            return "TooManyLinks";
        case ErrorKind::InvalidFilename:
            return "InvalidFilename";
        case ErrorKind::ArgumentListTooLong:
            return "ArgumentListTooLong";
        case ErrorKind::Interrupted:
            return "Interrupted";
        case ErrorKind::Unsupported:
            return "Unsupported";
        case ErrorKind::OutOfMemory:
            return "OutOfMemory";
        case ErrorKind::InvalidData:
            return "InvalidData";
        case ErrorKind::Uncategorized:
            return "Uncategorized";
    }
    return "Uncategorized";
}

ErrorKind kind_of_errno(int code) noexcept {
    switch (code) {
        case EPERM:
        case EACCES:
            return ErrorKind::PermissionDenied;
        case ENOENT:
            return ErrorKind::NotFound;
        case EINTR:
            return ErrorKind::Interrupted;
        case E2BIG:
            return ErrorKind::ArgumentListTooLong;
        case EAGAIN:
            return ErrorKind::WouldBlock;
        case ENOMEM:
            return ErrorKind::OutOfMemory;
        case EBUSY:
            return ErrorKind::ResourceBusy;
        case EEXIST:
            return ErrorKind::AlreadyExists;
        case EXDEV:
            return ErrorKind::CrossesDevices;
        case ENOTDIR:
            return ErrorKind::NotADirectory;
        case EISDIR:
            return ErrorKind::IsADirectory;
        case EINVAL:
            return ErrorKind::InvalidInput;
        case ETXTBSY:
            return ErrorKind::ExecutableFileBusy;
        case EFBIG:
            return ErrorKind::FileTooLarge;
        case ENOSPC:
            return ErrorKind::StorageFull;
        case ESPIPE:
            return ErrorKind::NotSeekable;
        case EROFS:
            return ErrorKind::ReadOnlyFilesystem;
        case EMLINK:
            return ErrorKind::TooManyLinks;
        case EPIPE:
            return ErrorKind::BrokenPipe;
        case EDEADLK:
            return ErrorKind::Deadlock;
        case ENAMETOOLONG:
            return ErrorKind::InvalidFilename;
        case ENOSYS:
            return ErrorKind::Unsupported;
        case ENOTEMPTY:
            return ErrorKind::DirectoryNotEmpty;
        case ELOOP:
            return ErrorKind::FilesystemLoop;
        case EADDRINUSE:
            return ErrorKind::AddrInUse;
        case EADDRNOTAVAIL:
            return ErrorKind::AddrNotAvailable;
        case ENETDOWN:
            return ErrorKind::NetworkDown;
        case ENETUNREACH:
            return ErrorKind::NetworkUnreachable;
        case ECONNABORTED:
            return ErrorKind::ConnectionAborted;
        case ECONNRESET:
            return ErrorKind::ConnectionReset;
        case ENOTCONN:
            return ErrorKind::NotConnected;
        case ETIMEDOUT:
            return ErrorKind::TimedOut;
        case ECONNREFUSED:
            return ErrorKind::ConnectionRefused;
        case EHOSTUNREACH:
            return ErrorKind::HostUnreachable;
        case ESTALE:
            return ErrorKind::StaleNetworkFileHandle;
        case EDQUOT:
            return ErrorKind::FilesystemQuotaExceeded;
        default:
            return ErrorKind::Uncategorized;
    }
}

ErrorKind OsError::kind() const noexcept {
    return is_os() ? kind_of_errno(code_) : fixed_kind_;
}

std::string OsError::detailed() const {
    std::string out;
    if (is_os()) {
        out = "Os { code: " + std::to_string(code_) + ", kind: ";
        out += to_string(kind());
        out += ", message: " + quoted(system_text(code_)) + " }";
    } else {
        out = "Error { kind: ";
        out += to_string(fixed_kind_);
        out += ", message: " + quoted(utf8_lossy(message_)) + " }";
    }
    return out;
}

std::string OsError::short_form() const {
    if (is_os())
        return system_text(code_) + " (os error " + std::to_string(code_) + ")";
    return utf8_lossy(message_);
}

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

Result<Buffer<std::uint8_t>, OsError> File::read_to_end() const {
    Buffer<std::uint8_t> out;
    if (const auto hint = size_hint(fd_); hint && *hint > 0) {
        out.reserve_exact(static_cast<std::size_t>(*hint));
    }

    while (true) {
        if (out.size() == out.capacity()) {
            // Full, most likely at the exact size: a small probe tells the end
            // of the file apart from a file that outgrew its size without
            // growing the buffer for nothing.
            std::array<std::uint8_t, 32> probe;
            const ssize_t n = retry_on_eintr([&] { return ::read(fd_, probe.data(), probe.size()); });
            if (n < 0)
                return OsError::from_errno(errno);
            if (n == 0)
                return out;
            out.append(probe.data(), static_cast<std::size_t>(n));
            out.reserve(8192);
        }
        const std::size_t room = std::min(out.capacity() - out.size(), io_limit);
        const ssize_t n = retry_on_eintr([&] { return ::read(fd_, out.data() + out.size(), room); });
        if (n < 0)
            return OsError::from_errno(errno);
        if (n == 0)
            return out;
        out.set_size(out.size() + static_cast<std::size_t>(n));
    }
}

Result<File, OsError> open_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return OsError::fixed(ErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
    const std::string c_path(path);
    const int fd = retry_on_eintr([&] { return ::open64(c_path.c_str(), O_RDONLY | O_CLOEXEC, 0666); });
    if (fd < 0)
        return OsError::from_errno(errno);
    return File(fd);
}

Result<Buffer<std::uint8_t>, OsError> read_whole_file(std::string_view path) {
    auto file = open_file(path);
    if (!file)
        return std::move(file).error();
    return file.value().read_to_end();
}

void set_interrupt_hook(InterruptHook hook) noexcept {
    interrupt_hook.store(hook, std::memory_order_release);
}

void print_line(std::initializer_list<std::string_view> pieces) {
    Stdout& out = stdout_writer();
    std::optional<OsError> failure;
    {
        const std::lock_guard guard(out.lock);
        // The rest of a line whose write failed is dropped, and so is that of
        // a line interrupted for good (a signal handler raised, or the thread
        // is being ended): a guard, since no handler may take a thread's end.
        struct DropUnlessWritten {
            LineWriter& writer;
            bool written = false;
            ~DropUnlessWritten() {
                if (!written)
                    writer.discard();
            }
        } line{out.writer};
        for (const std::string_view piece : pieces) {
            failure = out.writer.write_piece(piece);
            if (failure)
                break;
        }
        line.written = !failure;
    }
    if (failure)
        panic("failed printing to stdout: " + failure->short_form());
}

std::size_t cgroup_cpu_quota(const CgroupPaths& paths) {
    auto contents = read_whole_file(paths.proc_self_cgroup);
    if (!contents)
        return SIZE_MAX;
    const std::string_view text(reinterpret_cast<const char*>(contents.value().data()),
                                contents.value().size());

    enum class Version { V1, V2 };
    std::optional<std::pair<std::string_view, Version>> chosen;
    for (const std::string_view line : split(text, '\n')) {
        // "hierarchy-id:controllers:path"; the path may itself hold ':'.
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos)
            continue;
        const std::size_t second = line.find(':', first + 1);
        const std::string_view controllers = line.substr(
            first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1);
        Version version;
        if (controllers.empty())
            version = Version::V2;
        else if (check_utf8(controllers).valid && has_item(controllers, "cpu"))
            version = Version::V1;
        else
            continue;
        // A v1 line names its controllers, so it outranks a v2 line.
        if (chosen && version == Version::V2)
            continue;
        // A candidate without a group path ("/…") leaves nothing to walk.
        if (second == std::string_view::npos || second + 1 == line.size())
            return SIZE_MAX;
        chosen.emplace(line.substr(second + 2), version);
    }
    if (!chosen)
        return SIZE_MAX;
    return chosen->second == Version::V1 ? quota_v1(paths, chosen->first) : quota_v2(paths, chosen->first);
}

Result<std::size_t, OsError> available_cpu_count(const CgroupPaths& paths) {
    const std::size_t quota = std::max<std::size_t>(cgroup_cpu_quota(paths), 1);

    cpu_set_t set;
    CPU_ZERO(&set);
    static_assert(sizeof set == 128);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const auto count = static_cast<std::size_t>(CPU_COUNT(&set));
        if (std::min(count, quota) > 0)
            return std::min(count, quota);
    }

    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online == -1)
        return OsError::from_errno(errno);
    if (online == 0)
        return OsError::fixed(ErrorKind::NotFound,
                              "The number of hardware threads is not known for the target platform");
    return std::min(static_cast<std::size_t>(online), quota);
}

}  // namespace veltra::sys
