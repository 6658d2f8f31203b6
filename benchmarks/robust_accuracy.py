"""Accuracy of tarnwold_tools.robust against the truth, on two seeded sets.

(a) a year of irregular overpasses (T = 73, 3 to 7 days apart): double-logistic
seasons varying by pixel (base 0.1-0.25, amplitude 0.3-0.6, green-up at day
90-150 over 8-18 days, senescence at day 220-300 over 8-22 days), noise 0.02,
20 % of points pulled down by 0.1-0.4, 2 % spiked up by 0.1-0.3, a gap of 2-6
weeks in half the series; (b) smooth curves, two waves of 0.5-5 cycles over
the series with amplitudes up to 1, with Student-t (2 dof) noise of scale
0.12, T = 200. These reproduce the magnitudes of the accuracy requirement
(truth-chosen lam about 0.030 and plain REML about 0.061 on (a), about 0.051
and 0.098 on (b)).

For each set: the RMSE against the truth of robust() per criterion, of the
module's robust smoother at the single lam that is best against the truth
(found with the truth, which no user has), once with as many passes as
robust() makes choices (Tukey, MAD) and once with the module's default of a
single pass (a plain fit), and of plain select_lambda.

--sweep runs the same report over variants of both recipes (slower and
sharper seasons, more gaps, other curve families and noise scales), to show
how the ratios depend on the data.

    python benchmarks/robust_accuracy.py [--series 2000] [--seeds 7] [--sweep]
"""

import argparse

import numpy as np

import tarnwold
import tarnwold_tools as tt

CRITERIA = ("reml", "gcv", "loocv", "vcurve")


def overpasses(S, rng, rise=(8, 18), fall=(8, 22), gapped=0.5):
    """(x, y, truth) of set (a)."""
    x = np.cumsum(rng.integers(3, 8, 73)).astype(float)
    x -= x[0]
    base = rng.uniform(0.1, 0.25, (S, 1))
    amp = rng.uniform(0.3, 0.6, (S, 1))
    up, down = rng.uniform(90, 150, (S, 1)), rng.uniform(220, 300, (S, 1))
    rising, falling = rng.uniform(*rise, (S, 1)), rng.uniform(*fall, (S, 1))
    truth = base + amp * (1 / (1 + np.exp(-(x - up) / rising)) - 1 / (1 + np.exp(-(x - down) / falling)))
    y = truth + rng.normal(0, 0.02, truth.shape)
    low = rng.random(y.shape) < 0.20
    y[low] -= rng.uniform(0.1, 0.4, int(low.sum()))
    spike = ~low & (rng.random(y.shape) < 0.02)
    y[spike] += rng.uniform(0.1, 0.3, int(spike.sum()))
    for s in np.flatnonzero(rng.random(S) < gapped):
        start = rng.uniform(x[0], x[-1])
        y[s, (x >= start) & (x < start + rng.uniform(14, 42))] = np.nan
    return x, y, truth


def waves(S, rng, count=2, cycles=(0.5, 5.0), scale=0.12):
    """(x, y, truth) of set (b): `count` sines of random frequency."""
    x = np.arange(200, dtype=float)
    truth = np.zeros((S, 200))
    for _ in range(count):
        frequency = rng.uniform(*cycles, (S, 1)) / 200
        truth += rng.uniform(-1, 1, (S, 1)) * np.sin(2 * np.pi * frequency * x + rng.uniform(0, 2 * np.pi, (S, 1)))
    return x, truth + scale * rng.standard_t(2, truth.shape), truth


def harmonics(S, rng, scale=0.15):
    """(x, y, truth) of the first three harmonics over the series, amplitude
    up to 1 / k, with Student-t (2 dof) noise."""
    x = np.arange(200, dtype=float)
    truth = np.zeros((S, 200))
    for k in range(1, 4):
        truth += rng.uniform(-1, 1, (S, 1)) / k * np.sin(2 * np.pi * k * x / 200 + rng.uniform(0, 2 * np.pi, (S, 1)))
    return x, truth + scale * rng.standard_t(2, truth.shape), truth


SETS = {"(a) overpasses": (overpasses, {}), "(b) Student-t noise": (waves, {})}

SWEEP = {
    "(a) seasons over 5-15 / 5-20 days": (overpasses, dict(rise=(5, 15), fall=(5, 20))),
    "(a) seasons over 3-10 / 3-12 days": (overpasses, dict(rise=(3, 10), fall=(3, 12))),
    "(a) seasons over 10-20 / 10-25 days": (overpasses, dict(rise=(10, 20), fall=(10, 25))),
    "(a) a gap in every series": (overpasses, dict(gapped=1.0)),
    "(b) waves, noise 0.05": (waves, dict(scale=0.05)),
    "(b) three waves of up to 6 cycles": (waves, dict(count=3, cycles=(0.5, 6.0), scale=0.1)),
    "(b) harmonics 1-3, noise 0.05": (harmonics, dict(scale=0.05)),
    "(b) harmonics 1-3, noise 0.15": (harmonics, dict(scale=0.15)),
}


def rmse(z, truth):
    return float(np.sqrt(np.mean((z - truth) ** 2)))


def best_fixed(x, y, truth, iterations):
    """The module's robust smoother at the single lam best against the truth:
    a scan of 0.1 decade, refined to 0.01 decade around its minimum."""
    def error(lam):
        return rmse(tarnwold.robust_whittaker_irls_f64(x, y, lam=lam, iterations=iterations, merge_x_tol=None), truth)

    coarse = 10.0 ** np.arange(-2, 8.01, 0.1)
    errors = [error(lam) for lam in coarse]
    centre = np.log10(coarse[int(np.argmin(errors))])
    fine = 10.0 ** np.arange(centre - 0.1, centre + 0.1001, 0.01)
    errors = [error(lam) for lam in fine]
    j = int(np.argmin(errors))
    return fine[j], errors[j]


def report(name, x, y, truth, iterations):
    lam, fixed = best_fixed(x, y, truth, iterations)
    lam_1, fixed_1 = best_fixed(x, y, truth, 1)
    plain = rmse(tt.select_lambda(x, y, criterion="reml").z, truth)
    print(f"\n{name}: S = {y.shape[0]}, T = {y.shape[1]}")
    print(f"  module robust smoother at the truth's best lam, {iterations} passes ({lam:.3g}): {fixed:.4f}")
    print(f"  module robust smoother at the truth's best lam, 1 pass ({lam_1:.3g}): {fixed_1:.4f}")
    print(f"  plain select_lambda(reml): {plain:.4f}")
    print(f"  | criterion | robust RMSE | / truth-chosen, {iterations} passes | / truth-chosen, 1 pass | / plain REML |")
    print("  | --- | --- | --- | --- | --- |")
    for criterion in CRITERIA:
        error = rmse(tt.robust(x, y, lam=criterion, iterations=iterations).z, truth)
        print(f"  | {criterion} | {error:.4f} | {error / fixed:.3f} | {error / fixed_1:.3f} | {error / plain:.3f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=2000)
    parser.add_argument("--seeds", type=int, nargs="+", default=[7])
    parser.add_argument("--iterations", type=int, default=4)
    parser.add_argument("--sweep", action="store_true", help="the variants of both recipes instead")
    args = parser.parse_args()
    for seed in args.seeds:
        rng = np.random.default_rng(seed)
        for name, (make, options) in (SWEEP if args.sweep else SETS).items():
            report(f"{name}, seed {seed}", *make(args.series, rng, **options), args.iterations)


if __name__ == "__main__":
    main()
