"""build_pb_f32 / build_pb_f64: the banded penalty matrix of a grid."""

import numpy as np
import pytest

import tarnwold
import reference


def normalize_grid(x, text, dtype):
    """The reference normalisation; `text` None means none."""
    x = np.asarray(x, dtype=dtype)
    return x.copy() if text is None else reference.normalize_grid(x, text)


def penalty_band(x, d, eps, dtype):
    return reference.penalty_band(np.asarray(x, dtype=dtype), d, eps)[0]

DTYPES = [np.float32, np.float64]
BUILD = {np.float32: tarnwold.build_pb_f32, np.float64: tarnwold.build_pb_f64}
DEFAULT_EPS = {np.float32: np.float32(1e-6), np.float64: np.float64(1e-12)}


def build(dtype, x, *args, **kwargs):
    return BUILD[dtype](np.asarray(x, dtype=dtype), *args, **kwargs)


def assert_bits_equal(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    uint = np.uint32 if actual.dtype == np.float32 else np.uint64
    np.testing.assert_array_equal(actual.view(uint), expected.view(uint))


# --- worked bands -----------------------------------------------------------

WORKED = [
    ((0, 1, 2, 3), 1, [[1, 2, 2, 1], [0, -1, -1, -1], [0, 0, 0, 0]]),
    (
        (0, 1, 2, 3, 4),
        2,
        [
            [0.25, 1.25, 1.5, 1.25, 0.25],
            [0, -0.5, -1, -1, -0.5],
            [0, 0, 0.25, 0.25, 0.25],
            [0] * 5,
            [0] * 5,
        ],
    ),
    # one row (1/3, -1/2, 1/6): P is its outer product
    ((0, 1, 3), 2, [[1 / 9, 1 / 4, 1 / 36], [0, -1 / 6, -1 / 12], [0, 0, 1 / 18], [0] * 3, [0] * 3]),
    ((0.5, 2.0, 7.25), 0, [[1, 1, 1]]),
    ((0, 1), 2, [[0, 0]] * 5),
    ((0, 1, 2), 3, [[0, 0, 0]] * 7),  # d == len(x): no rows, all-zero band
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("x, d, expected", WORKED)
def test_worked_bands(dtype, x, d, expected):
    pb, k = build(dtype, x, d)
    assert k == 2 * d and type(k) is int
    np.testing.assert_allclose(pb, np.array(expected, dtype=dtype), rtol=1e-6, atol=0)
    assert_bits_equal(pb, penalty_band(x, d, DEFAULT_EPS[dtype], dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_default_order_is_two(dtype):
    x = np.arange(5.0, dtype=dtype)
    pb, k = BUILD[dtype](x)
    assert k == 4
    assert_bits_equal(pb, build(dtype, x, 2)[0])


# --- rejected grids, in the order they are checked -----------------------------

def overflowing_span(dtype):
    return np.array([-np.finfo(dtype).max, 0, np.finfo(dtype).max], dtype)


OVERFLOW = "normalizing x overflows: its span (over the spacing) exceeds the floating-point range"

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "x, kwargs, message",
    [
        ([], {}, "x must have length >=2"),
        ([1.0], {}, "x must have length >=2"),
        ([1.0], {"d": 5}, "x must have length >=2"),
        ([0, 1, 1], {}, "x must be strictly increasing"),
        ([0, np.nan, 2], {}, "x must be strictly increasing"),
        ([np.nan, 1, 2], {}, "x must be strictly increasing"),
        ([0, 2, 1], {"d": 1}, "x must be strictly increasing"),
        ([0, np.inf, np.inf], {"d": 1}, "x must be strictly increasing"),
        # the order check comes after the strictly-increasing check
        ([0, 0], {"d": 3}, "x must be strictly increasing"),
        ([0, 1], {"d": 3}, "d must not exceed len(x)"),
        # an infinite end, before the order check and with or without normalising
        ([0, 1, np.inf], {}, "x must be finite: x[2] is inf"),
        ([-np.inf, 0, 1], {"normalize": "mean"}, "x must be finite: x[0] is -inf"),
        ([0, np.inf], {"d": 3}, "x must be finite: x[1] is inf"),
        ([0, 1, 2, 3], {"d": 2**64 - 1}, "d must not exceed len(x)"),
        # a span beyond the type's range
        ("span", {"normalize": "mean"}, OVERFLOW),
        ("span", {"normalize": "median"}, OVERFLOW),
    ],
)
def test_value_errors(dtype, x, kwargs, message):
    if x == "span":
        x = overflowing_span(dtype)
    with pytest.raises(ValueError) as info:
        build(dtype, x, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("view", [lambda a: a[::2], lambda a: a[::-1], lambda a: a[::-2]])
def test_non_contiguous_grid_is_rejected_before_value_checks(dtype, view):
    # [::-1] is not increasing and [::2] has a repeat: contiguity is checked first
    x = view(np.array([0, 0, 1, 1, 3, 3], dtype=dtype))
    with pytest.raises(TypeError) as info:
        BUILD[dtype](x, 1)
    assert str(info.value) == "The given array is not contiguous"


@pytest.mark.parametrize("dtype", DTYPES)
def test_conversion_fails_before_contiguity(dtype):
    x = np.arange(6.0, dtype=dtype)[::2]
    with pytest.raises(TypeError, match=r"^argument 'd': 'float' object cannot be interpreted as an integer$"):
        BUILD[dtype](x, 2.0)


# --- normalisation --------------------------------------------------------------

GRID = (10, 12, 13, 17)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "normalize, equivalent_grid",
    [
        (None, GRID),
        ("median", (0, 1, 1.5, 3.5)),
        ("Mean", (0, 2, 3, 7)),
        ("MEAN", (0, 2, 3, 7)),
        ("none", (0, 2, 3, 7)),
        ("", (0, 2, 3, 7)),
        ("median ", (0, 2, 3, 7)),
    ],
)
@pytest.mark.parametrize("d", [1, 2, 3])
def test_normalisation_modes_exact_grids(dtype, normalize, equivalent_grid, d):
    # these scales are exact, so the normalised grid is known exactly
    pb, k = build(dtype, GRID, d, normalize)
    assert_bits_equal(pb, build(dtype, equivalent_grid, d)[0])


@pytest.mark.parametrize("dtype", DTYPES)
def test_mean_normalisation(dtype):
    xn = normalize_grid(GRID, "mean", dtype)
    np.testing.assert_allclose(xn, [0, 6 / 7, 9 / 7, 3], rtol=1e-6)
    for d in (1, 2, 3):
        assert_bits_equal(build(dtype, GRID, d, "mean")[0], build(dtype, xn, d)[0])


@pytest.mark.parametrize("dtype", DTYPES)
def test_median_of_even_count_averages_the_middle_pair(dtype):
    x = np.array([10, 12, 13, 17, 18], dtype=dtype)  # spacings 2, 1, 4, 1: scale 1.5
    xn = (x - x[0]) / dtype(1.5)
    assert_bits_equal(normalize_grid(x, "median", dtype), xn)
    assert_bits_equal(build(dtype, x, 2, "median")[0], build(dtype, xn, 2)[0])


@pytest.mark.parametrize("dtype", DTYPES)
def test_shift_changes_band_only_by_rounding(dtype):
    x = np.array([1000.0, 1000.3, 1001.1, 1003.0, 1003.2], dtype=dtype)
    plain = build(dtype, x, 2)[0]
    shifted = build(dtype, x, 2, "shift")[0]
    np.testing.assert_allclose(shifted, plain, rtol=1e-3 if dtype is np.float32 else 1e-9, atol=1e-6)


# --- eps --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "dtype, tiny",
    [(np.float32, 1e-8), (np.float32, 5e-7), (np.float64, 1e-14), (np.float64, 5e-13)],
)
def test_default_eps_floors_tiny_spacings(dtype, tiny):
    x = np.array([0.0, tiny, 1.0, 2.0], dtype=dtype)
    eps = DEFAULT_EPS[dtype]
    pb, _ = BUILD[dtype](x, 1)
    assert_bits_equal(pb, penalty_band(x, 1, eps, dtype))
    assert pb[0, 0] == (dtype(1) / eps) * (dtype(1) / eps)
    for same in ({"eps": None}, {"eps": float(eps)}, {"normalize": None, "eps": None}):
        assert_bits_equal(BUILD[dtype](x, 1, **same)[0], pb)
    # a floor other than the default gives a different band
    assert not np.array_equal(BUILD[dtype](x, 1, eps=float(eps) * 4)[0], pb)


def test_floored_first_spacing_double():
    pb, k = tarnwold.build_pb_f64(np.array([0.0, 1e-9, 1.0]), d=1, eps=1e-6)
    assert k == 2
    assert pb[0, 0] == pytest.approx(1e12, rel=1e-15)
    assert pb[1, 1] == pytest.approx(-1e12, rel=1e-15)
    assert_bits_equal(pb, penalty_band([0.0, 1e-9, 1.0], 1, 1e-6, np.float64))


@pytest.mark.parametrize("dtype", DTYPES)
def test_eps_is_never_validated(dtype):
    # a NaN, zero or negative floor never replaces a positive spacing
    x = np.array([0.0, 0.25, 1.0, 1.5, 4.0], dtype=dtype)
    expected = build(dtype, x, 2, eps=0.0)[0]
    for eps in (np.nan, -1.0, -np.inf):
        assert_bits_equal(build(dtype, x, 2, eps=eps)[0], expected)
    # an infinite floor makes every reciprocal zero
    zero = build(dtype, x, 2, eps=np.inf)[0]
    assert not np.any(zero)


def test_f32_eps_beyond_single_range_becomes_infinite():
    x = np.array([0.0, 1.0, 3.0], dtype=np.float32)
    assert_bits_equal(tarnwold.build_pb_f32(x, 1, eps=1e39)[0], tarnwold.build_pb_f32(x, 1, eps=np.inf)[0])
    assert np.any(tarnwold.build_pb_f64(x.astype(np.float64), 1, eps=1e39)[0])


# --- results and inputs ---------------------------------------------------------------

@pytest.mark.parametrize("dtype", DTYPES)
def test_results_are_new_c_arrays_and_x_is_untouched(dtype):
    x = np.array([0.0, 0.5, 2.0, 2.5, 4.0], dtype=dtype)
    x.setflags(write=False)  # a read-only grid is fine: it is never written
    before = x.copy()
    pb1, k1 = BUILD[dtype](x, 2, "mean")
    assert pb1.dtype == dtype and pb1.shape == (5, 5) and type(k1) is int
    assert pb1.flags.c_contiguous and pb1.flags.writeable and pb1.flags.owndata
    pb1[...] = 7
    pb2, _ = BUILD[dtype](x, 2, "mean")
    assert not np.shares_memory(pb1, pb2) and not np.any(pb2 == 7)
    assert_bits_equal(x, before)


@pytest.mark.parametrize("dtype", DTYPES)
def test_grid_views_with_offset_are_read_in_place(dtype):
    base = np.array([5.0, 0.0, 1.0, 3.0, 6.0, 10.0], dtype=dtype)
    x = base[1:]
    assert_bits_equal(BUILD[dtype](x, 2)[0], BUILD[dtype](x.copy(), 2)[0])


# --- bit-exactness against the single-operation reference ---------------------------

def random_grids(dtype):
    rng = np.random.default_rng(20240611)
    grids = []
    for n in (2, 3, 5, 9, 23):
        spacing = rng.exponential(1.0, n) * rng.choice([1e-3, 1.0, 37.0], n) + 1e-3
        grids.append(np.cumsum(spacing).astype(dtype) + dtype(rng.uniform(-50, 50)))
    # spacings below the default floors, and a grid far from the origin
    grids.append(np.array([0.0, 1e-9, 2e-9, 0.7, 0.7001, 3.0], dtype=dtype))
    grids.append(np.array([1e4, 1e4 + 0.125, 1e4 + 0.5, 1e4 + 3.0, 1e4 + 3.25, 1e4 + 9.0], dtype=dtype))
    for g in grids:
        assert np.all(np.diff(g) > 0)
    return grids


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("normalize", [None, "mean", "median", "shift"])
@pytest.mark.parametrize("eps", [None, 1e-3])
def test_bit_exact_against_reference(dtype, normalize, eps):
    for x in random_grids(dtype):
        xn = normalize_grid(x, normalize, dtype)
        floor = DEFAULT_EPS[dtype] if eps is None else dtype(eps)
        for d in range(0, min(4, len(x)) + 1):
            pb, k = BUILD[dtype](x, d, normalize, eps)
            assert k == 2 * d
            assert_bits_equal(pb, penalty_band(xn, d, floor, dtype))


def test_single_precision_reference_is_not_a_rounded_double_one():
    # guards the test above: on these grids single-precision arithmetic and
    # rounded double-precision arithmetic differ, so a widened f32 path fails
    differs = 0
    for x in random_grids(np.float32):
        for normalize in (None, "mean", "median"):
            single = normalize_grid(x, normalize, np.float32)
            widened = normalize_grid(x.astype(np.float64), normalize, np.float64).astype(np.float32)
            differs += not np.array_equal(single, widened)
            for d in range(1, min(4, len(x)) + 1):
                band32 = penalty_band(single, d, np.float32(1e-6), np.float32)
                band64 = penalty_band(single.astype(np.float64), d, 1e-6, np.float64).astype(np.float32)
                differs += not np.array_equal(band32, band64)
    assert differs > 10
