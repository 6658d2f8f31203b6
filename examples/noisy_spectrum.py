"""Denoise a map of Raman spectra and estimate their fluorescence baseline.

Simulates what a Raman microscope records while scanning a sample: one
spectrum per map point, on a wavenumber axis that the spectrometer's
calibration makes irregular, with sharp bands whose heights vary across the
map, a broad fluorescence background, shot noise, and cosmic-ray hits that
light up single detector pixels. The detector delivers float32 counts, so
everything is smoothed in single precision.

Two robust fits of every spectrum: a light one (small lam) that removes the
noise and the cosmic-ray spikes but keeps the bands, and a stiff one (large
lam) whose Tukey weights drop the bands as outliers and leave a rough
baseline (the weights are symmetric, so it runs a little high under broad
bands).
With --plot one spectrum is drawn into a PNG file (this needs matplotlib).

Run:  python3 examples/noisy_spectrum.py [--spectra N] [--plot FILE.png]
"""

import argparse

import numpy as np

import tarnwold

BANDS = [  # position (1/cm), half width, mean height (counts)
    (520.0, 4.0, 900.0),
    (785.0, 8.0, 350.0),
    (1001.0, 5.0, 1200.0),
    (1340.0, 25.0, 500.0),
    (1450.0, 12.0, 400.0),
    (1600.0, 20.0, 700.0),
]


def simulate(spectra, rng):
    # A quadratic pixel-to-wavenumber calibration: the spacing shrinks from
    # about 1.9 to 1.2 per pixel across the detector.
    pixel = np.arange(1024.0)
    wavenumber = (200.0 + 1.9 * pixel - 3.4e-4 * pixel**2).astype(np.float32)

    heights = np.array([h for _, _, h in BANDS]) * rng.lognormal(0.0, 0.3, size=(spectra, len(BANDS)))
    bands = np.zeros((spectra, wavenumber.size))
    for (centre, half_width, _), height in zip(BANDS, heights.T):
        bands += height[:, None] / (1.0 + ((wavenumber - centre) / half_width) ** 2)

    # Fluorescence: a broad hump whose strength varies from point to point.
    strength = rng.uniform(500.0, 3000.0, size=(spectra, 1))
    baseline = 200.0 + strength * np.exp(-0.5 * ((wavenumber - 1300.0) / 700.0) ** 2)

    truth = baseline + bands
    counts = rng.poisson(truth).astype(np.float64)
    hits = rng.random(counts.shape) < 0.002  # cosmic rays: a single bright pixel
    counts[hits] += rng.uniform(500.0, 5000.0, size=hits.sum())
    return wavenumber, counts.astype(np.float32), truth, baseline, hits


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=2_000)
    parser.add_argument("--plot", metavar="FILE.png", help="draw one spectrum, raw and smoothed")
    args = parser.parse_args()

    rng = np.random.default_rng(1024)
    wavenumber, counts, truth, baseline, hits = simulate(args.spectra, rng)
    print(f"{args.spectra} spectra x {wavenumber.size} pixels, {hits.sum()} cosmic-ray hits")

    plain = tarnwold.whittaker_solve_f32(wavenumber, counts, lam=2.0)
    denoised = tarnwold.robust_whittaker_irls_f32(wavenumber, counts, lam=2.0, iterations=5)
    background = tarnwold.robust_whittaker_irls_f32(wavenumber, counts, lam=1e8, iterations=10)
    near_hits = np.zeros_like(hits)
    for shift in range(-3, 4):
        near_hits |= np.roll(hits, shift, axis=1)

    def rmse(estimate, target, where=Ellipsis):
        return float(np.sqrt(np.mean((estimate.astype(np.float64) - target)[where] ** 2)))

    print(f"raw counts             RMSE {rmse(counts, truth):7.1f}, within 3 pixels of a hit "
          f"{rmse(counts, truth, near_hits):7.1f}")
    print(f"whittaker_solve_f32    RMSE {rmse(plain, truth):7.1f}, within 3 pixels of a hit "
          f"{rmse(plain, truth, near_hits):7.1f}")
    print(f"robust, lam=2          RMSE {rmse(denoised, truth):7.1f}, within 3 pixels of a hit "
          f"{rmse(denoised, truth, near_hits):7.1f}")
    print(f"baseline, lam=1e8      RMSE {rmse(background, baseline):7.1f} against the true background")

    if args.plot:
        plot(args.plot, wavenumber, counts, truth, baseline, plain, denoised, background, hits)


def plot(path, wavenumber, counts, truth, baseline, plain, denoised, background, hits):
    from gallery_style import EXTRA, OUTLIER, PLAIN, RAW, ROBUST, TRUTH, new_figure, save

    spectrum = int(np.argmin(np.abs(hits.sum(axis=1) - 3)))  # the first with (about) three hits
    top = 1.15 * truth[spectrum].max()
    fig, (full, zoom) = new_figure(1, 2, width_ratios=[3, 2])
    for ax in (full, zoom):
        ax.plot(wavenumber, counts[spectrum], color=RAW, lw=0.6, alpha=0.7, label="counts")
        ax.plot(wavenumber[hits[spectrum]], np.minimum(counts[spectrum, hits[spectrum]], 0.97 * top), "x",
                color=OUTLIER, ms=6, mew=1.5, label="cosmic-ray hit (clipped)")
        ax.plot(wavenumber, truth[spectrum], color=TRUTH, lw=3, alpha=0.6, label="true spectrum")
        ax.plot(wavenumber, plain[spectrum], color=PLAIN, lw=1.3, label="whittaker_solve_f32, lam=2")
        ax.plot(wavenumber, denoised[spectrum], color=ROBUST, lw=1.3, label="robust, lam=2")
        ax.plot(wavenumber, baseline[spectrum], color=TRUTH, lw=1, ls="--", label="true background")
        ax.plot(wavenumber, background[spectrum], color=EXTRA, lw=1.6, label="robust, lam=1e8")
        ax.set_xlabel("Raman shift (1/cm)")
        ax.grid(alpha=0.3)
    # Zoom on the hit closest to the middle of the axis.
    hit_positions = wavenumber[hits[spectrum]]
    centre = hit_positions[np.argmin(np.abs(hit_positions - 1000.0))] if hit_positions.size else 1000.0
    window = np.abs(wavenumber - centre) < 60.0
    shown = np.concatenate([truth[spectrum, window], plain[spectrum, window], baseline[spectrum, window]])
    zoom.set_xlim(centre - 60.0, centre + 60.0)
    zoom.set_ylim(shown.min() - 150.0, min(shown.max() + 250.0, top))
    zoom.set_title("around one cosmic-ray hit")
    full.set_ylim(0.0, top)
    full.set_ylabel("counts")
    full.set_title(f"spectrum {spectrum} of the map")
    full.legend(loc="lower right", fontsize=8, frameon=False)
    fig.suptitle("Raman spectra in float32 on an irregular axis: Tukey weights drop spikes, then bands")
    save(fig, path)


if __name__ == "__main__":
    main()
