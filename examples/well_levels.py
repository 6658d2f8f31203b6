"""Well levels from a long CSV table, smoothed by the command line.

A network of observation wells is visited every week for six years; the
database exports one row per visit and well (date, well, depth to water in
metres), sorted by date, with an empty cell where no reading was taken.
Some wells were drilled years after the network started, so their rows
before that are empty; some lost their logger for months; a few visits
were read twice. The script writes that table, smooths it with

    tarnwold-smooth wells.csv --id-column well --time-column date --lam reml --max-gap 60D

(lam chosen per well by REML; the output has the input's rows; nothing
before a well's first or after its last reading, nor across a gap longer
than 60 days), and once more with --extrapolate instead of --max-gap,
which fills the rows before each well existed and across its long gaps. It prints the RMSE against the true
level where each fit has values: within the wells' observed spans, and
where only --extrapolate gives values. With --plot it draws three wells
(this needs matplotlib).

Run:  python3 examples/well_levels.py [--wells N] [--plot FILE.png] [--keep DIR]
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

WEEKS = 6 * 52
COMMAND = ["--id-column", "well", "--time-column", "date", "--lam", "reml", "--no-progress"]


def network(wells, rng):
    """(visit dates, true depths (wells, visits), readings with NaN where none
    was taken, index of the first visit each well was read)."""
    dates = pd.date_range("2019-01-07", periods=WEEKS, freq="7D")
    years = np.arange(WEEKS) * 7 / 365.25
    depth = rng.uniform(3.0, 12.0, (wells, 1))
    amplitude = rng.uniform(0.3, 1.5, (wells, 1))
    phase = rng.uniform(-0.1, 0.1, (wells, 1))
    trend = rng.uniform(-0.1, 0.25, (wells, 1))
    # Dry and wet years shared by the region, felt more by some wells.
    climate = 0.4 * np.sin(2 * np.pi * years / 3.7 + 1.0) * rng.uniform(0.3, 1.0, (wells, 1))
    truth = depth + trend * years + amplitude * np.cos(2 * np.pi * (years - phase)) + climate
    readings = truth + rng.normal(0.0, 0.02, truth.shape)
    readings[rng.random(truth.shape) < 0.08] = np.nan  # missed visits
    first = np.zeros(wells, dtype=int)
    late = rng.choice(wells, size=max(1, wells // 15), replace=False)
    first[late] = rng.integers(52, 4 * 52, late.size)
    for well in late:
        readings[well, : first[well]] = np.nan
    for well in rng.choice(wells, size=max(1, wells // 10), replace=False):
        start = rng.integers(first[well] + 20, WEEKS - 40)
        readings[well, start : start + rng.integers(12, 30)] = np.nan  # a logger out for months
    return dates, truth, readings, first


def long_table(dates, readings, rng):
    """One row per visit and well, by date; a few visits read twice."""
    wells, visits = readings.shape
    table = pd.DataFrame({
        "date": np.repeat(dates.strftime("%Y-%m-%d"), wells),
        "well": np.tile([f"W{k:03d}" for k in range(wells)], visits),
        "depth_m": readings.T.reshape(-1),
    })
    twice = table[table["depth_m"].notna() & (rng.random(len(table)) < 0.01)].copy()
    twice["depth_m"] += rng.normal(0.0, 0.02, len(twice))
    return pd.concat([table, twice]).sort_index(kind="stable").reset_index(drop=True)


def smooth(table_path, out_path, *extra):
    command = [sys.executable, "-m", "tarnwold_tools", str(table_path), *COMMAND, *extra, "-o", str(out_path)]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    print("   ", done.stderr.strip().replace("\n", "\n    "))
    return pd.read_csv(out_path)


def on_grid(table, wells):
    """The first value per date and well of an output table as (wells, visits)."""
    grid = table.groupby(["well", "date"], sort=True)["depth_m"].first().unstack("date")
    return grid.to_numpy()[:wells]


def rmse(fit, truth, where):
    return float(np.sqrt(np.mean((fit[where] - truth[where]) ** 2)))


def plot(path, dates, truth, readings, kept, extrapolated, wells_drawn):
    from gallery_style import OUTLIER, PLAIN, RAW, TRUTH, new_figure, save

    fig, axes = new_figure(len(wells_drawn), 1, sharex=True)
    for ax, (well, what) in zip(axes, wells_drawn):
        ax.plot(dates, truth[well], color=TRUTH, lw=3, alpha=0.6, label="true level")
        ax.plot(dates, readings[well], "o", color=RAW, ms=2, label="reading")
        ax.plot(dates, extrapolated[well], color=OUTLIER, lw=1, ls="--", label="with --extrapolate")
        ax.plot(dates, kept[well], color=PLAIN, lw=1.6, label="--max-gap 60D")
        ax.set_title(f"W{well:03d}: {what}", fontsize=9, loc="left")
        ax.invert_yaxis()  # depth below ground: deeper is lower
        ax.set_ylabel("depth (m)")
    axes[-1].legend(fontsize=7, ncols=4, loc="upper right")
    save(fig, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wells", type=int, default=300)
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--plot", metavar="FILE.png", help="draw three wells, their readings and both fits")
    parser.add_argument("--keep", metavar="DIR", help="write the tables into DIR instead of a temporary folder")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    dates, truth, readings, first = network(args.wells, rng)

    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(args.keep or scratch)
        folder.mkdir(parents=True, exist_ok=True)
        source = folder / "wells.csv"
        long_table(dates, readings, rng).to_csv(source, index=False)
        print(f"{args.wells} wells x {WEEKS} weekly visits, one row per visit and well: {source.name}")
        kept = on_grid(smooth(source, folder / "wells.smoothed.csv", "--max-gap", "60D"), args.wells)
        extrapolated = on_grid(smooth(source, folder / "wells.extrapolated.csv", "--extrapolate"), args.wells)

    inside = np.isfinite(kept)
    invented = np.isfinite(extrapolated) & ~inside
    print(f"rows with a value ({inside.mean():.0%}): RMSE {rmse(kept, truth, inside):.3f} m")
    print(f"rows left empty ({invented.mean():.0%}), filled by --extrapolate: "
          f"RMSE {rmse(extrapolated, truth, invented):.3f} m, as far as {np.max(np.abs(extrapolated - truth)[invented]):.1f} m off")

    if args.plot:
        late = int(np.argmax(first))
        gap = int(np.argmax([np.sum(~np.isfinite(kept[w, first[w]:])) for w in range(args.wells)]))
        typical = int(np.flatnonzero((first == 0) & np.all(np.isfinite(kept), axis=1))[0])
        plot(args.plot, dates, truth, readings, kept, extrapolated,
             [(late, "drilled late"), (gap, "logger out for months"), (typical, "read throughout")])


if __name__ == "__main__":
    main()
