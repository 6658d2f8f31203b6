"""tarnwold-smooth on a wide CSV against pandas alone reading and writing the
same table: 20,000 series of 365 dates, one series per column (365 rows of
20,001 fields) and one per row (20,000 rows of 366 fields).

    python3 benchmarks/cli_wide.py            # both layouts, 7 rounds of the best of 3 runs
    python3 benchmarks/cli_wide.py --series 2000 --rounds 1 --repeats 1   # a quick look

Each run is a fresh process, so both sides pay for their imports. The two
sides are timed alternately (alternating.py): each round the best of the
repeats of pandas, then of the command. Prints the ratio of the command's
seconds to pandas' as the median of the rounds with its range, and PASS
when the median is at most 2.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from alternating import ratio_rounds, spread

LIMIT = 2.0
PANDAS_ROUND_TRIP = "import sys, pandas as pd; pd.read_csv(sys.argv[1]).to_csv(sys.argv[2], index=False)"


def write_table(path, layout, series, dates):
    import pandas as pd

    rng = np.random.default_rng(7)
    days = pd.date_range("2023-01-01", periods=dates).strftime("%Y-%m-%d")
    values = np.round(np.sin(np.arange(dates) / 40.0)[:, None] + rng.normal(0.0, 0.2, (dates, series)), 4)
    values[rng.random(values.shape) < 0.1] = np.nan
    if layout == "columns":
        frame = pd.DataFrame(values, columns=[f"s{i}" for i in range(series)])
        frame.insert(0, "date", days)
    else:
        frame = pd.DataFrame(values.T, columns=list(days))
        frame.insert(0, "site", [f"p{i}" for i in range(series)])
    frame.to_csv(path, index=False)


def process(argv):
    return lambda: subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--series", type=int, default=20_000)
    parser.add_argument("--dates", type=int, default=365)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--layout", choices=("columns", "rows"), nargs="+", default=["columns", "rows"])
    args = parser.parse_args()

    failed = False
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        for layout in args.layout:
            source = folder / f"{layout}.csv"
            write_table(source, layout, args.series, args.dates)
            pandas = process([sys.executable, "-c", PANDAS_ROUND_TRIP, source, folder / "pandas.csv"])
            flags = ["--time-column", "date"] if layout == "columns" else ["--series", "rows"]
            tool = process([sys.executable, "-m", "tarnwold_tools", source, *flags, "-o", folder / "smoothed.csv", "--force", "--no-progress"])
            # pandas' speed over the command's is the command's seconds over pandas'.
            ratios = ratio_rounds(pandas, tool, rounds=args.rounds, calls=args.repeats)
            ok = statistics.median(ratios) <= LIMIT
            failed |= not ok
            print(f"{layout:8s} {args.series} series x {args.dates} dates: tarnwold-smooth's seconds / pandas read+write's "
                  f"{spread(ratios)} {'PASS' if ok else 'FAIL'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
