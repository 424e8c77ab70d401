// The parallel joins behind the array functions and the list-array join:
// slices laid end to end in one new buffer, and an indexed map whose results
// land in input order.
//
// Python-free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "buffer.hpp"
#include "panic.hpp"
#include "pool/fork_join.hpp"
#include "sys.hpp"

namespace veltra::data {

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

// Copies `bytes` from `from` to fresh memory at `to`. A large copy makes its
// pages present ahead of itself, a step at a time, which costs less than a
// fault per page; a small one is not worth a system call.
inline void copy_ahead(void* to, const void* from, std::size_t bytes, sys::HugePages* huge) {
    if (bytes < sys::huge_page) {
        std::memcpy(to, from, bytes);
        return;
    }
    sys::WriteAhead ahead;
    ahead.move_to(to, bytes, huge);
    auto* const out = static_cast<unsigned char*>(to);
    const auto* const in = static_cast<const unsigned char*>(from);
    for (std::size_t done = 0; done < bytes;) {
        const std::size_t step = std::min(bytes - done, sys::huge_page);
        ahead.reach(out + done + step);
        std::memcpy(out + done, in + done, step);
        done += step;
    }
}

// The slices laid end to end in one new buffer, copied in parallel.
template <class T>
Concatenated<T> parallel_concat(std::span<const Slice<T>> slices) {
    // Every slice's place is known before any copy starts, so the copies are
    // independent of each other.
    memory::Vector<std::size_t> starts(slices.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        starts[i] = total;
        if (__builtin_add_overflow(total, slices[i].len, &total))
            panic(std::string(msg::capacity_overflow));
    }
    // Exactly `total`; "capacity overflow" past the largest signed word in
    // bytes, AllocFailure if the memory is not there.
    Buffer<T> buffer = Buffer<T>::uninitialized(total);
    T* out = buffer.data();
    // A buffer that is a mapping of its own may take huge pages.
    sys::HugePages huge;
    sys::HugePages* const advised = total * sizeof(T) >= memory::mapped_from ? &huge : nullptr;
    pool::parallel_for_indexed(
        slices.size(),
        [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                // An empty slice may have no valid address at all.
                if (slices[i].len != 0)
                    copy_ahead(out + starts[i], slices[i].data, slices[i].len * sizeof(T), advised);
            }
            return Unit{};
        },
        [](Unit, Unit) { return Unit{}; });
    return Concatenated<T>{std::move(buffer), std::move(starts)};
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

// `f(a[i], b[i])` for i in [0, min(a.size(), b.size())), in parallel, the
// results in input order.
template <class T, class A, class B, class F>
memory::Vector<T> parallel_indexed_collect(const A& a, const B& b, F&& f) {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    const std::size_t len = std::min(std::size(a), std::size(b));
    detail::Slots<T> slots(len);
    T* const base = slots.data();
    detail::CollectResult<T> all = pool::parallel_for_indexed(
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

}  // namespace veltra::data
