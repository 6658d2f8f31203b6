// The argument kinds of the selection module's keyword functions, converted
// with the module's own wording of errors (arguments.hpp).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "arguments.hpp"
#include "selection_inputs.hpp"

namespace tarnwold::py::selection {

inline Normalize optional_text(PyObject* object, const char* parameter) {
    if (object == Py_None) return std::nullopt;
    return convert_text(object, parameter);
}
inline double real_or(PyObject* object, const char* parameter, double value) {
    return object == nullptr ? value : convert_real_double(object, parameter);
}
inline bool flag_or(PyObject* object, const char* parameter, bool value) {
    return object == nullptr ? value : convert_flag(object, parameter);
}
inline Py_ssize_t order_of(PyObject* object) {
    if (object == nullptr) return 2;
    const std::uint64_t d = convert_count(object, "d");
    if (d > static_cast<std::uint64_t>(PY_SSIZE_T_MAX))
        fail(PyExc_ValueError, "d must be at least 1 and less than len(x)");
    return static_cast<Py_ssize_t>(d);
}
inline PyObject* none_if_absent(PyObject* object) { return object == nullptr ? Py_None : object; }

// The ridge given, checked, or nothing for the default per series.
inline std::optional<double> ridge_of(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    const double ridge = convert_real_double(object, "ridge");
    if (!(ridge >= 0) || !std::isfinite(ridge)) fail(PyExc_ValueError, "ridge must be finite and >= 0");
    return ridge;
}

// The derivative the caller asks for (0 for the fit itself), checked
// against the output grid's length.
inline std::uint64_t derivative_of(PyObject* object, std::size_t points) {
    if (object == nullptr) return 0;
    const std::uint64_t derivative = convert_count(object, "derivative");
    if (derivative > 2) fail(PyExc_ValueError, "derivative must be 0, 1 or 2");
    if (derivative > 0 && points < derivative + 1) {
        fail(PyExc_ValueError, "derivative=" + std::to_string(derivative) + " needs at least " +
                                   std::to_string(derivative + 1) + " output positions");
    }
    return derivative;
}

}  // namespace tarnwold::py::selection
