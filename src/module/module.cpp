// The module object, its function table and the internal-fault exception.
#include "module.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "docstrings.hpp"
#include "functions.hpp"
#include "robust/robust.hpp"

namespace tarnwold::py {
namespace {

constexpr int METH_FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

// PyCFunction is the declared type of ml_meth; FASTCALL functions are stored
// through it and called with their real signature, as CPython documents.
template <PyObject* (*Function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef function_table[] = {
    {"build_pb_f64", as_method<build_pb_f64>(), METH_FASTCALL_KEYWORDS, build_pb_f64_doc},
    {"build_pb_f32", as_method<build_pb_f32>(), METH_FASTCALL_KEYWORDS, build_pb_f32_doc},
    {"whittaker_solve_f64", as_method<whittaker_solve_f64>(), METH_FASTCALL_KEYWORDS,
     whittaker_solve_f64_doc},
    {"whittaker_solve_f32", as_method<whittaker_solve_f32>(), METH_FASTCALL_KEYWORDS,
     whittaker_solve_f32_doc},
    {"robust_whittaker_irls_f64", as_method<robust_whittaker_irls_f64>(), METH_FASTCALL_KEYWORDS,
     robust_whittaker_irls_f64_doc},
    {"robust_whittaker_irls_f32", as_method<robust_whittaker_irls_f32>(), METH_FASTCALL_KEYWORDS,
     robust_whittaker_irls_f32_doc},
};

// Whether the text at `at` in doc is `name` in double quotes. Compared
// character by character: string_view::find compares pointers with null,
// which the sanitizer builds cannot evaluate at compile time.
constexpr bool quoted_at(std::string_view doc, std::size_t at, std::string_view name) {
    if (at == 0 || at + name.size() >= doc.size() || doc[at - 1] != '"' || doc[at + name.size()] != '"') {
        return false;
    }
    for (std::size_t k = 0; k < name.size(); ++k) {
        if (doc[at + k] != name[k]) {
            return false;
        }
    }
    return true;
}

// Whether the docstring names each weighting in quotes: the robust
// functions' docstrings are the Python side's list of the weightings, which
// the tests check their references against.
constexpr bool quotes_every_weighting(std::string_view doc) {
    for (const Weighting weighting : all_weightings) {
        const std::string_view name = weighting_name(weighting);
        bool quoted = false;
        for (std::size_t at = 1; at < doc.size() && !quoted; ++at) {
            quoted = quoted_at(doc, at, name);
        }
        if (!quoted) {
            return false;
        }
    }
    return true;
}
static_assert(quotes_every_weighting(robust_whittaker_irls_f64_doc) &&
                  quotes_every_weighting(robust_whittaker_irls_f32_doc),
              "the robust functions' docstrings list every weighting");

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarnwold",  // m_name
    "",          // m_doc
    0,           // m_size: no per-module state
    nullptr,     // m_methods: added one by one by add_functions
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// The module supports one interpreter per process: its function objects and
// the internal-fault type are process-wide.
std::atomic<std::int64_t> owning_interpreter{-1};
// A strong reference, kept for the process; read and written only with the
// interpreter lock held.
PyObject* module_object = nullptr;

PyObject* internal_fault_type = nullptr;  // created on first use, never released

constexpr const char internal_fault_doc[] =
    "Raised when tarnwold's native code fails internally (a broken invariant, an\n"
    "allocation size that overflows, NumPy unavailable). Like SystemExit it derives\n"
    "from BaseException, so it typically propagates all the way up the stack and\n"
    "ends the interpreter instead of being caught by `except Exception`.";

// The module's __all__ list (a borrowed reference), created when missing.
PyObject* all_list(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw PythonErrorSet{};
        }
        PyErr_Clear();
        OwnedRef created = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", created.get()) < 0) {
            throw PythonErrorSet{};
        }
        all = created.release();
    }
    OwnedRef owned(all);
    if (!PyList_Check(all)) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        throw PythonErrorSet{};
    }
    return all;  // the module attribute keeps it alive
}

void add_functions(PyObject* module) {
    OwnedRef module_name = checked(PyModule_GetNameObject(module));
    for (PyMethodDef& definition : function_table) {
        OwnedRef function = checked(PyCMethod_New(&definition, module, module_name.get(), nullptr));
        OwnedRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
        if (!PyUnicode_Check(name.get())) {
            PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
            throw PythonErrorSet{};
        }
        if (PyList_Append(all_list(module), name.get()) < 0 ||
            PyObject_SetAttr(module, name.get(), function.get()) < 0) {
            throw PythonErrorSet{};
        }
    }
}

PyObject* initialise_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "tarnwold does not support subinterpreters: it can be imported only in the "
                        "first interpreter that imported it");
        return nullptr;
    }
    return guarded_call([]() -> PyObject* {
        // Creating the module runs Python code (a gc pass can start in any
        // allocation), so no lock of ours is held meanwhile; the interpreter
        // lock suffices. Should that code import the module first, on this
        // thread or another, the object created there is the one kept.
        if (module_object == nullptr) {
            OwnedRef module = checked(PyModule_Create2(&module_definition, 1013));
            add_functions(module.get());
            if (module_object == nullptr) {
                module_object = module.release();
            }
        }
        Py_INCREF(module_object);
        return module_object;
    });
}

}  // namespace

void raise_internal_fault(const std::string& text) {
    raise_kept_exception(internal_fault_type, "tarnwold.InternalFault", internal_fault_doc,
                         PyExc_BaseException,
                         "tarnwold: an internal fault occurred and could not be reported", text);
}

}  // namespace tarnwold::py

PyMODINIT_FUNC PyInit_tarnwold(void) { return tarnwold::py::initialise_module(); }
