// How the selection module's functions call the core: without the
// interpreter lock, behind the error wall shared with the module.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <string>
#include <utility>

#include "error_wall.hpp"
#include "python_support.hpp"

namespace tarnwold::py::selection {

// Set on a thread that is being ended while it runs without the interpreter
// lock: CPython 3.11 to 3.13 end a daemon thread with pthread_exit when it
// asks for the lock back while the interpreter finalises. The unwinding that
// follows must not touch a Python object: the thread holds no lock, and the
// objects belong to an interpreter being torn down. What they hold is left
// to the process's end, as CPython leaves the thread's own frames.
inline thread_local bool ending_without_interpreter_lock = false;

// Runs the core's work without the interpreter lock; what it throws is
// rethrown once the lock is back. A thread ended meanwhile or while it asks
// for the lock back unwinds from here without it.
template <typename Work>
inline void without_interpreter_lock(Work&& work) {
    std::exception_ptr error;
    PyThreadState* const state = PyEval_SaveThread();
    try {
        try {
            work();
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (...) {
            error = std::current_exception();
        }
        PyEval_RestoreThread(state);
    } catch (const abi::__forced_unwind&) {
        ending_without_interpreter_lock = true;
        throw;
    }
    if (error) std::rethrow_exception(error);
}

inline PyObject* internal_fault_type = nullptr;  // created on first use, never released

// A RuntimeError for a broken invariant of the native code.
inline void raise_internal_fault(const std::string& text) {
    raise_kept_exception(internal_fault_type, "tarnwold_tools._select.InternalFault",
                         "Raised when the native lam selection fails internally (a broken invariant, an\n"
                         "allocation size that overflows).",
                         PyExc_RuntimeError,
                         "tarnwold_tools._select: an internal fault occurred and could not be reported",
                         text);
}

template <typename Body>
inline PyObject* guarded(Body&& body) {
    return call_within_wall(raise_internal_fault, std::forward<Body>(body));
}

}  // namespace tarnwold::py::selection
