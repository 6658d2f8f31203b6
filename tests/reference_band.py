"""Slow reference of grid normalisation and the divided-difference penalty band.

Every operation is done on NumPy scalars of the working type (np.float32 or
np.float64), one at a time and in the documented order, so a float32 result
here is what pure single-precision arithmetic gives: no intermediate value is
ever widened to double.
"""

import numpy as np


def normalize_grid(x, text, dtype):
    """The grid after normalisation; `text` None means no normalisation."""
    f = np.dtype(dtype).type
    x = [f(v) for v in np.asarray(x, dtype=dtype)]
    n = len(x)
    if text is None or n < 2:
        return np.array(x, dtype=dtype)
    x0 = x[0]
    with np.errstate(all="ignore"):
        if text == "mean":
            s = (x[n - 1] - x0) / f(n - 1)
        elif text == "median":
            kept = sorted(h for h in (x[i] - x[i - 1] for i in range(1, n)) if h > f(0))
            if not kept:
                s = f(1)
            else:
                m = kept[len(kept) // 2]
                s = m if len(kept) % 2 else (m + kept[len(kept) // 2 - 1]) * f(0.5)
        else:
            s = f(1)
        if not s > f(0):
            s = f(1)
        return np.array([(v - x0) / s for v in x], dtype=dtype)


def _floor(h, eps):
    if np.isnan(h):
        return eps
    return eps if eps > h else h


def difference_rows(x, d, eps, dtype):
    """The rows of the divided-difference operator D of order d."""
    f = np.dtype(dtype).type
    x = [f(v) for v in np.asarray(x, dtype=dtype)]
    eps = f(eps)
    n = len(x)
    if d == 0:
        return [[f(1)] for _ in range(n)]
    with np.errstate(all="ignore"):
        rows = []
        for i in range(1, n):
            h = _floor(x[i] - x[i - 1], eps)
            rows.append([f(-1) / h, f(1) / h])
        for e in range(2, d + 1):
            if not rows:
                raise ValueError("no rows of order %d" % (e - 1))
            new_rows = []
            for r in range(len(rows) - 1):
                p, p_next = rows[r], rows[r + 1]
                q = [f(0)] * (e + 1)
                for j in range(e):
                    q[j + 1] = p_next[j] + q[j + 1]
                    q[j] = q[j] - p[j]
                g = f(1) / _floor(x[r + e] - x[r], eps)
                new_rows.append([c * g for c in q])
            rows = new_rows
    return rows


def penalty_band(x, d, eps, dtype):
    """The lower band of D.T @ D as a (2*d + 1, T) array, pb[j, c] = P[c, c - j]."""
    f = np.dtype(dtype).type
    n = len(x)
    band = [[f(0)] * n for _ in range(2 * d + 1)]
    with np.errstate(all="ignore"):
        for r, p in enumerate(difference_rows(x, d, eps, dtype)):
            for a in range(d + 1):
                for b in range(a + 1):
                    band[a - b][r + a] = p[b] * p[a] + band[a - b][r + a]
    return np.array(band, dtype=dtype).reshape(2 * d + 1, n)
