// Joining arrays: `concatenate_numpy`, the list arrays behind
// `awkward_from_list_of_numpy` and `concatenate_awkward`, and the list-array
// join that the FASTA merge shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "panic.hpp"

namespace veltra {
class Handle;
class Object;
class PyErr;
}  // namespace veltra

namespace veltra::data {

// A jagged array: list i spans content[offsets[i] .. offsets[i+1]]. Each field
// is a view of memory someone else keeps alive (an input array, a chunk
// result) for the duration of the join.
struct ListArrayView {
    const std::uint8_t* content;
    std::size_t content_len;
    const void* offsets;  // int64, any alignment
    std::size_t offsets_len;
};

struct ListArray {
    Buffer<std::uint8_t> content;
    Buffer<std::int64_t> offsets;
};

// Content joined whole; offsets of the first input whole, the others without
// their first entry and raised by the running sum of the previous last offsets.
ListArray concatenate_list_arrays(std::span<const ListArrayView> inputs);

// The module functions' bodies; `arrays` is the converted list argument.
Result<Object, PyErr> concatenate_numpy(Handle arrays);
Result<Object, PyErr> awkward_from_list_of_numpy(Handle arrays);
Result<Object, PyErr> concatenate_awkward(Handle arrays);

}  // namespace veltra::data
