// The owned buffer: a native heap array of trivially copyable elements that the
// module fills and then hands to NumPy without a copy (numpy_bridge.hpp).
//
// An empty buffer allocates nothing yet still has a non-null address aligned
// for its element type, so NumPy never sees a null data pointer and never
// allocates memory of its own for a result. Allocation failure throws
// `AllocFailure` (raised as MemoryError); a size beyond the largest signed
// word is the internal failure "capacity overflow".
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "panic.hpp"

namespace veltra {

// Where buffer memory comes from. Large buffers are mappings of their own:
// they grow by moving pages instead of copying them, so a growing buffer does
// not copy what it already holds. They are not advised for huge pages here:
// a huge page may cost several times what its small pages do, so the parse
// advises its own results and watches what their huge pages cost
// (sys::WriteAhead).
// Smaller buffers come from malloc, which reuses freed memory from call to
// call instead of faulting in fresh pages each time; 32 MiB is where glibc
// stops doing that by itself. Either way the size decides, so release needs
// nothing but the size.
namespace memory {

inline constexpr std::size_t mapped_from = std::size_t{32} << 20;

inline std::size_t page_rounded(std::size_t bytes) noexcept {
    constexpr std::size_t page = 4096;
    return (bytes + page - 1) & ~(page - 1);
}

inline void* map(std::size_t bytes) {
    void* p =
        ::mmap(nullptr, page_rounded(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw AllocFailure{bytes};
    return p;
}

inline void* allocate(std::size_t bytes) {
    if (bytes >= mapped_from)
        return map(bytes);
    void* p = std::malloc(bytes);
    if (p == nullptr)
        throw AllocFailure{bytes};
    return p;
}

// Grows an allocation of `old_bytes` (of which `used` hold data) to `bytes`.
inline void* reallocate(void* old, std::size_t used, std::size_t old_bytes, std::size_t bytes) {
    if (old_bytes >= mapped_from) {
        void* p = ::mremap(old, page_rounded(old_bytes), page_rounded(bytes), MREMAP_MAYMOVE);
        if (p == MAP_FAILED)
            throw AllocFailure{bytes};
        return p;
    }
    if (bytes < mapped_from) {
        void* p = std::realloc(old, bytes);
        if (p == nullptr)
            throw AllocFailure{bytes};
        return p;
    }
    void* p = map(bytes);
    if (used != 0)
        std::memcpy(p, old, used);
    std::free(old);
    return p;
}

// Shrinks an allocation of `old_bytes` to `bytes` (above 0), which all hold data.
inline void* shrink(void* old, std::size_t old_bytes, std::size_t bytes) {
    if (old_bytes >= mapped_from && bytes >= mapped_from) {
        void* p = ::mremap(old, page_rounded(old_bytes), page_rounded(bytes), 0);
        if (p == MAP_FAILED)
            throw AllocFailure{bytes};
        return p;
    }
    if (old_bytes < mapped_from) {
        void* p = std::realloc(old, bytes);
        if (p == nullptr)
            throw AllocFailure{bytes};
        return p;
    }
    void* p = allocate(bytes);
    std::memcpy(p, old, bytes);
    ::munmap(old, page_rounded(old_bytes));
    return p;
}

inline void deallocate(void* p, std::size_t bytes) noexcept {
    if (bytes == 0)
        return;
    if (bytes >= mapped_from)
        ::munmap(p, page_rounded(bytes));
    else
        std::free(p);
}

// The same memory for standard containers whose size follows the input (an
// entry per list item or per slice), so that their failed allocations, too,
// report how much was asked for.
template <class T>
struct Allocator {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    using value_type = T;

    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(memory::allocate(bytes(n)));
    }
    void deallocate(T* p, std::size_t n) noexcept { memory::deallocate(p, bytes(n)); }

    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }

private:
    // malloc(0) may fail; one byte never does where anything else would.
    static std::size_t bytes(std::size_t n) noexcept { return std::max<std::size_t>(n * sizeof(T), 1); }
};

template <class T>
using Vector = std::vector<T, Allocator<T>>;

}  // namespace memory

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, dangling())),
          len_(std::exchange(other.len_, 0)),
          cap_(std::exchange(other.cap_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            release(data_, cap_);
            data_ = std::exchange(other.data_, dangling());
            len_ = std::exchange(other.len_, 0);
            cap_ = std::exchange(other.cap_, 0);
        }
        return *this;
    }
    ~Buffer() { release(data_, cap_); }

    // Exactly `n` elements of room: length 0, capacity n.
    static Buffer with_capacity(std::size_t n) {
        Buffer out;
        out.reserve_exact(n);
        return out;
    }

    // Length and capacity both `n`; the contents are left for the caller to
    // write in full before anyone reads them.
    static Buffer uninitialized(std::size_t n) {
        Buffer out = with_capacity(n);
        out.len_ = n;
        return out;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return len_; }
    std::size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return len_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + len_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + len_; }
    std::span<const T> span() const noexcept { return {data_, len_}; }
    const T& back() const noexcept { return data_[len_ - 1]; }

    // Room for at least `additional` more elements, growing geometrically.
    void reserve(std::size_t additional) {
        if (cap_ - len_ >= additional) [[likely]]
            return;
        std::size_t needed;
        if (__builtin_add_overflow(len_, additional, &needed))
            panic(std::string(msg::capacity_overflow));
        grow_to(std::max(needed, std::max(cap_ * 2, min_capacity())));
    }

    void reserve_exact(std::size_t additional) {
        if (cap_ - len_ >= additional)
            return;
        std::size_t needed;
        if (__builtin_add_overflow(len_, additional, &needed))
            panic(std::string(msg::capacity_overflow));
        grow_to(needed);
    }

    void push_back(T value) {
        reserve(1);
        data_[len_++] = value;
    }

    void append(const T* values, std::size_t n) {
        if (n == 0)
            return;
        reserve(n);
        std::memcpy(data_ + len_, values, n * sizeof(T));
        len_ += n;
    }

    // For writers that fill reserved room directly, e.g. a tight loop over a
    // pointer from `data() + size()`.
    void set_size(std::size_t n) noexcept { len_ = n; }

    void clear() noexcept { len_ = 0; }

    // Capacity cut to the length, for buffers that grew while being filled
    // and then pass to NumPy, which keeps them as long as their arrays live.
    void shrink_to_fit() {
        if (cap_ == len_)
            return;
        if (len_ == 0) {
            release(data_, cap_);
            data_ = dangling();
            cap_ = 0;
            return;
        }
        data_ = static_cast<T*>(memory::shrink(data_, cap_ * sizeof(T), len_ * sizeof(T)));
        cap_ = len_;
    }

    // Gives up ownership: the caller must pass `cap` to `release` later.
    struct Raw {
        T* data;
        std::size_t len;
        std::size_t cap;
    };
    Raw into_raw() noexcept {
        Raw raw{data_, len_, cap_};
        data_ = dangling();
        len_ = 0;
        cap_ = 0;
        return raw;
    }

    static void release(T* data, std::size_t cap) noexcept { memory::deallocate(data, cap * sizeof(T)); }

private:
    static T* dangling() noexcept {
        // Never dereferenced: only used as the address of zero elements.
        return reinterpret_cast<T*>(alignof(T));
    }
    static constexpr std::size_t min_capacity() noexcept { return sizeof(T) == 1 ? 8 : 4; }

    void grow_to(std::size_t new_cap) {
        constexpr auto max_bytes = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
        if (new_cap > max_bytes / sizeof(T))
            panic(std::string(msg::capacity_overflow));
        const std::size_t bytes = new_cap * sizeof(T);
        void* p = cap_ == 0 ? memory::allocate(bytes)
                            : memory::reallocate(data_, len_ * sizeof(T), cap_ * sizeof(T), bytes);
        data_ = static_cast<T*>(p);
        cap_ = new_cap;
    }

    T* data_ = dangling();
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace veltra
