// Joining arrays: `concatenate_numpy`, the list arrays behind
// `awkward_from_list_of_numpy` and `concatenate_awkward`, and the parallel
// joins they are built on (data/join.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "buffer.hpp"
#include "data/join.hpp"
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

// Offsets of input arrays may sit at any alignment.
inline std::int64_t load_offset(const void* offsets, std::size_t i) noexcept {
    std::int64_t value;
    std::memcpy(&value, static_cast<const std::byte*>(offsets) + i * sizeof value, sizeof value);
    return value;
}

struct ListArray {
    Buffer<std::uint8_t> content;
    Buffer<std::int64_t> offsets;
};

// Content joined whole; offsets of the first input whole, the others without
// their first entry and raised by the running sum of the previous last offsets
// (wrapping, like every offset addition here). Offsets are never validated.
// Python-free, so that it can be exercised without an interpreter.
inline ListArray concatenate_list_arrays(std::span<const ListArrayView> inputs) {
    memory::Vector<Slice<std::uint8_t>> contents;
    contents.reserve(inputs.size());
    for (const ListArrayView& input : inputs)
        contents.push_back({input.content, input.content_len});
    Buffer<std::uint8_t> content = parallel_concat<std::uint8_t>(contents).buffer;

    // Each list array after the first is raised by the sum of the last
    // offsets before it: built from offsets, not content lengths, so an input
    // whose content runs past its last offset still lines up with its lists.
    struct Rebase {
        std::uint64_t shift;
        bool first;
    };
    memory::Vector<Rebase> rebases;
    rebases.reserve(inputs.size());
    std::uint64_t shift = 0;
    for (const ListArrayView& input : inputs) {
        rebases.push_back({shift, rebases.empty()});
        if (input.offsets_len > 0)
            shift += static_cast<std::uint64_t>(load_offset(input.offsets, input.offsets_len - 1));
    }

    memory::Vector<Buffer<std::int64_t>> adjusted = parallel_indexed_collect<Buffer<std::int64_t>>(
        inputs, rebases, [](const ListArrayView& input, const Rebase& rebase) {
            if (rebase.first) {
                Buffer<std::int64_t> whole = Buffer<std::int64_t>::uninitialized(input.offsets_len);
                if (input.offsets_len > 0)
                    std::memcpy(whole.data(), input.offsets, input.offsets_len * sizeof(std::int64_t));
                return whole;
            }
            if (input.offsets_len == 0)
                panic("range start index 1 out of range for slice of length 0");
            Buffer<std::int64_t> raised = Buffer<std::int64_t>::uninitialized(input.offsets_len - 1);
            for (std::size_t i = 1; i < input.offsets_len; ++i)
                raised[i - 1] = static_cast<std::int64_t>(
                    static_cast<std::uint64_t>(load_offset(input.offsets, i)) + rebase.shift);
            return raised;
        });

    memory::Vector<Slice<std::int64_t>> pieces;
    pieces.reserve(adjusted.size());
    for (const Buffer<std::int64_t>& piece : adjusted)
        pieces.push_back({piece.data(), piece.size()});
    Buffer<std::int64_t> offsets = parallel_concat<std::int64_t>(pieces).buffer;
    return ListArray{std::move(content), std::move(offsets)};
}

// The module functions' bodies; `arrays` is the converted list argument.
Result<Object, PyErr> concatenate_numpy(Handle arrays);
Result<Object, PyErr> awkward_from_list_of_numpy(Handle arrays);
Result<Object, PyErr> concatenate_awkward(Handle arrays);

}  // namespace veltra::data
