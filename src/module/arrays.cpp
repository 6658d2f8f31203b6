#include "arrays.hpp"

#include <cstring>
#include <string>
#include <type_traits>

#include "arguments.hpp"
#include "module.hpp"
#include "numpy_api.hpp"

namespace tarnwold::py {
namespace {

template <typename T>
constexpr int type_number() {
    return std::is_same_v<T, float> ? NPY_FLOAT : NPY_DOUBLE;
}

// The array when `object` is an ndarray of `dimensions` dimensions and of
// T's native dtype; otherwise raises the conversion error for `parameter`.
template <typename T>
PyArrayObject* accept_array(PyObject* object, int dimensions, const char* parameter) {
    ensure_numpy();
    if (PyArray_Check(object)) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        PyArray_Descr* expected = PyArray_DescrFromType(type_number<T>());
        const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), expected) != 0;
        Py_DECREF(expected);
        if (PyArray_NDIM(array) == dimensions && equivalent) {
            return array;
        }
    }
    // Appended piece by piece: g++ 12 reports a false -Wrestrict overlap for
    // a string literal prepended to a temporary string.
    std::string message = "'";
    message += type_name_of(object);
    message += "' object cannot be cast as 'ndarray'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    raise_argument_error(parameter);
}

}  // namespace

template <typename T>
std::vector<T> GridArray<T>::copy() const {
    std::vector<T> positions(length);
    if (length > 0) {
        std::memcpy(positions.data(), data, length * sizeof(T));
    }
    return positions;
}

template <typename T>
GridArray<T> convert_grid(PyObject* object, const char* parameter) {
    PyArrayObject* array = accept_array<T>(object, 1, parameter);
    const bool contiguous =
        PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) || PyArray_CHKFLAGS(array, NPY_ARRAY_F_CONTIGUOUS);
    return {static_cast<const std::byte*>(PyArray_DATA(array)),
            static_cast<std::size_t>(PyArray_DIM(array, 0)), contiguous};
}

template <typename T>
StridedMatrix<T> convert_series(PyObject* object, const char* parameter) {
    PyArrayObject* array = accept_array<T>(object, 2, parameter);
    return {static_cast<const std::byte*>(PyArray_DATA(array)),
            static_cast<std::size_t>(PyArray_DIM(array, 0)), static_cast<std::size_t>(PyArray_DIM(array, 1)),
            static_cast<std::ptrdiff_t>(PyArray_STRIDE(array, 0)),
            static_cast<std::ptrdiff_t>(PyArray_STRIDE(array, 1))};
}

template <typename T>
void require_contiguous(const GridArray<T>& grid) {
    if (!grid.contiguous) {
        fail(PyExc_TypeError, "The given array is not contiguous");
    }
}

namespace {

// NumPy could not make a result array. Exhausted memory is a plain
// MemoryError, as when the core's own allocations fail (NumPy raises a
// subclass of its own); anything else is our fault.
[[noreturn]] void result_array_failed() {
    const bool out_of_memory = PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
    PyErr_Clear();
    if (!out_of_memory) {
        raise_internal_fault("NumPy could not create a result array");
    }
    PyErr_NoMemory();
    throw PythonErrorSet{};
}

template <typename T>
ResultArray<T> new_result_array(std::size_t rows, std::size_t cols, bool zeroed) {
    ensure_numpy();
    npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyArray_Descr* descr = PyArray_DescrFromType(type_number<T>());
    OwnedRef array(zeroed ? PyArray_Zeros(2, shape, descr, 0) : PyArray_Empty(2, shape, descr, 0));
    if (!array) {
        result_array_failed();
    }
    T* data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    return {std::move(array), data};
}

}  // namespace

template <typename T>
ResultArray<T> make_result_array(std::size_t rows, std::size_t cols) {
    return new_result_array<T>(rows, cols, true);
}

template <typename T>
ResultArray<T> make_unfilled_result_array(std::size_t rows, std::size_t cols) {
    return new_result_array<T>(rows, cols, false);
}

#define TARNWOLD_INSTANTIATE(T)                                             \
    template struct GridArray<T>;                                           \
    template GridArray<T> convert_grid<T>(PyObject*, const char*);          \
    template StridedMatrix<T> convert_series<T>(PyObject*, const char*);    \
    template void require_contiguous<T>(const GridArray<T>&);               \
    template ResultArray<T> make_result_array<T>(std::size_t, std::size_t); \
    template ResultArray<T> make_unfilled_result_array<T>(std::size_t, std::size_t);
TARNWOLD_INSTANTIATE(float)
TARNWOLD_INSTANTIATE(double)
#undef TARNWOLD_INSTANTIATE

}  // namespace tarnwold::py
