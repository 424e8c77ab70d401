#include "numpy_bridge.hpp"

namespace veltra::np {

void** api() { panic("not built yet"); }
bool is_ndarray(Handle) { panic("not built yet"); }
int ndim(Handle) { panic("not built yet"); }
Handle descr(Handle) { panic("not built yet"); }
const std::byte* data(Handle) { panic("not built yet"); }
bool is_contiguous(Handle) { panic("not built yet"); }
std::size_t element_count(Handle) { panic("not built yet"); }
std::size_t item_size(Handle) { panic("not built yet"); }
bool dtype_equivalent(Handle, Handle) { panic("not built yet"); }
bool has_dtype_of(Handle, int) { panic("not built yet"); }
PyResult<ByteView> byte_view(Handle) { panic("not built yet"); }
PyResult<Int64View> int64_view(Handle) { panic("not built yet"); }
Object array_from_buffer(Buffer<std::uint8_t>&&) { panic("not built yet"); }
Object array_from_buffer(Buffer<std::int64_t>&&) { panic("not built yet"); }
Object array_from_buffer(Buffer<std::uint64_t>&&) { panic("not built yet"); }
Object array_from_raw(void*, std::size_t, std::size_t, ReleaseFn, int, std::size_t) { panic("not built yet"); }
SharedBorrow SharedBorrow::acquire(Handle) { panic("not built yet"); }
SharedBorrow::SharedBorrow(SharedBorrow&& other) noexcept : array_(std::move(other.array_)) {}
SharedBorrow::~SharedBorrow() = default;

}  // namespace veltra::np
