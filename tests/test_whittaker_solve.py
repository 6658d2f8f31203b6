"""whittaker_solve_f32 / whittaker_solve_f64 against the scalar reference."""

import numpy as np
import pytest

import reference as ref
import tarnwold

DTYPES = [np.float32, np.float64]


def solver(dtype):
    return tarnwold.whittaker_solve_f32 if dtype == np.float32 else tarnwold.whittaker_solve_f64


def assert_bitwise(actual, expected):
    """Equal bit for bit (so -0.0 differs from 0.0); NaNs match any NaN."""
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    nan = np.isnan(actual)
    np.testing.assert_array_equal(nan, np.isnan(expected))
    bits = np.uint32 if actual.dtype == np.float32 else np.uint64
    np.testing.assert_array_equal(actual.view(bits)[~nan], expected.view(bits)[~nan])


def random_case(dtype, S, T, seed, gaps=True, weights=True):
    """An irregular grid, noisy series with NaN/±inf gaps, and base weights
    that include zeros and negatives."""
    rng = np.random.default_rng(seed)
    x = (50.0 + np.cumsum(rng.uniform(0.05, 3.0, T))).astype(dtype)
    y = (3.0 * np.sin(np.arange(S * T).reshape(S, T) / 4.0) + rng.normal(size=(S, T))).astype(dtype)
    if gaps:
        y[rng.random((S, T)) < 0.12] = np.nan
        y[rng.random((S, T)) < 0.04] = np.inf
        y[rng.random((S, T)) < 0.04] = -np.inf
    w = None
    if weights:
        w = rng.uniform(0.1, 2.0, (S, T)).astype(dtype)
        w[rng.random((S, T)) < 0.1] = 0
        w[rng.random((S, T)) < 0.05] = -0.25
    return x, y, w


# (lam, ridge, normalize): normalisation modes, tiny to large penalties, and a
# lam that float32 must round (0.3).
SETTINGS = [
    (10.0, 1e-10, "mean"),
    (0.3, 0.0, "median"),
    (1e3, 1e-4, None),
    (2.5, 1e-10, "Mean"),
]


@pytest.mark.parametrize("d", [1, 2])
def test_worked_three_point_examples(d):
    z = tarnwold.whittaker_solve_f64(np.array([0.0, 1.0, 2.0]), np.array([[0.0, 3.0, 0.0]]), lam=1.0, d=d)
    expected = [0.75, 1.5, 0.75] if d == 1 else [0.6, 1.8, 0.6]
    np.testing.assert_allclose(z[0], expected, rtol=0, atol=1e-9)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("d", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("lam,ridge,normalize", SETTINGS)
def test_matches_reference_bitwise(dtype, d, lam, ridge, normalize):
    x, y, w = random_case(dtype, 4, 23, seed=d)
    y[2] = np.nan  # an all-missing series in the batch
    for base in (None, w):
        z = solver(dtype)(x, y, base, lam=lam, d=d, ridge=ridge, normalize=normalize, eps=1e-10)
        assert_bitwise(z, ref.whittaker_solve(x, y, base, lam, d, ridge, normalize, 1e-10))


@pytest.mark.parametrize("dtype", DTYPES)
def test_defaults_match_reference(dtype):
    x, y, w = random_case(dtype, 3, 15, seed=7)
    assert_bitwise(solver(dtype)(x, y, w), ref.whittaker_solve(x, y, w))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("d", [0, 1])
def test_single_point_grid(dtype, d):
    # T = 1: z = ((w*y) / L) / L with L = sqrt((lam*P00 + w) + ridge).
    x = np.array([4.0], dtype)
    y = np.array([[3.0], [np.nan], [-2.0]], dtype)
    w = np.array([[2.0], [1.0], [0.5]], dtype)
    z = solver(dtype)(x, y, w, lam=3.0, d=d, ridge=0.25)
    assert_bitwise(z, ref.whittaker_solve(x, y, w, 3.0, d, 0.25))
    one = dtype(1)
    L = np.sqrt((dtype(3.0) * (one if d == 0 else dtype(0)) + dtype(2.0)) + dtype(0.25))
    assert z[0, 0] == (dtype(2.0) * dtype(3.0)) / L / L
    assert z[1, 0] == 0


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("parallel", [True, False])
def test_no_series_gives_empty_result(dtype, parallel):
    z = solver(dtype)(np.arange(6, dtype=dtype), np.empty((0, 6), dtype), np.empty((0, 6), dtype),
                      parallel=parallel)
    assert z.shape == (0, 6) and z.dtype == dtype


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("missing", [np.nan, np.inf, -np.inf, "mixed"])
def test_all_missing_series_is_exact_zero(dtype, missing):
    x, y, w = random_case(dtype, 3, 12, seed=3)
    y[1] = [np.nan, np.inf, -np.inf] * 4 if missing == "mixed" else missing
    z = solver(dtype)(x, y, w)
    assert_bitwise(z[1], np.zeros(12, dtype))
    assert np.all(np.isfinite(z[[0, 2]]))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("with_weights", [False, True])
def test_infinities_are_missing_like_nan(dtype, with_weights):
    x, y, w = random_case(dtype, 3, 20, seed=4, weights=with_weights)
    as_nan = np.where(np.isinf(y), dtype(np.nan), y)
    assert np.isinf(y).any()
    assert_bitwise(solver(dtype)(x, y, w), solver(dtype)(x, as_nan, w))


@pytest.mark.parametrize("dtype", DTYPES)
def test_zero_base_weight_excludes_the_sample(dtype):
    # A zero weight at a finite sample acts exactly like a missing sample,
    # while the penalty still spans the position.
    x, y, _ = random_case(dtype, 2, 15, seed=5, gaps=False, weights=False)
    w = np.ones_like(y)
    w[0, 4] = w[1, 9] = 0
    dropped = y.copy()
    dropped[0, 4] = dropped[1, 9] = np.nan
    z = solver(dtype)(x, y, w)
    assert_bitwise(z, solver(dtype)(x, dropped))
    assert z[0, 4] != 0


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_base_weight_spoils_only_its_row(dtype, bad):
    x, y, _ = random_case(dtype, 3, 10, seed=6, gaps=False, weights=False)
    w = np.ones_like(y)
    w[1, 5] = bad
    z = solver(dtype)(x, y, w)
    assert np.isnan(z[1]).all()
    assert np.isfinite(z[[0, 2]]).all()
    if bad != bad:
        assert_bitwise(z, ref.whittaker_solve(x, y, w))


OVERFLOW = "normalizing x overflows: its span (over the spacing) exceeds the floating-point range"


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "xs,y_cols,w_shape,kwargs,message",
    [
        ([0, 1, 2, 3], 4, (2, 3), {}, "w_base_st must match y_st shape"),
        ([0, 1, 2, 3], 4, (3, 4), {}, "w_base_st must match y_st shape"),
        ([0, 1, 2, 3], 3, None, {}, "y_st shape must be (S,T) with T=len(x)"),
        ([0, 2, 1, 3], 3, None, {}, "y_st shape must be (S,T) with T=len(x)"),
        ([0, 1, 1, 3], 4, None, {}, "x must be strictly increasing"),
        ([3, 2, 1, 0], 4, None, {}, "x must be strictly increasing"),
        ([0, np.nan, 2, 3], 4, None, {}, "x must be strictly increasing"),
        ([0, 1, 1, 3], 4, (2, 3), {}, "x must be strictly increasing"),
        ([0, 1, 2, np.inf], 4, (2, 3), {"d": 9}, "x must be finite: x[3] is inf"),
        ([-np.inf, 1, 2, 3], 4, None, {"normalize": None}, "x must be finite: x[0] is -inf"),
        ([], 0, None, {}, "x must have length >=1"),
        ([], 0, (2, 3), {}, "x must have length >=1"),
        ([0, 1, 2], 3, None, {"d": 4}, "d must not exceed len(x)"),
        ([0, 1, 2], 3, (1, 3), {"d": 4}, "d must not exceed len(x)"),
        ([0.0], 1, None, {"d": 2}, "d must not exceed len(x)"),
        ("span", 3, None, {}, OVERFLOW),
        ("span", 3, None, {"normalize": "median"}, OVERFLOW),
    ],
)
def test_rejections_in_order(dtype, xs, y_cols, w_shape, kwargs, message):
    # "span": a grid whose span exceeds the type's range
    x = np.array([-np.finfo(dtype).max, 0, np.finfo(dtype).max] if xs == "span" else xs, dtype)
    y = np.ones((2, y_cols), dtype)
    w = None if w_shape is None else np.ones(w_shape, dtype)
    with pytest.raises(ValueError) as info:
        solver(dtype)(x, y, w, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("T", [1, 2, 5])
def test_order_equal_to_length_is_accepted(dtype, T):
    x, y, w = random_case(dtype, 2, T, seed=T)
    assert_bitwise(solver(dtype)(x, y, w, d=T), ref.whittaker_solve(x, y, w, d=T))


# Single points at exactly the float32 acceptance bound 1e6 * max(1, |y|).
# A negative lam floors the pivot to eps, so z = ((w*y) / sqrt(eps)) / sqrt(eps),
# and the float32 and double evaluations of that differ in the last bit.
BOUND_CASES = [  # (eps, y, w at the bound, w one step beyond)
    ("0x1.0624dep-10", 1.0, "0x1.f40004p+9", "0x1.f40006p+9"),
    ("0x1.0624dep-10", 0.5, "0x1.f40004p+10", "0x1.f40006p+10"),
    ("0x1.333334p-2", 2.5, "0x1.24f802p+18", "0x1.24f804p+18"),
]


@pytest.mark.parametrize("eps,y,w_at,w_beyond", BOUND_CASES)
def test_float32_resolve_threshold(eps, y, w_at, w_beyond):
    eps = float.fromhex(eps)
    bound = np.float32(1e6) * max(np.float32(y), np.float32(1))
    e32, e64 = np.float32(eps), np.float64(eps)

    def run(w):
        w = float.fromhex(w)
        z = tarnwold.whittaker_solve_f32(np.zeros(1, np.float32), np.array([[y]], np.float32),
                                         np.array([[w]], np.float32), lam=-1e7, d=0, ridge=0.0,
                                         normalize=None, eps=eps)
        single = (np.float32(w) * np.float32(y)) / np.sqrt(e32) / np.sqrt(e32)
        double = np.float32((np.float64(w) * np.float64(y)) / np.sqrt(e64) / np.sqrt(e64))
        assert single != double
        return z[0, 0], single, double

    z, single, _ = run(w_at)
    assert single == bound and z == single  # at the bound: kept in float32
    z, single, double = run(w_beyond)
    assert single > bound and z == double  # beyond: re-solved in double


@pytest.mark.parametrize(
    "lam,eps,overflow",
    [(-10.0, 1e-10, False), (-0.5, 0.0, False), (1.0, 0.0, False), (0.0, 0.0, False),
     (0.0, -1e-3, False), (0.5, 1e-10, True), (0.5, 4.0, True)],
)
def test_float32_resolve_agrees_with_reference(lam, eps, overflow):
    # Indefinite systems (negative lam), floors at or below zero and values
    # whose products overflow float32 drive the float32 solve out of bounds;
    # the double re-solve must match bit for bit.
    x, y, w = random_case(np.float32, 3, 18, seed=11, gaps=True)
    w[:, 3] = 0
    if overflow:  # w*y beyond the float32 range
        w[:, 7], y[:, 7] = 2, 3e38
    flags = []
    expected = ref.whittaker_solve(x, y, w, lam, 2, 0.0, "mean", eps, report=flags)
    assert any(flags)
    assert_bitwise(tarnwold.whittaker_solve_f32(x, y, w, lam=lam, d=2, ridge=0.0, eps=eps), expected)


@pytest.mark.parametrize("eps", [0.0, -1e-3])
def test_non_positive_eps(eps):
    # Zero-weight positions with lam = ridge = 0 give zero (or negative)
    # pivots that no floor lifts: f64 returns non-finite values, while the
    # f32 re-solve floors at 2**-52 and stays finite.
    x, y, _ = random_case(np.float64, 2, 12, seed=12, gaps=False, weights=False)
    w = np.ones_like(y)
    w[:, 5] = 0 if eps == 0 else -1
    z64 = tarnwold.whittaker_solve_f64(x, y, w, lam=0.0, ridge=0.0, eps=eps)
    assert not np.isfinite(z64).all()
    assert_bitwise(z64, ref.whittaker_solve(x, y, w, 0.0, 2, 0.0, "mean", eps))
    x32, y32, w32 = (a.astype(np.float32) for a in (x, y, w))
    z32 = tarnwold.whittaker_solve_f32(x32, y32, w32, lam=0.0, ridge=0.0, eps=eps)
    assert np.isfinite(z32).all()
    assert_bitwise(z32, ref.whittaker_solve(x32, y32, w32, 0.0, 2, 0.0, "mean", eps))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("eps", [1.5, 4.0, 300.0])
def test_eps_above_one(dtype, eps):
    # Pivots are floored to eps but the substitutions divide by eps wherever
    # the diagonal of the factor (about sqrt(eps)) lies below it.
    x, y, w = random_case(dtype, 3, 14, seed=13)
    assert_bitwise(solver(dtype)(x, y, w, lam=0.5, d=2, ridge=0.0, eps=eps),
                   ref.whittaker_solve(x, y, w, 0.5, 2, 0.0, "mean", eps))


def layout(a, kind):
    """The same values as `a` in another memory layout."""
    if kind == "C":
        return np.ascontiguousarray(a)
    if kind == "F":
        return np.asfortranarray(a)
    if kind == "strided":
        big = np.full((2 * a.shape[0], 3 * a.shape[1]), 7, a.dtype)
        big[::2, ::3] = a
        return big[::2, ::3]
    if kind == "reversed":
        return a[::-1, ::-1].copy()[::-1, ::-1]
    if kind == "F-reversed-rows":
        return np.asfortranarray(a[::-1])[::-1]
    raise AssertionError(kind)


LAYOUTS = ["C", "F", "strided", "reversed", "F-reversed-rows"]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("y_layout", LAYOUTS)
@pytest.mark.parametrize("w_layout", ["C", "strided", "reversed"])
def test_memory_layouts_agree(dtype, y_layout, w_layout):
    x, y, w = random_case(dtype, 5, 16, seed=14)
    expected = solver(dtype)(x, y, w, d=3)
    yv, wv = layout(y, y_layout), layout(w, w_layout)
    assert np.array_equal(yv, y, equal_nan=True) and np.array_equal(wv, w, equal_nan=True)
    assert_bitwise(solver(dtype)(x, yv, wv, d=3), expected)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("parallel", [True, False])
def test_broadcast_views(dtype, parallel):
    x, y, w = random_case(dtype, 1, 16, seed=15)
    yb, wb = np.broadcast_to(y[0], (6, 16)), np.broadcast_to(w[0], (6, 16))
    assert yb.strides[0] == 0 and wb.strides[0] == 0
    z = solver(dtype)(x, yb, wb, parallel=parallel)
    assert_bitwise(z, np.repeat(solver(dtype)(x, y, w), 6, axis=0))


@pytest.mark.parametrize("dtype", DTYPES)
def test_inputs_untouched_and_result_is_new(dtype):
    x, y, w = random_case(dtype, 4, 12, seed=16)
    copies = [a.copy() for a in (x, y, w)]
    z = solver(dtype)(x, y, w)
    for a, c in zip((x, y, w), copies):
        assert_bitwise(np.atleast_2d(a), np.atleast_2d(c))
    assert z.dtype == dtype and z.shape == y.shape
    assert z.flags.c_contiguous and z.flags.owndata and z.flags.writeable
    assert not any(np.shares_memory(z, a) for a in (x, y, w))
    again = solver(dtype)(x, y, w)
    assert again is not z
    z[:] = 0
    assert_bitwise(solver(dtype)(x, y, w), again)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("S", [2, 3, 17, 1000])
def test_parallel_matches_sequential(dtype, S):
    x, y, w = random_case(dtype, S, 40, seed=S)
    sequential = solver(dtype)(x, y, w, lam=3.0, d=2, parallel=False)
    assert_bitwise(solver(dtype)(x, y, w, lam=3.0, d=2, parallel=True), sequential)
    if S <= 3:
        assert_bitwise(sequential, ref.whittaker_solve(x, y, w, 3.0, 2))
