// Hooks into the chunk parser and the token tables, which parse_fasta only
// reaches through the file read and the pool, and into the driver between its
// two passes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "errors.hpp"
#include "fasta.hpp"
#include "fasta/chunk.hpp"
#include "fasta/gzip.hpp"
#include "fasta/pieces.hpp"
#include "testing.hpp"

namespace {

using veltra::Object;
using veltra::PyErr;
using veltra::PyResult;

PyResult<bool> flag_arg(PyObject* obj) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0)
        return PyErr::fetch_or_system_error();
    return truth != 0;
}

PyResult<std::size_t> position_arg(PyObject* obj) {
    const std::size_t value = PyLong_AsSize_t(obj);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred())
        return PyErr::fetch_or_system_error();
    return value;
}

// (ids list, tokens bytes, offsets list)
Object result_tuple(std::span<const std::uint64_t> ids_in, std::span<const std::uint8_t> tokens_in,
                    std::span<const std::int64_t> offsets_in) {
    Object ids = veltra::expect_new(PyList_New(static_cast<Py_ssize_t>(ids_in.size())));
    for (std::size_t i = 0; i < ids_in.size(); ++i)
        PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i),
                        veltra::expect_new(PyLong_FromUnsignedLongLong(ids_in[i])).release());
    Object offsets = veltra::expect_new(PyList_New(static_cast<Py_ssize_t>(offsets_in.size())));
    for (std::size_t i = 0; i < offsets_in.size(); ++i)
        PyList_SET_ITEM(offsets.get(), static_cast<Py_ssize_t>(i),
                        veltra::expect_new(PyLong_FromLongLong(offsets_in[i])).release());
    Object tokens = veltra::expect_new(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(tokens_in.data()), static_cast<Py_ssize_t>(tokens_in.size())));
    return veltra::make_tuple(std::move(ids), std::move(tokens), std::move(offsets));
}

// What the file holds from the moment the first pass is done.
std::string rewritten;

// Writes in place rather than replacing the file, so that the descriptor the
// driver holds sees the change.
void rewrite_between_passes(std::string_view path) {
    const int fd = ::open(std::string(path).c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0;
    for (std::size_t done = 0; ok && done < rewritten.size();) {
        const ssize_t n =
            ::pwrite(fd, rewritten.data() + done, rewritten.size() - done, static_cast<off_t>(done));
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    ok = ok && ::ftruncate(fd, static_cast<off_t>(rewritten.size())) == 0;
    if (fd >= 0)
        ::close(fd);
    veltra::ensure(ok, "the test could not rewrite the file");
}

// build_token_table(is_rna) -> bytes of 256 codes
PyObject* build_token_table(PyObject*, PyObject* arg) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        auto is_rna = flag_arg(arg);
        if (!is_rna)
            return std::move(is_rna).error();
        const veltra::fasta::TokenTable table = veltra::fasta::build_token_table(is_rna.value());
        return veltra::expect_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(table.data()),
                                                            static_cast<Py_ssize_t>(table.size())));
    });
}

// parse_chunk(image: bytes, start, end, is_rna) -> (ids list, tokens bytes, offsets list)
PyObject* parse_chunk(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        if (nargs != 4)
            return PyErr::new_message(PyExc_TypeError,
                                      "parse_chunk(image, start, end, is_rna) takes 4 arguments");
        if (!PyBytes_Check(args[0]))
            return PyErr::refusal(veltra::Handle(args[0]), "PyBytes");
        auto start = position_arg(args[1]);
        if (!start)
            return std::move(start).error();
        auto end = position_arg(args[2]);
        if (!end)
            return std::move(end).error();
        auto is_rna = flag_arg(args[3]);
        if (!is_rna)
            return std::move(is_rna).error();

        const std::span<const std::uint8_t> image(
            reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(args[0])),
            static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
        const veltra::fasta::TokenTable table = veltra::fasta::build_token_table(is_rna.value());
        const veltra::fasta::ChunkResult chunk =
            veltra::fasta::parse_chunk(image, start.value(), end.value(), table);

        return result_tuple(chunk.ids.span(), chunk.tokens.span(), chunk.offsets.span());
    });
}

// parse_file(path, is_rna, contents=None) -> (ids, tokens, offsets): the whole
// driver; given `contents`, the file holds them from the end of the first
// pass on.
PyObject* parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        if (nargs < 2 || nargs > 3 || !PyUnicode_Check(args[0]) || (nargs == 3 && !PyBytes_Check(args[2])))
            return PyErr::new_message(PyExc_TypeError,
                                      "parse_file(path: str, is_rna, contents: bytes = None)");
        Py_ssize_t size = 0;
        const char* path = PyUnicode_AsUTF8AndSize(args[0], &size);
        if (path == nullptr)
            return PyErr::fetch_or_system_error();
        auto is_rna = flag_arg(args[1]);
        if (!is_rna)
            return std::move(is_rna).error();
        struct Unhook {
            ~Unhook() { veltra::fasta::between_passes = nullptr; }
        } unhook;
        if (nargs == 3) {
            rewritten.assign(PyBytes_AS_STRING(args[2]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[2])));
            veltra::fasta::between_passes = rewrite_between_passes;
        }
        const veltra::fasta::Parsed parsed =
            veltra::fasta::parse_file(std::string_view(path, static_cast<std::size_t>(size)), is_rna.value());
        return result_tuple(parsed.ids.span(), parsed.tokens.span(), parsed.offsets.span());
    });
}

// Sets a size of the parser from an argument, `zero` standing for 0, and
// returns its previous value.
template <class T>
PyObject* swap_size(PyObject* arg, T& size, T zero) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        auto bytes = position_arg(arg);
        if (!bytes)
            return std::move(bytes).error();
        const T previous = std::exchange(size, bytes.value() == 0 ? zero : static_cast<T>(bytes.value()));
        return veltra::expect_new(PyLong_FromUnsignedLongLong(previous));
    });
}

// set_read_window(bytes) -> the previous size, for the reads of the driver
// above; 0 restores the default.
PyObject* set_read_window(PyObject*, PyObject* arg) {
    return swap_size(arg, veltra::fasta::read_window, veltra::fasta::default_read_window);
}

// set_pieces_from(bytes) -> the previous size, from which regular files are
// parsed in pieces; 0 for every file.
PyObject* set_pieces_from(PyObject*, PyObject* arg) {
    return swap_size<std::uint64_t>(arg, veltra::fasta::pieces_from, 0);
}

// use_fast_inflaters(on) -> whether they were on before, for the gzip
// inflation; None when the build has none, and zlib alone inflates.
PyObject* use_fast_inflaters(PyObject*, PyObject* arg) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const int on = PyObject_IsTrue(arg);
        if (on < 0)
            return veltra::PyErr::fetch_or_system_error();
        if (!veltra::fasta::gzip::have_fast_inflaters())
            return veltra::expect_new(Py_NewRef(Py_None));
        return veltra::expect_new(PyBool_FromLong(veltra::fasta::gzip::use_fast_inflaters(on != 0)));
    });
}

PyMethodDef fasta_methods[] = {
    {"build_token_table", build_token_table, METH_O, "build_token_table(is_rna) -> bytes"},
    {"parse_chunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_chunk)), METH_FASTCALL,
     "parse_chunk(image, start, end, is_rna) -> (ids, tokens, offsets)"},
    {"parse_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_file)), METH_FASTCALL,
     "parse_file(path, is_rna, contents=None) -> (ids, tokens, offsets)"},
    {"set_read_window", set_read_window, METH_O, "set_read_window(bytes) -> the previous size"},
    {"set_pieces_from", set_pieces_from, METH_O, "set_pieces_from(bytes) -> the previous size"},
    {"use_fast_inflaters", use_fast_inflaters, METH_O,
     "use_fast_inflaters(on) -> whether they were on, or None"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testing::register_fasta(PyObject* module) {
    return PyModule_AddFunctions(module, fasta_methods);
}
