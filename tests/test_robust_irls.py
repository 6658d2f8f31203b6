"""Robust smoother: bitwise agreement with the scalar reference, options,
merging, the float32 fall-back and the order of the input checks."""

import collections
import re
from pathlib import Path

import numpy as np
import pytest

import tarnwold
from reference_robust import INSTABILITY, WEIGHTINGS, robust_whittaker_irls
from tarnwold_tools import cli

DTYPES = (np.float32, np.float64)
FUNCTIONS = {np.float32: tarnwold.robust_whittaker_irls_f32, np.float64: tarnwold.robust_whittaker_irls_f64}
# Non-default constants; the slots a one-constant weighting ignores are junk on purpose.
TUNED = {
    "tukey": (9.0, -1.0, 3.5),
    "huber": (7.0, 7.0, 1.0),
    "cauchy": (0.0, 0.0, 1.5),
    "welsch": (-2.0, 0.0, 2.0),
    "fair": (0.0, 5.0, 0.9),
    "hampel": (1.0, 2.0, 4.5),
}


def smooth(dt, *args, **kwargs):
    return FUNCTIONS[dt](*args, **kwargs)


def assert_bits(got, want):
    """Equal bit patterns (so -0 differs from +0), NaN positions alike."""
    assert got.dtype == want.dtype and got.shape == want.shape
    nan = np.isnan(want)
    np.testing.assert_array_equal(np.isnan(got), nan)
    unsigned = np.uint32 if want.dtype == np.float32 else np.uint64
    np.testing.assert_array_equal(got[~nan].view(unsigned), want[~nan].view(unsigned))


def assert_matches_reference(dt, x, y, w, **options):
    """Both results bit for bit, or the float32 instability error on both sides."""
    try:
        want = robust_whittaker_irls(x, y, w, **options)
    except ValueError as error:
        assert str(error) == INSTABILITY
        with pytest.raises(ValueError, match="^" + re.escape(INSTABILITY) + "$"):
            smooth(dt, x, y, w, **options)
        return
    z, wt = smooth(dt, x, y, w, return_weights=True, **options)
    assert_bits(z, want.z)
    assert_bits(wt, want.w)


def sample(dt, seed=0, S=3, T=22, duplicates=False):
    """Irregular grid with outliers, a NaN gap, an infinity and zero weights.

    With duplicates, the grid holds a pair, a chain of three and a group whose
    observations are all missing in series 1.
    """
    rng = np.random.default_rng(seed)
    steps = rng.uniform(0.3, 1.7, T - 1)
    if duplicates:
        steps[[3, 9, 10, 15]] = (0.004, 0.006, 0.009, 0.002)
    x = np.concatenate([[2.0], 2.0 + np.cumsum(steps)])
    y = 3 * np.sin(x)[None, :] + rng.normal(0, 0.3, (S, T)) + np.arange(S)[:, None]
    y[:, [4, 12]] += (25.0, -18.0)
    y[1 % S, 15:17] = np.nan
    y[-1, 7] = np.inf
    w = rng.uniform(0.5, 2.0, (S, T))
    w[0, [2, 10]] = 0.0
    return x.astype(dt), y.astype(dt), w.astype(dt)


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("iterations", [0, 1, 2, 3])
@pytest.mark.parametrize("tuned", [False, True])
@pytest.mark.parametrize("scale", ["mad", "huber"])
@pytest.mark.parametrize("weighting", WEIGHTINGS)
@pytest.mark.parametrize("duplicates", [False, True])
def test_matches_reference(dt, iterations, tuned, scale, weighting, duplicates):
    x, y, w = sample(dt, seed=iterations, duplicates=duplicates)
    options = dict(lam=2.5, iterations=iterations, weighting=weighting, scale=scale)
    if tuned:
        options["tuning"] = TUNED[weighting]
    want = robust_whittaker_irls(x, y, w, **options)
    z, wt = smooth(dt, x, y, w, return_weights=True, **options)
    assert_bits(z, want.z)
    assert_bits(wt, want.w)


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize(
    "options",
    [
        dict(d=1, normalize=None, merge_x_tol=None),
        dict(d=3, normalize="median", eps=1e-6, ridge=1e-4),
        dict(d=0, normalize="shift", lam=0.5, merge_x_tol=0.0),
        dict(d=2, lam=100.0, merge_x_tol=-1.0, iterations=2, weighting="hampel"),
        # Lengths at the sizes of the reweighting's sorting network and past
        # it, with ties among the residuals.
        dict(T=17, S=11, ties=True, weighting="fair"),
        dict(T=64, S=11, ties=True, scale="huber", weighting="cauchy"),
        dict(T=65, S=11, iterations=4, weighting="welsch"),
        dict(T=513, S=11, ties=True, scale="huber"),
        # Constants used as given, however odd: zero, negative, NaN, Hampel
        # breakpoints out of order. With c = 0, Cauchy and Fair weigh every
        # residual that is not exactly 0 at 0; a series left with nothing to
        # fit keeps its weights. A tiny Tukey constant leaves some series
        # without a single weight and others with a few.
        dict(weighting="cauchy", tuning=(0, 0, 0), iterations=3),
        dict(weighting="fair", tuning=(0, 0, 0), iterations=3, scale="huber"),
        dict(weighting="fair", tuning=(0, 0, -2), iterations=3),
        dict(weighting="welsch", tuning=(0, 0, np.nan), iterations=3),
        dict(weighting="huber", tuning=(0, 0, -1), iterations=3),
        dict(weighting="hampel", tuning=(-1, 3, 2), iterations=3, scale="huber"),
        dict(weighting="tukey", tuning=(0, 0, 0.05), iterations=4, S=11),
        # Negative ridge, and no lam, ridge or floor at all (zero pivots).
        dict(ridge=-0.5, iterations=3, weighting="cauchy"),
        dict(ridge=-0.5, iterations=3, weighting="tukey", scale="huber"),
        dict(lam=0.0, ridge=0.0, eps=0.0, iterations=3, weighting="welsch"),
        dict(lam=0.0, ridge=0.0, eps=0.0, iterations=3, weighting="huber", weights=True),
        dict(lam=0.0, ridge=0.0, eps=0.0, iterations=3),
        # A NaN base weight turns the whole fit NaN; every residual is NaN.
        dict(weights="nan", iterations=3, merge_x_tol=None),
        dict(weights="nan", iterations=3, merge_x_tol=None, weighting="huber"),
        dict(weights="nan", iterations=3, merge_x_tol=None, weighting="fair", scale="huber"),
    ],
)
def test_matches_reference_other_options(dt, options):
    options = dict(options)
    T, S, ties = options.pop("T", 22), options.pop("S", 3), options.pop("ties", False)
    weights = options.pop("weights", None)
    x, y, w = sample(dt, seed=7, S=S, T=T, duplicates=T >= 17)
    if ties:
        y = np.round(y * 2) / 2
    if weights == "nan":
        w[1, 5] = np.nan
    assert_matches_reference(dt, x, y, w if weights else None, **options)


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("scale", ["mad", "huber"])
@pytest.mark.parametrize("weighting", ["tukey", "huber", "welsch"])
def test_matches_reference_degenerate_series(dt, scale, weighting):
    # Residuals at rounding level or exactly zero (scale floored at eps), no
    # usable observation at all, and a single usable observation.
    x = np.array([0, 1, 2.5, 3, 4.5, 6, 7, 9], dtype=dt)
    y = np.array([2 * x + 1, np.full(8, 4.0), np.full(8, np.nan), np.arange(8.0), np.arange(8.0) - 3], dtype=dt)
    w = np.ones_like(y)
    w[3] = 0
    w[4, 1:] = 0
    options = dict(iterations=3, weighting=weighting, scale=scale, ridge=0.0, eps=1e-5)
    want = robust_whittaker_irls(x, y, w, **options)
    z, wt = smooth(dt, x, y, w, return_weights=True, **options)
    assert_bits(z, want.z)
    assert_bits(wt, want.w)


# The first solve overflows: its fit is NaN, as the single-pass smoother's
# is, and so is every residual. Tukey and Hampel weigh a NaN residual 0, which
# would leave nothing to fit and return zeros that look like a series without
# data: the series keeps the weights of its first pass and repeats that fit.
# Huber's weight of a NaN residual (c / 1e-12) is used as it is. Cauchy's
# (NaN) leaves the second pass no position in use, and the third pass has
# nothing to fit.
@pytest.mark.parametrize("weighting, fit, weight", [
    ("tukey", np.nan, 1.0), ("hampel", np.nan, 1.0), ("huber", np.nan, 1.345 / 1e-12), ("cauchy", 0.0, 0.0),
])
@pytest.mark.parametrize("scale", ["mad", "huber"])
@pytest.mark.parametrize("S, parallel", [(1, True), (9, False), (9, True)])
def test_overflowing_fit(weighting, fit, weight, scale, S, parallel):
    x = np.arange(20.0)
    y = np.full((S, 20), 1e308)
    options = dict(iterations=3, weighting=weighting, scale=scale)
    z, wt = tarnwold.robust_whittaker_irls_f64(x, y, return_weights=True, parallel=parallel, **options)
    assert np.isnan(tarnwold.whittaker_solve_f64(x, y)).all()
    np.testing.assert_array_equal(z, np.full_like(y, fit))
    np.testing.assert_array_equal(wt, np.full_like(y, weight))
    want = robust_whittaker_irls(x, y, **options)
    assert_bits(z, want.z)
    assert_bits(wt, want.w)


@pytest.mark.parametrize("iterations", [1, 2])
def test_worked_example(iterations):
    x, y = np.arange(7.0), np.array([[0, 1, 2, 30, 4, 5, 6.0]])
    z, w = tarnwold.robust_whittaker_irls_f64(x, y, lam=1.0, iterations=iterations, return_weights=True)
    if iterations == 1:
        fit = [-0.8973, 1.7341, 7.9547, 18.4169, 9.9547, 5.7341, 5.1027]
        np.testing.assert_allclose(z[0], fit, atol=1e-4)
        assert np.array_equal(w, np.ones((1, 7)))
    else:
        np.testing.assert_allclose(w[0], [0.9590, 0.9724, 0.0076, 0, 0.0076, 0.9724, 0.9590], atol=1e-4)
        assert w[0, 3] == 0
        np.testing.assert_allclose(z[0], np.arange(7.0), rtol=0, atol=1e-8)


@pytest.mark.parametrize("dt", DTYPES)
def test_zero_iterations_and_result_kinds(dt):
    x, y, w = sample(dt)
    z, wt = smooth(dt, x, y, w, iterations=0, return_weights=True)
    assert not z.any() and not wt.any()
    single = smooth(dt, x, y, w, iterations=2)
    pair = smooth(dt, x, y, w, iterations=2, return_weights=True)
    assert isinstance(single, np.ndarray) and isinstance(pair, tuple) and len(pair) == 2
    for a in (single, *pair):
        assert a.dtype == dt and a.shape == y.shape and a.flags.c_contiguous and a.flags.writeable
    assert_bits(single, pair[0])


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("missing", [np.nan, np.inf, -np.inf])
def test_missing_observation_is_filled(dt, missing):
    x, y, _ = sample(dt, S=1)
    gap, zero_weight = y.copy(), np.ones_like(y)
    gap[0, 9] = missing
    zero_weight[0, 9] = 0
    z, w = smooth(dt, x, gap, iterations=3, return_weights=True)
    z0, w0 = smooth(dt, x, y, zero_weight, iterations=3, return_weights=True)
    assert w[0, 9] == 0 and np.isfinite(z[0, 9])
    assert_bits(z, z0)
    assert_bits(w, w0)


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("iterations", [1, 2])
def test_negative_base_weight_gives_negative_zero(dt, iterations):
    x, y, w = sample(dt, S=1)
    w[0, 5] = -1.0
    _, wt = smooth(dt, x, y, w, iterations=iterations, return_weights=True)
    assert wt[0, 5] == 0 and np.signbit(wt[0, 5])


# A NaN base weight makes the whole fit NaN: the NaN position's total
# weight is NaN (NaN * 0), the other positions in use get the weight of a
# NaN standardised residual. The float32 function falls back and raises.
@pytest.mark.parametrize("weighting, nan_weight", [
    ("tukey", 0.0), ("hampel", 0.0), ("huber", 1.345 / 1e-12),
    ("cauchy", np.nan), ("welsch", np.nan), ("fair", np.nan),
])
@pytest.mark.parametrize("iterations", [1, 2])
def test_nan_base_weight(weighting, nan_weight, iterations):
    x, y, w = sample(np.float64, S=2)
    w[1, 5] = np.nan
    options = dict(weighting=weighting, iterations=iterations)
    z, wt = tarnwold.robust_whittaker_irls_f64(x, y, w, return_weights=True, **options)
    assert np.isnan(z[1]).all() and np.isnan(wt[1, 5]) and np.isfinite(z[0]).all()
    in_use = np.isfinite(y[1]) & (w[1] > 0)
    robust = 1.0 if iterations == 1 else nan_weight
    np.testing.assert_array_equal(wt[1, in_use], w[1, in_use] * robust)
    with pytest.raises(ValueError, match="^" + re.escape(INSTABILITY) + "$"):
        tarnwold.robust_whittaker_irls_f32(x.astype(np.float32), y.astype(np.float32), w.astype(np.float32),
                                           **options)


@pytest.mark.parametrize(
    "data, weighting, iterations, outcome",
    [
        ("linear", "tukey", 1, "fallback"),
        ("constant", "huber", 2, "fallback"),
        ("constant", "huber", 3, "fallback"),
        ("linear", "tukey", 2, "raise"),
        ("constant", "cauchy", 2, "raise"),
    ],
)
@pytest.mark.parametrize("weighted", [False, True])
def test_float32_fallback(data, weighting, iterations, outcome, weighted):
    # A ridge of -(1 - 2**-22) leaves A = 2**-22 I + lam P: the fit of data
    # without curvature is about 4e6 times the data, beyond the float32
    # plausibility bound although the system is well within double precision.
    # Weights below 1 in a later pass make A indefinite, and even the double
    # rerun overflows. With base weights (and a missing value they must not
    # count at), the rerun widens those weights as well.
    x = np.array([0, 0.7, 1.9, 2.4, 3.8, 4.1, 5.6, 6.0], dtype=np.float32)
    y = {
        "linear": np.array([[1, 2, 3, 2, 1, 0, -1, 0], [1, 2, 3, 4, 5, 6, 7, 8]]) * 0.1,
        "constant": np.array([[0.3] * 8, [0.5, 0.5, 0.5, 0.5, 0.6, 0.5, 0.5, 0.5]]),
    }[data].astype(np.float32)
    options = dict(lam=1.0, ridge=-(1 - 2**-22), weighting=weighting, iterations=iterations)
    if weighted:
        y[0, 7] = np.nan
        options["w_base_st"] = np.array([[1, 1, 1, 1, 1, 1, 1, 3], [1, 1, 1, 2, 1, 1, 1, 1]], dtype=np.float32)
    if outcome == "raise":
        with pytest.raises(ValueError, match="^" + re.escape(INSTABILITY) + "$"):
            robust_whittaker_irls(x, y, **options)
        with pytest.raises(ValueError, match="^" + re.escape(INSTABILITY) + "$"):
            tarnwold.robust_whittaker_irls_f32(x, y, **options)
        return
    want = robust_whittaker_irls(x, y, **options)
    unchecked = robust_whittaker_irls(x, y, fallback=False, **options)
    assert want.fell_back and not np.array_equal(want.z, unchecked.z)
    z, w = tarnwold.robust_whittaker_irls_f32(x, y, return_weights=True, **options)
    assert_bits(z, want.z)
    assert_bits(w, want.w)
    # Without total weights, and a lone series (the scalar passes), judged alike.
    assert_bits(tarnwold.robust_whittaker_irls_f32(x, y, **options), want.z)
    lone = {k: v[1:] if k == "w_base_st" else v for k, v in options.items()}
    assert_bits(tarnwold.robust_whittaker_irls_f32(x, y[1:], **lone), robust_whittaker_irls(x, y[1:], **lone).z)


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("name", ["TUKEY", "Tukey", "bisquare", "BiSquare", "TU\u212aEY", "tu\u212aey"])
def test_tukey_spellings(dt, name):
    x, y, w = sample(dt)
    assert_bits(smooth(dt, x, y, w, iterations=2, weighting=name),
                smooth(dt, x, y, w, iterations=2, weighting="tukey"))


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("weighting", WEIGHTINGS)
def test_weighting_case(dt, weighting):
    x, y, w = sample(dt)
    for name in (weighting.upper(), weighting.capitalize()):
        assert_bits(smooth(dt, x, y, w, iterations=2, weighting=name),
                    smooth(dt, x, y, w, iterations=2, weighting=weighting))


def _names_in(pattern, text):
    return set(re.findall(r'"(\w+)"', re.search(pattern, text, re.MULTILINE).group(1)))


# The lists of the weightings' names outside the reference: the module's own
# in its docstrings (the build checks that they quote every name the core
# accepts), the stubs' and the command's, which also take "bisquare".
@pytest.mark.parametrize("source, aliases", [
    ("robust_whittaker_irls_f32", set()),
    ("robust_whittaker_irls_f64", set()),
    ("stubs", {"bisquare"}),
    ("command", {"bisquare"}),
])
def test_every_list_of_weightings_is_the_reference(source, aliases):
    if source == "stubs":
        stubs = (Path(__file__).resolve().parents[1] / "src" / "module" / "tarnwold.pyi").read_text()
        names = _names_in(r"^_Weighting: TypeAlias = Literal\[(.*)\]", stubs)
    elif source == "command":
        names = set(cli._WEIGHTINGS)
    else:
        names = _names_in(r"^weighting : \{(.*)\}", getattr(tarnwold, source).__doc__)
    assert names == set(WEIGHTINGS) | aliases


@pytest.mark.parametrize("dt", DTYPES)
def test_scale_words(dt):
    x, y, w = sample(dt)
    fit = {s: smooth(dt, x, y, w, iterations=3, scale=s) for s in ("mad", "huber")}
    assert not np.array_equal(fit["mad"], fit["huber"])
    for word in ("HUBER", "Huber", "hUbEr"):
        assert_bits(smooth(dt, x, y, w, iterations=3, scale=word), fit["huber"])
    for word in ("huber ", "", "xyz", "MAD", "hubert"):
        assert_bits(smooth(dt, x, y, w, iterations=3, scale=word), fit["mad"])


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("name", ["", " tukey", "tukey ", "Tukeys", "t\u00fckey", "HUBER\u00c9"])
def test_unknown_weighting(dt, name):
    x, y, _ = sample(dt)
    with pytest.raises(ValueError) as info:
        smooth(dt, x, y, weighting=name)
    assert str(info.value) == f"Unknown weighting: {name}"


def _grid(values, dt):
    return np.array(values, dtype=dt)


def _daily_years(dt):
    return np.arange(0, 3 * 365, dtype=dt) / dt(365.25)


# (x, S, keyword arguments, exception, message); each case also breaks every
# check that comes later, so the first failing check must be the one reported.
CHECKS = [
    (lambda dt: _grid([0, 1, 1, 3], dt), 2, dict(y_cols=5, weighting="nope", w_shape=(1, 1)),
     ValueError, "y_st shape must be (S,T) with T=len(x)"),
    (lambda dt: _grid([0, 2, 1, 3], dt), 2, dict(weighting="nope", w_shape=(1, 1)),
     ValueError, "x must be strictly increasing"),
    (lambda dt: _grid([0, 1, np.nan, 3], dt), 2, dict(weighting="nope"),
     ValueError, "x must be strictly increasing"),
    (lambda dt: _grid([0, 1, 2, np.inf], dt), 2, dict(weighting="nope", d=7, w_shape=(1, 1)),
     ValueError, "x must be finite: x[3] is inf"),
    (lambda dt: _grid([-np.inf, 1, 2, 3], dt), 2, dict(normalize=None, merge_x_tol=None),
     ValueError, "x must be finite: x[0] is -inf"),
    (lambda dt: _grid([0], dt), 2, dict(weighting="nope"), ValueError, "Unknown weighting: nope"),
    (lambda dt: _grid([0, 1, 2, 3], dt), 2, dict(weighting="nope", d=7, w_shape=(1, 1)),
     ValueError, "Unknown weighting: nope"),
    (lambda dt: _grid([], dt), 2, dict(w_shape=(1, 1)), ValueError, "x must have length >=2 after merging"),
    (lambda dt: _grid([4], dt), 2, dict(d=0, w_shape=(1, 1)), ValueError, "x must have length >=2 after merging"),
    (_daily_years, 1, dict(d=0, w_shape=(1, 1)), ValueError, "x must have length >=2 after merging"),
    (lambda dt: _grid([0, 0.005, 1, 2], dt), 2, dict(d=3, w_shape=(1, 1)),
     ValueError, "x must have length > d after merging"),
    (lambda dt: _grid([0, 1, 2], dt), 2, dict(d=3, merge_x_tol=None, w_shape=(1, 1)),
     ValueError, "x must have length > d after merging"),
    (lambda dt: _grid([-np.finfo(dt).max, 0, np.finfo(dt).max], dt), 2, dict(), ValueError,
     "normalizing x overflows: its span (over the spacing) exceeds the floating-point range"),
    (lambda dt: _grid([-np.finfo(dt).max, 0, np.finfo(dt).max], dt), 2, dict(normalize="median"), ValueError,
     "normalizing x overflows: its span (over the spacing) exceeds the floating-point range"),
    (lambda dt: _grid([0, 1, 2, 3], dt), 2, dict(w_shape=(2, 5)), ValueError, "w_base_st must match y_st shape"),
    (lambda dt: _grid([0, 1, 2, 3], dt), 2, dict(w_shape=(3, 4)), ValueError, "w_base_st must match y_st shape"),
    (lambda dt: _grid([0, 1, 2, 3, 4, 5], dt)[::2], 2, dict(y_cols=1, weighting="nope"),
     TypeError, "The given array is not contiguous"),
    (lambda dt: _grid([0, 1, 2, 3], dt), 2, dict(y_cols=9, tuning=(4.0,)),
     ValueError, "expected tuple of length 3, but got tuple of length 1"),
    (lambda dt: _grid([0, 1, 2, 3], dt), 2, dict(y_cols=9, tuning=[0, 0, 4.0]),
     TypeError, "argument 'tuning': 'list' object cannot be cast as 'tuple'"),
    (lambda dt: _grid([0, 1, 2, 3], dt), 2, dict(y_cols=9, tuning=(0, "a", 4.0)),
     TypeError, "argument 'tuning': must be real number, not str"),
]


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("make_x, S, options, error, message", CHECKS)
def test_check_order(dt, make_x, S, options, error, message):
    options = dict(options)
    x = make_x(dt)
    y = np.zeros((S, options.pop("y_cols", len(x))), dtype=dt)
    if "w_shape" in options:
        options["w_base_st"] = np.ones(options.pop("w_shape"), dtype=dt)
    with pytest.raises(error) as info:
        smooth(dt, x, y, **options)
    assert str(info.value) == message


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("tol", [None, 0.0])
def test_no_merging_rescues_dense_grid(dt, tol):
    x = _daily_years(dt)[:60]
    y = np.sin(x * dt(20))[None, :].astype(dt)
    z = smooth(dt, x, y, merge_x_tol=tol, d=1)
    assert np.isfinite(z).all() and len(np.unique(z)) > 30


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize(
    "x, tol, merged",
    [
        ([0, 0.005, 1, 2], 0.01, [(0, 1)]),
        ([0, 0.005, 1, 2], None, []),
        ([0, 0.005, 1, 2], 0.0, []),
        ([0, 0.005, 1, 2], -0.5, []),
        ([0, 0.005, 1, 2], np.nan, []),
        ([0, 0.5, 2, 3], 0.5, [(0, 1)]),
        ("ulp", 0.5, []),
        ([0, 0.008, 0.016, 0.024, 1, 2, 3], 0.01, [(0, 1), (1, 2), (2, 3)]),
        ([0, 1, 1.25, 2, 3, 3.5, 5], 0.5, [(1, 2), (4, 5)]),
        # float32 sums of these three differ from the double sums rounded once
        ([0, 1, 1.001, 1.002, 3, 4], 0.01, [(1, 2), (2, 3)]),
    ],
)
def test_merging(dt, x, tol, merged):
    if x == "ulp":
        x = [0, np.nextafter(dt(0.5), dt(1)), 2, 3]
    x = np.array(x, dtype=dt)
    y = np.array([[0.0, 10.0, -4.0, 7.0, 1.0, 3.0, -2.0][: len(x)]], dtype=dt)
    z, w = smooth(dt, x, y, lam=1.0, d=1, merge_x_tol=tol, return_weights=True)
    want = robust_whittaker_irls(x, y, lam=1.0, d=1, merge_x_tol=tol)
    assert_bits(z, want.z)
    assert_bits(w, want.w)
    neighbours = {(i, i + 1) for i in range(len(x) - 1)}
    for i, j in neighbours:
        assert (z[0, i] == z[0, j]) == ((i, j) in merged)


@pytest.mark.parametrize("dt", DTYPES)
def test_merged_weight_is_shared_by_base_weight(dt):
    # Observations 2 and 6 with base weights 1 and 3 merge into 5 with weight 4.
    x = np.array([0, 0.005, 1, 2, 3], dtype=dt)
    y = np.array([[2, 6, 1, 4, 2]], dtype=dt)
    w = np.array([[1, 3, 2, 1, 1]], dtype=dt)
    z, wt = smooth(dt, x, y, w, lam=1.0, return_weights=True)
    xm = np.array([x[1] / dt(2), 1, 2, 3], dtype=dt)  # the mean of 0 and x[1], exact
    zm, wtm = smooth(dt, xm, np.array([[5, 1, 4, 2]], dtype=dt), np.array([[4, 2, 1, 1]], dtype=dt),
                     lam=1.0, return_weights=True)
    assert z[0, 0] == z[0, 1] == zm[0, 0]
    assert_bits(z[:, 2:], zm[:, 1:])
    assert wt[0, 0] == (dt(1) / dt(4)) * wtm[0, 0] and wt[0, 1] == (dt(3) / dt(4)) * wtm[0, 0]


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("return_weights", [False, True])
def test_no_series(dt, return_weights):
    x = np.arange(5, dtype=dt)
    result = smooth(dt, x, np.zeros((0, 5), dtype=dt), return_weights=return_weights)
    for a in result if return_weights else (result,):
        assert a.shape == (0, 5) and a.dtype == dt


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("duplicates", [False, True])
def test_parallel_and_inputs_untouched(dt, duplicates):
    x, y, w = sample(dt, seed=3, S=9, duplicates=duplicates)
    before = [a.copy() for a in (x, y, w)]
    options = dict(iterations=3, weighting="welsch", scale="huber", return_weights=True)
    on = smooth(dt, x, y, w, parallel=True, **options)
    off = smooth(dt, x, y, w, parallel=False, **options)
    for a, b in zip(on, off):
        assert_bits(a, b)
    for a, b in zip((x, y, w), before):
        assert_bits(a, b)


def _layouts(a):
    """The same values as a Fortran array, a strided view and a reversed view."""
    strided = np.zeros((a.shape[0], 2 * a.shape[1]), dtype=a.dtype)
    strided[:, ::2] = a
    reversed_ = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    return {"fortran": np.asfortranarray(a), "strided": strided[:, ::2], "negative": reversed_}


@pytest.mark.parametrize("dt", DTYPES)
@pytest.mark.parametrize("layout", ["fortran", "strided", "negative"])
@pytest.mark.parametrize("duplicates", [False, True])
def test_layouts(dt, layout, duplicates):
    x, y, w = sample(dt, seed=5, S=4, duplicates=duplicates)
    options = dict(iterations=2, return_weights=True)
    want = smooth(dt, x, y, w, **options)
    yl, wl = _layouts(y)[layout], _layouts(w)[layout]
    assert np.array_equal(yl, y, equal_nan=True) and not yl.flags.c_contiguous
    got = smooth(dt, np.asfortranarray(x), yl, wl, **options)
    for a, b in zip(got, want):
        assert_bits(a, b)


@pytest.mark.parametrize("dt", DTYPES)
def test_tuning_named_tuple_and_none(dt):
    Triple = collections.namedtuple("Triple", "a b c")
    x, y, w = sample(dt)
    explicit = smooth(dt, x, y, w, iterations=2, tuning=(1.0, 2.0, 4.0))
    assert_bits(smooth(dt, x, y, w, iterations=2, tuning=Triple(0, 0, 4)), explicit)
    assert_bits(smooth(dt, x, y, w, iterations=2, tuning=None), smooth(dt, x, y, w, iterations=2))
