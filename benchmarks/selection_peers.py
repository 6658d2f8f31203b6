"""The choice of lam against the peers that choose one, on identical seeded data.

    python3 benchmarks/selection_peers.py [--series 200] [--large 10000]

Every method gets the same series (data.series, placed on the equidistant
grid 0, 1, ..., T-1, d = 2; T = 365 and 46 with 5 % missing given as zero
weights, T = 365 also without gaps) and chooses a
lam per series by its own criterion; tarnwold's select_lambda runs the same
criterion with its default grid. Reported per method: series per second, and
how often its lam is within 0.1 decade of tarnwold's, after converting its
plain-difference lam to tarnwold's divided differences (x (d!)^2).

Peers: a per-series SciPy REML loop (the restricted likelihood written with
cholesky_banded and minimize_scalar on log lam over tarnwold's default grid
range; scipy.signal.whittaker_henderson is absent from the SciPy this was
written against, so it is not used),
whittaker-eilers' smooth_optimal (cross-validation) and vam.whittaker's
V-curve ws2doptv when it imports. Asymmetric weights: tarnwold_tools.envelope
at a given lam against pybaselines' asls loop, on the series without gaps
(asls recomputes every weight in each iteration, so it cannot carry zero
weights for missing points), both iterating until no weight changes. BLAS is pinned to one thread; tarnwold
uses both cores. Timings are one pass over the series (best of two for
tarnwold), taken while the rest of the machine may be busy: the table gives
the cores other processes kept busy during each measurement.
"""

import argparse
import math
import os
import time
from pathlib import Path

import numpy as np

import data

HERE = Path(__file__).resolve().parent
D = 2
# (T, share missing). Without gaps at T = 365 isolates whittaker-eilers'
# cross-validation beyond 100 points from its handling of zero weights.
CASES = ((365, 0.05), (46, 0.05), (365, 0.0))
MATCH_DECADES = 0.1
PLAIN = math.factorial(D) ** 2  # tarnwold's lam / a plain-difference lam


def busy_cpu_seconds():
    """CPU time the whole machine has spent busy since boot (all cores)."""
    with open("/proc/stat") as f:
        ticks = [int(v) for v in f.readline().split()[1:]]
    return (sum(ticks[:8]) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")


def timed(call, y):
    """(call(y), seconds, cores other processes kept busy meanwhile; NaN for
    calls too short for the kernel's 10 ms accounting ticks)."""
    busy, own, t0 = busy_cpu_seconds(), time.process_time(), time.perf_counter()
    out = call(y)
    seconds = time.perf_counter() - t0
    others = (busy_cpu_seconds() - busy - (time.process_time() - own)) / seconds
    return out, seconds, max(others, 0.0) if seconds >= 0.2 else math.nan


def plain_penalty_band(T):
    """Delta^T Delta of plain differences of order D, lower banded layout."""
    diff = np.diff(np.eye(T), D, axis=0)
    full = diff.T @ diff
    return np.array([np.concatenate([np.diagonal(full, -r), np.zeros(r)]) for r in range(D + 1)])


def tarnwold_select(criterion, peer_grid=None):
    """select_lambda on the default grid, refined; or on a peer's grid
    (plain-difference lams) without refinement, to compare the criteria
    apart from the search."""
    import tarnwold_tools

    options = {} if peer_grid is None else dict(lam_grid=peer_grid * PLAIN, refine=False)

    def run(y):
        chosen = tarnwold_tools.select_lambda(data.equidistant_grid(y.shape[1]), y, d=D,
                                              criterion=criterion, **options)
        return chosen.lam, chosen.status, chosen.grid

    return run


def plain_reml(log_lam, band, seen, yw):
    """The restricted likelihood criterion (sigma^2 profiled out, m - d
    degrees of freedom) of one series with unit weights at lam = 10^log_lam,
    up to the constant -log pdet P."""
    from scipy.linalg import cho_solve_banded, cholesky_banded

    T, m = len(yw), int(seen.sum())
    lam = 10.0 ** log_lam
    ab = lam * band
    ab[0] += seen
    factor = cholesky_banded(ab, lower=True, check_finite=False)
    z = cho_solve_banded((factor, True), yw, check_finite=False)
    q = yw @ yw - z @ yw
    return ((m - D) * (1 + math.log(2 * math.pi * q / (m - D)))
            + 2 * np.log(factor[0]).sum() - (T - D) * math.log(lam))


def scipy_reml(lam_low, lam_high):
    """Per-series REML in plain-difference units, between the given bounds.
    Written out with SciPy's banded Cholesky, which every SciPy has; the
    table notes whether this SciPy also has scipy.signal.whittaker_henderson."""
    from scipy.optimize import minimize_scalar

    def run(y):
        band = plain_penalty_band(y.shape[1])
        bounds = (math.log10(lam_low), math.log10(lam_high))
        lams = np.empty(len(y))
        for s, row in enumerate(y):
            seen = np.isfinite(row)
            found = minimize_scalar(plain_reml, args=(band, seen, np.where(seen, row, 0.0)),
                                    bounds=bounds, method="bounded", options={"xatol": 1e-3})
            lams[s] = 10.0 ** found.x
        return lams

    return run


# whittaker-eilers' smooth_optimal tries these lams (plain differences).
WHITTAKER_EILERS_GRID = 10.0 ** np.arange(-2.0, 8.01, 0.5)


def whittaker_eilers_cv():
    """Pure cross-validation (break_serial_correlation=False), the criterion
    that tarnwold's "loocv" computes."""
    from whittaker_eilers import WhittakerSmoother

    def run(y):
        T = y.shape[1]
        smoother = WhittakerSmoother(lmbda=1.0, order=D, data_length=T, weights=[1.0] * T)
        lams = np.empty(len(y))
        for s, row in enumerate(y):
            seen = np.isfinite(row)
            smoother.update_weights(seen.astype(np.float64).tolist())
            lams[s] = smoother.smooth_optimal(np.where(seen, row, 0.0).tolist(),
                                              break_serial_correlation=False).get_optimal().get_lambda()
        return lams

    return run


def vam_grid(lam_low, lam_high):
    return 10.0 ** np.arange(math.log10(lam_low), math.log10(lam_high) + 0.05, 0.1)


def vam_vcurve(lam_low, lam_high):
    from vam.whittaker import ws2doptv

    log_grid = np.log10(vam_grid(lam_low, lam_high))

    def run(y):
        lams = np.empty(len(y))
        for s, row in enumerate(y):
            seen = np.isfinite(row)
            _, lams[s] = ws2doptv(np.where(seen, row, 0.0), seen.astype(np.float64), log_grid)
        return lams

    return run


def whittaker_eilers_cv_error(y, lam_plain=10.0):
    """Median relative difference between whittaker-eilers' cross-validation
    error at one lam and the exact leave-one-out error (tarnwold's
    evaluate_lambda, square-rooted as whittaker-eilers reports it)."""
    import tarnwold_tools
    from whittaker_eilers import WhittakerSmoother

    T = y.shape[1]
    exact = np.sqrt(tarnwold_tools.evaluate_lambda(data.equidistant_grid(T), y, lam_plain * PLAIN,
                                                   d=D).loocv)
    smoother = WhittakerSmoother(lmbda=lam_plain, order=D, data_length=T, weights=[1.0] * T)
    theirs = np.empty(len(y))
    for s, row in enumerate(y):
        seen = np.isfinite(row)
        smoother.update_weights(seen.astype(np.float64).tolist())
        theirs[s] = smoother.smooth_and_cross_validate(
            np.where(seen, row, 0.0).tolist()).get_cross_validation_error()
    return float(np.median(np.abs(theirs / exact - 1)))


def solve_rate(y):
    """whittaker_solve_f64 at a fixed lam on the same series, the yardstick of
    tarnwold's own selection targets."""
    import tarnwold

    x = data.equidistant_grid(y.shape[1])
    tarnwold.whittaker_solve_f64(x, y, lam=10.0, d=D)
    return min(timed(lambda v: tarnwold.whittaker_solve_f64(x, v, lam=10.0, d=D), y)[1:]
               for _ in range(3))


def agreement(peer_lam, tarnwold_lam):
    """(share within MATCH_DECADES, median |difference| in decades, series compared)."""
    both = np.isfinite(peer_lam) & np.isfinite(tarnwold_lam)
    gap = np.abs(np.log10(peer_lam[both] * PLAIN) - np.log10(tarnwold_lam[both]))
    if gap.size == 0:
        return math.nan, math.nan, 0
    return float(np.mean(gap <= MATCH_DECADES)), float(np.median(gap)), int(gap.size)


def run_case(T, missing, n_series, n_large):
    y = data.series(n_series, T, missing, np.float64)
    rows, chosen = [], {}
    if n_large:
        seconds, others = solve_rate(data.series(n_large, T, missing, np.float64))
        rows.append(dict(method="tarnwold whittaker_solve_f64, fixed lam (yardstick)", S=n_large,
                         rate=n_large / seconds, others=others, note=""))
    for criterion in ("reml", "loocv", "vcurve"):
        select = tarnwold_select(criterion)
        best = None
        for _ in range(2):
            out, seconds, others = timed(select, y)
            if best is None or seconds < best[1]:
                best = (out, seconds, others)
        (lam, status, grid), seconds, others = best
        chosen[criterion] = lam
        at_edge = int(np.isin(status, (1, 2)).sum())
        rows.append(dict(method=f"tarnwold select_lambda {criterion}", S=n_series,
                         rate=n_series / seconds, others=others,
                         note=f"{at_edge} at a grid end" if at_edge else ""))
        if n_large:
            large = data.series(n_large, T, missing, np.float64)
            _, seconds, others = timed(select, large)
            rows.append(dict(method=f"tarnwold select_lambda {criterion}", S=n_large,
                             rate=n_large / seconds, others=others, note=""))
    low, high = grid[0] / PLAIN, grid[-1] / PLAIN
    # (label, tarnwold criterion, peer factory, the peer's lam grid or None)
    peers = [
        ("SciPy REML loop (cholesky_banded, minimize_scalar)", "reml",
         lambda: scipy_reml(low, high), None),
        ("whittaker-eilers smooth_optimal", "loocv", whittaker_eilers_cv, WHITTAKER_EILERS_GRID),
        ("vam.whittaker ws2doptv", "vcurve", lambda: vam_vcurve(low, high), vam_grid(low, high)),
    ]
    for label, criterion, build, peer_grid in peers:
        try:
            run = build()
        except (ImportError, NotImplementedError) as e:
            rows.append(dict(method=label, S=n_series, skipped=f"{type(e).__name__}: {e}"))
            continue
        run(y[:2])
        lam, seconds, others = timed(run, y)
        row = dict(method=label, S=n_series, rate=n_series / seconds, others=others,
                   criterion=criterion, note="")
        row["share"], row["median_gap"], row["compared"] = agreement(lam, chosen[criterion])
        if peer_grid is not None:
            on_grid = tarnwold_select(criterion, peer_grid)(y)[0]
            row["share_on_grid"] = agreement(lam, on_grid)[0]
        if label.startswith("whittaker-eilers"):
            row["note"] = (f"its CV error at lam 10 vs exact LOOCV: median relative gap "
                           f"{whittaker_eilers_cv_error(y[:20]):.1e}")
        rows.append(row)
    return rows


# asls: a baseline (p small) at a given plain-difference lam, iterated until
# no weight changes (a relative weight change below 1e-15) or 50 fits.
ASLS_P = 0.01
ASLS_LAM = 1e3
ASLS_ITERATIONS = 50


def tarnwold_envelope(y):
    import tarnwold_tools

    out = tarnwold_tools.envelope(data.equidistant_grid(y.shape[1]), y, p=ASLS_P, lam=ASLS_LAM * PLAIN, d=D,
                                  iterations=ASLS_ITERATIONS)
    return out.z, out.weights


def asls_loop(y):
    from pybaselines.whittaker import asls

    z, weights = np.empty_like(y), np.empty_like(y)
    for s, row in enumerate(y):
        z[s], params = asls(row, lam=ASLS_LAM, p=ASLS_P, diff_order=D, max_iter=ASLS_ITERATIONS, tol=1e-15)
        weights[s] = params["weights"]
    return z, weights


def envelope_rows(n_series, n_large):
    """The envelope against pybaselines' asls on the series without gaps:
    rates, and how closely the baselines agree."""
    T = 365
    y = data.series(n_series, T, 0.0, np.float64)
    rows = []
    if n_large:
        seconds, others = solve_rate(data.series(n_large, T, 0.0, np.float64))
        rows.append(dict(method="tarnwold whittaker_solve_f64, fixed lam (yardstick)", S=n_large,
                         rate=n_large / seconds, others=others, note=""))
        large = data.series(n_large, T, 0.0, np.float64)
        tarnwold_envelope(large[:64])
        _, seconds, others = timed(tarnwold_envelope, large)
        rows.append(dict(method="tarnwold envelope", S=n_large, rate=n_large / seconds, others=others, note=""))
    (z, weights), seconds, others = timed(tarnwold_envelope, y)
    rows.append(dict(method="tarnwold envelope", S=n_series, rate=n_series / seconds, others=others, note=""))
    try:
        asls_loop(y[:2])
    except ImportError as e:
        rows.append(dict(method="pybaselines asls loop", S=n_series, skipped=f"{type(e).__name__}: {e}"))
        return rows
    (z_peer, weights_peer), seconds, others = timed(asls_loop, y)
    gap = np.max(np.abs(z - z_peer), axis=1) / np.max(np.abs(y), axis=1)
    same = np.all(weights == weights_peer, axis=1)
    rows.append(dict(method="pybaselines asls loop", S=n_series, rate=n_series / seconds, others=others,
                     note=f"same final weights in {same.mean():.0%} of series; baseline gap / max|y|: "
                          f"median {np.median(gap):.1e}, max {gap.max():.1e}"))
    return rows


NOTES = [
    "",
    "- tarnwold: select_lambda with its default grid (0.5 decade apart from the lam halving a "
    "2-sample wave to the one halving a 2T-sample wave) and refinement, both cores.",
    "- SciPy REML loop: the same restricted likelihood (m - d degrees of freedom), Brent's bounded "
    "search on log lam over tarnwold's grid range, one cholesky_banded + cho_solve_banded per "
    "evaluation; BLAS pinned to one thread.",
    "- whittaker-eilers: smooth_optimal with break_serial_correlation=False (pure cross-validation), "
    "which tries lam = 1e-2 .. 1e8 in 0.5 decade steps without refinement, so its lam can match a "
    "refined one only by chance; the column *on the peer's grid* compares it with tarnwold's LOOCV "
    "on that same grid. The note compares its cross-validation error with the exact leave-one-out "
    "error at one lam: exact up to 100 points, an approximation beyond.",
    "- vam.whittaker: ws2doptv over 0.1 decade steps of tarnwold's grid range, when it imports.",
]
ENVELOPE_NOTES = [
    "",
    f"Asymmetric least squares: p = {ASLS_P}, plain-difference lam {ASLS_LAM:g} (tarnwold's lam x "
    f"{PLAIN}), d = {D}, T = 365 without gaps, at most {ASLS_ITERATIONS} fits, until no weight "
    "changes; tarnwold_tools.envelope on both cores, pybaselines.whittaker.asls one series at a time.",
]


def markdown(results, meta):
    lines = [
        "# Choosing lam: tarnwold against the peers",
        "",
        f"Seeded series (benchmarks/data.py) on the grid 0..T-1, d = {D}, missing points given as "
        "zero weights. *Same lam* is the share of series whose lam lies within "
        f"{MATCH_DECADES} decade of tarnwold's with the same criterion, after x (d!)^2 = {PLAIN}. "
        "*Others* is the cores other processes kept busy during the measurement (of 2).",
        "",
        f"Versions: {meta}",
        "",
        "| T | missing | method | S | series/s | same lam as tarnwold | median gap (decades) "
        "| same lam, tarnwold on the peer's grid | others | note |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for (T, missing), rows in results.items():
        case = f"| {T} | {missing:.0%} | "
        for r in rows:
            if "skipped" in r:
                lines.append(case + f"{r['method']} | | n/a | | | | | {r['skipped']} |")
                continue
            same = (f"{r['share']:.0%} of {r['compared']} (vs {r['criterion']})"
                    if "share" in r else "")
            gap = f"{r['median_gap']:.2f}" if "median_gap" in r else ""
            on_grid = f"{r['share_on_grid']:.0%}" if "share_on_grid" in r else ""
            lines.append(case + f"{r['method']} | {r['S']} | {r['rate']:.4g} | {same} | {gap} | "
                         f"{on_grid} | {r['others']:.2f} | {r['note']} |".replace("| nan |", "| – |"))
    return "\n".join(lines + NOTES) + "\n"


def envelope_markdown(rows):
    lines = ["", "## Asymmetric weights: envelope against pybaselines' asls", "",
             "| method | S | series/s | others | note |", "|---|---|---|---|---|"]
    for r in rows:
        if "skipped" in r:
            lines.append(f"| {r['method']} | {r['S']} | n/a | | {r['skipped']} |")
            continue
        lines.append(f"| {r['method']} | {r['S']} | {r['rate']:.4g} | {r['others']:.2f} | {r['note']} |"
                     .replace("| nan |", "| – |"))
    return "\n".join(lines + ENVELOPE_NOTES) + "\n"


def versions():
    import importlib.metadata as md

    found = []
    for dist in ("tarnwold", "numpy", "scipy", "whittaker-eilers", "vam.whittaker", "pybaselines"):
        try:
            found.append(f"{dist} {md.version(dist)}")
        except md.PackageNotFoundError:
            found.append(f"{dist} not installed")
    import scipy.signal

    has = hasattr(scipy.signal, "whittaker_henderson")
    found.append(f"scipy.signal.whittaker_henderson {'present (not used)' if has else 'absent'}")
    return ", ".join(found)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200, help="series per method (default 200)")
    parser.add_argument("--large", type=int, default=10_000,
                        help="series for tarnwold's own rate (default 1e4, 0 to skip)")
    parser.add_argument("--out", type=Path, default=HERE / "results" / "selection_peers.md")
    args = parser.parse_args()
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=1):
        results = {(T, missing): run_case(T, missing, args.series, args.large if missing else 0)
                   for T, missing in CASES}
        envelopes = envelope_rows(args.series, args.large)
    text = markdown(results, versions()) + envelope_markdown(envelopes)
    args.out.write_text(text)
    print(text)
    print("wrote", args.out)


if __name__ == "__main__":
    main()
