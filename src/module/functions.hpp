// The six functions of the module, with the vectorcall signature of
// METH_FASTCALL | METH_KEYWORDS. Each returns a new reference, or NULL with
// an exception set; none lets a C++ exception escape.
#pragma once

#include "python_support.hpp"

namespace tarnwold::py {

PyObject* build_pb_f64(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* build_pb_f32(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* whittaker_solve_f64(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* whittaker_solve_f32(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* robust_whittaker_irls_f64(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* robust_whittaker_irls_f32(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

}  // namespace tarnwold::py
