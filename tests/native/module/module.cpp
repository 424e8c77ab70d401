// _veltra_testing: a private module that reaches the parts of veltra_native
// that Python cannot call directly (the chunk parser, the pool, the process
// services, the error machinery). It is built from the same sources, so it has
// its own copy of every process-wide item (pool, NumPy table, PanicException).
#include "testing.hpp"

namespace {

PyModuleDef testing_def = {
    PyModuleDef_HEAD_INIT,
    "_veltra_testing",
    "Test hooks for veltra_native; not a public API.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__veltra_testing() {
    PyObject* module = PyModule_Create(&testing_def);
    if (module == nullptr)
        return nullptr;
    if (testing::register_errors(module) < 0 || testing::register_sys(module) < 0 ||
        testing::register_pool(module) < 0 || testing::register_numpy(module) < 0 ||
        testing::register_fasta(module) < 0 || testing::register_kernels(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
