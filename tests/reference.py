"""Slow scalar reference of the Whittaker smoother, for exact comparisons.

Every routine follows the module's operation order one scalar operation at a
time, so that its rounding is the module's rounding. All arithmetic is done in
NumPy scalars of the working type (np.float32 or np.float64): a float32 times
a float32 stays float32 and np.sqrt of a float32 is a float32, so nothing is
silently widened. Python floats and ints appear only as indices and counts.

Nothing here is fast; keep the grids short (tens of points) when using it.
"""

import numpy as np

# The double-precision re-solve of the float32 solver never floors below one
# unit of double precision.
DOUBLE_UNIT = np.float64(2.0**-52)


def _floored(value, floor):
    """The value unless it is NaN or below the floor, else the floor."""
    return floor if (np.isnan(value) or value < floor) else value


def normalize_grid(x, text):
    """Shift x to start at 0 and divide by the scale that `text` selects."""
    dt = x.dtype.type
    n = len(x)
    if n < 2:
        return x.copy()
    x0 = x[0]
    if text == "mean":
        scale = (x[n - 1] - x0) / dt(n - 1)
    elif text == "median":
        kept = sorted(x[i] - x[i - 1] for i in range(1, n) if x[i] - x[i - 1] > 0)
        if not kept:
            scale = dt(1)
        else:
            m = kept[len(kept) // 2]
            scale = m if len(kept) % 2 else (m + kept[len(kept) // 2 - 1]) * dt(0.5)
    else:
        scale = dt(1)
    if not scale > 0:
        scale = dt(1)
    return np.array([(xi - x0) / scale for xi in x], dtype=x.dtype)


def _difference_rows(x, d, eps):
    """The rows of the divided-difference operator of order d on x."""
    dt = x.dtype.type
    one = dt(1)
    n = len(x)
    if d == 0:
        return [[one] for _ in range(n)]

    def spacing(h):
        # NaN spacings and spacings below eps become eps; a NaN eps floors nothing.
        return eps if (np.isnan(h) or eps > h) else h

    rows = []
    for i in range(1, n):
        h = spacing(x[i] - x[i - 1])
        rows.append([-one / h, one / h])
    for e in range(2, d + 1):
        if not rows:
            raise ValueError("order exceeds the grid length")
        higher = []
        for r in range(len(rows) - 1):
            p, p_next = rows[r], rows[r + 1]
            q = [dt(0)] * (e + 1)
            for j in range(e):
                q[j + 1] = p_next[j] + q[j + 1]
                q[j] = q[j] - p[j]
            g = one / spacing(x[r + e] - x[r])
            higher.append([c * g for c in q])
        rows = higher
    return rows


def penalty_band(x, d, eps):
    """Lower band of P = D^T D: ((2d+1, T) array with band[j, i] = P[i, i-j], 2d)."""
    with np.errstate(all="ignore"):
        eps = x.dtype.type(eps)
        rows = _difference_rows(x, d, eps)
        n = len(x)
        band = np.zeros((2 * d + 1, n), dtype=x.dtype)
        for r, p in enumerate(rows):
            for a in range(d + 1):
                for b in range(a + 1):
                    band[a - b, r + a] = p[b] * p[a] + band[a - b, r + a]
    return band, 2 * d


def _cholesky_solve(pb, k, w, y, lam, ridge, floor, floor_column_divisor):
    """Banded Cholesky solve of (diag(w) + lam*P + ridge*I) z = w*y.

    All inputs are arrays/scalars of one dtype. Pivots below `floor` (or NaN)
    are raised to it; substitutions divide by the floored diagonal.
    """
    n = len(w)
    zero = w.dtype.type(0)
    # L[j][i] holds L(i, i-j); L[0] is the diagonal.
    L = [[zero] * n for _ in range(k + 1)]
    for i in range(n):
        c = (lam * pb[0, i] + w[i]) + ridge
        for m in range(1, min(k, i) + 1):
            c = c - L[m][i] * L[m][i]
        L[0][i] = np.sqrt(_floored(c, floor))
        divisor = _floored(L[0][i], floor) if floor_column_divisor else L[0][i]
        for r in range(1, min(k, n - 1 - i) + 1):
            s = lam * pb[r, i + r]
            for m in range(1, min(k - r, min(k, i)) + 1):
                s = s - L[r + m][i + r] * L[m][i]
            L[r][i + r] = s / divisor

    work = [w[i] * y[i] for i in range(n)]
    for i in range(n):
        u = work[i] / _floored(L[0][i], floor)
        work[i] = u
        for r in range(1, min(k, n - 1 - i) + 1):
            work[i + r] = work[i + r] - L[r][i + r] * u
    for i in reversed(range(n)):
        z = work[i] / _floored(L[0][i], floor)
        work[i] = z
        for r in range(1, min(k, i) + 1):
            work[i - r] = work[i - r] - L[r][i] * z
    return np.array(work, dtype=w.dtype)


def _largest_finite_magnitude(v):
    finite = [abs(a) for a in v if np.isfinite(a)]
    return max(finite) if finite else v.dtype.type(0)


def accepts_float32(z, y):
    """Whether a float32 solution is kept (True) or re-solved in double."""
    if not np.all(np.isfinite(z)):
        return False
    one = np.float32(1)
    bound = max(_largest_finite_magnitude(y), one) * np.float32(1e6)
    return bool(_largest_finite_magnitude(z) <= bound)


def banded_solve(pb, k, w, y, lam, ridge, eps, *, report=None):
    """One series. float32 inputs get the acceptance test and double re-solve.

    When `report` is a list, True is appended if the double re-solve ran.
    """
    dt = w.dtype.type
    lam, ridge, eps = dt(lam), dt(ridge), dt(eps)
    with np.errstate(all="ignore"):
        z = _cholesky_solve(pb, k, w, y, lam, ridge, eps, False)
        if dt is np.float64:
            resolved = False
        elif accepts_float32(z, y):
            resolved = False
        else:
            resolved = True
            wide = np.float64(eps)
            floor = wide if wide > DOUBLE_UNIT else DOUBLE_UNIT
            z = _cholesky_solve(
                pb.astype(np.float64), k, w.astype(np.float64), y.astype(np.float64),
                np.float64(lam), np.float64(ridge), floor, True,
            ).astype(np.float32)
    if report is not None:
        report.append(resolved)
    return z


def working_weights(y_st, w_base_st):
    """Base weights (1 without any), forced to 0 where y is NaN or infinite."""
    base = np.ones_like(y_st) if w_base_st is None else np.array(w_base_st, copy=True)
    return np.where(np.isfinite(y_st), base, y_st.dtype.type(0)).astype(y_st.dtype)


def whittaker_solve(x, y_st, w_base_st=None, lam=10.0, d=2, ridge=1e-10,
                    normalize="mean", eps=1e-10, *, report=None):
    """The whole single-pass call for a batch (no argument validation).

    lam, ridge and eps may be Python floats: they are rounded to x's dtype
    first, as the module rounds its real arguments. `report`, if a list,
    receives one re-solve flag per series.
    """
    dt = x.dtype.type
    lam, ridge, eps = dt(lam), dt(ridge), dt(eps)
    grid = x.copy() if normalize is None else normalize_grid(x, normalize)
    pb, k = penalty_band(grid, d, eps)
    weights = working_weights(y_st, w_base_st)
    z = np.zeros(y_st.shape, dtype=x.dtype)
    for s in range(y_st.shape[0]):
        w = weights[s]
        y = np.where((w > 0) & np.isfinite(y_st[s]), y_st[s], dt(0)).astype(x.dtype)
        z[s] = banded_solve(pb, k, w, y, lam, ridge, eps, report=report)
    return z
