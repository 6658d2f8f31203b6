"""Fill the gaps in weekly groundwater readings from many wells.

Simulates three years of weekly field visits to a network of monitoring
wells: every visit reads the depth to water in each well, but visits are a
day or two early or late, single readings are missed, a winter without
access leaves a four-month hole, and some readings are repeated a few
minutes later as a check, giving near-duplicate times. Readings from a
hand tape are less precise than the logger's and get a smaller weight.

For each difference order d = 1, 2 and 3 the script chooses lam by holding
out a tenth of the readings and keeping the lam that predicts them best,
prints how well each order then fills the long gap, shows the merging
tolerance at work (and its trap for a time axis in years), and with --plot
draws one well into a PNG file (this needs matplotlib).

Run:  python3 examples/gappy_weekly_series.py [--wells N] [--plot FILE.png]
"""

import argparse

import numpy as np

import tarnwold

WINTER_GAP = (400.0, 520.0)  # days without access in the second winter


def simulate(wells, rng):
    # Weekly visits, each a day or two off schedule.
    days = np.arange(0.0, 3 * 365.0, 7.0) + rng.integers(-2, 3, size=157)
    days = np.sort(days)
    # About one visit in ten re-reads every well 5 minutes later as a check.
    rechecks = days[rng.random(days.size) < 0.1] + 5.0 / (24 * 60)
    days = np.sort(np.concatenate([days, rechecks]))

    # Depth to water in metres: a seasonal swing around a slowly falling mean.
    mean_depth = rng.uniform(3.0, 8.0, size=(wells, 1))
    swing = rng.uniform(0.4, 1.2, size=(wells, 1))
    lag = rng.uniform(30.0, 90.0, size=(wells, 1))
    trend = rng.uniform(0.05, 0.3, size=(wells, 1)) / 365.0
    truth = mean_depth + swing * np.cos(2 * np.pi * (days - lag) / 365.0) + trend * days

    # Logger readings are good to 2 cm, hand-tape readings to 8 cm.
    tape = rng.random(truth.shape) < 0.3
    noise = np.where(tape, 0.08, 0.02)
    observed = truth + noise * rng.standard_normal(truth.shape)
    weights = np.where(tape, (0.02 / 0.08) ** 2, 1.0)

    observed[rng.random(truth.shape) < 0.12] = np.nan  # missed readings
    observed[:, (days >= WINTER_GAP[0]) & (days < WINTER_GAP[1])] = np.nan
    return days, observed, weights, truth


def smooth(days, observed, weights, lam, d):
    # iterations=1 is the plain weighted fit; the robust function is used for
    # its merging of the re-check readings onto one position.
    return tarnwold.robust_whittaker_irls_f64(days, observed, weights, lam=lam, d=d)


def choose_lam(days, observed, weights, d, rng):
    """The lam of a log-spaced grid whose fit best predicts held-out readings."""
    held_out = (rng.random(observed.shape) < 0.1) & ~np.isnan(observed)
    training = np.where(held_out, np.nan, observed)
    candidates = (np.array([1.0, 3.0]) * 10.0 ** np.arange(-1, 6)[:, None]).ravel()  # 0.1, 0.3, ... 3e5
    errors = []
    for lam in candidates:
        residuals = smooth(days, training, weights, lam, d)[held_out] - observed[held_out]
        errors.append(np.sum(weights[held_out] * residuals**2))
    return float(candidates[np.argmin(errors)])


def plot(path, days, observed, weights, truth, fits, lams):
    from gallery_style import EXTRA, PLAIN, RAW, ROBUST, TRUTH, new_figure, save

    # A typical well: the median error of the d=3 fit inside the gap.
    gap = (days >= WINTER_GAP[0]) & (days < WINTER_GAP[1])
    gap_error = np.sqrt(np.mean((fits[3][:, gap] - truth[:, gap]) ** 2, axis=1))
    well = int(np.argsort(gap_error)[len(gap_error) // 2])
    colours = {1: EXTRA, 2: PLAIN, 3: ROBUST}
    fig, (full, zoom) = new_figure(1, 2, width_ratios=[3, 2])
    for ax in (full, zoom):
        ax.axvspan(*WINTER_GAP, color="0.92", label="no access")
        ax.plot(days, truth[well], color=TRUTH, lw=3, alpha=0.6, label="true level")
        tape = weights[well] < 1
        ax.plot(days[~tape], observed[well, ~tape], "o", color=RAW, ms=3, label="logger reading")
        ax.plot(days[tape], observed[well, tape], "o", mfc="none", color=RAW, ms=4,
                label="hand tape (weight 1/16)")
        for d, fit in fits.items():
            ax.plot(days, fit[well], color=colours[d], lw=1.6, label=f"d={d}, lam={lams[d]:g}")
        ax.set_xlabel("day")
        ax.grid(alpha=0.3)
    full.set_ylabel("depth to water (m)")
    full.invert_yaxis()
    window = (days > WINTER_GAP[0] - 60) & (days < WINTER_GAP[1] + 60)
    shown = np.concatenate([truth[well, window]] + [fit[well, window] for fit in fits.values()])
    zoom.set_xlim(WINTER_GAP[0] - 60, WINTER_GAP[1] + 60)
    zoom.set_ylim(shown.max() + 0.1, shown.min() - 0.1)
    zoom.set_title("the winter gap")
    full.set_title(f"well {well}, weekly readings over three years")
    zoom.legend(loc="upper left", fontsize=8, frameon=False)
    fig.suptitle("Gap filling, lam chosen per order by held-out readings: d=1 bridges straight, "
                 "d=3 follows the curvature")
    save(fig, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wells", type=int, default=2_000)
    parser.add_argument("--plot", metavar="FILE.png", help="draw one well, raw and smoothed")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    days, observed, weights, truth = simulate(args.wells, rng)
    close = np.diff(days) <= 0.01
    print(f"{args.wells} wells x {days.size} readings; {close.sum()} re-checks within 0.01 days "
          f"of a reading; {np.isnan(observed).mean():.0%} missing")

    gap = (days >= WINTER_GAP[0]) & (days < WINTER_GAP[1])
    fits, lams = {}, {}
    for d in (1, 2, 3):
        lams[d] = choose_lam(days, observed, weights, d, rng)
        fits[d] = smooth(days, observed, weights, lams[d], d)
        error = fits[d] - truth
        print(f"d={d}, lam={lams[d]:<7g} RMSE where observed {np.sqrt(np.mean(error[:, ~gap] ** 2)):.3f} m, "
              f"inside the winter gap {np.sqrt(np.mean(error[:, gap] ** 2)):.3f} m")

    # The same grid in years: the default merging tolerance of 0.01 is now
    # 3.65 days and silently merges separate visits, not just the re-checks.
    years = days / 365.0
    print(f"x in years: {(np.diff(years) <= 0.01).sum()} spacings within the default merge_x_tol=0.01, "
          f"{(np.diff(years) <= 0.01 / 365.0).sum()} within merge_x_tol=0.01/365")
    in_years = tarnwold.robust_whittaker_irls_f64(years, observed, weights, lam=lams[2],
                                                  merge_x_tol=0.01 / 365.0)
    print("x in years with merge_x_tol=0.01/365 gives the fit in days:",
          np.allclose(in_years, fits[2], rtol=0, atol=1e-9))

    if args.plot:
        plot(args.plot, days, observed, weights, truth, fits, lams)


if __name__ == "__main__":
    main()
