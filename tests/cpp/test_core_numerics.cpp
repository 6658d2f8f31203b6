// Unit tests of the numerical core for what the Python tests cannot reach
// easily: weight functions at special values, parser corner cases, the
// worked band and merge examples, and the solver's floors and re-solve.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/decimal.hpp"
#include "base/fault.hpp"
#include "check.hpp"
#include "lambda/lambda_search.hpp"
#include "lanes/kernel_choice.hpp"
#include "robust/irls.hpp"
#include "robust/robust.hpp"
#include "robust/robust_smooth.hpp"
#include "robust/weight_functions.hpp"
#include "solve/banded_solve.hpp"
#include "solve/grid_band.hpp"
#include "solve/merge.hpp"
#include "solve/series_solve.hpp"

using namespace tarnwold;

namespace {

template <typename T>
constexpr T inf = std::numeric_limits<T>::infinity();
template <typename T>
constexpr T nan = std::numeric_limits<T>::quiet_NaN();

// Element-wise equality of a vector or a matrix's buffer with the expected values.
template <class Values, typename T>
bool same_values(const Values& got, const std::vector<T>& expected) {
    return got.size() == expected.size() && std::equal(expected.begin(), expected.end(), got.begin());
}

template <typename T>
void assign(ZeroedBuffer<T>& target, std::type_identity_t<std::initializer_list<T>> values) {
    std::copy(values.begin(), values.end(), target.begin());
}

template <typename T>
bool throws_fault(const T* x, std::size_t n, std::uint64_t d) {
    try {
        build_penalty_band(x, n, d, T(1e-6));
    } catch (const InternalFault&) {
        return true;
    }
    return false;
}

template <typename T>
void test_penalty_band() {
    const T x4[] = {0, 1, 2, 3};
    PenaltyBand<T> b = build_penalty_band(x4, 4, 1, T(1e-6));
    CHECK(b.k == 2 && b.columns == 4);
    CHECK(same_values(b.values, std::vector<T>{1, 2, 2, 1, 0, -1, -1, -1, 0, 0, 0, 0}));

    const T x5[] = {0, 1, 2, 3, 4};
    b = build_penalty_band(x5, 5, 2, T(1e-6));
    CHECK(b.k == 4);
    std::vector<T> expected{0.25, 1.25, 1.5, 1.25, 0.25, 0, -0.5, -1, -1, -0.5, 0, 0, 0.25, 0.25, 0.25};
    expected.resize(25, T(0));
    CHECK(same_values(b.values, expected));

    // One second-order row on an irregular grid, formed step by step in T.
    const T x3[] = {0, 1, 3};
    b = build_penalty_band(x3, 3, 2, T(1e-6));
    const T g = T(1) / T(3);
    const T row[] = {T(1) * g, (T(-0.5) - T(1)) * g, T(0.5) * g};
    CHECK(b.values[0] == row[0] * row[0] && b.values[1] == row[1] * row[1] && b.values[2] == row[2] * row[2]);
    CHECK(b.values[3 + 1] == row[0] * row[1] && b.values[2 * 3 + 2] == row[0] * row[2]);

    b = build_penalty_band(x3, 3, 0, T(1e-6));
    CHECK(b.k == 0 && same_values(b.values, std::vector<T>{1, 1, 1}));

    // d == T: no rows, an all-zero band; d > T or an empty grid: a fault.
    b = build_penalty_band(x4, 2, 2, T(1e-6));
    CHECK(b.k == 4 && same_values(b.values, std::vector<T>(10, T(0))));
    CHECK(throws_fault(x4, 2, 3));
    CHECK(throws_fault(x4, 0, 1));
    CHECK(!throws_fault(x4, 0, 0));
    CHECK(throws_fault(x4, 4, std::numeric_limits<std::uint64_t>::max()));
}

void test_spacing_floor() {
    const double x[] = {0, 1e-9, 1};
    const PenaltyBand<double> b = build_penalty_band(x, 3, 1, 1e-6);
    const double inverse = 1.0 / 1e-6;
    CHECK(b.values[0] == inverse * inverse);
    CHECK(std::fabs(b.values[0] - 1e12) <= 1e-3);
}

template <typename T>
void test_normalize_grid() {
    const T x[] = {10, 12, 13, 17, 18};
    const T mean_spacing = T(7) / T(3);
    CHECK(same_values(normalize_grid(x, 4, "mean"),
                      std::vector<T>{0, T(2) / mean_spacing, T(3) / mean_spacing, T(7) / mean_spacing}));
    CHECK(same_values(normalize_grid(x, 4, "median"), std::vector<T>{0, 1, 1.5, 3.5}));
    for (const char* shift : {"Mean", "none", "", "median "}) {
        CHECK(same_values(normalize_grid(x, 4, shift), std::vector<T>{0, 2, 3, 7}));
    }
    const std::vector<T> even = normalize_grid(x, 5, "median");  // spacings 2 1 4 1
    CHECK(even[1] == T(2) / T(1.5) && even[4] == T(8) / T(1.5));
    CHECK(same_values(normalize_grid(x + 1, 1, "mean"), std::vector<T>{12}));
    // No positive spacing: the scale falls back to 1 and only the shift stays.
    const T flat[] = {5, 5, nan<T>};
    const std::vector<T> shifted = normalize_grid(flat, 3, "median");
    CHECK(shifted[0] == 0 && shifted[1] == 0 && std::isnan(shifted[2]));
    // Finite ends whose normalised span overflows: by the span itself, or by
    // the span over a tiny median spacing.
    const T big = std::numeric_limits<T>::max();
    for (const auto& [grid, mode] :
         {std::pair{std::vector<T>{-big, 0, big}, "mean"}, std::pair{std::vector<T>{-big, 0, big}, "median"},
          std::pair{std::vector<T>{0, T(1e-30), T(2e-30), big}, "median"}}) {
        bool thrown = false;
        try {
            static_cast<void>(normalize_grid(grid.data(), grid.size(), mode));
        } catch (const NumericalInstability&) {
            thrown = true;
        }
        CHECK(thrown);
    }
    CHECK(normalize_mode("mean") == NormalizeMode::Mean &&
          normalize_mode("median") == NormalizeMode::Median &&
          normalize_mode("MEDIAN") == NormalizeMode::Shift);
}

// Dense Gaussian elimination on the assembled system, as an independent
// reference for the band indexing of the factorisation.
std::vector<double> dense_reference(const PenaltyBand<double>& band, const std::vector<double>& w,
                                    const std::vector<double>& y, double lam, double ridge) {
    const std::size_t n = band.columns;
    std::vector<double> a(n * n, 0.0);
    std::vector<double> b(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i * n + i] = lam * band.values[i] + w[i] + ridge;
        b[i] = w[i] * y[i];
        for (std::size_t j = 1; j <= band.k && j <= i; ++j) {
            a[i * n + i - j] = a[(i - j) * n + i] = lam * band.values[j * n + i];
        }
    }
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r * n + c] / a[c * n + c];
            for (std::size_t j = c; j < n; ++j) {
                a[r * n + j] -= f * a[c * n + j];
            }
            b[r] -= f * b[c];
        }
    }
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = i + 1; j < n; ++j) {
            b[i] -= a[i * n + j] * b[j];
        }
        b[i] /= a[i * n + i];
    }
    return b;
}

void test_solve_against_dense() {
    const double x[] = {0, 0.7, 1.1, 2.6, 3.0, 4.4, 5.1, 7.0, 7.2};
    const std::size_t n = 9;
    const std::vector<double> w{1, 0, 2, 0.5, 1, 1, 0, 3, 1};
    const std::vector<double> y{1, 0, -2, 4, 0.5, 3, 0, -1, 2};
    for (std::uint64_t d : {1u, 2u, 3u}) {
        const PenaltyBand<double> band = build_penalty_band(x, n, d, 1e-10);
        const std::vector<double> expected = dense_reference(band, w, y, 3.0, 1e-3);
        std::vector<double> z(n);
        banded_solve_f64(band.data(), n, band.k, w.data(), y.data(), 3.0, 1e-3, 1e-10, z.data());
        std::vector<float> pbf(band.values.begin(), band.values.end());
        std::vector<float> wf(w.begin(), w.end()), yf(y.begin(), y.end()), zf(n);
        banded_solve_f32(pbf.data(), n, band.k, wf.data(), yf.data(), 3.0f, 1e-3f, 1e-10f, zf.data());
        for (std::size_t i = 0; i < n; ++i) {
            CHECK(std::fabs(z[i] - expected[i]) <= 1e-10 * (1 + std::fabs(expected[i])));
            CHECK(std::fabs(zf[i] - expected[i]) <= 1e-3 * (1 + std::fabs(expected[i])));
        }
    }
}

template <typename T>
void test_solve_edges() {
    // T = 1: z = ((w*y) / L) / L with L = sqrt((lam*pb + w) + ridge).
    const T pb1[] = {T(1.5), 0, 0};
    const T w1[] = {T(2)}, y1[] = {T(3)};
    T z1[1];
    banded_solve(pb1, 1, 2, w1, y1, T(0.5), T(0.25), T(1e-10), z1);
    const T l = std::sqrt((T(0.5) * T(1.5) + T(2)) + T(0.25));
    CHECK(z1[0] == ((T(2) * T(3)) / l) / l);

    // All-zero weights give exactly zero; with lam = ridge = 0 every pivot
    // is floored and z stays 0.
    const T x[] = {0, 1, 2.5, 3, 4, 6};
    const PenaltyBand<T> band = build_penalty_band(x, 6, 2, T(1e-6));
    const std::vector<T> zero(6, T(0));
    std::vector<T> z(6, T(7));
    banded_solve(band.data(), 6, band.k, zero.data(), zero.data(), T(10), T(0), T(1e-10), z.data());
    CHECK(same_values(z, zero));
    banded_solve(band.data(), 6, band.k, zero.data(), zero.data(), T(0), T(0), T(1e-10), z.data());
    CHECK(same_values(z, zero));

    // A NaN weight spreads through both substitutions.
    std::vector<T> w(6, T(1)), y{1, 2, 0, 4, 5, 6};
    w[2] = nan<T>;
    banded_solve(band.data(), 6, band.k, w.data(), y.data(), T(1), T(0), T(1e-10), z.data());
    for (const T v : z) {
        CHECK(std::isnan(v));
    }
}

void test_solve_floors() {
    // A floor above 1 replaces the substitution divisor: L = 2 < eps = 3.
    const double pb[] = {1};
    const double w[] = {4}, y[] = {1};
    double z[1];
    banded_solve_f64(pb, 1, 0, w, y, 0, 0, 3, z);
    CHECK(z[0] == (4.0 / 3.0) / 3.0);

    // A zero pivot with eps = 0: double precision divides by it, single
    // precision re-solves with the floor 2^-52 and recovers.
    const double pb2[] = {1, 1};
    const double w2[] = {0, 1}, y2[] = {0, 1};
    double z2[2];
    banded_solve_f64(pb2, 2, 0, w2, y2, 0, 0, 0, z2);
    CHECK(std::isnan(z2[0]) && z2[1] == 1);
    const float pbf[] = {1, 1};
    const float wf[] = {0, 1}, yf[] = {0, 1};
    float zf[2];
    banded_solve_f32(pbf, 2, 0, wf, yf, 0, 0, 0, zf);
    CHECK(zf[0] == 0 && zf[1] == 1);
}

// With eps = 4 > 1 the float re-solve divides its columns by the floored
// diagonal too. A = [[9, 1], [1, 1]]: L(0,0) = 3 is floored to 4 for the
// column and both substitutions, the second pivot 1 - 1/16 is raised to 4.
// The float right-hand side 9 * 3e38 overflows and forces the re-solve.
void test_resolve_floors_columns() {
    const float pb[] = {0, 0, 0, 1};
    const float w[] = {9, 1}, y[] = {3e38f, 1};
    float z[2];
    banded_solve_f32(pb, 2, 1, w, y, 1, 0, 4, z);
    const double l10 = 1.0 / 4.0;
    double u0 = (9.0 * double(3e38f)) / 4.0;
    const double u1 = (1.0 - l10 * u0) / 4.0;
    const double z1 = u1 / 4.0;
    u0 = u0 - l10 * z1;
    CHECK(z[0] == static_cast<float>(u0 / 4.0) && z[1] == static_cast<float>(z1));
}

// One position, lam = 0: the float path gives ((w*y)/L)/L in float, the
// re-solve the same in double rounded once.
float single_path(float w, float y, float ridge) {
    const float l = std::sqrt(w + ridge);
    return ((w * y) / l) / l;
}
float double_path(float w, float y, float ridge) {
    const double l = std::sqrt(double(w) + double(ridge));
    return static_cast<float>(((double(w) * double(y)) / l) / l);
}
float solve_one(float w, float y, float ridge) {
    const float pb[] = {1};
    float z = 0;
    banded_solve_f32(pb, 1, 0, &w, &y, 0.0f, ridge, 1e-10f, &z);
    return z;
}

void test_acceptance_bound() {
    // Pivot 3 * 2^-20, so z is about 1e6 * y. This y (found by search) puts
    // the float result exactly on the bound max(|y|, 1) * 1e6 while the
    // double path rounds elsewhere, so the output tells which path ran.
    const float w = 3.0f;
    const float ridge = -3.0f + 3.0f * 0x1p-20f;  // exact
    float y = 0x1.e847fep-1f;
    CHECK(single_path(w, y, ridge) == 1e6f && double_path(w, y, ridge) != 1e6f);
    CHECK(solve_one(w, y, ridge) == 1e6f);
    // Just above the bound the double-precision re-solve takes over.
    bool seen_above = false;
    for (int step = 0; step < 100 && !seen_above; ++step) {
        y = std::nextafter(y, 1.0f);
        const float single = single_path(w, y, ridge);
        if (single > 1e6f && single != double_path(w, y, ridge)) {
            seen_above = true;
            CHECK(solve_one(w, y, ridge) == double_path(w, y, ridge));
        }
    }
    CHECK(seen_above);
}

template <typename T>
void test_solve_series() {
    const T x[] = {0, 1, 2, 3};
    const PenaltyBand<T> band = build_penalty_band(x, 4, 1, T(1e-6));
    // Column-major (S = 2, T = 4) observations, viewed through strides.
    const T y_cm[] = {1, 5, nan<T>, 6, 3, inf<T>, 4, 8};
    SeriesMatrix<T> weights(2, 4);
    const T wv[] = {1, 1, 1, -1, 1, 1, 2, 1};
    std::copy(wv, wv + 8, weights.values.begin());
    const StridedMatrix<T> y{reinterpret_cast<const std::byte*>(y_cm), 2, 4,
                             static_cast<std::ptrdiff_t>(sizeof(T)),
                             static_cast<std::ptrdiff_t>(2 * sizeof(T))};
    const StridedMatrix<T> base = view_of(weights);
    const Smoothing<T> call{y, &base, T(2), 1, T(0), std::nullopt, T(1e-10), false, Kernel::Scalar};
    T row[4];
    solve_series(call, band, 0, row);
    // Series 0 is (1, NaN, 3, 4) with base weights (1, 1, 1, -1): the missing
    // value gets weight 0, the others keep theirs as given; NaN and the value
    // without positive weight enter as 0.
    const T working[] = {1, 0, 1, -1};
    const T clean[] = {1, 0, 3, 0};
    T expected[4];
    banded_solve(band.data(), 4, band.k, working, clean, T(2), T(0), T(1e-10), expected);
    CHECK(std::memcmp(row, expected, sizeof row) == 0);
}

void test_parse_weighting() {
    const struct {
        const char* text;
        Weighting expected;
    } accepted[] = {
        {"tukey", Weighting::Tukey},
        {"TUKEY", Weighting::Tukey},
        {"BiSquare", Weighting::Tukey},
        {"Tu\xE2\x84\xAA"
         "ey",
         Weighting::Tukey},
        {"huber", Weighting::Huber},
        {"HUBER", Weighting::Huber},
        {"Cauchy", Weighting::Cauchy},
        {"wELSCH", Weighting::Welsch},
        {"FAIR", Weighting::Fair},
        {"Hampel", Weighting::Hampel},
    };
    for (const auto& c : accepted) {
        const std::optional<Weighting> parsed = parse_weighting(c.text);
        CHECK(parsed.has_value() && *parsed == c.expected);
    }
    for (const Weighting weighting : all_weightings) {
        std::string upper(weighting_name(weighting));
        std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return char(c - 'a' + 'A'); });
        CHECK(parse_weighting(weighting_name(weighting)) == weighting);
        CHECK(parse_weighting(upper) == weighting);
    }
    // U+0130 lower-cases to 'i' plus a combining dot, so it cannot match.
    for (const char* rejected :
         {"", " tukey", "tukey ", "tukeys", "mad", "b\xC4\xB0square", "\xE2\x84\xAA"}) {
        CHECK(!parse_weighting(rejected).has_value());
    }
    CHECK(!parse_weighting(std::string_view("huber\0", 6)).has_value());
}

void test_parse_scale_estimator() {
    for (const char* huber : {"huber", "HUBER", "hUbEr"}) {
        CHECK(parse_scale_estimator(huber) == ScaleEstimator::Huber);
    }
    for (const char* mad : {"mad", "MAD", "", "huber ", " huber", "hube", "tukey"}) {
        CHECK(parse_scale_estimator(mad) == ScaleEstimator::Mad);
    }
}

template <typename T>
void test_weights() {
    for (const Weighting wf : all_weightings) {
        const TuningTriple<T> tuning = default_tuning<T>(wf);
        CHECK(robust_weight(wf, tuning, T(0)) == T(1));
        CHECK(robust_weight(wf, tuning, inf<T>) == T(0));
        CHECK(robust_weight(wf, tuning, -inf<T>) == T(0));
        const T at_nan = robust_weight(wf, tuning, nan<T>);
        switch (wf) {
            case Weighting::Tukey:
            case Weighting::Hampel:
                CHECK(at_nan == T(0));
                break;
            case Weighting::Huber:
                CHECK(at_nan == tuning.t2 / decimal<T>(1e-12f, 1e-12));
                break;
            case Weighting::Cauchy:
            case Weighting::Welsch:
            case Weighting::Fair:
                CHECK(std::isnan(at_nan));
                break;
        }
    }
    const TuningTriple<T> tukey = default_tuning<T>(Weighting::Tukey);
    CHECK(robust_weight(Weighting::Tukey, tukey, tukey.t2) == T(0));
    CHECK(robust_weight(Weighting::Tukey, tukey, -tukey.t2 / 2) == T(0.5625));

    // Values on the documented formulas, c = 2 (and Hampel's defaults).
    const TuningTriple<T> c2{T(9), T(9), T(2)};
    const TuningTriple<T> hampel = default_tuning<T>(Weighting::Hampel);
    CHECK(robust_weight(Weighting::Huber, c2, T(-4)) == T(0.5));
    CHECK(robust_weight(Weighting::Huber, c2, T(2)) == T(1));
    CHECK(robust_weight(Weighting::Cauchy, c2, T(2)) == T(0.5));
    CHECK(robust_weight(Weighting::Welsch, c2, T(2)) == std::exp(T(-1)));
    CHECK(robust_weight(Weighting::Fair, c2, T(-2)) == T(0.5));
    CHECK(robust_weight(Weighting::Hampel, hampel, T(1.5)) == T(1));
    CHECK(robust_weight(Weighting::Hampel, hampel, T(-2)) == T(0.75));
    CHECK(robust_weight(Weighting::Hampel, hampel, T(5)) == T(1.5) * T(3) / (T(4.5) * T(5)));
    CHECK(robust_weight(Weighting::Hampel, hampel, T(8.5)) == T(0));

    // With c = 0 a zero residual is 0 / 0.
    const TuningTriple<T> zero{};
    CHECK(robust_weight(Weighting::Tukey, zero, T(0)) == T(0));
    CHECK(std::isnan(robust_weight(Weighting::Cauchy, zero, T(0))));
    CHECK(std::isnan(robust_weight(Weighting::Welsch, zero, T(0))));
    CHECK(std::isnan(robust_weight(Weighting::Fair, zero, T(0))));
}

// A value outside an enumeration is a broken invariant wherever it
// arrives, never the case of some other enumerator; so is the V-curve where
// a criterion with a value per evaluation is asked for.
void test_outside_enumerations() {
    const auto faults = [](auto call) { return tarnwold_test::throws<InternalFault>(call); };
    const Weighting weighting = static_cast<Weighting>(all_weightings.size());
    CHECK(faults([&] { default_tuning<double>(weighting); }));
    CHECK(faults([&] { robust_weight(weighting, default_tuning<float>(Weighting::Tukey), 1.0f); }));
    const Criterion criterion = static_cast<Criterion>(all_criteria.size());
    const Evaluation e{};
    for (const Criterion unscored : {criterion, Criterion::Vcurve}) {
        CHECK(faults([&] { criterion_value(unscored, e); }));
    }
    CHECK(faults([&] { needs_inverse(criterion); }));
    CHECK(faults([&] { needs_log_det(criterion); }));
    CHECK(faults([&] { sigma2_of(criterion, e, 10, 2); }));
    CHECK(faults([&] { lane_kernels<double>(static_cast<Kernel>(all_kernels.size())); }));
}

// The kernel a name resolves to with and without the wider instruction
// sets: a set the processor lacks gives the widest below it, any other
// name the widest it has.
void test_resolve_kernel() {
    const struct {
        const char* requested;
        bool avx2, avx512;
        Kernel expected;
    } cases[] = {
        {"scalar", true, true, Kernel::Scalar}, {"sse2", true, true, Kernel::Sse2},
        {"avx2", true, true, Kernel::Avx2},     {"avx512", true, true, Kernel::Avx512},
        {"auto", true, true, Kernel::Avx512},   {"AVX2", true, true, Kernel::Avx512},
        {"avx512", true, false, Kernel::Avx2},  {"auto", true, false, Kernel::Avx2},
        {"avx512", false, false, Kernel::Sse2}, {"avx2", false, false, Kernel::Sse2},
        {"", false, false, Kernel::Sse2},       {"scalar", false, false, Kernel::Scalar},
        {"avx2", false, true, Kernel::Sse2},    {"nonsense", false, true, Kernel::Avx512},
    };
    for (const auto& c : cases) {
        CHECK(resolve_kernel(c.requested, c.avx2, c.avx512) == c.expected);
    }
}

void test_default_tuning_precision() {
    // The float constants are the nearest floats, not rounded doubles.
    CHECK(double(default_tuning<float>(Weighting::Tukey).t2) == 4.684999942779541);
    CHECK(default_tuning<double>(Weighting::Fair).t2 == 1.3998);
    const TuningTriple<double> hampel = default_tuning<double>(Weighting::Hampel);
    CHECK(hampel.t0 == 1.5 && hampel.t1 == 3.5 && hampel.t2 == 8.0);
    CHECK(default_tuning<float>(Weighting::Huber).t0 == 0.0f);
}

template <typename T>
void test_scales() {
    const T factor = decimal<T>(1.4826f, 1.4826);
    const T f = T(1e-3);
    T scratch[6];
    const std::uint8_t all[] = {1, 1, 1, 1, 1, 1};
    const T r4[] = {3, 0, -1, 2};
    CHECK(mad_scale(r4, all, 4, f, scratch) == T(1.5) * factor);
    const T r3[] = {-5, 1, 2};
    CHECK(mad_scale(r3, all, 3, f, scratch) == T(2) * factor);
    const T zeros[] = {0, 0, 0, 0};
    CHECK(mad_scale(zeros, all, 4, f, scratch) == f);
    CHECK(huber_scale(zeros, all, 4, f, scratch) == f);

    // Non-finite residuals and cleared positions take no part.
    const T noisy[] = {-5, inf<T>, 1, nan<T>, 2, 100};
    const std::uint8_t mask[] = {1, 1, 1, 1, 1, 0};
    CHECK(mad_scale(noisy, mask, 6, f, scratch) == T(2) * factor);
    const std::uint8_t none[] = {0, 0, 0, 0, 0, 0};
    CHECK(mad_scale(noisy, none, 6, f, scratch) == f);
    CHECK(huber_scale(noisy, none, 6, f, scratch) == f);

    // Equal magnitudes: the MAD is 1.4826, the first refinement lands on 1
    // (nothing is clipped) and the second confirms it.
    const T ones[] = {1, -1, 1, -1, nan<T>};
    CHECK(huber_scale(ones, all, 5, f, scratch) == T(1));
}

template <typename T>
void test_merge() {
    const T x[] = {0, T(0.005), 1, 2};
    MergedGrid<T> m = merge_positions(x, 4, T(0.01));
    CHECK(m.groups.size() == 3 && m.groups[0].end == 2 && m.groups[1].end == 3);
    CHECK(m.positions[0] == static_cast<T>((0.0 + double(T(0.005))) / 2.0));
    CHECK(m.positions[1] == 1 && m.positions[2] == 2);

    const T chain[] = {0, T(0.008), T(0.016), T(0.024), 1};
    m = merge_positions(chain, 5, T(0.01));
    CHECK(m.groups.size() == 2 && m.groups[0].end == 4 && m.groups[1].end == 5);

    // Equality merges, one unit in the last place more does not; -0 -> +0.
    const T tol = T(0.25);
    const T edge[] = {-T(0), tol, std::nextafter(T(2) * tol, T(1))};
    m = merge_positions(edge, 3, tol);
    CHECK(m.groups.size() == 2 && m.groups[0].end == 2);
    const T lone[] = {-T(0), 1};
    m = merge_positions(lone, 2, tol);
    CHECK(m.positions[0] == 0 && !std::signbit(m.positions[0]));
    CHECK(merge_positions(x, 0, tol).groups.empty());

    m = identity_grouping(x, 4);
    CHECK(m.groups.size() == 4 && m.groups[3].start == 3 &&
          same_values(m.positions, std::vector<T>(x, x + 4)));

    // Series 0: (2, 6) with weights (1, 3); series 1: all missing; series 2:
    // a negative weight beside a positive one. The third position is alone.
    const std::vector<PositionGroup> groups{{0, 2}, {2, 3}};
    SeriesMatrix<T> y(3, 3), base(3, 3);
    assign(y.values, {2, 6, 1, nan<T>, nan<T>, 5, 7, 9, 4});
    assign(base.values, {1, 3, 2, 0, 0, 1, -1, 1, 0});
    const MergedSeries<T> merged = merge_observations(view_of(y), base, groups);
    CHECK(same_values(merged.y.values, std::vector<T>{5, 1, 0, 5, 9, 0}));
    CHECK(same_values(merged.weights.values, std::vector<T>{4, 2, 0, 1, 1, 0}));

    SeriesMatrix<T> fits(3, 2), totals(3, 2);
    assign(fits.values, {10, 11, 12, 13, 14, 15});
    assign(totals.values, {2, 3, 0, 1, 5, 0});
    std::vector<T> expanded_fits(9, nan<T>), expanded_weights(9, nan<T>);
    expand_to_grid(fits, totals, merged.weights, base, groups, expanded_fits.data(), expanded_weights.data());
    CHECK(same_values(expanded_fits, std::vector<T>{10, 10, 11, 12, 12, 13, 14, 14, 15}));
    CHECK(same_values(expanded_weights, std::vector<T>{0.5, 1.5, 3, 0, 0, 1, -5, 5, 0}));
}

template <typename T>
IrlsProblem<T> irls_problem(const PenaltyBand<T>& band, const SeriesMatrix<T>& y, const SeriesMatrix<T>& base,
                            T lam, std::uint64_t iterations, bool parallel) {
    return {&band,
            view_of(y),
            {&base, nullptr},
            lam,
            T(0),
            iterations,
            Weighting::Tukey,
            default_tuning<T>(Weighting::Tukey),
            ScaleEstimator::Mad,
            T(1e-10),
            parallel,
            Kernel::Scalar};
}

template <typename T>
void test_irls() {
    constexpr std::size_t n = 20;
    std::vector<T> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<T>(i);
    }
    const PenaltyBand<T> band = build_penalty_band(x.data(), n, 2, T(1e-10));
    // Series 0: a gentle curve with one outlier; series 1: all missing;
    // series 2: a negative and a NaN base weight.
    SeriesMatrix<T> y(3, n), base(3, n);
    for (std::size_t i = 0; i < n; ++i) {
        y.row(0)[i] = static_cast<T>(std::sin(0.3 * double(i)));
        y.row(1)[i] = nan<T>;
        y.row(2)[i] = T(1);
        base.row(0)[i] = base.row(2)[i] = T(1);
    }
    y.row(0)[10] = T(50);
    base.row(2)[3] = T(-1);
    base.row(2)[7] = nan<T>;

    IrlsResult<T> none = irls_batch(irls_problem(band, y, base, T(1), 0, false));
    CHECK(same_values(none.fits.values, std::vector<T>(3 * n, T(0))));
    CHECK(same_values(none.total_weights.values, std::vector<T>(3 * n, T(0))));

    // One pass is the plain weighted fit with the base weights.
    const IrlsResult<T> one = irls_batch(irls_problem(band, y, base, T(1), 1, false));
    std::vector<T> plain(n);
    banded_solve(band.data(), n, band.k, base.row(0), y.row(0), T(1), T(0), T(1e-10), plain.data());
    CHECK(std::memcmp(plain.data(), one.fits.row(0), n * sizeof(T)) == 0);
    CHECK(one.total_weights.row(0)[10] == T(1));
    CHECK(same_values(std::vector<T>(one.fits.row(1), one.fits.row(1) + n), std::vector<T>(n)));
    CHECK(one.total_weights.row(2)[3] == T(0) && std::signbit(one.total_weights.row(2)[3]));
    CHECK(std::isnan(one.total_weights.row(2)[7]) && std::isnan(one.fits.row(2)[0]));

    // Three passes, smooth fit: only the outlier is cut off.
    const IrlsResult<T> three = irls_batch(irls_problem(band, y, base, T(100), 3, false));
    CHECK(three.total_weights.row(0)[10] == T(0));
    CHECK(three.total_weights.row(0)[9] > T(0) && three.total_weights.row(0)[11] > T(0));
    CHECK(std::fabs(three.fits.row(0)[10] - y.row(0)[10]) > T(40));
    CHECK(same_values(std::vector<T>(three.total_weights.row(1), three.total_weights.row(1) + n),
                      std::vector<T>(n)));
    // Rough fit: the first pass drags the fit and cuts off the outlier's
    // neighbours too; they stay out although the last fit passes close by.
    const IrlsResult<T> rough = irls_batch(irls_problem(band, y, base, T(1), 3, false));
    CHECK(rough.total_weights.row(0)[12] == T(0));
    CHECK(std::fabs(rough.fits.row(0)[12] - y.row(0)[12]) < T(0.05));

    const IrlsResult<T> pooled = irls_batch(irls_problem(band, y, base, T(100), 3, true));
    CHECK(std::memcmp(pooled.fits.values.data(), three.fits.values.data(), 3 * n * sizeof(T)) == 0);
    CHECK(std::memcmp(pooled.total_weights.values.data(), three.total_weights.values.data(),
                      3 * n * sizeof(T)) == 0);
}

// The single-precision robust batch: a ridge of -(1 - 2^-22) leaves
// straight series a float fit millions of times their data, which sends the
// whole batch to the double-precision rerun; curved series alone pass.
// Positions 1.9 -+ 2^-10 merge into 1.9 under a tolerance of 0.01, with
// equal observations, so merging gives the same batch.
void test_float_fallback() {
    const float x[] = {0, 0.7f, 1.9f - 0x1p-10f, 1.9f + 0x1p-10f, 2.4f, 3.8f, 4.1f, 5.6f, 6.0f};
    constexpr std::size_t length = 9;
    const float ridge = -(1.0f - 0x1p-22f);
    for (const float tolerance : {0.0f, 0.01f}) {
        for (const bool straight : {false, true}) {
            SeriesMatrix<float> y(5, length);
            for (std::size_t s = 0; s < 5; ++s) {
                for (std::size_t t = 0; t < length; ++t) {
                    const float curved[] = {1, 2, 3, 3, 2, 1, 0, -1, 0};
                    const float line[] = {0, 1, 2, 2, 3, 4, 5, 6, 7};
                    y.row(s)[t] = (straight && s % 2 == 0 ? line[t] : curved[t]) * 0.1f;
                }
            }
            const MergedGrid<float> grid = solve_grid(x, length, tolerance);
            const std::size_t solve_length = grid.positions.size();
            const std::vector<float> positions = normalize_grid(grid.positions.data(), solve_length, "mean");
            // The batch the rerun solves: the float problem on the merged
            // grid, widened exactly, and only when the float one fails.
            const auto batch = [&]<typename U>(U) {
                const std::vector<U> widened(positions.begin(), positions.end());
                const PenaltyBand<U> band = build_penalty_band(widened.data(), solve_length, 2, U(1e-10f));
                SeriesMatrix<U> merged_y(5, solve_length), base(5, solve_length);
                for (std::size_t s = 0; s < 5; ++s) {
                    for (std::size_t g = 0; g < solve_length; ++g) {
                        const PositionGroup group = grid.groups[g];
                        merged_y.row(s)[g] = U(y.row(s)[group.start]);
                        base.row(s)[g] = U(group.end - group.start);
                    }
                }
                const IrlsProblem<U> problem{&band,
                                             view_of(merged_y),
                                             {&base, nullptr},
                                             U(1),
                                             U(ridge),
                                             1,
                                             Weighting::Tukey,
                                             default_tuning<U>(Weighting::Tukey),
                                             ScaleEstimator::Mad,
                                             U(1e-10f),
                                             false,
                                             Kernel::Scalar};
                return irls_batch(problem);
            };
            const IrlsResult<float> single = batch(0.0f);
            const IrlsResult<double> widened = batch(0.0);
            bool plain_is_implausible = false;
            std::vector<float> expected(5 * length);
            for (std::size_t s = 0; s < 5; ++s) {
                for (std::size_t g = 0; g < solve_length; ++g) {
                    plain_is_implausible |= std::fabs(single.fits.row(s)[g]) > 1e6f;
                    for (std::size_t t = grid.groups[g].start; t < grid.groups[g].end; ++t) {
                        expected[s * length + t] =
                            straight ? float(widened.fits.row(s)[g]) : single.fits.row(s)[g];
                    }
                }
            }
            CHECK(plain_is_implausible == straight);

            // Every kernel, sequential and pooled.
            for (const Kernel named : all_kernels) {
                const auto smoothed = [&](float lam, bool parallel) {
                    const Smoothing<float> call{view_of(y), nullptr,  lam,
                                                2,          ridge,    "mean",
                                                1e-10f,     parallel, supported_kernel(kernel_name(named))};
                    std::vector<float> fits(5 * length, nan<float>), weights(5 * length, nan<float>);
                    robust_smooth(
                        grid, call,
                        {1, Weighting::Tukey, default_tuning<float>(Weighting::Tukey), ScaleEstimator::Mad},
                        fits.data(), weights.data());
                    return std::pair{fits, weights};
                };
                for (const bool parallel : {false, true}) {
                    const auto [fits, weights] = smoothed(1.0f, parallel);
                    CHECK(std::memcmp(fits.data(), expected.data(), expected.size() * sizeof(float)) == 0);
                    CHECK(std::all_of(weights.begin(), weights.end(),
                                      [](float w) { return std::isfinite(w); }));
                }
                // An infinite penalty overflows in double precision too.
                bool unstable = false;
                try {
                    smoothed(inf<float>, false);
                } catch (const NumericalInstability&) {
                    unstable = true;
                }
                CHECK(unstable);
            }
        }
    }
}

template <typename T>
void test_precision() {
    test_penalty_band<T>();
    test_normalize_grid<T>();
    test_solve_edges<T>();
    test_solve_series<T>();
    test_weights<T>();
    test_scales<T>();
    test_merge<T>();
    test_irls<T>();
}

}  // namespace

int main() {
    test_precision<float>();
    test_precision<double>();
    test_spacing_floor();
    test_solve_against_dense();
    test_solve_floors();
    test_acceptance_bound();
    test_resolve_floors_columns();
    test_parse_weighting();
    test_parse_scale_estimator();
    test_default_tuning_precision();
    test_outside_enumerations();
    test_resolve_kernel();
    test_float_fallback();
    return tarnwold_test::check_summary();
}
