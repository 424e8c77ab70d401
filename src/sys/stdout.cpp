// The process-wide line-buffered writer on descriptor 1 behind `print_line`.
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

#include "sys.hpp"
#include "sys/interrupt.hpp"

namespace veltra::sys {

namespace {

// The most that one write may ask for.
constexpr std::size_t io_limit = static_cast<std::size_t>(SSIZE_MAX);

std::uintptr_t current_thread_token() noexcept {
    // Distinct for every live thread and never 0.
    thread_local const char marker = 0;
    return reinterpret_cast<std::uintptr_t>(&marker);
}

// A thread that holds this lock may wait for the blocking hooks' lock (after
// a write to a full pipe, say), so nobody waits for this one while holding
// that: a thread that finds it taken lets go first.
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
        take(1);
    }

    void unlock() noexcept {
        if (--count_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

    // Lets go of every hold of the calling thread, for a stretch in which
    // others may print, and returns their number for `take`.
    std::uint32_t release_all() noexcept {
        owner_.store(0, std::memory_order_relaxed);
        const std::uint32_t held = std::exchange(count_, 0);
        mutex_.unlock();
        return held;
    }

    void take(std::uint32_t holds) {
        std::unique_lock taken(mutex_, std::try_to_lock);
        if (!taken.owns_lock())
            while_blocked([&] {
                taken.lock();
                return 0;
            });
        taken.release();
        owner_.store(current_thread_token(), std::memory_order_relaxed);
        count_ = holds;
    }

private:
    std::mutex mutex_;
    // Only ever equal to the reading thread's own token if that thread stored
    // it, so a relaxed load is enough to recognise re-entry.
    std::atomic<std::uintptr_t> owner_{0};
    std::uint32_t count_ = 0;
};

void unlocked_interrupt_hook();

// Writes all of `data` to descriptor 1; called with the writer's lock held.
// A full pipe may keep it waiting.
std::optional<OsError> write_all_stdout(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n =
            retry_blocking([&] { return ::write(1, data.data(), std::min(data.size(), io_limit)); },
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
    ReentrantMutex& lock = stdout_writer().lock;
    const std::uint32_t holds = lock.release_all();
    try {
        run_interrupt_hook();
    } catch (...) {
        lock.take(holds);
        throw;
    }
    lock.take(holds);
}

}  // namespace

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

}  // namespace veltra::sys
