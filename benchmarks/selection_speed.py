"""Speed of tarnwold_tools.select_lambda against the plain solve of the same
series in the same run.

    python benchmarks/selection_speed.py [--series 10000] [--rounds 7] [--criteria reml gcv]

Series from data.series (the seasonal curves with dips), 5 % missing,
d = 2, T = 365, default grid. Each round times whittaker_solve_f64 at
lam = 10 and select_lambda one after the other on the same series, each
the fastest of three calls, so that a busy machine slows both alike;
reported: the median over rounds of select_lambda's series rate over the
solve's, and its range.
"""

import argparse
import time

import numpy as np

import tarnwold
import tarnwold_tools as tt
from data import irregular_grid, series


def fastest(function, *args, **kwargs):
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        function(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--criteria", nargs="+", default=["reml", "gcv", "loocv", "vcurve"])
    args = parser.parse_args()
    x = irregular_grid(365)
    y = series(args.series, 365, 0.05, np.float64)
    ratios = {criterion: [] for criterion in args.criteria}
    for _ in range(args.rounds):
        for criterion in args.criteria:
            solve = fastest(tarnwold.whittaker_solve_f64, x, y, lam=10.0)
            chosen = fastest(tt.select_lambda, x, y, criterion=criterion)
            ratios[criterion].append(solve / chosen)
    for criterion, values in ratios.items():
        values = np.array(values)
        print(f"{criterion}: select_lambda's rate / the solve's = 1/{1 / np.median(values):.1f} "
              f"(rounds 1/{1 / values.max():.1f} .. 1/{1 / values.min():.1f})")  # fmt: skip


if __name__ == "__main__":
    main()
