// Binds the NumPy C API the first time a call needs it.
#define TARNWOLD_DEFINES_NUMPY_API
#include "numpy_api.hpp"

#include "module.hpp"

namespace tarnwold::py {
namespace {

// Text of the pending Python exception (cleared), for the fault message.
std::string pending_error_text() {
    OwnedRef exception = take_pending_exception();
    if (!exception) {
        return "unknown error";
    }
    OwnedRef text(PyObject_Str(exception.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "unprintable error";
    }
    return utf8;
}

// Reads numpy.__version__ through numpy.lib.NumpyVersion and takes the API
// table from the multiarray module of that generation (numpy._core from 2.0
// on, numpy.core before). Returns false with a Python error pending.
bool bind_api_table() {
    OwnedRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    OwnedRef version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    OwnedRef lib(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    OwnedRef parsed(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return false;
    OwnedRef major_object(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) return false;
    long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) return false;

    OwnedRef multiarray(
        PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return false;
    OwnedRef capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) return false;
    PyArray_API = static_cast<void**>(table);

    // The module is compiled against NumPy 2 headers for an older feature
    // level; refuse a runtime that is older still, as NumPy's own import does.
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyErr_Format(PyExc_RuntimeError, "NumPy ABI version 0x%x is newer than 0x%x",
                     static_cast<int>(PyArray_GetNDArrayCVersion()), static_cast<int>(NPY_VERSION));
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
        PyErr_Format(PyExc_RuntimeError, "NumPy C-API version 0x%x is older than the required 0x%x",
                     PyArray_RUNTIME_VERSION, static_cast<int>(NPY_FEATURE_VERSION));
        return false;
    }
    return true;
}

// Read and written only with the interpreter lock held.
bool numpy_bound = false;

}  // namespace

// No lock of ours is held while NumPy's Python code runs: code it triggers
// (a gc callback, an import hook, a profiler) may call into this module on
// the same thread, and a fork() meanwhile must not leave a child with a lock
// that nobody will release. Under the interpreter lock the set-up needs none:
// a thread that finds it undone does it, and if another thread (or a nested
// call) finished it meanwhile, binding the same table again changes nothing.
void ensure_numpy() {
    if (numpy_bound) {
        return;
    }
    if (!bind_api_table()) {
        if (!numpy_bound) {
            PyArray_API = nullptr;
        }
        raise_internal_fault("cannot bind the NumPy C API: " + pending_error_text());
        throw PythonErrorSet{};
    }
    numpy_bound = true;
}

}  // namespace tarnwold::py
