// Hooks for the process services: file reads with their error renderings,
// errno renderings, the CPU count over injected cgroup trees, the
// standard-output writer, and what counts as a slow huge page.
#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "errors.hpp"
#include "sys.hpp"
#include "testing.hpp"

namespace {

using veltra::Handle;
using veltra::Object;
using veltra::PyErr;
using veltra::PyResult;
namespace sys = veltra::sys;

// The bytes of a str (UTF-8) or bytes object, borrowed from it.
PyResult<std::string_view> text_arg(PyObject* obj) {
    if (PyBytes_Check(obj))
        return std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
        if (utf8 == nullptr)
            return PyErr::fetch_or_system_error();
        return std::string_view(utf8, static_cast<std::size_t>(size));
    }
    return PyErr::new_message(PyExc_TypeError, "expected str or bytes");
}

Object str_of(std::string_view text) {
    return veltra::expect_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Object int_of(std::size_t value) {
    return veltra::expect_new(PyLong_FromSize_t(value));
}

Object error_tuple(const sys::OsError& err) {
    return veltra::make_tuple(Object::new_ref(Py_False), str_of(err.detailed()), str_of(err.short_form()),
                              str_of(sys::to_string(err.kind())),
                              veltra::expect_new(PyLong_FromLong(err.code())));
}

// read_whole_file(path) -> (True, contents, capacity)
//                        | (False, detailed, short, kind, code)
// The interpreter lock is released during the read, so a Python thread can
// feed a FIFO that is being read.
PyObject* read_whole_file(PyObject*, PyObject* arg) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        auto path = text_arg(arg);
        if (!path)
            return std::move(path).error();
        std::optional<veltra::Result<veltra::Buffer<std::uint8_t>, sys::OsError>> read;
        std::exception_ptr failure;
        Py_BEGIN_ALLOW_THREADS;
        try {
            read.emplace(sys::read_whole_file(path.value()));
        } catch (...) {
            failure = std::current_exception();
        }
        Py_END_ALLOW_THREADS;
        if (failure)
            std::rethrow_exception(failure);
        if (!*read)
            return error_tuple(read->error());
        const auto& bytes = read->value();
        Object contents = veltra::expect_new(PyBytes_FromStringAndSize(
            reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
        return veltra::make_tuple(Object::new_ref(Py_True), std::move(contents), int_of(bytes.capacity()));
    });
}

// render_errno(code) -> (detailed, short, kind)
PyObject* render_errno(PyObject*, PyObject* arg) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const long code = PyLong_AsLong(arg);
        if (code == -1 && PyErr_Occurred())
            return PyErr::fetch_or_system_error();
        const auto err = sys::OsError::from_errno(static_cast<int>(code));
        return veltra::make_tuple(str_of(err.detailed()), str_of(err.short_form()),
                                  str_of(sys::to_string(err.kind())));
    });
}

// render_fixed(kind_name, message) -> (detailed, short)
PyObject* render_fixed(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const char* kind_name = nullptr;
        const char* message = nullptr;
        if (!PyArg_ParseTuple(args, "sy", &kind_name, &message))
            return PyErr::fetch_or_system_error();
        for (int k = 0; k <= static_cast<int>(sys::ErrorKind::Uncategorized); ++k) {
            const auto kind = static_cast<sys::ErrorKind>(k);
            if (sys::to_string(kind) == kind_name) {
                // `message` lives in the argument tuple for the whole call.
                const auto err = sys::OsError::fixed(kind, message);
                return veltra::make_tuple(str_of(err.detailed()), str_of(err.short_form()));
            }
        }
        return PyErr::new_message(PyExc_ValueError, std::string("unknown kind ") + kind_name);
    });
}

std::optional<sys::CgroupPaths> paths_arg(PyObject* args) {
    const char* cgroup = nullptr;
    const char* mountinfo = nullptr;
    const char* root = nullptr;
    if (!PyArg_ParseTuple(args, "|sss", &cgroup, &mountinfo, &root))
        return std::nullopt;
    sys::CgroupPaths paths;
    if (cgroup != nullptr)
        paths.proc_self_cgroup = cgroup;
    if (mountinfo != nullptr)
        paths.proc_self_mountinfo = mountinfo;
    if (root != nullptr)
        paths.cgroup_root = root;
    return paths;
}

// cgroup_cpu_quota([cgroup_file, mountinfo_file, cgroup_root]) -> int
// (SIZE_MAX when no quota applies)
PyObject* cgroup_cpu_quota(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const auto paths = paths_arg(args);
        if (!paths)
            return PyErr::fetch_or_system_error();
        return int_of(sys::cgroup_cpu_quota(*paths));
    });
}

// available_cpu_count([cgroup_file, mountinfo_file, cgroup_root])
//   -> (True, count) | (False, detailed, short, kind, code)
PyObject* available_cpu_count(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        const auto paths = paths_arg(args);
        if (!paths)
            return PyErr::fetch_or_system_error();
        auto count = sys::available_cpu_count(*paths);
        if (!count)
            return error_tuple(count.error());
        return veltra::make_tuple(Object::new_ref(Py_True), int_of(count.value()));
    });
}

// print_line(*pieces): one call of the writer with up to four pieces.
PyObject* print_line(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        std::vector<std::string_view> p;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
            auto piece = text_arg(PyTuple_GET_ITEM(args, i));
            if (!piece)
                return std::move(piece).error();
            p.push_back(piece.value());
        }
        switch (p.size()) {
            case 1:
                sys::print_line({p[0]});
                break;
            case 2:
                sys::print_line({p[0], p[1]});
                break;
            case 3:
                sys::print_line({p[0], p[1], p[2]});
                break;
            case 4:
                sys::print_line({p[0], p[1], p[2], p[3]});
                break;
            default:
                return PyErr::new_message(PyExc_TypeError, "print_line takes 1 to 4 pieces");
        }
        return Object::new_ref(Py_None);
    });
}

// print_from_threads(threads, lines): each native thread prints `lines`
// lines "<thread>:<line>:" + "ab" * 8 + "\n", each as one call of many
// pieces; returns the number of calls that failed.
PyObject* print_from_threads(PyObject*, PyObject* args) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        int threads = 0;
        int lines = 0;
        if (!PyArg_ParseTuple(args, "ii", &threads, &lines))
            return PyErr::fetch_or_system_error();
        std::atomic<long> failures{0};
        Py_BEGIN_ALLOW_THREADS;
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([t, lines, &failures] {
                const std::string who = std::to_string(t);
                for (int i = 0; i < lines; ++i) {
                    const std::string line = std::to_string(i);
                    const std::string_view ab = "ab";
                    try {
                        sys::print_line({who, ":", line, ":", ab, ab, ab, ab, ab, ab, ab, ab, "\n"});
                    } catch (...) {
                        ++failures;
                    }
                }
            });
        for (std::thread& thread : pool)
            thread.join();
        Py_END_ALLOW_THREADS;
        return veltra::expect_new(PyLong_FromLong(failures.load()));
    });
}

// set_slow_huge_step(ns) -> the previous bound: huge page steps of result
// memory that take longer turn huge pages off; 0 turns them off at once.
PyObject* set_slow_huge_step(PyObject*, PyObject* arg) {
    const unsigned long long ns = PyLong_AsUnsignedLongLong(arg);
    if (ns == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return nullptr;
    const std::uint64_t previous = sys::slow_huge_step_ns;
    sys::slow_huge_step_ns = ns;
    return PyLong_FromUnsignedLongLong(previous);
}

// grow_after_small_pages() -> whether a result buffer that is a mapping of
// its own keeps its bytes when it grows after its huge pages were turned off
// part way through making it present.
PyObject* grow_after_small_pages(PyObject*, PyObject*) {
    return veltra::call_guard([&]() -> PyResult<Object> {
        auto buffer =
            veltra::Buffer<std::uint8_t>::uninitialized(veltra::memory::mapped_from + 3 * sys::huge_page);
        sys::HugePages huge;
        sys::WriteAhead ahead;
        ahead.move_to(buffer.data(), buffer.size(), &huge);
        ahead.reach(buffer.data() + 2 * sys::huge_page);
        huge.slow();
        ahead.reach(buffer.end());
        for (std::size_t i = 0; i < buffer.size(); i += 4096)
            buffer[i] = static_cast<std::uint8_t>(i >> 12);
        const std::size_t size = buffer.size();
        buffer.reserve_exact(size);
        bool kept = true;
        for (std::size_t i = 0; i < size; i += 4096)
            kept = kept && buffer[i] == static_cast<std::uint8_t>(i >> 12);
        return veltra::expect_new(PyBool_FromLong(kept));
    });
}

PyMethodDef methods[] = {
    {"read_whole_file", read_whole_file, METH_O, nullptr},
    {"grow_after_small_pages", grow_after_small_pages, METH_NOARGS, nullptr},
    {"set_slow_huge_step", set_slow_huge_step, METH_O, nullptr},
    {"render_errno", render_errno, METH_O, nullptr},
    {"render_fixed", render_fixed, METH_VARARGS, nullptr},
    {"cgroup_cpu_quota", cgroup_cpu_quota, METH_VARARGS, nullptr},
    {"available_cpu_count", available_cpu_count, METH_VARARGS, nullptr},
    {"print_line", print_line, METH_VARARGS, nullptr},
    {"print_from_threads", print_from_threads, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testing::register_sys(PyObject* module) {
    return PyModule_AddFunctions(module, methods);
}
