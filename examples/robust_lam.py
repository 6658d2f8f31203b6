"""Robust smoothing that chooses its own lam, on clouds and on cosmic rays.

Two simulated data sets with outliers. (a) A map of vegetation-index pixels
over one year, seen on about 73 irregular overpasses: a double-logistic
season per pixel whose green-up and senescence grow gentler from west to
east and come later from north to south, noise 0.02, a fifth of the points
pulled down by 0.1 to 0.4 (thin clouds), 2 % spiked up by 0.1 to 0.3, and
one gap of two to six weeks in every pixel. (b) Spectra on a detector of
400 pixels: a broad background under bands whose widths vary from spectrum
to spectrum, noise 0.02, and cosmic rays that light up one or two adjacent
pixels far above the signal, on about 1.5 % of the pixels.

Three fits of every series: the plain smoother with lam chosen per series
by REML (tarnwold_tools.select_lambda); the module's robust smoother at
one lam for all, the median of those REML choices (choose on the plain
smoother, pass one number to the robust one); and
tarnwold_tools.robust(x, y, lam="reml"), which chooses lam per series on
the robust weights, pass by pass. The script prints each fit's RMSE against
the truth, next to the robust smoother at the single lam that is best
against the truth (which only a simulation can know). With --plot it draws
one cloudy pixel and one spiky spectrum with the three fits and the truth,
and the map of the lam chosen per pixel, into a PNG file (this needs
matplotlib).

Run:  python3 examples/robust_lam.py [--rows N] [--spectra N] [--plot FILE.png]
"""

import argparse
import dataclasses
import time

import numpy as np

import tarnwold
import tarnwold_tools

ITERATIONS = 4  # robust passes, the same for every robust fit here


def cloudy_cube(rows, cols, rng):
    """(days, observed, truth, outlier mask) of set (a), pixels in row-major order."""
    days = np.cumsum(rng.integers(3, 8, 73)).astype(np.float64)
    days -= days[0]
    east = np.linspace(0.0, 1.0, cols)[None, :]
    south = np.linspace(0.0, 1.0, rows)[:, None]

    def field(low, high, spread, across):
        """A smooth gradient from low to high, with some pixel-to-pixel spread."""
        return (low + (high - low) * across + spread * rng.standard_normal((rows, cols))).reshape(-1, 1)

    base = rng.uniform(0.1, 0.25, (rows * cols, 1))
    amplitude = rng.uniform(0.35, 0.6, (rows * cols, 1))
    green_up, senescence = field(100.0, 140.0, 6.0, south), field(230.0, 280.0, 8.0, south)
    rise, fall = np.clip(field(3.0, 30.0, 1.5, east), 2.0, None), np.clip(field(4.0, 35.0, 2.0, east), 2.0, None)
    truth = base + amplitude * (1.0 / (1.0 + np.exp(-(days - green_up) / rise))
                                - 1.0 / (1.0 + np.exp(-(days - senescence) / fall)))

    observed = truth + rng.normal(0.0, 0.02, truth.shape)
    low = rng.random(truth.shape) < 0.20
    observed[low] -= rng.uniform(0.1, 0.4, int(low.sum()))
    high = ~low & (rng.random(truth.shape) < 0.02)
    observed[high] += rng.uniform(0.1, 0.3, int(high.sum()))
    start = rng.uniform(days[0], days[-1], (rows * cols, 1))
    gap = (days >= start) & (days < start + rng.uniform(14.0, 42.0, (rows * cols, 1)))
    observed[gap] = np.nan
    return days, observed, truth, (low | high) & ~gap


def spiky_spectra(spectra, rng):
    """(pixel, observed, truth, spike mask) of set (b)."""
    pixel = np.arange(400.0)
    centres = rng.uniform(30.0, 370.0, (spectra, 5))
    widths = rng.uniform(2.0, 12.0, (spectra, 1)) * rng.uniform(0.7, 1.4, (spectra, 5))
    heights = rng.uniform(0.3, 1.0, (spectra, 5))
    truth = 0.3 + 0.2 * np.sin(2.0 * np.pi * pixel / 800.0 + rng.uniform(0.0, np.pi, (spectra, 1)))
    for k in range(5):
        truth = truth + heights[:, k:k + 1] * np.exp(-0.5 * ((pixel - centres[:, k:k + 1]) / widths[:, k:k + 1]) ** 2)

    observed = truth + rng.normal(0.0, 0.02, truth.shape)
    hits = rng.random(truth.shape) < 0.01
    hits |= np.roll(hits, 1, axis=1) & (rng.random(truth.shape) < 0.5)  # some hits light up two pixels
    observed[hits] += rng.uniform(0.5, 3.0, int(hits.sum()))
    return pixel, observed, truth, hits


def rmse(estimate, truth):
    return float(np.sqrt(np.mean((estimate - truth) ** 2)))


def robust_at(x, y, lam):
    return tarnwold.robust_whittaker_irls_f64(x, y, lam=lam, iterations=ITERATIONS)


def best_single_lam(x, y, truth):
    """The robust smoother's error at the single lam best against the truth,
    on a scan a tenth of a decade apart."""
    errors = {lam: rmse(robust_at(x, y, lam), truth) for lam in 10.0 ** np.arange(-2.0, 6.01, 0.1)}
    best = min(errors, key=errors.get)
    return best, errors[best]


@dataclasses.dataclass(frozen=True)
class Fitted:
    """One data set with the truth, its outliers, the three fits and the lam
    robust chose per series."""

    x: np.ndarray
    y: np.ndarray
    truth: np.ndarray
    outliers: np.ndarray
    fits: dict
    recipe_lam: float
    lam: np.ndarray


def fit_three_ways(name, x, y, truth, outliers):
    """The three fits of every series, timed, their errors printed."""
    start = time.perf_counter()
    plain = tarnwold_tools.select_lambda(x, y, criterion="reml")
    recipe_lam = float(np.median(plain.lam))
    fits = {"plain, lam by REML": plain.z, "robust at one lam (median plain REML)": robust_at(x, y, recipe_lam)}
    middle = time.perf_counter()
    chosen = tarnwold_tools.robust(x, y, lam="reml", iterations=ITERATIONS)
    seconds = time.perf_counter() - middle
    fits["robust, lam by REML"] = chosen.z
    print(f"\n{name}: {y.shape[0]} series x {y.shape[1]} points; plain REML and the robust fit at lam={recipe_lam:.3g} "
          f"{middle - start:.2f} s, robust(lam='reml') {seconds:.2f} s with lam from {np.nanmin(chosen.lam):.3g} "
          f"to {np.nanmax(chosen.lam):.3g}")
    best, best_error = best_single_lam(x, y, truth)
    print(f"  {'robust at the truth-best single lam':38s} RMSE {best_error:.4f}  (lam={best:.3g})")
    for label, z in fits.items():
        error = rmse(z, truth)
        print(f"  {label:38s} RMSE {error:.4f}  {error / best_error:.2f} x the truth-best single lam")
    return Fitted(x, y, truth, outliers, fits, recipe_lam, chosen.lam)


def showcase(data):
    """A series where choosing lam per series with the robust weights helps:
    the one at the 90th percentile of the gain over the fit at one lam."""
    recipe, chosen = list(data.fits.values())[1:]
    gain = np.sqrt(np.mean((recipe - data.truth) ** 2, axis=1)) - np.sqrt(np.mean((chosen - data.truth) ** 2, axis=1))
    return int(np.argsort(gain)[int(0.9 * (gain.size - 1))])


def draw_series(ax, data, s):
    """One series: its observations, the truth and the three fits. Outliers
    beyond the top of the panel are drawn at its edge."""
    from gallery_style import EXTRA, OUTLIER, PLAIN, RAW, ROBUST, TRUTH

    low, high = np.min(data.truth[s]), np.max(data.truth[s])
    bottom = min(low - 0.15 * (high - low), np.nanmin(data.y[s]) - 0.05 * (high - low))
    top = high + 0.3 * (high - low)
    clean = ~data.outliers[s] & ~np.isnan(data.y[s])
    ax.plot(data.x[clean], data.y[s, clean], "o", color=RAW, ms=2.5, label="observation")
    ax.plot(data.x[data.outliers[s]], np.minimum(data.y[s, data.outliers[s]], top), "x", color=OUTLIER, ms=5,
            mew=1.3, clip_on=False, label="outlier")
    ax.plot(data.x, data.truth[s], color=TRUTH, lw=3.5, alpha=0.6, label="truth")
    for (label, z), colour in zip(data.fits.items(), (PLAIN, ROBUST, EXTRA)):
        ax.plot(data.x, z[s], color=colour, lw=1.5, label=label)
    ax.set_xlim(data.x[0], data.x[-1])
    ax.set_ylim(bottom, top)
    ax.grid(alpha=0.3)


def plot(path, cube, spectra, shape):
    from gallery_style import RAW, new_figure, save

    fig, axes = new_figure(2, 2, width_ratios=[5, 3], height_ratios=[1, 1])
    pixel_ax, spectrum_ax, legend_ax, map_ax = axes[0, 0], axes[1, 0], axes[0, 1], axes[1, 1]
    p, s = showcase(cube), showcase(spectra)

    draw_series(pixel_ax, cube, p)
    gap = np.isnan(cube.y[p])
    pixel_ax.plot(cube.x[gap], np.full(gap.sum(), pixel_ax.get_ylim()[0]), "|", color=RAW, ms=10, mew=1.5)
    pixel_ax.set_xlabel("day of year")
    pixel_ax.set_ylabel("vegetation index")
    pixel_ax.set_title(f"a cloudy pixel (no. {p}, its gap marked at the bottom)", fontsize=10)
    draw_series(spectrum_ax, spectra, s)
    spectrum_ax.set_xlabel("detector pixel")
    spectrum_ax.set_ylabel("intensity")
    spectrum_ax.set_title(f"a spectrum with cosmic rays (no. {s}, those beyond the top drawn at its edge)",
                          fontsize=10)

    handles, labels = spectrum_ax.get_legend_handles_labels()
    labels[1] = "outlier: cloud (low), spike (high),\ncosmic ray"
    labels[-2] = f"robust at one lam for all\n(pixels {cube.recipe_lam:.3g}, spectra {spectra.recipe_lam:.3g}:\nthe median of plain REML)"
    legend_ax.axis("off")
    legend_ax.legend(handles, labels, loc="center", fontsize=8.5, frameon=False)

    rows, cols = shape
    log_lam = np.log10(cube.lam).reshape(rows, cols)
    picture = map_ax.imshow(log_lam, cmap="viridis", origin="upper", vmin=np.percentile(log_lam, 2),
                            vmax=np.percentile(log_lam, 98))
    fig.colorbar(picture, ax=map_ax, location="right", fraction=0.05, pad=0.02, label="log10 lam")
    map_ax.plot(p % cols, p // cols, "o", mfc="none", mec="white", ms=9, mew=2)
    map_ax.set_xticks([])
    map_ax.set_yticks([])
    map_ax.set_xlabel("sharp seasons  →  gentle ones")
    map_ax.set_ylabel("later seasons  →")
    map_ax.set_title("lam per pixel, robust(lam='reml')", fontsize=10)
    fig.suptitle("With outliers, let the robust smoother choose lam: tarnwold_tools.robust(x, y, lam='reml')")
    save(fig, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=60, help="rows of the pixel map (4/3 as many columns)")
    parser.add_argument("--spectra", type=int, default=500)
    parser.add_argument("--plot", metavar="FILE.png", help="draw a pixel, a spectrum and the map of lam")
    args = parser.parse_args()

    rng = np.random.default_rng(20261208)
    shape = (args.rows, (4 * args.rows) // 3)
    days, observed, truth, clouds = cloudy_cube(*shape, rng)
    pixel, counts, signal, hits = spiky_spectra(args.spectra, rng)
    cube = fit_three_ways("(a) cloudy pixels", days, observed, truth, clouds)
    spectra = fit_three_ways("(b) spectra with cosmic rays", pixel, counts, signal, hits)
    if args.plot:
        plot(args.plot, cube, spectra, shape)


if __name__ == "__main__":
    main()
