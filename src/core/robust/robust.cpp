#include "robust/robust.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/decimal.hpp"
#include "base/fault.hpp"
#include "base/floor.hpp"
#include "robust/order_statistic.hpp"

namespace tarnwold {

namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Every accepted name is plain ASCII, so only characters whose full Unicode
// lower-case mapping is exactly one of those ASCII letters can ever match:
// the ASCII capitals, and the Kelvin sign U+212A (UTF-8 E2 84 AA), which
// lower-cases to 'k'. No other non-ASCII character maps to a bare ASCII
// letter (U+0130, for instance, becomes 'i' followed by a combining dot), so
// all other bytes are kept as they are and simply fail to match.
std::string lower_case_for_matching(std::string_view text) {
    constexpr std::string_view kelvin_sign = "\xE2\x84\xAA";
    std::string lowered;
    lowered.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i, kelvin_sign.size()) == kelvin_sign) {
            lowered.push_back('k');
            i += kelvin_sign.size();
            continue;
        }
        lowered.push_back(ascii_lower(text[i]));
        ++i;
    }
    return lowered;
}

}  // namespace

std::optional<Weighting> parse_weighting(std::string_view utf8_text) {
    const std::string name = lower_case_for_matching(utf8_text);
    if (name == "bisquare") {
        return Weighting::Tukey;
    }
    for (const Weighting weighting : all_weightings) {
        if (name == weighting_name(weighting)) {
            return weighting;
        }
    }
    return std::nullopt;
}

ScaleEstimator parse_scale_estimator(std::string_view utf8_text) {
    constexpr std::string_view huber = "huber";
    if (utf8_text.size() != huber.size()) {
        return ScaleEstimator::Mad;
    }
    for (std::size_t i = 0; i < huber.size(); ++i) {
        if (ascii_lower(utf8_text[i]) != huber[i]) {
            return ScaleEstimator::Mad;
        }
    }
    return ScaleEstimator::Huber;
}

template <typename T>
TuningTriple<T> default_tuning(Weighting weighting) {
    // One table per slot, indexed by the Weighting value.
    static constexpr T t0[] = {T(0), T(0), T(0), T(0), T(0), T(1.5)};
    static constexpr T t1[] = {T(0), T(0), T(0), T(0), T(0), T(3.5)};
    static constexpr T t2[] = {decimal<T>(4.685f, 4.685),   decimal<T>(1.345f, 1.345),
                               decimal<T>(2.385f, 2.385),   decimal<T>(2.985f, 2.985),
                               decimal<T>(1.3998f, 1.3998), T(8)};
    static_assert(std::size(t0) == std::size(all_weightings) && std::size(t1) == std::size(all_weightings) &&
                      std::size(t2) == std::size(all_weightings),
                  "one default tuning per weighting");
    const auto index = static_cast<std::size_t>(weighting);
    if (index >= std::size(t2)) {
        unknown_weighting();
    }
    return {t0[index], t1[index], t2[index]};
}

void unknown_weighting() { throw InternalFault("unknown weighting"); }

bool is_huber_scale(ScaleEstimator scale) {
    switch (scale) {
        case ScaleEstimator::Mad:
            return false;
        case ScaleEstimator::Huber:
            return true;
    }
    throw InternalFault("unknown scale estimator");
}

template <typename T>
T mad_scale(const T* r, const std::uint8_t* mask, std::size_t n, T floor, T* scratch) {
    T* const magnitudes = scratch;
    std::size_t count = 0;
    // Every magnitude is written and only the counted ones are kept, so the
    // loop has no branch on the data.
    for (std::size_t t = 0; t < n; ++t) {
        magnitudes[count] = std::fabs(r[t]);
        count += (mask[t] != 0) & std::isfinite(r[t]) ? 1 : 0;
    }
    return mad_of_magnitudes(magnitudes, count, floor);
}

template <typename T>
T mad_of_middle(T upper, T lower, std::size_t count, T floor) {
    // Both candidates are computed and one is picked, so that the parity of
    // the count costs no branch.
    const T mean = (upper + lower) * T(0.5);
    const T m = count % 2 == 0 ? mean : upper;
    return floored(m * decimal<T>(1.4826f, 1.4826), floor);
}

template <typename T>
T mad_of_magnitudes(T* magnitudes, std::size_t count, T floor) {
    if (count == 0) {
        return floor;
    }
    // The values are finite and non-negative, so the order statistics, and
    // with them the scale, are the same for any method of selection.
    const std::size_t half = count / 2;
    const bool even = count % 2 == 0;
    T lower = T(0);
    const T upper = select_rank(magnitudes, count, half, even ? &lower : nullptr);
    return mad_of_middle(upper, lower, count, floor);
}

template <typename T>
T huber_scale(const T* r, const std::uint8_t* mask, std::size_t n, T floor, T* scratch) {
    // The clipping constant is fixed: it does not follow the tuning of the
    // weighting, which governs the weights, not the scale.
    const T clip = decimal<T>(1.345f, 1.345);
    const T tolerance = decimal<T>(1e-4f, 1e-4);
    constexpr int max_steps = 30;

    T s = mad_scale(r, mask, n, floor, scratch);
    T s_new = s;
    for (int step = 0; step < max_steps; ++step) {
        const T k2 = (clip * s) * (clip * s);
        T acc = T(0);
        T count = T(0);
        for (std::size_t t = 0; t < n; ++t) {
            if (mask[t] != 0 && std::isfinite(r[t])) {
                acc = acc + std::min(r[t] * r[t], k2);
                count = count + T(1);
            }
        }
        if (count == T(0)) {
            return floor;
        }
        s_new = floored(std::sqrt(acc / count), floor);
        // A NaN relative change fails the test and never counts as converged.
        const T rel = std::fabs(s_new - s) / floored(s, floor);
        if (rel < tolerance) {
            return s_new;
        }
        s = s_new;
    }
    return s_new;
}

template TuningTriple<float> default_tuning<float>(Weighting);
template TuningTriple<double> default_tuning<double>(Weighting);
template float mad_of_magnitudes<float>(float*, std::size_t, float);
template float mad_of_middle<float>(float, float, std::size_t, float);
template double mad_of_middle<double>(double, double, std::size_t, double);
template double mad_of_magnitudes<double>(double*, std::size_t, double);
template float mad_scale<float>(const float*, const std::uint8_t*, std::size_t, float, float*);
template double mad_scale<double>(const double*, const std::uint8_t*, std::size_t, double, double*);
template float huber_scale<float>(const float*, const std::uint8_t*, std::size_t, float, float*);
template double huber_scale<double>(const double*, const std::uint8_t*, std::size_t, double, double*);

}  // namespace tarnwold
