// What every function of the module shares: the wall between C++ and
// CPython, the internal-fault exception, and the one-time initialisation
// guard.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "fault.hpp"
#include "python_support.hpp"

namespace tarnwold::py {

// Sets the internal-fault exception with `text` as its argument. Creates the
// exception type on first use. Never returns with anything but that exception
// pending: if even that is impossible, the process is aborted.
void raise_internal_fault(const std::string& text);

// Runs `body` and turns every way it can end into the CPython convention: a
// new reference, or NULL with an exception set. Nothing thrown may cross an
// extern "C" boundary, so this wraps every entry point.
template <typename Body>
PyObject* guarded_call(Body&& body) noexcept {
    try {
        return body();
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

// Runs `initialise` once per process. A thread that has to wait for another
// thread's initialisation waits without the interpreter lock, so the two can
// never deadlock on it; the work itself runs with the lock held. Once done,
// later calls only read an atomic flag. `initialise` may throw; the guard is
// then left open for the next attempt.
template <typename Initialise>
void run_once(std::atomic<bool>& done, std::mutex& guard, Initialise&& initialise) {
    if (done.load(std::memory_order_acquire)) {
        return;
    }
    Py_BEGIN_ALLOW_THREADS guard.lock();
    Py_END_ALLOW_THREADS std::lock_guard<std::mutex> hold(guard, std::adopt_lock);
    if (!done.load(std::memory_order_relaxed)) {
        initialise();
        done.store(true, std::memory_order_release);
    }
}

}  // namespace tarnwold::py
