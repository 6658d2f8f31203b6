// tarnwold_tools._select: the native half of select_lambda, evaluate_lambda,
// envelope and robust, one function each. Each takes keyword arguments,
// matched and converted as the module's own functions do (arguments.hpp),
// checks every buffer and value it is given, allocates its results, releases
// the interpreter lock and does the whole work in the core: the ridge per
// series when none is given, the output grid, the fit at the lam each series
// is fitted at, se and the derivative. It returns its results as a dict by
// name, which the Python wrapper turns into its dataclass.
#include <string_view>

#include "functions.hpp"
#include "lambda/lambda_search.hpp"
#include "python_support.hpp"

namespace tarnwold::py::selection {
namespace {

// Each docstring opens with the function's text signature, which
// inspect.signature and the stubs' check read.
PyMethodDef functions[] = {
    {"select", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(select)),
     METH_FASTCALL | METH_KEYWORDS,
     "select(x, y_st, w_base_st=None, d=2, criterion='reml', lam_grid=None, refine=True, gamma=1.0,\n"
     "       ridge=None, normalize='mean', eps=1e-10, return_se=False, return_scores=False,\n"
     "       parallel=True, x_out=None, derivative=0)\n--\n\n"
     "The results of tarnwold_tools.select_lambda, by name."},
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(evaluate)),
     METH_FASTCALL | METH_KEYWORDS,
     "evaluate(x, y_st, lam, w_base_st=None, d=2, ridge=None, normalize='mean', eps=1e-10, gamma=1.0,\n"
     "         return_hat=False, return_se=False, parallel=True, x_out=None, derivative=0, sigma2=None)\n"
     "--\n\n"
     "The results of tarnwold_tools.evaluate_lambda, by name; sigma2, one per series, for se in place\n"
     "of the fit's own Q / (m - d)."},
    {"envelope", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(envelope)),
     METH_FASTCALL | METH_KEYWORDS,
     "envelope(x, y_st, w_base_st=None, p=0.9, lam='vcurve', d=2, iterations=10, tol=0.0,\n"
     "         normalize='mean', ridge=None, eps=1e-10, parallel=True, x_out=None, derivative=0)\n--\n\n"
     "The results of tarnwold_tools.envelope, by name."},
    {"robust", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(robust)),
     METH_FASTCALL | METH_KEYWORDS,
     "robust(x, y_st, w_base_st=None, lam='reml', d=2, weighting='tukey', scale='mad', tuning=None,\n"
     "       iterations=4, tol=0.0, normalize='mean', ridge=0.0, eps=1e-10, parallel=True, x_out=None,\n"
     "       derivative=0, return_se=False)\n--\n\n"
     "The results of tarnwold_tools.robust, by name; lam a criterion's name, or an array of one lam\n"
     "for all series or one per series."},
    {nullptr, nullptr, 0, nullptr},
};

// CRITERIA: the names select accepts, in the order of the core's list, so
// that the package's own lists of criteria can be checked against it.
int add_criteria(PyObject* module) {
    OwnedRef names(PyTuple_New(static_cast<Py_ssize_t>(all_criteria.size())));
    if (!names) return -1;
    for (std::size_t i = 0; i < all_criteria.size(); ++i) {
        const std::string_view name = criterion_name(all_criteria[i]);
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return -1;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text);
    }
    return PyModule_AddObjectRef(module, "CRITERIA", names.get());
}

// Multi-phase initialisation: no per-module state; execution adds the
// constants.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_criteria)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "tarnwold_tools._select",
    "Native lam selection for tarnwold_tools.",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tarnwold::py::selection

PyMODINIT_FUNC PyInit__select(void) { return PyModuleDef_Init(&tarnwold::py::selection::definition); }
