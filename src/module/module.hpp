// What every function of the module shares: the wall between C++ and
// CPython and the internal-fault exception.
#pragma once

#include <string>
#include <utility>

#include "error_wall.hpp"

namespace tarnwold::py {

// Sets the internal-fault exception with `text` as its argument. Creates the
// exception type on first use. Never returns with anything but that exception
// pending: if even that is impossible, the process is aborted.
void raise_internal_fault(const std::string& text);

// Runs `body` behind the wall with tarnwold's internal-fault exception.
template <typename Body>
PyObject* guarded_call(Body&& body) {
    return call_within_wall(raise_internal_fault, std::forward<Body>(body));
}

}  // namespace tarnwold::py
