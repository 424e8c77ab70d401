// Python-facing error handling: owned references, the error value `PyErr`, the
// lazily created `PanicException`, and the call guard that every entry from
// Python runs inside.
//
// Expected failures are `PyErr` values returned up to the guard, which raises
// them. Internal failures are `Panic` exceptions (panic.hpp), caught by the
// guard and raised as `PanicException(message)`. Only the guard turns either
// into the interpreter's error indicator, so each call raises exactly once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <utility>

#include "panic.hpp"

namespace veltra {

// Whether this thread may touch Python objects now. Not so while a thread
// that the finalising interpreter ends unwinds its stack: it no longer holds
// the interpreter lock, so what its frames hold is left to the process's exit.
inline bool may_touch_objects() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing() != 0;
#else
    const bool finalizing = _Py_IsFinalizing() != 0;
#endif
    return !finalizing || PyGILState_Check() != 0;
}

// A borrowed reference: valid only while someone else owns the object.
class Handle {
public:
    Handle() noexcept = default;
    explicit Handle(PyObject* p) noexcept : p_(p) {}
    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// An owned (strong) reference, released when it goes out of scope.
class Object {
public:
    Object() noexcept = default;
    static Object steal(PyObject* p) noexcept { return Object(p); }
    static Object new_ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Object(p);
    }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Object(Object&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Object& operator=(Object&& other) noexcept {
        if (this != &other)
            drop(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    ~Object() { drop(p_); }

    PyObject* get() const noexcept { return p_; }
    Handle handle() const noexcept { return Handle(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. to a function that steals it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Object(PyObject* p) noexcept : p_(p) {}
    static void drop(PyObject* p) noexcept {
        if (p != nullptr && may_touch_objects())
            Py_DECREF(p);
    }
    PyObject* p_ = nullptr;
};

// The error value. It has one owner and is raised at most once.
class PyErr {
public:
    // Lazy errors: the exception is only built when raised or inspected.
    static PyErr new_message(PyObject* type, std::string message);
    // "'{type}' object cannot be converted to '{target}'" for `obj`'s type.
    static PyErr refusal(Handle obj, const char* target);
    static PyErr panic_exception(std::string message);

    // The interpreter's pending error, if any. A pending PanicException is a
    // panic coming back through Python: it is printed and resumed as a Panic.
    static std::optional<PyErr> fetch();
    // The pending error, or SystemError when a failing API left none.
    static PyErr fetch_or_system_error();

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;

    // Puts the error into the interpreter's indicator, consuming it.
    void restore() &&;

    // Materialised parts (borrowed).
    Handle type();
    Handle value();
    Handle traceback();
    // The instance's __cause__, or None.
    Object cause();
    // Sets __cause__ (None clears it); either way the context is suppressed.
    void set_cause(Object cause);

    // "PyErr { type: …, value: …, traceback: … }"
    std::string debug();

private:
    enum class State { Lazy, Fetched, Materialised };
    enum class Builder { Message, Refusal, PanicArgs };
    PyErr() = default;
    void materialise();
    Object build_args();

    State state_ = State::Lazy;
    Builder builder_ = Builder::Message;
    // Lazy: type_ is the exception type, value_ the refused object's type
    // (Refusal only), message_ the text. Fetched and materialised: the triple.
    Object type_;
    Object value_;
    Object traceback_;
    std::string message_;
    const char* target_ = nullptr;
};

template <class T>
using PyResult = Result<T, PyErr>;

// An error value on its way up through code that cannot return one: the
// Python-free core, when a signal handler raised while it waited in a system
// call. The call guard raises it like a returned error.
class ErrorInFlight {
public:
    explicit ErrorInFlight(PyErr err) : err_(std::make_shared<PyErr>(std::move(err))) {}
    PyErr take() const { return std::move(*err_); }

private:
    // Shared, since a thrown object must be copyable.
    std::shared_ptr<PyErr> err_;
};

// For a system call of the core that a signal interrupted (sys.hpp): runs the
// interpreter's pending signal handlers, as Python's own I/O does, and throws
// `ErrorInFlight` when one raises (KeyboardInterrupt, say).
void run_signal_handlers();

// For a system call of the core that may wait for long (sys.hpp): the
// interpreter lock, let go meanwhile as Python's own I/O does, so that other
// threads run and the main thread's signal handlers with them. A thread that
// does not hold it (a pool worker) has nothing to let go: nullptr.
void* release_interpreter() noexcept;
void retake_interpreter(void* state);

// The process-wide "pyo3_runtime.PanicException" type, created on first use.
PyObject* panic_exception_type();

// For constructors that cannot fail in practice (PyTuple_New and friends):
// prints the pending error and panics with "Python API call failed".
Object expect_new(PyObject* created, std::source_location where = std::source_location::current());

// A new tuple that takes over `items`.
template <class... Items>
Object make_tuple(Items&&... items) {
    Object tuple = expect_new(PyTuple_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(tuple.get(), i++, items.release())), ...);
    return tuple;
}

// str() and repr() as UTF-8, with the fallbacks for unpaired surrogates and
// for objects whose __str__ raises.
std::string text_of(Handle obj);
std::string repr_of(Handle obj);

namespace detail {
// Counts the guarded entries active on this thread.
class GuardDepth {
public:
    GuardDepth() noexcept;
    GuardDepth(const GuardDepth&) = delete;
    GuardDepth& operator=(const GuardDepth&) = delete;
    ~GuardDepth();
};
// Raise the outcome of a guarded region; abort if that itself fails.
void raise_error(PyErr&& err);
void raise_failure(std::exception_ptr failure);
void report_unraisable(std::exception_ptr failure);
}  // namespace detail

// The frame of every object-returning entry from Python. `work` returns a
// `PyResult<Object>`; the guard returns a new reference or NULL with the
// error raised.
//
// Not noexcept, and no handler here may take a forced unwind: when the
// finalising interpreter ends a daemon thread inside a call (pthread_exit),
// the unwind has to pass through every frame, or the process aborts.
template <class F>
PyObject* call_guard(F&& work) {
    const detail::GuardDepth depth;
    PyObject* result = nullptr;
    std::optional<PyErr> error;
    const std::exception_ptr failure = failure_of([&] {
        PyResult<Object> outcome = std::forward<F>(work)();
        if (outcome)
            result = std::move(outcome).value().release();
        else
            error.emplace(std::move(outcome).error());
    });
    if (error)
        detail::raise_error(std::move(*error));
    else if (failure)
        detail::raise_failure(failure);
    return result;
}

// The frame of deallocation callbacks: nothing can be raised there, so a
// failure goes to the interpreter's unraisable hook.
template <class F>
void dealloc_guard(F&& work) {
    const detail::GuardDepth depth;
    if (const std::exception_ptr failure = failure_of(std::forward<F>(work)))
        detail::report_unraisable(failure);
}

}  // namespace veltra
