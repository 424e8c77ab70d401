// Hooks into the worker pool: its size, the parallel operations with failures
// injected at chosen places, and counters that show what ran.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "data/join.hpp"
#include "errors.hpp"
#include "pool.hpp"
#include "testing.hpp"

namespace {

using namespace veltra;

PyErr value_error(const char* message) {
    return PyErr::new_message(PyExc_ValueError, message);
}

PyResult<Object> size_object(std::size_t n) {
    return expect_new(PyLong_FromSize_t(n));
}

PyResult<Object> list_of_sizes(std::span<const std::size_t> values) {
    Object list = expect_new(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        expect_new(PyLong_FromSize_t(values[i])).release());
    return list;
}

// What the last map or nested join did, index by index.
std::vector<std::size_t> visits;
std::atomic<std::size_t> join_leaves_run{0};

// Counts its live instances, so that a test can see that values written
// before a failure were destroyed.
std::atomic<long> tracked_live{0};
struct Tracked {
    long value;
    explicit Tracked(long v) noexcept : value(v) { tracked_live.fetch_add(1); }
    Tracked(Tracked&& other) noexcept : value(other.value) { tracked_live.fetch_add(1); }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    ~Tracked() { tracked_live.fetch_sub(1); }
};

PyObject* current_num_threads(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Object> { return size_object(pool::current_num_threads()); });
}

PyObject* num_threads_on_worker(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Object> {
        return size_object(pool::run_on_pool([](bool) { return pool::current_num_threads(); }));
    });
}

PyObject* run_on_pool_flag(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Object> {
        return Object::new_ref(pool::run_on_pool([](bool injected) { return injected; }) ? Py_True
                                                                                         : Py_False);
    });
}

std::size_t fixed_default() {
    return 7;
}

// worker_count_for(num_threads, rs_num_cpus): bytes or None each; the CPU
// count default is replaced by 7 so that it is recognisable.
PyObject* worker_count_for(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        PyObject* values[2];
        if (!PyArg_ParseTuple(args, "OO", &values[0], &values[1]))
            return PyErr::fetch_or_system_error();
        const char* texts[2];
        for (int i = 0; i < 2; ++i) {
            if (values[i] == Py_None)
                texts[i] = nullptr;
            else if (PyBytes_Check(values[i]))
                texts[i] = PyBytes_AS_STRING(values[i]);
            else
                return value_error("expected bytes or None");
        }
        return size_object(pool::worker_count_for(texts[0], texts[1], fixed_default));
    });
}

template <class T>
PyResult<Object> concat_as(const std::vector<data::Slice<T>>& slices) {
    data::Concatenated<T> joined = data::parallel_concat<T>(slices);
    if (joined.buffer.size() != joined.buffer.capacity())
        return value_error("buffer capacity differs from its length");
    Object bytes =
        expect_new(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(joined.buffer.data()),
                                             static_cast<Py_ssize_t>(joined.buffer.size() * sizeof(T))));
    PyResult<Object> starts = list_of_sizes(joined.starts);
    return make_tuple(std::move(bytes), std::move(starts).value());
}

// concat(items, itemsize, skew=0): the bytes objects joined by the pool,
// each seen from byte `skew` on as whole elements of `itemsize` (1 or 8)
// bytes, so a skew of 1 makes every 8-byte slice unaligned. Returns
// (joined bytes, starts in elements).
PyObject* concat(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        PyObject* items;
        Py_ssize_t itemsize;
        Py_ssize_t skew = 0;
        if (!PyArg_ParseTuple(args, "O!n|n", &PyList_Type, &items, &itemsize, &skew))
            return PyErr::fetch_or_system_error();
        if ((itemsize != 1 && itemsize != 8) || skew < 0)
            return value_error("itemsize must be 1 or 8, skew not negative");
        std::vector<data::Slice<std::uint8_t>> bytes_slices;
        std::vector<data::Slice<std::uint64_t>> word_slices;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            PyObject* item = PyList_GET_ITEM(items, i);
            if (!PyBytes_Check(item))
                return value_error("items must be bytes");
            const Py_ssize_t size = PyBytes_GET_SIZE(item);
            const char* data = PyBytes_AS_STRING(item);
            const auto len = size > skew ? static_cast<std::size_t>((size - skew) / itemsize) : 0;
            const void* at = len == 0 ? nullptr : data + skew;
            if (itemsize == 1)
                bytes_slices.push_back({at, len});
            else
                word_slices.push_back({at, len});
        }
        return itemsize == 1 ? concat_as(bytes_slices) : concat_as(word_slices);
    });
}

// concat_impossible(kind): "alloc" asks for 2**62 bytes, which no machine
// has; "bytes" for 2**63 bytes, past the largest signed word; "sum" for
// slice lengths whose sum does not fit a word. No slice is ever read.
PyObject* concat_impossible(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        const char* kind;
        if (!PyArg_ParseTuple(args, "s", &kind))
            return PyErr::fetch_or_system_error();
        static const std::uint64_t never_read = 0;
        const std::string which(kind);
        if (which == "alloc" || which == "bytes") {
            const std::size_t len = which == "alloc" ? std::size_t{1} << 59 : std::size_t{1} << 60;
            const std::vector<data::Slice<std::uint64_t>> slices{{&never_read, len}};
            (void)data::parallel_concat<std::uint64_t>(slices);
        } else if (which == "sum") {
            const std::size_t half = std::numeric_limits<std::size_t>::max() / 2 + 1;
            const std::vector<data::Slice<std::uint8_t>> slices{{&never_read, half}, {&never_read, half}};
            (void)data::parallel_concat<std::uint8_t>(slices);
        } else {
            return value_error("unknown kind");
        }
        return value_error("the impossible concatenation succeeded");
    });
}

// The hooks of the two maps: `map(count, f)` over the indices, which it
// returns as it collected them. Index `fail_at` fails instead: with a panic
// "index {i} failed", or with an impossible allocation ("alloc"). With
// "from", every later index panics too, and `fail_at` itself only once
// another has failed or a while has passed, so that it is rarely first.
template <class Map>
PyResult<Object> mapped(PyObject* args, Map&& map) {
    Py_ssize_t count;
    Py_ssize_t fail_at = -1;
    const char* fail_kind = "panic";
    if (!PyArg_ParseTuple(args, "n|ns", &count, &fail_at, &fail_kind))
        return PyErr::fetch_or_system_error();
    if (count < 0)
        return value_error("count must not be negative");
    const std::string kind(fail_kind);
    std::vector<std::atomic<std::size_t>> runs(static_cast<std::size_t>(count));
    struct Record {  // copies the counts out however the map ends
        std::vector<std::atomic<std::size_t>>& runs;
        ~Record() {
            visits.assign(runs.size(), 0);
            for (std::size_t i = 0; i < runs.size(); ++i)
                visits[i] = runs[i].load();
        }
    } record{runs};
    std::atomic<bool> another_failed{false};
    std::vector<std::size_t> order = map(static_cast<std::size_t>(count), [&](std::size_t i) {
        const auto at = static_cast<Py_ssize_t>(i);
        if (at == fail_at || (kind == "from" && fail_at >= 0 && at > fail_at)) {
            if (kind == "alloc")
                (void)Buffer<std::uint8_t>::with_capacity(std::size_t{1} << 62);
            if (kind == "from" && at == fail_at)
                for (int waited = 0; waited < 100 && !another_failed.load(); ++waited)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            else
                another_failed.store(true);
            panic("index " + std::to_string(i) + " failed");
        }
        runs[i].fetch_add(1);
        return i;
    });
    return list_of_sizes(order);
}

// bridge_map(count, fail_at=-1, fail_kind="panic")
PyObject* bridge_map(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        return mapped(args, [](std::size_t count, auto&& f) { return pool::parallel_bridge_map(count, f); });
    });
}

// ordered_map(count, fail_at=-1, fail_kind="panic")
PyObject* ordered_map(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        return mapped(args, [](std::size_t count, auto&& f) { return pool::ordered_map(count, f); });
    });
}

// How many times each index of the last map or nested join ran
// (the failing index not counted).
PyObject* last_visits(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Object> { return list_of_sizes(visits); });
}

// indexed_collect(a, b, fail_at=-1): [a[i] * 1000 + b[i]] over the shorter
// list, each result a Tracked value while in flight.
PyObject* indexed_collect(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        PyObject* lists[2];
        Py_ssize_t fail_at = -1;
        if (!PyArg_ParseTuple(args, "O!O!|n", &PyList_Type, &lists[0], &PyList_Type, &lists[1], &fail_at))
            return PyErr::fetch_or_system_error();
        std::vector<long> values[2];
        for (int k = 0; k < 2; ++k) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lists[k]); ++i) {
                const long v = PyLong_AsLong(PyList_GET_ITEM(lists[k], i));
                if (v == -1 && PyErr_Occurred())
                    return PyErr::fetch_or_system_error();
                values[k].push_back(v);
            }
        }
        std::vector<std::size_t> index(values[0].size());
        for (std::size_t i = 0; i < index.size(); ++i)
            index[i] = i;
        auto collected =
            data::parallel_indexed_collect<Tracked>(index, values[1], [&](std::size_t i, long b) {
                if (static_cast<Py_ssize_t>(i) == fail_at)
                    panic("index " + std::to_string(i) + " failed");
                return Tracked(values[0][i] * 1000 + b);
            });
        Object list = expect_new(PyList_New(static_cast<Py_ssize_t>(collected.size())));
        for (std::size_t i = 0; i < collected.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            expect_new(PyLong_FromLong(collected[i].value)).release());
        return list;
    });
}

PyObject* live_tracked(PyObject*, PyObject*) {
    return call_guard([]() -> PyResult<Object> { return expect_new(PyLong_FromLong(tracked_live.load())); });
}

// join_outcome(a_fails, b_fails): (1, 2) from one join, or the failure of
// the half that wins.
PyObject* join_outcome(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        int a_fails;
        int b_fails;
        if (!PyArg_ParseTuple(args, "pp", &a_fails, &b_fails))
            return PyErr::fetch_or_system_error();
        std::atomic<int> ran{0};
        try {
            auto [a, b] = pool::join(
                [&](bool) {
                    ran.fetch_add(1);
                    if (a_fails)
                        panic("left failed");
                    return 1;
                },
                [&](bool) {
                    ran.fetch_add(1);
                    if (b_fails)
                        panic("right failed");
                    return 2;
                });
            return make_tuple(expect_new(PyLong_FromLong(a)), expect_new(PyLong_FromLong(b)));
        } catch (...) {
            if (ran.load() != 2)
                return value_error("a half did not run");
            throw;
        }
    });
}

std::size_t tree_sum(std::size_t lo, std::size_t hi, std::size_t fail_at) {
    if (hi - lo == 1) {
        if (lo == fail_at)
            panic("leaf " + std::to_string(lo) + " failed");
        join_leaves_run.fetch_add(1);
        return lo;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    auto [left, right] = pool::join([&](bool) { return tree_sum(lo, mid, fail_at); },
                                    [&](bool) { return tree_sum(mid, hi, fail_at); });
    return left + right;
}

// nested_join(leaves, fail_at=-1): the sum of the leaf indices over a tree of
// joins down to single leaves. last_visits() then holds the number of leaves
// that ran.
PyObject* nested_join(PyObject*, PyObject* args) {
    return call_guard([&]() -> PyResult<Object> {
        Py_ssize_t leaves;
        Py_ssize_t fail_at = -1;
        if (!PyArg_ParseTuple(args, "n|n", &leaves, &fail_at))
            return PyErr::fetch_or_system_error();
        if (leaves < 1)
            return value_error("leaves must be positive");
        join_leaves_run.store(0);
        struct Record {
            ~Record() { visits.assign(1, join_leaves_run.load()); }
        } record;
        return size_object(tree_sum(0, static_cast<std::size_t>(leaves), static_cast<std::size_t>(fail_at)));
    });
}

PyMethodDef methods[] = {
    {"pool_current_num_threads", current_num_threads, METH_NOARGS, nullptr},
    {"pool_num_threads_on_worker", num_threads_on_worker, METH_NOARGS, nullptr},
    {"pool_run_on_pool_flag", run_on_pool_flag, METH_NOARGS, nullptr},
    {"pool_worker_count_for", worker_count_for, METH_VARARGS, nullptr},
    {"pool_concat", concat, METH_VARARGS, nullptr},
    {"pool_concat_impossible", concat_impossible, METH_VARARGS, nullptr},
    {"pool_bridge_map", bridge_map, METH_VARARGS, nullptr},
    {"pool_ordered_map", ordered_map, METH_VARARGS, nullptr},
    {"pool_last_visits", last_visits, METH_NOARGS, nullptr},
    {"pool_indexed_collect", indexed_collect, METH_VARARGS, nullptr},
    {"pool_live_tracked", live_tracked, METH_NOARGS, nullptr},
    {"pool_join_outcome", join_outcome, METH_VARARGS, nullptr},
    {"pool_nested_join", nested_join, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testing::register_pool(PyObject* module) {
    return PyModule_AddFunctions(module, methods);
}
