// Hooks into the chunk parser and the token tables, which parse_fasta only
// reaches through the file read and the pool.
#include <cstdint>
#include <span>

#include "errors.hpp"
#include "fasta.hpp"
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

        Object ids = veltra::expect_new(PyList_New(static_cast<Py_ssize_t>(chunk.ids.size())));
        for (std::size_t i = 0; i < chunk.ids.size(); ++i)
            PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i),
                            veltra::expect_new(PyLong_FromUnsignedLongLong(chunk.ids[i])).release());
        Object offsets = veltra::expect_new(PyList_New(static_cast<Py_ssize_t>(chunk.offsets.size())));
        for (std::size_t i = 0; i < chunk.offsets.size(); ++i)
            PyList_SET_ITEM(offsets.get(), static_cast<Py_ssize_t>(i),
                            veltra::expect_new(PyLong_FromLongLong(chunk.offsets[i])).release());
        Object tokens =
            veltra::expect_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.tokens.data()),
                                                         static_cast<Py_ssize_t>(chunk.tokens.size())));
        return veltra::make_tuple(std::move(ids), std::move(tokens), std::move(offsets));
    });
}

PyMethodDef fasta_methods[] = {
    {"build_token_table", build_token_table, METH_O, "build_token_table(is_rna) -> bytes"},
    {"parse_chunk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_chunk)), METH_FASTCALL,
     "parse_chunk(image, start, end, is_rna) -> (ids, tokens, offsets)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testing::register_fasta(PyObject* module) {
    return PyModule_AddFunctions(module, fasta_methods);
}
