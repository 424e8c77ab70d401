#include "data.hpp"

#include "errors.hpp"

namespace veltra::data {

ListArray concatenate_list_arrays(std::span<const ListArrayView>) {
    panic("not built yet");
}
PyResult<Object> concatenate_numpy(Handle) {
    panic("not built yet");
}
PyResult<Object> awkward_from_list_of_numpy(Handle) {
    panic("not built yet");
}
PyResult<Object> concatenate_awkward(Handle) {
    panic("not built yet");
}

}  // namespace veltra::data
