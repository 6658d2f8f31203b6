"""The performance targets, checked on the results of one run.

Each check returns (title, figure, verdict) with verdict "PASS", "FAIL" or
"N/A" when the run did not measure what the check needs (a --quick run, or
a method that failed). A ratio target is judged on the median of the
per-round ratios of a ratio job (the two sides timed alternately in one
process, alternating.py), never on rates measured apart: asking Results for
a ratio it does not hold records the pair, which is how run.py learns which
ratio jobs to run.
"""

import statistics

import methods
from alternating import spread

FOCUS = dict(T=365, d=2, missing=0.05)
# Series counts of the scaling and thread targets, all out of cache, at the
# focus case and at T=46.
SCALING_S = (10_000, 100_000, 1_000_000)
SCALING_T = (46, 365)


def side(S, method, mode=None, **case):
    """One side of a ratio: (S, T, d, missing, method, mode), at the focus case
    unless case says otherwise."""
    case = {**FOCUS, **case}
    return (S, case["T"], case["d"], case["missing"], method, mode)


class Results:
    """Lookup of series per second and memory by case and method, and of the
    per-round ratios by their pair of sides."""

    def __init__(self, records, ratios=None):
        self._by_key = {}
        for r in records:
            key = (r["S"], r["T"], r["d"], r["missing"], r["method"], r["mode"])
            self._by_key[key] = r
        self._ratios = ratios or {}
        self.wanted = []

    def ratio(self, a, b):
        """Per-round ratios of side a's rate to side b's, None (and the pair
        noted in wanted) when no ratio job measured them."""
        ratios = self._ratios.get((a, b))
        if ratios is None and (a, b) not in self.wanted:
            self.wanted.append((a, b))
        return ratios

    def get(self, S, T, d, missing, method, mode=None):
        r = self._by_key.get((S, T, d, missing, method, mode))
        return r if r is not None and "rate" in r else None

    def rate(self, S, method, mode=None, **case):
        r = self.get(S, method=method, mode=mode, **{**FOCUS, **case})
        return r["rate"] if r else None

    def records(self):
        return list(self._by_key.values())


def _verdict(ok):
    return "N/A" if ok is None else ("PASS" if ok else "FAIL")


def _median(ratios):
    return statistics.median(ratios)


def _inverse_spread(ratios):
    """'1/x (range 1/hi-1/lo)' of per-round shares below one."""
    return (f"1/{1 / _median(ratios):.1f} (range 1/{1 / max(ratios):.1f}-"
            f"1/{1 / min(ratios):.1f})")


def ratio_to_scipy(res, precision, factor):
    ratios = res.ratio(side(10_000, f"solve_{precision}", "par"), side(10_000, f"scipy_{precision}"))
    title = f"whittaker_solve_{precision} >= {factor}x its {precision} SciPy loop (S=1e4, T=365, d=2, 5 %)"
    if ratios is None:
        return title, "not measured", "N/A"
    return title, spread(ratios, 1), _verdict(_median(ratios) >= factor)


def float_lanes(res, factor=2.2):
    """A float vector holds twice the series of a double one."""
    title = f"whittaker_solve_f32 >= {factor}x whittaker_solve_f64 (S=1e4, T=365, d=2, 5 %)"
    ratios = res.ratio(side(10_000, "solve_f32", "par"), side(10_000, "solve_f64", "par"))
    if ratios is None:
        return title, "not measured", "N/A"
    return title, spread(ratios), _verdict(_median(ratios) >= factor)


# The robust smoother's least share of the single-pass rate, by series length.
ROBUST_SHARES = {365: 0.25, 46: 0.2}


def robust_vs_single(res, precision, T=365):
    share = ROBUST_SHARES[T]
    ratios = res.ratio(side(10_000, f"robust_{precision}", "par", T=T),
                       side(10_000, f"solve_{precision}", "par", T=T))
    title = f"robust_whittaker_irls_{precision}, 3 iterations, T={T}: >= {share} of the single-pass rate"
    if ratios is None:
        return title, "not measured", "N/A"
    return title, f"{spread(ratios, 3, '')} of single pass", _verdict(_median(ratios) >= share)


def variant_share(res, variant, share=0.8):
    base = methods.ROBUST_VARIANTS[variant][0]
    title = f"{methods.LABELS[variant]} (S=1e4, T=365): >= {share} of Tukey/MAD"
    ratios = res.ratio(side(10_000, variant, "par"), side(10_000, base, "par"))
    if ratios is None:
        return title, "not measured", "N/A"
    return title, f"{spread(ratios, 2, '')} of Tukey/MAD", _verdict(_median(ratios) >= share)


def two_threads(res, method, T=365, bandwidth=None):
    """bandwidth: the copy bandwidth in GB/s with one and two threads, shown
    beside the figure, since two threads cannot beat one where both runs
    are bound by memory. The one-thread side is the same call on the
    calling thread (parallel=False), timed alternately with the pool."""
    title = f"{method}, T={T}: two threads >= 1.8x one thread for S >= 1e4 (out of cache)"
    pairs = [(S, res.ratio(side(S, method, "cold", T=T), side(S, method, "1thr cold", T=T)))
             for S in SCALING_S]
    pairs = [(S, ratios) for S, ratios in pairs if ratios]
    if not pairs:
        return title, "not measured", "N/A"
    figure = ", ".join(f"S={S:.0e}: {spread(ratios)}" for S, ratios in pairs)
    busy = max(res.get(S, method=method, mode="cold", **{**FOCUS, "T": T}).get("others", 0.0)
               for S, _ in pairs)
    if busy >= 0.1:
        figure += f" (other processes kept up to {busy:.1f} cores busy while the rates were taken)"
    if bandwidth:
        figure += f"; memory copy {bandwidth['1']} GB/s one thread, {bandwidth['2']} GB/s two"
    return title, figure, _verdict(all(_median(ratios) >= 1.8 for _, ratios in pairs))


def linear_scaling(res, method, T=365):
    """Each larger batch's rate against the smallest one's, timed alternately."""
    title = f"{method}, T={T}: series/s within 20 % of linear from S=1e4 to 1e6 (out of cache)"
    smallest = side(SCALING_S[0], method, "cold", T=T)
    pairs = [(S, res.ratio(side(S, method, "cold", T=T), smallest)) for S in SCALING_S[1:]]
    pairs = [(S, ratios) for S, ratios in pairs if ratios]
    if not pairs:
        return title, "not measured", "N/A"
    medians = [1.0] + [_median(ratios) for _, ratios in pairs]
    lo_hi = min(medians) / max(medians)
    figure = ", ".join(f"S={S:.0e}: {spread(ratios)} the rate at S={SCALING_S[0]:.0e}" for S, ratios in pairs)
    note = "" if len(pairs) == len(SCALING_S) - 1 else " (partial range)"
    return title, f"slowest/fastest = {lo_hi:.2f}{note}; {figure}", _verdict(lo_hi >= 0.8)


# Per-worker scratch of a few series, the band and the pool's thread stacks
# are allowed on top of the (S,T) matrices.
MEMORY_ALLOWANCE = 0.05


def peak_memory(res, method, limit):
    """Worst peak over the cases large enough for resident memory to resolve."""
    title = (f"{method}: peak memory above inputs and outputs <= {limit} (S,T) matrix "
             f"(+{MEMORY_ALLOWANCE} for scratch)")
    worst = None
    for r in res.records():
        if r["method"] == method and r["mode"] == "par" and "mem_units" in r \
                and r["n"] * r["T"] >= 1_000_000:
            if worst is None or r["mem_units"] > worst["mem_units"]:
                worst = r
    if worst is None:
        return title, "not measured", "N/A"
    figure = (f"worst {worst['mem_units']:.3f} at S={worst['n']}, T={worst['T']}, "
              f"d={worst['d']}, {worst['missing']:.0%} missing")
    return title, figure, _verdict(worst["mem_units"] <= limit + MEMORY_ALLOWANCE)


# The choice of lam and the envelope: the least share of whittaker_solve_f64's rate.
SELECTION_SHARES = dict(select_reml=1 / 12, select_gcv=1 / 50, select_loocv=1 / 50, select_vcurve=1 / 30,
                        evaluate_hat=1 / 2.5, envelope_given=1 / 12, envelope_vcurve=1 / 150)
# Output on another grid: the least share of the rate of the same call on x
# alone (the fit on the union of x and x_out is a fit on ~3T or ~4T points).
OUTPUT_GRID_SHARES = dict(evaluate_daily=1 / 4, evaluate_triple=1 / 4)


def selection_share(res, method, share, plain="solve_f64"):
    title = f"{method} (S=1e4, T=365, d=2, 5 %, default grid) >= 1/{1 / share:g} of {methods.LABELS[plain]}"
    ratios = res.ratio(side(10_000, method, "par"), side(10_000, plain, "par"))
    rate = res.rate(10_000, method, "par")
    if ratios is None or rate is None:
        return title, "not measured", "N/A"
    figure = f"{_inverse_spread(ratios)} ({rate:,.0f} series/s)"
    if plain != "solve_f64":
        against_solve = res.ratio(side(10_000, method, "par"), side(10_000, "solve_f64", "par"))
        if against_solve is not None:
            figure += f"; {_inverse_spread(against_solve)} of {methods.LABELS['solve_f64']}"
    return title, figure, _verdict(_median(ratios) >= share)


def check_all(res, bandwidth=None):
    checks = [ratio_to_scipy(res, "f64", 40), ratio_to_scipy(res, "f32", 80), float_lanes(res)]
    checks += [robust_vs_single(res, precision, T) for T in ROBUST_SHARES for precision in ("f64", "f32")]
    checks += [variant_share(res, variant) for variant in methods.ROBUST_VARIANTS]
    for T in SCALING_T:
        for method in ("solve_f64", "solve_f32", "robust_f64", "robust_f32"):
            checks.append(two_threads(res, method, T, bandwidth))
    for T in SCALING_T:
        for method in ("solve_f64", "solve_f32", "robust_f64", "robust_f32"):
            checks.append(linear_scaling(res, method, T))
    checks += [peak_memory(res, "solve_f64", 1), peak_memory(res, "solve_f32", 1),
               peak_memory(res, "robust_f64", 2), peak_memory(res, "robust_f32", 2)]
    checks += [selection_share(res, method, share) for method, share in SELECTION_SHARES.items()]
    checks += [selection_share(res, method, share, "evaluate_plain") for method, share in OUTPUT_GRID_SHARES.items()]
    return checks
