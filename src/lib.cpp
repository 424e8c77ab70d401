// The module: its definition and initialisation, the four function entry
// points, and the binding and conversion of their arguments. Each entry point
// is a thin edge: bind, convert, call a Python-free core (fasta.hpp) or a
// body (data.hpp), and hand the result back, all inside the call guard.
#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data.hpp"
#include "errors.hpp"
#include "fasta.hpp"
#include "numpy_bridge.hpp"
#include "sys.hpp"

namespace veltra {
namespace {

// ---------------------------------------------------------------------------
// Binding

template <std::size_t N>
struct ArgumentSpec {
    const char* function;  // display name, e.g. "parse_fasta"
    std::array<const char*, N> params;
};

template <std::size_t N>
using Slots = std::array<PyObject*, N>;

PyErr type_error(std::string message) {
    return PyErr::new_message(PyExc_TypeError, std::move(message));
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// Binds positional and keyword arguments to the parameter slots; every
// parameter is required and none is keyword-only.
template <std::size_t N>
PyResult<Slots<N>> bind(const ArgumentSpec<N>& signature, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    const std::string function = std::string(signature.function) + "()";
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    Slots<N> slots{};
    if (nargs > N)
        return type_error(function + " takes " + std::to_string(N) + " positional arguments but " +
                          std::to_string(nargs) + " were given");
    for (std::size_t i = 0; i < nargs; ++i)
        slots[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        std::optional<std::size_t> match;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
        } else {
            const std::string_view given(utf8, static_cast<std::size_t>(size));
            for (std::size_t i = 0; i < N; ++i)
                if (given == signature.params[i])
                    match = i;
        }
        if (!match)
            return type_error(function + " got an unexpected keyword argument '" + text_of(Handle(name)) +
                              "'");
        if (slots[*match] != nullptr)
            return type_error(function + " got multiple values for argument '" + signature.params[*match] +
                              "'");
        slots[*match] = args[nargs + static_cast<std::size_t>(k)];
    }

    if (nargs < N) {
        std::vector<const char*> missing;
        for (std::size_t i = nargs; i < N; ++i)
            if (slots[i] == nullptr)
                missing.push_back(signature.params[i]);
        if (!missing.empty())
            return type_error(function + " missing " + std::to_string(missing.size()) +
                              " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                              ": " + quoted_list(missing));
    }
    return slots;
}

// ---------------------------------------------------------------------------
// Conversion

// A conversion error that is exactly a TypeError names the parameter.
PyErr with_argument_name(PyErr error, const char* name) {
    if (error.type().ptr() != PyExc_TypeError)
        return error;
    PyErr renamed = type_error(std::string("argument '") + name + "': " + text_of(error.value()));
    renamed.set_cause(error.cause());
    return renamed;
}

PyResult<std::string_view> convert_text(PyObject* obj) {
    if (!PyUnicode_Check(obj))
        return PyErr::refusal(Handle(obj), "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr)
        return PyErr::fetch_or_system_error();
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

constexpr int npy_ubyte = 2;

PyResult<np::SharedBorrow> convert_byte_array(PyObject* obj) {
    const Handle h(obj);
    if (!np::is_ndarray(h) || np::ndim(h) != 1 || !np::has_dtype_of(h, npy_ubyte))
        return PyErr::refusal(h, "PyArray<T, D>");
    return np::SharedBorrow::acquire(h);
}

PyResult<bool> convert_flag(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyBool_Type))
        return obj == Py_True;
    PyTypeObject* type = Py_TYPE(obj);
    const std::string_view name = type->tp_name ? type->tp_name : "";
    // NumPy 1 names its boolean scalar "numpy.bool_", NumPy 2 "numpy.bool".
    if (check_utf8(name).valid && (name == "numpy.bool_" || name == "numpy.bool")) {
        if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr)
            return type_error("object of type '" + text_of(Handle(reinterpret_cast<PyObject*>(type))) +
                              "' does not define a '__bool__' conversion");
        switch (type->tp_as_number->nb_bool(obj)) {
            case 0:
                return false;
            case 1:
                return true;
            default:
                return PyErr::fetch_or_system_error();
        }
    }
    return PyErr::refusal(Handle(obj), "PyBool");
}

PyResult<Object> convert_list(PyObject* obj) {
    if (!PyList_Check(obj))
        return PyErr::refusal(Handle(obj), "PyList");
    return Object::new_ref(obj);
}

// ---------------------------------------------------------------------------
// Entry points

constexpr ArgumentSpec<3> parse_fasta_spec{"parse_fasta", {"path", "mapping", "is_rna"}};

PyResult<Object> parse_fasta_body(std::string_view path, const np::SharedBorrow& mapping, bool is_rna) {
    const Handle array = mapping.array();
    if (!np::is_contiguous(array))
        return type_error("The given array is not contiguous");
    ensure(np::element_count(array) == 5, "assertion failed: mapping.len() == 5");
    fasta::Parsed parsed = fasta::parse_file(path, is_rna);
    Object tokens = np::array_from_buffer(std::move(parsed.tokens));
    Object offsets = np::array_from_buffer(std::move(parsed.offsets));
    Object ids = np::array_from_buffer(std::move(parsed.ids));
    return make_tuple(std::move(tokens), std::move(offsets), std::move(ids));
}

PyObject* parse_fasta(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyResult<Object> {
        auto slots = bind(parse_fasta_spec, args, nargs, kwnames);
        if (!slots)
            return std::move(slots).error();
        auto path = convert_text(slots.value()[0]);
        if (!path)
            return with_argument_name(std::move(path).error(), "path");
        auto mapping = convert_byte_array(slots.value()[1]);
        if (!mapping)
            return with_argument_name(std::move(mapping).error(), "mapping");
        auto is_rna = convert_flag(slots.value()[2]);
        if (!is_rna)
            return with_argument_name(std::move(is_rna).error(), "is_rna");
        return parse_fasta_body(path.value(), mapping.value(), is_rna.value());
    });
}

// The three array functions share one shape: a single list argument.
template <const ArgumentSpec<1>& Signature, PyResult<Object> (*Body)(Handle)>
PyObject* list_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyResult<Object> {
        auto slots = bind(Signature, args, nargs, kwnames);
        if (!slots)
            return std::move(slots).error();
        auto list = convert_list(slots.value()[0]);
        if (!list)
            return with_argument_name(std::move(list).error(), "arrays");
        return Body(list.value().handle());
    });
}

constexpr ArgumentSpec<1> concatenate_numpy_spec{"concatenate_numpy", {"arrays"}};
constexpr ArgumentSpec<1> concatenate_awkward_spec{"concatenate_awkward", {"arrays"}};
constexpr ArgumentSpec<1> awkward_from_list_spec{"awkward_from_list_of_numpy", {"arrays"}};

// Function objects refer to these for the life of the process.
PyMethodDef function_table[] = {
    {"parse_fasta", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_fasta)),
     METH_FASTCALL | METH_KEYWORDS, "parse_fasta(path, mapping, is_rna)\n--\n\n"},
    {"concatenate_numpy",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(list_entry<concatenate_numpy_spec, data::concatenate_numpy>)),
     METH_FASTCALL | METH_KEYWORDS, "concatenate_numpy(arrays)\n--\n\n"},
    {"concatenate_awkward",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(list_entry<concatenate_awkward_spec, data::concatenate_awkward>)),
     METH_FASTCALL | METH_KEYWORDS, "concatenate_awkward(arrays)\n--\n\n"},
    {"awkward_from_list_of_numpy",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(list_entry<awkward_from_list_spec, data::awkward_from_list_of_numpy>)),
     METH_FASTCALL | METH_KEYWORDS, "awkward_from_list_of_numpy(arrays)\n--\n\n"},
};

// ---------------------------------------------------------------------------
// Module

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "veltra_native",
    "A Python module implemented in native code: FASTA files to NumPy token arrays, and joins of NumPy "
    "and jagged list arrays.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int module_api_version = 1013;

std::atomic<std::int64_t> interpreter_owner{-1};
PyObject* module_slot = nullptr;  // strong, never released
PyObject* interned_name = nullptr;
PyObject* interned_all = nullptr;

PyObject* interned(PyObject*& slot, const char* text) {
    if (slot == nullptr)
        slot = expect_new(PyUnicode_InternFromString(text)).release();
    return slot;
}

// The module's __all__ list, created on first need.
PyResult<Object> all_list(PyObject* module) {
    Object all = Object::steal(PyObject_GetAttr(module, interned(interned_all, "__all__")));
    if (!all) {
        PyErr err = PyErr::fetch_or_system_error();
        if (!PyErr_GivenExceptionMatches(err.type().ptr(), PyExc_AttributeError))
            return err;
        all = expect_new(PyList_New(0));
        if (PyObject_SetAttr(module, interned_all, all.get()) != 0)
            return PyErr::fetch_or_system_error();
        return all;
    }
    if (!PyList_Check(all.get()))
        return PyErr::refusal(all.handle(), "PyList");
    return all;
}

PyResult<Unit> add_function(PyObject* module, PyMethodDef* def) {
    Object module_name = Object::steal(PyModule_GetNameObject(module));
    if (!module_name)
        return PyErr::fetch_or_system_error();
    Object function = Object::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function)
        return PyErr::fetch_or_system_error();
    Object name = Object::steal(PyObject_GetAttr(function.get(), interned(interned_name, "__name__")));
    if (!name)
        return PyErr::fetch_or_system_error();
    if (!PyUnicode_Check(name.get()))
        return PyErr::refusal(name.handle(), "PyString");
    auto all = all_list(module);
    if (!all)
        return std::move(all).error();
    if (PyList_Append(all.value().get(), name.get()) != 0)
        panic("could not append __name__ to __all__: " + PyErr::fetch_or_system_error().debug());
    if (PyObject_SetAttr(module, name.get(), function.get()) != 0)
        return PyErr::fetch_or_system_error();
    return Unit{};
}

PyResult<Object> init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1)
        return PyErr::fetch_or_system_error();
    std::int64_t expected = -1;
    if (!interpreter_owner.compare_exchange_strong(expected, id, std::memory_order_seq_cst) && expected != id)
        return PyErr::new_message(PyExc_ImportError,
                                  "veltra_native does not yet support subinterpreters, see "
                                  "https://github.com/veltra-bio/veltra_native/issues/1");
    if (module_slot != nullptr)
        return Object::new_ref(module_slot);

    // A signal that interrupts the core's system calls runs the Python
    // handlers, so that Ctrl-C can end a call that waits on a pipe.
    sys::set_interrupt_hook(run_signal_handlers);
    // One that waits there lets other threads run: a wait that nothing ends
    // (a FIFO without a writer) then cannot keep the main thread from its
    // handlers.
    sys::set_blocking_hooks(release_interpreter, retake_interpreter);
    Object module = Object::steal(PyModule_Create2(&module_def, module_api_version));
    if (!module)
        return PyErr::fetch_or_system_error();
    for (PyMethodDef& def : function_table) {
        auto added = add_function(module.get(), &def);
        if (!added)
            return std::move(added).error();
    }
    if (module_slot == nullptr)
        module_slot = Object::new_ref(module.get()).release();
    return Object::new_ref(module_slot);
}

}  // namespace
}  // namespace veltra

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_veltra_native() {
    return veltra::call_guard(veltra::init_module);
}
