"""Progress of the command line over its chunks of series: tqdm when it is
installed, otherwise a line on standard error rewritten in place."""

import sys


class _Silent:
    def update(self, count):
        pass

    def close(self):
        pass


class _Line:
    def __init__(self, total):
        self.total = total
        self.done = 0
        self.shown = -1

    def update(self, count):
        self.done += count
        percent = 100 * self.done // self.total
        if percent != self.shown:
            self.shown = percent
            sys.stderr.write(f"\rsmoothing: {self.done}/{self.total} series ({percent}%)")
            sys.stderr.flush()

    def close(self):
        sys.stderr.write("\n")
        sys.stderr.flush()


def progress(total, show):
    """An object with update(count) and close() that reports `total` series."""
    if not show:
        return _Silent()
    try:
        from tqdm import tqdm
    except ImportError:
        return _Line(total)
    return tqdm(total=total, unit="series", desc="smoothing", file=sys.stderr)
