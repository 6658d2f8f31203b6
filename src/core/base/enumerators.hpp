// Every value of a one-byte enumeration, in increasing order, read off the
// function that names its enumerators.
//
// The naming function is a switch without a default that returns one
// non-empty name per enumerator and an empty one after the switch, for a
// value outside the enumeration. The build's -Wswitch (an error there)
// rejects a switch that misses an enumerator, so a list taken from that
// function cannot miss one either: a weighting, criterion or kernel added
// to its enumeration is in every loop and dispatch built on its list
// without anyone writing it out a second time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace tarnwold {

template <typename E, std::string_view (*Name)(E)>
constexpr std::size_t enumerator_count() {
    static_assert(std::is_same_v<std::underlying_type_t<E>, std::uint8_t>,
                  "every value of the enumeration is tried, so it must fit in one byte");
    std::size_t count = 0;
    for (unsigned value = 0; value <= UINT8_MAX; ++value) {
        count += Name(static_cast<E>(value)).empty() ? 0 : 1;
    }
    return count;
}

template <typename E, std::string_view (*Name)(E)>
inline constexpr std::array<E, enumerator_count<E, Name>()> enumerators = [] {
    std::array<E, enumerator_count<E, Name>()> values{};
    std::size_t next = 0;
    for (unsigned value = 0; value <= UINT8_MAX; ++value) {
        if (!Name(static_cast<E>(value)).empty()) {
            values[next++] = static_cast<E>(value);
        }
    }
    return values;
}();

}  // namespace tarnwold
