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
// Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "buffer.hpp"
#include "panic.hpp"

namespace veltra::pool {

// The worker count; starts the pool when called from outside it. Never 0.
std::size_t current_num_threads();

// Runs `op(injected)` on the pool and returns its result (see the contract in
// the implementation).
template <class Op>
auto run_on_pool(Op&& op);

// Runs `a(injected)` and `b(migrated)`, possibly in parallel, and returns
// both results. A's failure wins over B's; both always run to completion.
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
    Buffer<T> buffer;                 // length == capacity == total elements
    std::vector<std::size_t> starts;  // exclusive prefix sums, one per slice
};

// The slices laid end to end in one new buffer, copied in parallel.
template <class T>
Concatenated<T> parallel_concat(std::span<const Slice<T>> slices);

// `f(a[i], b[i])` for i in [0, min(a.size(), b.size())), in parallel, the
// results in input order.
template <class T, class A, class B, class F>
std::vector<T> parallel_indexed_collect(const A& a, const B& b, F&& f);

}  // namespace veltra::pool
