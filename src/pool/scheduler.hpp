// The pool's workers, as the templates above them see them: the worker count,
// running one piece of work on the pool, and the type-erased interface to the
// scheduler (scheduler.cpp) that fork-join is built on.
//
// The pool starts on first use, sized from RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, then the CPU count, and lives until the process ends (a
// child made by fork() starts a fresh one on its first use). The thread that
// calls into the pool from outside never runs pool tasks: it hands in one root
// task and blocks until it is done. A failure (any C++ exception) in a task is
// carried to the thread that waits for the task, after every task of the
// operation has finished. Workers never touch Python objects.
//
// Python-free.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "panic.hpp"

namespace veltra::pool {

// The worker count; starts the pool when called from outside it. Never 0.
std::size_t current_num_threads();

// The worker count that a pool started with these values of RAYON_NUM_THREADS
// and RAYON_RS_NUM_CPUS would get (nullptr: unset). `default_count` is only
// asked when neither variable decides. Exposed so that the parsing rules and
// the 65535 cap can be checked without starting that many threads.
std::size_t worker_count_for(const char* num_threads, const char* rs_num_cpus,
                             std::size_t (*default_count)());

// Runs `op(injected)` on the pool and returns its result. On a worker it runs
// inline with injected = false; from any other thread it becomes one task that
// a worker runs with injected = true while this thread blocks, and a failure
// of `op` is rethrown here.
template <class Op>
auto run_on_pool(Op&& op);

// ---------------------------------------------------------------------------
// Implementation.

namespace detail {

// The type-erased scheduler (scheduler.cpp).
struct Worker;
struct Registry;
class LockLatch;

// A unit of work that can sit in a queue. It lives on the stack of whoever
// queued it, who does not return before it is done.
class Job {
public:
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Runs the body and keeps its outcome; never throws.
    virtual void run(bool flag) noexcept = 0;

    // Bookkeeping of the scheduler. A job handed in from outside reports to
    // the waiting thread's `latch`; a worker's own half reports through
    // `done`, guarded by the pool lock, and wakes its `owner`.
    LockLatch* latch = nullptr;
    Worker* owner = nullptr;
    bool done = false;
    Job* prev = nullptr;
    Job* next = nullptr;

protected:
    ~Job() = default;
};

// The calling thread's worker, or nullptr outside the pool.
Worker* current_worker() noexcept;
std::size_t worker_index(const Worker& worker) noexcept;
std::size_t worker_count(const Worker& worker) noexcept;

// The process-wide pool, started on the first call; a failed start panics.
Registry& started_pool();
// True in the single-worker fallback, where every operation runs inline on
// the thread that calls it.
bool runs_inline(const Registry& pool) noexcept;

// Queues `job` for the pool and blocks the calling (non-worker) thread on its
// own completion signal until a worker has run it.
void inject_and_wait(Registry& pool, Job& job) noexcept;
// Offers `job` to the other workers.
void push_local(Worker& worker, Job& job) noexcept;
// Takes `job` back if no other worker has taken it yet.
bool pop_local(Worker& worker, Job& job) noexcept;
// Helps with other work until `job`, taken by another worker, is done.
void wait_until_done(Worker& worker, Job& job) noexcept;

template <class F, class... Args>
using ret_t = std::invoke_result_t<F&, Args...>;
template <class R>
using stored_t = std::conditional_t<std::is_void_v<R>, Unit, R>;

template <class F, class... Args>
stored_t<ret_t<F, Args...>> call_stored(F& f, Args&&... args) {
    if constexpr (std::is_void_v<ret_t<F, Args...>>) {
        f(std::forward<Args>(args)...);
        return Unit{};
    } else {
        return f(std::forward<Args>(args)...);
    }
}

// What one piece of work produced: its value, or its failure.
template <class R>
struct Outcome {
    std::optional<R> value;
    std::exception_ptr failure;

    // A forced unwind (a thread being ended) is not a failure to keep; it
    // goes on up. A queued job's frame cannot let it (`Job::run` is
    // noexcept), but work run inline on the caller's stack can.
    template <class F>
    void capture(F& f, bool flag) {
        failure = failure_of([&] { value.emplace(call_stored(f, flag)); });
    }

    // The failure was reported where it was raised; this only rethrows it.
    R take() {
        if (failure)
            std::rethrow_exception(failure);
        return std::move(*value);
    }
};

template <class F>
class StackJob final : public Job {
public:
    using Result = stored_t<ret_t<F, bool>>;
    explicit StackJob(F& f) noexcept : f_(f) {}
    void run(bool flag) noexcept override { outcome.capture(f_, flag); }
    Outcome<Result> outcome;

private:
    F& f_;
};

}  // namespace detail

template <class Op>
auto run_on_pool(Op&& op) {
    using R = detail::ret_t<Op, bool>;
    if (detail::current_worker() != nullptr)
        return op(false);
    detail::Registry& pool = detail::started_pool();
    if (detail::runs_inline(pool))
        return op(false);
    detail::StackJob<std::remove_reference_t<Op>> job(op);
    detail::inject_and_wait(pool, job);
    if constexpr (std::is_void_v<R>)
        job.outcome.take();
    else
        return job.outcome.take();
}

}  // namespace veltra::pool
