"""Speed of tarnwold_tools.robust with lam chosen per series, against the
plain solve of the same series in the same run.

    python benchmarks/robust_speed.py [--series 10000] [--rounds 7]

Series from data.series (the seasonal curves with dips), 5 % missing,
d = 2, T = 365 and 46. Each round times robust(lam="reml", iterations=4)
and whittaker_solve_f64 at lam = 10 one after the other on the same series
(alternating.py, the best of three calls of each), so that a busy machine
slows both alike; reported: the median over rounds of robust's series rate
over the solve's, and its range.
"""

import argparse
import statistics
from functools import partial

import numpy as np

import tarnwold
import tarnwold_tools as tt
from alternating import best_seconds, ratio_rounds
from data import irregular_grid, series


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    for T in (365, 46):
        x = irregular_grid(T)
        y = series(args.series, T, 0.05, np.float64)

        robust = partial(tt.robust, x, y, lam="reml", iterations=4)
        solve = partial(tarnwold.whittaker_solve_f64, x, y, lam=10.0)
        ratios = ratio_rounds(robust, solve, rounds=args.rounds)
        rate = args.series / best_seconds(robust, 1)
        print(f"T = {T}, S = {args.series}: robust's rate / the solve's = 1/{1 / statistics.median(ratios):.1f} "
              f"(range 1/{1 / max(ratios):.1f}-1/{1 / min(ratios):.1f}); "
              f"robust {rate:.0f} series/s in one more call")  # fmt: skip


if __name__ == "__main__":
    main()
