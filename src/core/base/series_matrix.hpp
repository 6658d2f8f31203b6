// The two ways the core sees an (S, T) block of series values.
//
// SeriesMatrix owns a zero-filled, row-major block (working weights, fits,
// total and robust weights). StridedMatrix is a read-only view of a caller's
// array addressed through byte strides, so any NumPy layout works: Fortran
// order, negative strides, broadcast (zero) strides and unaligned buffers.
// Elements are loaded with memcpy, which compiles to a plain load but stays
// well-defined when the address is not aligned for T.
#pragma once

#include <cstddef>
#include <cstring>

#include "base/fault.hpp"
#include "base/zeroed_buffer.hpp"

namespace tarnwold {

template <typename T>
struct SeriesMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    ZeroedBuffer<T> values;

    SeriesMatrix() = default;
    SeriesMatrix(std::size_t rows_, std::size_t cols_)
        : rows(rows_), cols(cols_), values(checked_product(rows_, cols_)) {}

    T* row(std::size_t s) { return values.data() + s * cols; }
    const T* row(std::size_t s) const { return values.data() + s * cols; }
};

template <typename T>
struct StridedMatrix {
    const std::byte* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // in bytes
    std::ptrdiff_t col_stride = 0;  // in bytes

    T at(std::size_t s, std::size_t t) const {
        T value;
        std::memcpy(
            &value,
            data + static_cast<std::ptrdiff_t>(s) * row_stride + static_cast<std::ptrdiff_t>(t) * col_stride,
            sizeof(T));
        return value;
    }
};

// A read-only view of an owned matrix, for routines that accept either.
template <typename T>
StridedMatrix<T> view_of(const SeriesMatrix<T>& m) {
    return {reinterpret_cast<const std::byte*>(m.values.data()), m.rows, m.cols,
            static_cast<std::ptrdiff_t>(m.cols * sizeof(T)), static_cast<std::ptrdiff_t>(sizeof(T))};
}

}  // namespace tarnwold
