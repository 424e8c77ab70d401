// The hook that lets the embedding program act on a signal that interrupted
// one of the calling thread's system calls.
#include "sys/interrupt.hpp"

#include <atomic>

namespace veltra::sys {

namespace {

// Set once when the module starts and read by any thread that waits in a
// system call: an atomic, so that the reader needs no lock.
std::atomic<InterruptHook> interrupt_hook{nullptr};

}  // namespace

void set_interrupt_hook(InterruptHook hook) noexcept {
    interrupt_hook.store(hook, std::memory_order_release);
}

void run_interrupt_hook() {
    if (const InterruptHook hook = interrupt_hook.load(std::memory_order_acquire))
        hook();
}

}  // namespace veltra::sys
