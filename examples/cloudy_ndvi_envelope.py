"""Fit the upper envelope of cloudy NDVI pixels and their green-up on a daily grid.

Simulates a year of NDVI for a block of pixels seen by several satellites,
so the overpasses come every one to five days on an irregular schedule.
Clouds that the mask catches leave no observation, and a cloudy spell of
two to five weeks leaves a gap in every pixel; clouds and haze that slip
through the mask, and snow in winter, bias a third of the remaining
observations low, never high. The clear-sky curve is therefore the upper
edge of the data, not its middle.

Three fits of every pixel: the symmetric one (lam by REML per pixel), the
robust one (Tukey weights, four passes), and the upper envelope
(tarnwold_tools.envelope, p = 0.9, lam by REML on the asymmetric weights).
Every fit is a weighted fit, so each one goes to a daily grid with
tarnwold_tools.evaluate_lambda at its lam and final weights: daily values,
the envelope's +-2 se band, and the first derivative, the green-up rate.
The script prints each fit's error against the clear-sky truth and the
error of the green-up date and of the highest green-up rate; with --plot
it draws one pixel into a PNG file (this needs matplotlib).

Run:  python3 examples/cloudy_ndvi_envelope.py [--pixels N] [--plot FILE.png]
"""

import argparse
import time

import numpy as np

import tarnwold
import tarnwold_tools

DAILY = np.arange(1.0, 366.0)


def simulate(pixels, rng):
    steps = rng.integers(1, 6, size=200)  # overpasses of several satellites
    days = np.cumsum(steps).astype(np.float64)
    days = days[days < 365.0]

    # The clear-sky curve: a double logistic, green-up in spring, senescence in autumn.
    shape = {
        "base": rng.uniform(0.12, 0.22, size=(pixels, 1)),
        "amplitude": rng.uniform(0.4, 0.65, size=(pixels, 1)),
        "green_up": rng.uniform(110.0, 150.0, size=(pixels, 1)),
        "rise": rng.uniform(6.0, 12.0, size=(pixels, 1)),
        "senescence": rng.uniform(250.0, 290.0, size=(pixels, 1)),
        "fall": rng.uniform(8.0, 16.0, size=(pixels, 1)),
    }
    truth = clear_sky(days, **shape)

    observed = truth + rng.normal(0.0, 0.015, size=truth.shape)
    masked = rng.random(truth.shape) < 0.3  # clouds the mask catches
    spell = rng.uniform(0.0, 330.0, size=(pixels, 1))
    masked |= (days >= spell) & (days < spell + rng.uniform(15.0, 35.0, size=(pixels, 1)))
    snowy = (days < 70.0) | (days > 320.0)
    snow = snowy & (rng.random(truth.shape) < 0.3) & ~masked
    haze = (rng.random(truth.shape) < 0.25) & ~masked & ~snow
    observed[haze] *= 1.0 - rng.uniform(0.1, 0.5, size=haze.sum())
    observed[snow] = rng.uniform(-0.1, 0.05, size=snow.sum())
    observed[masked] = np.nan
    return days, observed, truth, shape, haze | snow


def clear_sky(t, base, amplitude, green_up, rise, senescence, fall):
    return base + amplitude * (1.0 / (1.0 + np.exp(-(t - green_up) / rise))
                               - 1.0 / (1.0 + np.exp(-(t - senescence) / fall)))


def clear_sky_rate(t, amplitude, green_up, rise, senescence, fall, **_):
    up = np.exp(-(t - green_up) / rise)
    down = np.exp(-(t - senescence) / fall)
    return amplitude * (up / (rise * (1.0 + up) ** 2) - down / (fall * (1.0 + down) ** 2))


def green_up(daily, rate):
    """Per pixel: the first day the curve rises through half-way from its
    spring minimum to its peak, and the highest rate before the peak."""
    peak = np.argmax(daily, axis=1)
    before = np.arange(daily.shape[1]) < peak[:, None]
    low = np.min(np.where(before | (peak[:, None] == 0), daily, np.inf), axis=1)
    half = 0.5 * (low + daily.max(axis=1))
    above = before & (daily >= half[:, None])
    date = DAILY[np.argmax(above, axis=1)]
    highest = np.max(np.where(before, rate, -np.inf), axis=1)
    return date, highest


def rmse(estimate, truth):
    return float(np.sqrt(np.mean((estimate - truth) ** 2)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pixels", type=int, default=400)
    parser.add_argument("--plot", metavar="FILE.png", help="draw one pixel's fits, its daily envelope and rate")
    args = parser.parse_args()

    rng = np.random.default_rng(20261207)
    days, observed, truth, shape, biased = simulate(args.pixels, rng)
    print(f"{args.pixels} pixels x {days.size} overpasses; {np.isnan(observed).mean():.0%} masked, "
          f"{biased.sum() / np.sum(~np.isnan(observed)):.0%} of the rest biased low by haze and snow")

    start = time.perf_counter()
    envelope = tarnwold_tools.envelope(days, observed, p=0.9, lam="reml")
    seconds = time.perf_counter() - start
    print(f"upper envelope, p=0.9, lam by REML: {seconds:.2f} s, median lam {np.median(envelope.lam):.3g}, "
          f"{np.mean(envelope.iterations):.1f} reweightings on average")
    symmetric = tarnwold_tools.select_lambda(days, observed, criterion="reml")
    robust_lam = float(np.median(envelope.lam))
    robust, robust_weights = tarnwold.robust_whittaker_irls_f64(days, observed, lam=robust_lam, iterations=4,
                                                                return_weights=True)

    fits = {  # name: (fit at the overpasses, lam, final weights)
        "symmetric, lam by REML": (symmetric.z, symmetric.lam, None),
        f"robust, lam={robust_lam:.3g}": (robust, robust_lam, robust_weights),
        "upper envelope, p=0.9": (envelope.z, envelope.lam, envelope.weights),
    }
    true_daily = clear_sky(DAILY, **shape)
    true_date, true_rate = green_up(true_daily, clear_sky_rate(DAILY, **shape))
    print(f"{'':26s} {'RMSE':>6s} {'bias':>7s}   green-up date error   highest rate error")
    daily = {}
    for name, (z, lam, weights) in fits.items():
        value = tarnwold_tools.evaluate_lambda(days, observed, lam, weights, x_out=DAILY).z
        rate = tarnwold_tools.evaluate_lambda(days, observed, lam, weights, x_out=DAILY, derivative=1).z
        daily[name] = value, rate
        date, highest = green_up(value, rate)
        print(f"{name:26s} {rmse(z, truth):6.4f} {np.mean(z - truth):+7.4f}   "
              f"{np.mean(np.abs(date - true_date)):5.1f} days (mean abs)   "
              f"{np.median(highest / true_rate - 1.0):+6.1%} (median)")

    band = tarnwold_tools.evaluate_lambda(days, observed, envelope.lam, envelope.weights, x_out=DAILY, return_se=True)
    inside = np.abs(true_daily - band.z) <= 2.0 * band.se
    print(f"clear-sky truth inside the daily envelope +- 2 se: {inside.mean():.0%} of the days")

    if args.plot:
        plot(args.plot, days, observed, truth, biased, fits, daily, band, true_daily, shape)


def plot(path, days, observed, truth, biased, fits, daily, band, true_daily, shape):
    from gallery_style import EXTRA, OUTLIER, PLAIN, RAW, ROBUST, TRUTH, new_figure, save

    fig, axes = new_figure(2, 2, width_ratios=[3, 2], height_ratios=[2, 1])
    grid = axes[0, 0].get_gridspec()
    for ax in axes[:, 0]:
        ax.remove()
    year, (spring, rates) = fig.add_subplot(grid[:, 0]), axes[:, 1]
    p = int(np.argmin(np.abs(np.mean(np.isnan(observed) | biased, axis=1) - 0.7)))  # a typical cloudy pixel
    clear = ~np.isnan(observed[p]) & ~biased[p]
    colours = (PLAIN, ROBUST, EXTRA)
    for ax in (year, spring):
        ax.plot(DAILY, true_daily[p], color=TRUTH, lw=3, alpha=0.6, label="clear-sky truth")
        ax.plot(days[clear], observed[p, clear], "o", color=RAW, ms=3, label="clear observation")
        ax.plot(days[biased[p]], observed[p, biased[p]], "x", color=OUTLIER, ms=5, mew=1.3,
                label="haze or snow (biased low)")
    masked = np.isnan(observed[p])
    year.plot(days[masked], np.full(masked.sum(), -0.08), "|", color=RAW, ms=7, label="masked cloud")
    for (name, (z, _, _)), colour in zip(fits.items(), colours):
        year.plot(days, z[p], color=colour, lw=1.6, label=name)
    year.set_xlim(0, 366)
    year.set_ylim(-0.12, 0.95)
    year.set_xlabel("day of year")
    year.set_ylabel("NDVI")
    year.set_title(f"pixel {p}: three fits at the overpasses")
    year.legend(loc="upper left", fontsize=7.5, frameon=False)

    window = (DAILY >= 60) & (DAILY <= 200)
    value = band.z[p]
    spring.fill_between(DAILY[window], (value - 2 * band.se[p])[window], (value + 2 * band.se[p])[window],
                        color=EXTRA, alpha=0.25, lw=0, label="envelope ± 2 se, daily")
    spring.plot(DAILY[window], value[window], color=EXTRA, lw=1.6)
    spring.set_ylim(0.0, 0.95)
    spring.set_ylabel("NDVI")
    spring.set_title("spring, daily")
    spring.legend(loc="lower right", fontsize=7.5, frameon=False)

    true_rate = clear_sky_rate(DAILY, **{name: values[p] for name, values in shape.items()})
    rates.plot(DAILY[window], true_rate[window], color=TRUTH, lw=3, alpha=0.6, label="truth")
    for (name, (_, rate)), colour in zip(daily.items(), colours):
        if name.startswith(("symmetric", "upper")):
            rates.plot(DAILY[window], rate[p, window], color=colour, lw=1.4, label=name.split(",")[0])
    rates.set_xlabel("day of year")
    rates.set_ylabel("NDVI per day")
    rates.set_title("green-up rate (derivative=1)")
    rates.legend(loc="upper right", fontsize=7.5, frameon=False)
    for ax in (year, spring, rates):
        ax.grid(alpha=0.3)
    for ax in (spring, rates):
        ax.set_xlim(60, 200)
    fig.suptitle("Clouds, haze and snow bias NDVI low: the upper envelope (p=0.9) follows the clear sky")
    save(fig, path)


if __name__ == "__main__":
    main()
