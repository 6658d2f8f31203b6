"""What is measured: tarnwold's batch calls and the per-series loops around it.

Every method smooths the rows of the same seeded matrix with lam = 10 on a
grid normalised to unit mean spacing. The equidistant-only peers get the same
values on the grid 0, 1, …, T−1 with lam divided by (d!)², which makes their
plain differences penalise exactly what tarnwold's divided differences do.
"""

import math

import numpy as np

import data

LAM = 10.0
ITERATIONS = 3

# name -> (tarnwold function, working precision)
BATCH = {
    "solve_f64": ("whittaker_solve_f64", np.float64),
    "solve_f32": ("whittaker_solve_f32", np.float32),
    "robust_f64": ("robust_whittaker_irls_f64", np.float64),
    "robust_f32": ("robust_whittaker_irls_f32", np.float32),
}
# The robust smoother's other weightings and its Huber scale, timed where the
# selection is, each against Tukey/MAD of its precision:
# name -> (batch method, options replacing weighting="tukey", scale="mad").
ROBUST_VARIANTS = {
    f"{base}_{name}": (base, options)
    for base in ("robust_f64", "robust_f32")
    for name, options in (("huber", dict(weighting="huber")), ("cauchy", dict(weighting="cauchy")),
                          ("welsch", dict(weighting="welsch")), ("fair", dict(weighting="fair")),
                          ("hampel", dict(weighting="hampel")), ("huber_scale", dict(scale="huber")))
}
# name -> (grid the method is given, working precision)
LOOPS = {
    "scipy_f64": ("irregular", np.float64),
    "scipy_f32": ("irregular", np.float32),
    "whittaker_eilers": ("irregular", np.float64),
    "pybaselines": ("equidistant", np.float64),
    "vam": ("equidistant", np.float64),
}
# The choice of lam and the envelope, timed at S = 1e4, T = 365, d = 2, 5 % missing only:
# name -> (tarnwold_tools function, keyword arguments). Default grid, refined.
# An envelope takes at most 10 reweightings, each one solve and a comparison.
SELECTION = {
    "select_reml": ("select_lambda", dict(criterion="reml")),
    "select_gcv": ("select_lambda", dict(criterion="gcv")),
    "select_loocv": ("select_lambda", dict(criterion="loocv")),
    "select_vcurve": ("select_lambda", dict(criterion="vcurve")),
    "evaluate_hat": ("evaluate_lambda", dict(lam=LAM, return_hat=True)),
    "evaluate_plain": ("evaluate_lambda", dict(lam=LAM)),
    "evaluate_daily": ("evaluate_lambda", dict(lam=LAM, x_out="daily")),
    "evaluate_triple": ("evaluate_lambda", dict(lam=LAM, x_out="triple")),
    "envelope_given": ("envelope", dict(lam=LAM, p=0.9, iterations=10)),
    "envelope_vcurve": ("envelope", dict(lam="vcurve", p=0.9, iterations=10)),
}
# Output grids of the selection's x (days 1 to 3 apart): every day (about
# 2T positions, x among them), or 3T positions evenly spread (few on x).
OUTPUT_GRIDS = {
    "daily": lambda x: np.arange(x[0], x[-1] + 1),
    "triple": lambda x: np.linspace(x[0], x[-1], 3 * len(x)),
}
LABELS = {
    "solve_f64": "whittaker_solve_f64",
    "solve_f32": "whittaker_solve_f32",
    "robust_f64": "robust_whittaker_irls_f64 (3 it.)",
    "robust_f32": "robust_whittaker_irls_f32 (3 it.)",
    "scipy_f64": "SciPy solveh_banded loop f64",
    "scipy_f32": "SciPy solveh_banded loop f32",
    "whittaker_eilers": "whittaker-eilers loop",
    "pybaselines": "pybaselines whittaker_smooth loop (equidistant)",
    "vam": "vam.whittaker ws2d loop (equidistant, d=2)",
    "select_reml": "select_lambda REML",
    "select_gcv": "select_lambda GCV",
    "select_loocv": "select_lambda LOOCV",
    "select_vcurve": "select_lambda V-curve",
    "evaluate_hat": "evaluate_lambda with leverages",
    "evaluate_plain": "evaluate_lambda on x",
    "evaluate_daily": "evaluate_lambda on a daily x_out (~2T)",
    "evaluate_triple": "evaluate_lambda on an x_out of 3T",
    "envelope_given": "envelope p=0.9, lam given, 10 it.",
    "envelope_vcurve": "envelope p=0.9, V-curve, 10 it.",
}
LABELS.update({name: f"{LABELS[base]} {', '.join(f'{k}={v}' for k, v in options.items())}"
               for name, (base, options) in ROBUST_VARIANTS.items()})


def timed_by_batch(name):
    """Whether a method is one call of tarnwold on the whole batch."""
    return name in BATCH or name in SELECTION or name in ROBUST_VARIANTS


def dtype_of(name):
    if name in SELECTION:
        return np.float64
    if name in ROBUST_VARIANTS:
        return BATCH[ROBUST_VARIANTS[name][0]][1]
    return (BATCH.get(name) or LOOPS[name])[1]


def batch_runner(name, T, y, d, parallel):
    """A call of tarnwold on the whole of y; returns a function of no argument."""
    import tarnwold

    if name in SELECTION:
        return selection_runner(name, T, y, d, parallel)
    name, options = ROBUST_VARIANTS.get(name, (name, {}))
    fn_name, dtype = BATCH[name]
    fn = getattr(tarnwold, fn_name)
    x = data.irregular_grid(T).astype(dtype)
    if name.startswith("solve"):
        return lambda: fn(x, y, lam=LAM, d=d, parallel=parallel)
    options = {"weighting": "tukey", "scale": "mad", **options}
    return lambda: fn(x, y, lam=LAM, d=d, iterations=ITERATIONS, parallel=parallel, **options)


def selection_runner(name, T, y, d, parallel):
    """A call of select_lambda or evaluate_lambda on the whole of y; returns
    a function of no argument whose result is a tuple of its arrays."""
    import tarnwold_tools

    fn_name, options = SELECTION[name]
    fn = getattr(tarnwold_tools, fn_name)
    x = data.irregular_grid(T)
    if "x_out" in options:
        options = dict(options, x_out=OUTPUT_GRIDS[options["x_out"]](x))

    def run():
        result = fn(x, y, d=d, parallel=parallel, **options)
        return tuple(v for v in vars(result).values() if isinstance(v, np.ndarray))

    return run


def unit_mean_spacing(x):
    return (x - x[0]) / ((x[-1] - x[0]) / (len(x) - 1))


def penalty_band_lower(x, d):
    """P = DᵀD of the divided differences of order d on x, in solveh_banded's
    lower layout: ab[r, j] = P[j + r, j], shape (d + 1, T)."""
    T = len(x)
    coef = np.ones((T, 1))
    for e in range(1, d + 1):
        m = T - e
        q = np.zeros((m, e + 1))
        q[:, :e] -= coef[:m]
        q[:, 1:] += coef[1:m + 1]
        coef = q / (x[e:] - x[:m])[:, None]
    m = len(coef)
    ab = np.zeros((d + 1, T))
    for a in range(d + 1):
        for b in range(a + 1):
            ab[a - b, b:b + m] += coef[:, a] * coef[:, b]
    return ab


def scipy_loop(T, y, d, dtype):
    """The loop a user writes: one banded system W + lam·P per series."""
    from scipy.linalg import solveh_banded

    lam_p = (LAM * penalty_band_lower(unit_mean_spacing(data.irregular_grid(T)), d)).astype(dtype)

    def run(n):
        z = np.empty((n, T), dtype=dtype)
        for s in range(n):
            row = y[s]
            seen = np.isfinite(row)
            ab = lam_p.copy()
            ab[0] += seen
            rhs = np.where(seen, row, dtype(0))
            z[s] = solveh_banded(ab, rhs, lower=True, overwrite_ab=True,
                                 overwrite_b=True, check_finite=False)
        return z

    return run


def peer_loop(name, T, y, d):
    """Per-series loop over a peer package; raises ImportError or a
    NotImplementedError naming the case the peer does not support."""
    lam_plain = LAM / math.factorial(d) ** 2
    if name == "whittaker_eilers":
        from whittaker_eilers import WhittakerSmoother

        x = list(unit_mean_spacing(data.irregular_grid(T)))
        smoother = WhittakerSmoother(lmbda=LAM, order=d, data_length=T, x_input=x,
                                     weights=[1.0] * T)

        def run(n):
            z = np.empty((n, T))
            for s in range(n):
                seen = np.isfinite(y[s])
                smoother.update_weights(seen.astype(np.float64))
                z[s] = smoother.smooth(np.where(seen, y[s], 0.0))
            return z

        return run
    if name == "pybaselines":
        from pybaselines.utils import whittaker_smooth

        def run(n):
            z = np.empty((n, T))
            for s in range(n):
                seen = np.isfinite(y[s])
                z[s] = whittaker_smooth(np.where(seen, y[s], 0.0), lam=lam_plain,
                                        diff_order=d, weights=seen.astype(np.float64))
            return z

        return run
    if name == "vam":
        from vam.whittaker import ws2d

        if d != 2:
            raise NotImplementedError("second differences only")

        def run(n):
            z = np.empty((n, T))
            for s in range(n):
                seen = np.isfinite(y[s])
                z[s] = ws2d(np.where(seen, y[s], 0.0), lam_plain, seen.astype(np.float64))
            return z

        return run
    raise ValueError(name)


def reference(name, T, y, d):
    """tarnwold float64 on the problem the method solves, for an agreement check."""
    import tarnwold

    if LOOPS[name][0] == "equidistant":
        x = data.equidistant_grid(T)
    else:
        x = data.irregular_grid(T)
    return tarnwold.whittaker_solve_f64(x, np.asarray(y, dtype=np.float64), lam=LAM, d=d)
