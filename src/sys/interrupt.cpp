// The hooks that let the embedding program act on a signal that interrupted
// one of the calling thread's system calls, and let its other threads run
// while one waits.
#include "sys/interrupt.hpp"

#include <atomic>

namespace veltra::sys {

namespace {

// Set once when the module starts and read by any thread that waits in a
// system call: atomics, so that the reader needs no lock.
std::atomic<InterruptHook> interrupt_hook{nullptr};
std::atomic<LetGoHook> let_go_hook{nullptr};
std::atomic<TakeBackHook> take_back_hook{nullptr};

}  // namespace

void set_interrupt_hook(InterruptHook hook) noexcept {
    interrupt_hook.store(hook, std::memory_order_release);
}

void run_interrupt_hook() {
    if (const InterruptHook hook = interrupt_hook.load(std::memory_order_acquire))
        hook();
}

void set_blocking_hooks(LetGoHook let_go, TakeBackHook take_back) noexcept {
    // The second first: whoever sees the first finds its partner.
    take_back_hook.store(take_back, std::memory_order_release);
    let_go_hook.store(let_go, std::memory_order_release);
}

void* let_go() noexcept {
    const LetGoHook hook = let_go_hook.load(std::memory_order_acquire);
    return hook != nullptr ? hook() : nullptr;
}

void take_back(void* held) {
    if (held != nullptr)
        take_back_hook.load(std::memory_order_acquire)(held);
}

}  // namespace veltra::sys
