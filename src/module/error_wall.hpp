// The wall between C++ and CPython that every entry point of the native
// modules runs behind; each module passes in how it raises its own
// internal-fault exception.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>

#include "base/fault.hpp"
#include "python_support.hpp"

namespace tarnwold::py {

// Sets the module's internal-fault exception with `text` as its argument and
// never returns with anything else pending.
using InternalFaultRaiser = void (*)(const std::string& text);

// Sets `type` with `text` as its argument, creating it on first use as a
// subclass of `base` named `name`; the type is kept for the process. If even
// its creation fails, the process is aborted with `fatal`.
inline void raise_kept_exception(PyObject*& type, const char* name, const char* doc, PyObject* base,
                                 const char* fatal, const std::string& text) {
    if (type == nullptr) {
        PyObject* created = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
        if (created == nullptr) {
            Py_FatalError(fatal);
        }
        // Creating it may run Python code that raised a fault first.
        if (type == nullptr) {
            type = created;
        } else {
            Py_DECREF(created);
        }
    }
    PyErr_SetString(type, text.c_str());
}

// Runs `body` and turns every way it can end into the CPython convention: a
// new reference, or NULL with an exception set. Nothing thrown may cross an
// extern "C" boundary, so this wraps every entry point.
//
// The one thing that passes is the unwinding of a thread that is being ended
// (pthread_exit, cancellation): CPython 3.11 to 3.13 end a daemon thread that
// way when it asks for the interpreter lock back while the interpreter
// finalises. That unwinding must reach the thread's start; stopped here, the
// runtime aborts the process. Hence the wall is not noexcept.
template <typename Body>
PyObject* call_within_wall(InternalFaultRaiser raise_internal_fault, Body&& body) {
    try {
        return body();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const Failure& failure) {
        // The message may quote a caller's text, NUL characters included.
        OwnedRef message(PyUnicode_DecodeUTF8(failure.message.data(),
                                              static_cast<Py_ssize_t>(failure.message.size()), "replace"));
        if (message) {
            PyErr_SetObject(failure.type, message.get());
        }
        return nullptr;
    } catch (const NumericalInstability& instability) {
        PyErr_SetString(PyExc_ValueError, instability.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& fault) {
        raise_internal_fault(fault.what());
        return nullptr;
    } catch (...) {
        raise_internal_fault("unknown internal fault");
        return nullptr;
    }
}

}  // namespace tarnwold::py
