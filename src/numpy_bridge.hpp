// Every contact of the module with NumPy: the C API table fetched at run time,
// array checks and zero-copy views of input arrays, arrays created over owned
// buffers (kept alive by a `PySliceContainer` base object), and the shared
// borrow registry through which extensions agree on who reads or writes an
// array's memory.
//
// Everything here runs on the calling thread with the interpreter lock held.
// Works with the layouts of NumPy 1.x and 2.x, chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "buffer.hpp"
#include "errors.hpp"

namespace veltra::np {

// The API table; fetched on first use. Panics with "Failed to access NumPy
// array API capsule: {error}" when NumPy cannot be reached (and tries again
// on the next use).
void** api();

bool is_ndarray(Handle obj);

// Accessors for objects that passed `is_ndarray`.
int ndim(Handle array);
Handle descr(Handle array);
const std::byte* data(Handle array);
bool is_contiguous(Handle array);
std::size_t element_count(Handle array);
// The descriptor's item size; negative taken as 0.
std::size_t item_size(Handle descr);
bool dtype_equivalent(Handle a, Handle b);
// Whether the array's dtype is equivalent to that of NumPy type number
// `type_num` (e.g. 2 for uint8).
bool has_dtype_of(Handle array, int type_num);

struct ByteView {
    const std::uint8_t* data;
    std::size_t len;
};

// 64-bit integers over memory of any alignment: loads go through memcpy.
class Int64View {
public:
    Int64View(const std::byte* data, std::size_t len) noexcept : data_(data), len_(len) {}
    std::size_t size() const noexcept { return len_; }
    const void* data() const noexcept { return data_; }
    std::int64_t operator[](std::size_t i) const noexcept {
        std::int64_t value;
        std::memcpy(&value, data_ + i * sizeof value, sizeof value);
        return value;
    }

private:
    const std::byte* data_;
    std::size_t len_;
};

// ValueError "Array is not contiguous" unless C- or Fortran-contiguous.
PyResult<ByteView> byte_view(Handle array);
PyResult<Int64View> int64_view(Handle array);

// A new 1-D writeable array that adopts the buffer without a copy.
Object array_from_buffer(Buffer<std::uint8_t>&& buffer);
Object array_from_buffer(Buffer<std::int64_t>&& buffer);
Object array_from_buffer(Buffer<std::uint64_t>&& buffer);

// The general form behind `array_from_buffer`: `release(data, len, cap)` runs
// once when NumPy lets go of the array, also when creation fails after this
// call took the buffer.
using ReleaseFn = void (*)(void* data, std::size_t len, std::size_t cap);
Object array_from_raw(void* data, std::size_t len, std::size_t cap, ReleaseFn release, int type_num,
                      std::size_t item_size);

namespace detail {
// One borrow registered in the process-wide registry: the array (kept alive)
// and the byte range it covers. Returned to the registry on destruction.
class RegisteredBorrow {
public:
    RegisteredBorrow(Object array, std::uintptr_t start, std::uintptr_t end, bool exclusive) noexcept
        : array_(std::move(array)), start_(start), end_(end), exclusive_(exclusive) {}
    RegisteredBorrow(RegisteredBorrow&& other) noexcept = default;
    RegisteredBorrow& operator=(RegisteredBorrow&&) = delete;
    RegisteredBorrow(const RegisteredBorrow&) = delete;
    ~RegisteredBorrow();

    Handle array() const noexcept { return array_.handle(); }

private:
    Object array_;  // empty once moved from: nothing to return then
    std::uintptr_t start_;
    std::uintptr_t end_;
    bool exclusive_;
};
}  // namespace detail

// The registry hangs as a capsule under this attribute of
// numpy.core.multiarray, so that every extension in the process (and every
// copy of this code) consults the same table.
inline constexpr const char* borrow_registry_attribute = "_veltra_borrow_registry";

// A shared, read-only borrow of an array's memory, registered in the
// process-wide registry for as long as this object lives. Panics when another
// extension holds an exclusive borrow of that memory.
class SharedBorrow {
public:
    static SharedBorrow acquire(Handle array);
    SharedBorrow(SharedBorrow&& other) noexcept = default;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    SharedBorrow(const SharedBorrow&) = delete;
    ~SharedBorrow() = default;

    Handle array() const noexcept { return borrow_.array(); }

private:
    explicit SharedBorrow(detail::RegisteredBorrow borrow) noexcept : borrow_(std::move(borrow)) {}
    detail::RegisteredBorrow borrow_;
};

// The counterpart other extensions take before writing into an array: it
// excludes every other borrow, shared or exclusive, of overlapping memory.
// This module itself only reads arrays and never takes one.
class ExclusiveBorrow {
public:
    // Empty when overlapping memory is already borrowed.
    static std::optional<ExclusiveBorrow> try_acquire(Handle array);
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept = default;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() = default;

    Handle array() const noexcept { return borrow_.array(); }

private:
    explicit ExclusiveBorrow(detail::RegisteredBorrow borrow) noexcept : borrow_(std::move(borrow)) {}
    detail::RegisteredBorrow borrow_;
};

}  // namespace veltra::np
