// System calls that the calling thread makes and a signal may interrupt
// (EINTR). Internal to the process services.
#pragma once

#include <cerrno>

#include "sys.hpp"

namespace veltra::sys {

// Runs the hook given to `set_interrupt_hook`, if any; it may throw.
void run_interrupt_hook();

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

}  // namespace veltra::sys
