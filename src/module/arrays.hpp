// NumPy arrays at the boundary: read-only views of argument arrays (never
// copied or cast) and new result arrays that the bodies fill in place, left
// unfilled when every element is about to be written and zero-filled otherwise.
#pragma once

#include <cstddef>
#include <vector>

#include "base/series_matrix.hpp"
#include "python_support.hpp"

namespace tarnwold::py {

// A 1-D argument array of the working precision.
template <typename T>
struct GridArray {
    const std::byte* data = nullptr;
    std::size_t length = 0;
    bool contiguous = true;

    // The positions as an owned vector. Only for a contiguous grid; the copy
    // goes through memcpy so that an unaligned buffer is read safely.
    std::vector<T> copy() const;
};

// Accepts exactly a NumPy array (or subclass) of one dimension whose dtype is
// equivalent to the native float (float32 / float64) of T; anything else is
// "'{type}' object cannot be cast as 'ndarray'" under the parameter's prefix.
template <typename T>
GridArray<T> convert_grid(PyObject* object, const char* parameter);

// The same for two dimensions, as a strided view in any memory layout.
template <typename T>
StridedMatrix<T> convert_series(PyObject* object, const char* parameter);

// The bodies' first check: the grid must be C- or Fortran-contiguous.
template <typename T>
void require_contiguous(const GridArray<T>& grid);

template <typename T>
struct ResultArray {
    OwnedRef array;  // a new, C-contiguous array
    T* data;
};

// A zero-filled result array.
template <typename T>
ResultArray<T> make_result_array(std::size_t rows, std::size_t cols);

// A result array whose every element the caller is about to write. Nothing
// zeroes it first: for (S, T) results that pass would cost as much as
// writing the results themselves, on the calling thread alone.
template <typename T>
ResultArray<T> make_unfilled_result_array(std::size_t rows, std::size_t cols);

}  // namespace tarnwold::py
