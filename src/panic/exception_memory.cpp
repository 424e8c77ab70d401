// Where the C++ runtime finds memory for exceptions when the heap has none.
//
// A failed allocation is reported by throwing, and a failure on a worker
// travels to the caller as a kept exception that is rethrown at every join it
// crosses, each rethrow a new object: several exceptions live at once just
// when the heap is gone. libstdc++ keeps an emergency pool of tens of
// kilobytes for them; libc++abi keeps 512 bytes, room for about three, and
// ends the process when they are taken. Built against libc++abi, the module
// takes over the runtime's allocation functions for exceptions (the linker
// then leaves out the runtime's own) and keeps a reserve like libstdc++'s.
#include <cxxabi.h>

#if defined(_LIBCPPABI_VERSION)

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Large enough for the exception header (128 bytes) and anything the module
// or the standard library throws.
constexpr std::size_t slot_size = 512;
constexpr std::size_t words = 2;
constexpr std::size_t slots = 64 * words;

alignas(64) unsigned char reserve[slots][slot_size];
std::atomic<std::uint64_t> taken[words];

void* take_slot(std::size_t size) noexcept {
    if (size > slot_size)
        return nullptr;
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t bits = taken[w].load(std::memory_order_relaxed);
        while (bits != ~std::uint64_t{0}) {
            const int bit = __builtin_ctzll(~bits);
            if (taken[w].compare_exchange_weak(bits, bits | (std::uint64_t{1} << bit),
                                               std::memory_order_acquire, std::memory_order_relaxed))
                return reserve[w * 64 + static_cast<std::size_t>(bit)];
        }
    }
    return nullptr;
}

bool give_back_slot(void* p) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto first = reinterpret_cast<std::uintptr_t>(reserve);
    if (at < first || at >= first + sizeof(reserve))
        return false;
    const std::size_t slot = (at - first) / slot_size;
    taken[slot / 64].fetch_and(~(std::uint64_t{1} << (slot % 64)), std::memory_order_release);
    return true;
}

}  // namespace

// The runtime's names for them. Exceptions need the alignment of
// `__attribute__((aligned))`, 16 bytes.
namespace __cxxabiv1 {

void* __aligned_malloc_with_fallback(std::size_t size) {
    void* p = nullptr;
    if (posix_memalign(&p, 16, size == 0 ? 1 : size) == 0)
        return p;
    return take_slot(size);
}

void* __calloc_with_fallback(std::size_t count, std::size_t size) {
    if (void* p = std::calloc(count, size))
        return p;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes))
        return nullptr;
    void* p = take_slot(bytes);
    if (p != nullptr)
        std::memset(p, 0, bytes);
    return p;
}

void __aligned_free_with_fallback(void* p) {
    if (!give_back_slot(p))
        std::free(p);
}

void __free_with_fallback(void* p) {
    if (!give_back_slot(p))
        std::free(p);
}

}  // namespace __cxxabiv1

#endif
