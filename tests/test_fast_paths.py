"""Every fast path of the smoothers gives the bits of the scalar reference.

The kernel is chosen once per process from TARNWOLD_KERNEL, so each kernel
computes the same seeded cases in a subprocess of its own and the results are
compared bit for bit (signed zeros included, NaN at the same places, the same
exceptions) with those of the scalar kernel. Kernels the processor lacks fall
back to the widest it has, so the comparison holds on every machine.

The cases aim at the lane kernels' verification and fall-backs: zero,
negative, -0 and NaN weights, NaN tails, -0 observations, lam <= 0, eps <= 0
and eps > 1, every d from 0 to 4, block remainders (S = 1, 7, 9, 17, 33),
the float re-solve and the robust float fall-back inside a block, rows of
identical weights mixed with distinct ones, every memory layout, and for the robust passes every length around the
reweighting's sorting network; the choice of lam, the evaluation of given lams,
the robust choice of lam and the robust smoother at given lams, whose series
run in lanes.
"""

import dataclasses
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tarnwold
import tarnwold_tools
from reference_lambda import CRITERIA
from reference_robust import WEIGHTINGS

TESTS = Path(__file__).resolve().parent
KERNELS = ["sse2", "avx2", "avx512", "auto"]
# A ridge of -(1 - 2**-22) leaves A = 2**-22 I + lam P: a series without
# curvature then has a fit about 4e6 times its data, beyond the float
# plausibility bound, while curved series stay acceptable.
TRAP_RIDGE = -(1 - 2**-22)


def _noisy(rng, dtype, S, T):
    y = np.sin(np.arange(S * T).reshape(S, T) / 3.0) * 2.0 + rng.normal(size=(S, T))
    y[rng.random((S, T)) < 0.1] = np.nan
    y[rng.random((S, T)) < 0.02] = np.inf
    y[rng.random((S, T)) < 0.03] = -0.0
    for s in range(0, S, 3):
        y[s, T - 1 - s % 5 :] = np.nan  # NaN tails
    if S > 4:
        y[4, :3] = np.nan  # a leading gap
    return y.astype(dtype)


def _weights(rng, dtype, S, T, nan_weights=True):
    w = rng.uniform(0.2, 2.0, (S, T))
    w[rng.random((S, T)) < 0.1] = 0.0
    w[rng.random((S, T)) < 0.05] = -0.5
    w[rng.random((S, T)) < 0.05] = -0.0
    if S > 2:
        w[2] = 1.0  # identical rows ...
    if S > 6:
        w[6] = 1.0  # ... among distinct ones
    if S > 5 and nan_weights:
        w[5, T // 2] = np.nan
    return w.astype(dtype)


def _layouts(a, index):
    """C order, Fortran order or a reversed strided view, by index."""
    kind = index % 3
    if kind == 1:
        return np.asfortranarray(a)
    if kind == 2:
        padded = np.zeros((a.shape[0], 2 * a.shape[1]), a.dtype)
        padded[:, ::-2] = a
        return padded[:, ::-2]
    return a


def _call(function, *args, **kwargs):
    """A thunk of one call, its arguments bound now; returns a tuple."""
    def thunk():
        result = function(*args, **kwargs)
        return result if isinstance(result, tuple) else (result,)
    return thunk


def _fields(function, *args, **kwargs):
    """A thunk of one call returning a dataclass; returns its array fields."""
    def thunk():
        result = function(*args, **kwargs)
        return tuple(np.asarray(getattr(result, field.name)) for field in dataclasses.fields(result)
                     if getattr(result, field.name) is not None)
    return thunk


def _calls(*thunks):
    return lambda: tuple(array for thunk in thunks for array in thunk())


def cases():
    """(name, thunk) pairs; each thunk returns a tuple of arrays."""
    out = []
    for dtype in (np.float32, np.float64):
        tag = np.dtype(dtype).name
        solve = tarnwold.whittaker_solve_f32 if dtype == np.float32 else tarnwold.whittaker_solve_f64
        robust = tarnwold.robust_whittaker_irls_f32 if dtype == np.float32 else tarnwold.robust_whittaker_irls_f64
        index = 0
        for d in range(5):
            for S in (1, 7, 9, 17, 33):
                for T in (d + 1, 30):
                    rng = np.random.default_rng([d, S, T, dtype == np.float32])
                    x = np.cumsum(rng.uniform(0.1, 2.0, T)).astype(dtype)
                    y = _layouts(_noisy(rng, dtype, S, T), index)
                    w = _layouts(_weights(rng, dtype, S, T), index + 1)
                    lam = [0.0, 1.0, 50.0, 1e4, -0.5][index % 5]
                    par = index % 2 == 0
                    name = f"solve-{tag}-d{d}-S{S}-T{T}"
                    out.append((name + "-weights", _call(solve, x, y, w, lam=lam, d=d, parallel=par)))
                    out.append((name + "-plain", _call(solve, x, y, lam=20.0, d=d, parallel=not par)))
                    index += 1

        rng = np.random.default_rng(7)
        x = np.cumsum(rng.uniform(0.1, 2.0, 40)).astype(dtype)
        y = _noisy(rng, dtype, 17, 40)
        w = _weights(rng, dtype, 17, 40)
        for lam in (0.0, -1.0, 1e12, np.nan, np.inf, 3.0):
            for eps in (1e-10, 0.0, -1.0, 2.0, np.nan):
                for ridge in (1e-10, 0.0):
                    out.append((f"solve-{tag}-lam{lam}-eps{eps}-ridge{ridge}", _calls(
                        _call(solve, x, y, w, lam=lam, eps=eps, ridge=ridge, d=2),
                        _call(solve, x, y, np.abs(w), lam=lam, eps=eps, ridge=ridge, d=1, parallel=False))))
        empty = y.copy()
        empty[3] = np.nan
        zero_w = w.copy()
        zero_w[5] = 0.0
        zero_w[8] = -0.0
        out.append((f"solve-{tag}-empty-rows", _calls(_call(solve, x, empty, zero_w, d=3), _call(solve, x, empty, d=0))))
        # Without gaps or weights every row has the same weights.
        full = (np.sin(np.arange(67 * 40).reshape(67, 40) / 5.0) + rng.normal(size=(67, 40))).astype(dtype)
        out.append((f"solve-{tag}-shared-rows",
                    _calls(*(_call(solve, x, full, lam=lam, d=d) for d in range(5) for lam in (0.0, 5.0)))))
        # The float re-solve inside a block: straight series fail the float
        # acceptance test, curved ones pass.
        trap_x = np.array([0, 0.7, 1.9, 2.4, 3.8, 4.1, 5.6, 6.0], dtype=dtype)
        trap_y = np.tile(np.array([1, 2, 3, 2, 1, 0, -1, 0], dtype=dtype) * dtype(0.1), (17, 1))
        trap_y[::3] = np.arange(8, dtype=dtype) * dtype(0.1)
        out.append((f"solve-{tag}-resolve", _call(solve, trap_x, trap_y, lam=1.0, ridge=TRAP_RIDGE)))

        for d in range(4):
            for S in (1, 9, 17):
                rng = np.random.default_rng([d, S, 99])
                T = 30
                x = np.cumsum(rng.uniform(0.1, 2.0, T)).astype(dtype)
                x[5] = x[4] + dtype(0.005)  # merged with the default tolerance
                y = _layouts(_noisy(rng, dtype, S, T), d + S)
                w = _weights(rng, dtype, S, T, nan_weights=dtype == np.float64)
                for weighting, scale, iterations in (("tukey", "mad", 3), ("huber", "huber", 2),
                                                     ("hampel", "mad", 4), ("cauchy", "MAD", 0), ("welsch", "huber", 1)):
                    for tol in (None, 0.01):
                        name = f"robust-{tag}-d{d}-S{S}-{weighting}-{scale}-{iterations}-{tol}"
                        options = dict(d=d, weighting=weighting, scale=scale, iterations=iterations, merge_x_tol=tol)
                        out.append((name, _call(robust, x, y, w, lam=30.0, return_weights=True, parallel=S % 2 == 1, **options)))
                        out.append((name + "-plain", _call(robust, x, y, parallel=False, **options)))

        # Lengths around the sizes of the reweighting's sorting network (up to
        # 512 positions, radix selection above), block remainders (S = 37),
        # ties, a series without observations, infinite residuals from the
        # largest values, every weighting with both scales.
        combos = [(weighting, scale) for scale in ("mad", "huber") for weighting in WEIGHTINGS]
        for index, T in enumerate((1, 2, 3, 8, 16, 17, 33, 46, 63, 64, 65, 70, 512, 513)):
            rng = np.random.default_rng([T, 15])
            x = np.cumsum(rng.uniform(0.1, 2.0, T)).astype(dtype)
            y = np.round(_noisy(rng, dtype, 37, T) * 2) / 2
            y[4] = np.nan
            if dtype == np.float64:  # a float batch would end in its instability error
                y[9, ::7] = np.finfo(dtype).max * np.where(np.arange(0, T, 7) % 2 == 0, 1, -1)
            weighting, scale = combos[index % len(combos)]
            options = dict(d=min(2, T - 1), weighting=weighting, scale=scale, iterations=3)
            out.append((f"robust-{tag}-T{T}-{weighting}-{scale}",
                        _call(robust, x, y, np.abs(_weights(rng, dtype, 37, T, nan_weights=False)),
                              return_weights=True, **options)))

        rng = np.random.default_rng(3)
        nan_x = np.cumsum(rng.uniform(0.1, 2.0, 30)).astype(dtype)
        nan_y = _noisy(rng, dtype, 9, 30)
        nan_y[5, 15] = 1.0
        nan_w = _weights(rng, dtype, 9, 30)  # NaN at (5, 15)
        out.append((f"robust-{tag}-nan-weight", _call(robust, nan_x, nan_y, nan_w, return_weights=True, merge_x_tol=None)))
        # Series of a block left without a single next weight, which keep
        # theirs, beside series that reweigh: constants used as given (a
        # tight or a zero cut-off, negative and NaN constants), no lam,
        # ridge or floor, a negative ridge, fits that overflow.
        odd_w = _weights(rng, dtype, 9, 30, nan_weights=False)
        odd_y = nan_y.copy()
        odd_y[[2, 6]] = np.finfo(dtype).max / 2
        for index, (weighting, tuning, extra) in enumerate((
                ("tukey", (0, 0, 0.05), {}), ("cauchy", (0, 0, 0), {}), ("welsch", (0, 0, np.nan), {}),
                ("huber", (0, 0, -1), {}), ("hampel", (-1, 3, 2), dict(scale="huber")),
                ("tukey", None, dict(lam=0.0, ridge=0.0, eps=0.0)), ("fair", None, dict(ridge=-0.5)))):
            out.append((f"robust-{tag}-odd-{index}", _call(robust, nan_x, nan_y, odd_w, weighting=weighting,
                                                           tuning=tuning, iterations=4, return_weights=True, **extra)))
            out.append((f"robust-{tag}-odd-{index}-overflow", _call(robust, nan_x, odd_y, weighting=weighting,
                                                                    tuning=tuning, iterations=3, **extra)))
        # The robust float fall-back of a whole block: straight series send
        # all 17 to the double-precision rerun.
        out.append((f"robust-{tag}-fallback",
                    _call(robust, trap_x, trap_y, lam=1.0, ridge=TRAP_RIDGE, return_weights=True)))
        # Only series 5 fails, against the bound of its own observations;
        # the others, without mean or trend, stay far below theirs, which
        # would pass its fits.
        flat = trap_y[1] - np.polyval(np.polyfit(trap_x, trap_y[1], 1), trap_x)
        lone = np.tile(flat * dtype(1e4), (17, 1)).astype(dtype)
        lone[5] = trap_y[0]
        out.append((f"robust-{tag}-fallback-one", _call(robust, trap_x, lone, lam=1.0, ridge=TRAP_RIDGE)))
        bumped = trap_y + (np.arange(17)[:, None] % 2 * 0.2).astype(dtype)
        out.append((f"robust-{tag}-fallback-huber", _call(robust, trap_x, bumped, lam=1.0, ridge=TRAP_RIDGE,
                                                          weighting="huber", iterations=2, return_weights=True,
                                                          parallel=False)))

        # The choice of lam in lanes: block remainders, every criterion,
        # series without observations, with too few and with data in the
        # null space of P beside ordinary ones.
        for d, S, T in ((1, 9, 12), (2, 37, 30), (3, 17, 25)):
            rng = np.random.default_rng([d, S, T, 13])
            x = np.cumsum(rng.uniform(0.1, 2.0, T))
            y = _noisy(rng, dtype, S, T)
            y[1] = np.nan
            y[2, d + 1:] = np.nan
            y[3] = 2.0
            w = np.abs(_weights(rng, np.float64, S, T, nan_weights=False))
            for criterion in CRITERIA:
                out.append((f"select-{tag}-d{d}-S{S}-{criterion}", _fields(
                    tarnwold_tools.select_lambda, x, y, w, d=d, criterion=criterion, return_se=True,
                    return_scores=True, parallel=S % 2 == 1)))
                out.append((f"robust-lam-{tag}-d{d}-S{S}-{criterion}", _fields(
                    tarnwold_tools.robust, x, y, w, d=d, lam=criterion, iterations=3, return_se=True,
                    parallel=S % 2 == 0)))
            out.append((f"evaluate-{tag}-d{d}-S{S}", _fields(
                tarnwold_tools.evaluate_lambda, x, y, rng.uniform(0.0, 100.0, S), w, d=d, return_hat=True,
                return_se=True)))
            # Neighbours in a block of lanes solved with different default
            # ridges: every third series misses an end of x.
            ends = y.copy()
            ends[::3, -1] = np.nan
            out.append((f"select-ridges-{tag}-d{d}-S{S}", _fields(
                tarnwold_tools.select_lambda, x, ends, w, d=d, return_se=True, x_out=x[::2] + 0.05)))
            out.append((f"evaluate-ridges-{tag}-d{d}-S{S}", _fields(
                tarnwold_tools.evaluate_lambda, x, ends, rng.uniform(0.0, 100.0, S), w, d=d, return_hat=True,
                return_se=True)))
            out.append((f"envelope-ridges-{tag}-d{d}-S{S}", _fields(
                tarnwold_tools.envelope, x, ends, w, d=d, lam="gcv", parallel=S % 2 == 1)))
            out.append((f"envelope-given-ridges-{tag}-d{d}-S{S}", _fields(
                tarnwold_tools.envelope, x, ends, w, d=d, lam=rng.uniform(0.5, 50.0, S))))
            # Runs of equal lams smoothed together, split across ranges.
            out.append((f"robust-given-{tag}-d{d}-S{S}", _fields(
                tarnwold_tools.robust, x, y, w, d=d, lam=rng.choice([0.5, 5.0, 50.0], S), iterations=3,
                ridge=1e-3, return_se=True, parallel=S % 2 == 0)))
    return out


def write_results(path):
    """Runs every case and stores its arrays, or its exception, in an npz."""
    stored = {}
    for name, thunk in cases():
        try:
            arrays = thunk()
        except ValueError as error:
            stored[name + "#error"] = np.array(str(error))
            continue
        for i, array in enumerate(arrays):
            stored[f"{name}#{i}"] = array
    np.savez(path, **stored)


def run_kernel(tmp_path_factory, kernel, threads=None):
    path = tmp_path_factory.mktemp("kernel") / f"{kernel}.npz"
    env = dict(os.environ, TARNWOLD_KERNEL=kernel)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    code = f"import sys; sys.path.insert(0, {str(TESTS)!r}); import test_fast_paths as m; m.write_results({str(path)!r})"
    subprocess.run([sys.executable, "-c", code], env=env, check=True, timeout=600)
    with np.load(path) as data:
        return {key: data[key] for key in data.files}


@pytest.fixture(scope="module")
def scalar(tmp_path_factory):
    return run_kernel(tmp_path_factory, "scalar")


def assert_same_bits(got, want):
    assert got.keys() == want.keys()
    differing = []
    for key, expected in want.items():
        actual = got[key]
        if expected.dtype.kind != "f":
            same = np.array_equal(actual, expected)
        else:
            bits = np.uint32 if expected.dtype == np.float32 else np.uint64
            nan = np.isnan(expected)
            same = (actual.dtype == expected.dtype and actual.shape == expected.shape
                    and np.array_equal(np.isnan(actual), nan)
                    and np.array_equal(actual.view(bits)[~nan], expected.view(bits)[~nan]))
        if not same:
            differing.append(key)
    assert not differing, f"{len(differing)} results differ from the scalar kernel: {differing[:10]}"


@pytest.mark.parametrize("kernel", KERNELS)
def test_kernel_matches_scalar(tmp_path_factory, scalar, kernel):
    assert_same_bits(run_kernel(tmp_path_factory, kernel), scalar)


@pytest.mark.parametrize("kernel, threads", [("auto", 1), ("sse2", 3), ("nonsense", 2)])
def test_pool_size_and_unknown_kernel_name(tmp_path_factory, scalar, kernel, threads):
    assert_same_bits(run_kernel(tmp_path_factory, kernel, threads), scalar)


def test_cases_reach_every_outcome(scalar):
    # The seeded cases really contain what they are meant to exercise.
    errors = [key for key in scalar if key.endswith("#error")]
    assert any(key.startswith("robust-float32-nan-weight") for key in errors)
    assert "robust-float32-fallback#0" in scalar and "robust-float64-nan-weight#0" in scalar
    assert np.isnan(scalar["robust-float64-nan-weight#0"][5]).all()
    assert np.isfinite(scalar["solve-float32-resolve#0"]).all()
    assert any(np.signbit(v[v == 0]).any() for k, v in scalar.items() if k.startswith("solve-") and v.dtype.kind == "f")
