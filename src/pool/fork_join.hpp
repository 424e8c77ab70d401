// Fork-join on the pool: two pieces of work side by side, and indexed ranges
// split adaptively among the workers.
//
// Python-free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <type_traits>
#include <utility>

#include "pool/scheduler.hpp"

namespace veltra::pool {

// Runs `a(injected)` and `b(migrated)`, possibly in parallel, and returns
// both results. A's failure wins over B's; both always run to completion.
// A callable returning void yields `Unit`.
template <class A, class B>
auto join(A&& a, B&& b);

// Indices [0, len) folded with adaptive splitting: `fold(lo, hi)` handles a
// range in index order, `reduce(left, right)` combines neighbouring results.
template <class Fold, class Reduce>
auto parallel_for_indexed(std::size_t len, Fold&& fold, Reduce&& reduce);

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

}  // namespace veltra::pool
