// Argument matching and the conversion of each scalar argument kind.
//
// One hand-written matcher serves all six functions: every parameter may be
// given by position or keyword, the first one or two are required, and the
// error texts follow CPython's own wording. Conversions run in parameter
// order; a TypeError raised while converting is re-raised as
// "argument '{parameter}': {message}".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "python_support.hpp"
#include "robust/robust.hpp"

namespace tarnwold::py {

struct Signature {
    const char* function_name;
    const char* const* parameters;
    std::size_t parameter_count;
    std::size_t required_count;
};

// Matches positional and keyword arguments to the parameters of `signature`.
// slots[i] receives a borrowed reference to the value of parameter i, or
// nullptr when it was not passed. Throws PythonErrorSet (TypeError) on the
// first problem found.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots);

template <std::size_t N>
struct MatchedArguments {
    std::array<PyObject*, N> slots{};

    MatchedArguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        match_arguments(signature, args, nargs, kwnames, slots.data());
    }
    PyObject* operator[](std::size_t i) const { return slots[i]; }
    // Passed and not None: the test for the optional kinds.
    bool given(std::size_t i) const { return slots[i] != nullptr && slots[i] != Py_None; }
};

// Re-raises a pending TypeError as "argument '{parameter}': {message}" with
// the original error's cause; other pending errors stay as they are. Always
// throws PythonErrorSet.
[[noreturn]] void raise_argument_error(const char* parameter);

// The qualified name of an object's type, as in "'list' object ...".
std::string type_name_of(PyObject* object);

std::uint64_t convert_count(PyObject* object, const char* parameter);
double convert_real_double(PyObject* object, const char* parameter);
bool convert_flag(PyObject* object, const char* parameter);
std::string_view convert_text(PyObject* object, const char* parameter);

// A real in the working precision: the _f32 functions round the double to the
// nearest float (a value beyond the float range becomes an infinity).
template <typename T>
T convert_real(PyObject* object, const char* parameter) {
    return static_cast<T>(convert_real_double(object, parameter));
}

// A tuple (or tuple subclass) of exactly three reals.
template <typename T>
TuningTriple<T> convert_triple(PyObject* object, const char* parameter);

}  // namespace tarnwold::py
