// The process-wide worker pool, as the rest of the module uses it: how many
// workers it has, and an ordered parallel map.
//
// The rooms behind it, each usable on its own:
//   pool/scheduler.hpp  the workers, the worker count, `run_on_pool`, and the
//                       scheduler underneath (scheduler.cpp);
//   pool/fork_join.hpp  `join` and `parallel_for_indexed`;
//   pool/bridge_map.hpp `parallel_bridge_map`, which hands indices out from a
//                       shared counter.
//
// Python-free.
#pragma once

#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/bridge_map.hpp"
#include "pool/scheduler.hpp"

namespace veltra::pool {

// `f(i)` for every i in [0, count) on the pool, the results in index order
// (nothing when `f` returns void). Workers take indices in whatever order
// they come, and every index runs whatever the others do: when several fail,
// the lowest index's failure is rethrown once all have run, so which failure
// the caller sees does not depend on the timing.
template <class F>
auto ordered_map(std::size_t count, F&& f) {
    using R = std::invoke_result_t<F&, std::size_t>;
    std::vector<detail::Outcome<detail::stored_t<R>>> outcomes(count);
    parallel_bridge_map(count, [&](std::size_t i) {
        auto at_i = [&](bool) -> R { return f(i); };
        outcomes[i].capture(at_i, false);
        return Unit{};
    });
    for (const auto& outcome : outcomes)
        if (outcome.failure)
            std::rethrow_exception(outcome.failure);
    if constexpr (!std::is_void_v<R>) {
        std::vector<R> results;
        results.reserve(count);
        for (auto& outcome : outcomes)
            results.push_back(std::move(*outcome.value));
        return results;
    }
}

}  // namespace veltra::pool
