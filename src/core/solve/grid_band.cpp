#include "solve/grid_band.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/fault.hpp"
#include "base/floor.hpp"
#include "runtime/scratch.hpp"

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
    Scratch<T> buffer(n - 1);
    T* const spacings = buffer.data();
    std::size_t count = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const T h = x[i] - x[i - 1];
        if (h > T(0)) {
            spacings[count++] = h;
        }
    }
    if (count == 0) {
        return T(1);
    }
    T* const middle = spacings + count / 2;
    std::nth_element(spacings, middle, spacings + count);
    const T m = *middle;
    if (count % 2 != 0) {
        return m;
    }
    const T lower = *std::max_element(spacings, middle);
    return (m + lower) * T(0.5);
}

}  // namespace

template <typename T>
void normalize_grid(const T* x, std::size_t n, std::string_view text, T* normalized) {
    if (n < 2) {
        std::copy_n(x, n, normalized);
        return;
    }
    const T x0 = x[0];
    const T scale = grid_scale(x, n, text);
    // A true division per element: multiplying by 1/scale would round twice.
    for (std::size_t i = 0; i < n; ++i) {
        normalized[i] = (x[i] - x0) / scale;
    }
    // Shifted and scaled positions grow with their index, so the last one is
    // the largest: when it is not finite although both ends are, the span
    // (or the span over a tiny spacing) overflowed, and any penalty built on
    // the grid would be meaningless. Other grids are the callers' to reject.
    if (std::isfinite(x0) && std::isfinite(x[n - 1]) && !std::isfinite(normalized[n - 1])) {
        throw NumericalInstability(
            "normalizing x overflows: its span (over the spacing) exceeds the floating-point range");
    }
}

template <typename T>
T grid_scale(const T* x, std::size_t n, std::string_view text) {
    if (n < 2) {
        return T(1);
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
            break;
    }
    if (!(scale > T(0))) {
        scale = T(1);
    }
    return scale;
}

template <typename T>
std::vector<T> normalize_grid(const T* x, std::size_t n, std::string_view text) {
    std::vector<T> normalized(n);
    normalize_grid(x, n, text, normalized.data());
    return normalized;
}

template <typename T>
DifferenceRows<T> divided_difference_rows(const T* x, std::size_t n, std::uint64_t d, T eps) {
    // Order e has n - e rows and is built from order e - 1, so orders up to n
    // exist (order n with no rows). Beyond that, and for any order >= 1 on an
    // empty grid, there is nothing to difference. Checking d <= n first also
    // keeps 2*d and the sizes below from overflowing.
    if (d > n) {
        throw InternalFault("difference order exceeds the grid length");
    }
    const std::size_t order = static_cast<std::size_t>(d);
    // The band of P is at least as large as any row buffer, so this one
    // check covers every allocation below and in build_penalty_band.
    checked_product(checked_product(2, order) + 1, n);

    // rows holds `count` rows of `width` coefficients each, row-major; the
    // next order is formed in `next` and the two buffers swap, so the whole
    // recursion allocates twice.
    // Order 0 is the identity: n rows holding the single coefficient 1.
    std::size_t width = order == 0 ? 1 : 2;
    std::size_t count = order == 0 ? n : n - 1;
    // Scratch, not vectors: for long grids these are megabytes, which freed
    // through malloc would stay resident in the calling thread's heap.
    Scratch<T> rows(order == 0 ? n : checked_product(count, order + 1));
    std::fill_n(rows.data(), rows.size(), T(1));
    Scratch<T> next(order >= 2 ? rows.size() : 0);
    if (order >= 1) {
        for (std::size_t i = 1; i < n; ++i) {
            const T h = floored(x[i] - x[i - 1], eps);
            // -1/h is -(1/h) bit for bit: a quotient's magnitude does not
            // depend on the signs. A NaN h keeps its own sign in both
            // quotients, so it takes the true division.
            const T reciprocal = T(1) / h;
            rows[2 * (i - 1)] = h == h ? -reciprocal : T(-1) / h;
            rows[2 * (i - 1) + 1] = reciprocal;
        }
    }
    for (std::size_t e = 2; e <= order; ++e) {
        // count >= 1 here because e <= n.
        const std::size_t next_count = count - 1;
        const std::size_t next_width = e + 1;
        for (std::size_t r = 0; r < next_count; ++r) {
            const T* p = rows.data() + r * width;
            const T* p_next = p + width;
            T* q = next.data() + r * next_width;
            // Each coefficient is formed from zero by exactly one addition
            // (of p_next[j - 1]) and then one subtraction (of p[j]), those
            // it has, so signed zeros and rounding come out the same on every
            // platform; then one product with the reciprocal of the spacing.
            const T g = T(1) / floored(x[r + e] - x[r], eps);
            q[0] = (T(0) - p[0]) * g;
            for (std::size_t j = 1; j < e; ++j) {
                q[j] = ((p_next[j - 1] + T(0)) - p[j]) * g;
            }
            q[e] = (p_next[e - 1] + T(0)) * g;
        }
        std::swap(rows, next);
        width = next_width;
        count = next_count;
    }
    rows.resize(count * width);
    return {std::move(rows), count, width};
}

template <typename T>
PenaltyBand<T> build_penalty_band(const T* x, std::size_t n, std::uint64_t d, T eps) {
    return penalty_band_from_rows(divided_difference_rows(x, n, d, eps), n, d);
}

template <typename T>
PenaltyBand<T> penalty_band_from_rows(const DifferenceRows<T>& difference, std::size_t n, std::uint64_t d) {
    const std::size_t order = static_cast<std::size_t>(d);
    const std::size_t k = 2 * order;
    const std::size_t band_size = (k + 1) * n;
    const std::size_t count = difference.count;
    const std::size_t width = difference.width;
    const Scratch<T>& rows = difference.values;

    // Every band element accumulates its contributions from zero, rows in
    // increasing order, each as a product followed by an addition. Element
    // (j, c) takes from row r = c - a the product p[a - j] * p[a], for every
    // a in [j, order] whose row exists; it is summed in a register and
    // stored once, which keeps each sum's operations and their order.
    PenaltyBand<T> band;
    band.values.assign(band_size, T(0));
    band.k = k;
    band.columns = n;
    T* values = band.values.data();
    for (std::size_t c = 0; c < n; ++c) {
        const std::size_t a_top = std::min(order, c);
        // Rows r = c - a < count, so a >= c - count + 1.
        const std::size_t a_low = c >= count ? c - count + 1 : 0;
        for (std::size_t j = 0; j <= a_top; ++j) {
            T element = T(0);
            for (std::size_t a = a_top + 1; a-- > std::max(j, a_low);) {
                const T* p = rows.data() + (c - a) * width;
                element = p[a - j] * p[a] + element;
            }
            values[j * n + c] = element;
        }
    }
    return band;
}

template float grid_scale<float>(const float*, std::size_t, std::string_view);
template double grid_scale<double>(const double*, std::size_t, std::string_view);
template void normalize_grid<float>(const float*, std::size_t, std::string_view, float*);
template void normalize_grid<double>(const double*, std::size_t, std::string_view, double*);
template std::vector<float> normalize_grid<float>(const float*, std::size_t, std::string_view);
template std::vector<double> normalize_grid<double>(const double*, std::size_t, std::string_view);
template DifferenceRows<float> divided_difference_rows<float>(const float*, std::size_t, std::uint64_t,
                                                              float);
template DifferenceRows<double> divided_difference_rows<double>(const double*, std::size_t, std::uint64_t,
                                                                double);
template PenaltyBand<float> build_penalty_band<float>(const float*, std::size_t, std::uint64_t, float);
template PenaltyBand<double> build_penalty_band<double>(const double*, std::size_t, std::uint64_t, double);
template PenaltyBand<double> penalty_band_from_rows<double>(const DifferenceRows<double>&, std::size_t,
                                                            std::uint64_t);

}  // namespace tarnwold
