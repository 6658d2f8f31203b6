// Decimal constants in the working precision.
//
// Every decimal constant of the algorithms is used as the nearest value of
// the working precision. A double literal converted to float is rounded twice
// and can land one unit away from the nearest float, so each constant is
// spelled once per precision and the template picks the right spelling.
#pragma once

#include <type_traits>

namespace tarnwold {

template <typename T>
constexpr T decimal(float nearest_float, double nearest_double) {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
    if constexpr (std::is_same_v<T, float>) {
        return nearest_float;
    } else {
        return nearest_double;
    }
}

}  // namespace tarnwold
