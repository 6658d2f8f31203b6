// Internal faults of the numerical core.
//
// The core reports one numerical error only: a single-precision robust batch
// whose double-precision rerun still leaves float's range
// (NumericalInstability, a ValueError in Python). Floors absorb every other
// division by zero and negative square root. What remains are broken
// invariants (an index out of range, a size that overflows) and resource
// exhaustion. The former are thrown as InternalFault and surface in Python
// as the module's internal-fault exception; std::bad_alloc is left to
// propagate as it is.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace tarnwold {

class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class NumericalInstability : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// a * b, or InternalFault when the product does not fit in std::size_t.
inline std::size_t checked_product(std::size_t a, std::size_t b) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        throw InternalFault("allocation size overflows");
    }
    return product;
}

}  // namespace tarnwold
