// Hooks into the error machinery for what no module function reaches from
// Python: internal failures of every kind, a PanicException coming back
// through Python code, the text and debug forms of objects and errors, lazy
// errors of odd types and the deallocation guard.
#include <dlfcn.h>

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "errors.hpp"
#include "testing.hpp"

namespace {

using namespace veltra;

Object new_str(const std::string& text) {
    return expect_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Object none() {
    return Object::new_ref(Py_None);
}

// A message given as str, or as bytes for text that is not UTF-8.
PyResult<std::string> utf8_of(PyObject* obj) {
    if (PyBytes_Check(obj))
        return std::string(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    if (!PyUnicode_Check(obj))
        return PyErr::refusal(Handle(obj), "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr)
        return PyErr::fetch_or_system_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

// (type, message) arguments of the hooks that build an error.
struct TypeAndMessage {
    PyObject* type;
    std::string message;
};

PyResult<TypeAndMessage> type_and_message(PyObject* args) {
    PyObject* type = nullptr;
    PyObject* message = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &type, &message))
        return PyErr::fetch_or_system_error();
    auto text = utf8_of(message);
    if (!text)
        return std::move(text).error();
    return TypeAndMessage{type, std::move(text).value()};
}

// Lets other threads take the interpreter lock for the rest of the scope.
class AllowThreads {
public:
    AllowThreads() : saved_(PyEval_SaveThread()) {}
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;
    ~AllowThreads() { PyEval_RestoreThread(saved_); }

private:
    PyThreadState* saved_;
};

PyObject* panic_with(PyObject*, PyObject* message) {
    return call_guard([&]() -> PyResult<Object> {
        auto text = utf8_of(message);
        if (!text)
            return std::move(text).error();
        panic(std::move(text).value());  // panic-site: the tests look for this line
    });
}

PyObject* throw_runtime_error(PyObject*, PyObject* message) {
    return call_guard([&]() -> PyResult<Object> {
        auto text = utf8_of(message);
        if (!text)
            return std::move(text).error();
        throw std::runtime_error(text.value());
    });
}

PyObject* throw_alloc_failure(PyObject*, PyObject* bytes) {
    return call_guard([&]() -> PyResult<Object> {
        const std::size_t n = PyLong_AsSize_t(bytes);
        if (n == static_cast<std::size_t>(-1) && PyErr_Occurred())
            return PyErr::fetch_or_system_error();
        throw AllocFailure{n};
    });
}

PyObject* throw_bad_alloc(PyObject*, PyObject*) {
    return call_guard([&]() -> PyResult<Object> { throw std::bad_alloc(); });
}

PyObject* throw_non_exception(PyObject*, PyObject*) {
    return call_guard([&]() -> PyResult<Object> { throw 42; });
}

// A constructor that "cannot fail" returning NULL with an error pending.
PyObject* constructor_failure(PyObject*, PyObject* message) {
    return call_guard([&]() -> PyResult<Object> {
        auto text = utf8_of(message);
        if (!text)
            return std::move(text).error();
        PyErr_SetString(PyExc_ValueError, text.value().c_str());
        return expect_new(nullptr);
    });
}

// Calls `callable`; whatever it raises is fetched and raised again from here.
PyObject* call_and_fetch(PyObject*, PyObject* callable) {
    return call_guard([&]() -> PyResult<Object> {
        Object result = Object::steal(PyObject_CallNoArgs(callable));
        if (result)
            return result;
        return PyErr::fetch_or_system_error();
    });
}

// Raises `type` with no value at all, then fetches it.
PyObject* set_none_and_fetch(PyObject*, PyObject* type) {
    return call_guard([&]() -> PyResult<Object> {
        PyErr_SetNone(type);
        return PyErr::fetch_or_system_error();
    });
}

PyObject* fetch_pending(PyObject*, PyObject*) {
    return call_guard([&]() -> PyResult<Object> {
        if (std::optional<PyErr> err = PyErr::fetch())
            return std::move(*err);
        return none();
    });
}

PyObject* fetch_or_system_error(PyObject*, PyObject*) {
    return call_guard([&]() -> PyResult<Object> { return PyErr::fetch_or_system_error(); });
}

PyObject* text_of_hook(PyObject*, PyObject* obj) {
    return call_guard([&]() -> PyResult<Object> { return new_str(text_of(Handle(obj))); });
}

PyObject* repr_of_hook(PyObject*, PyObject* obj) {
    return call_guard([&]() -> PyResult<Object> { return new_str(repr_of(Handle(obj))); });
}

PyObject* raise_lazy(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        auto parsed = type_and_message(args);
        if (!parsed)
            return std::move(parsed).error();
        return PyErr::new_message(parsed.value().type, std::move(parsed.value().message));
    });
}

PyObject* debug_lazy(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        auto parsed = type_and_message(args);
        if (!parsed)
            return std::move(parsed).error();
        return new_str(PyErr::new_message(parsed.value().type, std::move(parsed.value().message)).debug());
    });
}

// The debug form of what `callable` raises, which carries a traceback.
PyObject* debug_of_call(PyObject*, PyObject* callable) {
    return call_guard([&]() -> PyResult<Object> {
        Object result = Object::steal(PyObject_CallNoArgs(callable));
        if (result)
            return PyErr::new_message(PyExc_AssertionError, "the callable did not raise");
        return new_str(PyErr::fetch_or_system_error().debug());
    });
}

// The debug form formed on a thread that does not hold the interpreter lock.
PyObject* debug_off_thread(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        auto parsed = type_and_message(args);
        if (!parsed)
            return std::move(parsed).error();
        PyErr err = PyErr::new_message(parsed.value().type, std::move(parsed.value().message));
        std::string text;
        std::exception_ptr failure;
        {
            AllowThreads unlocked;
            try {
                std::thread worker([&] {
                    try {
                        text = err.debug();
                    } catch (...) {
                        failure = std::current_exception();
                    }
                });
                worker.join();
            } catch (...) {
                failure = std::current_exception();
            }
        }
        if (failure)
            std::rethrow_exception(failure);
        return new_str(text);
    });
}

// An internal failure inside a deallocation callback.
PyObject* dealloc_panic(PyObject*, PyObject* message) {
    return call_guard([&]() -> PyResult<Object> {
        auto text = utf8_of(message);
        if (!text)
            return std::move(text).error();
        dealloc_guard([&] { panic(text.value()); });
        return none();
    });
}

// Calls `callable(*args)` while the preloaded allocation shim
// (tests/native/alloc_shim.c) lets only `successes` more allocations of at
// least `min_size` bytes through, and returns (True, result) or the
// (type name, message) of what it raised. The shim is on from just before the
// call to just after it, so that nothing but the call meets the empty heap.
PyObject* call_with_heap_exhausted(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        long successes = 0;
        Py_ssize_t min_size = 0;
        PyObject* callable = nullptr;
        PyObject* call_args = nullptr;
        if (!PyArg_ParseTuple(args, "lnOO!", &successes, &min_size, &callable, &PyTuple_Type, &call_args))
            return PyErr::fetch_or_system_error();
        auto fail = reinterpret_cast<void (*)(long, std::size_t)>(dlsym(RTLD_DEFAULT, "shim_heap_fail"));
        auto restore = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "shim_heap_restore"));
        if (fail == nullptr || restore == nullptr)
            return PyErr::new_message(PyExc_RuntimeError, "the allocation shim is not preloaded");
        fail(successes, static_cast<std::size_t>(min_size));
        PyObject* result = PyObject_Call(callable, call_args, nullptr);
        restore();
        if (result != nullptr)
            return make_tuple(Object::new_ref(Py_True), Object::steal(result));
        PyErr err = PyErr::fetch_or_system_error();
        Object name =
            expect_new(PyUnicode_FromString(reinterpret_cast<PyTypeObject*>(err.type().ptr())->tp_name));
        return make_tuple(std::move(name), new_str(text_of(err.value())));
    });
}

PyMethodDef methods[] = {
    {"call_with_heap_exhausted", call_with_heap_exhausted, METH_VARARGS,
     "call_with_heap_exhausted(successes, min_size, callable, args): the call with allocations failing."},
    {"panic", panic_with, METH_O, "panic(message): an internal failure with this message."},
    {"throw_runtime_error", throw_runtime_error, METH_O,
     "throw_runtime_error(message): a C++ exception that is not a panic."},
    {"throw_alloc_failure", throw_alloc_failure, METH_O,
     "throw_alloc_failure(bytes): a failed allocation of that many bytes."},
    {"throw_bad_alloc", throw_bad_alloc, METH_NOARGS, "throw_bad_alloc(): std::bad_alloc."},
    {"throw_non_exception", throw_non_exception, METH_NOARGS,
     "throw_non_exception(): a thrown value that is no std::exception."},
    {"constructor_failure", constructor_failure, METH_O,
     "constructor_failure(message): expect_new(NULL) with ValueError(message) pending."},
    {"call_and_fetch", call_and_fetch, METH_O,
     "call_and_fetch(callable): calls it, fetches what it raised and raises that."},
    {"set_none_and_fetch", set_none_and_fetch, METH_O,
     "set_none_and_fetch(type): raises type without a value and fetches it."},
    {"fetch_pending", fetch_pending, METH_NOARGS, "fetch_pending(): fetches nothing, returns None."},
    {"fetch_or_system_error", fetch_or_system_error, METH_NOARGS,
     "fetch_or_system_error(): with nothing pending."},
    {"text_of", text_of_hook, METH_O, "text_of(obj): str() as the module renders it."},
    {"repr_of", repr_of_hook, METH_O, "repr_of(obj): repr() as the module renders it."},
    {"raise_lazy", raise_lazy, METH_VARARGS, "raise_lazy(type, message): a lazy error of any type."},
    {"debug_lazy", debug_lazy, METH_VARARGS, "debug_lazy(type, message): debug form of a lazy error."},
    {"debug_of_call", debug_of_call, METH_O, "debug_of_call(callable): debug form of what it raises."},
    {"debug_off_thread", debug_off_thread, METH_VARARGS,
     "debug_off_thread(type, message): debug form taken on a thread without the lock."},
    {"dealloc_panic", dealloc_panic, METH_O, "dealloc_panic(message): a panic in a deallocation guard."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testing::register_errors(PyObject* module) {
    return PyModule_AddFunctions(module, methods);
}
