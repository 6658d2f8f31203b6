#include "lambda/union_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/fault.hpp"
#include "solve/grid_band.hpp"

namespace tarnwold {

bool contains_all(const double* grid, std::size_t u, const double* x, std::size_t n) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; ++i) {
        while (j < u && grid[j] < x[i]) {
            ++j;
        }
        if (j == u || !(grid[j] == x[i])) {
            return false;
        }
    }
    return true;
}

double run_share(std::uint64_t d) { return std::pow(10.0, -3.0 / static_cast<double>(d)); }

namespace {

// Writes at `weights` the weight of each value at the count nodes p in the
// polynomial through them at t, in Lagrange's form.
void lagrange_weights(const double* p, std::size_t count, double t, double* weights) {
    for (std::size_t k = 0; k < count; ++k) {
        double weight = 1;
        for (std::size_t m = 0; m < count; ++m) {
            if (m != k) {
                weight = weight * ((t - p[m]) / (p[k] - p[m]));
            }
        }
        weights[k] = weight;
    }
}

// Where an output position t within the union's range that is no union
// point is read: returns the first of the order + 1 union points p around
// it (chosen as union_of describes) and writes their weights at `weights`.
std::size_t read_between(const std::vector<double>& p, double t, std::size_t order, double* weights) {
    const std::size_t u = p.size();
    const std::size_t after = static_cast<std::size_t>(std::upper_bound(p.begin(), p.end(), t) - p.begin());
    const std::size_t left = after == 0 ? 0 : after == u ? u - 2 : after - 1;
    const std::size_t right = left + 1;
    std::size_t a = left, b = right;
    for (std::size_t added = 1; added < order; ++added) {
        if (a > 0 && (b + 1 == u || p[left] - p[a - 1] <= p[b + 1] - p[right])) {
            --a;
        } else {
            ++b;
        }
    }
    lagrange_weights(&p[a], b - a + 1, t, weights);
    return a;
}

}  // namespace

UnionGrid union_of(const double* x, std::size_t n, const double* x_out, std::size_t n_out, std::uint64_t d) {
    if (d == 0 || d >= n) {
        throw InternalFault("the union grid needs 1 <= d < n");
    }
    const auto order = static_cast<std::size_t>(d);
    UnionGrid grid;
    OutputPoints& output = grid.output;
    output.first.resize(n_out);
    output.reading.resize(n_out);
    output.spread.assign(n_out, 0.0);
    output.weights.resize(checked_product(n_out, order + 1));
    const double mean_spacing = (x[n - 1] - x[0]) / static_cast<double>(n - 1);
    const double close = close_share * mean_spacing;
    const double run = run_share(d) * mean_spacing;
    double taken = -HUGE_VAL;  // the last x_out position the union took
    const auto add = [&](double position, std::int64_t source) {
        grid.positions.push_back(position);
        grid.source.push_back(source);
    };
    std::size_t i = 0;
    for (std::size_t j = 0; j < n_out; ++j) {
        const double t = x_out[j];
        // Continued from the union's end points, below: never a point of
        // the union.
        if (t < x[0] || t > x[n - 1]) {
            output.reading[j] = Reading::Beyond;
            continue;
        }
        while (i < n && x[i] < t) {
            add(x[i], static_cast<std::int64_t>(i));
            ++i;
        }
        // On an x position, a point of its own, or read between (below).
        const double after = grid.positions.empty() ? HUGE_VAL : t - grid.positions.back();
        const double before = i < n ? x[i] - t : HUGE_VAL;
        if (before == 0) {
            add(x[i], static_cast<std::int64_t>(i));
            ++i;
        } else if (after >= close && before >= close && t - taken >= run) {
            add(t, -1);
            taken = t;
        } else {
            output.reading[j] = Reading::Between;
            continue;
        }
        output.reading[j] = Reading::At;
        output.first[j] = grid.positions.size() - 1;
    }
    for (; i < n; ++i) {
        add(x[i], static_cast<std::int64_t>(i));
    }
    const std::size_t u = grid.positions.size();
    for (std::size_t j = 0; j < n_out; ++j) {
        double* weights = &output.weights[j * (order + 1)];
        switch (output.reading[j]) {
            case Reading::At:
                break;
            case Reading::Between:
                output.first[j] = read_between(grid.positions, x_out[j], order, weights);
                break;
            case Reading::Beyond:
                output.first[j] = x_out[j] < x[0] ? 0 : u - order;
                lagrange_weights(&grid.positions[output.first[j]], order, x_out[j], weights);
                break;
        }
    }
    return grid;
}

void set_beyond_spread(OutputPoints& output, const double* x, std::size_t n, const double* x_out,
                       const SelectionModel& model) {
    const std::size_t d = model.order;
    // The normalised length of one unit of x; the union spans x's range.
    const double per_unit = (model.positions.back() - model.positions.front()) / (x[n - 1] - x[0]);
    double d_factorial = 1, below_factorial = 1;
    for (std::size_t k = 1; k <= d; ++k) {
        d_factorial = d_factorial * static_cast<double>(k);
        below_factorial = k < d ? below_factorial * static_cast<double>(k) : below_factorial;
    }
    const double factor =
        (d_factorial * d_factorial) / (static_cast<double>(2 * d - 1) * (below_factorial * below_factorial));
    for (std::size_t j = 0; j < output.size(); ++j) {
        if (output.reading[j] == Reading::Beyond) {
            const double distance = (x_out[j] < x[0] ? x[0] - x_out[j] : x_out[j] - x[n - 1]) * per_unit;
            output.spread[j] = factor * std::pow(distance, static_cast<double>(2 * d - 1));
        }
    }
}

SelectionModel make_union_model(const double* x, std::size_t n, const double* grid, std::size_t u,
                                std::uint64_t d, double ridge, double eps,
                                std::optional<std::string_view> normalize) {
    if (!contains_all(grid, u, x, n) || !(grid[0] == x[0] && grid[u - 1] == x[n - 1]) || d >= n) {
        throw InternalFault("the union grid must hold every observation position and end where x ends");
    }
    SelectionModel model;
    model.length = u;
    model.order = static_cast<std::size_t>(d);
    model.ridge = ridge;
    model.eps = eps;
    // x's own normalisation, applied as normalize_grid applies it to x.
    const bool shifted = normalize && n >= 2;
    const double shift = shifted ? x[0] : 0.0;
    const double scale = shifted ? grid_scale(x, n, *normalize) : 1.0;
    model.positions.resize(u);
    for (std::size_t j = 0; j < u; ++j) {
        model.positions[j] = shifted ? (grid[j] - shift) / scale : grid[j];
        if (!std::isfinite(model.positions[j])) {
            throw NumericalInstability(
                "normalizing x_out overflows: its span (over x's spacing) exceeds the floating-point range");
        }
    }
    const bool scaled = normalize && normalize_mode(*normalize) != NormalizeMode::Shift;
    if (n >= 2 && !scaled) {
        model.unit_spacing = (x[n - 1] - x[0]) / static_cast<double>(n - 1);
    }
    model.difference = divided_difference_rows(model.positions.data(), u, d, eps);

    // covering[j]: the length of the x interval that union interval j lies
    // in.
    const std::vector<double>& p = model.positions;
    std::vector<double> covering(u - 1);
    // Three indices that only move forward: i in x of the last x position
    // <= grid[j], below and above the union indices of x[i] and x[i + 1].
    std::size_t i = 0, below = 0, above = 0;
    for (std::size_t j = 0; j + 1 < u; ++j) {
        while (i + 1 < n && x[i + 1] <= grid[j]) {
            ++i;
        }
        while (grid[below] < x[i]) {
            ++below;
        }
        while (grid[above] < x[i + 1]) {
            ++above;
        }
        covering[j] = p[above] - p[below];
    }
    DifferenceRows<double>& D = model.difference;
    for (std::size_t r = 0; r < D.count; ++r) {
        double spans = 0, covered = 0;
        for (std::size_t j = r; j < r + model.order; ++j) {
            spans = spans + (p[j + 1] - p[j]);
            covered = covered + covering[j];
        }
        if (spans == covered) {
            continue;
        }
        const double factor = std::sqrt(spans / covered);
        for (std::size_t c = 0; c < D.width; ++c) {
            D.values[r * D.width + c] = D.values[r * D.width + c] * factor;
        }
    }
    finish_penalty(model);
    return model;
}

}  // namespace tarnwold
