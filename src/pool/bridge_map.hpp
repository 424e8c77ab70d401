// The unordered parallel map: indices handed out to a few leaves from a
// shared counter, so that a slow index holds up only the leaf that took it.
//
// Python-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "pool/fork_join.hpp"

namespace veltra::pool {

// `f(i)` for every i in [0, count), indices handed out from a shared counter;
// results come back grouped by the leaf that took them (see below).
template <class F>
auto parallel_bridge_map(std::size_t count, F&& f);

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

}  // namespace veltra::pool
