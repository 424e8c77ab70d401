// Hooks into every FASTA kernel this CPU runs, not only the one the parser
// picks. Each call copies its input into a mapping whose end (or start) is a
// page that faults on access, so a read past either end of the window crashes
// the test instead of passing unseen; outputs get the same guard, and the
// bytes beside them are checked to be untouched.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "errors.hpp"
#include "fasta/kernel.hpp"
#include "testing.hpp"

namespace {

using veltra::Object;
using veltra::PyErr;
using veltra::PyResult;
namespace kernel = veltra::fasta::kernel;

constexpr std::uint8_t untouched = 0xA5;

// `size` bytes between two inaccessible pages, flush against the one after
// them or the one before them; the rest of the pages in between hold
// `untouched`.
class Guarded {
public:
    Guarded(std::size_t size, bool flush_end) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        body_ = (size + page - 1) / page * page;
        length_ = body_ + 2 * page;
        void* map = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED)
            return;
        base_ = static_cast<std::uint8_t*>(map);
        if (mprotect(base_, page, PROT_NONE) != 0 || mprotect(base_ + page + body_, page, PROT_NONE) != 0) {
            munmap(base_, length_);
            base_ = nullptr;
            return;
        }
        std::memset(base_ + page, untouched, body_);
        first_ = base_ + page;
        data_ = flush_end ? first_ + body_ - size : first_;
    }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    ~Guarded() {
        if (base_ != nullptr)
            munmap(base_, length_);
    }

    bool ok() const { return base_ != nullptr; }
    std::uint8_t* data() const { return data_; }
    // Whether every byte outside data()[0, written) is as it was.
    bool untouched_beyond(std::size_t written) const {
        for (const std::uint8_t* b = first_; b < first_ + body_; ++b)
            if ((b < data_ || b >= data_ + written) && *b != untouched)
                return false;
        return true;
    }

private:
    std::size_t body_ = 0;
    std::size_t length_ = 0;
    std::uint8_t* base_ = nullptr;
    std::uint8_t* first_ = nullptr;
    std::uint8_t* data_ = nullptr;
};

PyErr no_memory() {
    return PyErr::new_message(PyExc_MemoryError, "cannot map a guarded buffer");
}

PyErr wrote_outside(const char* what) {
    return PyErr::new_message(PyExc_AssertionError, std::string("kernel wrote outside its ") + what);
}

PyResult<const kernel::Kernel*> kernel_named(const char* name) {
    for (const kernel::Kernel* k : kernel::available())
        if (std::string_view(k->name) == name)
            return k;
    return PyErr::new_message(PyExc_ValueError, std::string("no kernel ") + name + " on this CPU");
}

PyResult<kernel::Tables> tables_of(const char* table, Py_ssize_t size) {
    veltra::fasta::TokenTable codes;
    if (size != static_cast<Py_ssize_t>(codes.size()))
        return PyErr::new_message(PyExc_ValueError, "a token table has 256 codes");
    std::memcpy(codes.data(), table, codes.size());
    return kernel::prepare(codes);
}

Object bytes_of(const std::uint8_t* data, std::size_t size) {
    return veltra::expect_new(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

Object size_of(std::size_t value) {
    return veltra::expect_new(PyLong_FromSize_t(value));
}

// kernel_names() -> [names], the portable kernel first; the last is the one chosen
PyObject* kernel_names(PyObject*, PyObject*) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        Object names = veltra::expect_new(PyList_New(0));
        for (const kernel::Kernel* k : kernel::available())
            if (PyList_Append(names.get(), veltra::expect_new(PyUnicode_FromString(k->name)).get()) != 0)
                return PyErr::fetch_or_system_error();
        return names;
    });
}

// kernel_selected() -> name
PyObject* kernel_selected(PyObject*, PyObject*) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        return veltra::expect_new(PyUnicode_FromString(kernel::selected().name));
    });
}

// kernel_prepare(table) -> (shaped, fallback)
PyObject* kernel_prepare(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const char* table = nullptr;
        Py_ssize_t table_size = 0;
        if (!PyArg_ParseTuple(args, "y#", &table, &table_size))
            return PyErr::fetch_or_system_error();
        auto tables = tables_of(table, table_size);
        if (!tables)
            return std::move(tables).error();
        return veltra::make_tuple(Object::new_ref(tables.value().shaped ? Py_True : Py_False),
                                  size_of(tables.value().fallback));
    });
}

// kernel_scan(name, data, line_start, flush_end) -> (stop, newlines)
PyObject* kernel_scan(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const char* name = nullptr;
        const char* data = nullptr;
        Py_ssize_t size = 0;
        int line_start = 0, flush_end = 0;
        if (!PyArg_ParseTuple(args, "sy#pp", &name, &data, &size, &line_start, &flush_end))
            return PyErr::fetch_or_system_error();
        auto k = kernel_named(name);
        if (!k)
            return std::move(k).error();
        const auto n = static_cast<std::size_t>(size);
        Guarded in(n, flush_end != 0);
        if (!in.ok())
            return no_memory();
        std::memcpy(in.data(), data, n);
        const kernel::Scan scan = k.value()->scan_to_header(in.data(), n, line_start != 0);
        return veltra::make_tuple(size_of(scan.stop), size_of(scan.newlines));
    });
}

// kernel_translate_line(name, data, table, flush_end) -> codes
// The output has room for exactly the line's codes.
PyObject* kernel_translate_line(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const char *name = nullptr, *data = nullptr, *table = nullptr;
        Py_ssize_t size = 0, table_size = 0;
        int flush_end = 0;
        if (!PyArg_ParseTuple(args, "sy#y#p", &name, &data, &size, &table, &table_size, &flush_end))
            return PyErr::fetch_or_system_error();
        auto k = kernel_named(name);
        if (!k)
            return std::move(k).error();
        auto tables = tables_of(table, table_size);
        if (!tables)
            return std::move(tables).error();
        const auto n = static_cast<std::size_t>(size);
        const void* newline = std::memchr(data, '\n', n);
        const std::size_t len =
            newline == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(newline) - data);
        Guarded in(n, flush_end != 0);
        Guarded out(len, flush_end != 0);
        if (!in.ok() || !out.ok())
            return no_memory();
        std::memcpy(in.data(), data, n);
        const std::size_t got = k.value()->translate_line(in.data(), n, out.data(), tables.value());
        if (got != len)
            return PyErr::new_message(PyExc_AssertionError, "the line length is not the first '\\n'");
        if (!out.untouched_beyond(len))
            return wrote_outside("line");
        return bytes_of(out.data(), len);
    });
}

// kernel_translate_lines(name, data, table, token_room, end_room, base, flush_end)
//     -> (used, codes, ends)
PyObject* kernel_translate_lines(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const char *name = nullptr, *data = nullptr, *table = nullptr;
        Py_ssize_t size = 0, table_size = 0;
        Py_ssize_t token_room = 0, end_room = 0;
        long long base = 0;
        int flush_end = 0;
        if (!PyArg_ParseTuple(args, "sy#y#nnLp", &name, &data, &size, &table, &table_size, &token_room,
                              &end_room, &base, &flush_end))
            return PyErr::fetch_or_system_error();
        if (token_room < 0 || end_room < 0)
            return PyErr::new_message(PyExc_ValueError, "negative room");
        auto k = kernel_named(name);
        if (!k)
            return std::move(k).error();
        auto tables = tables_of(table, table_size);
        if (!tables)
            return std::move(tables).error();
        const auto n = static_cast<std::size_t>(size);
        const auto tokens_size = static_cast<std::size_t>(token_room);
        const auto ends_size = static_cast<std::size_t>(end_room);
        Guarded in(n, flush_end != 0);
        Guarded tokens(tokens_size, flush_end != 0);
        Guarded ends(ends_size * sizeof(std::int64_t), flush_end != 0);
        if (!in.ok() || !tokens.ok() || !ends.ok())
            return no_memory();
        std::memcpy(in.data(), data, n);
        // 8 divides both the page and the size, so the ends are aligned either way.
        auto* end_data = reinterpret_cast<std::int64_t*>(ends.data());
        const kernel::LinesOut room{tokens.data(), tokens_size, end_data, ends_size, base};
        const kernel::Lines done = k.value()->translate_lines(in.data(), n, room, tables.value());
        if (done.lines > ends_size || done.tokens > tokens_size || done.used > n)
            return PyErr::new_message(PyExc_AssertionError,
                                      "more lines, codes or bytes than there is room for");
        if (!tokens.untouched_beyond(tokens_size))
            return wrote_outside("codes");
        if (!ends.untouched_beyond(done.lines * sizeof(std::int64_t)))
            return wrote_outside("ends");
        Object end_list = veltra::expect_new(PyList_New(static_cast<Py_ssize_t>(done.lines)));
        for (std::size_t i = 0; i < done.lines; ++i) {
            std::int64_t end;
            std::memcpy(&end, ends.data() + i * sizeof end, sizeof end);
            PyList_SET_ITEM(end_list.get(), static_cast<Py_ssize_t>(i),
                            veltra::expect_new(PyLong_FromLongLong(end)).release());
        }
        return veltra::make_tuple(size_of(done.used), bytes_of(tokens.data(), done.tokens),
                                  std::move(end_list));
    });
}

PyMethodDef kernel_methods[] = {
    {"kernel_names", kernel_names, METH_NOARGS, "kernel_names() -> list of names, portable first"},
    {"kernel_selected", kernel_selected, METH_NOARGS, "kernel_selected() -> name of the chosen kernel"},
    {"kernel_prepare", kernel_prepare, METH_VARARGS, "kernel_prepare(table) -> (shaped, fallback)"},
    {"kernel_scan", kernel_scan, METH_VARARGS,
     "kernel_scan(name, data, line_start, flush_end) -> (stop, newlines)"},
    {"kernel_translate_line", kernel_translate_line, METH_VARARGS,
     "kernel_translate_line(name, data, table, flush_end) -> codes"},
    {"kernel_translate_lines", kernel_translate_lines, METH_VARARGS,
     "kernel_translate_lines(name, data, table, token_room, end_room, base, flush_end) -> (used, codes, "
     "ends)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testing::register_kernels(PyObject* module) {
    return PyModule_AddFunctions(module, kernel_methods);
}
