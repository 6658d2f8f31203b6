"""Estimate the fluorescence baseline under a map of Raman spectra by asymmetric least squares.

Simulates a Raman map: one spectrum per map point on the irregular
wavenumber axis of a spectrometer's calibration, with sharp bands
(Lorentzian) whose heights vary from point to point, standing on a broad
curved fluorescence background whose strength, position, width and slope
vary too, and shot noise (Poisson counts).

tarnwold_tools.envelope with a small p weighs points above the fit by p and
those below by 1 - p: the bands lose their pull and the fit settles on the
background beneath them (asymmetric least squares). The script first scans
p and lam on the whole map and prints the baseline error against the true
background for each pair, then fits the whole map with the chosen pair and
with lam chosen for each spectrum by the V-curve, and prints the time and the
error, split into the bands and the rest of the axis. With --plot one
spectrum is drawn with its baseline and the corrected spectrum into a PNG
file (this needs matplotlib).

Run:  python3 examples/raman_baseline.py [--spectra N] [--plot FILE.png]
"""

import argparse
import time

import numpy as np

import tarnwold_tools

BANDS = [  # position (1/cm), half width, mean height (counts)
    (420.0, 5.0, 400.0),
    (640.0, 9.0, 200.0),
    (1001.0, 4.0, 650.0),
    (1130.0, 12.0, 250.0),
    (1330.0, 18.0, 300.0),
    (1450.0, 10.0, 350.0),
    (1600.0, 14.0, 500.0),
]
PS = (0.01, 0.05)
LAMS = (1e4, 1e5, 1e6, 1e7, 1e8)
P, LAM = 0.05, 1e6  # on the flat bottom of the scan; docs/gallery.md says why


def simulate(spectra, rng):
    # The spacing shrinks from 1.75 to 1.45 per pixel across the detector.
    pixel = np.arange(1000.0)
    wavenumber = 200.0 + 1.75 * pixel - 1.5e-4 * pixel**2

    heights = np.array([h for _, _, h in BANDS]) * rng.lognormal(0.0, 0.3, size=(spectra, len(BANDS)))
    bands = np.zeros((spectra, wavenumber.size))
    for (centre, half_width, _), height in zip(BANDS, heights.T):
        bands += height[:, None] / (1.0 + ((wavenumber - centre) / half_width) ** 2)

    # Fluorescence: a broad hump on a sloping offset, different at every point.
    t = (wavenumber - wavenumber[0]) / (wavenumber[-1] - wavenumber[0])
    strength = rng.uniform(1000.0, 4000.0, size=(spectra, 1))
    centre = rng.uniform(0.4, 0.8, size=(spectra, 1))
    width = rng.uniform(0.3, 0.6, size=(spectra, 1))
    slope = rng.uniform(-400.0, 400.0, size=(spectra, 1))
    baseline = 300.0 + slope * t + strength * np.exp(-0.5 * ((t - centre) / width) ** 2)

    counts = rng.poisson(baseline + bands).astype(np.float64)
    return wavenumber, counts, baseline, bands


def rmse(estimate, truth):
    return float(np.sqrt(np.mean((estimate - truth) ** 2)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=1000)
    parser.add_argument("--plot", metavar="FILE.png", help="draw one spectrum, its baseline and the corrected spectrum")
    args = parser.parse_args()

    rng = np.random.default_rng(1001)
    wavenumber, counts, baseline, bands = simulate(args.spectra, rng)
    noise = float(np.sqrt(np.mean(baseline)))
    print(f"{args.spectra} spectra x {wavenumber.size} pixels; shot noise about {noise:.0f} counts on the background")

    print("baseline RMSE against the true background (counts), for each p and lam:")
    print("        " + "".join(f"{lam:>8.0e}" for lam in LAMS))
    scan = {}
    for p in PS:
        scan[p] = [rmse(tarnwold_tools.envelope(wavenumber, counts, p=p, lam=lam).z, baseline) for lam in LAMS]
        print(f"p={p:<5} " + "".join(f"{error:8.1f}" for error in scan[p]))

    under = bands > 0.05 * bands.max(axis=1, keepdims=True)  # near a band's centre
    fits = {}
    for label, lam in ((f"lam={LAM:.0e}", LAM), ("lam by V-curve", "vcurve")):
        start = time.perf_counter()
        fit = tarnwold_tools.envelope(wavenumber, counts, p=P, lam=lam)
        seconds = time.perf_counter() - start
        error = fit.z - baseline
        print(f"p={P}, {label:14s} {seconds:6.3f} s for {args.spectra} spectra; baseline RMSE {rmse(fit.z, baseline):5.1f}, "
              f"mean error under the bands {error[under].mean():+5.1f}, elsewhere {error[~under].mean():+5.1f}; "
              f"at most {fit.iterations.max()} reweightings")
        fits[label] = fit

    if args.plot:
        plot(args.plot, wavenumber, counts, baseline, bands, fits[f"lam={LAM:.0e}"].z, scan)


def plot(path, wavenumber, counts, baseline, bands, fitted, scan):
    from gallery_style import EXTRA, PLAIN, RAW, ROBUST, TRUTH, new_figure, save

    fig, axes = new_figure(2, 2, width_ratios=[3, 1.3], height_ratios=[3, 2])
    grid = axes[0, 1].get_gridspec()
    for ax in axes[:, 1]:
        ax.remove()
    spectrum_ax, corrected_ax = axes[:, 0]
    scan_ax = fig.add_subplot(grid[:, 1])

    s = int(np.argmax(baseline[:, -1] - baseline[:, 0]))  # a steep background
    spectrum_ax.plot(wavenumber, counts[s], color=RAW, lw=0.6, label="counts")
    spectrum_ax.plot(wavenumber, baseline[s], color=TRUTH, lw=3, alpha=0.6, label="true background")
    spectrum_ax.plot(wavenumber, fitted[s], color=EXTRA, lw=1.6, label=f"baseline, p={P}, lam={LAM:.0e}")
    spectrum_ax.set_ylabel("counts")
    spectrum_ax.set_title(f"spectrum {s} of the map")
    spectrum_ax.legend(loc="upper left", fontsize=8, frameon=False)

    corrected_ax.plot(wavenumber, counts[s] - fitted[s], color=PLAIN, lw=0.6, label="counts − baseline")
    corrected_ax.plot(wavenumber, bands[s], color=TRUTH, lw=1.5, alpha=0.8, label="true bands")
    corrected_ax.set_xlabel("Raman shift (1/cm)")
    corrected_ax.set_ylabel("counts")
    corrected_ax.legend(loc="upper left", fontsize=8, frameon=False)

    for p, colour in zip(PS, (ROBUST, EXTRA)):
        scan_ax.plot(LAMS, scan[p], "o-", color=colour, lw=1.4, ms=4, label=f"p={p}")
    scan_ax.set_xscale("log")
    scan_ax.set_yscale("log")
    scan_ax.set_yticks([30, 40, 60, 100, 150], labels=["30", "40", "60", "100", "150"])
    scan_ax.set_yticks([], minor=True)
    scan_ax.set_xlabel("lam")
    scan_ax.set_ylabel("baseline RMSE, whole map (counts)")
    scan_ax.set_title("choosing p and lam")
    scan_ax.legend(loc="upper center", fontsize=8, frameon=False)
    for ax in (spectrum_ax, corrected_ax, scan_ax):
        ax.grid(alpha=0.3)
    fig.suptitle("Asymmetric least squares: a baseline for every spectrum of a Raman map")
    save(fig, path)


if __name__ == "__main__":
    main()
