#include "grid_band.hpp"

#include <algorithm>

#include "fault.hpp"
#include "floor.hpp"

namespace tarnwold {

NormalizeMode normalize_mode(std::string_view text) {
    if (text == "mean") {
        return NormalizeMode::Mean;
    }
    if (text == "median") {
        return NormalizeMode::Median;
    }
    return NormalizeMode::Shift;
}

namespace {

// Median of the positive spacings, or 1 when there is none. A zero, negative
// or NaN spacing would make the scale meaningless, so it never takes part.
// The middle element is found by selection; for an even count the lower
// middle is the largest value left before it, which selection guarantees.
template <typename T>
T median_spacing(const T* x, std::size_t n) {
    std::vector<T> spacings;
    spacings.reserve(n - 1);
    for (std::size_t i = 1; i < n; ++i) {
        const T h = x[i] - x[i - 1];
        if (h > T(0)) {
            spacings.push_back(h);
        }
    }
    if (spacings.empty()) {
        return T(1);
    }
    const std::size_t half = spacings.size() / 2;
    const auto middle = spacings.begin() + static_cast<std::ptrdiff_t>(half);
    std::nth_element(spacings.begin(), middle, spacings.end());
    const T m = *middle;
    if (spacings.size() % 2 != 0) {
        return m;
    }
    const T lower = *std::max_element(spacings.begin(), middle);
    return (m + lower) * T(0.5);
}

}  // namespace

template <typename T>
std::vector<T> normalize_grid(const T* x, std::size_t n, std::string_view text) {
    if (n < 2) {
        return std::vector<T>(x, x + n);
    }
    const T x0 = x[0];
    T scale = T(1);
    switch (normalize_mode(text)) {
        case NormalizeMode::Mean:
            scale = (x[n - 1] - x0) / static_cast<T>(n - 1);
            break;
        case NormalizeMode::Median:
            scale = median_spacing(x, n);
            break;
        case NormalizeMode::Shift:
        case NormalizeMode::Off:
            break;
    }
    if (!(scale > T(0))) {
        scale = T(1);
    }
    // A true division per element: multiplying by 1/scale would round twice.
    std::vector<T> xn(n);
    for (std::size_t i = 0; i < n; ++i) {
        xn[i] = (x[i] - x0) / scale;
    }
    return xn;
}

template <typename T>
PenaltyBand<T> build_penalty_band(const T* x, std::size_t n, std::uint64_t d, T eps) {
    // Order e has n - e rows and is built from order e - 1, so orders up to n
    // exist (order n with no rows). Beyond that, and for any order >= 1 on an
    // empty grid, there is nothing to difference. Checking d <= n first also
    // keeps 2*d and the sizes below from overflowing.
    if (d > n) {
        throw InternalFault("difference order exceeds the grid length");
    }
    const std::size_t order = static_cast<std::size_t>(d);
    const std::size_t k = checked_product(2, order);
    // The band is at least as large as any row buffer, so this one check
    // covers every allocation below.
    const std::size_t band_size = checked_product(k + 1, n);

    // rows holds `count` rows of `width` coefficients each, row-major.
    // Order 0 is the identity: n rows holding the single coefficient 1.
    std::size_t width = order == 0 ? 1 : 2;
    std::size_t count = order == 0 ? n : n - 1;
    std::vector<T> rows(count * width, T(1));
    if (order >= 1) {
        for (std::size_t i = 1; i < n; ++i) {
            const T h = floored(x[i] - x[i - 1], eps);
            rows[2 * (i - 1)] = T(-1) / h;
            rows[2 * (i - 1) + 1] = T(1) / h;
        }
    }
    for (std::size_t e = 2; e <= order; ++e) {
        // count >= 1 here because e <= n.
        const std::size_t next_count = count - 1;
        const std::size_t next_width = e + 1;
        std::vector<T> next(next_count * next_width, T(0));
        for (std::size_t r = 0; r < next_count; ++r) {
            const T* p = rows.data() + r * width;
            const T* p_next = p + width;
            T* q = next.data() + r * next_width;
            // Each coefficient is formed by exactly one addition to and one
            // subtraction from zero, in this order, so signed zeros and
            // rounding come out the same on every platform.
            for (std::size_t j = 0; j < e; ++j) {
                q[j + 1] = p_next[j] + q[j + 1];
                q[j] = q[j] - p[j];
            }
            // One reciprocal, then a product per coefficient.
            const T g = T(1) / floored(x[r + e] - x[r], eps);
            for (std::size_t j = 0; j < next_width; ++j) {
                q[j] = q[j] * g;
            }
        }
        rows = std::move(next);
        width = next_width;
        count = next_count;
    }

    // Every band element accumulates its contributions from zero, rows in
    // increasing order, each as a product followed by an addition.
    PenaltyBand<T> band;
    band.values.assign(band_size, T(0));
    band.k = k;
    band.columns = n;
    T* values = band.values.data();
    for (std::size_t r = 0; r < count; ++r) {
        const T* p = rows.data() + r * width;
        for (std::size_t a = 0; a <= order; ++a) {
            for (std::size_t b = 0; b <= a; ++b) {
                T& element = values[(a - b) * n + (r + a)];
                element = p[b] * p[a] + element;
            }
        }
    }
    return band;
}

template std::vector<float> normalize_grid<float>(const float*, std::size_t, std::string_view);
template std::vector<double> normalize_grid<double>(const double*, std::size_t, std::string_view);
template PenaltyBand<float> build_penalty_band<float>(const float*, std::size_t, std::uint64_t,
                                                      float);
template PenaltyBand<double> build_penalty_band<double>(const double*, std::size_t,
                                                        std::uint64_t, double);

}  // namespace tarnwold
