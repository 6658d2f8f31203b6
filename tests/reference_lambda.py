"""Dense NumPy reference of the choice of lam: explicit inverse, literal
leave-one-out refits, finite differences, for short grids only.

The model is A z = W y with A = W + lam P + ridge I and P = D^T D, D the
divided differences of order d on the normalised grid (as reference.py
builds them), W the working weights.
"""

import math

import numpy as np

import reference

CRITERIA = ("reml", "gcv", "loocv", "vcurve")
STATUS = dict(ok=0, at_lower=1, at_upper=2, flat=3, too_few=4, empty=5)


def difference_matrix(x, d, normalize="mean", eps=1e-10):
    """Dense D, (T - d, T), on the grid normalised as the solvers do."""
    x = np.asarray(x, dtype=np.float64)
    grid = x.copy() if normalize is None else reference.normalize_grid(x, normalize)
    rows = reference._difference_rows(grid, d, np.float64(eps))
    D = np.zeros((len(rows), len(x)))
    for r, row in enumerate(rows):
        D[r, r : r + d + 1] = row
    return D


def union_difference_matrix(x, union, d, normalize="mean", eps=1e-10):
    """Dense D on the union of x and an output grid within x's range ("mean"
    or None): x's shift and scale, and each row weighted by the length it
    spans over the length of the x intervals its own intervals lie in."""
    x, union = np.asarray(x, dtype=np.float64), np.asarray(union, dtype=np.float64)
    shift, scale = (0.0, 1.0) if normalize is None else (x[0], (x[-1] - x[0]) / (len(x) - 1))
    grid = (union - shift) / scale
    own = np.diff(grid)
    covering = np.diff(x)[np.searchsorted(x, union[:-1], side="right") - 1] / scale
    rows = reference._difference_rows(grid, d, np.float64(eps))
    D = np.zeros((len(rows), len(union)))
    for r, row in enumerate(rows):
        D[r, r : r + d + 1] = np.asarray(row) * math.sqrt(own[r : r + d].sum() / covering[r : r + d].sum())
    return D


def output_union(x, x_out, d):
    """The union the fit at x_out is formed on, and the (len(x_out), len(union))
    matrix that reads x_out from it. An x_out position joins the union when it
    lies at least 1e-4 of x's mean spacing from every x position and from the
    output positions that joined before it, and 10^(-3 / d) of it from the last
    of those; any other is read by the polynomial of degree d through the
    d + 1 union points around it: the ends of its interval and, one at a time,
    the nearer next point on either side (left on a tie). An x_out position
    beyond x's range never joins: it is read by the polynomial of degree
    d - 1 through the union's first (last) d points."""
    x, x_out = np.asarray(x, dtype=np.float64), np.asarray(x_out, dtype=np.float64)
    h = (x[-1] - x[0]) / (len(x) - 1)
    kept = []
    for t in x_out[(x_out >= x[0]) & (x_out <= x[-1])]:
        near = np.abs(np.concatenate([x, kept]) - t).min() < 1e-4 * h
        if t not in x and not near and (not kept or t - kept[-1] >= 10.0 ** (-3.0 / d) * h):
            kept.append(t)
    union = np.union1d(x, kept)
    read = np.zeros((len(x_out), len(union)))
    for j, t in enumerate(x_out):
        if t in union:
            read[j, np.searchsorted(union, t)] = 1.0
            continue
        if t < x[0] or t > x[-1]:
            a, b = (0, d - 1) if t < x[0] else (len(union) - d, len(union) - 1)
        else:
            left = np.searchsorted(union, t) - 1
            a, b = left, left + 1
            for _ in range(d - 1):
                if a > 0 and (b + 1 == len(union) or union[left] - union[a - 1] <= union[b + 1] - union[left + 1]):
                    a -= 1
                else:
                    b += 1
        points = union[a : b + 1]
        for k, p in enumerate(points):
            others = np.delete(points, k)
            read[j, a + k] = np.prod((t - others) / (p - others))
    return union, read


def beyond_spread(x, x_out, d, normalize="mean"):
    """Per output position, the penalty's variance about the continued
    polynomial beyond x's range, in units of sigma2 / lam: that of the d-fold
    integral of white noise of intensity (d!)^2 over the normalised distance
    delta, (d!)^2 delta^(2d - 1) / ((2d - 1) ((d - 1)!)^2); 0 within it."""
    x, x_out = np.asarray(x, dtype=np.float64), np.asarray(x_out, dtype=np.float64)
    scale = 1.0 if normalize is None else (x[-1] - x[0]) / (len(x) - 1)
    delta = np.maximum(np.maximum(x[0] - x_out, x_out - x[-1]), 0.0) / scale
    return math.factorial(d) ** 2 * delta ** (2 * d - 1) / ((2 * d - 1) * math.factorial(d - 1) ** 2)


def on_union(x, union, y, w_base=None):
    """A series and its base weights spread onto the union: NaN where x has
    no position."""
    at = np.searchsorted(union, x)
    values = np.full(len(union), np.nan)
    values[at] = y
    if w_base is None:
        return values, None
    weights = np.zeros(len(union))
    weights[at] = w_base
    return values, weights


def working_inputs(y, w_base=None):
    """Working weights and values of one series: missing points get weight 0."""
    y = np.asarray(y, dtype=np.float64)
    w = np.ones_like(y) if w_base is None else np.asarray(w_base, dtype=np.float64).copy()
    w = np.where(np.isfinite(y), w, 0.0)
    return w, np.where(w > 0, y, 0.0)


def default_ridge(d, w):
    """The ridge when none is given, from the working weights w on x: none
    where the system is positive definite without one (at least d
    observations) and the series is observed at both ends of x, 1e-10
    elsewhere."""
    return 0.0 if np.sum(w > 0) >= d and w[0] > 0 and w[-1] > 0 else 1e-10


def fit(D, w, y, lam, ridge=None):
    ridge = default_ridge(D.shape[1] - D.shape[0], w) if ridge is None else ridge
    A = np.diag(w) + lam * D.T @ D + ridge * np.eye(len(w))
    return A, np.linalg.solve(A, w * y)


def evaluate(D, w, y, lam, ridge=None, gamma=1.0, literal=False):
    """Every quantity at one lam. With literal=True, LOOCV by refitting
    without each point and the leverages by finite differences in y."""
    T, d = len(w), D.shape[1] - D.shape[0]
    ridge = default_ridge(D.shape[1] - D.shape[0], w) if ridge is None else ridge
    A, z = fit(D, w, y, lam, ridge)
    Sigma = np.linalg.inv(A)
    obs = w > 0
    m = int(obs.sum())
    if literal:
        hat = np.zeros(T)
        for i in np.flatnonzero(obs):
            bumped = y.copy()
            bumped[i] += 1.0
            hat[i] = fit(D, w, bumped, lam, ridge)[1][i] - z[i]
        errors = []
        for i in np.flatnonzero(obs):
            without = w.copy()
            without[i] = 0
            errors.append(y[i] - fit(D, without, y, lam, ridge)[1][i])
        loocv = np.sum(w[obs] * np.square(errors)) / w[obs].sum()
    else:
        hat = np.where(obs, w * np.diag(Sigma), 0.0)
        loocv = np.sum(w[obs] * ((y - z)[obs] / (1 - hat[obs])) ** 2) / w[obs].sum()
    edf = hat.sum()
    rss = np.sum(w[obs] * (y - z)[obs] ** 2)
    roughness = np.sum((D @ z) ** 2)
    Q = rss + lam * roughness + ridge * z @ z
    denominator = m - gamma * edf
    gcv = m * rss / denominator**2 if denominator > 0 else math.inf
    terms = [
        (m - d) * (1 + math.log(2 * math.pi * Q / (m - d))),
        np.linalg.slogdet(A)[1],
        -(T - d) * math.log(lam),
        -np.linalg.slogdet(D @ D.T)[1],
        -np.sum(np.log(w[obs])),
    ]
    return dict(z=z, hat=hat, edf=edf, rss=rss, roughness=roughness, Q=Q, gcv=gcv, loocv=loocv,
                reml=sum(terms), reml_scale=sum(abs(t) for t in terms), Sigma=Sigma, m=m)


def vcurve_speed(D, w, y, lam, ridge=None):
    """lam * |d(log RSS, log roughness)/dlam|, with dz/dlam = -Sigma P z."""
    e = evaluate(D, w, y, lam, ridge)
    dz = -e["Sigma"] @ (D.T @ (D @ e["z"]))
    psi_rate = -2 * np.sum(w * (y - e["z"]) * dz)
    phi_rate = 2 * (D @ e["z"]) @ (D @ dz)
    return lam * math.hypot(psi_rate / e["rss"], phi_rate / e["roughness"])


# The widest step of each criterion's default grid, in decades: REML's slope
# tells where between two points its minimum lies.
GRID_DECADES = {"reml": 1.0, "gcv": 0.5, "loocv": 0.5, "vcurve": 0.5}


def default_grid(x, d, normalize, name):
    """The grid for weight 1: lam(p) = (d!)^2 (p / 2 pi)^(2d) from p = 2 to 2T,
    at most GRID_DECADES[name] apart."""
    T = len(x)
    halving = lambda p: math.log10(math.factorial(d) ** 2 * (p / (2 * math.pi)) ** (2 * d))  # noqa: E731
    low, high = halving(2), halving(2 * T)
    grid = np.logspace(low, high, max(3, math.ceil((high - low) / GRID_DECADES[name]) + 1))
    if normalize not in ("mean", "median"):  # positions kept in their own units
        grid *= ((x[-1] - x[0]) / (T - 1)) ** (2 * d)
    return grid


def criterion(D, w, y, lam, name, ridge=None, gamma=1.0):
    if name == "vcurve":
        return vcurve_speed(D, w, y, lam, ridge)
    return evaluate(D, w, y, lam, ridge, gamma)[name]


def grid_scores(D, w, y, grid, name, ridge=None, gamma=1.0):
    """The criterion on the grid and whether cond(A) <= 1e7 there (beyond,
    any two computations differ by about cond(A) * 1e-16); for the V-curve,
    the difference quotients on its geometric mid-points, and those."""
    e = [evaluate(D, w, y, lam, ridge, gamma) for lam in grid]
    conditioned = np.array([np.linalg.cond(np.linalg.inv(v["Sigma"])) <= 1e7 for v in e])
    if name != "vcurve":
        return grid, np.array([v[name] for v in e]), conditioned
    psi = np.log([v["rss"] for v in e])
    phi = np.log([v["roughness"] for v in e])
    speed = np.hypot(np.diff(psi), np.diff(phi)) / np.diff(np.log(grid))
    return np.sqrt(grid[1:] * grid[:-1]), speed, conditioned[1:] & conditioned[:-1]


def grid_choice(scores):
    """(index, status) of the grid minimum: ties within 1e-12 to the largest
    lam, a flat criterion to the last point, at_lower / at_upper at an end."""
    f = np.where(np.isnan(scores), np.inf, scores)
    low, high = f.min(), f.max()
    if not (high - low > 1e-10 * abs(low)):
        return len(f) - 1, STATUS["flat"]
    best = int(np.flatnonzero(f <= low + 1e-12 * abs(low))[-1])
    status = STATUS["at_lower"] if best == 0 else STATUS["at_upper"] if best == len(f) - 1 else STATUS["ok"]
    return best, status


def refined_optimum(D, w, y, points, best, name, ridge=None, gamma=1.0, samples=801):
    """The lowest criterion on a fine log scan between the neighbours of
    grid point `best` (from an end to its neighbour): (lam, value, whether
    the end itself is lowest)."""
    low, high = max(best - 1, 0), min(best + 1, len(points) - 1)
    lams = np.geomspace(points[low], points[high], samples)
    values = [criterion(D, w, y, lam, name, ridge, gamma) for lam in lams]
    j = int(np.nanargmin(values))
    return lams[j], values[j], lams[j] == points[best]


def choice(D, w, y, points, scores, name, ridge=1e-10, gamma=1.0):
    """(index, status, refined lam, its value) of the choice: the grid
    minimum, refined unless flat; an end keeps its status only when the
    scan towards its neighbour finds nothing lower than the end itself."""
    best, status = grid_choice(scores)
    if status == STATUS["flat"]:
        return best, status, None, None
    lam, value, at_best = refined_optimum(D, w, y, points, best, name, ridge, gamma)
    return best, status if at_best else STATUS["ok"], lam, value


def envelope(D, w, y, lam, p, iterations, tol=0.0, ridge=None):
    """The asymmetric reweighting with explicit solves: (z, weights, reweightings)."""
    ridge = default_ridge(D.shape[1] - D.shape[0], w) if ridge is None else ridge
    z = fit(D, w, y, lam, ridge)[1]
    obs = w > 0
    above = obs & (y > z)
    weights, taken = w, 0
    while taken < iterations:
        weights = np.where(obs, w * np.where(above, p, 1 - p), w)
        z = fit(D, weights, y, lam, ridge)[1]
        taken += 1
        sides = obs & (y > z)
        changed = int(np.sum(sides != above))
        above = sides
        if changed <= tol * obs.sum():
            break
    return z, weights, taken


def robust_choice(D, w, y, grid, name, ridge, samples):
    """(lam, status) of a choice on the weights w: the grid minimum, refined
    by a log scan of `samples` points towards its neighbours."""
    points, scores, _ = grid_scores(D, w, y, grid, name, ridge)
    best, status = grid_choice(scores)
    if status == STATUS["flat"]:
        return grid[-1], status
    lam, _, at_best = refined_optimum(D, w, y, points, best, name, ridge, samples=samples)
    return lam, status if at_best else STATUS["ok"]


def robust(x, y, w_base, name, d=2, normalize="mean", iterations=4, weighting="tukey", scale="mad", tuning=None,
           tol=0.0, ridge=0.0, eps=1e-10, samples=201):
    """The loop of tarnwold_tools.robust with a criterion on one series, with
    explicit inverses and every choice on the whole grid: (z, weights, lam,
    status, passes). A pass chooses lam on the total weights and fits; the
    next weights are those of the leverage-adjusted residuals of every
    observed point over their MAD (or Huber) scale, the first ones from a
    fit at 0.3 times the first choice, and before the last choice
    reweighted once more from a fit at the same lam."""
    import reference_robust

    D = difference_matrix(x, d, normalize, eps)
    base, ys = working_inputs(y, w_base)
    observed = base > 0
    if not observed.any():
        return np.full(len(ys), np.nan), base, math.nan, STATUS["empty"], 0
    weighting = reference_robust.parse_weighting(weighting)
    tuning = reference_robust.default_tuning(weighting, np.float64) if tuning is None else tuning
    estimate = reference_robust.huber_scale if scale == "huber" else reference_robust.mad_scale

    def reweighted(e):
        r = np.where(observed, (ys - e["z"]) / np.sqrt(np.maximum(1 - e["hat"], 1e-12)), np.nan)
        s = estimate(list(r), list(observed), np.float64(eps))
        return np.array([reference_robust.robust_weight(weighting, tuning, np.float64(v / s)) if o else 0.0
                         for v, o in zip(r, observed)])  # fmt: skip

    w, robust_weights, passes = base, observed.astype(float), 0
    while True:
        grid = default_grid(x, d, normalize, name) * w[w > 0].mean()
        if (w > 0).sum() <= d + 1:
            return fit(D, w, ys, math.sqrt(grid[0] * grid[-1]), ridge)[1], w, math.nan, STATUS["too_few"], 1
        lam, status = robust_choice(D, w, ys, grid, name, ridge, samples)
        passes += 1
        e = evaluate(D, w, ys, lam, ridge)
        if passes == iterations:
            return e["z"], w, lam, status, passes

        # The first reweighting from a fit at 0.3 times the first choice;
        # before the last choice, one more from a fit at the same lam with the
        # new weights.
        at = lam * 0.3 if passes == 1 else lam
        following = reweighted(evaluate(D, w, ys, at, ridge) if passes == 1 else e)
        if (base * following > 0).sum() <= d + 1 or np.all(np.abs(following - robust_weights) <= tol):
            return e["z"], w, lam, status, passes
        w, robust_weights = base * following, following
        if passes + 1 == iterations:
            following = reweighted(evaluate(D, w, ys, at, ridge))
            if (base * following > 0).sum() > d + 1:
                w, robust_weights = base * following, following
