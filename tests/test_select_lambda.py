"""select_lambda, evaluate_lambda and envelope against the dense reference
(reference_lambda.py): leverages, EDF and the four criteria to 1e-9, the
statuses exactly, the selected lam at the reference optimum; the degenerate
series; results independent of the pool and of the other series."""

import dataclasses
import math
import types
import typing

import numpy as np
import pytest

import reference_lambda as ref
import tarnwold
import tarnwold_tools as tt
from tarnwold_tools import _lambda, _select, _smoothing


def make_series(T, d, missing, seed, irregular=False, weights=False, series=3, unit=1.0):
    rng = np.random.default_rng(seed)
    x = unit * (np.cumsum(rng.uniform(0.3, 1.7, T)) if irregular else np.arange(T, dtype=np.float64))
    signal = np.sin(2 * np.pi * (x - x[0]) / (x[-1] - x[0]) * 1.5)
    y = signal + 0.2 * rng.normal(size=(series, T))
    y[rng.uniform(size=y.shape) < missing] = np.nan
    w = rng.uniform(0.5, 2.0, size=y.shape) if weights else None
    return x, y, w


# (T, d, missing fraction, seed, irregular grid, weights, normalize, lams)
EVALUATION_CASES = [
    (30, 2, 0.0, 1, False, False, "mean", [0.1, 10.0, 1e3]),
    (40, 2, 0.3, 2, True, True, "mean", [1.0, 300.0]),
    (35, 1, 0.2, 3, True, False, "median", [0.5, 50.0]),
    (25, 3, 0.1, 4, False, True, None, [2.0, 1e4]),
    (20, 2, 0.5, 5, True, False, "mean", [1e-3, 1e5]),
]


@pytest.mark.parametrize("T,d,missing,seed,irregular,weights,normalize,lams", EVALUATION_CASES)
def test_evaluation_matches_dense_reference(T, d, missing, seed, irregular, weights, normalize, lams):
    x, y, w_base = make_series(T, d, missing, seed, irregular, weights)
    D = ref.difference_matrix(x, d, normalize)
    for lam in lams:
        got = tt.evaluate_lambda(x, y, lam, w_base, d=d, normalize=normalize, return_hat=True, return_se=True)
        for s in range(y.shape[0]):
            w, ys = ref.working_inputs(y[s], None if w_base is None else w_base[s])
            row = slice(s, s + 1)
            solver = tarnwold.whittaker_solve_f64(x, y[row], None if w_base is None else w_base[row], lam=lam, d=d,
                                                  normalize=normalize, ridge=ref.default_ridge(d, w))[0]  # fmt: skip
            e = ref.evaluate(D, w, ys, lam, literal=True)
            # The fit may take another order of operations than the solver:
            # 1e-12 where cond(A) <= 1e4, about cond(A) * 1e-16 beyond.
            close = max(1e-12, 1e-15 * np.linalg.cond(np.linalg.inv(e["Sigma"])))
            np.testing.assert_allclose(got.z[s], solver, rtol=close, atol=close * np.abs(solver).max())
            np.testing.assert_allclose(got.hat[s], e["hat"], rtol=0, atol=1e-9)
            assert got.hat[s] == pytest.approx(np.where(w > 0, w * np.diag(e["Sigma"]), 0), rel=1e-9, abs=1e-300)
            for name in ("edf", "rss", "roughness", "gcv", "loocv"):
                assert getattr(got, name)[s] == pytest.approx(e[name], rel=1e-9), name
            assert abs(got.reml[s] - e["reml"]) <= 1e-9 * e["reml_scale"]
            sigma2 = e["Q"] / (e["m"] - d)
            np.testing.assert_allclose(got.se[s], np.sqrt(sigma2 * np.diag(e["Sigma"])), rtol=1e-9)


def output_grid(x, kind, seed=0):
    """x_out of a kind: x itself, points inside its intervals, beyond both
    ends, up to 1000 spacings beyond them, a dense grid over and beyond x, a
    pair around each x position, a grid 60 times as fine as x, or a few of
    x's own positions."""
    rng = np.random.default_rng(seed)
    h = np.diff(x)
    if kind == "same":
        return x.copy()
    if kind == "gaps":
        return x[:-1] + h * rng.uniform(0.2, 0.8, len(h))
    if kind == "outside":
        return np.concatenate([x[0] - [3.0, 1.5], x[-1] + [0.5, 2.0, 4.0]])
    if kind == "far":
        far = h.mean() * np.array([1000.0, 30.0, 1e-9])
        return np.concatenate([x[0] - far, x[1:-2:3] + 0.5 * h[1:-1:3], x[-1] + far[::-1]])
    if kind == "dense":
        return np.linspace(x[0] - 2.0, x[-1] + 2.0, 3 * len(x))
    if kind == "pairs":
        return np.sort(np.concatenate([x - 1e-9 * h.mean(), x + 1e-9 * h.mean()]))
    if kind == "fine":
        return np.linspace(x[0] - 1.0, x[-1] + 1.0, 60 * len(x))
    return x[::4].copy()


# (T, d, missing, seed, irregular, weights, normalize, kind of x_out, lam)
OUTPUT_GRID_CASES = [
    (30, 2, 0.2, 71, True, False, "mean", "gaps", 30.0),
    (25, 1, 0.1, 72, False, True, "mean", "dense", 5.0),
    (28, 3, 0.3, 73, True, True, None, "outside", 300.0),
    (30, 2, 0.0, 74, False, False, "mean", "subset", 1e3),
    (20, 2, 0.4, 75, True, True, "mean", "dense", 0.5),
    (30, 2, 0.2, 76, True, False, "mean", "pairs", 1.0),
    (25, 1, 0.1, 77, False, True, "mean", "pairs", 3.0),
    (30, 3, 0.1, 78, True, False, "mean", "fine", 1e3),
    (30, 2, 0.2, 79, True, True, None, "fine", 30.0),
    (30, 2, 0.1, 80, True, False, "mean", "far", 10.0),
    (28, 3, 0.2, 81, True, True, "mean", "far", 100.0),
    (25, 1, 0.0, 82, False, True, None, "far", 3.0),
]


@pytest.mark.parametrize("T,d,missing,seed,irregular,weights,normalize,kind,lam", OUTPUT_GRID_CASES)
def test_output_grid_matches_dense_reference(T, d, missing, seed, irregular, weights, normalize, kind, lam):
    # The fit on the union of x and x_out with zero weight at the new
    # positions, at x_out; the criteria and leverages stay those of x alone.
    x, y, w_base = make_series(T, d, missing, seed, irregular, weights)
    x_out = output_grid(x, kind, seed)
    union, read = ref.output_union(x, x_out, d)
    D = ref.union_difference_matrix(x, union, d, normalize)
    got = tt.evaluate_lambda(x, y, lam, w_base, d=d, normalize=normalize, return_hat=True, return_se=True, x_out=x_out)
    plain = tt.evaluate_lambda(x, y, lam, w_base, d=d, normalize=normalize, return_hat=True)
    for name in ("edf", "rss", "roughness", "gcv", "loocv", "reml", "hat"):
        np.testing.assert_array_equal(getattr(got, name), getattr(plain, name))
    for s in range(y.shape[0]):
        values, base = ref.on_union(x, union, y[s], None if w_base is None else w_base[s])
        w, ys = ref.working_inputs(values, base)
        e = ref.evaluate(D, w, ys, lam)
        # 1e-9, or about cond(A) * 1e-16 where the output points make the
        # system stiffer than that.
        close = max(1e-9, 1e-16 * np.linalg.cond(np.linalg.inv(e["Sigma"])))
        np.testing.assert_allclose(got.z[s], read @ e["z"], rtol=close, atol=close * np.abs(e["z"]).max())
        variance = np.einsum("ju,uv,jv->j", read, e["Sigma"], read) + ref.beyond_spread(x, x_out, d, normalize) / lam
        np.testing.assert_allclose(got.se[s], np.sqrt(e["Q"] / (e["m"] - d) * variance), rtol=close)
    selected = tt.select_lambda(x, y, w_base, d=d, normalize=normalize, return_se=True, x_out=x_out)
    alone = tt.select_lambda(x, y, w_base, d=d, normalize=normalize)
    np.testing.assert_array_equal(selected.lam, alone.lam)
    refit = tt.evaluate_lambda(x, y, alone.lam, w_base, d=d, normalize=normalize, x_out=x_out)
    np.testing.assert_array_equal(selected.z, refit.z)
    # The envelope decides its weights on x and refits on the union.
    plain = tt.envelope(x, y, w_base, p=0.8, lam=lam, d=d, normalize=normalize)
    for derivative in (0, 1, 2):
        out = tt.envelope(x, y, w_base, p=0.8, lam=lam, d=d, normalize=normalize, x_out=x_out, derivative=derivative)
        for field in ("weights", "iterations", "lam"):
            np.testing.assert_array_equal(getattr(out, field), getattr(plain, field))
        refit = tt.evaluate_lambda(x, y, lam, plain.weights, d=d, normalize=normalize, x_out=x_out,
                                   derivative=derivative)  # fmt: skip
        np.testing.assert_array_equal(out.z, refit.z)


# The criteria the native module accepts, in the order of its list, are
# those of the reference and of every list the package keeps.
@pytest.mark.parametrize("names", [
    _select.CRITERIA,
    _lambda._CRITERIA,
    typing.get_args(_lambda.Criterion),
    _smoothing.CRITERIA,
])
def test_every_list_of_criteria_is_the_reference(names):
    assert tuple(names) == ref.CRITERIA


@pytest.mark.parametrize("criterion", ref.CRITERIA)
def test_output_grid_equal_to_x_gives_the_plain_bits(criterion):
    x, y, w = make_series(60, 2, 0.2, 81, irregular=True, weights=True, series=9)
    y[3] = np.nan  # empty
    y[4, 3:] = np.nan  # too few
    plain = tt.select_lambda(x, y, w, criterion=criterion, return_se=True)
    out = tt.select_lambda(x, y, w, criterion=criterion, return_se=True, x_out=x.copy())
    np.testing.assert_array_equal(out.z, plain.z)
    np.testing.assert_array_equal(out.se, plain.se)
    lams = np.logspace(-1, 3, 9)
    plain = tt.evaluate_lambda(x, y, lams, w, return_se=True)
    out = tt.evaluate_lambda(x, y, lams, w, return_se=True, x_out=x)
    np.testing.assert_array_equal(out.z, plain.z)
    np.testing.assert_array_equal(out.se, plain.se)
    for lam in (criterion, lams):
        plain = tt.envelope(x, y, w, p=0.9, lam=lam)
        out = tt.envelope(x, y, w, p=0.9, lam=lam, x_out=x)
        for field in ("z", "weights", "iterations", "lam", "status"):
            np.testing.assert_array_equal(getattr(out, field), getattr(plain, field))
    # Dense output: the too_few series at its grid's middle, like select_lambda.
    dense = np.linspace(x[0] - 2, x[-1] + 2, 200)
    out = tt.envelope(x, y, w, p=0.9, lam=criterion, x_out=dense)
    again = tt.select_lambda(x, y, out.weights, criterion=criterion, x_out=dense)
    np.testing.assert_array_equal(out.z, again.z)
    assert np.all(np.isnan(out.z[3])) and np.all(np.isfinite(out.z[[0, 1, 2, 4, 5, 6, 7, 8]]))


# (d, lam, output spacing, relative tolerance): a dense x_out leaves the
# fit at x as it is for d = 1 (the fit is linear between observations; the
# ridge on the new points aside) and to the discretisation's accuracy for
# larger d, also 480 or 4800 times as fine as x.
DENSITY_CASES = [
    (1, 3.0, 1.0, 1e-8),
    (2, 30.0, 1.0, 2e-2),
    (3, 300.0, 1.0, 2e-2),
    (2, 30.0, 1 / 600, 2e-2),
    (3, 300.0, 1 / 60, 2e-2),
]


@pytest.mark.parametrize("d,lam,step,tolerance", DENSITY_CASES)
def test_the_same_lam_smooths_alike_on_sparse_and_dense_output(d, lam, step, tolerance):
    x, y, _ = make_series(40, d, 0.1, 91, irregular=True, unit=8.0)
    dense = np.arange(x[0], x[-1], step)
    on_x = tt.evaluate_lambda(x, y, lam, d=d, x_out=x).z
    both = tt.evaluate_lambda(x, y, lam, d=d, x_out=np.union1d(x, dense)).z
    at = np.searchsorted(np.union1d(x, dense), x)
    np.testing.assert_allclose(both[:, at], on_x, rtol=0, atol=tolerance * np.abs(on_x).max())
    sparse_mid = tt.evaluate_lambda(x, y, lam, d=d, x_out=dense[::5]).z
    dense_mid = tt.evaluate_lambda(x, y, lam, d=d, x_out=dense).z
    np.testing.assert_allclose(dense_mid[:, ::5], sparse_mid, rtol=0, atol=tolerance * np.abs(on_x).max())


# (d, relative error allowed in the rate at 10 of sin(2 pi t / 50) seen at
# every integer, lam = 0.1: the one-sided slope of the line to 11 for d = 1)
RATE_NEXT_TO_X_CASES = [(1, 0.25), (2, 0.02), (3, 0.02)]


@pytest.mark.parametrize("d,rate_error", RATE_NEXT_TO_X_CASES)
@pytest.mark.parametrize("offset", [1e-15, 1e-9, 5e-5])
def test_output_positions_next_to_others_are_read_between_them(d, rate_error, offset):
    # Offsets in x's mean spacing. Such positions were once merged into their
    # neighbour (their derivative came out 0); as points of their own they
    # made the system so ill-conditioned that the fit was lost.
    x, y, _ = make_series(40, d, 0.1, 141, irregular=True, unit=8.0)
    h = (x[-1] - x[0]) / (len(x) - 1)
    gap = x[10] + 0.5 * (x[11] - x[10])
    shifted = np.concatenate([x[::3] + offset * h, x[1::3] - offset * h, [gap, gap + offset * h]])
    exact = np.concatenate([x[::3], x[1::3], [gap, gap]])
    order = np.argsort(shifted)
    got = tt.evaluate_lambda(x, y, 10.0, d=d, return_se=True, x_out=shifted[order])
    positions = np.unique(exact)
    expected = tt.evaluate_lambda(x, y, 10.0, d=d, return_se=True, x_out=positions)
    at = np.searchsorted(positions, exact[order])
    slope = np.abs(np.diff(expected.z) / np.diff(positions)).max()
    assert np.all(np.isfinite(got.z)) and np.all(np.isfinite(got.se))
    np.testing.assert_allclose(got.z, expected.z[:, at], rtol=0, atol=4 * slope * offset * h + 1e-12)
    np.testing.assert_allclose(got.se, expected.se[:, at], rtol=max(1e-9, 10 * offset))
    t = np.arange(100.0)
    step = max(offset, 1e-9)
    rate = tt.evaluate_lambda(t, np.sin(2 * np.pi * t / 50)[None], 0.1, d=d, x_out=[10, 10 + step, 11, 12, 13],
                              derivative=1).z[0, 0]  # fmt: skip
    assert rate == pytest.approx(2 * np.pi / 50 * np.cos(2 * np.pi * 10 / 50), rel=rate_error)


# (d, output positions on x = 0 .. 9 with no observation at 4): with lam = 0
# only observed positions have a fit.
LAM_ZERO_CASES = [
    (1, [2.5, 3.0, 3.5]),
    (2, [-1.0, 3.0, 3.0 + 1e-9, 4.0, 12.0]),
    (3, [0.0, 4.0, 6.5, 9.0]),
    (1, [-0.5, 2.5, 3.0, 9.0]),
    (3, [-1000.0, 0.0, 4.0, 6.5, 9.0, 9.0 + 1e-9, 1000.0]),
]


@pytest.mark.parametrize("d,x_out", LAM_ZERO_CASES)
def test_without_a_penalty_there_is_no_fit_between_observations(d, x_out):
    x = np.arange(10.0)
    y = 5 + x + np.arange(3.0)[:, None]
    y[:, 4] = np.nan
    observed = np.isin(x_out, np.delete(x, 4))
    got = tt.evaluate_lambda(x, y, 0.0, d=d, return_se=True, x_out=x_out)
    np.testing.assert_allclose(got.z[:, observed], 5 + np.array(x_out)[observed] + np.arange(3.0)[:, None], rtol=1e-9)
    assert np.all(np.isfinite(got.se[:, observed]))
    assert np.all(np.isnan(got.z[:, ~observed])) and np.all(np.isnan(got.se[:, ~observed]))
    envelope = tt.envelope(x, y, lam=0.0, d=d, x_out=x_out).z
    np.testing.assert_array_equal(np.isnan(envelope), np.isnan(got.z))


@pytest.mark.parametrize("d", [1, 2, 3])
def test_more_output_positions_than_the_union_holds(d):
    # Two output positions next to every x position: a block of series in
    # lanes writes them as each series alone does.
    x = np.arange(30.0)
    y = np.sin(x / 4)[None] + np.arange(3.0)[:, None]
    x_out = np.sort(np.r_[x - 1e-9, x + 1e-9])
    got = tt.evaluate_lambda(x, y, 1.0, d=d, return_se=True, x_out=x_out)
    for s in range(3):
        alone = tt.evaluate_lambda(x, y[s : s + 1], 1.0, d=d, return_se=True, x_out=x_out)
        np.testing.assert_array_equal(got.z[s], alone.z[0])
        np.testing.assert_array_equal(got.se[s], alone.se[0])
    assert np.all(np.isfinite(got.z)) and np.all(np.isfinite(got.se))


def smooth_with_missing_ends(x, y, d, before, beyond):
    """smooth() of y on x with runs of missing values at before and beyond."""
    xr = pytest.importorskip("xarray")
    grid = np.concatenate([before, x, beyond])
    values = np.full((y.shape[0], grid.shape[0]), np.nan)
    values[:, before.shape[0] : before.shape[0] + x.shape[0]] = y
    z = tt.smooth(xr.DataArray(values, dims=("s", "t"), coords={"t": grid}), "t", lam=10.0, d=d, extrapolate=True).values
    return z[:, before.shape[0] : before.shape[0] + x.shape[0]], np.delete(z, np.s_[before.shape[0] : -beyond.shape[0]], 1)


# The fit at x, and at before and beyond (concatenated), by default (no ridge
# where none is needed): output positions past x, or runs of missing values.
EXTRAPOLATIONS = {
    "evaluate_lambda": lambda x, y, d, before, beyond: (
        tt.evaluate_lambda(x, y, 10.0, d=d).z,
        tt.evaluate_lambda(x, y, 10.0, d=d, x_out=np.concatenate([before, beyond])).z),
    "select_lambda": lambda x, y, d, before, beyond: (
        tt.select_lambda(x, y, d=d).z, tt.select_lambda(x, y, d=d, x_out=np.concatenate([before, beyond])).z),
    "envelope": lambda x, y, d, before, beyond: (
        tt.envelope(x, y, p=0.8, lam=10.0, d=d).z,
        tt.envelope(x, y, p=0.8, lam=10.0, d=d, x_out=np.concatenate([before, beyond])).z),
    # A ridge acts on the system, which ends where x does.
    "evaluate_lambda, ridge 1e-3": lambda x, y, d, before, beyond: (
        tt.evaluate_lambda(x, y, 10.0, d=d, ridge=1e-3).z,
        tt.evaluate_lambda(x, y, 10.0, d=d, ridge=1e-3, x_out=np.concatenate([before, beyond])).z),
    "select_lambda, ridge 1e-10": lambda x, y, d, before, beyond: (
        tt.select_lambda(x, y, d=d, ridge=1e-10).z,
        tt.select_lambda(x, y, d=d, ridge=1e-10, x_out=np.concatenate([before, beyond])).z),
    "smooth, missing ends": smooth_with_missing_ends,
}


@pytest.mark.parametrize("d", [1, 2, 3])
@pytest.mark.parametrize("how", sorted(EXTRAPOLATIONS))
def test_beyond_the_observations_the_fit_continues_as_a_polynomial_of_degree_d_minus_1(how, d):
    # Up to 1000 spacings out, where a ridge of 1e-10 pulled the line of
    # d = 2 off by 2 % of the data and flattened that of d = 3 entirely.
    x, y, _ = make_series(30, d, 0.0, 101, irregular=True)
    h = (x[-1] - x[0]) / (x.shape[0] - 1)
    near = np.array([0.7, 2.0, 5.0, 11.0])
    beyond = x[-1] + h * np.concatenate([near, np.arange(12.0, 1001.0)])
    before = x[0] - h * np.concatenate([np.arange(1000.0, 11.0, -1), near[::-1]])
    at_x, fitted = EXTRAPOLATIONS[how](x, y, d, before, beyond)
    for end, ts, part in ((slice(None, d), before, fitted[:, : before.shape[0]]),
                          (slice(-d, None), beyond, fitted[:, before.shape[0] :])):
        for s in range(y.shape[0]):
            poly = np.polyfit(x[end], at_x[s, end], d - 1)
            np.testing.assert_allclose(part[s], np.polyval(poly, ts), rtol=0, atol=1e-6 * np.abs(y).max())


def test_standard_errors_grow_across_a_gap():
    x = np.concatenate([np.arange(0.0, 40.0), np.arange(70.0, 110.0)])
    _, y, _ = make_series(80, 2, 0.0, 111, series=2)
    x_out = np.arange(0.0, 110.0, 0.5)
    se = tt.evaluate_lambda(x, y, 20.0, return_se=True, x_out=x_out).se
    gap = (x_out > 39) & (x_out < 70)
    middle = np.argmin(np.abs(x_out - 54.5))
    assert np.all(se[:, gap].min(axis=1) > se[:, ~gap].max(axis=1) * 0.999)
    assert np.all(se[:, middle] > 3 * np.median(se[:, ~gap], axis=1))
    rising = x_out[gap] < 54.5
    assert np.all(np.diff(se[:, gap][:, rising], axis=1) > 0)


def test_derivatives_are_exact_on_a_quadratic_fit():
    # Data on a quadratic lie in the null space of the d = 3 penalty: the fit
    # is that quadratic on and beyond x, and three-point differences are
    # exact for it, at the ends too.
    rng = np.random.default_rng(121)
    x = np.cumsum(rng.uniform(0.5, 2.0, 30))
    y = (0.3 * x**2 - 2 * x + 1)[None, :]
    x_out = np.linspace(x[0] - 5, x[-1] + 5, 50) + rng.uniform(-0.3, 0.3, 50)
    for derivative, exact in ((1, 0.6 * x_out - 2), (2, np.full_like(x_out, 0.6))):
        got = tt.evaluate_lambda(x, y, 100.0, d=3, x_out=x_out, derivative=derivative).z[0]
        np.testing.assert_allclose(got, exact, rtol=1e-6, atol=1e-6 * np.abs(exact).max())
        on_x = tt.select_lambda(x, y, d=3, derivative=derivative).z[0]
        assert on_x.shape == x.shape


# (d, output spacing in days, bound on the largest and on the RMS error,
# relative to 2 pi / 365): a minute grid as accurate as a daily one.
SINE_RATE_CASES = [(2, 1.0, 0.05, 0.01), (3, 1.0, 0.005, 0.001), (2, 1 / 1440, 0.05, 0.01), (3, 1 / 1440, 0.005, 0.001)]


@pytest.mark.parametrize("d,step,largest,rms", SINE_RATE_CASES)
def test_rate_of_an_irregularly_sampled_sine_on_a_fine_grid(d, step, largest, rms):
    # The accuracy the docstring states: two years of sin(2 pi t / 365) seen
    # every 4 to 12 days, with two gaps of a month, noise-free, lam = 0.1;
    # the first derivative on a daily (or minute) grid against 2 pi / 365
    # cos(2 pi t / 365).
    rng = np.random.default_rng(131)
    t = np.cumsum(rng.uniform(4.0, 12.0, 100))
    t = t[(t < 730) & ~((t > 100) & (t < 130)) & ~((t > 400) & (t < 430))]
    y = np.sin(2 * np.pi * t / 365)[None, :]
    days = np.arange(np.ceil(t[0]), np.floor(t[-1]) + step / 2, step)
    rate = tt.evaluate_lambda(t, y, 0.1, d=d, x_out=days, derivative=1).z[0]
    error = (rate - 2 * np.pi / 365 * np.cos(2 * np.pi * days / 365)) / (2 * np.pi / 365)
    assert np.abs(error).max() < largest and np.sqrt(np.mean(error**2)) < rms


# (criterion, T, d, missing, seed, irregular, weights, normalize, unit of x):
# positions that are only shifted keep their unit, and so must the grid.
SELECTION_CASES = [
    (criterion, *case)
    for criterion in ref.CRITERIA
    for case in [
        (40, 2, 0.0, 11, False, False, "mean", 1.0),
        (50, 2, 0.3, 12, True, True, "mean", 86400.0),
        (45, 1, 0.1, 13, True, False, None, 1.0),
        (36, 3, 0.2, 14, False, True, "median", 1.0),
        (42, 2, 0.1, 15, True, False, "none", 86400.0),
        (64, 2, 0.2, 16, True, False, "mean", 1.0),
        (30, 1, 0.0, 17, False, True, "mean", 1.0),
        # minima between the grid's first two points (but the V-curve's)
        (30, 1, 0.0, 340, False, True, "mean", 1.0),
    ]
]


@pytest.mark.parametrize("criterion,T,d,missing,seed,irregular,weights,normalize,unit", SELECTION_CASES)
def test_selection_matches_dense_reference(criterion, T, d, missing, seed, irregular, weights, normalize, unit):
    x, y, w_base = make_series(T, d, missing, seed, irregular, weights, series=2, unit=unit)
    got = tt.select_lambda(x, y, w_base, d=d, criterion=criterion, normalize=normalize, return_scores=True,
                           return_se=True)  # fmt: skip
    D = ref.difference_matrix(x, d, normalize)
    np.testing.assert_allclose(got.grid, ref.default_grid(x, d, normalize, criterion), rtol=1e-13)
    for s in range(y.shape[0]):
        w, ys = ref.working_inputs(y[s], None if w_base is None else w_base[s])
        assert got.n_obs[s] == (w > 0).sum()
        assert got.grid_scale[s] == pytest.approx(w[w > 0].mean(), rel=1e-14)
        grid = got.grid * got.grid_scale[s]
        points, scores, conditioned = ref.grid_scores(D, w, ys, grid, criterion)
        scale = max(abs(scores).max(), 1.0) if criterion == "reml" else 0
        np.testing.assert_allclose(got.scores[s][conditioned], scores[conditioned], rtol=1e-9, atol=1e-9 * scale)
        best, status, lam_ref, value_ref = ref.choice(D, w, ys, points, scores, criterion)
        assert got.status[s] == status
        if status == ref.STATUS["ok"]:
            value = ref.criterion(D, w, ys, got.lam[s], criterion)
            close = abs(math.log10(got.lam[s] / lam_ref)) <= 5e-3
            assert close or value <= value_ref + 1e-6 * abs(value_ref)
        else:
            assert got.lam[s] == points[best]
        e = ref.evaluate(D, w, ys, got.lam[s])
        assert got.edf[s] == pytest.approx(e["edf"], rel=1e-9)
        if criterion != "vcurve":
            assert got.score[s] == pytest.approx(e[criterion], rel=1e-9, abs=1e-9 * e["reml_scale"])
        sigma2 = e["Q"] / (e["m"] - d) if criterion == "reml" else e["rss"] / (e["m"] - e["edf"])
        assert got.sigma2[s] == pytest.approx(sigma2, rel=1e-9)
        np.testing.assert_allclose(got.z[s], e["z"], rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(got.se[s], np.sqrt(sigma2 * np.diag(e["Sigma"])), rtol=1e-8)



# (T, d, missing, seed, irregular, weights, normalize, p, lam, iterations, tol)
ENVELOPE_CASES = [
    (40, 2, 0.0, 71, False, False, "mean", 0.9, 50.0, 10, 0.0),
    (50, 2, 0.2, 72, True, True, "mean", 0.05, 300.0, 20, 0.0),
    (35, 1, 0.1, 73, True, False, None, 0.7, 2.0, 3, 0.0),
    (45, 3, 0.1, 74, False, True, "median", 0.95, 1e3, 10, 0.05),
    (30, 2, 0.3, 75, True, False, "mean", 0.9, 10.0, 0, 0.0),
]


@pytest.mark.parametrize("T,d,missing,seed,irregular,weights,normalize,p,lam,iterations,tol", ENVELOPE_CASES)
def test_envelope_matches_dense_reference(T, d, missing, seed, irregular, weights, normalize, p, lam, iterations,
                                          tol):  # fmt: skip
    x, y, w_base = make_series(T, d, missing, seed, irregular, weights, series=4)
    got = tt.envelope(x, y, w_base, p=p, lam=lam, d=d, iterations=iterations, tol=tol, normalize=normalize)
    D = ref.difference_matrix(x, d, normalize)
    assert got.status is None and np.all(got.lam == lam)
    for s in range(y.shape[0]):
        w, ys = ref.working_inputs(y[s], None if w_base is None else w_base[s])
        z, weights, taken = ref.envelope(D, w, ys, lam, p, iterations, tol)
        assert got.iterations[s] == taken
        np.testing.assert_array_equal(got.weights[s], weights)
        np.testing.assert_allclose(got.z[s], z, rtol=1e-9, atol=1e-12)


# (p, how the envelope lies against the symmetric fit where the data have
# one-sided outliers): above for an upper envelope, below for a baseline,
# the plain fit at twice the lam for p = 0.5.
ENVELOPE_SIDE_CASES = [(0.9, "above"), (0.02, "below"), (0.5, "plain")]


@pytest.mark.parametrize("criterion", [5.0, "vcurve", "reml"])
@pytest.mark.parametrize("p,side", ENVELOPE_SIDE_CASES)
def test_envelope_lies_on_its_side(p, side, criterion):
    rng = np.random.default_rng(81)
    x, y, _ = make_series(120, 2, 0.05, 81, series=5)
    outliers = rng.uniform(size=y.shape) < 0.2
    y = np.where(outliers, y + (-1 if side == "above" else 1) * rng.uniform(0.5, 2.0, y.shape), y)
    got = tt.envelope(x, y, p=p, lam=criterion)
    plain = tt.evaluate_lambda(x, y, got.lam if side != "plain" else 2 * got.lam).z
    if side == "plain":
        np.testing.assert_allclose(got.z, plain, rtol=1e-9, atol=1e-9)
        return
    gap = (got.z - plain) if side == "above" else (plain - got.z)
    # A lam chosen on the asymmetric weights bends the fit further towards the
    # heavy side, for baselines most: it crosses the symmetric fit in places.
    assert np.mean(gap > 0) > (0.99 if isinstance(criterion, float) else 0.75) and np.mean(gap) > 0.2
    clean = np.isfinite(y) & ~outliers
    # The envelope follows the clean points, the symmetric fit is pulled off them.
    assert np.mean(np.abs(y - got.z)[clean]) < np.mean(np.abs(y - plain)[clean])


@pytest.mark.parametrize("criterion", ref.CRITERIA)
def test_envelope_lam_is_the_criterion_choice_on_its_weights(criterion):
    x, y, w = make_series(80, 2, 0.15, 91, irregular=True, weights=True, series=6)
    y[2] = np.nan
    y[3, 3:] = np.nan
    got = tt.envelope(x, y, w, p=0.9, lam=criterion)
    again = tt.select_lambda(x, y, got.weights, criterion=criterion)
    np.testing.assert_array_equal(got.lam, again.lam)
    np.testing.assert_array_equal(got.status, again.status)
    np.testing.assert_array_equal(got.z, again.z)
    assert got.status[2] == tt.LAMBDA_EMPTY and got.iterations[2] == 0 and np.all(np.isnan(got.z[2]))
    assert np.all(got.weights[2] == 0)
    assert got.status[3] == tt.LAMBDA_TOO_FEW and np.isnan(got.lam[3])
    assert np.all(got.iterations[[0, 1, 4, 5]] >= 1) and np.all(got.iterations <= 10)
    # Nearly every observation lies on the side of z its weight was given for.
    observed = np.isfinite(y[[0, 1, 4, 5]])
    sides = (y > got.z)[[0, 1, 4, 5]] == (got.weights == 0.9 * w)[[0, 1, 4, 5]]
    assert np.mean(sides[observed]) > 0.9

def degenerate_rows(T):
    x = np.arange(T, dtype=np.float64)
    rows = {
        "empty": np.full(T, np.nan),
        "one point": np.where(np.arange(T) == 4, 2.0, np.nan),
        "d+1 points": np.where(np.isin(np.arange(T), [1, 7, 20]), [1.0] * T, np.nan) * np.arange(T),
        "constant": np.full(T, 3.25),
        "zeros": np.zeros(T),
        "line with gaps": np.where(np.arange(T) % 3 == 0, np.nan, 0.5 - 0.25 * x),
    }
    return x, rows


# (row, status for every criterion)
DEGENERATE_CASES = [
    ("empty", ref.STATUS["empty"]),
    ("one point", ref.STATUS["too_few"]),
    ("d+1 points", ref.STATUS["too_few"]),
    ("constant", ref.STATUS["flat"]),
    ("zeros", ref.STATUS["flat"]),
    ("line with gaps", ref.STATUS["flat"]),
]


@pytest.mark.parametrize("criterion", ref.CRITERIA)
@pytest.mark.parametrize("row,status", DEGENERATE_CASES)
def test_degenerate_series(criterion, row, status):
    x, rows = degenerate_rows(30)
    noisy = np.sin(x / 4) + np.random.default_rng(0).normal(size=30) * 0.1
    y = np.stack([noisy, rows[row], noisy])
    got = tt.select_lambda(x, y, criterion=criterion, return_se=True, return_scores=True)
    assert got.status[1] == status
    assert got.n_obs[1] == np.isfinite(rows[row]).sum()
    if status == ref.STATUS["empty"]:
        for values in (got.lam, got.score, got.edf, got.sigma2, got.z[1], got.se[1], got.scores[1]):
            assert np.all(np.isnan(values[1] if values.ndim == 1 and len(values) == 3 else values))
    elif status == ref.STATUS["too_few"]:
        assert np.isnan(got.lam[1]) and np.isnan(got.score[1])
        middle = math.sqrt(got.grid[0] * got.grid[-1])
        np.testing.assert_array_equal(got.z[1], tt.evaluate_lambda(x, y[1:2], middle).z[0])
    else:
        assert got.lam[1] == got.grid[-1]
        np.testing.assert_allclose(got.z[1], np.where(np.isfinite(rows[row]), rows[row], got.z[1]), atol=1e-9)
    # The neighbours are untouched by the degenerate series.
    alone = tt.select_lambda(x, y[[0]], criterion=criterion)
    assert got.lam[0] == got.lam[2] == alone.lam[0]


# (criterion, lam_grid, status): the minimum beyond either end, a criterion
# that does not vary over a grid a few rounding steps wide.
EDGE_CASES = [
    ("reml", [1e-6, 1e-5, 1e-4, 1e-3], ref.STATUS["at_upper"]),
    ("gcv", [1e-6, 1e-5, 1e-4, 1e-3], ref.STATUS["at_upper"]),
    ("gcv", [1e7, 1e8, 1e9, 1e10], ref.STATUS["at_lower"]),
    ("loocv", [1e7, 1e8, 1e9, 1e10], ref.STATUS["at_lower"]),
    ("vcurve", [1e-6, 1e-5, 1e-4, 1e-3, 1e-2], None),
    ("gcv", [10.0, 10.000000000001, 10.000000000002], ref.STATUS["flat"]),
    ("reml", [10.0, 10.000000000001, 10.000000000002], ref.STATUS["flat"]),
]


@pytest.mark.parametrize("criterion,lam_grid,status", EDGE_CASES)
def test_grid_ends_and_flat_criteria(criterion, lam_grid, status):
    x, y, _ = make_series(40, 2, 0.1, 21)
    got = tt.select_lambda(x, y, criterion=criterion, lam_grid=lam_grid, return_scores=True)
    D = ref.difference_matrix(x, 2)
    for s in range(y.shape[0]):
        w, ys = ref.working_inputs(y[s])
        points, scores, _ = ref.grid_scores(D, w, ys, np.array(lam_grid), criterion)
        best, expected, _, _ = ref.choice(D, w, ys, points, scores, criterion)
        assert got.status[s] == expected
        if status is not None:
            assert expected == status
        if expected != ref.STATUS["ok"]:
            assert got.lam[s] == (lam_grid[-1] if expected == ref.STATUS["flat"] else points[best])


def test_a_long_series_selects_an_interior_lam():
    # Factoring D D^T (cond about (T / pi)^4 for d = 2) lost its last pivots
    # to rounding from T = 153,083 on, and REML was +inf at every lam.
    x = np.arange(2e5)
    truth = np.sin(x / 6000)
    y = (truth + 0.1 * np.random.default_rng(0).normal(size=x.size))[None]
    got = tt.select_lambda(x, y)
    assert got.status[0] == tt.LAMBDA_OK and np.isfinite(got.score[0])
    assert np.sqrt(np.mean((got.z[0] - truth) ** 2)) < 0.01


def test_gamma_makes_gcv_infinite_where_the_denominator_vanishes():
    x, y, _ = make_series(30, 2, 0.0, 31, series=1)
    got = tt.evaluate_lambda(x, y, 1e-6, gamma=1.5)
    assert got.gcv[0] == math.inf
    sel = tt.select_lambda(x, y, criterion="gcv", gamma=1.5, return_scores=True)
    assert sel.scores[0][0] == math.inf and np.isfinite(sel.lam[0])


def test_results_do_not_depend_on_the_pool_or_the_batch():
    x, y, w = make_series(60, 2, 0.2, 41, irregular=True, weights=True, series=37)
    for criterion in ref.CRITERIA:
        pooled = tt.select_lambda(x, y, w, criterion=criterion, return_se=True, return_scores=True)
        alone = tt.select_lambda(x, y, w, criterion=criterion, return_se=True, return_scores=True, parallel=False)
        part = tt.select_lambda(x, y[5:9], w[5:9], criterion=criterion, return_se=True, return_scores=True)
        for field in ("lam", "score", "edf", "sigma2", "status", "z", "se", "scores"):
            np.testing.assert_array_equal(getattr(pooled, field), getattr(alone, field))
            np.testing.assert_array_equal(getattr(pooled, field)[5:9], getattr(part, field))
    lams = np.logspace(-1, 4, 37)
    pooled = tt.evaluate_lambda(x, y, lams, w, return_hat=True, return_se=True)
    alone = tt.evaluate_lambda(x, y, lams, w, return_hat=True, return_se=True, parallel=False)
    for field in ("z", "edf", "rss", "roughness", "gcv", "loocv", "reml", "hat", "se"):
        np.testing.assert_array_equal(getattr(pooled, field), getattr(alone, field))
    single = tt.evaluate_lambda(x, y[[7]], lams[7], w[[7]])
    assert single.edf[0] == pooled.edf[7]
    x_out = np.linspace(x[0] - 3, x[-1] + 3, 150)
    pooled = tt.select_lambda(x, y, w, return_se=True, x_out=x_out)
    alone = tt.select_lambda(x, y, w, return_se=True, x_out=x_out, parallel=False)
    part = tt.select_lambda(x, y[5:9], w[5:9], return_se=True, x_out=x_out)
    for field in ("z", "se"):
        np.testing.assert_array_equal(getattr(pooled, field), getattr(alone, field))
        np.testing.assert_array_equal(getattr(pooled, field)[5:9], getattr(part, field))
    y[3] = np.nan
    for lam in (lams, 30.0, "gcv"):
        pooled = tt.envelope(x, y, w, p=0.1, lam=lam)
        alone = tt.envelope(x, y, w, p=0.1, lam=lam, parallel=False)
        one = tt.envelope(x, y[[6]], w[[6]], p=0.1, lam=lam if np.ndim(lam) == 0 else lam[6:7])
        for field in ("z", "weights", "iterations", "lam", "status"):
            np.testing.assert_array_equal(getattr(pooled, field), getattr(alone, field))
            if getattr(one, field) is not None:
                np.testing.assert_array_equal(getattr(pooled, field)[6], getattr(one, field)[0])
        assert np.all(np.isnan(pooled.z[3])) and pooled.iterations[3] == 0 and np.isnan(pooled.lam[3])


# (function, keyword arguments, lams given per series): one batch holds
# series of both default ridges interleaved, more than a block of lanes of
# them, and one without observations.
INTERLEAVED_RIDGE_CASES = [
    (tt.select_lambda, dict(return_se=True, return_scores=True), False),
    (tt.select_lambda, dict(criterion="gcv", x_out=np.linspace(-3.0, 50.0, 31), return_se=True), False),
    (tt.select_lambda, dict(criterion="vcurve", x_out=np.linspace(0.0, 40.0, 17), derivative=1), False),
    (tt.select_lambda, dict(criterion="loocv", parallel=False), False),
    (tt.evaluate_lambda, dict(return_se=True, return_hat=True), True),
    (tt.evaluate_lambda, dict(lam=7.0, x_out=np.linspace(-3.0, 50.0, 31), return_se=True), False),
    (tt.evaluate_lambda, dict(x_out=np.linspace(0.0, 40.0, 17), derivative=2), True),
    (tt.envelope, dict(), False),
    (tt.envelope, dict(lam="reml", p=0.1, x_out=np.linspace(-3.0, 50.0, 31)), False),
    (tt.envelope, dict(p=0.2), True),
    (tt.envelope, dict(lam=3.0, x_out=np.linspace(0.0, 40.0, 17), derivative=1), False),
]


@pytest.mark.parametrize("function,kwargs,per_series", INTERLEAVED_RIDGE_CASES)
def test_each_series_keeps_its_own_ridge_and_row(function, kwargs, per_series):
    # Every row equals the same call with that series' ridge given, and the
    # series alone: a series solved with its neighbour's ridge, or written
    # to another's row, differs.
    x, y, w = make_series(40, 2, 0.1, 71, irregular=True, weights=True, series=23)
    y[::3, 0] = np.nan
    y[1::7, -1] = np.nan
    y[5] = np.nan
    S = y.shape[0]
    if per_series:
        kwargs = dict(kwargs, lam=np.geomspace(0.5, 500.0, S))
    ridges = [ref.default_ridge(2, ref.working_inputs(y[s], w[s])[0]) for s in range(S)]
    assert 0.0 in ridges and 1e-10 in ridges
    got = function(x, y, w_base_st=w, **kwargs)
    given = {ridge: function(x, y, w_base_st=w, ridge=ridge, **kwargs) for ridge in set(ridges)}
    for s in range(S):
        one = dict(kwargs, lam=kwargs["lam"][s : s + 1]) if per_series else kwargs
        alone = function(x, y[s : s + 1], w_base_st=w[s : s + 1], **one)
        for field in dataclasses.fields(got):
            value = getattr(got, field.name)
            if value is None or field.name == "grid":
                continue
            np.testing.assert_array_equal(value[s], getattr(given[ridges[s]], field.name)[s], err_msg=field.name)
            np.testing.assert_array_equal(value[s], getattr(alone, field.name)[0], err_msg=field.name)


def test_float32_input_is_selected_in_float64():
    x, y, w = make_series(50, 2, 0.2, 51, weights=True)
    narrow = tt.select_lambda(x.astype(np.float32), y.astype(np.float32), w.astype(np.float32), return_se=True)
    wide = tt.select_lambda(x.astype(np.float32).astype(np.float64), y.astype(np.float32).astype(np.float64),
                            w.astype(np.float32).astype(np.float64), return_se=True)  # fmt: skip
    assert narrow.z.dtype == narrow.se.dtype == np.float32 and narrow.lam.dtype == np.float64
    np.testing.assert_array_equal(narrow.lam, wide.lam)
    np.testing.assert_array_equal(narrow.z, wide.z.astype(np.float32))
    assert tt.evaluate_lambda(x.astype(np.float32), y.astype(np.float32), 5.0).z.dtype == np.float32
    narrow = tt.envelope(x.astype(np.float32), y.astype(np.float32), w.astype(np.float32), lam="reml")
    wide = tt.envelope(x.astype(np.float32).astype(np.float64), y.astype(np.float32).astype(np.float64),
                       w.astype(np.float32).astype(np.float64), lam="reml")  # fmt: skip
    assert narrow.z.dtype == narrow.weights.dtype == np.float32 and narrow.lam.dtype == np.float64
    np.testing.assert_array_equal(narrow.lam, wide.lam)
    np.testing.assert_array_equal(narrow.z, wide.z.astype(np.float32))
    x_out = np.linspace(-1, 52, 70, dtype=np.float32)
    narrow = tt.evaluate_lambda(x.astype(np.float32), y.astype(np.float32), 5.0, return_se=True, x_out=x_out)
    wide = tt.evaluate_lambda(x.astype(np.float32), y.astype(np.float32).astype(np.float64), 5.0, return_se=True,
                              x_out=x_out.astype(np.float64))  # fmt: skip
    assert narrow.z.shape == narrow.se.shape == (3, 70) and narrow.z.dtype == narrow.se.dtype == np.float32
    np.testing.assert_array_equal(narrow.z, wide.z.astype(np.float32))


INPUT_FUNCTIONS = {
    "select": lambda x, y, w: tt.select_lambda(x, y, w, criterion="reml", x_out=np.arange(-2.0, 45.0)),
    "evaluate": lambda x, y, w: tt.evaluate_lambda(x, y, 5.0, w),
    "envelope": lambda x, y, w: tt.envelope(x, y, w, p=0.9, lam="vcurve"),
}


def misaligned(array):
    """A C-contiguous copy of `array` that starts one byte past an aligned
    address (a view of raw bytes at an odd offset)."""
    raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(array.dtype).reshape(array.shape)
    out[...] = array
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


# (form): masked entries are missing whatever value lies under the mask (a
# fill value of -9999 is no observation); big-endian floats (FITS) are the
# numbers they hold, and come back in native order; arrays at an odd address
# are read as the numbers they hold.
@pytest.mark.parametrize("form", ["masked values", "masked weights", "big-endian float64", "big-endian float32",
                                  "misaligned"])
@pytest.mark.parametrize("function", sorted(INPUT_FUNCTIONS))
def test_masked_and_big_endian_inputs_are_what_they_hold(function, form):
    x, y, w = make_series(40, 2, 0.2, 61, weights=True)
    call = INPUT_FUNCTIONS[function]
    if form == "masked values":
        got = call(x, np.ma.MaskedArray(np.where(np.isnan(y), -9999.0, y), mask=np.isnan(y)), w)
        want = call(x, y, w)
    elif form == "masked weights":
        hidden = np.zeros(y.shape, dtype=bool)
        hidden[:, 5:9] = True
        got = call(x, y, np.ma.MaskedArray(w, mask=hidden))
        want = call(x, y, np.where(hidden, 0.0, w))
    elif form == "misaligned":
        got = call(misaligned(x), misaligned(y), misaligned(w))
        want = call(x, y, w)
    else:
        narrow = form.endswith("32")
        native = y.astype(np.float32) if narrow else y
        got = call(x.astype(">f8"), native.astype(">f4" if narrow else ">f8"), w.astype(">f8"))
        want = call(x, native, w)
    assert got.z.dtype == want.z.dtype and got.z.dtype.isnative
    np.testing.assert_array_equal(got.z, want.z)


X8 = np.arange(8.0)
Y8 = np.ones((2, 8))
X120 = np.arange(120.0)
Y120 = np.ones((1, 120))
# A median spacing so small that the normalised positions would overflow:
# steps that small against the mean spacing are refused first.
X_TINY_STEPS = np.array([0.0, 5e-324, 1e-323, 1.5e-323, 2e-323, 2.5e-323, 1e300, 2e300])
# Merged timestamps of two sources, a rounding step apart.
X_RECORDS = np.insert(np.arange(60.0), 31, np.nextafter(30.0, 99))

# (function, args, kwargs, exception or (exception, message pattern))
BAD_INPUT_CASES = [
    (tt.select_lambda, (X8, Y8), dict(criterion="aic"), ValueError),
    (tt.select_lambda, (X8, Y8), dict(d=0), ValueError),
    (tt.select_lambda, (X8, Y8), dict(d=8), ValueError),
    (tt.select_lambda, (X8, Y8), dict(d=1.5), TypeError),
    (tt.select_lambda, (X8, Y8), dict(lam_grid=[1.0, 2.0]), ValueError),
    (tt.select_lambda, (X8, Y8), dict(lam_grid=[1.0, 3.0, 2.0]), ValueError),
    (tt.select_lambda, (X8, Y8), dict(lam_grid=[0.0, 1.0, 2.0]), ValueError),
    (tt.select_lambda, (X8, Y8), dict(lam_grid=[1.0, 2.0, np.inf]), ValueError),
    (tt.select_lambda, (X8, Y8), dict(lam_grid=5.0), (ValueError, "lam_grid must hold")),
    (tt.select_lambda, (X8, Y8), dict(lam_grid=[[1.0, 2.0, 3.0]]), (ValueError, "lam_grid has the wrong shape")),
    (tt.select_lambda, (X8, Y8), dict(lam_grid=[], criterion="vcurve", return_scores=True),
     (ValueError, "lam_grid must hold")),
    (tt.select_lambda, (X120, Y120), dict(d=100), (ValueError, "d=100 and normalize='mean'")),
    (tt.select_lambda, (X120, Y120), dict(d=100, normalize=None), (ValueError, "d=100 and normalize=None")),
    (tt.select_lambda, (X8 * 1e25, Y8), dict(d=7, normalize=None), (ValueError, "d=7 and normalize=None")),
    (tt.select_lambda, (X8 * 1e-200, Y8), dict(normalize="none"), (ValueError, "d=2 and normalize='none'")),
    (tt.select_lambda, (X_TINY_STEPS, Y8), dict(normalize="median"), (ValueError, r"x\[0\] = 0 and x\[1\] = 4.9")),
    (tt.select_lambda, (X_RECORDS, np.ones((2, 61))), {},
     (ValueError, r"^x\[30\] = 30 and x\[31\] = 30.000000000000004 lie within 0.0001 times x's mean spacing")),
    (tt.evaluate_lambda, (X_RECORDS, np.ones((2, 61)), 1.0), {}, (ValueError, "lie within")),
    (tt.envelope, (X_RECORDS, np.ones((2, 61))), dict(lam=1.0), (ValueError, "lie within")),
    (tt.envelope, (X_RECORDS, np.ones((2, 61))), {}, (ValueError, "lie within")),
    (tt.select_lambda, (np.array([0.0, 1.0, 1.00005, 3.0]), Y8[:, :4]), dict(d=1), (ValueError, r"x\[1\] = 1 and x\[2\]")),
    (tt.evaluate_lambda, (X_TINY_STEPS, Y8, 1.0), dict(normalize="median"), ValueError),
    (tt.select_lambda, (X8[::-1], Y8), {}, ValueError),
    # an infinite position turned every value into about 1e-25
    (tt.select_lambda, (np.r_[X8[:7], np.inf], Y8), {}, (ValueError, r"^x must be finite: x\[7\] is inf$")),
    (tt.select_lambda, (np.r_[-np.inf, X8[1:]], Y8), dict(lam_grid=[1.0, 2.0, 3.0], normalize=None),
     (ValueError, r"x\[0\] is -inf")),
    (tt.evaluate_lambda, (np.r_[X8[:7], np.inf], Y8, 1.0), {}, (ValueError, "x must be finite")),
    (tt.envelope, (np.r_[X8[:7], np.inf], Y8), dict(lam=1.0), (ValueError, "x must be finite")),
    (tt.select_lambda, (X8[:7], Y8), {}, ValueError),
    (tt.select_lambda, (X8, Y8[0]), {}, ValueError),
    (tt.select_lambda, (X8, Y8.astype(int)), {}, TypeError),
    (tt.select_lambda, (X8, Y8, -Y8), {}, ValueError),
    (tt.select_lambda, (X8, Y8, Y8[:1]), {}, ValueError),
    (tt.select_lambda, (X8, Y8), dict(ridge=-1e-3), ValueError),
    (tt.select_lambda, (X8, Y8), dict(eps=np.nan), ValueError),
    (tt.select_lambda, (X8, Y8), dict(gamma=0.0), ValueError),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(gamma=np.inf), ValueError),
    (tt.evaluate_lambda, (X8, Y8, -1.0), {}, ValueError),
    (tt.evaluate_lambda, (X8, Y8, np.inf), {}, ValueError),
    (tt.evaluate_lambda, (X8, Y8, [1.0, np.nan]), {}, (ValueError, "lam must be finite")),
    (tt.evaluate_lambda, (X8, Y8, [1.0, 2.0, 3.0]), {}, ValueError),
    (tt.evaluate_lambda, (X8, Y8, np.ones((2, 2))), {}, ValueError),
    (tt.envelope, (X8, Y8), dict(p=1.0), (ValueError, "p must lie")),
    (tt.envelope, (X8, Y8), dict(p=0.0), ValueError),
    (tt.envelope, (X8, Y8), dict(p=np.nan), ValueError),
    (tt.envelope, (X8, Y8), dict(p="0.9"), TypeError),
    (tt.envelope, (X8, Y8), dict(iterations=-1), (ValueError, "iterations")),
    (tt.envelope, (X8, Y8), dict(iterations=2.5), TypeError),
    (tt.envelope, (X8, Y8), dict(tol=-0.1), (ValueError, "tol")),
    (tt.envelope, (X8, Y8), dict(tol=np.inf), ValueError),
    (tt.envelope, (X8, Y8), dict(lam="aic"), (ValueError, "lam must be")),
    (tt.envelope, (X8, Y8), dict(lam=[1.0, 2.0, 3.0]), (ValueError, "shape")),
    (tt.envelope, (X8, Y8), dict(lam=[1.0, np.nan]), (ValueError, "finite")),
    (tt.envelope, (X8, Y8), dict(lam=-1.0), ValueError),
    (tt.envelope, (X8, Y8, -Y8), dict(lam=1.0), ValueError),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(x_out=[1.0, 3.0, 2.0]), (ValueError, "strictly increasing")),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(x_out=[1.0, 1.0]), (ValueError, "strictly increasing")),
    (tt.select_lambda, (X8, Y8), dict(x_out=[1.0, np.nan]), (ValueError, "finite")),
    (tt.select_lambda, (X8, Y8), dict(x_out=[0.5, np.inf]), (ValueError, "finite")),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(x_out=np.ones((2, 2))), (ValueError, "1-D")),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(x_out=2.0), (ValueError, "1-D")),
    (tt.select_lambda, (X8, Y8), dict(x_out=[]), (ValueError, "non-empty")),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(derivative=3), ValueError),
    (tt.select_lambda, (X8, Y8), dict(derivative=True), ValueError),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(x_out=[1.0, 2.0], derivative=2), (ValueError, "at least 3")),
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(derivative=1, return_se=True), (ValueError, "derivative=0")),
    (tt.envelope, (X8, Y8), dict(derivative=3), (ValueError, "derivative must be")),
    (tt.envelope, (X8, Y8), dict(lam=1.0, x_out=[1.0, 2.0], derivative=2), (ValueError, "at least 3")),
    (tt.envelope, (X8, Y8), dict(x_out=[2.0, 1.0]), (ValueError, "strictly increasing")),
    # Dates on a grid of numbers would silently become day counts since 1970.
    (tt.evaluate_lambda, (X8, Y8, 1.0), dict(x_out=np.array(["2021-01-02"], "datetime64[D]")), (TypeError, "numbers")),
    (tt.envelope, (X8, Y8), dict(lam=1.0, x_out=np.array([1, 2], "timedelta64[D]")), (TypeError, "numbers")),
    (tt.select_lambda, (X8.astype("datetime64[D]"), Y8), dict(x_out=X8.astype("datetime64[s]")), (TypeError, "numbers")),
    (tt.select_lambda, (X8, Y8), dict(x_out=[1.0 + 1.0j, 2.0]), (TypeError, "numbers")),
]


@pytest.mark.parametrize("function,args,kwargs,exception", BAD_INPUT_CASES)
def test_bad_input_raises(function, args, kwargs, exception):
    exception, pattern = exception if isinstance(exception, tuple) else (exception, None)
    with pytest.raises(exception, match=pattern) as raised:
        function(*args, **kwargs)
    assert type(raised.value) is exception


# (function, changed keyword arguments, exception, message pattern): a direct
# call of the native half must not reach the core with a wrong buffer or
# value, and words its argument errors as the module's functions do.
NATIVE_CASES = [
    ("evaluate", dict(y_st=Y8.astype(np.float32)), TypeError, "y_st has the wrong element type"),
    ("evaluate", dict(y_st=misaligned(Y8)), ValueError, "y_st is not aligned to its element size"),
    ("evaluate", dict(lam=None), TypeError, "missing 1 required positional argument: 'lam'"),
    ("evaluate", dict(lam=np.ones(3)), ValueError, "lam must hold one value or one per series"),
    ("evaluate", dict(lam=np.array([0.0, np.inf])), ValueError, "lam must be finite"),
    ("evaluate", dict(sigma2=np.ones(3)), ValueError, "sigma2 has the wrong shape"),
    ("evaluate", dict(x_out=np.array([0.0, np.nan])), ValueError, "x_out"),
    ("evaluate", dict(x_out=np.array([1.0, 2.0]), derivative=2), ValueError, "needs at least 3 output positions"),
    ("evaluate", dict(ridge=-1.0), ValueError, "ridge must be finite and >= 0"),
    ("evaluate", dict(return_hat=1), TypeError, "argument 'return_hat': 'int' object cannot be cast as 'bool'"),
    ("evaluate", dict(hat=True), TypeError, "evaluate\\(\\) got an unexpected keyword argument 'hat'"),
    ("select", dict(criterion="aic"), ValueError, "criterion must be one of"),
    ("select", dict(lam_grid=np.array([1.0, 2.0])), ValueError, "lam_grid must hold"),
    ("select", dict(lam_grid=np.ones((3, 1))), ValueError, "lam_grid has the wrong shape"),
    ("select", dict(d=-1), OverflowError, None),
    ("select", dict(d=8), ValueError, "d must be"),
    ("select", dict(normalize=5), TypeError, "argument 'normalize': 'int' object cannot be cast as 'str'"),
    ("envelope", dict(p=1.0), ValueError, "p must lie strictly between 0 and 1"),
    ("envelope", dict(lam="aic"), ValueError, "criterion must be one of"),
    ("envelope", dict(lam=np.array([1.0, -1.0])), ValueError, "lam must be finite"),
    ("envelope", dict(w_base_st=np.ones((2, 7))), ValueError, "w_base_st has the wrong shape"),
]


@pytest.mark.parametrize("function,change,exception,pattern", NATIVE_CASES)
def test_native_functions_check_their_arguments(function, change, exception, pattern):
    from tarnwold_tools import _select

    arguments = dict(x=X8, y_st=Y8, lam=np.ones(1)) if function == "evaluate" else dict(x=X8, y_st=Y8)
    arguments.update(change)
    arguments = {name: value for name, value in arguments.items() if value is not None}
    with pytest.raises(exception, match=pattern):
        getattr(_select, function)(**arguments)


# (public function, keyword arguments): each makes one call into the native
# modules, with series in both ridge groups, an output grid and a derivative.
ONE_CALL_CASES = [
    (tt.select_lambda, dict(x_out=np.linspace(-2.0, 30.0, 41), derivative=1)),
    (tt.evaluate_lambda, dict(lam=np.array([1.0, 2.0]), x_out=np.linspace(-2.0, 30.0, 41), return_se=True)),
    (tt.envelope, dict(x_out=np.linspace(-2.0, 30.0, 41))),
    (tt.envelope, dict(lam=3.0, x_out=np.linspace(-2.0, 30.0, 41), derivative=2)),
    (tt.robust, dict(x_out=np.linspace(-2.0, 30.0, 41), return_se=True)),
    (tt.robust, dict(lam=3.0, x_out=np.linspace(-2.0, 30.0, 41), derivative=1)),
    (tt.robust, dict(lam=np.array([1.0, 20.0]), return_se=True)),
    (tt.robust, dict(lam=np.array([5.0, 5.0]), x_out=np.linspace(-2.0, 30.0, 41), return_se=True)),
]


@pytest.mark.parametrize("function,kwargs", ONE_CALL_CASES)
def test_one_native_call_per_function(function, kwargs, monkeypatch):
    calls = []
    for module in (_select, tarnwold):
        for name, native in vars(module).items():
            if isinstance(native, types.BuiltinFunctionType):
                counted = lambda *a, native=native, **k: calls.append(native) or native(*a, **k)  # noqa: E731
                monkeypatch.setattr(module, name, counted)
    x = np.arange(25.0)
    y = np.sin(x / 4) + np.array([[0.0], [0.5]])
    y[1, 0] = np.nan  # an end of x missing: this series keeps a ridge
    function(x, y, **kwargs)
    assert len(calls) == 1, calls


def test_the_interpreter_lock_is_released_while_computing():
    # While one thread selects (about a second of native work on one core),
    # another keeps running Python: with the lock held, it would stall for
    # the whole call.
    import threading
    import time

    x, y, _ = make_series(365, 2, 0.05, 61, series=600)
    started, finished = threading.Event(), threading.Event()

    def select():
        started.set()
        tt.select_lambda(x, y, criterion="gcv", parallel=False)
        finished.set()

    worker = threading.Thread(target=select)
    worker.start()
    started.wait()
    longest, last, beats = 0.0, time.perf_counter(), 0
    while not finished.is_set():
        now = time.perf_counter()
        longest, last, beats = max(longest, now - last), now, beats + 1
    worker.join()
    assert beats > 1000 and longest < 0.2, (beats, longest)
