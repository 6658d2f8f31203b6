"""tarnwold_tools.robust: robust weights and lam chosen together, against a
dense reference of the same loop, the module's robust smoother for a given
lam, and the exactness rules of the selection."""

import math

import numpy as np
import pytest

import reference_lambda as ref
import tarnwold
import tarnwold_tools as tt


def contaminated(T, d, missing, seed, irregular=False, weights=False, series=3):
    """Noisy sines with about 8 % of points pulled away by 1 to 3."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.3, 1.7, T)) if irregular else np.arange(T, dtype=np.float64)
    y = np.sin(2 * np.pi * (x - x[0]) / (x[-1] - x[0]) * 1.5) + 0.1 * rng.normal(size=(series, T))
    pulled = rng.uniform(size=y.shape) < 0.08
    y[pulled] += rng.choice([-1, 1], int(pulled.sum())) * rng.uniform(1, 3, int(pulled.sum()))
    y[rng.uniform(size=y.shape) < missing] = np.nan
    w = rng.uniform(0.5, 2.0, size=y.shape) if weights else None
    return x, y, w


# (criterion, T, d, missing, seed, irregular, weights, normalize, weighting, scale, iterations, tol)
REFERENCE_CASES = [
    ("reml", 40, 2, 0.0, 1, False, False, "mean", "tukey", "mad", 4, 0.0),
    ("gcv", 45, 2, 0.1, 2, True, True, "mean", "tukey", "mad", 4, 0.0),
    ("loocv", 40, 1, 0.1, 3, True, False, None, "huber", "mad", 3, 0.0),
    ("vcurve", 36, 3, 0.0, 4, False, True, "median", "cauchy", "huber", 3, 0.0),
    ("reml", 40, 2, 0.2, 5, True, False, "mean", "welsch", "huber", 4, 0.0),
    ("reml", 33, 2, 0.0, 6, False, True, "mean", "fair", "mad", 3, 0.0),
    ("gcv", 40, 2, 0.1, 7, True, False, "mean", "hampel", "mad", 3, 0.0),
    ("reml", 40, 2, 0.0, 8, False, False, "mean", "bisquare", "mad", 12, 0.02),
    ("reml", 40, 2, 0.1, 9, True, True, "mean", "tukey", "mad", 1, 0.0),
    ("reml", 50, 2, 0.1, 10, True, False, "mean", "tukey", "mad", 2, 0.0),
    ("loocv", 44, 2, 0.0, 11, False, True, "mean", "tukey", "huber", 5, 0.0),
]


@pytest.mark.parametrize("criterion,T,d,missing,seed,irregular,weights,normalize,weighting,scale,iterations,tol",
                         REFERENCE_CASES)  # fmt: skip
def test_robust_matches_dense_reference(criterion, T, d, missing, seed, irregular, weights, normalize, weighting,
                                        scale, iterations, tol):  # fmt: skip
    x, y, w_base = contaminated(T, d, missing, seed, irregular, weights, series=2)
    got = tt.robust(x, y, w_base, lam=criterion, d=d, normalize=normalize, weighting=weighting, scale=scale,
                    iterations=iterations, tol=tol, return_se=True)  # fmt: skip
    D = ref.difference_matrix(x, d, normalize)
    for s in range(y.shape[0]):
        z, weights_ref, lam, status, passes = ref.robust(x, y[s], None if w_base is None else w_base[s], criterion,
                                                         d, normalize, iterations, weighting, scale, tol=tol)  # fmt: skip
        assert (got.status[s], got.iterations[s]) == (status, passes)
        assert abs(math.log10(got.lam[s] / lam)) <= 1e-2
        np.testing.assert_allclose(got.weights[s], weights_ref, atol=1e-2)
        np.testing.assert_allclose(got.z[s], z, atol=1e-2)
        # lam is the criterion's choice on the returned weights, and z, edf and
        # se those of the fit at lam with them.
        w, ys = ref.working_inputs(y[s], got.weights[s])
        grid = ref.default_grid(x, d, normalize, criterion) * w[w > 0].mean()
        best, _ = ref.robust_choice(D, w, ys, grid, criterion, 0.0, 201)
        value, value_ref = (ref.criterion(D, w, ys, lam, criterion, 0.0) for lam in (got.lam[s], best))
        assert abs(math.log10(got.lam[s] / best)) <= 5e-3 or value <= value_ref + 1e-6 * abs(value_ref)
        e = ref.evaluate(D, w, ys, got.lam[s], ridge=0.0)
        np.testing.assert_allclose(got.z[s], e["z"], rtol=1e-9, atol=1e-12)
        assert got.edf[s] == pytest.approx(e["edf"], rel=1e-9)
        np.testing.assert_allclose(got.se[s], np.sqrt(got.sigma2[s] * np.diag(e["Sigma"])), rtol=1e-8)
        sigma2 = e["Q"] / (e["m"] - d) if criterion == "reml" else e["rss"] / (e["m"] - e["edf"])
        assert got.sigma2[s] == pytest.approx(sigma2, rel=1e-9)


# (lam, weighting, scale, tuning, iterations, ridge, dtype): a number is the
# module's robust smoother at it, an array each series' at its own lam;
# float32 input is widened.
GIVEN_LAM_CASES = [
    (30.0, "tukey", "mad", None, 4, 0.0, np.float64),
    (5.0, "huber", "huber", None, 3, 0.0, np.float64),
    (200.0, "cauchy", "mad", (0.0, 0.0, 3.0), 2, 0.0, np.float64),
    (1.0, "welsch", "huber", None, 5, 0.0, np.float64),
    (12.0, "fair", "mad", None, 4, 0.0, np.float64),
    (50.0, "hampel", "mad", (1.0, 2.0, 6.0), 4, 0.0, np.float64),
    ([3.0, 300.0, 3.0, 0.5], "tukey", "mad", None, 4, 0.0, np.float64),
    ([3.0, 300.0, 3.0, 0.5], "bisquare", "huber", None, 3, 1e-3, np.float64),
    (8.0, "tukey", "mad", None, 4, 0.02, np.float64),
    (8.0, "tukey", "mad", None, 4, 0.0, np.float32),
    ([0.5, 40.0, 40.0, 2.0], "welsch", "mad", None, 2, 1e-4, np.float32),
]


@pytest.mark.parametrize("lam,weighting,scale,tuning,iterations,ridge,dtype", GIVEN_LAM_CASES)
def test_a_given_lam_is_the_robust_smoother(lam, weighting, scale, tuning, iterations, ridge, dtype):
    x, y, w = contaminated(50, 2, 0.1, 21, irregular=True, weights=True, series=4)
    x, y, w = (v.astype(dtype).astype(np.float64) for v in (x, y, w))
    got = tt.robust(*(v.astype(dtype) for v in (x, y, w)), lam=lam, weighting=weighting, scale=scale, tuning=tuning,
                    iterations=iterations, ridge=ridge, return_se=True)  # fmt: skip
    assert got.status is None and np.all(got.iterations == iterations)
    assert got.z.dtype == got.weights.dtype == got.se.dtype == dtype
    lams = np.broadcast_to(lam, 4)
    for s in range(4):
        z, weights = tarnwold.robust_whittaker_irls_f64(
            x, y[s : s + 1], w[s : s + 1], lam=lams[s], iterations=iterations, weighting=weighting, scale=scale,
            tuning=tuning, ridge=ridge, return_weights=True, merge_x_tol=None,
        )  # fmt: skip
        np.testing.assert_array_equal(got.z[s], z[0].astype(dtype))
        np.testing.assert_array_equal(got.weights[s], weights[0].astype(dtype))
        assert got.lam[s] == lams[s]
        e = tt.evaluate_lambda(x, y[s : s + 1], lams[s], weights, ridge=ridge, return_se=True)
        assert got.edf[s] == e.edf[0]
        # Q of the robust fit: only the ridge's share sums its own squares.
        sigma2 = (e.rss[0] + lams[s] * e.roughness[0] + ridge * np.sum(z[0] ** 2)) / (np.sum(weights > 0) - 2)
        assert got.sigma2[s] == (pytest.approx(sigma2, rel=1e-13) if ridge else sigma2)
        np.testing.assert_allclose(got.se[s], e.se[0], rtol=1e-12 if dtype == np.float64 else 1e-6)


@pytest.mark.parametrize("criterion", ref.CRITERIA)
@pytest.mark.parametrize("iterations,tol", [(1, 0.0), (4, 1.0)])
def test_one_pass_is_select_lambda(criterion, iterations, tol):
    x, y, w = contaminated(60, 2, 0.2, 31, irregular=True, weights=True, series=5)
    got = tt.robust(x, y, w, lam=criterion, iterations=iterations, tol=tol)
    plain = tt.select_lambda(x, y, w, criterion=criterion, ridge=0.0)
    assert np.all(got.iterations == 1)
    for field in ("lam", "edf", "sigma2", "status", "z"):
        np.testing.assert_array_equal(getattr(got, field), getattr(plain, field))
    np.testing.assert_array_equal(got.weights, np.where(np.isfinite(y), w, 0.0))


def test_results_do_not_depend_on_the_pool_the_batch_or_the_chunk():
    # More series than one chunk, in blocks of lanes with remainders.
    x, y, w = contaminated(40, 2, 0.2, 41, irregular=True, weights=True, series=301)
    y[17] = np.nan
    for criterion in ref.CRITERIA:
        pooled = tt.robust(x, y, w, lam=criterion, return_se=True)
        alone = tt.robust(x, y, w, lam=criterion, return_se=True, parallel=False)
        part = tt.robust(x, y[250:263], w[250:263], lam=criterion, return_se=True)
        one = tt.robust(x, y[[260]], w[[260]], lam=criterion, return_se=True)
        for field in ("z", "weights", "lam", "edf", "status", "iterations", "sigma2", "se"):
            np.testing.assert_array_equal(getattr(pooled, field), getattr(alone, field))
            np.testing.assert_array_equal(getattr(pooled, field)[250:263], getattr(part, field))
            np.testing.assert_array_equal(getattr(pooled, field)[260], getattr(one, field)[0])
        assert pooled.status[17] == ref.STATUS["empty"] and pooled.iterations[17] == 0
        assert np.all(np.isnan(pooled.z[17])) and np.all(pooled.weights[17] == 0)


# (row, status, passes): a series that cannot be selected gets
# select_lambda's result; one whose reweighting would leave d + 1 points
# keeps its first choice and base weights.
DEGENERATE_CASES = [
    (np.full(30, np.nan), ref.STATUS["empty"], 0, None),
    (np.where(np.isin(np.arange(30), [2, 9, 20]), 1.0, np.nan), ref.STATUS["too_few"], 1, None),
    (np.sin(np.arange(30.0) / 4), ref.STATUS["ok"], 1, (0.0, 0.0, 1e-300)),
]


@pytest.mark.parametrize("criterion", ref.CRITERIA)
@pytest.mark.parametrize("row,status,passes,tuning", DEGENERATE_CASES)
def test_degenerate_series(criterion, row, status, passes, tuning):
    x = np.arange(30.0)
    noisy = np.sin(x / 4) + np.random.default_rng(0).normal(size=30) * 0.1
    y = np.stack([noisy, row + (0 if tuning is None else noisy - row)])
    got = tt.robust(x, y, lam=criterion, tuning=tuning)
    plain = tt.select_lambda(x, y, criterion=criterion, ridge=0.0)
    assert got.iterations[1] == passes
    assert got.status[1] == plain.status[1] == (status if tuning is None else plain.status[1])
    np.testing.assert_array_equal(got.lam[1], plain.lam[1])
    np.testing.assert_array_equal(got.z[1], plain.z[1])
    np.testing.assert_array_equal(got.weights[1], np.isfinite(y[1]).astype(float))


@pytest.mark.parametrize("lam", ["reml", "vcurve", 20.0, (3.0, 30.0, 3.0, 300.0)])
@pytest.mark.parametrize("derivative", [0, 1, 2])
def test_output_grid_is_the_fit_at_the_final_lam_and_weights(lam, derivative):
    x, y, w = contaminated(50, 2, 0.1, 51, irregular=True, weights=True, series=4)
    x_out = np.linspace(x[0] - 2, x[-1] + 2, 90)
    got = tt.robust(x, y, w, lam=lam, x_out=x_out, derivative=derivative, return_se=derivative == 0)
    on_x = tt.robust(x, y, w, lam=lam)
    for field in ("weights", "lam", "edf", "status", "iterations", "sigma2"):
        np.testing.assert_array_equal(getattr(got, field), getattr(on_x, field))
    at = tt.evaluate_lambda(x, y, on_x.lam, on_x.weights, ridge=0.0, x_out=x_out, derivative=derivative)
    np.testing.assert_array_equal(got.z, at.z)
    assert got.z.shape == (4, 90)
    if derivative == 0:
        assert got.se.shape == (4, 90) and np.all(got.se > 0)


def test_float32_input_is_chosen_in_float64():
    x, y, w = contaminated(50, 2, 0.2, 61, weights=True)
    narrow = tt.robust(x.astype(np.float32), y.astype(np.float32), w.astype(np.float32), return_se=True)
    wide = tt.robust(*(v.astype(np.float32).astype(np.float64) for v in (x, y, w)), return_se=True)
    assert narrow.z.dtype == narrow.weights.dtype == narrow.se.dtype == np.float32
    assert narrow.lam.dtype == np.float64
    np.testing.assert_array_equal(narrow.lam, wide.lam)
    np.testing.assert_array_equal(narrow.z, wide.z.astype(np.float32))
    np.testing.assert_array_equal(narrow.weights, wide.weights.astype(np.float32))


X8 = np.arange(8.0)
Y8 = np.ones((2, 8))

# (kwargs, exception, message pattern)
BAD_INPUT_CASES = [
    (dict(lam="aic"), ValueError, "lam must be one of"),
    (dict(lam=[1.0, 2.0, 3.0]), ValueError, "shape"),
    (dict(lam=np.nan), ValueError, "finite"),
    (dict(lam=-1.0), ValueError, "finite"),
    (dict(lam=np.ones((2, 1))), ValueError, "shape"),
    (dict(lam=[1.0, -2.0]), ValueError, "finite"),
    (dict(lam=[np.nan, 1.0]), ValueError, "finite"),
    (dict(lam=np.inf), ValueError, "finite"),
    (dict(weighting="bisquared"), ValueError, "weighting"),
    (dict(weighting="bisquared", lam=1.0), ValueError, "weighting"),
    (dict(weighting=1), TypeError, "weighting"),
    (dict(scale="std"), ValueError, "scale"),
    (dict(tuning=(1.0, 2.0)), ValueError, "tuning"),
    (dict(iterations=0), ValueError, "iterations"),
    (dict(iterations=2.5), TypeError, "iterations"),
    (dict(tol=-0.1), ValueError, "tol"),
    (dict(tol=np.inf), ValueError, "tol"),
    (dict(d=0), ValueError, "d must be"),
    (dict(ridge=-1.0), ValueError, "ridge"),
    (dict(derivative=1, return_se=True), ValueError, "derivative=0"),
    (dict(x_out=[2.0, 1.0]), ValueError, "strictly increasing"),
]


@pytest.mark.parametrize("kwargs,exception,pattern", BAD_INPUT_CASES)
def test_bad_input_raises(kwargs, exception, pattern):
    with pytest.raises(exception, match=pattern) as raised:
        tt.robust(X8, Y8, **kwargs)
    assert type(raised.value) is exception


def _native_call(**change):
    """The keyword arguments of a direct call of the native entry, with changes."""
    arguments = dict(
        x=X8, y_st=Y8, w_base_st=None, lam="reml", d=2, weighting="tukey", scale="mad", tuning=None, iterations=4,
        tol=0.0, normalize="mean", ridge=0.0, eps=1e-10, parallel=True,
    )  # fmt: skip
    arguments.update(change)
    return arguments


# (changed arguments, exception, message pattern): a direct call must not
# reach the core with a wrong buffer or value, and words its argument errors
# as the module's functions do.
NATIVE_CASES = [
    (dict(y_st=Y8.astype(np.float32)), TypeError, "y_st has the wrong element type"),
    (dict(w_base_st=np.ones((3, 8))), ValueError, "w_base_st has the wrong shape"),
    (dict(x_out=np.array([2.0, 1.0])), ValueError, "x_out must be strictly increasing"),
    (dict(iterations=0), ValueError, "iterations must be >= 1"),
    (dict(iterations=-1), OverflowError, None),
    (dict(tol=-1.0), ValueError, "tol"),
    (dict(ridge=-1.0), ValueError, "ridge must be finite and >= 0"),
    (dict(weighting="nonsense"), ValueError, "unknown weighting"),
    (dict(tuning=(1.0,)), ValueError, "expected tuple of length 3"),
    (dict(tuning=[0.0, 0.0, 4.0]), TypeError, "argument 'tuning': 'list' object cannot be cast as 'tuple'"),
    (dict(parallel=1), TypeError, "argument 'parallel': 'int' object cannot be cast as 'bool'"),
    (dict(lam="aic"), ValueError, "criterion must be one of"),
    (dict(lam=1.0), TypeError, "a bytes-like object is required, not 'float'"),
    (dict(lam=np.ones(3)), ValueError, "lam must hold one value or one per series"),
    (dict(lam=np.ones((2, 1))), ValueError, "lam has the wrong shape"),
    (dict(lam=np.ones(2, np.float32)), TypeError, "lam has the wrong element type"),
    (dict(lam=np.array([1.0, np.nan])), ValueError, "lam must be finite and >= 0"),
    (dict(lam=np.array([-1.0])), ValueError, "lam must be finite and >= 0"),
    (dict(lam_grid=np.array([1.0, 2.0])), TypeError, "robust\\(\\) got an unexpected keyword argument 'lam_grid'"),
    (dict(derivative=1, return_se=True), ValueError, "return_se gives the fit's standard errors"),
    (dict(derivative=3), ValueError, "derivative must be 0, 1 or 2"),
    (dict(d=8), ValueError, "d must be"),
]


@pytest.mark.parametrize("change,exception,pattern", NATIVE_CASES)
def test_native_entry_checks_its_arguments(change, exception, pattern):
    from tarnwold_tools import _select

    with pytest.raises(exception, match=pattern):
        _select.robust(**_native_call(**change))
    _select.robust(**_native_call())
