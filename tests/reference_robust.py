"""Slow, plainly written references for the robust smoother.

Every routine works on NumPy scalars of one dtype (np.float32 or np.float64)
so that single-precision arithmetic really rounds to single precision, and
follows the documented order of operations; the results are therefore meant
to agree bit for bit with the native module. Medians are taken by sorting:
the order statistic does not depend on the selection method. The penalty band
and the banded solve come from the shared reference in reference.py.
"""

import ctypes
import ctypes.util
import math
from collections import namedtuple
from fractions import Fraction

import numpy as np

from reference import banded_solve, normalize_grid, penalty_band

INSTABILITY = "Numerical instability in f32 solver; try robust_whittaker_irls_f64 or increase eps/ridge"
WEIGHTINGS = ("tukey", "huber", "cauchy", "welsch", "fair", "hampel")
_NAMES = {name: name for name in WEIGHTINGS} | {"bisquare": "tukey"}
_DEFAULT_TUNING = {
    "tukey": ("0", "0", "4.685"),
    "huber": ("0", "0", "1.345"),
    "cauchy": ("0", "0", "2.385"),
    "welsch": ("0", "0", "2.985"),
    "fair": ("0", "0", "1.3998"),
    "hampel": ("1.5", "3.5", "8.0"),
}

# The module's exponential is the C library's, in the working precision; numpy's
# own float32 exp may differ from it in the last place.
_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_libm.expf.restype, _libm.expf.argtypes = ctypes.c_float, [ctypes.c_float]
_libm.exp.restype, _libm.exp.argtypes = ctypes.c_double, [ctypes.c_double]


def _exp(v):
    if type(v) is np.float32:
        return np.float32(_libm.expf(v))
    return np.float64(_libm.exp(v))


def decimal(text, dt):
    """The value of dtype dt nearest to the decimal text (no double rounding)."""
    exact = Fraction(text)
    guess = dt(float(text))
    candidates = (np.nextafter(guess, dt(-np.inf)), guess, np.nextafter(guess, dt(np.inf)))
    return min(candidates, key=lambda v: abs(Fraction(float(v)) - exact))


def parse_weighting(text):
    """Canonical weighting name, or None. Full Unicode lower-casing, no trimming."""
    return _NAMES.get(text.lower())


def uses_huber_scale(text):
    raw = text.encode("utf-8")
    return len(raw) == 5 and raw.lower() == b"huber"


def default_tuning(weighting, dt):
    return tuple(decimal(v, dt) for v in _DEFAULT_TUNING[weighting])


def _floor12(v):
    tiny = decimal("1e-12", type(v))
    return v if v > tiny else tiny


def robust_weight(weighting, tuning, u):
    """Weight of one standardised residual u (a scalar of the working dtype)."""
    dt = type(u)
    one, zero = dt(1), dt(0)
    t0, t1, c = tuning
    a = abs(u)
    with np.errstate(all="ignore"):
        if weighting == "tukey":
            t = a / c
            if t < one:
                v = one - t * t
                return v * v
            return zero
        if weighting == "huber":
            return one if a <= c else c / _floor12(a)
        if weighting == "cauchy":
            t = u / c
            return one / (t * t + one)
        if weighting == "welsch":
            t = u / c
            return _exp((-t) * t)
        if weighting == "fair":
            return one / (a / c + one)
        if weighting == "hampel":
            if a <= t0:
                return one
            if a <= t1:
                return t0 / _floor12(a)
            if a <= c:
                return (t0 * (c - a)) / (_floor12(c - t1) * _floor12(a))
            return zero
    raise ValueError(weighting)


def _usable(r, mask):
    return [r[t] for t in range(len(r)) if mask[t] and np.isfinite(r[t])]


def mad_scale(r, mask, f):
    """1.4826 times the median of |r| over usable positions, floored at f."""
    dt = type(f)
    values = sorted(abs(v) for v in _usable(r, mask))
    n = len(values)
    if n == 0:
        return f
    h = n // 2
    m = values[h]
    with np.errstate(all="ignore"):
        if n % 2 == 0:
            m = (m + values[h - 1]) * dt(0.5)
        s = m * decimal("1.4826", dt)
    return f if (np.isnan(s) or f > s) else s


def huber_scale(r, mask, f):
    """Iterated Huber scale started from the MAD scale: at most 30 steps."""
    dt = type(f)
    clip, tol = decimal("1.345", dt), decimal("1e-4", dt)
    usable = _usable(r, mask)
    s = mad_scale(r, mask, f)
    s_new = s
    with np.errstate(all="ignore"):
        for _ in range(30):
            k2 = (clip * s) * (clip * s)
            acc, n = dt(0), dt(0)
            for v in usable:
                sq = v * v
                acc = acc + (k2 if k2 < sq else sq)
                n = n + dt(1)
            if n == 0:
                return f
            s_new = np.sqrt(acc / n)
            if np.isnan(s_new) or f > s_new:
                s_new = f
            d = f if (np.isnan(s) or f > s) else s
            rel = abs(s_new - s) / d
            if rel < tol:
                return s_new
            s = s_new
    return s_new


def merge_positions(x, tol):
    """Groups of adjacent positions spaced at most tol apart, and their means."""
    dt = x.dtype.type
    groups, xm = [], []
    start, n = 0, len(x)
    while start < n:
        end = start + 1
        while end < n and x[end] - x[end - 1] <= tol:
            end += 1
        total = 0.0
        for i in range(start, end):
            total = total + float(x[i])
        groups.append((start, end))
        xm.append(dt(total / float(end - start)))
        start = end
    return groups, np.array(xm, dtype=dt)


def merge_observations(y, wbase, groups):
    """Base-weighted means and weight sums per group, summed in double."""
    dt = wbase.dtype.type
    ym = np.zeros((y.shape[0], len(groups)), dtype=dt)
    wm = np.zeros_like(ym)
    for s in range(y.shape[0]):
        for g, (start, end) in enumerate(groups):
            sw = swy = 0.0
            for i in range(start, end):
                v, w = float(y[s, i]), float(wbase[s, i])
                if math.isfinite(v) and w > 0 and math.isfinite(w):
                    sw = sw + w
                    swy = swy + v * w
            if sw > 0:
                ym[s, g] = dt(swy / sw)
                wm[s, g] = dt(sw)
    return ym, wm


def expand_to_grid(Z, W, wm, wbase, groups):
    dt = wbase.dtype.type
    Zf, Wf = np.zeros_like(wbase), np.zeros_like(wbase)
    with np.errstate(all="ignore"):
        for s in range(wbase.shape[0]):
            for g, (start, end) in enumerate(groups):
                m = wm[s, g]
                for i in range(start, end):
                    Zf[s, i] = Z[s, g]
                    Wf[s, i] = (wbase[s, i] / m) * W[s, g] if m > 0 else dt(0)
    return Zf, Wf


def irls_pass(pb, k, y, b, r_weights, lam, ridge, weighting, tuning, huber, eps):
    """One pass for one series: returns (fit, total weights, new robust weights)."""
    dt = type(eps)
    with np.errstate(all="ignore"):
        wt = b * r_weights
        mask = np.isfinite(y) & (wt > 0)
        yc = np.where(mask, y, dt(0))
        z = banded_solve(pb, k, wt, yc, lam, ridge, eps)
        r = np.where(mask, y - z, dt(np.nan))
        sigma = huber_scale(r, mask, eps) if huber else mad_scale(r, mask, eps)
        new = np.array(
            [robust_weight(weighting, tuning, r[t] / sigma) if mask[t] else dt(0) for t in range(len(y))],
            dtype=dt,
        )
        if mask.any() and (b * new == 0).all():
            # Reweighting would leave a series with data nothing to fit (every
            # residual non-finite or beyond the cut-off): it keeps its weights,
            # and the next pass repeats this fit instead of returning zeros.
            return z, wt, r_weights
    return z, wt, new


def irls_batch(pb, k, Y, B, lam, ridge, iterations, weighting, tuning, scale, eps):
    dt = type(eps)
    Z, W = np.zeros_like(B), np.zeros_like(B)
    R = np.where(np.isfinite(Y) & (B > 0), dt(1), dt(0)).astype(dt)
    huber = uses_huber_scale(scale)
    for _ in range(iterations):
        for s in range(Y.shape[0]):
            Z[s], W[s], R[s] = irls_pass(pb, k, Y[s], B[s], R[s], lam, ridge, weighting, tuning, huber, eps)
    return Z, W


def needs_f64_fallback(Z, W, y):
    """Stability test of the float32 batch (Z, W on the solve grid, y the caller's)."""
    if not (np.isfinite(Z).all() and np.isfinite(W).all()):
        return True
    one, bound = np.float32(1), np.float32(1e6)
    for s in range(Z.shape[0]):
        g = max((abs(v) for v in Z[s] if np.isfinite(v)), default=np.float32(0))
        h = max((abs(v) for v in y[s] if np.isfinite(v)), default=np.float32(0))
        if g > max(h, one) * bound:
            return True
    return False


Robust = namedtuple("Robust", "z w fell_back")


def robust_whittaker_irls(x, y_st, w_base_st=None, lam=10.0, d=2, iterations=1, weighting="tukey",
                          scale="mad", ridge=1e-10, normalize="mean", eps=1e-10, tuning=None,
                          merge_x_tol=0.01, fallback=True):
    """Reference of the whole robust call on valid input; the dtype is that of x.

    Real arguments are rounded to the dtype as the module's conversion does.
    With fallback=False the float32 stability test is skipped (to show what
    the fall-back changes). Raises ValueError(INSTABILITY) like the module.
    """
    dt = x.dtype.type
    y_st = np.asarray(y_st)
    lam, ridge, eps = dt(lam), dt(ridge), dt(eps)
    name = parse_weighting(weighting)
    triple = tuple(dt(v) for v in tuning) if tuning is not None else default_tuning(name, dt)
    tol = dt(0) if merge_x_tol is None else dt(merge_x_tol)
    if tol > 0:
        groups, xm = merge_positions(x, tol)
    else:
        groups, xm = [(i, i + 1) for i in range(len(x))], x.copy()
    xn = xm if normalize is None else normalize_grid(xm, normalize)
    pb, k = penalty_band(xn, d, eps)

    finite = np.isfinite(y_st)
    base = np.ones_like(y_st) if w_base_st is None else np.array(w_base_st, dtype=dt)
    wbase = np.where(finite, base, dt(0)).astype(dt)
    merging = len(groups) < len(x)
    Y, B = merge_observations(y_st, wbase, groups) if merging else (y_st, wbase)

    Z, W = irls_batch(pb, k, Y, B, lam, ridge, iterations, name, triple, scale, eps)
    fell_back = False
    if dt is np.float32 and fallback and needs_f64_fallback(Z, W, y_st):
        fell_back = True
        xd = xn.astype(np.float64)
        pbd, kd = penalty_band(xd, d, np.float64(eps))
        Zd, Wd = irls_batch(pbd, kd, Y.astype(np.float64), B.astype(np.float64), np.float64(lam),
                            np.float64(ridge), iterations, name, tuple(np.float64(t) for t in triple),
                            scale, np.float64(eps))
        with np.errstate(over="ignore"):
            Z, W = Zd.astype(np.float32), Wd.astype(np.float32)
        if not (np.isfinite(Z).all() and np.isfinite(W).all()):
            raise ValueError(INSTABILITY)
    if merging:
        Z, W = expand_to_grid(Z, W, B, wbase, groups)
    return Robust(Z, W, fell_back)
