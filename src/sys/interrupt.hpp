// System calls that the calling thread makes and that a signal may interrupt
// (EINTR) or that may wait for long. Internal to the process services.
#pragma once

#include <cerrno>

#include "sys.hpp"

namespace veltra::sys {

// Runs the hook given to `set_interrupt_hook`, if any; it may throw.
void run_interrupt_hook();

// The blocking hooks given to `set_blocking_hooks`, if any.
void* let_go() noexcept;
void take_back(void* held);

// `wait()` with the blocking hooks' lock let go, and errno as it left it.
template <class Wait>
auto while_blocked(Wait&& wait) {
    void* const held = let_go();
    const auto result = wait();
    const int error = errno;
    take_back(held);
    errno = error;
    return result;
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

// The same for a call that may wait for long: each attempt runs with the
// blocking hooks' lock let go, and `on_interrupt` with it taken back.
template <class Call, class OnInterrupt = void (*)()>
auto retry_blocking(Call&& call, OnInterrupt&& on_interrupt = run_interrupt_hook) {
    return retry_on_eintr([&] { return while_blocked(call); }, on_interrupt);
}

}  // namespace veltra::sys
