// What every function of the module shares: the wall between C++ and
// CPython and the internal-fault exception.
#pragma once

#include <exception>
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

}  // namespace tarnwold::py
