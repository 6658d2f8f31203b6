// The buffers of the selection module's functions: held arguments, checked,
// and the result arrays they allocate and return by name.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "lambda/default_ridge.hpp"
#include "native_call.hpp"

namespace tarnwold::py::selection {

// A held buffer of one dimension or two, C-contiguous, of one element kind:
// 'd' float64, 'q' int64 (also spelled 'l' where long has 64 bits), 'b' int8.
class Buffer {
public:
    Buffer(PyObject* object, char kind, bool writable, const char* name) : name_(name) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(object, &view_, flags) < 0) {
            throw PythonErrorSet{};
        }
        held_ = true;
        const std::string_view format = view_.format ? view_.format : "B";
        const char last = format.empty() ? '?' : format.back();
        const bool prefix_ok = format.size() == 1 || (format.size() == 2 && std::strchr("@=<", format[0]));
        const bool kind_ok = last == kind || (kind == 'q' && last == 'l' && view_.itemsize == 8);
        const Py_ssize_t size = kind == 'b' ? 1 : 8;
        if (!prefix_ok || !kind_ok || view_.itemsize != size) {
            // A constructor that throws runs no destructor: release here.
            PyBuffer_Release(&view_);
            held_ = false;
            fail(PyExc_TypeError, std::string(name) + " has the wrong element type");
        }
        // A buffer can start anywhere (a view of bytes at an odd offset);
        // its elements are read as doubles and integers, which must be
        // aligned.
        if (reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(size) != 0) {
            PyBuffer_Release(&view_);
            held_ = false;
            fail(PyExc_ValueError, std::string(name) + " is not aligned to its element size");
        }
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_ && !ending_without_interpreter_lock) PyBuffer_Release(&view_);
    }

    void require_shape(std::size_t rows, std::optional<std::size_t> cols) const {
        const int ndim = cols ? 2 : 1;
        const bool ok = view_.ndim == ndim && static_cast<std::size_t>(view_.shape[0]) == rows &&
                        (!cols || static_cast<std::size_t>(view_.shape[1]) == *cols);
        if (!ok) fail(PyExc_ValueError, std::string(name_) + " has the wrong shape");
    }
    std::size_t length(int axis) const {
        if (view_.ndim <= axis) fail(PyExc_ValueError, std::string(name_) + " has too few dimensions");
        return static_cast<std::size_t>(view_.shape[axis]);
    }
    template <typename T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    const char* name_;
};

inline std::optional<Buffer> optional_buffer(PyObject* object, char kind, bool writable, const char* name) {
    if (object == Py_None) return std::nullopt;
    return std::optional<Buffer>(std::in_place, object, kind, writable, name);
}

template <typename T, typename Held>
T* data_or_null(const std::optional<Held>& buffer) {
    return buffer ? buffer->template data<T>() : nullptr;
}

// An array a function returns: allocated by NumPy, written through its
// buffer, handed to the results once written.
struct ResultArray {
    const char* name;
    OwnedRef object;
    Buffer view;

    ResultArray(const char* name_, char kind, std::size_t rows, std::optional<std::size_t> cols)
        : name(name_), object(allocate(kind, rows, cols)), view(object.get(), kind, true, name_) {}
    template <typename T>
    T* data() const {
        return view.data<T>();
    }

private:
    static PyObject* allocate(char kind, std::size_t rows, std::optional<std::size_t> cols) {
        OwnedRef numpy = checked(PyImport_ImportModule("numpy"));
        OwnedRef shape = checked(
            cols ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(*cols))
                 : Py_BuildValue("(n)", static_cast<Py_ssize_t>(rows)));
        const char* dtype = kind == 'd' ? "float64" : kind == 'q' ? "int64" : "int8";
        return checked(PyObject_CallMethod(numpy.get(), "empty", "Os", shape.get(), dtype)).release();
    }
};

// The results as a dict of arrays by name; an absent one is None.
class Results {
public:
    Results() : dict_(checked(PyDict_New())) {}
    void add(const ResultArray& array) { set(array.name, array.object.get()); }
    void add(const char* name, const std::optional<ResultArray>& array) {
        set(name, array ? array->object.get() : Py_None);
    }
    PyObject* release() { return dict_.release(); }

private:
    void set(const char* name, PyObject* value) {
        if (PyDict_SetItemString(dict_.get(), name, value) < 0) throw PythonErrorSet{};
    }
    OwnedRef dict_;
};

inline std::optional<ResultArray> result_if(bool wanted, const char* name, std::size_t rows,
                                            std::size_t cols) {
    if (!wanted) return std::nullopt;
    return std::optional<ResultArray>(std::in_place, name, 'd', rows, cols);
}

}  // namespace tarnwold::py::selection
