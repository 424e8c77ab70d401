// Registration of the test hooks, one function per area of the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace testing {
// Each adds its functions to `module`; returns -1 with an exception set on failure.
int register_errors(PyObject* module);
int register_sys(PyObject* module);
int register_pool(PyObject* module);
int register_numpy(PyObject* module);
int register_fasta(PyObject* module);
int register_kernels(PyObject* module);
}  // namespace testing
