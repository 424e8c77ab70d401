// Fresh memory that is about to be written front to back: its pages made
// present ahead of the writes, and huge pages while they come cheaply.
//
// Whether they do depends on the state of the machine, not on the kernel's
// settings alone: with free huge pages at hand one costs about the time to
// clear it, but where the kernel must compact memory first, or where a
// virtual machine has handed its free memory back to the host and the host
// must give it back, one costs several times what its small pages would.
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "sys.hpp"

// Older C libraries lack the name; older kernels refuse the advice with
// EINVAL, and the writes then fault the pages in.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace veltra::sys {

std::uint64_t slow_huge_step_ns = 1000000;

namespace {

constexpr std::uintptr_t page = 4096;

std::uintptr_t page_down(std::uintptr_t at) noexcept {
    return at & ~(page - 1);
}
std::uintptr_t page_up(std::uintptr_t at) noexcept {
    return page_down(at + page - 1);
}

// Off once the kernel has refused to populate; it would refuse every time.
std::atomic<bool> populating{true};

std::uint64_t thread_cpu_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void advise(std::uintptr_t from, std::uintptr_t to, int advice) noexcept {
    if (from < to)
        ::madvise(reinterpret_cast<void*>(page_down(from)), page_up(to) - page_down(from), advice);
}

}  // namespace

void WriteAhead::move_to(void* begin, std::size_t bytes, HugePages* huge) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(begin);
    const std::uintptr_t done = begin_ == UINTPTR_MAX ? 0 : ready_.load(std::memory_order_relaxed) - begin_;
    begin_ = at;
    ready_.store(at + done, std::memory_order_relaxed);
    end_ = at + bytes;
    huge_ = huge;
    // A kernel without transparent huge pages refuses, and nothing else
    // changes. Advice is given to the whole range, never a part: a mapping
    // whose parts take different advice is split in the kernel, and a split
    // mapping can no longer grow by moving its pages.
    if (huge != nullptr && huge->cheap() && !small_.load(std::memory_order_relaxed))
        advise(begin_, end_, MADV_HUGEPAGE);
}

void WriteAhead::advance(std::uintptr_t to) noexcept {
    to = std::min(to, end_);
    std::uintptr_t from = ready_.load(std::memory_order_relaxed);
    while (from < to) {
        // Steps end on huge page boundaries, so that a whole step is one huge
        // page where the kernel gives them.
        const std::uintptr_t next = std::min(end_, (from + huge_page) & ~(huge_page - 1));
        if (!ready_.compare_exchange_weak(from, next, std::memory_order_relaxed))
            continue;  // another writer took this step; `from` is where it ended
        if (!populating.load(std::memory_order_relaxed))
            return;
        const bool huge = huge_ != nullptr && !small_.load(std::memory_order_relaxed);
        if (huge && !huge_->cheap() && !small_.exchange(true, std::memory_order_relaxed)) {
            // The rest of the range would otherwise still take huge pages on
            // its faults; the huge pages already present stay.
            advise(begin_, end_, MADV_NOHUGEPAGE);
        }
        const bool timed = huge && huge_->cheap() && next - from == huge_page;
        const std::uint64_t start = timed ? thread_cpu_ns() : 0;
        if (::madvise(reinterpret_cast<void*>(page_down(from)), page_up(next) - page_down(from),
                      MADV_POPULATE_WRITE) != 0 &&
            errno == EINVAL)
            populating.store(false, std::memory_order_relaxed);
        if (timed && thread_cpu_ns() - start > slow_huge_step_ns)
            huge_->slow();
        from = next;
    }
}

}  // namespace veltra::sys
