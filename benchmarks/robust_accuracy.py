"""Accuracy of tarnwold_tools.robust against the truth, on two seeded sets.

(a) a year of irregular overpasses (T about 73): double-logistic seasons
varying by pixel, noise 0.02, 20 % of points pulled down by 0.1-0.4, 2 %
spiked up by 0.1-0.3, gaps of 2-6 weeks; (b) smooth curves with Student-t
(2 dof) noise, T = 200. For each: the RMSE against the truth of robust() per
criterion, of the module's robust smoother at the single lam that is best
against the truth (found with the truth, which no user has; same passes and
weighting), and of plain select_lambda.

    python benchmarks/robust_accuracy.py [--series 2000] [--seed 7]
"""

import argparse

import numpy as np

import tarnwold
import tarnwold_tools as tt

CRITERIA = ("reml", "gcv", "loocv", "vcurve")


def overpasses(S, rng):
    """(x, y, truth) of set (a)."""
    x = np.cumsum(rng.integers(3, 8, 73)).astype(float)
    x -= x[0]
    base = rng.uniform(0.1, 0.25, (S, 1))
    amp = rng.uniform(0.3, 0.6, (S, 1))
    up, down = rng.uniform(90, 150, (S, 1)), rng.uniform(220, 300, (S, 1))
    rise, fall = rng.uniform(5, 15, (S, 1)), rng.uniform(5, 20, (S, 1))
    truth = base + amp * (1 / (1 + np.exp(-(x - up) / rise)) - 1 / (1 + np.exp(-(x - down) / fall)))
    y = truth + rng.normal(0, 0.02, truth.shape)
    low = rng.random(y.shape) < 0.20
    y[low] -= rng.uniform(0.1, 0.4, int(low.sum()))
    spike = ~low & (rng.random(y.shape) < 0.02)
    y[spike] += rng.uniform(0.1, 0.3, int(spike.sum()))
    for s in np.flatnonzero(rng.random(S) < 0.5):
        start = rng.uniform(x[0], x[-1])
        y[s, (x >= start) & (x < start + rng.uniform(14, 42))] = np.nan
    return x, y, truth


def heavy_tails(S, rng):
    """(x, y, truth) of set (b)."""
    x = np.arange(200, dtype=float)
    truth = np.zeros((S, 200))
    for k in range(1, 4):
        truth += rng.uniform(-1, 1, (S, 1)) / k * np.sin(2 * np.pi * k * x / 200 + rng.uniform(0, 2 * np.pi, (S, 1)))
    y = truth + 0.05 * rng.standard_t(2, truth.shape)
    return x, y, truth


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
    plain = rmse(tt.select_lambda(x, y, criterion="reml").z, truth)
    print(f"\n{name}: S = {y.shape[0]}, T = {y.shape[1]}")
    print(f"  module robust smoother at the truth's best lam ({lam:.3g}): {fixed:.4f}")
    print(f"  plain select_lambda(reml): {plain:.4f}")
    print("  | criterion | robust RMSE | / truth-chosen | / plain REML |")
    print("  | --- | --- | --- | --- |")
    for criterion in CRITERIA:
        error = rmse(tt.robust(x, y, lam=criterion, iterations=iterations).z, truth)
        print(f"  | {criterion} | {error:.4f} | {error / fixed:.3f} | {error / plain:.3f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--iterations", type=int, default=4)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    report("(a) overpasses", *overpasses(args.series, rng), args.iterations)
    report("(b) Student-t noise", *heavy_tails(args.series, rng), args.iterations)


if __name__ == "__main__":
    main()
