#include "errors.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <new>
#include <string_view>
#include <vector>

namespace veltra {

namespace {

constexpr const char* panic_exception_doc =
    "\n"
    "Raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it typically propagates\n"
    "all the way up the stack and makes the Python interpreter exit.\n";

constexpr std::string_view guard_message = "uncaught panic at ffi boundary";

thread_local long guard_depth = 0;

// A failure while a failure is being translated cannot become an exception.
[[noreturn]] void abort_at_boundary(std::source_location where = std::source_location::current()) {
    write_panic_report(guard_message, where);
    std::abort();
}

PyObject* panic_type_slot = nullptr;

// UTF-8 of a str object, replacing unpaired surrogates.
std::string unicode_to_utf8(PyObject* s) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    Object bytes = expect_new(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    return utf8_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

// A str of native text. Messages may carry bytes that are not UTF-8 (the
// what() of a foreign exception, text taken from the system); those become
// U+FFFD, since failing here would abort the translation of the very error
// that carries them.
Object text_object(const std::string& text) {
    if (check_utf8(text).valid)
        return expect_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    const std::string lossy = utf8_lossy(text);
    return expect_new(PyUnicode_FromStringAndSize(lossy.data(), static_cast<Py_ssize_t>(lossy.size())));
}

std::string render_with(Handle obj, PyObject* (*render)(PyObject*)) {
    Object s = Object::steal(render(obj.ptr()));
    if (!s) {
        PyErr_WriteUnraisable(obj.ptr());
        const char* name = Py_TYPE(obj.ptr())->tp_name;
        if (name != nullptr && check_utf8(name).valid)
            return std::string("<unprintable ") + name + " object>";
        return "<unprintable object>";
    }
    return unicode_to_utf8(s.get());
}

}  // namespace

PyObject* panic_exception_type() {
    if (panic_type_slot == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc,
                                                      PyExc_BaseException, nullptr);
        if (created == nullptr) {
            // Translating a failure needs this type, so there is nothing left to
            // fall back on.
            PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            std::string detail = "PyErr { type: " + (type ? repr_of(Handle(type)) : "None") +
                                 ", value: " + (value ? repr_of(Handle(value)) : "None") +
                                 ", traceback: None }";
            write_panic_report("Failed to initialize new exception type.: " + detail,
                               std::source_location::current());
            abort_at_boundary();
        }
        panic_type_slot = created;
    }
    return panic_type_slot;
}

Object expect_new(PyObject* created, std::source_location where) {
    if (created == nullptr) {
        PyErr_Print();
        panic("Python API call failed", where);
    }
    return Object::steal(created);
}

std::string text_of(Handle obj) {
    return render_with(obj, PyObject_Str);
}
std::string repr_of(Handle obj) {
    return render_with(obj, PyObject_Repr);
}

PyErr PyErr::new_message(PyObject* type, std::string message) {
    PyErr err;
    err.type_ = Object::new_ref(type);
    err.message_ = std::move(message);
    return err;
}

PyErr PyErr::refusal(Handle obj, const char* target) {
    PyErr err;
    err.builder_ = Builder::Refusal;
    err.type_ = Object::new_ref(PyExc_TypeError);
    err.value_ = Object::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    err.target_ = target;
    return err;
}

PyErr PyErr::panic_exception(std::string message) {
    PyErr err;
    err.builder_ = Builder::PanicArgs;
    err.type_ = Object::new_ref(panic_exception_type());
    err.message_ = std::move(message);
    return err;
}

std::optional<PyErr> PyErr::fetch() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    Object t = Object::steal(type), v = Object::steal(value), b = Object::steal(tb);
    if (!t)
        return std::nullopt;
    if (t.get() == panic_exception_type()) {
        std::string message = "Unwrapped panic from Python code";
        if (v) {
            if (Object s = Object::steal(PyObject_Str(v.get())))
                message = unicode_to_utf8(s.get());
            else
                PyErr_Clear();
        }
        static constexpr std::string_view banner =
            "--- A panic is being resumed after a PanicException was fetched from Python. ---\n"
            "Python stack trace below:\n";
        [[maybe_unused]] ssize_t written = ::write(2, banner.data(), banner.size());
        PyErr_Restore(t.release(), v.release(), b.release());
        PyErr_PrintEx(0);
        resume_panic(std::move(message));
    }
    PyErr err;
    err.state_ = State::Fetched;
    err.type_ = std::move(t);
    err.value_ = std::move(v);
    err.traceback_ = std::move(b);
    return err;
}

PyErr PyErr::fetch_or_system_error() {
    if (std::optional<PyErr> err = fetch())
        return std::move(*err);
    return new_message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

Object PyErr::build_args() {
    switch (builder_) {
        case Builder::Message:
            return text_object(message_);
        case Builder::Refusal: {
            std::string name = "<failed to extract type name>";
            if (Object qualname =
                    Object::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(value_.get()))))
                name = text_of(qualname.handle());
            else
                PyErr_Clear();
            std::string text = "'" + name + "' object cannot be converted to '" + target_ + "'";
            return text_object(text);
        }
        case Builder::PanicArgs: {
            Object text = text_object(message_);
            Object args = expect_new(PyTuple_New(1));
            PyTuple_SET_ITEM(args.get(), 0, text.release());
            return args;
        }
    }
    return Object();
}

void PyErr::materialise() {
    if (state_ == State::Materialised)
        return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    if (state_ == State::Lazy) {
        Object args = build_args();
        PyObject* t = type_.get();
        if (PyType_Check(t) &&
            PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(t), Py_TPFLAGS_BASE_EXC_SUBCLASS))
            PyErr_SetObject(t, args.get());
        else
            PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        PyErr_Fetch(&type, &value, &tb);
    } else {
        type = type_.release();
        value = value_.release();
        tb = traceback_.release();
    }
    PyErr_NormalizeException(&type, &value, &tb);
    type_ = Object::steal(type);
    value_ = Object::steal(value);
    traceback_ = Object::steal(tb);
    state_ = State::Materialised;
    ensure(static_cast<bool>(type_), "Exception type missing");
    ensure(static_cast<bool>(value_), "Exception value missing");
}

void PyErr::restore() && {
    if (state_ == State::Lazy)
        materialise();
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

Handle PyErr::type() {
    materialise();
    return type_.handle();
}

Handle PyErr::value() {
    materialise();
    return value_.handle();
}

Handle PyErr::traceback() {
    materialise();
    return traceback_.handle();
}

Object PyErr::cause() {
    materialise();
    if (PyObject* cause = PyException_GetCause(value_.get()))
        return Object::steal(cause);
    return Object::new_ref(Py_None);
}

void PyErr::set_cause(Object cause) {
    materialise();
    PyObject* raw = cause.get() == Py_None ? nullptr : cause.release();
    PyException_SetCause(value_.get(), raw);
}

std::string PyErr::debug() {
    const bool needs_lock = !PyGILState_Check();
    PyGILState_STATE gil{};
    if (needs_lock)
        gil = PyGILState_Ensure();
    materialise();
    std::string out =
        "PyErr { type: " + repr_of(type_.handle()) + ", value: " + repr_of(value_.handle()) + ", traceback: ";
    out += traceback_ ? "Some(" + repr_of(traceback_.handle()) + ")" : std::string("None");
    out += " }";
    if (needs_lock)
        PyGILState_Release(gil);
    return out;
}

void run_signal_handlers() {
    // Only a thread that holds the interpreter lock may run Python code; a
    // pool worker just retries.
    if (PyGILState_Check() == 0)
        return;
    if (PyErr_CheckSignals() != 0)
        throw ErrorInFlight(PyErr::fetch_or_system_error());
}

void* release_interpreter() noexcept {
    return PyGILState_Check() != 0 ? PyEval_SaveThread() : nullptr;
}

void retake_interpreter(void* state) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

namespace detail {

GuardDepth::GuardDepth() noexcept {
    if (guard_depth < 0) {
        write_panic_report("access to the Python API is not allowed on this thread",
                           std::source_location::current());
        abort_at_boundary();
    }
    ++guard_depth;
    prepare_thread_for_exceptions();
}

GuardDepth::~GuardDepth() {
    --guard_depth;
}

void raise_error(PyErr&& err) {
    if (failure_of([&] { std::move(err).restore(); }))
        abort_at_boundary();
}

namespace {

// MemoryError on a road that needs no heap, since the heap may be what ran
// out: should even the message object not fit, the interpreter's own
// MemoryError, kept ready for this, stands in.
void raise_memory_error(std::string_view message) noexcept {
    PyObject* object = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (object == nullptr) {
        PyErr_Clear();
        PyErr_NoMemory();
        return;
    }
    PyErr_SetObject(PyExc_MemoryError, object);
    Py_DECREF(object);
}

// The same for a failed allocation, its text formed on the stack.
void raise_allocation_failed(const std::size_t* bytes) noexcept {
    std::array<char, 64> text{};
    std::string_view message = "memory allocation failed";
    if (bytes != nullptr) {
        constexpr std::string_view head = "memory allocation of ";
        constexpr std::string_view tail = " bytes failed";
        char* out = std::copy(head.begin(), head.end(), text.data());
        out = std::to_chars(out, text.data() + text.size() - tail.size(), *bytes).ptr;
        out = std::copy(tail.begin(), tail.end(), out);
        message = std::string_view(text.data(), static_cast<std::size_t>(out - text.data()));
    }
    raise_memory_error(message);
}

// Raises MemoryError if `failure` is a failed allocation.
bool raised_out_of_memory(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const AllocFailure& a) {
        raise_allocation_failed(&a.bytes);
        return true;
    } catch (const std::bad_alloc&) {
        raise_allocation_failed(nullptr);
        return true;
    } catch (const MemoryShortage& m) {
        raise_memory_error(m.message);
        return true;
    } catch (...) {
        return false;
    }
}

// A note as Python text: its words, then its shown bytes as repr shows them.
// Null, and nothing pending, where it cannot be made.
Object note_text(const Note& note) {
    const std::string words = check_utf8(note.text).valid ? note.text : utf8_lossy(note.text);
    Object text =
        Object::steal(PyUnicode_FromStringAndSize(words.data(), static_cast<Py_ssize_t>(words.size())));
    if (text && note.shown) {
        const auto size = static_cast<Py_ssize_t>(note.shown->size());
        Object shown = Object::steal(PyUnicode_DecodeUTF8(note.shown->data(), size, "strict"));
        if (!shown) {
            PyErr_Clear();
            shown = Object::steal(PyBytes_FromStringAndSize(note.shown->data(), size));
        }
        Object repr = shown ? Object::steal(PyObject_Repr(shown.get())) : Object();
        text = repr ? Object::steal(PyUnicode_Concat(text.get(), repr.get())) : Object();
    }
    if (!text)
        PyErr_Clear();
    return text;
}

// The failure's notes become the exception's own. One that cannot be added
// is left out: the exception is what has to reach the caller.
void add_notes(PyErr& err, const std::vector<Note>& notes) {
    if (notes.empty())
        return;
    try {
        PyObject* exception = err.value().ptr();
        for (const Note& note : notes) {
            const Object text = note_text(note);
            if (!text || !Object::steal(PyObject_CallMethod(exception, "add_note", "O", text.get())))
                PyErr_Clear();
        }
    } catch (const std::bad_alloc&) {
    }
}

// What a caught failure other than a failed allocation becomes in Python.
PyErr translate(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ErrorInFlight& e) {
        return e.take();
    } catch (Panic& p) {
        PyErr err = PyErr::panic_exception(std::move(p.message));
        add_notes(err, p.notes);
        return err;
    } catch (const std::exception& e) {
        // Not raised by this module's own checks, so nobody reported it yet.
        write_panic_report(e.what(), std::source_location::current());
        return PyErr::panic_exception(e.what());
    } catch (...) {
        constexpr const char* unknown = "unknown internal failure";
        write_panic_report(unknown, std::source_location::current());
        return PyErr::panic_exception(unknown);
    }
}

// The error indicator set from `failure`; a plain MemoryError where building
// the exception itself finds no memory.
void set_error_from(std::exception_ptr failure) {
    if (raised_out_of_memory(failure))
        return;
    const std::exception_ptr failed = failure_of([&] { translate(failure).restore(); });
    if (!failed)
        return;
    try {
        std::rethrow_exception(failed);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const AllocFailure&) {
        PyErr_NoMemory();
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace

void raise_failure(std::exception_ptr failure) {
    set_error_from(failure);
}

void report_unraisable(std::exception_ptr failure) {
    set_error_from(failure);
    PyErr_WriteUnraisable(nullptr);
}

}  // namespace detail

}  // namespace veltra
