// CPython essentials shared by the module's translation units: the Python
// include, an owning reference holder, and the two C++ exceptions through
// which a function body ends a call with a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace tarnwold::py {

// Owns one strong reference and releases it on every path out of a scope.
// Never wrap a borrowed reference: construct only from new references.
class OwnedRef {
public:
    OwnedRef() = default;
    explicit OwnedRef(PyObject* new_reference) : object_(new_reference) {}
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference over to the caller (a new reference).
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

// Thrown when a Python exception is already pending and must reach the caller
// as it is.
struct PythonErrorSet {};

// A validation failure of a function body: the exception type to raise and
// its fixed message.
struct Failure {
    PyObject* type;
    std::string message;
};

[[noreturn]] inline void fail(PyObject* type, std::string message) {
    throw Failure{type, std::move(message)};
}

// Throws PythonErrorSet when `object` is NULL (a failed C-API call); returns
// it otherwise. For calls that return new references.
inline OwnedRef checked(PyObject* object) {
    if (object == nullptr) {
        throw PythonErrorSet{};
    }
    return OwnedRef(object);
}

// The pending exception, taken out of the interpreter's error indicator
// (a new reference, normalised), and its way back in.
inline OwnedRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return OwnedRef(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return OwnedRef(value);
#endif
}

inline void restore_pending_exception(OwnedRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace tarnwold::py
