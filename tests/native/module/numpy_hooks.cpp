// Hooks into the NumPy bridge: the array accessors and views, arrays over
// native buffers with a release routine the tests can watch, and borrows of
// both kinds held for as long as a test wants.
#include <cstdlib>
#include <map>
#include <string>
#include <variant>

#include "errors.hpp"
#include "numpy_bridge.hpp"
#include "testing.hpp"

namespace {

using namespace veltra;

PyResult<Handle> array_arg(PyObject* obj) {
    if (!np::is_ndarray(Handle(obj)))
        return PyErr::refusal(Handle(obj), "PyUntypedArray");
    return Handle(obj);
}

Object new_bool(bool value) {
    return Object::new_ref(value ? Py_True : Py_False);
}
Object new_size(std::size_t value) {
    return expect_new(PyLong_FromSize_t(value));
}

template <class F>
PyObject* with_array(PyObject* obj, F&& body) {
    return call_guard([&]() -> PyResult<Object> {
        auto array = array_arg(obj);
        if (!array)
            return std::move(array).error();
        return body(array.value());
    });
}

PyObject* api_ready(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Object> { return new_bool(np::api() != nullptr); });
}

PyObject* is_ndarray(PyObject*, PyObject* obj) {
    return call_guard([&]() -> PyResult<Object> { return new_bool(np::is_ndarray(Handle(obj))); });
}

PyObject* ndim(PyObject*, PyObject* obj) {
    return with_array(obj,
                      [](Handle a) -> PyResult<Object> { return expect_new(PyLong_FromLong(np::ndim(a))); });
}

PyObject* element_count(PyObject*, PyObject* obj) {
    return with_array(obj, [](Handle a) -> PyResult<Object> { return new_size(np::element_count(a)); });
}

PyObject* item_size(PyObject*, PyObject* obj) {
    return with_array(obj,
                      [](Handle a) -> PyResult<Object> { return new_size(np::item_size(np::descr(a))); });
}

PyObject* is_contiguous(PyObject*, PyObject* obj) {
    return with_array(obj, [](Handle a) -> PyResult<Object> { return new_bool(np::is_contiguous(a)); });
}

PyObject* data_address(PyObject*, PyObject* obj) {
    return with_array(obj, [](Handle a) -> PyResult<Object> {
        return expect_new(PyLong_FromVoidPtr(const_cast<std::byte*>(np::data(a))));
    });
}

// has_dtype_of(array, type_num)
PyObject* has_dtype_of(PyObject*, PyObject* args) {
    PyObject* obj = nullptr;
    int type_num = 0;
    if (!PyArg_ParseTuple(args, "Oi", &obj, &type_num))
        return nullptr;
    return with_array(obj,
                      [&](Handle a) -> PyResult<Object> { return new_bool(np::has_dtype_of(a, type_num)); });
}

// dtype_equivalent(a, b), on the arrays' descriptors.
PyObject* dtype_equivalent(PyObject*, PyObject* args) {
    PyObject *first = nullptr, *second = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &first, &second))
        return nullptr;
    return with_array(first, [&](Handle a) -> PyResult<Object> {
        auto b = array_arg(second);
        if (!b)
            return std::move(b).error();
        return new_bool(np::dtype_equivalent(np::descr(a), np::descr(b.value())));
    });
}

// The byte view's contents as bytes.
PyObject* byte_view(PyObject*, PyObject* obj) {
    return with_array(obj, [](Handle a) -> PyResult<Object> {
        auto view = np::byte_view(a);
        if (!view)
            return std::move(view).error();
        return expect_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(view.value().data),
                                                    static_cast<Py_ssize_t>(view.value().len)));
    });
}

// The int64 view's values as a list.
PyObject* int64_view(PyObject*, PyObject* obj) {
    return with_array(obj, [](Handle a) -> PyResult<Object> {
        auto view = np::int64_view(a);
        if (!view)
            return std::move(view).error();
        const np::Int64View& values = view.value();
        Object list = expect_new(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; i < values.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            expect_new(PyLong_FromLongLong(values[i])).release());
        return list;
    });
}

// array_from_buffer(kind, n): an owned buffer holding 0, 1, …, n-1, handed
// over through the overload for "uint8", "int64" or "uint64".
PyObject* array_from_buffer(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    Py_ssize_t n = 0;
    if (!PyArg_ParseTuple(args, "sn", &kind, &n))
        return nullptr;
    return call_guard([&]() -> PyResult<Object> {
        const std::string k = kind;
        const auto count = static_cast<std::size_t>(n);
        auto filled = [count]<class T>(Buffer<T> buffer) {
            for (std::size_t i = 0; i < count; ++i)
                buffer.push_back(static_cast<T>(i));
            return buffer;
        };
        if (k == "uint8")
            return np::array_from_buffer(filled(Buffer<std::uint8_t>()));
        if (k == "int64")
            return np::array_from_buffer(filled(Buffer<std::int64_t>()));
        if (k == "uint64")
            return np::array_from_buffer(filled(Buffer<std::uint64_t>()));
        return PyErr::new_message(PyExc_ValueError, "unknown kind " + k);
    });
}

// Observations of the counting release routine.
std::size_t releases = 0;
std::size_t last_release_len = 0;
std::size_t last_release_cap = 0;

void counting_release(void* data, std::size_t len, std::size_t cap) {
    ++releases;
    last_release_len = len;
    last_release_cap = cap;
    if (cap != 0)
        std::free(data);
}

void panicking_release(void* data, std::size_t, std::size_t cap) {
    if (cap != 0)
        std::free(data);
    panic("release routine failed on purpose");
}

// raw_array(length, capacity, type_num, item_size, panicking=False): a
// malloc'd buffer of `capacity` items (none: an aligned dangling address),
// every byte 0xAB, handed to `array_from_raw` with `length` as its length.
PyObject* raw_array(PyObject*, PyObject* args) {
    unsigned long long length = 0, capacity = 0;
    int type_num = 0;
    Py_ssize_t item = 0;
    int panicking = 0;
    if (!PyArg_ParseTuple(args, "KKin|p", &length, &capacity, &type_num, &item, &panicking))
        return nullptr;
    return call_guard([&]() -> PyResult<Object> {
        const auto bytes = static_cast<std::size_t>(capacity) * static_cast<std::size_t>(item);
        void* data = reinterpret_cast<void*>(alignof(std::max_align_t));
        if (capacity != 0) {
            data = std::malloc(bytes);
            if (data == nullptr)
                throw AllocFailure{bytes};
            std::memset(data, 0xAB, bytes);
        }
        return np::array_from_raw(data, static_cast<std::size_t>(length), static_cast<std::size_t>(capacity),
                                  panicking ? panicking_release : counting_release, type_num,
                                  static_cast<std::size_t>(item));
    });
}

// (calls, length, capacity) of the counting release routine so far.
PyObject* release_log(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Object> {
        return make_tuple(new_size(releases), new_size(last_release_len), new_size(last_release_cap));
    });
}

// Borrows held on behalf of the tests, by token. Never destroyed: a borrow
// still held when the process exits would drop its array reference after the
// interpreter is gone, which crashes from CPython 3.12 on.
auto& held = *new std::map<long, std::variant<np::SharedBorrow, np::ExclusiveBorrow>>;
long next_token = 0;

// shared_borrow(array) -> token; panics like a conversion when refused.
PyObject* shared_borrow(PyObject*, PyObject* obj) {
    return with_array(obj, [](Handle a) -> PyResult<Object> {
        np::SharedBorrow borrow = np::SharedBorrow::acquire(a);
        const long token = next_token++;
        held.emplace(token, std::move(borrow));
        return expect_new(PyLong_FromLong(token));
    });
}

// exclusive_borrow(array) -> token, or None when refused.
PyObject* exclusive_borrow(PyObject*, PyObject* obj) {
    return with_array(obj, [](Handle a) -> PyResult<Object> {
        std::optional<np::ExclusiveBorrow> borrow = np::ExclusiveBorrow::try_acquire(a);
        if (!borrow)
            return Object::new_ref(Py_None);
        const long token = next_token++;
        held.emplace(token, std::move(*borrow));
        return expect_new(PyLong_FromLong(token));
    });
}

PyObject* release_borrow(PyObject*, PyObject* arg) {
    const long token = PyLong_AsLong(arg);
    if (token == -1 && PyErr_Occurred())
        return nullptr;
    return call_guard([&]() -> PyResult<Object> {
        if (held.erase(token) == 0)
            return PyErr::new_message(PyExc_KeyError, "no borrow " + std::to_string(token));
        return Object::new_ref(Py_None);
    });
}

PyMethodDef numpy_methods[] = {
    {"api_ready", api_ready, METH_NOARGS, nullptr},
    {"is_ndarray", is_ndarray, METH_O, nullptr},
    {"ndim", ndim, METH_O, nullptr},
    {"element_count", element_count, METH_O, nullptr},
    {"item_size", item_size, METH_O, nullptr},
    {"is_contiguous", is_contiguous, METH_O, nullptr},
    {"data_address", data_address, METH_O, nullptr},
    {"has_dtype_of", has_dtype_of, METH_VARARGS, nullptr},
    {"dtype_equivalent", dtype_equivalent, METH_VARARGS, nullptr},
    {"byte_view", byte_view, METH_O, nullptr},
    {"int64_view", int64_view, METH_O, nullptr},
    {"array_from_buffer", array_from_buffer, METH_VARARGS, nullptr},
    {"raw_array", raw_array, METH_VARARGS, nullptr},
    {"release_log", release_log, METH_NOARGS, nullptr},
    {"shared_borrow", shared_borrow, METH_O, nullptr},
    {"exclusive_borrow", exclusive_borrow, METH_O, nullptr},
    {"release_borrow", release_borrow, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testing::register_numpy(PyObject* module) {
    if (PyModule_AddFunctions(module, numpy_methods) < 0)
        return -1;
    return PyModule_AddStringConstant(module, "BORROW_REGISTRY_ATTRIBUTE",
                                      veltra::np::borrow_registry_attribute);
}
