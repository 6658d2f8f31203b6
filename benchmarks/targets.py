"""The performance targets, checked on the results of one run.

Each check returns (title, figure, verdict) with verdict "PASS", "FAIL" or
"N/A" when the run did not measure what the check needs (a --quick run, or
a method that failed).
"""

import methods

FOCUS = dict(T=365, d=2, missing=0.05)
# Series counts of the scaling and thread targets, all out of cache, at the
# focus case and at T=46.
SCALING_S = (10_000, 100_000, 1_000_000)
SCALING_T = (46, 365)


class Results:
    """Lookup of series per second and memory by case and method."""

    def __init__(self, records):
        self._by_key = {}
        for r in records:
            key = (r["S"], r["T"], r["d"], r["missing"], r["method"], r["mode"])
            self._by_key[key] = r

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


def ratio_to_scipy(res, precision, factor):
    fast = res.rate(10_000, f"solve_{precision}", "par")
    loop = res.rate(10_000, f"scipy_{precision}")
    title = f"whittaker_solve_{precision} >= {factor}x its {precision} SciPy loop (S=1e4, T=365, d=2, 5 %)"
    if fast is None or loop is None:
        return title, "not measured", "N/A"
    return title, f"{fast / loop:.1f}x", _verdict(fast / loop >= factor)


def float_lanes(res, factor=2.2):
    """A float vector holds twice the series of a double one."""
    title = f"whittaker_solve_f32 >= {factor}x whittaker_solve_f64 (S=1e4, T=365, d=2, 5 %)"
    f32, f64 = res.rate(10_000, "solve_f32", "par"), res.rate(10_000, "solve_f64", "par")
    if f32 is None or f64 is None:
        return title, "not measured", "N/A"
    return title, f"{f32 / f64:.2f}x", _verdict(f32 / f64 >= factor)


# The robust smoother's least share of the single-pass rate, by series length.
ROBUST_SHARES = {365: 0.25, 46: 0.2}


def robust_vs_single(res, precision, T=365):
    share = ROBUST_SHARES[T]
    single = res.rate(10_000, f"solve_{precision}", "par", T=T)
    robust = res.rate(10_000, f"robust_{precision}", "par", T=T)
    title = f"robust_whittaker_irls_{precision}, 3 iterations, T={T}: >= {share} of the single-pass rate"
    if single is None or robust is None:
        return title, "not measured", "N/A"
    return title, f"{robust / single:.3f} of single pass", _verdict(robust / single >= share)


def variant_share(res, variant, share=0.8):
    base = methods.ROBUST_VARIANTS[variant][0]
    title = f"{methods.LABELS[variant]} (S=1e4, T=365): >= {share} of Tukey/MAD"
    rate, tukey = res.rate(10_000, variant, "par"), res.rate(10_000, base, "par")
    if rate is None or tukey is None:
        return title, "not measured", "N/A"
    return title, f"{rate / tukey:.2f} of Tukey/MAD", _verdict(rate / tukey >= share)


def two_threads(res, method, T=365, bandwidth=None):
    """bandwidth: the copy bandwidth in GB/s with one and two threads, shown
    beside the figure, since two threads cannot beat one where both runs
    are bound by memory."""
    title = f"{method}, T={T}: two threads >= 1.8x one thread for S >= 1e4 (out of cache)"
    case = {**FOCUS, "T": T}
    pairs = [(S, res.get(S, method=method, mode="cold", **case),
              res.get(S, method=method, mode="1thr cold", **case)) for S in SCALING_S]
    pairs = [(S, two["rate"], one["rate"], two.get("others", 0.0))
             for S, two, one in pairs if two and one]
    if not pairs:
        return title, "not measured", "N/A"
    figure = ", ".join(f"S={S:.0e}: {two / one:.2f}x" for S, two, one, _ in pairs)
    busy = max(others for *_, others in pairs)
    if busy >= 0.1:
        figure += f" (other processes kept up to {busy:.1f} cores busy meanwhile)"
    if bandwidth:
        figure += f"; memory copy {bandwidth['1']} GB/s one thread, {bandwidth['2']} GB/s two"
    return title, figure, _verdict(all(two / one >= 1.8 for _, two, one, _ in pairs))


def linear_scaling(res, method, T=365):
    title = f"{method}, T={T}: series/s within 20 % of linear from S=1e4 to 1e6 (out of cache)"
    rates = [(S, res.rate(S, method, "cold", T=T)) for S in SCALING_S]
    rates = [(S, r) for S, r in rates if r]
    if len(rates) < 2:
        return title, "not measured", "N/A"
    lo, hi = min(r for _, r in rates), max(r for _, r in rates)
    span = f"S={rates[0][0]:.0e}..{rates[-1][0]:.0e}"
    note = "" if len(rates) == len(SCALING_S) else " (partial range)"
    return title, f"slowest/fastest = {lo / hi:.2f} over {span}{note}", _verdict(lo / hi >= 0.8)


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
    solve = res.rate(10_000, plain, "par")
    rate = res.rate(10_000, method, "par")
    if solve is None or rate is None:
        return title, "not measured", "N/A"
    figure = f"1/{solve / rate:.1f} ({rate:,.0f} series/s)"
    if plain != "solve_f64" and res.rate(10_000, "solve_f64", "par") is not None:
        figure += f"; 1/{res.rate(10_000, 'solve_f64', 'par') / rate:.1f} of {methods.LABELS['solve_f64']}"
    return title, figure, _verdict(rate / solve >= share)


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
