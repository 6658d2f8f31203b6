// The selection module's functions, one per public function of the
// companion package: keyword arguments in, results by name out.
#pragma once

#include "python_support.hpp"

namespace tarnwold::py::selection {

PyObject* select(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* envelope(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* robust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwold::py::selection
