// The process-wide worker pool and the parallel operations built on it.
//
// The pool starts on first use, sized from RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, then the CPU count, and lives until the process ends (a
// child made by fork() starts a fresh one on its first use). The thread that
// calls into the pool from outside never runs pool tasks: it hands in one root
// task and blocks until it is done. A failure (any C++ exception) in a task is
// carried to the thread that waits for the task, after every task of the
// operation has finished. Workers never touch Python objects.
//
// The scheduler itself (queues, sleeping, waking, the pool start) lives in
// pool.cpp behind the small type-erased interface in `detail`; the templates
// here only describe how work forks and joins.
//
// Python-free.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "buffer.hpp"
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

// Runs `a(injected)` and `b(migrated)`, possibly in parallel, and returns
// both results. A's failure wins over B's; both always run to completion.
// A callable returning void yields `Unit`.
template <class A, class B>
auto join(A&& a, B&& b);

// Indices [0, len) folded with adaptive splitting: `fold(lo, hi)` handles a
// range in index order, `reduce(left, right)` combines neighbouring results.
template <class Fold, class Reduce>
auto parallel_for_indexed(std::size_t len, Fold&& fold, Reduce&& reduce);

// `f(i)` for every i in [0, count), indices handed out from a shared counter;
// results come back grouped by the leaf that took them (see implementation).
template <class F>
auto parallel_bridge_map(std::size_t count, F&& f);

// A slice of `len` elements of T at `data`, which need not be aligned.
template <class T>
struct Slice {
    const void* data;
    std::size_t len;
};

template <class T>
struct Concatenated {
    Buffer<T> buffer;                    // length == capacity == total elements
    memory::Vector<std::size_t> starts;  // exclusive prefix sums, one per slice
};

// The slices laid end to end in one new buffer, copied in parallel.
template <class T>
Concatenated<T> parallel_concat(std::span<const Slice<T>> slices);

// The same after the elements `base` already holds, in `base`'s own buffer
// grown once to the total. A large buffer grows by moving its pages, so what
// it held is not copied again. The starts count from the buffer's beginning.
template <class T>
Concatenated<T> parallel_concat(Buffer<T> base, std::span<const Slice<T>> slices);

// `f(a[i], b[i])` for i in [0, min(a.size(), b.size())), in parallel, the
// results in input order.
template <class T, class A, class B, class F>
memory::Vector<T> parallel_indexed_collect(const A& a, const B& b, F&& f);

// The split budget of one parallel operation. It starts at the worker count
// and halves per level, so an operation forks a number of leaves proportional
// to the worker count; a half that another worker took ("moved") restarts
// with at least the worker count, since it now has idle workers around it.
struct Splitter {
    std::size_t splits;

    bool try_split(bool moved) {
        if (moved) {
            splits = std::max(splits / 2, current_num_threads());
            return true;
        }
        if (splits > 0) {
            splits /= 2;
            return true;
        }
        return false;
    }
};

// ---------------------------------------------------------------------------
// Implementation.

namespace detail {

// The type-erased scheduler (pool.cpp).
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

template <class A, class B>
auto join(A&& a, B&& b) {
    using RA = detail::stored_t<detail::ret_t<A, bool>>;
    using RB = detail::stored_t<detail::ret_t<B, bool>>;
    return run_on_pool([&](bool injected) -> std::pair<RA, RB> {
        detail::StackJob<std::remove_reference_t<B>> job_b(b);
        detail::Outcome<RA> result_a;
        detail::Worker* worker = detail::current_worker();
        if (worker == nullptr) {
            // The single-worker fallback: nobody else could take B.
            result_a.capture(a, injected);
            job_b.outcome.capture(b, injected);
        } else {
            detail::push_local(*worker, job_b);
            result_a.capture(a, injected);
            // B is on this stack frame, so it must be finished, whoever runs
            // it, before anything here returns or rethrows.
            if (detail::pop_local(*worker, job_b))
                job_b.run(injected);
            else
                detail::wait_until_done(*worker, job_b);
        }
        RA left = result_a.take();
        return {std::move(left), job_b.outcome.take()};
    });
}

namespace detail {

// A split also needs at least `min_len` items on each side.
struct LengthSplitter {
    Splitter inner;
    std::size_t min_len;

    bool try_split(std::size_t len, bool moved) { return len / 2 >= min_len && inner.try_split(moved); }
};

template <class Fold, class Reduce>
auto for_indexed_range(std::size_t lo, std::size_t hi, LengthSplitter splitter, bool moved, Fold& fold,
                       Reduce& reduce) -> decltype(fold(lo, hi)) {
    if (!splitter.try_split(hi - lo, moved))
        return fold(lo, hi);
    const std::size_t mid = lo + (hi - lo) / 2;
    auto [left, right] = join([&](bool m) { return for_indexed_range(lo, mid, splitter, m, fold, reduce); },
                              [&](bool m) { return for_indexed_range(mid, hi, splitter, m, fold, reduce); });
    return reduce(std::move(left), std::move(right));
}

}  // namespace detail

template <class Fold, class Reduce>
auto parallel_for_indexed(std::size_t len, Fold&& fold, Reduce&& reduce) {
    // A range of the largest length could not be halved evenly forever, so it
    // gets one split even on a single worker.
    const std::size_t extra = len == std::numeric_limits<std::size_t>::max() ? 1 : 0;
    const Splitter splitter{std::max(current_num_threads(), extra)};
    return detail::for_indexed_range(0, len, detail::LengthSplitter{splitter, 1}, false, fold, reduce);
}

namespace detail {

// The shared state of one unordered map: an index range behind a mutex that
// a failure while held would poison, the remaining split budget, and one
// "already running a leaf" flag per worker.
template <class F>
class BridgeState {
public:
    BridgeState(F& f, std::size_t count, std::size_t threads)
        : f(f),
          split_count_(threads),
          started_(new std::atomic<bool>[threads]),
          flags_(threads),
          end_(count) {
        for (std::size_t i = 0; i < threads; ++i)
            started_[i].store(false, std::memory_order_relaxed);
    }

    F& f;

    // One split less, unless none are left.
    bool take_split() noexcept {
        std::size_t count = split_count_.load(std::memory_order_seq_cst);
        while (count > 0) {
            if (split_count_.compare_exchange_weak(count, count - 1, std::memory_order_seq_cst))
                return true;
        }
        return false;
    }

    // A leaf that re-enters the same map on one worker (by stealing while it
    // waits inside `f`) must not wait for the mutex a frame below it holds
    // or loop over the range twice; it takes nothing instead.
    bool first_leaf_on(const Worker& worker) noexcept {
        return !started_[worker_index(worker) % flags_].exchange(true, std::memory_order_relaxed);
    }

    // The next index, or nothing once the range is exhausted or poisoned.
    std::optional<std::size_t> take_index() {
        std::lock_guard lock(mutex_);
        PoisonOnUnwind guard{poisoned_};
        if (poisoned_ || next_ == end_)
            return std::nullopt;
        return next_++;
    }

private:
    struct PoisonOnUnwind {
        bool& poisoned;
        int unwinding = std::uncaught_exceptions();
        ~PoisonOnUnwind() {
            if (std::uncaught_exceptions() > unwinding)
                poisoned = true;
        }
    };

    std::atomic<std::size_t> split_count_;
    std::unique_ptr<std::atomic<bool>[]> started_;
    std::size_t flags_;
    std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
    std::size_t next_ = 0;   // guarded by mutex_
    std::size_t end_;
};

template <class R>
using LeafList = std::list<std::vector<R>>;

// A leaf takes indices until none are left. A failing index does not stop
// it: the failure is kept (the first one in this leaf) and raised once the
// range is exhausted, so that every other index is still processed exactly
// once whatever the worker count or the timing.
template <class R, class F>
LeafList<R> bridge_leaf(BridgeState<F>& state) {
    LeafList<R> out;
    if (Worker* worker = current_worker(); worker != nullptr && !state.first_leaf_on(*worker))
        return out;
    std::vector<R> results;
    std::exception_ptr failure;
    while (std::optional<std::size_t> index = state.take_index()) {
        std::exception_ptr failed = failure_of([&] {
            R value = state.f(*index);
            if (!failure)
                results.push_back(std::move(value));
        });
        if (failed && !failure)
            failure = std::move(failed);
    }
    if (failure)
        std::rethrow_exception(failure);
    out.push_back(std::move(results));
    return out;
}

template <class R, class F>
LeafList<R> bridge_step(BridgeState<F>& state, Splitter splitter, bool moved) {
    if (!(splitter.try_split(moved) && state.take_split()))
        return bridge_leaf<R>(state);
    auto [left, right] = join([&](bool m) { return bridge_step<R>(state, splitter, m); },
                              [&](bool m) { return bridge_step<R>(state, splitter, m); });
    left.splice(left.end(), right);
    return std::move(left);
}

}  // namespace detail

// Order of the results: each leaf's results are in increasing index order and
// the leaves follow each other left before right; which indices a leaf takes
// depends on timing, so with several workers the order may vary from call to
// call. With one worker, or one index, it is the index order.
template <class F>
auto parallel_bridge_map(std::size_t count, F&& f) {
    using R = std::decay_t<std::invoke_result_t<F&, std::size_t>>;
    const std::size_t threads = current_num_threads();
    detail::BridgeState<std::remove_reference_t<F>> state(f, count, threads);
    detail::LeafList<R> leaves = detail::bridge_step<R>(state, Splitter{threads}, false);
    std::size_t total = 0;
    for (const std::vector<R>& leaf : leaves)
        total += leaf.size();
    std::vector<R> out;
    out.reserve(total);
    for (std::vector<R>& leaf : leaves)
        std::move(leaf.begin(), leaf.end(), std::back_inserter(out));
    return out;
}

template <class T>
Concatenated<T> parallel_concat(Buffer<T> base, std::span<const Slice<T>> slices) {
    // Every slice's place is known before any copy starts, so the copies are
    // independent of each other.
    memory::Vector<std::size_t> starts(slices.size());
    std::size_t total = base.size();
    for (std::size_t i = 0; i < slices.size(); ++i) {
        starts[i] = total;
        if (__builtin_add_overflow(total, slices[i].len, &total))
            panic(std::string(msg::capacity_overflow));
    }
    // Grown once to exactly `total`; "capacity overflow" past the largest
    // signed word in bytes, AllocFailure if the memory is not there.
    base.reserve_exact(total - base.size());
    T* out = base.data();
    parallel_for_indexed(
        slices.size(),
        [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                // An empty slice may have no valid address at all.
                if (slices[i].len != 0)
                    std::memcpy(out + starts[i], slices[i].data, slices[i].len * sizeof(T));
            }
            return Unit{};
        },
        [](Unit, Unit) { return Unit{}; });
    base.set_size(total);
    return Concatenated<T>{std::move(base), std::move(starts)};
}

template <class T>
Concatenated<T> parallel_concat(std::span<const Slice<T>> slices) {
    return parallel_concat(Buffer<T>(), slices);
}

namespace detail {

// Uninitialised room for the results of an indexed collect. It frees the
// memory only; the values in it belong to the `CollectResult`s that wrote
// them.
template <class T>
class Slots {
public:
    explicit Slots(std::size_t n)
        : data_(n == 0 ? nullptr : memory::Allocator<T>().allocate(n)), capacity_(n) {}
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    ~Slots() {
        if (data_ != nullptr)
            memory::Allocator<T>().deallocate(data_, capacity_);
    }
    T* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    T* data_;
    std::size_t capacity_;
};

// The slots that one part of an indexed collect owns: `len` slots from
// `start`, of which the first `written` hold values. Values it still owns are
// destroyed with it, so a failure anywhere leaves nothing behind.
template <class T>
class CollectResult {
public:
    CollectResult(T* start, std::size_t len) noexcept : start_(start), len_(len) {}
    CollectResult(const CollectResult&) = delete;
    CollectResult& operator=(const CollectResult&) = delete;
    CollectResult(CollectResult&& other) noexcept
        : start_(other.start_), len_(other.len_), written_(std::exchange(other.written_, 0)) {}
    CollectResult& operator=(CollectResult&&) = delete;
    ~CollectResult() { std::destroy_n(start_, written_); }

    void push(T value) {
        ensure(written_ < len_, "too many values pushed to consumer");
        std::construct_at(start_ + written_, std::move(value));
        ++written_;
    }

    // Neighbours whose written slots touch become one record; otherwise the
    // right part's values are dropped and the shortfall is caught at the end.
    static CollectResult reduce(CollectResult left, CollectResult right) noexcept {
        if (left.start_ + left.written_ == right.start_) {
            left.len_ += right.len_;
            left.written_ += right.release();
        }
        return left;
    }

    std::size_t written() const noexcept { return written_; }
    // Hands the written values over to the caller.
    std::size_t release() noexcept { return std::exchange(written_, 0); }

private:
    T* start_;
    std::size_t len_;
    std::size_t written_ = 0;
};

}  // namespace detail

template <class T, class A, class B, class F>
memory::Vector<T> parallel_indexed_collect(const A& a, const B& b, F&& f) {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    const std::size_t len = std::min(std::size(a), std::size(b));
    detail::Slots<T> slots(len);
    const std::size_t start = 0;
    ensure(slots.capacity() - start >= len, "assertion failed: vec.capacity() - start >= len");
    T* const base = slots.data() + start;
    detail::CollectResult<T> all = parallel_for_indexed(
        len,
        [&](std::size_t lo, std::size_t hi) {
            detail::CollectResult<T> part(base + lo, hi - lo);
            for (std::size_t i = lo; i < hi; ++i)
                part.push(f(a[i], b[i]));
            return part;
        },
        [](detail::CollectResult<T> left, detail::CollectResult<T> right) {
            return detail::CollectResult<T>::reduce(std::move(left), std::move(right));
        });
    if (all.written() != len)
        panic("expected " + std::to_string(len) + " total writes, but got " + std::to_string(all.written()));
    // Reserved before the values change hands, so that nothing below can fail.
    memory::Vector<T> out;
    out.reserve(len);
    all.release();
    for (std::size_t i = 0; i < len; ++i) {
        out.push_back(std::move(base[i]));
        std::destroy_at(base + i);
    }
    return out;
}

}  // namespace veltra::pool
