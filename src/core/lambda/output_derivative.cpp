#include "lambda/output_derivative.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "base/fault.hpp"

namespace tarnwold {
namespace {

// The weights of the three fit values around point j (those at c - 1, c, c + 1
// with c the point clamped to 1 .. points - 2) in the derivative at j.
std::array<double, 3> parabola_weights(const double* at, std::size_t points, std::size_t j,
                                       std::uint64_t derivative) {
    const std::size_t c = std::clamp<std::size_t>(j, 1, points - 2);
    const double a = at[c - 1], b = at[c], e = at[c + 1], t = at[j];
    const double ab = a - b, ae = a - e, be = b - e;
    switch (derivative) {
        case 1:
            return {((t - b) + (t - e)) / (ab * ae), ((t - a) + (t - e)) / (-ab * be),
                    ((t - a) + (t - b)) / (ae * be)};
        case 2:
            return {2 / (ab * ae), 2 / (-ab * be), 2 / (ae * be)};
    }
    throw InternalFault("no divided differences of order " + std::to_string(derivative));
}

}  // namespace

void differentiate_rows(double* z, std::size_t rows, const double* at, std::size_t points,
                        std::uint64_t derivative) {
    if (points < derivative + 1) throw InternalFault("too few output positions for the derivative");
    if (points == 2) {
        for (std::size_t s = 0; s < rows; ++s) {
            double* row = z + s * 2;
            const double slope = (row[1] - row[0]) / (at[1] - at[0]);
            row[0] = slope;
            row[1] = slope;
        }
        return;
    }
    std::vector<std::array<double, 3>> weights(points);
    for (std::size_t j = 0; j < points; ++j) weights[j] = parabola_weights(at, points, j, derivative);
    std::vector<double> fit(points);
    for (std::size_t s = 0; s < rows; ++s) {
        double* row = z + s * points;
        std::copy_n(row, points, fit.begin());
        for (std::size_t j = 0; j < points; ++j) {
            const std::size_t c = std::clamp<std::size_t>(j, 1, points - 2);
            const std::array<double, 3>& w = weights[j];
            row[j] = w[0] * fit[c - 1] + w[1] * fit[c] + w[2] * fit[c + 1];
        }
    }
}

}  // namespace tarnwold
