"""Smooth a year of per-pixel vegetation index observations.

Simulates what a satellite delivers for a block of pixels over one year:
a seasonal green-up and senescence, observed every few days on an irregular
schedule, with clouds that hide observations (missing values) or bias them
low (outliers). Each pixel is one series; all pixels share the acquisition
dates. The script smooths every pixel with the plain Whittaker smoother and
with the robust one, and prints how close each comes to the true signal;
with --plot it also draws two pixels, raw and smoothed, into a PNG file
(this needs matplotlib).

Run:  python3 examples/smooth_vegetation_index.py [--pixels N] [--plot FILE.png]
"""

import argparse
import time

import numpy as np

import tarnwold


def simulate(pixels, rng):
    # Acquisition days: about every 5 days with jitter, as in a real archive.
    steps = rng.integers(3, 8, size=80)
    days = np.cumsum(steps).astype(np.float64)
    days = days[days < 365.0]

    # Seasonal curve per pixel: different peaks, timings and amplitudes.
    peak_day = rng.normal(190.0, 20.0, size=(pixels, 1))
    width = rng.uniform(35.0, 60.0, size=(pixels, 1))
    base = rng.uniform(0.15, 0.25, size=(pixels, 1))
    amplitude = rng.uniform(0.35, 0.6, size=(pixels, 1))
    truth = base + amplitude * np.exp(-0.5 * ((days - peak_day) / width) ** 2)

    observed = truth + rng.normal(0.0, 0.02, size=truth.shape)
    cloudy = rng.random(truth.shape) < 0.25
    observed[cloudy] = np.nan  # fully clouded: no observation
    hazy = (rng.random(truth.shape) < 0.08) & ~cloudy
    observed[hazy] -= rng.uniform(0.1, 0.3, size=hazy.sum())  # thin cloud: biased low
    return days, observed, truth, hazy


def rmse(estimate, truth):
    return float(np.sqrt(np.mean((estimate - truth) ** 2)))


def plot(path, days, observed, truth, hazy, plain, robust):
    from gallery_style import OUTLIER, PLAIN, RAW, ROBUST, TRUTH, new_figure, save

    # The pixel the robust fit helps most, and a typical one (the median gain).
    gain = np.sqrt(np.mean((plain - truth) ** 2, axis=1)) - np.sqrt(np.mean((robust - truth) ** 2, axis=1))
    order = np.argsort(gain)
    pixels = [order[-1], order[len(order) // 2]]

    fig, axes = new_figure(1, 2, sharey=True)
    for ax, p in zip(axes, pixels):
        clear = ~np.isnan(observed[p]) & ~hazy[p]
        ax.plot(days, truth[p], color=TRUTH, lw=3, alpha=0.6, label="true signal")
        ax.plot(days[clear], observed[p, clear], "o", color=RAW, ms=3.5, label="clear observation")
        ax.plot(days[hazy[p]], observed[p, hazy[p]], "x", color=OUTLIER, ms=6, mew=1.5,
                label="thin cloud (biased low)")
        missing = np.isnan(observed[p])
        ax.plot(days[missing], np.full(missing.sum(), 0.02), "|", color=RAW, ms=8,
                label="cloud (no observation)")
        ax.plot(days, plain[p], color=PLAIN, lw=1.8, label="whittaker_solve_f64")
        ax.plot(days, robust[p], color=ROBUST, lw=1.8, label="robust_whittaker_irls_f64")
        ax.set_title(f"pixel {p}")
        ax.set_xlabel("day of year")
        ax.set_xlim(0, 365)
        ax.grid(alpha=0.3)
    axes[0].set_ylabel("vegetation index")
    axes[0].set_ylim(0.0, 1.0)
    axes[0].legend(loc="upper left", fontsize=8, frameon=False)
    fig.suptitle("A year of cloudy satellite observations, lam=50, d=2; robust: 4 Tukey passes")
    save(fig, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pixels", type=int, default=100_000)
    parser.add_argument("--plot", metavar="FILE.png", help="draw two pixels, raw and smoothed")
    args = parser.parse_args()

    rng = np.random.default_rng(20261207)
    days, observed, truth, hazy = simulate(args.pixels, rng)
    pixels, dates = observed.shape
    print(f"{pixels} pixels x {dates} acquisition dates over one year")
    print(f"missing (cloud): {np.isnan(observed).mean():.1%} of observations")

    start = time.perf_counter()
    plain = tarnwold.whittaker_solve_f64(days, observed, lam=50.0, d=2)
    plain_seconds = time.perf_counter() - start

    start = time.perf_counter()
    robust, weights = tarnwold.robust_whittaker_irls_f64(
        days, observed, lam=50.0, d=2, iterations=4, weighting="tukey", return_weights=True
    )
    robust_seconds = time.perf_counter() - start

    start = time.perf_counter()
    robust32 = tarnwold.robust_whittaker_irls_f32(
        days.astype(np.float32), observed.astype(np.float32), lam=50.0, d=2, iterations=4
    )
    robust32_seconds = time.perf_counter() - start

    noisy = np.where(np.isnan(observed), np.nan, observed)
    print(f"raw observations      RMSE {np.sqrt(np.nanmean((noisy - truth) ** 2)):.4f}")
    print(f"whittaker_solve_f64   RMSE {rmse(plain, truth):.4f}  ({plain_seconds:.2f} s)")
    print(f"robust, float64       RMSE {rmse(robust, truth):.4f}  ({robust_seconds:.2f} s)")
    print(f"robust, float32       RMSE {rmse(robust32, truth):.4f}  ({robust32_seconds:.2f} s)")
    down = (weights < 0.5) & ~np.isnan(observed)
    print(f"observations down-weighted below 0.5 by the robust fit: {down.mean():.1%}")

    if args.plot:
        plot(args.plot, days, observed, truth, hazy, plain, robust)


if __name__ == "__main__":
    main()
