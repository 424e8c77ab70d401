// The module's own contact with the operating system, one file per concern
// under sys/: the error kinds and renderings (error.cpp), files (file.cpp),
// the progress lines on standard output (stdout.cpp), the number of CPUs the
// process may use (cpu_count.cpp), what a signal that interrupts a system
// call does (interrupt.cpp), and fresh memory made ready for its writer
// (memory.cpp). Python-free; failures are `OsError` values whose
// renderings appear verbatim inside user-visible messages.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "buffer.hpp"
#include "panic.hpp"

namespace veltra::sys {

// Kinds of failure, named as they are rendered.
enum class ErrorKind {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    HostUnreachable,
    NetworkUnreachable,
    ConnectionAborted,
    NotConnected,
    AddrInUse,
    AddrNotAvailable,
    NetworkDown,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    DirectoryNotEmpty,
    ReadOnlyFilesystem,
    FilesystemLoop,
    StaleNetworkFileHandle,
    InvalidInput,
    TimedOut,
    WriteZero,
    StorageFull,
    NotSeekable,
    FilesystemQuotaExceeded,
    FileTooLarge,
    ResourceBusy,
    ExecutableFileBusy,
    Deadlock,
    CrossesDevices,
    TooManyLinks,
    InvalidFilename,
    ArgumentListTooLong,
    Interrupted,
    Unsupported,
    OutOfMemory,
    InvalidData,
    Uncategorized,
};

std::string_view to_string(ErrorKind kind) noexcept;
ErrorKind kind_of_errno(int code) noexcept;

// The failure of a system service: an errno, or a fixed kind and text.
class OsError {
public:
    static OsError from_errno(int code) noexcept { return OsError(code, ErrorKind::Uncategorized, nullptr); }
    static OsError fixed(ErrorKind kind, const char* message) noexcept { return OsError(0, kind, message); }

    bool is_os() const noexcept { return message_ == nullptr; }
    int code() const noexcept { return code_; }
    ErrorKind kind() const noexcept;

    // "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"
    // or "Error { kind: InvalidInput, message: \"…\" }".
    std::string detailed() const;
    // "No such file or directory (os error 2)", or the fixed text alone.
    std::string short_form() const;

private:
    OsError(int code, ErrorKind kind, const char* message) noexcept
        : code_(code), fixed_kind_(kind), message_(message) {}
    int code_;
    ErrorKind fixed_kind_;
    const char* message_;
};

// What a system call made on behalf of the calling thread does when a signal
// interrupts it (EINTR): the hook runs whatever the embedding program does
// with pending signals (for the Python edge, their Python handlers) and
// throws to end the operation; once it returns, the call is made again.
// Without a hook the call is simply made again. Everything taken so far is
// released as the throw unwinds.
using InterruptHook = void (*)();
void set_interrupt_hook(InterruptHook hook) noexcept;

// What the calling thread lets go of while it waits in a system call that may
// not end soon (an open of a FIFO that has no writer, a read of a pipe, a
// write to a full standard output), so that the embedding program's other
// threads run meanwhile (for the Python edge, the interpreter lock).
// `let_go` returns what `take_back` needs, or nullptr when the thread held
// nothing (a pool worker); `take_back` runs before anything else does after
// the wait, the interrupt hook included. Without hooks nothing is let go.
using LetGoHook = void* (*)();
using TakeBackHook = void (*)(void* held);
void set_blocking_hooks(LetGoHook let_go, TakeBackHook take_back) noexcept;

// An open descriptor, closed by its owner.
class File {
public:
    File() noexcept = default;
    explicit File(int fd) noexcept : fd_(fd) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File& operator=(File&& other) noexcept;
    ~File();
    int fd() const noexcept { return fd_; }

    // The size of a regular file that reports at least one byte; nothing for
    // anything else (FIFOs, /proc files, devices, empty files, failed stat),
    // whose bytes only a read to the end can tell.
    std::optional<std::uint64_t> regular_size() const noexcept;

    // Up to `n` bytes at `offset` into `dst`; fewer only where the file ends.
    Result<std::size_t, OsError> read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const;

    // Everything from the current position to the end, in a buffer sized
    // from the file's metadata and grown past it if the file is longer. A
    // pipe may keep it waiting, with the blocking hooks' lock let go.
    Result<Buffer<std::uint8_t>, OsError> read_to_end() const;

private:
    int fd_ = -1;
};

// `path` (its bytes used unchanged as the file name) opened for reading,
// retrying when a signal interrupts it. It may wait for a FIFO's writer with
// the blocking hooks' lock let go.
Result<File, OsError> open_file(std::string_view path);

// The whole file at `path`, for the system's own small files: read without
// letting go of anything, since the pool's start reads them under its lock.
Result<Buffer<std::uint8_t>, OsError> read_whole_file(std::string_view path);

// Renders the pieces, in order, through the process-wide line-buffered
// writer on descriptor 1. A failed write is the internal failure
// "failed printing to stdout: {error}".
void print_line(std::initializer_list<std::string_view> pieces);

// Where the CPU-count query looks; tests point it at fake trees.
struct CgroupPaths {
    std::string proc_self_cgroup = "/proc/self/cgroup";
    std::string proc_self_mountinfo = "/proc/self/mountinfo";
    std::string cgroup_root = "/sys/fs/cgroup";
};

// The cgroup CPU quota in whole CPUs (rounded down), or SIZE_MAX for none.
std::size_t cgroup_cpu_quota(const CgroupPaths& paths = CgroupPaths{});

// CPUs the process may use: the affinity mask and the cgroup quota, falling
// back to the online processor count.
Result<std::size_t, OsError> available_cpu_count(const CgroupPaths& paths = CgroupPaths{});

// Fresh memory that is written front to back soon after it was mapped: the
// results of a parse. A fault per page costs more than making the pages
// present ahead of the writes, one system call per step of `huge_page`
// bytes, and a step costs least as one huge page where the kernel has one at
// hand. Whether it has cannot be known up front (see memory.cpp), so the
// steps on huge pages are timed, and the first slow one turns huge pages off
// for every range that shares its `HugePages`. Only speed depends on any of
// this: where the kernel refuses the advice, the writes fault the pages in.
inline constexpr std::size_t huge_page = std::size_t{2} << 20;

// A huge page step that takes longer than this, in CPU time, costs more than
// its small pages would: on the machine measured those took about 0.8 ms per
// 2 MiB, a huge page that was free and ready 0.2 ms, and one that the host
// of the virtual machine had to give back first 3 to 6 ms.
extern std::uint64_t slow_huge_step_ns;

// Whether huge pages still come cheaply, for a set of ranges.
class HugePages {
public:
    bool cheap() const noexcept { return cheap_.load(std::memory_order_relaxed); }
    void slow() noexcept { cheap_.store(false, std::memory_order_relaxed); }

private:
    std::atomic<bool> cheap_{true};
};

// A range whose pages are made present ahead of its writers, in steps that
// end on huge page boundaries. Any number of threads may reach into it at
// once; each step is made present by one of them.
class WriteAhead {
public:
    // Nothing to make ready until `move_to`.
    WriteAhead() noexcept = default;

    // The range is [begin, begin + bytes): it begins, or it moved or grew
    // while no thread reached into it, and what was present still is. With
    // `huge`, it lies in a mapping of its own, whose pages from there on are
    // advised to be huge while `huge` says they come cheaply.
    void move_to(void* begin, std::size_t bytes, HugePages* huge) noexcept;

    // The pages up to `at` (in the range or at its end) present.
    void reach(const void* at) noexcept {
        if (reinterpret_cast<std::uintptr_t>(at) > ready_.load(std::memory_order_relaxed)) [[unlikely]]
            advance(reinterpret_cast<std::uintptr_t>(at));
    }

private:
    void advance(std::uintptr_t to) noexcept;

    std::uintptr_t begin_ = UINTPTR_MAX;
    std::atomic<std::uintptr_t> ready_{UINTPTR_MAX};
    std::uintptr_t end_ = UINTPTR_MAX;
    HugePages* huge_ = nullptr;
    std::atomic<bool> small_{false};  // huge pages were turned off for the rest
};

}  // namespace veltra::sys
