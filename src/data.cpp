#include "data.hpp"

#include <span>
#include <vector>

#include "errors.hpp"
#include "numpy_bridge.hpp"

namespace veltra::data {

namespace {

PyErr value_error(const char* message) {
    return PyErr::new_message(PyExc_ValueError, message);
}

// An input array kept alive by its own reference for the whole call, so that
// the views handed to the workers stay valid whatever happens to the list.
struct InputArray {
    Object array;
    Object descr;
    const std::byte* data;
    std::size_t count;
    bool contiguous;
};

InputArray record(Object item) {
    const Handle array = item.handle();
    Object descr = Object::new_ref(np::descr(array).ptr());
    return InputArray{std::move(item), std::move(descr), np::data(array), np::element_count(array),
                      np::is_contiguous(array)};
}

// The first load of NumPy's C API imports NumPy, which runs Python code
// (import hooks, NumPy's own shims) and may let other threads run: any of it
// can change the list. So the API is loaded before the list is looked at, its
// length is read afresh for every item, and each item is held by a reference
// of its own from the moment it is taken.
void load_numpy_before_looking_at(Handle list) {
    if (PyList_GET_SIZE(list.ptr()) > 0)
        np::api();
}

Object item_at(Handle list, Py_ssize_t i) {
    return Object::new_ref(PyList_GET_ITEM(list.ptr(), i));
}

std::size_t byte_length(std::size_t item_size, std::size_t count) {
    std::size_t bytes;
    if (__builtin_mul_overflow(item_size, count, &bytes))
        panic(std::string(msg::capacity_overflow));
    return bytes;
}

// Joins the inputs' memory; gives the content and each input's byte start.
Concatenated<std::uint8_t> join_bytes(const memory::Vector<InputArray>& inputs) {
    const std::size_t item_size = np::item_size(inputs.front().descr.handle());
    memory::Vector<Slice<std::uint8_t>> slices;
    slices.reserve(inputs.size());
    for (const InputArray& input : inputs)
        slices.push_back({input.data, byte_length(item_size, input.count)});
    return parallel_concat<std::uint8_t>(slices);
}

Buffer<std::int64_t> to_offsets(std::span<const std::size_t> starts, std::size_t extra) {
    Buffer<std::int64_t> out = Buffer<std::int64_t>::with_capacity(starts.size() + extra);
    for (const std::size_t start : starts)
        out.push_back(static_cast<std::int64_t>(start));
    return out;
}

Object content_and_offsets(Buffer<std::uint8_t>&& content, Buffer<std::int64_t>&& offsets) {
    Object first = np::array_from_buffer(std::move(content));
    Object second = np::array_from_buffer(std::move(offsets));
    return make_tuple(std::move(first), std::move(second));
}

// A (content, offsets) tuple as views of its two arrays, which `keep_alive`
// then holds.
PyResult<ListArrayView> list_array_of(Object tuple, memory::Vector<Object>& keep_alive) {
    PyObject* item = tuple.get();
    if (!PyTuple_Check(item))
        return PyErr::refusal(Handle(item), "PyTuple");
    PyObject* content = PyTuple_GetItem(item, 0);
    if (content == nullptr)
        return PyErr::fetch_or_system_error();
    PyObject* offsets = PyTuple_GetItem(item, 1);
    if (offsets == nullptr)
        return PyErr::fetch_or_system_error();
    for (PyObject* array : {content, offsets})
        if (!np::is_ndarray(Handle(array)))
            return PyErr::refusal(Handle(array), "PyUntypedArray");
    auto bytes = np::byte_view(Handle(content));
    if (!bytes)
        return std::move(bytes).error();
    auto words = np::int64_view(Handle(offsets));
    if (!words)
        return std::move(words).error();
    keep_alive.push_back(Object::new_ref(content));
    keep_alive.push_back(Object::new_ref(offsets));
    return ListArrayView{bytes.value().data, bytes.value().len, words.value().data(), words.value().size()};
}

}  // namespace

PyResult<Object> concatenate_numpy(Handle arrays) {
    load_numpy_before_looking_at(arrays);
    // Every item's type is checked before any dtype or contiguity test.
    memory::Vector<InputArray> inputs;
    inputs.reserve(static_cast<std::size_t>(PyList_GET_SIZE(arrays.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arrays.ptr()); ++i) {
        Object item = item_at(arrays, i);
        if (!np::is_ndarray(item.handle()))
            return PyErr::refusal(item.handle(), "PyUntypedArray");
        inputs.push_back(record(std::move(item)));
    }
    if (inputs.empty())
        return value_error("Must provide at least one array");
    for (const InputArray& input : inputs)
        if (!np::dtype_equivalent(inputs.front().descr.handle(), input.descr.handle()) || !input.contiguous)
            return value_error("All arrays must have the same dtype and be contiguous");

    Concatenated<std::uint8_t> joined = join_bytes(inputs);
    return content_and_offsets(std::move(joined.buffer), to_offsets(joined.starts, 0));
}

PyResult<Object> awkward_from_list_of_numpy(Handle arrays) {
    load_numpy_before_looking_at(arrays);
    if (PyList_GET_SIZE(arrays.ptr()) == 0)
        return value_error("Must provide at least one array");
    // Each item passes all of its tests before the next one is looked at.
    memory::Vector<InputArray> inputs;
    inputs.reserve(static_cast<std::size_t>(PyList_GET_SIZE(arrays.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arrays.ptr()); ++i) {
        Object item = item_at(arrays, i);
        if (!np::is_ndarray(item.handle()))
            return PyErr::refusal(item.handle(), "PyUntypedArray");
        InputArray input = record(std::move(item));
        if (!inputs.empty() && !np::dtype_equivalent(inputs.front().descr.handle(), input.descr.handle()))
            return value_error("All arrays must have the same dtype");
        if (!input.contiguous)
            return value_error("All arrays must be contiguous");
        inputs.push_back(std::move(input));
    }

    Concatenated<std::uint8_t> joined = join_bytes(inputs);
    Buffer<std::int64_t> offsets = to_offsets(joined.starts, 1);
    offsets.push_back(static_cast<std::int64_t>(joined.buffer.size()));
    return content_and_offsets(std::move(joined.buffer), std::move(offsets));
}

PyResult<Object> concatenate_awkward(Handle arrays) {
    load_numpy_before_looking_at(arrays);
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(arrays.ptr()));
    memory::Vector<Object> keep_alive;
    keep_alive.reserve(2 * n);
    memory::Vector<ListArrayView> inputs;
    inputs.reserve(n);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arrays.ptr()); ++i) {
        auto view = list_array_of(item_at(arrays, i), keep_alive);
        if (!view)
            return std::move(view).error();
        inputs.push_back(view.value());
    }
    ListArray joined = concatenate_list_arrays(inputs);
    return content_and_offsets(std::move(joined.content), std::move(joined.offsets));
}

}  // namespace veltra::data
