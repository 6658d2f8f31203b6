// The choices of the robust smoother (weighting, tuning, scale estimator)
// and the residual scale estimators of IRLS.
//
// Everything here is pure arithmetic on one series, evaluated in the stated
// order of operations in the working precision; every decimal constant is
// the nearest value of that precision.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/enumerators.hpp"

namespace tarnwold {

enum class Weighting : std::uint8_t { Tukey = 0, Huber, Cauchy, Welsch, Fair, Hampel };

// The name a weighting is called by; empty outside the enumeration. Its
// switch names every enumerator, which makes all_weightings complete.
constexpr std::string_view weighting_name(Weighting weighting) {
    switch (weighting) {
        case Weighting::Tukey:
            return "tukey";
        case Weighting::Huber:
            return "huber";
        case Weighting::Cauchy:
            return "cauchy";
        case Weighting::Welsch:
            return "welsch";
        case Weighting::Fair:
            return "fair";
        case Weighting::Hampel:
            return "hampel";
    }
    return {};
}

// Every weighting: the lane kernels' reweighting has one instance per
// entry, and the tests compare each with the scalar reference.
inline constexpr auto all_weightings = enumerators<Weighting, weighting_name>;

enum class ScaleEstimator { Mad, Huber };

// The weighting whose name (or "bisquare" for Tukey) equals the text after
// Unicode lower-casing. No trimming, no other aliases.
std::optional<Weighting> parse_weighting(std::string_view utf8_text);

// Huber when the text is exactly "huber" in any ASCII letter case; otherwise
// (including "mad", the empty string and misspellings) Mad. Never fails.
ScaleEstimator parse_scale_estimator(std::string_view utf8_text);

// Whether the scale is Huber's rather than the MAD: a switch over every
// estimator, so that one added later cannot pass for the MAD unnoticed.
bool is_huber_scale(ScaleEstimator scale);

// The functions with one constant read only t2; Hampel reads all three as its
// breakpoints a, b, c.
template <typename T>
struct TuningTriple {
    T t0;
    T t1;
    T t2;
};

template <typename T>
TuningTriple<T> default_tuning(Weighting weighting);

// Thrown at a Weighting outside the enumeration: a broken invariant. The
// weight functions themselves are in weight_functions.hpp.
[[noreturn]] void unknown_weighting();

// Scales of the residuals r[0..n) at positions whose mask is set and whose
// residual is finite; never below floor, and floor when none is usable.
// scratch: n values, so that a loop over many series allocates nothing per
// series.
template <typename T>
T mad_scale(const T* r, const std::uint8_t* mask, std::size_t n, T floor, T* scratch);
template <typename T>
T huber_scale(const T* r, const std::uint8_t* mask, std::size_t n, T floor, T* scratch);

// The MAD scale from the magnitudes it is taken over, already collected:
// the count usable residuals' |r|, in any order; reorders them.
template <typename T>
T mad_of_magnitudes(T* magnitudes, std::size_t count, T floor);
// The MAD scale from the middle of count >= 1 magnitudes in ascending
// order: upper is the value of rank count / 2, lower that of the rank below
// it, which only an even count reads.
template <typename T>
T mad_of_middle(T upper, T lower, std::size_t count, T floor);

}  // namespace tarnwold
