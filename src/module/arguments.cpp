#include "arguments.hpp"

#include <string>
#include <vector>

namespace tarnwold::py {
namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": CPython's list of missing names.
std::string quoted_name_list(const char* const* names, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count == 2) {
                list += " and ";
            } else {
                list += (i + 1 == count) ? ", and " : ", ";
            }
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

// Index of the parameter named `keyword`, or parameter_count when none is.
std::size_t parameter_index(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = 0; i < signature.parameter_count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) {
            return i;
        }
    }
    return signature.parameter_count;
}

}  // namespace

void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) {
    const std::string name = signature.function_name;
    const auto given = static_cast<std::size_t>(nargs);
    if (given > signature.parameter_count) {
        raise_type_error(name + "() takes from " + std::to_string(signature.required_count) + " to " +
                         std::to_string(signature.parameter_count) + " positional arguments but " +
                         std::to_string(given) + (given == 1 ? " was given" : " were given"));
    }
    for (std::size_t i = 0; i < signature.parameter_count; ++i) {
        slots[i] = i < given ? args[i] : nullptr;
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t index = parameter_index(signature, keyword);
        if (index == signature.parameter_count) {
            // Formatted from the str object itself: an unknown keyword need
            // not be encodable as UTF-8 (a lone surrogate) and is still only
            // a TypeError.
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.function_name, keyword);
            throw PythonErrorSet{};
        }
        if (slots[index] != nullptr) {
            raise_type_error(name + "() got multiple values for argument '" + signature.parameters[index] +
                             "'");
        }
        slots[index] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required_count; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(signature.parameters[i]);
        }
    }
    const std::size_t missing_count = missing.size();
    if (missing_count > 0) {
        raise_type_error(name + "() missing " + std::to_string(missing_count) +
                         " required positional argument" + (missing_count > 1 ? "s" : "") + ": " +
                         quoted_name_list(missing.data(), missing_count));
    }
}

// A qualified name may hold lone surrogates, which UTF-8 cannot encode; they
// are written as escapes so that the conversion error is still the one raised.
std::string type_name_of(PyObject* object) {
    OwnedRef name = checked(PyType_GetQualName(Py_TYPE(object)));
    OwnedRef utf8 = checked(PyUnicode_AsEncodedString(name.get(), "utf-8", "backslashreplace"));
    return {PyBytes_AS_STRING(utf8.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get()))};
}

void raise_argument_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw PythonErrorSet{};
    }
    OwnedRef original = take_pending_exception();
    OwnedRef message(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    if (!message) {
        throw PythonErrorSet{};
    }
    OwnedRef error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) {
        throw PythonErrorSet{};
    }
    // The replacement carries the original error's cause, not the original
    // error itself: the prefix already repeats its whole text.
    PyException_SetCause(error.get(), PyException_GetCause(original.get()));
    restore_pending_exception(std::move(error));
    throw PythonErrorSet{};
}

std::uint64_t convert_count(PyObject* object, const char* parameter) {
    OwnedRef index;
    if (!PyLong_Check(object)) {
        index = OwnedRef(PyNumber_Index(object));
        if (!index) {
            raise_argument_error(parameter);
        }
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_argument_error(parameter);
    }
    return value;
}

double convert_real_double(PyObject* object, const char* parameter) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        raise_argument_error(parameter);
    }
    return value;
}

namespace {

// NumPy's boolean scalar, recognised by name so that NumPy need not be bound.
bool is_numpy_bool_type(PyTypeObject* type) {
    OwnedRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    OwnedRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!name || !module) {
        PyErr_Clear();
        return false;
    }
    const bool named_bool =
        PyUnicode_Check(name.get()) && (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                                        PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
    return named_bool && PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool convert_flag(PyObject* object, const char* parameter) {
    if (Py_IS_TYPE(object, &PyBool_Type)) {
        return object == Py_True;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (is_numpy_bool_type(type) && type->tp_as_number != nullptr && type->tp_as_number->nb_bool != nullptr) {
        const int truth = type->tp_as_number->nb_bool(object);
        if (truth < 0) {
            raise_argument_error(parameter);
        }
        return truth != 0;
    }
    PyErr_SetString(PyExc_TypeError,
                    ("'" + type_name_of(object) + "' object cannot be cast as 'bool'").c_str());
    raise_argument_error(parameter);
}

std::string_view convert_text(PyObject* object, const char* parameter) {
    if (!PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError,
                        ("'" + type_name_of(object) + "' object cannot be cast as 'str'").c_str());
        raise_argument_error(parameter);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        raise_argument_error(parameter);
    }
    return {utf8, static_cast<std::size_t>(size)};
}

template <typename T>
TuningTriple<T> convert_triple(PyObject* object, const char* parameter) {
    if (!PyTuple_Check(object)) {
        PyErr_SetString(PyExc_TypeError,
                        ("'" + type_name_of(object) + "' object cannot be cast as 'tuple'").c_str());
        raise_argument_error(parameter);
    }
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != 3) {
        fail(PyExc_ValueError,
             "expected tuple of length 3, but got tuple of length " + std::to_string(length));
    }
    const T t0 = convert_real<T>(PyTuple_GET_ITEM(object, 0), parameter);
    const T t1 = convert_real<T>(PyTuple_GET_ITEM(object, 1), parameter);
    const T t2 = convert_real<T>(PyTuple_GET_ITEM(object, 2), parameter);
    return {t0, t1, t2};
}

template TuningTriple<float> convert_triple<float>(PyObject*, const char*);
template TuningTriple<double> convert_triple<double>(PyObject*, const char*);

}  // namespace tarnwold::py
